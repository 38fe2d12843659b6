#!/usr/bin/env python3
"""Listening benchmark: valdrin's Monitor against tcpdump, and event latency.

Capacity. The package's SV engine (valdrin_rt.Engine, SCHED_FIFO, pinned to
CPU 0) publishes N 8-channel 9-2LE streams at 4800 frames/s each, one ASDU
per frame, on veth va for a few seconds; on the peer vb, pinned to CPU 1,
first valdrin's Monitor captures and analyses them, then, for the same N
right after, `tcpdump -w /dev/null` captures them alone. For each N and each
ring configuration of the Monitor the table shows

  frames/s     frames the engine sent per second,
  drops        the kernel's count of frames the ring had no room for,
  exact        Monitor: every stream counted, each with as many frames as
               the engine sent per stream and no sample lost, duplicated or
               out of order; tcpdump: captured = sent,
  ns/frame     CPU time of the capturing thread per frame (the Monitor's
               "frame-capture" thread and tcpdump's process, from schedstat),
               from just before the first frame until all are handed over.

Both captures see the same frames on the same CPU with the same ring size and
priority. The kernel's part of receiving (filter, copy into the ring) runs on
the sender's CPU and is in neither figure.

Latency. GOOSE state changes (a new stNum every ~10 ms, bounded in count)
sent on va with a raw socket while Python reads Monitor.next_events() on vb:
time.time_ns() at receipt minus the event's time_ns (the kernel's receive
stamp); median, p99 and max, idle and with SV streams running beside.

Everything happens in a network namespace of the benchmark's own (unshare at
start; veth va/vb deleted at the end). Needs root. Prints figures; asserts
nothing about them.

Usage: build/venv/bin/python bench/monitor_bench.py [--quick] [--configs v3,v2,v2/c100] [...]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import (  # noqa: E402
    cpu_ns, first_second, loadavg, native_streams, sleep_until, thread_cpu_ns,
    threads_named, run_in_namespace,
)

RATE = 4800
SEND, RECV = "va", "vb"
TCPDUMP_FILTER = "ether proto 0x88ba or ether proto 0x88b8 or vlan"
DRAIN_S = 0.3  # after the last frame, before the Monitor's counts are read


# --- Monitor configurations ---------------------------------------------------------


def parse_config(text: str) -> dict[str, Any]:
    """'v2', 'v3', 'v3:4' (block timeout 4 ms), 'v2/c100' (coalesce 100 µs) -> Monitor keyword arguments."""
    m = re.fullmatch(r"(v2|v3)(?::(\d+))?(?:/c(\d+))?", text)
    if not m or (m[1] == "v2" and m[2]):
        raise argparse.ArgumentTypeError(f"bad configuration {text!r} (v2, v3, v3:MS, v2/cUS, v3:MS/cUS)")
    kwargs: dict[str, Any] = {"ring": m[1]}
    if m[2]:
        kwargs["block_timeout_ms"] = int(m[2])
    if m[3]:
        kwargs["coalesce_us"] = int(m[3])
    return kwargs


def monitor_kwargs(config: str) -> dict[str, Any]:
    return parse_config(config)


# --- capacity -------------------------------------------------------------------


@dataclass
class Point:
    who: str
    streams: int
    seconds: float
    frames_sent: int
    send_errors: int
    captured: int
    kernel_drops: int
    exact: bool
    cpu_ns: int
    wall_ns: int
    notes: list[str] = field(default_factory=list)

    @property
    def frames_per_s(self) -> float:
        return self.frames_sent * 1e9 / self.wall_ns if self.wall_ns else math.nan

    @property
    def cpu_per_frame(self) -> float:
        return self.cpu_ns / self.captured if self.captured else math.nan

    @property
    def clean(self) -> bool:
        return self.exact and self.kernel_drops == 0 and self.send_errors == 0


def engine(natives: list[dict[str, Any]], n: int, opts: argparse.Namespace, start: int):
    import valdrin_rt

    return valdrin_rt.Engine(SEND, RATE, 1, natives[:n], start, rt_priority=opts.engine_priority, cpu=opts.engine_cpu)


def run_monitor(natives: list[dict[str, Any]], n: int, config: str, opts: argparse.Namespace) -> Point:
    from valdrin.listen import Monitor

    monitor = Monitor(RECV, sv_streams=max(256, n), goose_blocks=16, cpu=opts.capture_cpu,
                      rt_priority=opts.capture_priority, **monitor_kwargs(config))
    before = threads_named("frame-capture")
    monitor.start()
    try:
        threads = threads_named("frame-capture") - before
        if len(threads) != 1:
            raise SystemExit(f"cannot tell the capture thread: {sorted(threads)}")
        tid = threads.pop()
        cpu0, stats, wall = publish_for(natives, n, opts, lambda: thread_cpu_ns(tid))
        time.sleep(DRAIN_S + parse_config(config).get("block_timeout_ms", 1) / 1000)
        cpu1 = thread_cpu_ns(tid)
        report = monitor.report()
    finally:
        monitor.stop()
    sent = stats["frames_sent"]
    per_stream, rest = divmod(sent, n)
    notes = []
    bad = [s for s in report.sv if (s["frames"], s["lost"], s["duplicated"], s["out_of_order"]) != (per_stream, 0, 0, 0)]
    exact = rest == 0 and len(report.sv) == n and not bad and report.malformed == 0
    if bad:
        s = bad[0]
        notes.append(f"{len(bad)} streams off, e.g. {s['sv_id']}: frames {s['frames']}/{per_stream} lost {s['lost']} "
                     f"dup {s['duplicated']} ooo {s['out_of_order']}")
    if len(report.sv) != n:
        notes.append(f"{len(report.sv)} of {n} streams seen")
    capture = report.capture or {}
    if capture.get("ring_freezes"):
        notes.append(f"ring froze {capture['ring_freezes']} times")
    return Point(f"monitor {config}", n, opts.seconds, sent, stats["send_errors"], capture.get("frames", 0),
                 capture.get("kernel_drops", 0), exact, cpu1 - cpu0, wall, notes)


def publish_for(natives: list[dict[str, Any]], n: int, opts: argparse.Namespace,
                cpu_now: Callable[[], int]) -> tuple[int, dict[str, int], int]:
    """Publishes `n` streams for opts.seconds from the next whole second; returns the
    receiver's CPU time (`cpu_now()`) just before the first frame, the engine's
    stats and the wall time in ns."""
    start = first_second()
    publisher = engine(natives, n, opts, start)
    try:
        publisher.start()
        sleep_until(start - 0.05)
        cpu0 = cpu_now()
        sleep_until(start + opts.seconds)
    finally:
        publisher.stop()
    return cpu0, publisher.stats(), time.time_ns() - start * 1_000_000_000


def pinned(command: list[str], cpu: int, priority: int | None) -> list[str]:
    prefix = ["taskset", "-c", str(cpu)]
    if priority is not None:
        prefix += ["chrt", "-f", str(priority)]
    return prefix + command


def run_tcpdump(natives: list[dict[str, Any]], n: int, opts: argparse.Namespace) -> Point:
    command = pinned([opts.tcpdump, "-i", RECV, "-w", "/dev/null", "-B", str(opts.buffer_kib), "-Z", "root",
                      TCPDUMP_FILTER], opts.capture_cpu, opts.capture_priority)
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    lines: list[str] = []
    try:
        # "listening on vb, ..." once its socket is bound and its filter set.
        assert process.stderr is not None
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and select.select([process.stderr], [], [], 0.5)[0]:
            line = process.stderr.readline()
            lines.append(line)
            if not line or "listening on" in line:
                break
        if not lines or "listening on" not in lines[-1]:
            raise SystemExit(f"tcpdump did not start: {''.join(lines).strip()}")
        stat = f"/proc/{process.pid}/schedstat"
        cpu0, stats, wall = publish_for(natives, n, opts, lambda: cpu_ns(stat))
        # tcpdump's ring hands a block over when full or after 1 s.
        time.sleep(DRAIN_S + 1.0)
        cpu1 = cpu_ns(stat)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    counts = {}
    for what in ("captured", "received by filter", "dropped by kernel"):
        m = re.search(rf"(\d+) packets? {what}", err)
        counts[what] = int(m[1]) if m else -1
    sent = stats["frames_sent"]
    captured = counts["captured"]
    notes = [] if captured == sent else [f"tcpdump captured {captured} of {sent}"]
    return Point("tcpdump", n, opts.seconds, sent, stats["send_errors"], captured, counts["dropped by kernel"],
                 captured == sent, cpu1 - cpu0, wall, notes)


# --- latency ---------------------------------------------------------------------


def goose_frames(count: int) -> list[bytes]:
    from valdrin import goose
    from valdrin.data import BoolData, IntData

    frames = []
    for st in range(1, count + 1):
        pdu = goose.GoosePDU("VALDRIN/LLN0$GO$bench", "VALDRIN/LLN0$ds", go_id="bench", time_allowed_to_live=1000,
                             st_num=st, sq_num=0, all_data=[BoolData(st % 2 == 0), IntData(st)])
        frames.append(pdu.encode_frame(bytes.fromhex("010ccd010001"), bytes.fromhex("020000000002"), 0x0001))
    return frames


@dataclass
class Latency:
    config: str
    load_streams: int
    sent: int
    received: int
    median_us: float
    p99_us: float
    max_us: float
    kernel_drops: int


def quantile(values: list[float], q: float) -> float:
    if not values:
        return math.nan
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, math.ceil(q * len(ordered)) - 1)]


def run_latency(config: str, load: int, natives: list[dict[str, Any]], opts: argparse.Namespace) -> Latency:
    from valdrin.listen import Monitor

    frames = goose_frames(opts.goose_count)
    out = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
    out.bind((SEND, 0))
    delays: list[float] = []
    monitor = Monitor(RECV, sv_streams=max(256, load), goose_blocks=16, cpu=opts.capture_cpu,
                      rt_priority=opts.capture_priority, **monitor_kwargs(config))
    publisher = None
    with monitor:
        stop = threading.Event()

        def consume() -> None:
            while not stop.is_set():
                for event in monitor.next_events(0.1):
                    now = time.time_ns()
                    if event.kind == "goose_state_change":
                        delays.append((now - event.time_ns) / 1000)

        consumer = threading.Thread(target=consume)
        consumer.start()
        try:
            if load:
                start = first_second()
                publisher = engine(natives, load, opts, start)
                publisher.start()
                sleep_until(start + 0.2)
            for frame in frames:  # bounded: goose_count frames, ~10 ms apart
                out.send(frame)
                time.sleep(opts.goose_gap_ms / 1000)
            time.sleep(0.2)
        finally:
            if publisher is not None:
                publisher.stop()
            stop.set()
            consumer.join()
        drops = monitor.report().capture["kernel_drops"]
    out.close()
    # The first frame is the block's first sight, not a state change.
    return Latency(config, load, len(frames) - 1, len(delays), quantile(delays, 0.5), quantile(delays, 0.99),
                   max(delays, default=math.nan), drops)


# --- output -----------------------------------------------------------------------


def side(p: Point) -> str:
    exact = "yes" if p.exact else "NO"
    return f"{p.kernel_drops:8d} {exact:>5} {p.cpu_per_frame:8.0f}"


SIDE = f"{'drops':>8} {'exact':>5} {'ns/frame':>8}"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="2 s per point, fewer points")
    p.add_argument("--seconds", type=float, help="seconds per point (default 4, 2 with --quick)")
    p.add_argument("--streams", type=lambda s: [int(x) for x in s.split(",")],
                   help="stream counts (default 8,16,32,48,64,80,96,112,128)")
    p.add_argument("--configs", type=lambda s: s.split(","), default=["v3", "v2"],
                   help="Monitor ring configurations: v2, v3, v3:MS (block timeout), .../cUS (coalesce); "
                        "default v3,v2 (v3: the Monitor's default, 1 ms blocks)")
    p.add_argument("--no-tcpdump", action="store_true", help="leave tcpdump out")
    p.add_argument("--retries", type=int, choices=(0, 1), default=1,
                   help="run a point with drops or inexact counts once more (default 1)")
    p.add_argument("--tcpdump", default=shutil.which("tcpdump") or "/usr/bin/tcpdump")
    p.add_argument("--buffer-kib", type=int, default=4096,
                   help="tcpdump's -B, KiB (default 4096: the Monitor's default ring, 64 blocks of 64 KiB)")
    p.add_argument("--engine-cpu", type=int, default=0)
    p.add_argument("--engine-priority", type=int, default=80, help="SCHED_FIFO priority of the engine (default 80)")
    p.add_argument("--capture-cpu", type=int, default=1)
    p.add_argument("--capture-priority", type=int, default=None,
                   help="SCHED_FIFO priority of the Monitor's thread and of tcpdump (default: none, SCHED_OTHER)")
    p.add_argument("--goose-count", type=int, default=200, help="GOOSE state changes sent for latency (default 200)")
    p.add_argument("--goose-gap-ms", type=float, default=10.0)
    p.add_argument("--latency-load", type=lambda s: [int(x) for x in s.split(",")], default=None,
                   help="SV streams running during the latency runs (default 0,64; 0 with --quick)")
    p.add_argument("--no-capacity", action="store_true")
    p.add_argument("--no-latency", action="store_true")
    p.add_argument("--json", type=Path, help="also write all figures to this file")
    a = p.parse_args(argv)
    a.seconds = a.seconds or (2.0 if a.quick else 4.0)
    a.streams = a.streams or ([16, 64, 96] if a.quick else [8, 16, 32, 48, 64, 80, 96, 112, 128])
    a.latency_load = a.latency_load if a.latency_load is not None else ([0] if a.quick else [0, 64])
    for c in a.configs:
        try:
            parse_config(c)
        except argparse.ArgumentTypeError as error:
            p.error(str(error))
    if not 1 <= a.goose_count <= 10_000 or not 1 <= a.goose_gap_ms <= 1000:
        p.error("--goose-count must be 1..10000 and --goose-gap-ms 1..1000")
    if not 0 < a.seconds <= 60 or max(a.streams) > 1024:
        p.error("--seconds must be in (0, 60] and streams at most 1024")
    return a


def main(argv: list[str] | None = None) -> int:
    opts = parse_args(argv)
    return run_in_namespace(SEND, RECV, lambda: bench(opts))


def bench(opts: argparse.Namespace) -> int:
    natives = native_streams(max(opts.streams + opts.latency_load + [1]), 1)
    prio = "SCHED_OTHER" if opts.capture_priority is None else f"SCHED_FIFO {opts.capture_priority}"
    print(f"valdrin monitor benchmark: {platform.node()} {platform.release()}, {os.cpu_count()} CPUs, load {loadavg()}")
    print(f"engine on {SEND} (CPU {opts.engine_cpu}, SCHED_FIFO {opts.engine_priority}) -> captures on {RECV} "
          f"(CPU {opts.capture_cpu}, {prio}); {RATE} frames/s per stream, 1 ASDU, "
          f"{len(natives[0]['frame'])} octets; {opts.seconds:g} s per point; tcpdump -B {opts.buffer_kib}")
    out: dict[str, Any] = {"load_start": loadavg(), "points": [], "latency": []}

    best: dict[str, int] = {}
    failed: set[str] = set()
    offered: dict[str, float] = {}
    if not opts.no_capacity:
        names = [f"monitor {c}" for c in opts.configs] + ([] if opts.no_tcpdump else ["tcpdump"])
        print()
        print(f"{'':19s}" + "".join(f"| {name:^24s}" for name in names))
        print(f"{'streams':>7} {'frames/s':>11}" + f" | {SIDE}" * len(names) + "  load")
        runners = [lambda n, c=c: run_monitor(natives, n, c, opts) for c in opts.configs]
        if not opts.no_tcpdump:
            runners.append(lambda n: run_tcpdump(natives, n, opts))
        for n in opts.streams:
            points = []
            for runner in runners:
                p = runner(n)
                if not p.clean and opts.retries:
                    # Others share the machine: a stall from outside only ever adds
                    # drops, so a point fails only when its second run fails too.
                    first = p
                    p = runner(n)
                    p.notes.insert(0, f"run again after {first.kernel_drops} drops"
                                      f"{'' if first.exact else ', inexact counts'}; first run's notes: "
                                      f"{'; '.join(first.notes) or 'none'}")
                points.append(p)
            rate = statistics.mean(p.frames_per_s for p in points)
            print(f"{n:7d} {rate:11.0f}" + "".join(f" | {side(p)}" for p in points) + f"  {loadavg()}", flush=True)
            for p in points:
                for note in p.notes:
                    print(f"        {p.who}: {note}")
                if p.send_errors:
                    print(f"        {p.who}: the engine had {p.send_errors} send errors")
                # The most streams below which every count tried was clean.
                if not p.clean:
                    failed.add(p.who)
                elif p.who not in failed:
                    best[p.who] = n
                    offered[p.who] = p.frames_per_s
                out["points"].append({**asdict(p), "frames_per_s": p.frames_per_s, "cpu_ns_per_frame": p.cpu_per_frame})
        print()
        print("most streams with no kernel drop and exact counts, at every count tried up to it (a failure is run twice):")
        for name in names:
            k = best.get(name, 0)
            print(f"  {name:16s} {k:4d} streams ({k * RATE} frames/s asked, {offered.get(name, 0):.0f} offered)")
        out["best"] = best

    if not opts.no_latency:
        print()
        print(f"latency, kernel receive stamp -> event in Python ({opts.goose_count} GOOSE state changes "
              f"{opts.goose_gap_ms:g} ms apart)")
        print(f"{'config':>10} {'SV load':>8} {'events':>9} {'median µs':>10} {'p99 µs':>9} {'max µs':>9} {'drops':>6}")
        for load in opts.latency_load:
            for c in opts.configs:
                r = run_latency(c, load, natives, opts)
                print(f"{c:>10} {r.load_streams:8d} {r.received:4d}/{r.sent:<4d} {r.median_us:10.0f} {r.p99_us:9.0f} "
                      f"{r.max_us:9.0f} {r.kernel_drops:6d}", flush=True)
                out["latency"].append(asdict(r))
    out["load_end"] = loadavg()
    print(f"\n(load at the end: {out['load_end']})")
    if opts.json:
        opts.json.write_text(json.dumps(out, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
