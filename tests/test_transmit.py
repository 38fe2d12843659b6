"""The transmit thread: start, stop, stats and disposal, and what actually goes
on the wire. Tests that send run in a network namespace of their own, on its
loopback interface, and capture there."""

import os
import subprocess
import sys
import time

import pytest

import netns
from valdrin_rt import Engine

ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="packet sockets need root")
STREAM = {"frame": bytes(64), "smp_cnt_offsets": [20], "sample_offsets": [24],
          "waves": [(1000.0, 0.0, 50.0, 0.0, 1.0, 0)] * 2, "fault": None}

PRELUDE = """
    import json, socket, struct, time
    import valdrin_rt
    from valdrin import sv
    from valdrin.sv_publisher import _native_streams
    from netns import wait_until
"""


def in_netns(body, timeout=60):
    return netns.in_netns(PRELUDE, body, timeout)


def engine_threads():
    return [name for name in netns.thread_names() if name == "sv-engine"]


def test_stats_of_a_new_engine():
    engine = Engine("lo", 4000, 1, [STREAM], 0)
    assert engine.stats() == {"frames_sent": 0, "send_errors": 0, "late_frames": 0,
                              "max_lateness_ns": 0}
    assert list(engine.stats()) == ["frames_sent", "send_errors", "late_frames",
                                    "max_lateness_ns"]


def test_stop_without_start_returns_at_once():
    engine = Engine("lo", 4000, 1, [STREAM], 0)
    assert engine.stop() is None
    assert engine.stop() is None


@pytest.mark.parametrize("iface, exc, message", [
    ("valdrin-none0", OSError, "interface valdrin-none0: No such device (os error 19)"),
    ("lo\0x", OSError, "bad interface name"),
    ("", OSError, "interface : No such device (os error 19)"),
])
def test_interface_errors(iface, exc, message):
    engine = Engine(iface, 4000, 1, [STREAM], 0)
    with pytest.raises(exc) as caught:
        engine.start()
    assert type(caught.value) is exc and str(caught.value) == message
    assert engine.stats()["frames_sent"] == 0


@ROOT_ONLY
@pytest.mark.parametrize("kwargs, exc, message", [
    ({"cpu": 4096}, RuntimeError, "the engine thread ended during setup"),
    ({"cpu": 1024}, RuntimeError, "the engine thread ended during setup"),
    ({"cpu": 1023}, OSError, "pin to CPU 1023: Invalid argument (os error 22)"),
    ({"rt_priority": 200}, OSError, "SCHED_FIFO priority 200: Invalid argument (os error 22)"),
    ({"rt_priority": -1}, OSError, "SCHED_FIFO priority -1: Invalid argument (os error 22)"),
])
def test_thread_setup_errors(kwargs, exc, message):
    # The thread fails before its first period: nothing is sent.
    engine = Engine("lo", 4000, 1, [STREAM], int(time.time()) + 3600, **kwargs)
    with pytest.raises(exc) as caught:
        engine.start()
    assert type(caught.value) is exc and str(caught.value) == message
    if exc is OSError:  # joined after its report
        assert not engine_threads()
    engine.stop()


