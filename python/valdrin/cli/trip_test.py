"""``valdrin trip-test``: a closed-loop protection test. SV streams play healthy
values, then a fault, into a relay, shot after shot; the relay's GOOSE trip is
caught on the same interface and each shot's operate time reported.
"""

from __future__ import annotations

import argparse
import json
import time
from datetime import datetime, timezone

from ..trip_test import NO_TRIP, NOT_RESET, TRIPPED_BEFORE_FAULT, Shot, TripTestError, TripTestResult, trip_test
from .app import Failure, StopSignals, integer, positive_integer, seconds
from .. import inject
from ..sv import FAULT_KNOBS
from .publish import _streams, add_stream_options, check_injections


def _watch(text: str) -> tuple[str, int | None]:
    """``GOCB_REF[#N]``."""
    ref, sep, index = text.rpartition("#")
    if not sep:
        if not text:  # would watch for a block named "" through a whole shot
            raise argparse.ArgumentTypeError(f"expected GOCB_REF[#N] with N a member number, got {text!r}")
        return text, None
    try:
        value = int(index)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected GOCB_REF[#N] with N a member number, got {text!r}") from None
    if value < 0 or not ref:
        raise argparse.ArgumentTypeError(f"expected GOCB_REF[#N] with N a member number, got {text!r}")
    return ref, value


def _zero_or_more_seconds(text: str):
    if text.strip() in ("0", "0.0"):
        return 0
    return seconds(text)


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin trip-test`` to the top-level parser's ``commands``."""
    p = commands.add_parser(
        "trip-test",
        help="closed-loop protection test: inject a fault by SV, catch the relay's GOOSE trip, report the operate time",
        description=(
            "Publish SV streams into a relay: healthy values for --prefault seconds, the fault waves "
            "(every amplitude times --fault-factor) for --fault seconds, healthy values again for "
            "--postfault seconds, --shots times (one shot per cycle of whole seconds). A capture on "
            "the same interface watches the relay's GOOSE control block --watch: the state change "
            "that makes its member N (default: the first boolean) true is the trip. Each shot's "
            "operate time is the kernel receive stamp of the tripping state's first frame minus the "
            "scheduled instant of the first faulted sample, both on this host's real-time clock; "
            "its uncertainty is how much later than scheduled the frame carrying that sample left "
            "(the kernel's stamp of it leaving, seen by the same capture), plus 1 µs. Needs "
            "CAP_NET_RAW (run as root)."
        ),
        epilog=(
            "A shot without a trip within --fault seconds is reported as such; a relay already "
            "tripped at a shot's fault is reported as tripped before the fault (it tripped during "
            "that shot's healthy values) or not reset (since an earlier shot). Ctrl-C ends the test "
            "with the shots judged so far. Exit status: 0 when the shots ran (tripped or not), 1 "
            "when the control block never appeared during the first shot or the test could not run, "
            "2 for usage errors. Try it against `valdrin relay-sim` on the other end of a veth pair."
        ),
    )
    p.add_argument("--iface", required=True, metavar="IFACE", help="network interface the relay is on")
    test = p.add_argument_group("test")
    test.add_argument("--prefault", type=seconds, required=True, metavar="S", help="healthy values before each fault, in seconds")
    test.add_argument("--fault", type=seconds, required=True, metavar="S", help="longest fault, in seconds: a shot without a trip by then did not trip")
    test.add_argument("--postfault", type=_zero_or_more_seconds, default=0, metavar="S",
                      help="healthy values after each fault before the next shot may begin (default 0)")
    test.add_argument("--shots", type=positive_integer, default=1, metavar="K", help="number of shots (default 1)")
    test.add_argument("--watch", type=_watch, required=True, metavar="GOCB_REF[#N]",
                      help="the relay's GOOSE control block; its member N (from 0) becoming true is the "
                      "trip (default: the first boolean)")
    test.add_argument("--fault-stream", type=positive_integer, default=1, metavar="N",
                      help="the stream (from 1) whose first faulted sample times the shots (default 1)")
    test.add_argument(
        "--inject", type=inject.argument_type(FAULT_KNOBS, streams=True), action="append", default=[],
        metavar="FAULT",
        help="also set a fault knob of the SV publisher in every shot (repeatable), KNOB[=VALUE][@AT][+FOR]"
        "[/STREAMS] as `valdrin publish --inject` reads it, AT counted from the fault's start (applied up to "
        "5 ms earlier, so that @0 reaches the first faulted frame); lasting knobs end with their shot. "
        "E.g. --inject quality=invalid@0+0.5 proves that a relay ignoring invalid samples does not trip",
    )
    out = p.add_argument_group("report")
    out.add_argument("--json", action="store_true",
                     help='print one JSON object: {"shots": [{"fault_at", "tripped", "operate_ms", '
                     '"uncertainty_us"}], "operate_ms": {"min", "median", "max"}}')
    out.add_argument("--plot", metavar="FILE.png", help="draw the faulted stream's currents around each fault, the trip marked")
    channels = add_stream_options(p)
    channels.add_argument("--fault-factor", type=float, default=10.0, metavar="X",
                          help="during the fault every channel's amplitude is multiplied by X (default 10)")
    thread = p.add_argument_group("transmit thread")
    thread.add_argument("--rt-priority", type=integer, metavar="P", help="run the SV transmit thread under SCHED_FIFO at priority P")
    thread.add_argument("--cpu", type=integer, metavar="N", help="pin the SV transmit thread to CPU N")
    return p


def _utc(ns: int) -> str:
    moment = datetime.fromtimestamp(ns // 1_000_000_000, tz=timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S") + f".{ns % 1_000_000_000 // 1000:06d}Z"


def shot_line(shot: Shot, fault_s: float) -> str:
    """One shot for people."""
    head = f"shot {shot.index:>3}  fault {_utc(shot.fault_at_ns)}  "
    late = "" if shot.lateness_us is None else f"  (first faulted frame left {shot.lateness_us:+.1f} µs from its instant)"
    if shot.tripped and shot.operate_ms is None:
        return head + "tripped  operate time unknown: the trip's first frame came before the block was first seen" + late
    if shot.tripped:
        bound = "departure not seen" if shot.uncertainty_us is None else f"± {shot.uncertainty_us:.1f} µs"
        return head + f"tripped  operate {shot.operate_ms:9.3f} ms {bound}" + late
    if shot.outcome == NO_TRIP:
        return head + f"no trip within {fault_s:g} s" + late
    since = "" if shot.trip_ns is None else f", {abs(shot.trip_ns - shot.fault_at_ns) / 1e6:.3f} ms before it"
    if shot.outcome == TRIPPED_BEFORE_FAULT:
        return head + f"TRIPPED BEFORE THE FAULT (during its healthy values{since})"
    if shot.outcome == NOT_RESET:
        return head + f"NOT RESET: still tripped from an earlier shot (since{since})"
    return head + shot.outcome


def summary_line(result: TripTestResult) -> str:
    times = result.operate_times_ms()
    tripped = f"{len(times)} of {len(result.shots)} shots tripped"
    if not times:
        return tripped
    s = result.summary()
    return f"{tripped}; operate time min {s['min']:.3f} ms, median {s['median']:.3f} ms, max {s['max']:.3f} ms"


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs ``valdrin trip-test``; returns the exit status."""
    if args.fault_stream > args.streams:
        parser.error(f"--fault-stream {args.fault_stream} is not one of the {args.streams} streams")
    check_injections(args.inject, args.streams, False, parser)
    # The figure is always a PNG: a FILE.svg would be a PNG under the wrong name, found only after the shots.
    if args.plot is not None and not args.plot.lower().endswith(".png"):
        parser.error(f"--plot writes a PNG picture: give a FILE.png, not {args.plot!r}")
    # The stream builder of `valdrin publish`, with a fault whose timing the test sets.
    for name, value in (("fault_every", 1), ("fault_offset", None), ("fault_start_smp", None),
                        ("fault_duration", None), ("playback", None), ("playback_period", None),
                        ("comtrade", None)):
        setattr(args, name, value)
    streams = _streams(args, parser, int(time.time()) + 1)
    gocb_ref, value_index = args.watch

    def on_shot(shot: Shot) -> None:
        if not args.json:
            print(shot_line(shot, float(args.fault)), flush=True)

    failure = None
    with StopSignals() as stop:
        if not args.json:
            print(f"trip test on {args.iface}: {args.shots} shot{'s' if args.shots != 1 else ''} of "
                  f"{float(args.prefault):g} s healthy, {float(args.fault):g} s fault (x{args.fault_factor:g}), "
                  f"{float(args.postfault):g} s after; watching {gocb_ref}; Ctrl-C stops", flush=True)
        try:
            result = trip_test(
                args.iface, streams, prefault=float(args.prefault), fault=float(args.fault),
                postfault=float(args.postfault), gocb_ref=gocb_ref, shots=args.shots, value_index=value_index,
                fault_stream=args.fault_stream - 1, rate=args.rate, asdus_per_frame=args.asdus_per_frame,
                rt_priority=args.rt_priority, cpu=args.cpu, on_shot=on_shot, stop=stop.is_set,
                inject=args.inject,
            )
        except TripTestError as error:
            result, failure = error.result, str(error)
        except (OSError, RuntimeError) as error:
            raise Failure(str(error)) from None
    if args.plot is not None and result.shots:
        from ..figures import plot_trip_test  # numpy and matplotlib: only when a figure is asked for

        try:
            plot_trip_test(result, args.plot)
        except OSError as error:
            raise Failure(f"cannot write {args.plot}: {error.strerror}") from None
    if args.json:
        print(json.dumps(result.to_json()), flush=True)
    else:
        if result.interrupted:
            print(f"interrupted after {len(result.shots)} of {args.shots} shots")
        print(summary_line(result), flush=True)
        if args.plot is not None and result.shots:
            print(f"figure written to {args.plot}")
    if failure is not None:
        raise Failure(failure)
    return 0
