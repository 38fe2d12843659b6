"""``valdrin sequence``: a protection test as a state sequence (phasors per state, states ended by
time or by the relay's GOOSE), assessed shot after shot."""

from __future__ import annotations

import argparse
from datetime import datetime, timezone

from ..sequence import SequenceFileError, SequenceResult, ShotResult, load, run as run_sequence
from .app import Failure, StopSignals, integer, interface_mac, print_json


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin sequence`` to the top-level parser's ``commands``."""
    p = commands.add_parser(
        "sequence",
        help="state sequence test: phasors state by state into a relay, states ended by time or GOOSE, verdicts",
        description=(
            "Play the state sequence of FILE (TOML: shots, [stream], [[state]], [[assess]], [[goose]]) "
            "into the relay on --iface as one SV stream. A state with duration_s lasts exactly its "
            "samples; a state with until ends when the relay's GOOSE satisfies the condition, at the "
            "first frame period due after the trigger's kernel receive stamp plus the next state's "
            "after_trigger_ms, or after timeout_s. Each assessment measures from a state's start (the "
            "scheduled instant of its first sample) to an event (the receive stamp of the first frame "
            "of the GOOSE state that satisfied it), with its uncertainty. Needs CAP_NET_RAW."
        ),
        epilog=(
            "Exit status: 0 when the verdict is pass, 3 when it is fail, 1 when the test could not "
            "run, 2 for usage errors and mistakes in FILE. Ctrl-C stops the stream and prints the shots "
            "judged so far. Try it against `valdrin relay-sim` on the other end of a veth pair."
        ),
    )
    p.add_argument("file", metavar="FILE", help="the sequence file (TOML)")
    p.add_argument("--iface", required=True, metavar="IFACE", help="network interface the relay is on")
    out = p.add_argument_group("report")
    out.add_argument("--json", action="store_true",
                     help='print one JSON object: {"verdict", "shots": [{"states", "events", "assessments"}]}')
    out.add_argument("--plot", metavar="FILE.png", help="draw the currents and voltages sent in every shot")
    out.add_argument("--report", metavar="FILE.html",
                     help="write a self-contained HTML report: the sequence, the verdicts, a figure per shot")
    thread = p.add_argument_group("transmit thread")
    thread.add_argument("--rt-priority", type=integer, metavar="P", help="run the SV transmit thread under SCHED_FIFO at priority P")
    thread.add_argument("--cpu", type=integer, metavar="N", help="pin the SV transmit thread to CPU N")
    return p


def _utc(ns: int | None) -> str:
    if ns is None:
        return "-"
    moment = datetime.fromtimestamp(ns // 1_000_000_000, tz=timezone.utc)
    return moment.strftime("%H:%M:%S") + f".{ns % 1_000_000_000 // 1000:06d}"


def shot_lines(shot: ShotResult) -> list[str]:
    """One shot for people: its states, then its assessments."""
    lines = [f"shot {shot.index}: {'pass' if shot.passed else 'FAIL'}"]
    for state in shot.states:
        span = "" if state.start_ns is None or state.end_ns is None else f"{(state.end_ns - state.start_ns) / 1e6:10.3f} ms"
        late = "" if state.switch_late_us is None else f"  (switched {state.switch_late_us:.0f} µs after trigger + delay)"
        lines.append(f"  {state.name:<20} {_utc(state.start_ns)}  {span:>13}  ended by {state.ended_by or '-'}{late}")
    for a in shot.assessments:
        measured = "no event" if a.measured_ms is None else f"{a.measured_ms:.3f} ms"
        bound = "" if a.uncertainty_us is None else f" ± {a.uncertainty_us:.1f} µs"
        lines.append(f"  {a.name}: {measured}{bound} in [{a.min_ms:g}, {a.max_ms:g}] ms: {'pass' if a.passed else 'FAIL'}")
    return lines


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Runs ``valdrin sequence``; returns the exit status."""
    if args.plot is not None and not args.plot.lower().endswith(".png"):
        parser.error(f"--plot writes a PNG picture: give a FILE.png, not {args.plot!r}")
    try:
        sequence = load(args.file)
    except SequenceFileError as error:
        parser.error(str(error))
    except OSError as error:
        raise Failure(f"cannot read {args.file}: {error.strerror}") from None
    def on_shot(shot: ShotResult) -> None:
        if not args.json:
            print("\n".join(shot_lines(shot)), flush=True)

    with StopSignals() as stop:
        if not args.json:
            print(f"sequence {args.file} on {args.iface}: {sequence.shots} shot{'s' if sequence.shots != 1 else ''} "
                  f"of {len(sequence.states)} states; Ctrl-C stops", flush=True)
        mac = interface_mac(args.iface)
        try:
            result = run_sequence(sequence, args.iface, rt_priority=args.rt_priority, cpu=args.cpu,
                                  src_mac=mac.to_bytes(6, "big"), on_shot=on_shot, stop=stop.is_set)
        except (OSError, RuntimeError) as error:
            raise Failure(str(error)) from None
    _write_outputs(args, result)
    if args.json:
        print_json(result.to_json())
    else:
        if result.interrupted:
            print(f"interrupted after {len(result.shots)} of {sequence.shots} shots"
                  + (f": {result.error}" if result.error else ""))
        print(f"verdict: {result.verdict}", flush=True)
    if result.error is not None:
        raise Failure(result.error)
    return 0 if result.verdict == "pass" else 3


def _write_outputs(args: argparse.Namespace, result: SequenceResult) -> None:
    if not result.shots or (args.plot is None and args.report is None):
        return
    from ..sequence_report import plot_sequence, write_report  # matplotlib: only when asked for

    for path, write in ((args.plot, plot_sequence), (args.report, write_report)):
        if path is None:
            continue
        try:
            write(result, path)
        except OSError as error:
            raise Failure(f"cannot write {path}: {error.strerror}") from None
        if not args.json:
            print(f"written to {path}")
