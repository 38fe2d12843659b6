"""valdrin.goose.Publisher on a veth pair in a network namespace of its own:
the schedule seen by an independent receiver (stNum, sqNum, TAL and t
exactly, intervals from kernel timestamps within loose bounds), a change
cutting into the schedule, agreement with valdrin.listen.Monitor, refused
input, and a vanishing interface."""

import pytest

import netns
from goose_pub_frames import block, schedule
from valdrin import goose
from valdrin.data import BoolData, IntData

PRELUDE = """
import json, subprocess, time
from valdrin import goose
from valdrin.data import BoolData, IntData
from valdrin.listen import Monitor
from goose_pub_frames import Receiver, block, schedule
from netns import wait_until

def sh(*commands):
    for command in commands:
        subprocess.run(command, shell=True, check=True, capture_output=True)

sh("ip link add va type veth peer name vb", "ip link set va up", "ip link set vb up")
"""


def in_netns(body, timeout=60):
    return netns.in_netns(PRELUDE, body, timeout)


def test_schedule_after_start_and_after_a_change():
    result = in_netns("""
        receiver = Receiver("vb")
        def of_state(st):
            return sum(f.st_num == st for _, f in list(receiver.frames))
        with Monitor("vb") as monitor:
            # TAL 50 times the gap (3.2 s after the last frame): the counts
            # below are read after the publisher stopped, before it expires.
            with goose.Publisher("va", [block(4.0, 64.0, st_num=9, tal_factor=50)]) as publisher:
                wait_until(lambda: of_state(9) >= 6, "frames 0..5 of stNum 9")   # at 0, 4, 12, 28, 60, 124 ms
                publisher.publish(0, [BoolData(True), IntData(8)])
                wait_until(lambda: of_state(10) >= 6, "frames 0..5 of stNum 10")
            stats = publisher.stats()
            wait_until(lambda: len(receiver.frames) == stats["frames_sent"] == monitor.report().goose[0]["frames"],
                       "every frame sent received and counted")
            report = monitor.report().goose[0]
        frames = receiver.stop()
        print(json.dumps({
            "frames": [[stamp, f.st_num, f.sq_num, f.time_allowed_to_live, f.t.seconds, f.t.fraction, f.t.quality,
                        f.values, f.conf_rev] for stamp, f in frames],
            "stats": stats,
            "report": [report[k] for k in ("frames", "st_num", "state_changes", "lost", "duplicated",
                                           "out_of_order", "tal_expired")],
        }))
    """)
    frames = result["frames"]
    states = [[f for f in frames if f[1] == st] for st in (9, 10)]
    assert [f[1] for f in frames] == [9] * len(states[0]) + [10] * len(states[1])
    assert min(len(s) for s in states) >= 6
    for state, values in zip(states, ([False, 7], [True, 8])):
        first = state[0]
        for k, (stamp, st, sq, tal, seconds, fraction, quality, got, conf_rev) in enumerate(state):
            offset_ms, tal_ms = schedule(4, 64, len(state), factor=50)[k]
            assert (sq, tal, quality, got, conf_rev) == (k, tal_ms, 0x0A, values, 3)
            assert (seconds, fraction) == (first[4], first[5])       # t: the instant of the change
            assert offset_ms - 1 <= (stamp - first[0]) / 1e6 <= offset_ms + netns.LATE_S * 1000
    assert result["stats"]["frames_sent"] == len(frames) and result["stats"]["send_errors"] == 0
    assert result["report"] == [len(frames), 10, 1, 0, 0, 0, 0]


def test_refused_input_sends_nothing():
    result = in_netns("""
        receiver = Receiver("vb")
        errors = []
        publisher = goose.Publisher("va", [block()])
        for values in ([IntData(1), IntData(8)], [BoolData(True)], [BoolData(True), IntData(1), IntData(2)]):
            try:
                publisher.publish(0, values)
            except TypeError as e:
                errors.append(str(e))
        for name, call in (("index", lambda: publisher.publish(3, [])), ("ref", lambda: publisher.publish("x", [])),
                           ("knob", lambda: publisher.fault(0, "nope"))):
            try:
                call()
            except (IndexError, KeyError, ValueError) as e:
                errors.append(type(e).__name__)
        try:
            goose.Publisher("nosuch0", [block()]).start()
        except OSError as e:
            errors.append(str(e))
        time.sleep(0.1)
        print(json.dumps({"errors": errors, "frames": len(receiver.stop()), "stats": publisher.stats()}))
    """)
    assert result["errors"] == [
        "value 0 is IntData, the data set member is BoolData",
        "the data set has 2 members, got 1 values",
        "the data set has 2 members, got 3 values",
        "IndexError", "KeyError", "ValueError",
        "interface nosuch0: No such device (os error 19)",
    ]
    assert result["frames"] == 0 and result["stats"]["frames_sent"] == 0


def test_vanishing_interface_counts_send_errors():
    result = in_netns("""
        publisher = goose.Publisher("va", [block(1.0, 5.0)])
        publisher.start()
        wait_until(lambda: publisher.stats()["frames_sent"] > 5, "six frames sent")
        sh("ip link del va")
        publisher.publish(0, [BoolData(True), IntData(1)])
        wait_until(lambda: publisher.stats()["send_errors"] > 0, "a send error after the link went")
        publisher.stop()
        print(json.dumps(publisher.stats()))
    """)
    assert result["frames_sent"] > 5 and result["send_errors"] > 0


@pytest.mark.parametrize("kwargs, message", [
    ({"min_ms": 10.0, "max_ms": 5.0}, "min_time_ms (10.0) must not exceed max_time_ms (5.0)"),
    ({"min_ms": 0.0}, "min_time_ms must be positive (got 0.0)"),
    ({"max_ms": -1.0}, "max_time_ms must be positive (got -1.0)"),
])
def test_bad_times_are_refused(kwargs, message):
    with pytest.raises(ValueError) as raised:
        goose.Publisher("lo", [block(**kwargs)])
    assert str(raised.value) == message


def test_schedule_helper_against_the_native_table():
    # The receiver's independent schedule: T1 1 ms, T0 1000 ms.
    assert schedule(1, 1000, 12)[9:] == [(511.0, 1024), (1023.0, 2000), (2023.0, 2000)]
    assert goose.Publisher("lo", [block()]).stats() == {"frames_sent": 0, "send_errors": 0, "late_frames": 0,
                                                         "max_lateness_ns": 0}
