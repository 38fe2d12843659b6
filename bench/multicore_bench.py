#!/usr/bin/env python3
"""Multi-core publishing benchmark: capacity of one engine against one engine per CPU.

sv.Publisher publishes 8-channel 50 Hz streams at 4800 samples/s on a veth
pair in a network namespace of the benchmark's own, first from one engine
(pinned to the last CPU), then, in the same run, shared out over one engine
per CPU (cpus=[0, 1, ...]). For each it searches the capacity: the most
streams for which no engine has more than 1 % late periods (a period is late
when its wake-up came more than one frame period after its scheduled time;
an engine's late periods are its late frames / its streams), doubling from
16 streams until a count fails and bisecting down to --resolution. Every
probe is a bounded run (Publisher(periods=...)) of --seconds.

Printed per probe and for the capacity found:

  streams       streams published at that count,
  frames/s      frames sent per second of the run,
  per CPU       frames/s divided by the number of engines (one CPU each),
  late %        late periods of the worst engine,
  max µs        the largest wake-up lateness of any engine,
  ns/frame      CPU time of the engine threads ("sv-engine", from
                /proc/self/task/<tid>/schedstat) per frame sent,

and the ratio of the capacities (engines / one engine) beside the ratio of
CPUs. Then each configuration runs once more at half its capacity with
valdrin's monitor (listen.Monitor) on the peer, which counts the frames that
arrived, lost samples and kernel drops: the ratio of frames received. Needs
root. Everything stays on the veth pair; the namespace and the
pair vanish with the process.

Usage: python3 bench/multicore_bench.py [--seconds S] [--priority P] [...]
(install the package first: python3 -m pip install --no-build-isolation .)
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import signal
import sys
import time
from dataclasses import dataclass
from pathlib import Path

RATE = 4800
LATE_LIMIT = 0.01  # capacity: at most 1 % late periods on every engine
IFACE, PEER = "vmcore0", "vmcore1"
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import (  # noqa: E402
    bench_streams, enter_namespace, first_second, leave_namespace, loadavg, sleep_until, thread_cpu_ns, threads_named,
)


@dataclass
class Probe:
    engines: int
    streams: int
    frames_sent: int
    send_errors: int
    worst_late: float  # late periods / periods of the worst engine
    max_lateness_ns: int
    cpu_ns: int  # CPU time of the engine threads while they sent
    cpu_frames: int  # the frames sent in that time
    seconds: float

    @property
    def frames_per_s(self) -> float:
        return self.frames_sent / self.seconds

    @property
    def ok(self) -> bool:
        return self.worst_late <= LATE_LIMIT and self.send_errors == 0

    def line(self) -> str:
        per_frame = self.cpu_ns / self.cpu_frames if self.cpu_frames else math.nan
        return (
            f"{self.engines:7d} {self.streams:7d} {self.frames_per_s:9.0f} {self.frames_per_s / self.engines:9.0f}"
            f" {100 * self.worst_late:7.2f} {self.max_lateness_ns / 1000:8.1f} {per_frame:8.0f} {self.send_errors:5d}"
        )


HEADER = f"{'engines':>7} {'streams':>7} {'frames/s':>9} {'per CPU':>9} {'late %':>7} {'max µs':>8} {'ns/frame':>8} {'errs':>5}"


def probe(streams: list, cpus: list[int], n: int, opts: argparse.Namespace, monitor=None) -> Probe:
    from valdrin.sv import Publisher

    frames_per_s = RATE // opts.asdus
    start = first_second()
    periods = opts.seconds * frames_per_s
    publisher = Publisher(
        IFACE, streams[:n], RATE, opts.asdus, start_second=start, rt_priority=opts.priority or None,
        cpu=cpus[0] if len(cpus) == 1 else None, cpus=cpus if len(cpus) > 1 else None, periods=periods,
    )
    before = threads_named("sv-engine")
    if monitor is not None:
        monitor.start()
    publisher.start()
    try:
        tids = threads_named("sv-engine") - before
        sleep_until(start - 0.05)
        cpu0 = sum(thread_cpu_ns(t) for t in tids)
        # The run ends on its own after its periods (a backlog may run
        # later): the threads' CPU time is read while all of them still run,
        # with the frames they had sent by then.
        used, counted = 0, 0
        deadline = time.monotonic() + opts.seconds + 10
        while time.monotonic() < deadline:
            stats = publisher.stats()
            try:
                cpu = sum(thread_cpu_ns(t) for t in tids)
            except (FileNotFoundError, ProcessLookupError):
                cpu = None  # a thread has ended
            if cpu is not None and stats["frames_sent"] + stats["send_errors"] < periods * n:
                used, counted = cpu - cpu0, stats["frames_sent"]
            else:
                break
            time.sleep(0.05)
        stats = publisher.stats()
        if monitor is not None:
            time.sleep(0.1)  # the last frames through the ring
    finally:
        publisher.stop()
        if monitor is not None:
            monitor.stop()
    engines = stats.get("engines") or [dict(stats, streams=range(n))]
    worst = max(e["late_frames"] / max(len(e["streams"]), 1) / periods for e in engines)
    return Probe(len(cpus), n, stats["frames_sent"], stats["send_errors"], worst, stats["max_lateness_ns"],
                 used, counted, opts.seconds)


def capacity(streams: list, cpus: list[int], opts: argparse.Namespace) -> Probe | None:
    """The passing probe with the most streams; a count fails when two probes fail."""
    best: Probe | None = None

    def passes(n: int) -> bool:
        nonlocal best
        for _ in range(2):
            p = probe(streams, cpus, n, opts)
            print(p.line() + ("" if p.ok else "   (over)"), flush=True)
            if p.ok:
                if best is None or p.streams > best.streams:
                    best = p
                return True
        return False

    lo, hi = 0, None
    n = 16 * len(cpus)
    while hi is None:
        n = min(n, opts.max_streams)
        if passes(n):
            lo = n
            if n == opts.max_streams:
                return best
            n *= 2
        else:
            hi = n
    while hi - lo > opts.resolution:
        mid = (lo + hi) // 2
        if passes(mid):
            lo = mid
        else:
            hi = mid
    return best


def received(streams: list, cpus: list[int], n: int, opts: argparse.Namespace) -> tuple[str, int]:
    """A run at `n` streams with valdrin's monitor on the peer: what arrived."""
    from valdrin import listen

    monitor = listen.Monitor(PEER, sv_streams=max(256, n))
    p = probe(streams, cpus, n, opts, monitor)
    report = monitor.report()
    frames = sum(s["frames"] for s in report.sv)
    lost = sum(s["lost"] for s in report.sv)
    drops = (report.capture or {}).get("kernel_drops", 0)
    medians = sorted(s["interval_us"]["median"] for s in report.sv if s["interval_us"]["median"] is not None)
    median = medians[len(medians) // 2] if medians else math.nan
    return (
        f"{p.engines:7d} {n:7d} {frames / opts.seconds:9.0f} {frames / opts.seconds / p.engines:9.0f}"
        f" {lost:7d} {drops:7d} {median:9.1f} {100 * p.worst_late:7.2f}"
    ), frames


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=int, default=2, help="seconds per probe (default 2)")
    p.add_argument("--asdus", type=int, default=1, help="ASDUs per frame (default 1)")
    p.add_argument("--priority", type=int, default=80, help="SCHED_FIFO priority of the engines, 0 for none (default 80)")
    p.add_argument("--resolution", type=int, default=8, help="capacity resolution in streams (default 8)")
    p.add_argument("--no-monitor", action="store_true", help="skip the run with valdrin's monitor on the peer")
    p.add_argument("--monitor-fraction", type=float, default=0.5, help="load of the monitored runs, a fraction of each capacity (default 0.5)")
    p.add_argument("--max-streams", type=int, default=1024, help="upper end of the search (default 1024)")
    a = p.parse_args(argv)
    if RATE % a.asdus:
        p.error(f"--asdus must divide {RATE}")
    return a


