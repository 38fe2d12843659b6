"""``valdrin goose publish``: one GOOSE control block on an interface, with its
retransmission schedule, an optional periodic state change, or written to a
pcap file at the frames' scheduled times instead."""

from __future__ import annotations

import argparse
import textwrap
import time
from dataclasses import replace
from typing import Iterator

from .. import goose, inject
from ..data import BoolData, Data, FloatData, IntData, OctetStringData, UIntData, VisibleStringData
from ..pcap import write_header, write_record
from .app import Failure, StopSignals, goose_source_mac, integer, interface_pair, mac_address, print_json, seconds
from .scl import add_goose_publish_options, goose_publish_block

# --value KIND:VALUE, the kinds it takes.
VALUE_KINDS = ("bool", "int", "uint", "float", "double", "str", "octets")


def value(text: str) -> Data:
    """A data set member from KIND:VALUE, e.g. bool:true, int:-5, float:1.5, str:on, octets:0a0b."""
    kind, sep, rest = text.partition(":")
    if not sep or kind not in VALUE_KINDS:
        raise argparse.ArgumentTypeError(f"not KIND:VALUE with KIND one of {', '.join(VALUE_KINDS)}: {text!r}")
    try:
        if kind == "bool":
            if rest.lower() not in ("true", "false", "1", "0"):
                raise ValueError
            return BoolData(rest.lower() in ("true", "1"))
        if kind in ("int", "uint"):
            return (IntData if kind == "int" else UIntData)(int(rest, 0))
        if kind in ("float", "double"):
            return FloatData(float(rest), double=kind == "double")
        if kind == "str":
            return VisibleStringData(rest)
        return OctetStringData(bytes.fromhex(rest))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a {kind} value: {rest!r}") from None


