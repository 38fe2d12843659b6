"""The stop request the long-running commands (publish, monitor, goose publish,
relay-sim, trip-test) take from SIGINT and SIGTERM: a signal that arrives at
any point of a wait ends it at once -- never a hang, never a sleep through --
and the handlers before are back afterwards. Each case runs in a child
process of its own, whose signals it sends itself."""

import json
import signal
import subprocess
import sys
import textwrap

import pytest

# The signal sent at the k-th event a trace function sees inside `wait`
# (each call, line and return: before the flag check, between it and the
# select, inside the handler), k = 1, 2, ... until the wait blocks before
# event k; a fallback sends it from a thread after 3 s. A handler that took
# a lock the waiting code holds would hang the child; one that ran only
# after the select began, with nothing to wake it, would sleep the 30 s.
AT_EVERY_POINT = """
import json, os, signal, sys, threading, time
from valdrin.cli.app import StopSignals
SIG = getattr(signal, sys.argv[1])
took, point = [], 0
while True:
    point += 1
    state = {"count": 0, "fired": False, "fallback": False}
    def tracer(frame, event, arg):
        state["count"] += 1
        if state["count"] == point and not state["fallback"] and not state["fired"]:
            state["fired"] = True
            os.kill(os.getpid(), SIG)
        return tracer
    def fallback():
        state["fallback"] = True
        os.kill(os.getpid(), SIG)
    with StopSignals() as stop:
        timer = threading.Timer(3.0, fallback)
        timer.start()
        begin = time.monotonic()
        sys.settrace(tracer)
        try:
            while not stop.wait(30):
                pass
        finally:
            sys.settrace(None)
        elapsed = time.monotonic() - begin
        timer.cancel()
        timer.join()
    if not state["fired"]:
        break
    took.append(elapsed)
print(json.dumps(took))
"""

# Handlers and wakeup descriptor around a use, another signal's handler
# left alone, a request before the wait, and the wait's own timeout.
AROUND = """
import json, os, signal, time
from valdrin.cli.app import StopSignals
signal.signal(signal.SIGUSR1, lambda *_: None)
before = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)]
out = {}
with StopSignals() as stop:
    out["installed"] = [signal.getsignal(s) not in before for s in (signal.SIGINT, signal.SIGTERM)]
    begin = time.monotonic()
    out["timeout"] = [stop.wait(0.05), stop.is_set()]
    out["timeout_s"] = time.monotonic() - begin
    os.kill(os.getpid(), signal.SIGUSR1)   # another signal: a wait may end early, but no request
    out["other"] = [stop.wait(0.05), stop.is_set()]
    os.kill(os.getpid(), signal.SIGTERM)
    begin = time.monotonic()
    out["requested"] = [stop.wait(30), stop.is_set(), stop.wait(30)]
    out["requested_s"] = time.monotonic() - begin
out["restored"] = [signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM)] == before
out["wakeup_fd"] = signal.set_wakeup_fd(-1)
print(json.dumps(out))
"""


def run_child(script, *args):
    try:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the child hung (a signal handled while a lock was held?); stderr: {expired.stderr!r}")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", ["SIGINT", "SIGTERM"])
def test_a_signal_at_any_point_of_a_wait_ends_it_at_once(name):
    took = run_child(AT_EVERY_POINT, name)
    # At least: before the flag check, and between it and the select.
    assert len(took) >= 2
    # Well under the fallback's 3 s (and the 30 s wait): the signal itself ended it.
    assert max(took) < 1.5, took


def test_handlers_are_installed_and_restored_and_only_a_stop_signal_is_a_request():
    out = run_child(AROUND)
    assert out["installed"] == [True, True]
    assert out["timeout"] == [False, False] and 0.04 <= out["timeout_s"] < 1.5
    assert out["other"] == [False, False]
    assert out["requested"] == [True, True, True] and out["requested_s"] < 1.5
    assert out["restored"] is True
    assert out["wakeup_fd"] == -1  # none before, none after
