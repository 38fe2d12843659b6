#!/usr/bin/env python3
"""The `valdrin monitor` command's CPU per frame beside `tcpdump -w /dev/null`'s.

The package's SV engine (valdrin_rt.Engine, SCHED_FIFO, pinned to CPU 0)
publishes N 8-channel 9-2LE streams at 4800 frames/s each, one ASDU per
frame, on veth va; on the peer vb, the whole of each receiving process is
pinned to CPU 1 (taskset), and in turn

  monitor   `valdrin monitor --iface vb --json`, its standard error a
            pseudo-terminal (about 150 x 50), so that the live table is drawn
            as a user sees it; stopped by SIGINT, it prints its report;
  tcpdump   `tcpdump -i vb -w /dev/null -B 4096` with a filter for SV, GOOSE
            and VLAN-tagged frames, stopped by SIGINT.

For each, CPU time is the sum over the process's threads (schedstat: on-CPU
time in ns) from just before the first frame until every frame has been
handed over (the engine stops, then a drain of 0.3 s plus the ring's block
timeout, 1 s for tcpdump, whose blocks wait that long); ns/frame is that
over the frames the process captured. Each line also splits the time by
thread, with how often each thread was switched to per second (its
wake-ups, mostly). "exact" means: the monitor counted every stream with as
many frames as the engine sent to it and no sample lost, duplicated or out
of order (it analysed every frame), tcpdump captured as many as were sent;
"drops" is the kernel's count of frames the ring had no room for. Rounds
alternate monitor and tcpdump on the same traffic; the ratio is monitor over
tcpdump per round and over the rounds' medians.

The kernel's part of receiving (the filter, the copy into the ring) runs on
the sender's CPU and is in neither figure. Everything happens in a network
namespace of the benchmark's own (veth va/vb, deleted at the end). Needs
root. Prints figures; asserts nothing about them.

Usage: .venv/bin/python bench/monitor_command_bench.py [--seconds 20] [--streams 32] [--rounds 3] [--no-tty]
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import platform
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import termios
import threading
import time
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from benchnet import loadavg, native_streams, run_in_namespace  # noqa: E402
from monitor_bench import DRAIN_S, RECV, SEND, TCPDUMP_FILTER, publish_for  # noqa: E402

TTY_COLUMNS, TTY_ROWS = 150, 50


@dataclass
class Run:
    who: str
    frames_sent: int
    captured: int
    kernel_drops: int
    exact: bool
    cpu_ns: int
    seconds: float
    threads: dict[str, int] = field(default_factory=dict)  # CPU ns by thread name
    runs: dict[str, int] = field(default_factory=dict)  # times switched to, by thread name
    notes: list[str] = field(default_factory=list)

    @property
    def ns_per_frame(self) -> float:
        return self.cpu_ns / self.captured if self.captured else float("nan")


def task_cpu(pid: int) -> dict[int, tuple[str, int, int]]:
    """Each thread of `pid`: its name, its CPU time so far in ns, and how
    many times it was switched to (schedstat's third field)."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            name = Path(f"/proc/{pid}/task/{tid}/comm").read_text().strip()
            fields = Path(f"/proc/{pid}/task/{tid}/schedstat").read_text().split()
        except (FileNotFoundError, ProcessLookupError):
            continue  # ended in between
        out[int(tid)] = (name, int(fields[0]), int(fields[2]))
    return out


def by_name(before: dict[int, tuple[str, int, int]],
            after: dict[int, tuple[str, int, int]]) -> tuple[dict[str, int], dict[str, int]]:
    """CPU ns and times switched to of each thread name between two task_cpu
    readings (threads that started in between count from zero)."""
    spent: dict[str, int] = defaultdict(int)
    switches: dict[str, int] = defaultdict(int)
    for tid, (name, ns, runs) in after.items():
        _, ns0, runs0 = before.get(tid, (name, 0, 0))
        spent[name] += ns - ns0
        switches[name] += runs - runs0
    return dict(spent), dict(switches)


def drain(fd: int) -> None:
    """Reads a pseudo-terminal's output until its other side is closed, so
    that the program drawing on it never blocks."""
    while True:
        try:
            if not os.read(fd, 65536):
                return
        except OSError:
            return


def wait_for_thread(process: subprocess.Popen, name: str, timeout_s: float) -> None:
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise SystemExit(f"valdrin monitor ended at start with status {process.returncode}")
        if any(thread[0] == name for thread in task_cpu(process.pid).values()):
            return
        time.sleep(0.02)
    raise SystemExit(f"valdrin monitor has no {name} thread after {timeout_s:g} s")


def measure(process: subprocess.Popen, natives: list[dict[str, Any]], n: int, opts: argparse.Namespace,
            drain_s: float) -> tuple[dict[str, int], float, dict[str, int], dict[str, int]]:
    """Publishes `n` streams for opts.seconds while `process` captures; returns
    the engine's stats, and from just before the first frame until `drain_s`
    after the last, the seconds, and the CPU ns and runs of the process's
    threads by name."""
    first: dict[int, tuple[str, int, int]] = {}
    started = 0.0

    def cpu_now() -> int:
        nonlocal started
        started = time.monotonic()
        first.update(task_cpu(process.pid))
        return 0

    _, stats, _ = publish_for(natives, n, opts, cpu_now)
    time.sleep(drain_s)
    last = task_cpu(process.pid)
    seconds = time.monotonic() - started
    return stats, seconds, *by_name(first, last)


def run_monitor(natives: list[dict[str, Any]], n: int, opts: argparse.Namespace) -> Run:
    command = ["taskset", "-c", str(opts.capture_cpu), sys.executable, "-m", "valdrin", "monitor",
               "--iface", RECV, "--json", "--max-streams", str(max(256, n)), *opts.monitor_option]
    master = slave = None
    env = dict(os.environ)
    if opts.tty:
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", TTY_ROWS, TTY_COLUMNS, 0, 0))
        env["TERM"] = "xterm-256color"
        env.pop("NO_COLOR", None)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=slave if opts.tty else subprocess.PIPE,
                               stdin=subprocess.DEVNULL, env=env, text=True)
    if opts.tty:
        os.close(slave)
        threading.Thread(target=drain, args=(master,), daemon=True).start()
    try:
        wait_for_thread(process, "frame-capture", 15)
        # The drain covers the command's block timeout (10 ms unless --block-timeout says otherwise).
        stats, seconds, threads, runs = measure(process, natives, n, opts, DRAIN_S + 0.01)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        if master is not None:
            os.close(master)
    if process.returncode != 0:
        raise SystemExit(f"valdrin monitor ended with status {process.returncode}: {(err or '').strip()[-500:]}")
    report = json.loads(out)
    sent = stats["frames_sent"]
    per_stream, rest = divmod(sent, n)
    sv = report["sv"]
    bad = [s for s in sv if (s["frames"], s["lost"], s["duplicated"], s["out_of_order"]) != (per_stream, 0, 0, 0)]
    notes = []
    if bad:
        s = bad[0]
        notes.append(f"{len(bad)} streams off, e.g. {s['sv_id']}: frames {s['frames']}/{per_stream} lost {s['lost']} "
                     f"dup {s['duplicated']} ooo {s['out_of_order']}")
    capture = report.get("capture") or {}
    # Every frame the monitor captured came in the window: nothing else
    # travels on the veth.
    return Run("monitor", sent, capture.get("frames", 0), capture.get("kernel_drops", -1),
               rest == 0 and len(sv) == n and not bad and report.get("malformed", 0) == 0,
               sum(threads.values()), seconds, threads, runs, notes)


