"""``valdrin analyze FILE``: the health of every SV stream and GOOSE control
block of a capture file, by the same analysis as the live monitor."""

from __future__ import annotations

import argparse
import sys

from ..listen import CaptureError, Event, Interrupted, Report, analyze
from .app import Failure, add_analysis_options, int_between, print_json, reading_progress
from .scl import ReportCheck, add_check_option, scl_check
from .text import conf_rev_lines


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
            "restarts, numDatSetEntries not matching allData, a member's type or the number of members "
            "changed under the same confRev, strict-encoding deviations), each frame against the newest "
            "in-order frame of its block. The same analysis as `valdrin monitor`."
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
    a.add_argument("--expect-conf-rev", type=int_between(0, 2**32 - 1), metavar="N",
                   help="report every SV stream and GOOSE block that sent any confRev other than N: "
                        "how many ASDUs or frames, the first such confRev and when it came")
    a.add_argument("--prp-b", metavar="FILE_B",
                   help="FILE is LAN A's capture of a PRP (or HSR) network and FILE_B LAN B's: their frames, "
                        "merged in time order, pass a receiving node's duplicate discard (by source MAC and "
                        "sequence number) before the analysis, and the report adds per stream the frames on "
                        "each LAN, those that came on one LAN only, the skew B minus A, wrong LAN ids and "
                        "LSDU sizes, and per node the supervision frames")
    a.add_argument("--hsr", action="store_true",
                   help="FILE is a capture from an HSR ring (or from one PRP LAN): HSR tags and PRP trailers are "
                        "taken off and the copies from the ring's two directions discarded as duplicates before "
                        "the analysis, and the report adds the same counts as --prp-b, all of them on LAN A")
    add_analysis_options(a)
    add_check_option(a)
    return a


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    events: list[Event] | None = [] if args.events else None
    check = scl_check(args.scl)
    options = dict(nominal_hz=args.nominal_hz, sv_streams=args.max_streams, goose_blocks=args.max_streams,
                   events=events, expect_conf_rev=args.expect_conf_rev, prp_b=args.prp_b,
                   redundant=args.hsr)
    stopped, status = None, 1  # why the report covers only part of the capture, and the exit status then
    try:
        with reading_progress("analysing", args.json) as progress:
            report = analyze(args.file, **options, progress=progress)
    except OSError as error:
        name = error.filename if args.prp_b is not None and error.filename is not None else args.file
        raise Failure(f"cannot read {name}: {error.strerror or error}") from None
    except CaptureError as error:
        if error.report is None:
            raise Failure(f"cannot read {args.file}: {error}") from None
        report, stopped = error.report, f"{args.file}: {error}"
    except Interrupted as interrupt:
        report, status = interrupt.report, 130
        stopped = f"interrupted: the report covers the first {report.frames:,} frames"
    _print(report, events, args.json, args.expect_conf_rev, check)
    if stopped is not None:
        print(f"valdrin: {stopped}", file=sys.stderr)
        return status
    return 0


def _print(report: Report, events: list[Event] | None, as_json: bool, expect_conf_rev: int | None,
           check: ReportCheck) -> None:
    if as_json:
        out = report.to_json()
        if events is not None:
            out["events"] = [event.to_json() for event in events]
        if expect_conf_rev is not None:
            out["conf_rev_mismatches"] = conf_rev_lines(report, expect_conf_rev)
        check.add_json(out, report)
        print_json(out)
        return
    # rich and the tables only here: a --json run does without them.
    from .health import console as health_console, event_line, report_view

    console = health_console()
    if events:
        for event in events:
            console.print(event_line(event), highlight=False, markup=False)
    console.print(report_view(report, report.last_ns, console.width))
    for line in conf_rev_lines(report, expect_conf_rev):
        console.print(line, style="bold red", highlight=False, markup=False)
    check.print(console, report)
