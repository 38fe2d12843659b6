#!/usr/bin/env python3
"""Publishing benchmark: the native SV engine against a bare C++ publisher.

For every point (stream count x ASDUs per frame) the engine (valdrin_rt.Engine)
publishes 8-channel 50 Hz streams at 4800 samples/s for a while, and right
after it, in the same run, the bare publisher (bench/baseline_publisher.cpp)
does the same with the same frames and the same pacing: absolute
clock_nanosleep on CLOCK_REALTIME, one sendmmsg per period, SCHED_FIFO and
pinned to one CPU. Both are reported with

  frames/s      frames sent per second of wall time,
  late %        periods whose wake-up came more than one frame period after
                its scheduled time (the engine counts late frames, all frames
                of a late period: late periods = late_frames / streams),
  max µs        the largest wake-up lateness,
  ns/frame      CPU time of the sending thread per frame sent (the engine's
                thread "sv-engine" from /proc/self/task/<tid>/schedstat, the
                bare publisher from CLOCK_THREAD_CPUTIME_ID).

A capacity search follows: the most streams with at most 1 % late periods,
by bisection over stream counts with shorter runs, for both publishers.

Everything is sent on a veth pair in a network namespace of the benchmark's
own (the process leaves its namespace with unshare(CLONE_NEWNET) at start;
the namespace and the veth pair vanish with the process). Needs root.

Usage: python3 bench/publish_bench.py [--quick] [--seconds S] [...]
(install the package first: python3 -m pip install --no-build-isolation .)
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Callable

RATE = 4800
LATE_LIMIT = 0.01  # capacity: at most 1 % late periods
KNOB_STREAMS = 64  # the fault knobs' runs
IFACE, PEER = "vbench0", "vbench1"
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import (  # noqa: E402
    first_second, loadavg, native_streams, sleep_until, thread_cpu_ns, threads_named, run_in_namespace,
)


def write_templates(path: Path, native: list[dict[str, Any]]) -> None:
    """The template file that baseline_publisher reads (see its header)."""
    lines = ["valdrin-sv-templates 1", f"streams {len(native)}"]
    for st in native:
        frame = st["frame"]
        lines.append(f"stream {len(frame)} {len(st['smp_cnt_offsets'])} {len(st['waves'])}")
        lines.append("frame " + frame.hex())
        lines.append("smp_cnt " + " ".join(map(str, st["smp_cnt_offsets"])))
        lines.append("samples " + " ".join(map(str, st["sample_offsets"])))
        for amplitude, phase, frequency, offset, scale, quality in st["waves"]:
            numbers = " ".join(float.hex(float(x)) for x in (amplitude, phase, frequency, offset, scale))
            lines.append(f"wave {numbers} {quality}")
    lines.append("end")
    path.write_text("\n".join(lines) + "\n")


# --- one run of each publisher ----------------------------------------------


@dataclass
class Run:
    streams: int
    asdus: int
    seconds: int
    frames_sent: int
    send_errors: int
    periods: float
    late_periods: float
    max_lateness_ns: int
    cpu_ns: int
    wall_ns: int

    @property
    def frames_per_s(self) -> float:
        return self.frames_sent * 1e9 / self.wall_ns if self.wall_ns > 0 else math.nan

    @property
    def late_fraction(self) -> float:
        return self.late_periods / self.periods if self.periods else math.nan

    @property
    def cpu_per_frame(self) -> float:
        return self.cpu_ns / self.frames_sent if self.frames_sent else math.nan

    def summary(self) -> dict[str, Any]:
        return {
            **asdict(self),
            "frames_per_s": self.frames_per_s,
            "late_fraction": self.late_fraction,
            "cpu_ns_per_frame": self.cpu_per_frame,
        }










def run_engine(native: list[dict[str, Any]], n: int, asdus: int, seconds: int, opts: argparse.Namespace,
               armed: bool = False) -> Run:
    """One engine run; ``armed``: a fault knob of every stream set (and back at rest) before the start, so
    that the thread does the knobs' whole per-frame work with no fault to make."""
    import valdrin_rt

    start = first_second()
    engine = valdrin_rt.Engine(IFACE, RATE, asdus, native[:n], start, rt_priority=opts.priority, cpu=opts.cpu)
    for stream in range(n if armed else 0):
        engine.fault(stream, "delay", None)
    before = threads_named("sv-engine")
    try:
        engine.start()
        threads = threads_named("sv-engine") - before
        if len(threads) != 1:
            raise SystemExit(f"cannot tell the engine's thread: {sorted(threads)}")
        tid = threads.pop()
        # Its working set is built by now; the first period is due at `start`.
        sleep_until(start - 0.05)
        cpu0 = thread_cpu_ns(tid)
        sleep_until(start + seconds)
        cpu1 = thread_cpu_ns(tid)
        wall = time.time_ns() - start * 1_000_000_000
        stats = engine.stats()
    finally:
        engine.stop()
    sent = stats["frames_sent"]
    per_stream = max(n, 1)
    return Run(
        streams=n,
        asdus=asdus,
        seconds=seconds,
        frames_sent=sent,
        send_errors=stats["send_errors"],
        periods=(sent + stats["send_errors"]) / per_stream,
        late_periods=stats["late_frames"] / per_stream,
        max_lateness_ns=stats["max_lateness_ns"],
        cpu_ns=cpu1 - cpu0,
        wall_ns=wall,
    )


