"""``valdrin monitor --iface IF``: the health of every SV stream and GOOSE
control block on an interface, live, refreshed once a second."""

from __future__ import annotations

import argparse
import time

from ..listen import Monitor, Report
from .app import Failure, StopSignals, add_analysis_options, int_between, interface_pair, print_json, seconds
from .health import console as health_console, event_line, report_view, stream_key
from .scl import add_check_option, scl_check
from .tables import LiveView
from .text import conf_rev_lines


# The V3 ring's block timeout unless --block-timeout says otherwise: a table
# redrawn once a second needs no millisecond events, and each block handed
# over wakes the capture thread (on a VM, some 10 us of CPU each).
BLOCK_TIMEOUT_MS = 10


def add_parser(commands: argparse._SubParsersAction) -> argparse.ArgumentParser:
    """Adds ``valdrin monitor`` to the top-level parser's ``commands``."""
    m = commands.add_parser(
        "monitor",
        help="show the health of the SV streams and GOOSE control blocks on an interface, live",
        description=(
            "Capture GOOSE and Sampled Values frames on a network interface (a native thread on a "
            "memory-mapped packet ring, with kernel timestamps and a kernel filter) and show, "
            "refreshed once a second, a row per SV stream (svID, APPID, rate, samples lost, "
            "duplicated and out of order, arrival interval p99/max, RMS per channel) and per GOOSE "
            "control block (gocbRef, stNum, sqNum, state, timeAllowedToLive status) with the "
            "publishing rules it breaks, and the kernel's drop count. Ctrl-C stops and prints a "
            "summary. Needs CAP_NET_RAW (root)."
        ),
        epilog=(
            "Examples: valdrin monitor --iface eth1; valdrin monitor --iface eth1 --duration 10 --json; "
            "valdrin monitor --prp eth1,eth2. "
            "Exit status: 0 after a run, 1 when the capture cannot start (no such interface, no "
            "privilege) or stops on its own (the interface went away), 2 for usage errors."
        ),
    )
    where = m.add_mutually_exclusive_group(required=True)
    where.add_argument("--iface", metavar="IF", help="the network interface to capture on")
    where.add_argument("--prp", type=interface_pair, metavar="IF_A,IF_B",
                       help="capture a PRP network's LAN A on IF_A and LAN B on IF_B: the frames of both pass "
                            "through a receiving node's duplicate discard (first copy kept, trailer removed) and "
                            "the report adds, per stream and block, its frames on each LAN, those that came on one "
                            "LAN only, the skew B minus A, wrong LAN ids and sizes, and per LAN and node the "
                            "supervision frames (as analyze --prp-b); both LANs' frames are analysed in the order "
                            "of their stamps, so events come up to the block timeout plus 5 ms later")
    m.add_argument("--duration", type=seconds, metavar="S", help="stop after S seconds (default: until Ctrl-C)")
    m.add_argument("--json", action="store_true",
                   help="print exactly one JSON object with every count at the end, and nothing else on standard output")
    m.add_argument("--events", action="store_true",
                   help="also print every event as it comes (GOOSE state changes, TAL expiries, new streams, ...); "
                        "with --json they go into the JSON object as \"events\", in time order")
    m.add_argument("--expect-conf-rev", type=int_between(0, 2**32 - 1), metavar="N",
                   help="report every SV stream and GOOSE block that sent any confRev other than N: "
                        "how many ASDUs or frames, the first such confRev and when it came")
    m.add_argument("--promiscuous", action="store_true",
                   help="put the interface in promiscuous mode (default: accept all multicast)")
    m.add_argument("--outgoing", action="store_true",
                   help="also count frames this host sends (on lo each frame is then seen twice)")
    add_analysis_options(m)
    m.add_argument("--rt-priority", type=int, metavar="P", help="run the capture thread SCHED_FIFO at priority P")
    m.add_argument("--cpu", type=int, metavar="N", help="pin the capture thread to CPU N")
    m.add_argument("--ring", choices=("v3", "v2"), default="v3",
                   help="the kernel's receive ring: v3 (default) hands frames over in blocks, one wake-up per block, "
                        "for the most frames per CPU; v2 wakes the thread for every frame, for the lowest latency")
    m.add_argument("--block-timeout", type=int_between(1, 1000), metavar="MS",
                   help=f"with --ring v3: hand a block over at the latest MS ms after its first frame "
                        f"(1 to 1000, default {BLOCK_TIMEOUT_MS}); events come up to that much later, "
                        "and the capture wakes about 1000/MS times a second")
    m.add_argument("--coalesce", type=int_between(0, 10_000), default=0, metavar="US",
                   help="after each batch of frames, let frames gather for US µs before looking again "
                        "(0 to 10000, default 0): fewer wake-ups, events up to US µs later")
    add_check_option(m)
    return m


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.block_timeout is not None and args.ring != "v3":
        parser.error("--block-timeout applies to --ring v3 only")
    block_timeout = args.block_timeout if args.ring != "v3" or args.block_timeout else BLOCK_TIMEOUT_MS
    check = scl_check(args.scl)
    # Ctrl-C from here on, even during the start, ends the run with its report.
    iface, prp_b = args.prp if args.prp else (args.iface, None)
    with StopSignals() as stop:
        try:
            monitor = Monitor(iface, nominal_hz=args.nominal_hz, sv_streams=args.max_streams,
                              goose_blocks=args.max_streams, promiscuous=args.promiscuous, outgoing=args.outgoing,
                              rt_priority=args.rt_priority, cpu=args.cpu, ring=args.ring,
                              block_timeout_ms=block_timeout, coalesce_us=args.coalesce,
                              expect_conf_rev=args.expect_conf_rev, prp_b=prp_b)
            monitor.start()
        except OSError as error:
            raise Failure(str(error)) from None
        end = None if args.duration is None else time.monotonic() + float(args.duration)
        console = health_console(stderr=args.json)
        rates = _Rates()
        # A terminal gets the table redrawn in place (gone at the end); anything
        # else only the events as they come and the report at the end.
        live = LiveView(console)
        failure = None
        events: list = []  # with --json, for the JSON object
        try:
            if console.is_terminal:
                live.start()
            while not stop.is_set():
                wait = 1.0 if end is None else min(1.0, end - time.monotonic())
                if wait <= 0:
                    break
                if args.events and args.json:
                    events.extend(monitor.next_events(wait))
                elif args.events:
                    for event in monitor.next_events(wait):
                        console.print(event_line(event), highlight=False, markup=False)
                else:
                    stop.wait(wait)
                if not monitor.running:
                    failure = monitor.failure
                    break
                report = rates.update(monitor.report())
                if console.is_terminal:
                    live.update(report_view(report, time.time_ns(), console.width, rates.last))
        finally:
            live.stop()
            monitor.stop()
    report = rates.update(monitor.report())
    if args.json:
        out = report.to_json()
        if args.events:
            events.extend(monitor.next_events(0))
            out["events"] = [event.to_json() for event in events]
        if args.expect_conf_rev is not None:
            out["conf_rev_mismatches"] = conf_rev_lines(report, args.expect_conf_rev)
        check.add_json(out, report)
        print_json(out)
    else:
        console.print(report_view(report, time.time_ns(), console.width, rates.last))
        for line in conf_rev_lines(report, args.expect_conf_rev):
            console.print(line, style="bold red", highlight=False, markup=False)
        check.print(console, report)
    if failure:
        raise Failure(f"capture on {iface if prp_b is None else iface + ',' + prp_b} stopped: {failure}")
    return 0


class _Rates:
    """Each SV stream's ASDUs per second between the last two reports: what a stream sends now
    (0 once it stopped), where the report's own rate averages over the whole run."""

    def __init__(self) -> None:
        self.last: dict = {}
        self._asdus: dict = {}
        self._at: float | None = None

    def update(self, report: Report) -> Report:
        """Takes the counts of ``report`` (returned as it is) for the rates since the one before."""
        now = time.monotonic()
        if self._at is not None and now - self._at < _RATE_SPAN_S:
            return report  # too soon after the last (the end of a run): those rates stand
        asdus = {stream_key(item): item["asdus"] for item in report.sv}
        if self._at is not None:
            elapsed = now - self._at
            self.last = {key: (count - self._asdus.get(key, 0)) / elapsed for key, count in asdus.items()}
        self._asdus, self._at = asdus, now
        return report


# The shortest span a rate is taken over.
_RATE_SPAN_S = 0.5
