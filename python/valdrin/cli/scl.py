"""``valdrin scl FILE``: the GOOSE and SV control blocks an SCL file designs,
one row each, then what in the file does not resolve. Also the helpers the
other commands use to read ``--scl FILE``."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from rich.console import Console, Group
    from rich.table import Table
    from rich.text import Text

    from .. import scl

from .app import Failure, goose_source_mac, print_json, rich_console


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin scl`` to the top-level parser's ``commands``."""
    s = commands.add_parser(
        "scl",
        help="list the GOOSE and SV control blocks of an SCL file (SCD, CID, ICD, IID, SED)",
        description=(
            "Read an SCL file of any edition and list every GSEControl and SampledValueControl: "
            "kind, IED, reference as the wire carries it (gocbRef / SV control block), goID or svID, "
            "destination MAC, APPID, VLAN ID and priority, confRev, data set and its member count, "
            "smpRate and ASDUs per frame or MinTime/MaxTime, and the IEDs subscribing to it; then the "
            "findings: what in the file does not resolve (an FCDA naming a missing LN or DO, an "
            "undeclared type, a block without a Communication address). Files that declare a DOCTYPE "
            "or entities are refused."
        ),
        epilog=(
            "Examples: valdrin scl station.scd; valdrin scl relay.cid --json | jq '.control_blocks[].ref'. "
            "Exit status: 0 when the file was read (findings or not), 1 when it cannot be read or is "
            "refused, 2 for usage errors."
        ),
    )
    s.add_argument("file", metavar="FILE", help="the SCL file")
    s.add_argument("--json", action="store_true",
                   help='print exactly one JSON object {"control_blocks": [...], "findings": [...]}')
    return s


def load(path: str) -> scl.Scl:
    """The SCL file of a ``--scl`` option; a Failure of one line when it cannot be read or is refused."""
    from .. import scl  # lxml and the model: only for commands given a file

    try:
        return scl.load(path)
    except OSError as error:
        raise Failure(f"cannot read {path}: {error.strerror or error}") from None
    except scl.SclError as error:
        raise Failure(str(error)) from None


def _or_dash(value: object, form: str = "{}") -> str:
    return "-" if value is None else form.format(value)


def _timing(cb: scl.ControlBlock) -> str:
    if cb.kind == "goose":
        return f"{_or_dash(cb.min_time_ms, '{:g}')}/{_or_dash(cb.max_time_ms, '{:g}')} ms"
    unit = {"SmpPerSec": "/s", "SecPerSmp": " s/smp"}.get(cb.smp_mod or "", "/period")
    return f"{_or_dash(cb.smp_rate)}{unit} ×{_or_dash(cb.nof_asdu)}"


_COLUMNS = ("kind", "IED", "reference", "svID/goID", "MAC", "APPID", "VLAN", "confRev", "data set",
            "rate ×ASDUs / T1/T0", "subscribers")
# Narrower than this, each block is a record of its own instead of a row.
_TABLE_WIDTH = 150


def _cells(cb: scl.ControlBlock) -> tuple[str, ...]:
    """A block's values in the order of _COLUMNS."""
    ds = "-" if cb.dat_set is None else f"{cb.dat_set.split('$')[-1]} ({len(cb.members)})"
    vlan = "-" if cb.vlan_id is None else f"{cb.vlan_id} p{_or_dash(cb.vlan_priority)}"
    return ("GOOSE" if cb.kind == "goose" else "SV", cb.ied, cb.ref, _or_dash(cb.id), _or_dash(cb.dst),
            _or_dash(cb.app_id, "0x{:04x}"), vlan, _or_dash(cb.conf_rev), ds, _timing(cb),
            ", ".join(cb.subscribers) or "-")


def _rich() -> tuple[type[Console], type[Group], type[Table], type[Text]]:
    """rich's Console, Group, Table and Text, imported when something is drawn: the other
    commands load this module for its options, and their --json runs draw nothing."""
    from rich.console import Console, Group
    from rich.table import Table
    from rich.text import Text

    return Console, Group, Table, Text