def run_baseline(binary: Path, templates: Path, n: int, asdus: int, seconds: int, opts: argparse.Namespace) -> Run:
    command = [
        str(binary), "--templates", str(templates), "--iface", IFACE, "--streams", str(n),
        "--rate", str(RATE), "--asdus", str(asdus), "--seconds", str(seconds),
        "--priority", str(opts.priority), "--cpu", str(opts.cpu),
    ]  # fmt: skip
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        out, err = process.communicate(timeout=seconds + 60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    if process.returncode != 0:
        raise SystemExit(f"baseline_publisher failed ({process.returncode}): {err.strip()}")
    r = json.loads(out.strip().splitlines()[-1])
    if r["setup_overran"]:
        print(f"  note: the baseline's set-up ran past its first period ({n} streams)", file=sys.stderr)
    return Run(
        streams=n,
        asdus=asdus,
        seconds=seconds,
        frames_sent=r["frames_sent"],
        send_errors=r["send_errors"],
        periods=r["periods"],
        late_periods=r["late_periods"],
        max_lateness_ns=r["max_lateness_ns"],
        cpu_ns=r["cpu_ns"],
        wall_ns=r["wall_ns"],
    )


# --- checks and output ------------------------------------------------------------


def check_same_frames(binary: Path, templates: Path, native: list[dict[str, Any]], asdus: int) -> str:
    """Compares the baseline's frames with Engine.render for a few instants."""
    import valdrin_rt

    n = min(len(native), 16)
    engine = valdrin_rt.Engine(IFACE, RATE, asdus, native[:n], 0)
    second = int(time.time())
    bad = 0
    instants = [(second, 0), (second, asdus * 37), (second + 1, RATE - asdus)]
    for sec, smp in instants:
        out = subprocess.run(
            [str(binary), "--templates", str(templates), "--streams", str(n), "--rate", str(RATE),
             "--asdus", str(asdus), "--dump-second", str(sec), "--dump-smp", str(smp)],
            capture_output=True, text=True, check=True,
        ).stdout.split()  # fmt: skip
        bad += sum(bytes.fromhex(out[i]) != engine.render(i, sec, smp) for i in range(n))
    total = n * len(instants)
    return f"identical ({total} frames compared)" if bad == 0 else f"DIFFER in {bad} of {total} frames"


def build_baseline(workdir: Path) -> Path:
    compiler = os.environ.get("CXX") or shutil.which("c++") or "g++"
    binary = workdir / "baseline_publisher"
    subprocess.run(
        [compiler, "-std=c++23", "-O2", "-Wall", "-Wextra", "-I", str(HERE.parent / "core" / "src"), "-o", str(binary),
         str(HERE / "baseline_publisher.cpp")],
        check=True,
    )
    return binary


def pct(x: float) -> str:
    return "   n/a" if math.isnan(x) else f"{100 * x:6.2f}"


def row(e: Run, b: Run) -> str:
    target = e.streams * RATE // e.asdus
    ratio = e.cpu_per_frame / b.cpu_per_frame if b.cpu_per_frame else math.nan

    def side(r: Run) -> str:
        return (
            f"{r.frames_per_s:9.0f} {pct(r.late_fraction)} {r.max_lateness_ns / 1000:8.1f}"
            f" {r.cpu_per_frame:8.0f} {r.send_errors:5d}"
        )

    return f"{e.streams:7d} {e.asdus:4d} {target:9d} | {side(e)} | {side(b)} | {ratio:5.2f}"


SIDE = f"{'frames/s':>9} {'late%':>6} {'max µs':>8} {'ns/frame':>8} {'errs':>5}"
HEADER = (
    f"{'':23s}|{'engine':^42s}|{'baseline':^42s}| CPU\n"
    f"{'streams':>7} {'ASDU':>4} {'target/s':>9} | {SIDE} | {SIDE} | e/b"
)




# --- capacity ---------------------------------------------------------------------


def capacity(
    probe: Callable[[int], Run], known: dict[int, float], resolution: int, limit: int, log: list[str]
) -> tuple[int, bool]:
    """The most streams with at most 1 % late periods, and whether it hit `limit`.

    Disturbances from outside only ever add lateness, so a count passes when
    one probe passes and fails only when a second probe fails too. The points
    of the table (`known`: streams -> late fraction) give the start: their
    passes are taken as they are, their failures are probed again. Then the
    count is doubled until it fails and bisected down to `resolution`.
    """

    def passes(n: int) -> bool:
        for _ in range(2):
            r = probe(n)
            ok = r.late_fraction <= LATE_LIMIT
            log.append(f"{n}:{100 * r.late_fraction:.2f}%{'' if ok else '!'}")
            if ok:
                return True
        return False

    lo = max((n for n, f in known.items() if f <= LATE_LIMIT), default=0)
    hi = None
    for n in sorted(n for n, f in known.items() if f > LATE_LIMIT and n > lo):
        if not passes(n):
            hi = n
            break
        lo = n
    while hi is None:
        candidate = min(max(2 * lo, 16), limit)
        if candidate <= lo:
            return lo, True
        if passes(candidate):
            lo = candidate
        else:
            hi = candidate
    while hi - lo > resolution:
        mid = (lo + hi) // 2
        if passes(mid):
            lo = mid
        else:
            hi = mid
    return lo, False


# --- main -------------------------------------------------------------------------


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="2 s per point, fewer points, coarse capacity search")
    p.add_argument("--seconds", type=int, help="seconds per point (default 10, 2 with --quick)")
    p.add_argument("--streams", type=lambda s: [int(x) for x in s.split(",")], help="stream counts, e.g. 1,16,64,128")
    p.add_argument("--asdus", type=lambda s: [int(x) for x in s.split(",")], help="ASDUs per frame, e.g. 1,2")
    p.add_argument("--priority", type=int, default=80, help="SCHED_FIFO priority of both senders (default 80)")
    p.add_argument("--cpu", type=int, default=(os.cpu_count() or 1) - 1, help="CPU both senders are pinned to")
    p.add_argument("--capacity-seconds", type=int, help="seconds per capacity probe (default 3, 1 with --quick)")
    p.add_argument("--resolution", type=int, help="capacity search resolution in streams (default 4, 8 with --quick)")
    p.add_argument("--max-streams", type=int, default=512, help="upper end of the capacity search")
    p.add_argument("--no-capacity", action="store_true", help="skip the capacity search")
    p.add_argument("--no-knobs", action="store_true", help="skip the fault knobs' runs (never set against at rest)")
    p.add_argument("--baseline", type=Path, help="a built baseline_publisher (else compiled here with -O2)")
    p.add_argument("--json", type=Path, help="also write all figures to this file")
    a = p.parse_args(argv)
    a.seconds = a.seconds or (2 if a.quick else 10)
    a.streams = a.streams or ([1, 64] if a.quick else [1, 16, 64, 128])
    a.asdus = a.asdus or [1, 2]
    a.capacity_seconds = a.capacity_seconds or (1 if a.quick else 3)
    a.resolution = a.resolution or (8 if a.quick else 4)
    if any(RATE % x for x in a.asdus):
        p.error(f"ASDUs per frame must divide {RATE}")
    return a