def main(argv: list[str] | None = None) -> int:
    opts = parse_args(argv)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    cpus = sorted(os.sched_getaffinity(0))
    enter_namespace(IFACE, PEER)
    try:
        streams = bench_streams(opts.max_streams)
        print(f"valdrin multi-core benchmark: {platform.node()} {platform.release()}, CPUs {cpus}, load {loadavg()}")
        print(
            f"veth {IFACE} in a private namespace; {RATE} samples/s x 8 channels, {opts.asdus} ASDU/frame;"
            f" SCHED_FIFO {opts.priority or 'off'}; {opts.seconds} s probes; capacity: <= {100 * LATE_LIMIT:g} %"
            " late periods on every engine\n"
        )
        print(HEADER)
        found = {}
        for engine_cpus in ([cpus[-1]], cpus):
            found[len(engine_cpus)] = capacity(streams, engine_cpus, opts)
            print(flush=True)
        print("capacity")
        print(HEADER)
        for best in found.values():
            print(best.line() if best else "   none")
        one, many = found.get(1), found.get(len(cpus))
        if one and many and len(cpus) > 1:
            print(
                f"\n{len(cpus)} engines / 1 engine: {many.streams / one.streams:.2f} x the streams,"
                f" {many.frames_per_s / one.frames_per_s:.2f} x the frames/s on {len(cpus)} x the CPUs"
                f" (per CPU {many.frames_per_s / len(cpus) / one.frames_per_s:.2f} x)"
            )
        if one and many and not opts.no_monitor:
            share = opts.monitor_fraction
            print(
                f"\nreceived by valdrin's monitor on {PEER} at {100 * share:g} % of each capacity (its capture"
                " thread and the receive path share the CPUs with the engines)"
            )
            print(f"{'engines':>7} {'streams':>7} {'frames/s':>9} {'per CPU':>9} {'lost':>7} {'drops':>7} {'median µs':>9} {'late %':>7}")
            got = {}
            for best in (one, many):
                engine_cpus = [cpus[-1]] if best.engines == 1 else cpus
                count = max(1, round(best.streams * share))
                line, got[best.engines] = received(streams, engine_cpus, count, opts)
                print(line, flush=True)
            if got.get(1):
                print(f"received frames, {len(cpus)} engines / 1 engine: {got[len(cpus)] / got[1]:.2f} x")
        print(f"(load now: {loadavg()})")
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    finally:
        leave_namespace(IFACE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
