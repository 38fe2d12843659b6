"""Helpers shared by the Python benchmarks: a private network namespace with a
veth pair, the 9-2LE streams the engine publishes, and CPU time of threads.

The namespace is the process's own (unshare(CLONE_NEWNET) before any thread
starts): every frame the benchmarks send stays on its veth pair, and the pair
and the namespace vanish with the process at the latest.
"""

from __future__ import annotations

import ctypes
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

CLONE_NEWNET = 0x40000000


def ip(*args: str) -> str:
    done = subprocess.run(["ip", *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"ip {' '.join(args)}: {done.stderr.strip()}")
    return done.stdout


def enter_namespace(iface: str, peer: str) -> None:
    """Moves this process into a new, empty network namespace with a veth pair iface/peer, both up.

    Called before any thread starts: the namespace applies to the calling
    thread and to every thread and process it creates afterwards.
    """
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        error = ctypes.get_errno()
        raise SystemExit(f"cannot make a network namespace: {os.strerror(error)} (run as root)")
    links = [line.split(":")[1].strip().split("@")[0] for line in ip("-o", "link", "show").splitlines()]
    if links != ["lo"]:
        raise SystemExit(f"the new network namespace is not empty: {links}")
    ip("link", "add", iface, "type", "veth", "peer", "name", peer)
    ip("link", "set", iface, "up")
    ip("link", "set", peer, "up")


def leave_namespace(iface: str) -> None:
    """Deletes the veth pair (it would go with the namespace anyway; this is as soon as done)."""
    subprocess.run(["ip", "link", "del", iface], capture_output=True)


def run_in_namespace(iface: str, peer: str, body: Callable[[], int]) -> int:
    """Runs `body` in a new namespace with the veth pair iface/peer; returns its exit
    status, 130 after Ctrl-C. SIGTERM ends the run as Ctrl-C does (engines stopped,
    veth deleted); without valdrin_rt installed it stops at once with a hint."""
    try:
        import valdrin_rt  # noqa: F401
    except ImportError:
        raise SystemExit("valdrin_rt is not installed: python3 -m pip install --no-build-isolation .")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    enter_namespace(iface, peer)
    try:
        return body()
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    finally:
        leave_namespace(iface)


def loadavg() -> str:
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def channels(shift_deg: float) -> list[Any]:
    """9-2LE channel order: Ia, Ib, Ic, In in A (scaled to mA),
    Va, Vb, Vc, Vn in V (scaled to 10 mV); 50 Hz, slightly unbalanced."""
    from valdrin import sv

    i = 250.0 * math.sqrt(2.0)
    v = 63_500.0 * math.sqrt(2.0)
    table = [
        (i, 0.0, 1000.0), (i * 0.98, -120.0, 1000.0), (i * 1.01, 120.0, 1000.0), (i * 0.03, 37.0, 1000.0),
        (v, 0.0, 100.0), (v, -120.5, 100.0), (v * 0.99, 119.0, 100.0), (v * 0.002, 10.0, 100.0),
    ]
    return [
        sv.Wave(amplitude=a, phase_deg=p + shift_deg, frequency_hz=50.0, scale=s, quality=0x2000 if k in (3, 7) else 0)
        for k, (a, p, s) in enumerate(table)
    ]


def bench_streams(count: int) -> list:
    """`count` merging-unit-like sv.Streams, each with its own svID, APPID and MAC."""
    from valdrin import sv

    return [
        sv.Stream(
            f"VALDRIN_MU{n:04d}",
            channels(n * 7.5 % 360.0),
            smp_synch=2,
            dst_mac=f"01:0c:cd:04:{n >> 8:02x}:{n & 0xFF:02x}",
            src_mac="02:00:00:00:00:01",
            app_id=0x4000 + n,
        )
        for n in range(count)
    ]


def native_streams(count: int, asdus: int) -> list[dict[str, Any]]:
    """The engine's stream dictionaries for `count` merging-unit-like streams."""
    from valdrin.sv_publisher import _native_streams

    return _native_streams(bench_streams(count), asdus)


def first_second() -> int:
    """A whole second at least 0.3 s away: the first frame's."""
    return math.floor(time.time() + 0.3) + 1


def sleep_until(t: float) -> None:
    while (left := t - time.time()) > 0:
        time.sleep(left)


def threads_named(name: str) -> set[int]:
    """The ids of this process's threads called `name`."""
    found = set()
    for tid in os.listdir("/proc/self/task"):
        try:
            if Path(f"/proc/self/task/{tid}/comm").read_text().strip() == name:
                found.add(int(tid))
        except FileNotFoundError:
            pass
    return found


def cpu_ns(path: str) -> int:
    """The first field of a schedstat file: time spent on the CPU, in ns."""
    return int(Path(path).read_text().split()[0])


def thread_cpu_ns(tid: int) -> int:
    return cpu_ns(f"/proc/self/task/{tid}/schedstat")