def main(argv: list[str] | None = None) -> int:
    opts = parse_args(argv)

    def body() -> int:
        with tempfile.TemporaryDirectory(prefix="valdrin-bench-") as tmp:
            return bench(opts, Path(tmp))

    return run_in_namespace(IFACE, PEER, body)


def bench(opts: argparse.Namespace, tmp: Path) -> int:
    binary = opts.baseline or build_baseline(tmp)
    most = max(opts.max_streams, *opts.streams)
    natives, templates = {}, {}
    for asdus in opts.asdus:
        natives[asdus] = native_streams(most, asdus)
        templates[asdus] = tmp / f"templates-{asdus}.txt"
        write_templates(templates[asdus], natives[asdus])

    frame_len = {a: len(natives[a][0]["frame"]) for a in opts.asdus}
    print(f"valdrin publish benchmark: {platform.node()} {platform.release()}, {os.cpu_count()} CPUs, load {loadavg()}")
    print(
        f"veth {IFACE} in a private namespace; {RATE} samples/s, 8 channels of 50 Hz; SCHED_FIFO {opts.priority} on CPU {opts.cpu};"
        f" {opts.seconds:g} s per point; frame octets " + ", ".join(f"{frame_len[a]} @ {a} ASDU" for a in opts.asdus)
    )
    for asdus in opts.asdus:
        print(f"baseline frames vs Engine.render @ {asdus} ASDU/frame: "
              f"{check_same_frames(binary, templates[asdus], natives[asdus], asdus)}")  # fmt: skip
    print()
    print(HEADER)

    points: dict[tuple[int, int], tuple[Run, Run]] = {}
    for asdus in opts.asdus:
        for n in opts.streams:
            e = run_engine(natives[asdus], n, asdus, opts.seconds, opts)
            b = run_baseline(binary, templates[asdus], n, asdus, opts.seconds, opts)
            points[(n, asdus)] = (e, b)
            print(row(e, b), flush=True)
    print(f"(load after the table: {loadavg()})")

    caps: dict[int, tuple[tuple[int, bool], tuple[int, bool]]] = {}
    if not opts.no_capacity:
        print(
            f"\ncapacity: most streams with <= {100 * LATE_LIMIT:g} % late periods"
            f" ({opts.capacity_seconds:g} s probes, a failure probed twice, resolution {opts.resolution} streams)"
        )
        for asdus in opts.asdus:
            found = []
            for k, kind in enumerate(("engine", "baseline")):
                known = {n: points[(n, asdus)][k].late_fraction for n in opts.streams}
                if kind == "engine":
                    def probe(n: int, a: int = asdus) -> Run:
                        return run_engine(natives[a], n, a, opts.capacity_seconds, opts)
                else:
                    def probe(n: int, a: int = asdus) -> Run:
                        return run_baseline(binary, templates[a], n, a, opts.capacity_seconds, opts)
                log: list[str] = []
                found.append(capacity(probe, known, opts.resolution, opts.max_streams, log))
                print(f"  {asdus} ASDU/frame {kind:8s} probes: {' '.join(log) or '(from the table)'}", flush=True)
            caps[asdus] = (found[0], found[1])
        print("\n ASDU   engine  baseline  engine/baseline")
        for asdus, ((ce, he), (cb, hb)) in caps.items():
            ratio = ce / cb if cb else math.nan
            print(f" {asdus:4d} {ce:7d}{'+' if he else ' '} {cb:8d}{'+' if hb else ' '}  {100 * ratio:6.1f} %")
        print(f"(+: reached --max-streams {opts.max_streams}; load now: {loadavg()})")

    knobs = None
    if not opts.no_knobs and 1 in opts.asdus:
        # Knobs never set against knobs set and back at rest, in turns so that load weighs on both alike.
        n = KNOB_STREAMS
        idle: list[Run] = []
        armed: list[Run] = []
        for _ in range(3):
            idle.append(run_engine(natives[1], n, 1, opts.capacity_seconds, opts))
            armed.append(run_engine(natives[1], n, 1, opts.capacity_seconds, opts, armed=True))
        low = min(r.cpu_per_frame for r in idle)
        high = min(r.cpu_per_frame for r in armed)
        knobs = {"idle_ns": low, "armed_ns": high}
        print(f"\nfault knobs @ {n} streams x 1 ASDU, best of 3 interleaved {opts.capacity_seconds:g} s runs:"
              f" never set {low:.0f} ns/frame, set and at rest {high:.0f} ns/frame = {high / low:.3f}x"
              f" (runs: {' '.join(f'{r.cpu_per_frame:.0f}' for r in idle)} | "
              f"{' '.join(f'{r.cpu_per_frame:.0f}' for r in armed)})")

    print("\nsummary")
    if (64, 1) in points:
        e, b = points[(64, 1)]
        ok = e.late_fraction <= b.late_fraction
        print(
            f"  late periods @ 64 streams x 1 ASDU ({64 * RATE} frames/s): engine {pct(e.late_fraction).strip()} %"
            f" vs baseline {pct(b.late_fraction).strip()} %: {'met' if ok else 'MISSED'} (engine no worse)"
        )
        ratio = e.cpu_per_frame / b.cpu_per_frame
        print(
            f"  CPU per frame @ 64 streams x 1 ASDU: engine {e.cpu_per_frame:.0f} ns vs baseline {b.cpu_per_frame:.0f} ns"
            f" = {ratio:.2f}x: {'met' if ratio <= 1.2 else 'MISSED'} (<= 1.2x)"
        )
    else:
        print("  64 streams x 1 ASDU not measured: late-period and CPU targets not judged")
    for asdus, ((ce, _), (cb, _)) in caps.items():
        ratio = ce / cb if cb else math.nan
        print(
            f"  capacity @ {asdus} ASDU/frame: engine {ce} vs baseline {cb} streams = {100 * ratio:.0f} %:"
            f" {'met' if ratio >= 0.9 else 'MISSED'} (>= 90 %)"
        )

    if opts.json:
        opts.json.write_text(
            json.dumps(
                {
                    "points": [{"engine": e.summary(), "baseline": b.summary()} for e, b in points.values()],
                    "capacity": {str(a): {"engine": c[0][0], "baseline": c[1][0]} for a, c in caps.items()},
                    "knobs": knobs,
                },
                indent=1,
            )
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