def run_tcpdump(natives: list[dict[str, Any]], n: int, opts: argparse.Namespace) -> Run:
    command = ["taskset", "-c", str(opts.capture_cpu), opts.tcpdump, "-i", RECV, "-w", "/dev/null",
               "-B", str(opts.buffer_kib), "-Z", "root", TCPDUMP_FILTER]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        # "listening on vb, ..." once its socket is bound and its filter set.
        assert process.stderr is not None
        lines: list[str] = []
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and select.select([process.stderr], [], [], 0.5)[0]:
            lines.append(process.stderr.readline())
            if not lines[-1] or "listening on" in lines[-1]:
                break
        if not lines or "listening on" not in lines[-1]:
            raise SystemExit(f"tcpdump did not start: {''.join(lines).strip()}")
        # tcpdump's ring hands a block over when full or after 1 s.
        stats, seconds, threads, runs = measure(process, natives, n, opts, DRAIN_S + 1.0)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=10)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    counts = {}
    for what in ("captured", "dropped by kernel"):
        m = re.search(rf"(\d+) packets? {what}", err)
        counts[what] = int(m[1]) if m else -1
    sent = stats["frames_sent"]
    captured = counts["captured"]
    notes = [] if captured == sent else [f"tcpdump captured {captured} of {sent}"]
    return Run("tcpdump", sent, captured, counts["dropped by kernel"], captured == sent, sum(threads.values()),
               seconds, threads, runs, notes)