@ROOT_ONLY
def test_without_privilege_the_socket_is_refused():
    code = ("import os, valdrin_rt; os.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
            "e = valdrin_rt.Engine('lo', 4000, 1, [], 0)\n"
            "try:\n    e.start()\nexcept OSError as x:\n    print(type(x).__name__, x)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=30, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    assert out.stdout.strip() == "OSError AF_PACKET socket: Operation not permitted (os error 1)"


@ROOT_ONLY
def test_a_far_first_period_does_not_delay_stop_or_disposal():
    far = int(time.time()) + 10**6
    engine = Engine("lo", 4000, 1, [STREAM], far)
    began = time.monotonic()
    engine.start()
    assert len(engine_threads()) == 1
    with pytest.raises(RuntimeError, match="^already started$"):
        engine.start()
    engine.stop()
    assert time.monotonic() - began < 0.5
    assert engine.stats()["frames_sent"] == 0 and not engine_threads()

    other = Engine("lo", 4000, 1, [STREAM], far)
    other.start()
    began = time.monotonic()
    del other
    assert time.monotonic() - began < 0.5 and not engine_threads()


@ROOT_ONLY
@pytest.mark.parametrize("start_second", [2**63 - 1, -2**63])
def test_extreme_start_seconds(start_second):
    # The far future only waits; the far past sends a backlog at full speed.
    engine = Engine("lo", 4000, 1, [], start_second)
    engine.start()
    if start_second < 0:
        netns.wait_until(lambda: engine.stats()["max_lateness_ns"] > 0, "the first period")
    else:
        time.sleep(0.05)  # nothing comes: the far future only waits
    engine.stop()
    stats = engine.stats()
    assert stats["frames_sent"] == 0 and stats["send_errors"] == 0
    assert stats["max_lateness_ns"] == (0 if start_second > 0 else 2**63 - 1)


def test_publishing_on_the_wire():
    rate, asdus, fps = 4000, 2, 2000
    result = in_netns(f"""
        rate, asdus, fps = {rate}, {asdus}, {fps}
        waves = [sv.Wave(1000 * (i + 1), 30 * i, 50, i, 10, 0x100 + i) for i in range(4)]
        streams = [sv.Stream(f"MU{{i}}", waves, app_id=0x4000 + i, smp_synch=2) for i in range(3)]
        start = int(time.time()) + 1
        engine = valdrin_rt.Engine("lo", rate, asdus, _native_streams(streams, asdus), start)
        rx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
        rx.bind(("lo", 0))
        rx.setsockopt(socket.SOL_SOCKET, 33, 1 << 26)  # SO_RCVBUFFORCE
        rx.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS
        rx.settimeout(0.2)
        captured = []

        def receive():
            data, ancillary, _, address = rx.recvmsg(4096, socket.CMSG_SPACE(16))
            if address[2] == socket.PACKET_OUTGOING:  # not loopback's received copy
                sec, nsec = struct.unpack("qq", ancillary[0][2][:16])
                captured.append((sec * 10**9 + nsec, data))

        engine.start()
        while time.time() < start + 1.5:
            try:
                receive()
            except socket.timeout:
                pass
        engine.stop()
        try:
            while True:
                receive()
        except socket.timeout:
            pass
        stats = engine.stats()
        per_stream = [[] for _ in streams]
        for ts, data in captured:
            per_stream[int.from_bytes(data[14:16], "big") - 0x4000].append((ts, data))
        mismatches, early, in_first_second = 0, 0, []
        for j, frames in enumerate(per_stream):
            n = 0
            for k, (ts, data) in enumerate(frames):
                second, first = start + k // fps, (k % fps) * asdus
                scheduled = second * 10**9 + first * 10**9 // rate
                mismatches += data != engine.render(j, second, first)
                early += ts < scheduled
                n += second == start
            in_first_second.append(n)
        print(json.dumps(dict(captured=len(captured), stats=stats, mismatches=mismatches,
                              early=early, in_first_second=in_first_second,
                              order=[int.from_bytes(d[14:16], "big") for _, d in captured[:6]])))
    """)
    assert result["mismatches"] == 0
    assert result["early"] == 0  # no frame leaves before its scheduled time
    assert result["in_first_second"] == [fps] * 3
    assert result["captured"] == result["stats"]["frames_sent"] >= 3 * fps
    assert result["stats"]["send_errors"] == 0
    assert result["order"] == [0x4000, 0x4001, 0x4002] * 2  # one batch per period, in order


def test_backlog_late_frames_no_streams_and_restart():
    result = in_netns("""
        stream = dict(frame=bytes(64), smp_cnt_offsets=[20], sample_offsets=[24],
                      waves=[(1000.0, 0.0, 50.0, 0.0, 1.0, 0)], fault=None)
        out = {}
        # A start second in the past: the backlog (two seconds and more of
        # three streams) goes out back to back, late.
        e = valdrin_rt.Engine("lo", 4000, 1, [stream] * 3, int(time.time()) - 2)
        e.start()
        wait_until(lambda: e.stats()["late_frames"] >= 3 * 4000, "a second of backlog sent late")
        e.stop()
        out["past"] = e.stats()
        # No streams: periods are paced, nothing is sent.
        e = valdrin_rt.Engine("lo", 4000, 1, [], int(time.time()) - 1)
        e.start()
        wait_until(lambda: e.stats()["max_lateness_ns"] > 0, "a period passed")
        e.stop()
        out["empty"] = e.stats()
        # A run after stop() picks up at the next period due, without a backlog.
        e = valdrin_rt.Engine("lo", 4000, 1, [stream], int(time.time()) + 1)
        e.start()
        wait_until(lambda: e.stats()["frames_sent"] >= 400, "400 frames")
        e.stop(); first = e.stats()["frames_sent"]
        time.sleep(1.0)  # 4000 periods missed
        began = time.monotonic()
        e.start(); time.sleep(0.5); e.stop()
        out["restart"] = [first, e.stats()["frames_sent"], time.monotonic() - began]
        print(json.dumps(out))
    """)
    past = result["past"]
    assert past["late_frames"] % 3 == 0 and past["late_frames"] >= 3 * 4000
    assert past["frames_sent"] >= past["late_frames"] and past["send_errors"] == 0
    assert past["max_lateness_ns"] > 10**9
    empty = result["empty"]
    assert empty["frames_sent"] == empty["send_errors"] == empty["late_frames"] == 0
    assert empty["max_lateness_ns"] > 0
    first, total, ran_s = result["restart"]
    # At most 4000 frames/s for the time it ran (and a few periods a loaded
    # machine may have begun late): not the pause's 4000 more.
    assert 1 <= total - first <= 4000 * ran_s + 400
