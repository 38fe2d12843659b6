"""``valdrin analyze FILE``: the health of every SV stream and GOOSE control
block of a capture file, by the same analysis as the live monitor."""

from __future__ import annotations

import argparse
import json
import sys

from rich.console import Console
from rich.progress import BarColumn, DownloadColumn, Progress, TextColumn, TimeRemainingColumn

from ..listen import CaptureError, Event, Interrupted, Report, analyze
from .app import Failure
from .health import event_line, report_view


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin analyze`` to the top-level parser's ``commands``."""
    a = commands.add_parser(
        "analyze",
        help="report the health of the SV streams and GOOSE control blocks of a capture file",
        description=(
            "Analyse a capture file (classic pcap or pcapng) frame by frame with its timestamps: "
            "per Sampled Values stream (APPID, destination MAC, svID) the samples lost, duplicated "
            "and out of order by smpCnt, arrival intervals, rate and, for the 9-2LE layout, RMS and "
            "phasor per channel; per GOOSE control block (APPID, destination MAC, gocbRef) stNum, "
            "sqNum, state changes, loss, duplicates, order, timeAllowedToLive expiries, the last "
            "values, and the publishing rules it breaks (values changed without a new stNum, a new "
            "stNum without new values, t moving on heartbeats or not at a state change, sqNum "
            "restarts, numDatSetEntries not matching allData, strict-encoding deviations). The same "
            "analysis as `valdrin monitor`."
        ),
        epilog=(
            "Example: valdrin analyze capture.pcapng --json | jq '.sv[] | {sv_id, lost}'. "
            "Gzip-compressed captures (capture.pcap.gz) and Linux cooked captures (tcpdump -i any) are read too. "
            "A capture that ends inside a frame, or Ctrl-C, prints the report of the frames before and the "
            "reason on standard error. Exit status: 0 when the capture was read to its end, 1 when it cannot "
            "be read or was not read to its end, 2 for usage errors, 130 after Ctrl-C."
        ),
    )
    a.add_argument("file", metavar="FILE", help="the capture: classic pcap or pcapng")
    a.add_argument("--json", action="store_true",
                   help="print exactly one JSON object with every count, and nothing else on standard output")
    a.add_argument("--events", action="store_true",
                   help="also list the events (new streams, GOOSE state changes, TAL expiries, ...) in time order")
    a.add_argument("--nominal-hz", type=float, choices=(50.0, 60.0), default=50.0, metavar="HZ",
                   help="the power system's nominal frequency for RMS and phasors: 50 (default) or 60")
    a.add_argument("--max-streams", type=int, default=256, metavar="N",
                   help="SV streams and GOOSE blocks tracked, each (default 256); more are counted as beyond the limits")
    return a


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    events: list[Event] | None = [] if args.events else None
    err = Console(stderr=True)
    show_progress = err.is_terminal and not args.json
    options = dict(nominal_hz=args.nominal_hz, sv_streams=args.max_streams, goose_blocks=args.max_streams,
                   events=events)
    stopped, status = None, 1  # why the report covers only part of the capture, and the exit status then
    try:
        if show_progress:
            columns = (TextColumn("analysing"), BarColumn(), DownloadColumn(), TimeRemainingColumn())
            with Progress(*columns, console=err, transient=True) as progress:
                task = progress.add_task("analyse", total=None)
                report = analyze(args.file, **options,
                                 progress=lambda done, total: progress.update(task, completed=done, total=total))
        else:
            report = analyze(args.file, **options)
    except OSError as error:
        raise Failure(f"cannot read {args.file}: {error.strerror or error}") from None
    except CaptureError as error:
        if error.report is None:
            raise Failure(f"cannot read {args.file}: {error}") from None
        report, stopped = error.report, f"{args.file}: {error}"
    except Interrupted as interrupt:
        report, status = interrupt.report, 130
        stopped = f"interrupted: the report covers the first {report.frames:,} frames"
    _print(report, events, args.json)
    if stopped is not None:
        print(f"valdrin: {stopped}", file=sys.stderr)
        return status
    return 0


def _print(report: Report, events: list[Event] | None, as_json: bool) -> None:
    if as_json:
        out = report.to_json()
        if events is not None:
            out["events"] = [event.to_json() for event in events]
        json.dump(out, sys.stdout)
        sys.stdout.write("\n")
        return
    console = Console()
    if events:
        for event in events:
            console.print(event_line(event), highlight=False, markup=False)
    console.print(report_view(report, report.last_ns))