def line(r: Run) -> str:
    split = ", ".join(f"{name} {ns / r.captured:.0f} ({r.runs.get(name, 0) / r.seconds:.0f}/s)"
                      for name, ns in sorted(r.threads.items(), key=lambda kv: -kv[1])
                      if r.captured and ns / r.captured >= 0.5)
    return (f"  {r.who:8s} {r.frames_sent:9d} {r.captured:9d} {r.kernel_drops:6d} {'yes' if r.exact else 'NO':>5} "
            f"{r.ns_per_frame:9.0f}   {split}")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=20.0, help="seconds of traffic per run (default 20)")
    p.add_argument("--streams", type=int, default=32, help="SV streams at 4800 frames/s each (default 32)")
    p.add_argument("--rounds", type=int, default=3, help="monitor then tcpdump, this many times (default 3)")
    p.add_argument("--no-tty", dest="tty", action="store_false",
                   help="the monitor's standard error a pipe: no live table (only the capture and the analysis)")
    p.add_argument("--monitor-option", action="append", default=[], metavar="OPTION",
                   help="one more option for valdrin monitor, e.g. --monitor-option=--block-timeout=10 (repeatable)")
    p.add_argument("--tcpdump", default=shutil.which("tcpdump") or "/usr/bin/tcpdump")
    p.add_argument("--buffer-kib", type=int, default=4096,
                   help="tcpdump's -B, KiB (default 4096: the monitor's ring, 8 blocks of 512 KiB)")
    p.add_argument("--engine-cpu", type=int, default=0)
    p.add_argument("--engine-priority", type=int, default=80)
    p.add_argument("--capture-cpu", type=int, default=1)
    p.add_argument("--json", type=Path, help="also write the figures to this file")
    a = p.parse_args(argv)
    a.capture_priority = None  # both SCHED_OTHER, as a user starts them
    if not 0 < a.seconds <= 60 or not 1 <= a.streams <= 512 or not 1 <= a.rounds <= 10:
        p.error("--seconds must be in (0, 60], --streams 1..512, --rounds 1..10")
    return a


def bench(opts: argparse.Namespace) -> int:
    natives = native_streams(opts.streams, 1)
    print(f"valdrin monitor vs tcpdump -w /dev/null: {platform.node()} {platform.release()}, {os.cpu_count()} CPUs, "
          f"load {loadavg()}")
    print(f"{opts.streams} streams x 4800 frames/s on {SEND} (CPU {opts.engine_cpu}) -> {RECV} (CPU {opts.capture_cpu}); "
          f"{opts.seconds:g} s per run; monitor's standard error {'a terminal' if opts.tty else 'a pipe'}")
    print(f"  {'who':8s} {'sent':>9} {'captured':>9} {'drops':>6} {'exact':>5} {'ns/frame':>9}   by thread: ns/frame (runs/s)")
    runs: dict[str, list[Run]] = {"monitor": [], "tcpdump": []}
    for k in range(opts.rounds):
        for who, runner in (("monitor", run_monitor), ("tcpdump", run_tcpdump)):
            r = runner(natives, opts.streams, opts)
            runs[who].append(r)
            print(line(r), flush=True)
            for note in r.notes:
                print(f"           {note}")
        ratio = runs["monitor"][-1].ns_per_frame / runs["tcpdump"][-1].ns_per_frame
        print(f"  round {k + 1}: monitor / tcpdump = {ratio:.2f}   (load {loadavg()})", flush=True)
    median = {who: statistics.median(r.ns_per_frame for r in rs) for who, rs in runs.items()}
    print(f"median ns/frame: monitor {median['monitor']:.0f}, tcpdump {median['tcpdump']:.0f}; "
          f"ratio {median['monitor'] / median['tcpdump']:.2f}")
    if opts.json:
        opts.json.write_text(json.dumps({who: [{**r.__dict__, "ns_per_frame": r.ns_per_frame} for r in rs]
                                         for who, rs in runs.items()} | {"median": median}, indent=1))
    return 0


def main(argv: list[str] | None = None) -> int:
    opts = parse_args(argv)
    return run_in_namespace(SEND, RECV, lambda: bench(opts))


if __name__ == "__main__":
    sys.exit(main())
