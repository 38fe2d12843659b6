#!/usr/bin/env python3
"""Trip-test accuracy: valdrin.testing.trip_test against the RelaySimulator.

The test set publishes one 9-2LE stream on veth va with a fault each shot
(10 times the healthy 500 A), the simulator on vb (pickup 1000 A, delay
20 ms) trips and resets by GOOSE. For every shot that tripped

  error = reported operate time - (simulator's logged send instant - fault instant)

that is, the test set's kernel receive stamp of the trip frame minus the
simulator's kernel stamp of that frame leaving (its capture sees its own
frames). The table gives median, p99 and max of |error| beside

  baseline = the same difference with this process's arrival time of the
             trip event (time.time_ns() when Python took it from the V2
             capture) in place of the kernel stamp: what a measurement
             without kernel stamps would report,

their ratio, the same with the instant the simulator handed the frame to
the kernel (its clock just before the send call) as its send instant, the
reported uncertainty (the first faulted frame's
departure lateness + 1 µs) and how many shots fell within it. Everything
runs in a network namespace of the benchmark's own (unshare at start, veth
pair deleted at the end). Needs root. Prints figures; asserts nothing.

Usage: build/venv/bin/python bench/trip_accuracy.py [--shots 50] [--delay-ms 20]
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import enter_namespace, leave_namespace, loadavg  # noqa: E402

REF = "RELAY1LD0/LLN0$GO$trip"


def p99(values: list[float]) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, round(0.99 * (len(ordered) - 1)))]


def row(name: str, values: list[float]) -> str:
    return f"{name:<34} {statistics.median(values):9.1f} {p99(values):9.1f} {max(values):9.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--shots", type=int, default=50)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    args = parser.parse_args()
    if not 1 <= args.shots <= 1000:
        raise SystemExit("--shots must be between 1 and 1000")
    enter_namespace("va", "vb")
    try:
        from valdrin import sv, testing
        from valdrin.cli.publish import default_waves

        waves = default_waves()
        fault = sv.Fault([sv.Wave(w.amplitude * 10, w.phase_deg, w.frequency_hz, w.offset, w.scale) for w in waves])
        streams = [sv.Stream("MU01", waves, dst_mac="01:0c:cd:04:00:01", app_id=0x4000, fault=fault)]
        sim = testing.RelaySimulator("vb", "MU01", 1000.0, args.delay_ms, REF)
        done = threading.Event()
        sim.start()
        serving = threading.Thread(target=sim.serve, kwargs={"stop": done.is_set})
        serving.start()
        try:
            result = testing.trip_test("va", streams, prefault=0.2, fault=0.3, gocb_ref=REF, shots=args.shots)
        finally:
            done.set()
            serving.join()
            sim.stop()
    finally:
        leave_namespace("va")

    trips = {d.st_num: d for d in sim.log if d.kind == "trip"}
    errors, baseline, handed, uncertainty, relay, within = [], [], [], [], [], 0
    for shot in result.shots:
        decision = trips.get(shot.trip_st_num)
        if not shot.tripped or decision is None or decision.sent_ns is None:
            continue
        logged = decision.sent_ns - shot.fault_at_ns
        error_us = abs(shot.trip_ns - shot.fault_at_ns - logged) / 1e3
        errors.append(error_us)
        if shot.trip_seen_ns is not None:
            baseline.append(abs(shot.trip_seen_ns - shot.fault_at_ns - logged) / 1e3)
        if decision.handed_ns is not None:
            handed.append(abs(shot.trip_ns - decision.handed_ns) / 1e3)
        uncertainty.append(shot.uncertainty_us)
        within += error_us <= shot.uncertainty_us
        relay.append((decision.sent_ns - decision.frame_ns) / 1e3)
    print(f"{platform.node()} {platform.machine()}, {os.cpu_count()} CPUs, load {loadavg()}")
    print(f"{len(result.shots)} shots, {len(errors)} tripped and logged; operate times (ms): {result.summary()}")
    if not errors:
        return
    print(f"{'µs':<34} {'median':>9} {'p99':>9} {'max':>9}")
    print(row("|error|, kernel receive stamp", errors))
    print(row("|error|, Python arrival (baseline)", baseline))
    print(f"{'ratio baseline / kernel stamp':<34} {statistics.median(baseline) / max(statistics.median(errors), 1e-3):9.1f} "
          f"{p99(baseline) / max(p99(errors), 1e-3):9.1f} {max(baseline) / max(max(errors), 1e-3):9.1f}")
    print(row("|error| against the hand-over", handed))
    print(row("reported uncertainty", uncertainty))
    print(row("relay: deciding frame -> GOOSE sent", relay))
    print(f"shots whose |error| is within the reported uncertainty: {within} of {len(errors)}")


if __name__ == "__main__":
    main()
