"""Test code run in a network namespace of its own (`unshare --net`), where
frames can only go out on that namespace's loopback, which is brought up
first, and which imports from this directory. Shared by the tests that send."""

import functools
import json
import os
import re
import select
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

# Brings the namespace's loopback up (SIOCGIFFLAGS, SIOCSIFFLAGS | IFF_UP) and
# puts this directory on the import path.
LOOPBACK_UP = textwrap.dedent("""
    import fcntl as _fcntl, socket as _socket, struct as _struct
    _s = _socket.socket(_socket.AF_INET, _socket.SOCK_DGRAM)
    _flags = _struct.unpack("16sh", _fcntl.ioctl(_s, 0x8913, _struct.pack("16sh", b"lo", 0)))[1]
    _fcntl.ioctl(_s, 0x8914, _struct.pack("16sh", b"lo", _flags | 1))
    _s.close()
    import sys as _sys
    _sys.path.insert(0, %r)
""" % os.path.dirname(os.path.abspath(__file__)))


PF_EXITING = 0x4  # task flag: the thread has begun to exit


def thread_names():
    """The names of this process's live threads.

    A thread that has begun to exit is left out: one just joined stays
    listed in /proc for a moment after pthread_join returns, with this flag
    set, and one that ends while the list is read is gone from it.
    """
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/stat") as stat:
                line = stat.read()
        except (FileNotFoundError, ProcessLookupError):  # ended after the listing
            continue
        name, rest = line[line.index("(") + 1:line.rindex(")")], line[line.rindex(")") + 1:].split()
        if not int(rest[6]) & PF_EXITING:  # the ninth field of stat, after state
            names.append(name)
    return names


def open_sockets():
    """The sockets this process holds a descriptor of."""
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # the listing's own descriptor, closed by now
            continue
        if target.startswith("socket:"):
            found.append(target)
    return found


@functools.cache
def netns_reason():
    """Why no network namespace can be made here, or None when one can (a
    skip with this reason fails a run that must run everything: conftest.py)."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("unshare") is None:
        return "unshare(1) is not installed"
    run = subprocess.run(["unshare", "--net", "true"], capture_output=True, text=True)
    if run.returncode != 0:
        return f"unshare --net is refused here: {run.stderr.strip()}"
    return None


@functools.cache
def nft_egress_reason():
    """Why nftables cannot filter on the netdev egress hook here (a kernel
    before 5.16 or without CONFIG_NETFILTER_EGRESS, no nft), or None."""
    reason = netns_reason()
    if reason:
        return reason
    if shutil.which("nft") is None:
        return "nft(8) is not installed (the test drops frames with an nftables egress rule)"
    script = ("ip link add va type veth peer name vb && nft add table netdev probe && "
              "nft add chain netdev probe out '{ type filter hook egress device \"va\" priority 0; }'")
    run = subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True, text=True)
    if run.returncode != 0:
        return f"nftables' netdev egress hook is not available here: {run.stderr.strip()}"
    return None


def in_netns(prelude, body, timeout=60):
    """Runs `prelude` then `body` with Python in a fresh network namespace
    whose loopback is up; returns the last line it printed, read as JSON.
    Skips when no namespace can be made; a run that does not end in time
    fails the test (a deadlock)."""
    reason = netns_reason()
    if reason:
        pytest.skip(reason)
    script = LOOPBACK_UP + textwrap.dedent(prelude) + textwrap.dedent(body)
    try:
        proc = subprocess.run(["unshare", "--net", sys.executable, "-c", script],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"no end after {timeout} s; stderr: {expired.stderr!r}")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# How late a frame or a wake-up may be in a test: about ten times what this
# kind of machine shows under load (two shared cores; a wake-up delayed by
# other work by up to some 20 ms). Timing quality is the benchmarks' business.
LATE_S = 0.2


def wait_until(condition, what, limit=20.0):
    """Polls `condition()` until it holds; raises AssertionError naming `what`
    when `limit` seconds pass first (a test's deadline, not its timing)."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {limit} s: {what}")
        time.sleep(0.01)


def wait_settled(read, what, quiet=LATE_S, limit=20.0):
    """Polls `read()` every `quiet` seconds until it returns the same value
    twice in a row, and returns that value: for counts that stop growing once
    the sender has stopped. Raises AssertionError naming `what` after `limit`."""
    deadline, last = time.monotonic() + limit, read()
    while True:
        time.sleep(quiet)
        now = read()
        if now == last:
            return now
        if time.monotonic() > deadline:
            raise AssertionError(f"not settled within {limit} s: {what} ({now!r})")
        last = now


def task_of(pid, name, limit=20.0):
    """The id of the thread of process `pid` named `name`, once it runs (for
    a child to be ready: its capture thread exists once its socket is bound)."""
    found = []

    def look():
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                with open(f"/proc/{pid}/task/{task}/comm") as comm:
                    if comm.read().strip() == name:
                        found.append(int(task))
                        return True
            except OSError:  # ended after the listing
                pass
        return False

    wait_until(look, f"a thread {name} in process {pid}", limit)
    return found[0]


def read_until(process, pattern, timeout=20):
    """The child's standard output read until a line matches `pattern` (bytes
    regex, multiline); fails the test if the child ends or `timeout` passes first."""
    seen, deadline = b"", time.monotonic() + timeout
    while not re.search(pattern, seen, re.M):
        assert time.monotonic() < deadline, seen
        if select.select([process.stdout], [], [], 1)[0]:
            chunk = os.read(process.stdout.fileno(), 4096)
            assert chunk, seen
            seen += chunk
    return seen
