#!/usr/bin/env python3
"""PRP publishing benchmark: the SV engine as a PRP node (every frame on two
LANs with its trailer) beside the same engine on one LAN, in the same run.

For each stream count the engine publishes 8-channel streams at 4800
samples/s, one ASDU per frame, first on one veth (plain), then on two (PRP,
LAN A and LAN B), and reports

  frames/s      stream frames per second of wall time (PRP: each frame once,
                though it goes out twice),
  late %        periods whose wake-up came more than one frame period late,
  ns/frame      CPU time of the engine's thread per stream frame (PRP: both
                copies of it), and the ratio PRP / plain.

Then the capacity of each: the most streams with at most 1 % late periods,
by bisection with shorter runs. Expect about twice the kernel cost per
frame with PRP, and little more.

Everything is sent on veth pairs in a network namespace of the benchmark's
own, which vanishes with the process. Needs root.

Usage: python3 bench/prp_publish_bench.py [--seconds S] [--streams 8,32,64] [--cpu N]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import (  # noqa: E402
    first_second, ip, loadavg, native_streams, run_in_namespace, sleep_until, thread_cpu_ns, threads_named,
)

RATE = 4800
LATE_LIMIT = 0.01
IFACE, PEER = "vprpa0", "vprpa1"
IFACE_B, PEER_B = "vprpb0", "vprpb1"


def run(native: list, n: int, seconds: float, prp: bool, cpu: int | None) -> dict:
    """One run of `n` streams: frames/s, late share, CPU ns per stream frame."""
    import valdrin_rt

    start = first_second()
    engine = valdrin_rt.Engine(IFACE, RATE, 1, native[:n], start, cpu=cpu, prp_b=IFACE_B if prp else None)
    before = threads_named("sv-engine")
    try:
        engine.start()
        (tid,) = threads_named("sv-engine") - before
        sleep_until(start - 0.05)
        cpu0 = thread_cpu_ns(tid)
        sleep_until(start + seconds)
        cpu1 = thread_cpu_ns(tid)
        wall = time.time_ns() - start * 1_000_000_000
        stats = engine.stats()
    finally:
        engine.stop()
    copies = 2 if prp else 1
    frames = stats["frames_sent"] / copies
    periods = (stats["frames_sent"] + stats["send_errors"]) / (n * copies)
    return {
        "frames_per_s": frames * 1e9 / wall,
        "late": stats["late_frames"] / (n * copies) / periods if periods else float("nan"),
        "ns_per_frame": (cpu1 - cpu0) / frames if frames else float("nan"),
        "errors": stats["send_errors"],
    }


def capacity(native: list, prp: bool, cpu: int | None, seconds: float) -> int:
    """The most streams (up to len(native)) with at most LATE_LIMIT late periods."""
    low, high = 0, len(native)
    while low < high:
        mid = (low + high + 1) // 2
        if run(native, mid, seconds, prp, cpu)["late"] <= LATE_LIMIT:
            low = mid
        else:
            high = mid - 1
    return low


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each measured run (default 3)")
    parser.add_argument("--streams", default="8,32,64", help="stream counts to measure (default 8,32,64)")
    parser.add_argument("--most", type=int, default=512, help="the capacity search's upper bound (default 512)")
    parser.add_argument("--cpu", type=int, help="pin the engine's thread to this CPU")
    opts = parser.parse_args()
    counts = [int(c) for c in opts.streams.split(",")]

    def body() -> int:
        ip("link", "add", IFACE_B, "type", "veth", "peer", "name", PEER_B)
        ip("link", "set", IFACE_B, "up")
        ip("link", "set", PEER_B, "up")
        native = native_streams(max(max(counts), opts.most), 1)
        print(f"PRP publishing, {RATE} samples/s, 1 ASDU per frame, {opts.seconds:g} s per run; load {loadavg()}")
        print(f"{'streams':>7}  {'plain frames/s':>14} {'late %':>7} {'ns/frame':>9}   "
              f"{'PRP frames/s':>12} {'late %':>7} {'ns/frame':>9}   {'CPU ratio':>9}")
        for n in counts:
            plain = run(native, n, opts.seconds, False, opts.cpu)
            prp = run(native, n, opts.seconds, True, opts.cpu)
            print(f"{n:>7}  {plain['frames_per_s']:>14,.0f} {100 * plain['late']:>7.2f} {plain['ns_per_frame']:>9,.0f}   "
                  f"{prp['frames_per_s']:>12,.0f} {100 * prp['late']:>7.2f} {prp['ns_per_frame']:>9,.0f}   "
                  f"{prp['ns_per_frame'] / plain['ns_per_frame']:>9.2f}"
                  + (f"  (send errors {plain['errors']}/{prp['errors']})" if plain["errors"] or prp["errors"] else ""),
                  flush=True)
        short = max(1.0, opts.seconds / 3)
        plain_cap = capacity(native[: opts.most], False, opts.cpu, short)
        prp_cap = capacity(native[: opts.most], True, opts.cpu, short)
        print(f"capacity (at most {100 * LATE_LIMIT:g} % late periods, {short:g} s runs): plain {plain_cap} streams "
              f"({plain_cap * RATE:,} frames/s), PRP {prp_cap} streams ({prp_cap * RATE:,} frames/s on each LAN); "
              f"ratio {prp_cap / plain_cap if plain_cap else float('nan'):.2f}")
        return 0

    return run_in_namespace(IFACE, PEER, body)


if __name__ == "__main__":
    sys.exit(main())