def blocks_table(model: scl.Scl, width: int = _TABLE_WIDTH) -> Table | Group:
    """One row per control block; below _TABLE_WIDTH columns, one record per block (its
    reference on a line of its own, then the other fields), so that no cell is cut to letters."""
    _, Group, Table, Text = _rich()
    title = f"{model.file} (edition {model.edition}): {len(model.control_blocks)} control blocks"
    if width >= _TABLE_WIDTH:
        table = Table(title=title, title_justify="left")
        for column in _COLUMNS:
            table.add_column(column, overflow="fold")
        for cb in model.control_blocks:
            table.add_row(*(Text(cell) for cell in _cells(cb)))
        return table
    records: list[Text | Table] = [Text(title)]
    for cb in model.control_blocks:
        cells = dict(zip(_COLUMNS, _cells(cb)))
        records.append(Text(f"\n{cells.pop('kind')} {cells.pop('reference')}", style="bold", overflow="fold"))
        fields = Table.grid(padding=(0, 1))
        fields.add_column(no_wrap=True)
        fields.add_column(overflow="fold")
        for column, cell in cells.items():
            fields.add_row(Text(f"  {column}"), Text(cell))
        records.append(fields)
    return Group(*records)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    model = load(args.file)
    if args.json:
        print_json(model.to_json())
        return 0
    console = rich_console()
    console.print(blocks_table(model, console.width))
    console.print(f"{len(model.findings)} findings" + (":" if model.findings else ""), highlight=False)
    for line in model.findings:
        console.print(f"  {line}", highlight=False, markup=False)
    return 0


# --- --scl FILE of analyze and monitor --------------------------------------------


def add_check_option(parser: argparse.ArgumentParser) -> None:
    """Adds ``--scl FILE`` (compare with the design) to ``valdrin analyze`` or ``valdrin monitor``."""
    parser.add_argument(
        "--scl", metavar="FILE",
        help="compare what was seen with the control blocks of this SCL file: each one matched, mismatch "
             "(with the fields that differ) or missing, and what is not in the file unexpected")


def _value_text(value: object) -> str:
    return json.dumps(value) if not isinstance(value, str) else value


def check_view(result) -> Table:
    """The statuses of a :class:`valdrin.scl_check.Check` as a table, GOOSE values by member name."""
    _, _, Table, Text = _rich()
    counts = result.counts()
    table = Table(title=f"{result.file}: " + ", ".join(f"{n} {status}" for status, n in counts.items()),
                  title_justify="left")
    for column in ("status", "kind", "reference", "differences / values"):
        table.add_column(column, overflow="fold")
    style = {"matched": "green", "mismatch": "bold red", "missing": "bold red"}
    for s in result.statuses:
        lines = [f"{name}: expected {_value_text(d['expected'])}, seen {_value_text(d['seen'])}"
                 for name, d in s.differences.items()]
        lines += [f"{m['ref'].split('/', 1)[-1]}: {_value_text(m['value'])}" for m in (s.members or [])]
        table.add_row(Text(s.status, style[s.status]), "GOOSE" if s.block.kind == "goose" else "SV",
                      Text(s.block.ref), Text("\n".join(lines)))
    for u in result.unexpected:
        table.add_row(Text("unexpected", "yellow"), "GOOSE" if u["kind"] == "goose" else "SV",
                      Text(u.get("ref") or u.get("id") or ""), f"{u['dst']} APPID 0x{u['app_id']:04x}")
    return table


class ReportCheck:
    """The ``--scl`` of a command: the loaded file (None without the option), compared with a report at the end."""

    def __init__(self, model: scl.Scl | None) -> None:
        self.model = model

    def _result(self, report):
        from ..scl_check import check

        return check(self.model, report)

    def add_json(self, out: dict, report) -> None:
        """Adds ``"scl"`` to the report's JSON object ``out``."""
        if self.model is not None:
            out["scl"] = self._result(report).to_json()

    def print(self, console: Console, report) -> None:
        """Prints the statuses after the report."""
        if self.model is not None:
            console.print(check_view(self._result(report)))


def scl_check(path: str | None) -> ReportCheck:
    """The check of ``--scl FILE``, its file loaded before anything starts (a Failure when it cannot be)."""
    return ReportCheck(None if path is None else load(path))


# --- --scl FILE of the publishers -----------------------------------------------------
#
# An option given on the command line overrides the file. To tell it from an
# option's default, the defaults of those options are marked: a marked value
# is the default, an unmarked one was given.


class _DefaultInt(int):
    pass


class _DefaultFloat(float):
    pass


class _DefaultStr(str):
    pass


_MARKS = {int: _DefaultInt, float: _DefaultFloat, str: _DefaultStr}


def _mark_defaults(parser: argparse.ArgumentParser, dests: tuple[str, ...]) -> None:
    for action in parser._actions:
        if action.dest in dests and type(action.default) in _MARKS:
            default = action.default
            if isinstance(default, str) and action.type is not None:
                default = action.type(default)   # argparse converts string defaults: convert now, then mark
            action.default = _MARKS[type(default)](default) if type(default) in _MARKS else default


def _given(args: argparse.Namespace, dest: str) -> bool:
    value = getattr(args, dest)
    return value is not None and type(value) not in _MARKS.values()


