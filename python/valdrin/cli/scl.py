"""``valdrin scl FILE``: the GOOSE and SV control blocks an SCL file designs,
one row each, then what in the file does not resolve. Also the helpers the
other commands use to read ``--scl FILE``."""

from __future__ import annotations

import argparse
import json
import sys

from rich.console import Console
from rich.table import Table
from rich.text import Text

from .. import scl
from ..scl_check import check
from .app import Failure


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


def blocks_table(model: scl.Scl) -> Table:
    """One row per control block."""
    table = Table(title=f"{model.file} (edition {model.edition}): {len(model.control_blocks)} control blocks",
                  title_justify="left")
    for column in ("kind", "IED", "reference", "svID/goID", "MAC", "APPID", "VLAN", "confRev", "data set",
                   "rate ×ASDUs / T1/T0", "subscribers"):
        table.add_column(column, overflow="fold")
    for cb in model.control_blocks:
        ds = "-" if cb.dat_set is None else f"{cb.dat_set.split('$')[-1]} ({len(cb.members)})"
        vlan = "-" if cb.vlan_id is None else f"{cb.vlan_id} p{_or_dash(cb.vlan_priority)}"
        cells = ("GOOSE" if cb.kind == "goose" else "SV", cb.ied, cb.ref, _or_dash(cb.id), _or_dash(cb.dst),
                 _or_dash(cb.app_id, "0x{:04x}"), vlan, _or_dash(cb.conf_rev), ds, _timing(cb),
                 ", ".join(cb.subscribers) or "-")
        table.add_row(*(Text(cell) for cell in cells))
    return table


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    model = load(args.file)
    if args.json:
        json.dump(model.to_json(), sys.stdout)
        sys.stdout.write("\n")
        return 0
    console = Console()
    console.print(blocks_table(model))
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

    def add_json(self, out: dict, report) -> None:
        """Adds ``"scl"`` to the report's JSON object ``out``."""
        if self.model is not None:
            out["scl"] = check(self.model, report).to_json()

    def print(self, console: Console, report) -> None:
        """Prints the statuses after the report."""
        if self.model is not None:
            console.print(check_view(check(self.model, report)))


def scl_check(path: str | None) -> ReportCheck:
    """The check of ``--scl FILE``, its file loaded before anything starts (a Failure when it cannot be)."""
    return ReportCheck(None if path is None else load(path))