def milliseconds(text: str) -> float:
    try:
        ms = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of milliseconds: {text!r}") from None
    if not ms > 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return ms


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin goose`` and its ``publish`` subcommand to the top-level parser's ``commands``."""
    g = commands.add_parser("goose", help="publish GOOSE", description="GOOSE commands.")
    sub = g.add_subparsers(dest="goose_command", required=True, metavar="SUBCOMMAND")
    p = sub.add_parser(
        "publish",
        help="publish one GOOSE control block (or write its frames to a pcap file)",
        description=textwrap.fill(
            "Publish one GOOSE control block from a native thread: its state at once, then "
            "retransmissions after --min-time, at doubling intervals up to --max-time, then every "
            "--max-time, each with timeAllowedToLive twice the interval to the next. --toggle-every "
            "flips the first boolean member periodically, a state change each time; --inject sets "
            "fault knobs at offsets from the start. Needs CAP_NET_RAW; with --pcap the frames are "
            "written with their scheduled times instead.", 79),
        epilog=(
            "Example: valdrin goose publish --iface eth1 --gocb-ref IED1LD0/LLN0$GO$gcb1 --app-id 1 \\\n"
            "    --dst-mac 01:0c:cd:01:00:01 --value bool:false --value int:3 --toggle-every 1 --duration 10\n\n"
            + textwrap.fill(
                "Faults: each --inject KNOB[=VALUE][@AT][+FOR] sets a knob AT seconds after the start "
                "(default at once); a lasting knob holds for FOR (default to the end). Times are seconds "
                "unless suffixed s, ms or us. The knobs:", 79)
            + "\n" + inject.help_text(list(goose.INJECT_KNOBS.values())) + "\n"
            "For example: --inject skip_sq=3@2 --inject old_st@4 --inject silent=800ms@6 \\\n"
            "    --inject simulation@8+2 --inject wrong_type=on@10+500ms"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--iface", metavar="IF", help="the interface to publish on")
    where.add_argument("--pcap", metavar="FILE", help="write the frames to FILE at their scheduled times instead")
    where.add_argument("--prp", type=interface_pair, metavar="IF_A,IF_B",
                       help="publish on a PRP network's LAN A (IF_A) and LAN B (IF_B): every frame on both with "
                            "its trailer (one sequence number per source MAC), a supervision frame on each LAN at "
                            "the start and every 2 s; the source MAC is IF_A's unless --src-mac")
    p.add_argument("--gocb-ref", required=True, metavar="REF",
                   help="the control block's reference, e.g. IED1LD0/LLN0$GO$gcb1 (subscribers match on it)")
    p.add_argument("--app-id", required=True, type=integer, metavar="ID",
                   help="APPID, 0 to 0x3FFF for GOOSE (decimal or 0x...)")
    p.add_argument("--dst-mac", required=True, type=mac_address, metavar="MAC",
                   help="destination multicast address, e.g. 01:0c:cd:01:00:01")
    p.add_argument("--src-mac", type=mac_address, metavar="MAC",
                   help="source MAC (default: the interface's own address, or 00:00:00:00:00:00)")
    p.add_argument("--go-id", metavar="ID", help="goID (default: none)")
    p.add_argument("--dat-set", metavar="REF", help="datSet (default: the gocbRef's LN with $DS)")
    p.add_argument("--conf-rev", type=integer, default=1, metavar="N",
                   help="confRev, the data set's configuration revision (default 1)")
    p.add_argument("--min-time", type=milliseconds, default=2.0, metavar="MS", help="T1 (default 2)")
    p.add_argument("--max-time", type=milliseconds, default=1000.0, metavar="MS", help="T0 (default 1000)")
    p.add_argument("--value", type=value, action="append", metavar="KIND:VALUE",
                   help=f"a data set member, in order; KIND one of {', '.join(VALUE_KINDS)} (default: bool:false)")
    p.add_argument("--toggle-every", type=seconds, metavar="S", help="flip the first boolean member every S seconds")
    p.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds (needed with --pcap)")
    p.add_argument("--inject", type=inject.argument_type(goose.INJECT_KNOBS), action="append", default=[],
                   metavar="KNOB[=VALUE][@AT][+FOR]",
                   help="a fault at an offset from the start, for a while (repeatable; the knobs are listed below)")
    p.add_argument("--json", action="store_true", help="print the counters as one JSON object at the end")
    add_goose_publish_options(p)
    # Usage errors name the subcommand ("valdrin goose publish: error: ..."), as argparse's own do.
    p.set_defaults(command_parser=p)
    return g


def make_block(args: argparse.Namespace) -> goose.GooseBlock:
    if args.min_time > args.max_time:
        raise ValueError(f"--min-time ({args.min_time:g} ms) must not exceed --max-time ({args.max_time:g} ms)")
    values = args.value or [BoolData(False)]
    dat_set = args.dat_set or args.gocb_ref.split("$")[0] + "$DS"
    pdu = goose.GoosePDU(args.gocb_ref, dat_set, args.go_id, conf_rev=args.conf_rev, time_quality=0x0A,
                         all_data=values)
    return goose.GooseBlock(pdu, args.dst_mac.to_bytes(6, "big"), args.app_id,
                            src_mac=goose_source_mac(args).to_bytes(6, "big"),
                            min_time_ms=args.min_time, max_time_ms=args.max_time)


def toggled(values: list[Data]) -> list[Data]:
    """The values with the first boolean flipped (unchanged when there is none)."""
    out = list(values)
    for i, v in enumerate(out):
        if isinstance(v, BoolData):
            out[i] = BoolData(not v.value)
            break
    return out


def scheduled_frames(block: goose.GooseBlock, start_ns: int, duration_ns: int,
                     toggle_ns: int | None) -> Iterator[tuple[int, bytes]]:
    """(time_ns, frame) of every frame the publisher sends in [start, start + duration):
    a state change at the start and every ``toggle_ns``, the schedule restarting at each;
    the frames and their times come from the native schedule and encoder."""
    publisher = goose.Publisher("", [block])  # never started: it renders what its thread would send
    end = start_ns + duration_ns
    values = list(block.pdu.all_data)
    st = block.pdu.st_num or 1
    change = start_ns
    while change < end:
        next_change = end if toggle_ns is None else min(end, change + toggle_ns)
        k, sq = 0, 0
        while True:
            at, frame = publisher.render(0, values, st, sq, k, change)
            if at >= next_change:
                break
            yield at, frame
            k, sq = k + 1, sq % 0xFFFFFFFF + 1
        change = next_change
        st = st % 0xFFFFFFFF + 1
        values = toggled(values)


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if getattr(args, "prp", None):
        args.iface, args.prp_b = args.prp
    else:
        args.prp_b = None
    try:
        inject.check_prp(args.inject, args.prp_b is not None)
    except inject.InjectError as error:
        parser.error(f"--inject {error}")
    block = goose_publish_block(args, parser) or make_block(args)
    toggle_ns = None if args.toggle_every is None else int(args.toggle_every * 1_000_000_000)
    if args.pcap:
        if args.duration is None:
            parser.error("--pcap needs --duration")
        if args.inject:
            parser.error("--inject needs --iface: the knobs act on the publisher's thread")
        start_ns = time.time_ns() // 1_000_000_000 * 1_000_000_000
        count = 0
        with open(args.pcap, "wb") as out:
            write_header(out)
            for at, frame in scheduled_frames(block, start_ns, int(args.duration * 1_000_000_000), toggle_ns):
                write_record(out, at, frame)
                count += 1
        stats = {"frames_sent": count, "send_errors": 0, "late_frames": 0, "max_lateness_ns": 0}
    else:
        stats = _publish(args, block, toggle_ns, parser)
    if args.json:
        print_json(stats)
    else:
        print(f"{stats['frames_sent']} frames sent, {stats['send_errors']} send errors, {stats['late_frames']} late, "
              f"max lateness {stats['max_lateness_ns'] / 1000:.0f} µs")
    return 0


def _publish(args: argparse.Namespace, block: goose.GooseBlock, toggle_ns: int | None,
             parser: argparse.ArgumentParser) -> dict:
    try:
        publisher = goose.Publisher(args.iface, [block], prp_b=args.prp_b)
        # A lasting injection's value is set and cleared before the start: the publisher's own checks answer.
        for injection in args.inject:
            if injection.knob.kind.lasting:
                step = inject.Step(0, injection.knob, injection.value)
                try:
                    publisher.inject(0, step)
                    publisher.inject(0, replace(step, clear=True))
                except ValueError as error:
                    parser.error(f"--inject {injection.knob.name}: {error}")
        publisher.start()
    except OSError as error:
        raise Failure(str(error)) from None
    with StopSignals() as stop:
        begin = time.monotonic()
        end = None if args.duration is None else begin + float(args.duration)
        values = list(block.pdu.all_data)
        next_toggle = None if toggle_ns is None else begin + toggle_ns / 1e9
        steps = inject.steps(args.inject)
        try:
            while not stop.is_set():
                now = time.monotonic()
                while steps and begin + steps[0].at_ns / 1e9 <= now:
                    publisher.inject(0, steps.pop(0))
                next_step = begin + steps[0].at_ns / 1e9 if steps else None
                wake = min(t for t in (end, next_toggle, next_step, now + 1.0) if t is not None)
                if stop.wait(max(0.0, wake - now)):
                    break
                now = time.monotonic()
                if end is not None and now >= end:
                    break
                if next_toggle is not None and now >= next_toggle:
                    values = toggled(values)
                    publisher.publish(0, values)
                    next_toggle += toggle_ns / 1e9
        finally:
            publisher.stop()
    return publisher.stats()