def _override_line(path: str, refs: list[str], given: list[str]) -> str:
    line = f"from {path}: {', '.join(refs)}"
    return line + (f"; overridden on the command line: {', '.join(given)}" if given else "")


# valdrin goose publish: option destination -> (option, GooseBlock field of scl_publish.goose_block).
_GOOSE_OVERRIDES = {"gocb_ref": ("--gocb-ref", "gocb_ref"), "go_id": ("--go-id", "id"),
                    "dat_set": ("--dat-set", "dat_set"), "conf_rev": ("--conf-rev", "conf_rev"),
                    "app_id": ("--app-id", "app_id"), "dst_mac": ("--dst-mac", "dst"),
                    "min_time": ("--min-time", "min_time_ms"), "max_time": ("--max-time", "max_time_ms")}


def add_goose_publish_options(p: argparse.ArgumentParser) -> None:
    """Adds ``--scl FILE --gocb REF`` to ``valdrin goose publish``: the block from the file, --value MEMBER=VALUE."""
    group = p.add_argument_group("from an SCL file")
    group.add_argument("--scl", metavar="FILE",
                       help="take gocbRef, goID, datSet, confRev, address, VLAN, T1 = MinTime and T0 = MaxTime and "
                            "the data set's types from this SCL file (options given override it)")
    group.add_argument("--gocb", metavar="REF",
                       help="with --scl: the GSEControl, by gocbRef or goID (e.g. --scl station.scd --gocb "
                            "'IED1LD0/LLN0$GO$gcb1' --value XCBR1.Pos.stVal=on --iface eth1)")
    for action in p._actions:
        if action.dest in ("gocb_ref", "app_id", "dst_mac"):
            action.required = False
        if action.dest == "value":
            kind_value = action.type
            action.type = lambda text, kind_value=kind_value: (
                text if "=" in text.partition(":")[0] else kind_value(text))
            action.metavar = "KIND:VALUE|MEMBER=VALUE"
            action.help = (f"{action.help}; with --scl MEMBER=VALUE, the member by its reference or last components "
                           "(XCBR1.Pos.stVal=on), checked against its type")
    _mark_defaults(p, tuple(_GOOSE_OVERRIDES))


def goose_publish_block(args: argparse.Namespace, parser: argparse.ArgumentParser):
    """The GooseBlock of ``--scl FILE --gocb REF`` (after the line naming what the command line overrides),
    None without --scl."""
    values = args.value or []
    by_member = [v for v in values if isinstance(v, str)]
    if args.scl is None:
        if args.gocb is not None or by_member:
            parser.error("--gocb and --value MEMBER=VALUE need --scl")
        missing = [o for o, dest in (("--gocb-ref", "gocb_ref"), ("--app-id", "app_id"), ("--dst-mac", "dst_mac"))
                   if getattr(args, dest) is None]
        if missing:
            parser.error(f"{', '.join(missing)} required (or --scl FILE --gocb REF)")
        return None
    if args.gocb is None:
        parser.error("--scl needs --gocb REF")
    if len(by_member) != len(values):
        parser.error("with --scl, --value takes MEMBER=VALUE")
    from .. import scl_publish
    model = load(args.scl)
    cb = model.find(args.gocb, "goose")
    if cb is None:
        names = ", ".join(c.ref for c in model.control_blocks if c.kind == "goose") or "none"
        raise Failure(f"{args.scl} has no GSEControl {args.gocb!r} (its GOOSE blocks: {names})")
    overrides, given = {}, []
    for dest, (option, key) in _GOOSE_OVERRIDES.items():
        if _given(args, dest):
            value = getattr(args, dest)
            overrides[key] = value.to_bytes(6, "big") if dest == "dst_mac" else value
            given.append(option)
    print(_override_line(args.scl, [cb.ref], given), file=sys.stderr, flush=True)
    try:
        return scl_publish.goose_block(cb, scl_publish.goose_values(cb, by_member),
                                       goose_source_mac(args).to_bytes(6, "big"), **overrides)
    except ValueError as error:
        raise Failure(str(error)) from None


# valdrin publish: option destination -> (option, Stream field of scl_publish.sv_stream).
_SV_OVERRIDES = {"sv_id": ("--sv-id", "id"), "dat_set": ("--dat-set", "dat_set"), "conf_rev": ("--conf-rev", "conf_rev"),
                 "app_id": ("--app-id", "app_id"), "dst_mac": ("--dst-mac", "dst"), "vlan_id": ("--vlan-id", "vlan_id"),
                 "vlan_priority": ("--vlan-priority", "vlan_priority"), "smp_rate": ("--smp-rate", "smp_rate"),
                 "rate": ("--rate", None), "asdus_per_frame": ("--asdus-per-frame", None)}


def add_publish_options(p: argparse.ArgumentParser) -> None:
    """Adds ``--scl FILE --sv REF ... / --ied NAME`` to ``valdrin publish``."""
    group = p.add_argument_group("from an SCL file")
    group.add_argument("--scl", metavar="FILE",
                       help="take address, VLAN, svID, datSet, confRev, smpRate, rate, ASDUs per frame and the "
                            "channels from the SampledValueControl blocks of this SCL file (options given override it)")
    group.add_argument("--sv", action="append", metavar="REF",
                       help="with --scl: an SV control block to publish, by its reference or svID (repeat for more)")
    group.add_argument("--ied", metavar="NAME",
                       help="with --scl: every SV control block of this IED (e.g. --scl station.scd --ied MU1 "
                            "--iface eth1)")
    group.add_argument("--nominal-hz", type=float, default=50.0, metavar="HZ",
                       help="with --scl: the nominal frequency (default 50): smpRate counts samples per period "
                            "of it, and the waves have it")
    _mark_defaults(p, tuple(_SV_OVERRIDES))


def publish_streams(args: argparse.Namespace, parser: argparse.ArgumentParser, src_mac: int,
                    defaults: list) -> list | None:
    """The Streams of ``--scl FILE --sv REF / --ied NAME``, their waves from the eight ``defaults``, None
    without --scl. Sets --rate and --asdus-per-frame from the file unless given, and prints first the line
    naming what the command line overrides."""
    if args.scl is None:
        if args.sv or args.ied:
            parser.error("--sv and --ied need --scl")
        return None
    if not args.sv and not args.ied:
        parser.error("--scl needs --sv REF or --ied NAME")
    from .. import scl_publish
    from ..sv import MAX_RATE
    model = load(args.scl)
    blocks = []
    for ref in args.sv or ():
        cb = model.find(ref, "sv")
        if cb is None:
            names = ", ".join(c.ref for c in model.control_blocks if c.kind == "sv") or "none"
            raise Failure(f"{args.scl} has no SampledValueControl {ref!r} (its SV blocks: {names})")
        blocks.append(cb)
    if args.ied:
        found = [cb for cb in model.control_blocks if cb.kind == "sv" and cb.ied == args.ied]
        if not found:
            raise Failure(f"{args.scl} has no SV control block of an IED {args.ied!r}")
        blocks += [cb for cb in found if cb not in blocks]
    overrides, given = {}, []
    for dest, (option, key) in _SV_OVERRIDES.items():
        if _given(args, dest):
            given.append(option)
            if key is not None:
                overrides[key] = getattr(args, dest)
    rates = {(cb.samples_per_second(args.nominal_hz), cb.nof_asdu) for cb in blocks}
    if len(rates) > 1 and not (_given(args, "rate") and _given(args, "asdus_per_frame")):
        raise Failure("the blocks have different rates or ASDUs per frame ("
                      + ", ".join(f"{cb.ref}: {cb.samples_per_second(args.nominal_hz)}/s x{cb.nof_asdu}"
                                  for cb in blocks) + "): publish them one command each")
    rate, nof_asdu = next(iter(rates))
    if not _given(args, "rate"):
        if rate is None or not float(rate).is_integer():
            raise Failure(f"{blocks[0].ref}: no whole sample rate per second in the file: give --rate")
        if rate > MAX_RATE:
            raise Failure(f"{blocks[0].ref}: smpRate {blocks[0].smp_rate} ({blocks[0].smp_mod or 'SmpPerPeriod'}) "
                          f"makes {rate:g} samples/s, above {MAX_RATE}: give --rate (and --nominal-hz or --smp-rate)")
        args.rate = int(rate)
    if not _given(args, "asdus_per_frame") and nof_asdu is not None:
        args.asdus_per_frame = nof_asdu
    print(_override_line(args.scl, [cb.ref for cb in blocks], given), flush=True)
    streams = []
    try:
        for n, cb in enumerate(blocks):
            own = dict(overrides)
            if "app_id" in own:
                own["app_id"] += n
            if "dst" in own:
                own["dst"] = (own["dst"] + n).to_bytes(6, "big")
            if "id" in own:
                own["id"] = own["id"].format(n=n + 1)
            if "dat_set" in own:
                own["dat_set"] = own["dat_set"].format(n=n + 1)
            if own.get("smp_rate") == "auto":
                del own["smp_rate"]
            streams.append(scl_publish.sv_stream(cb, args.nominal_hz, src_mac.to_bytes(6, "big"), defaults, **own))
    except (ValueError, KeyError, IndexError) as error:
        raise Failure(str(error)) from None
    args.streams = len(streams)
    return streams
