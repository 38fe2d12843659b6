"""valdrin.sv.Publisher: argument checks, frames, the MTU warning and a live run in a namespace."""

import subprocess
import sys
import textwrap
import time
import warnings

import pytest

import valdrin_rt
from netns import netns_reason
from valdrin.sv import Fault, Playback, Publisher, Stream, Wave, encode_frame
from valdrin.sv_publisher import _native_streams

STREAMS = [Stream("MU01", [Wave(1000.0, 30.0, 50.0, 0.0, 1000.0)] * 4)]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(engine="python"), ValueError, "unknown engine 'python': the only engine is 'native'"),
        (dict(iface=3), TypeError, "iface must be a str, not int"),
        (dict(rate=0), ValueError, "rate must be a positive number of samples per second, got 0"),
        (dict(rate=-4000), ValueError, "rate must be a positive number of samples per second, got -4000"),
        (dict(rate=65537), ValueError,
         "rate 65537 is above 65536: the 16-bit smpCnt cannot count the samples of one second"),
        (dict(rate=4000.0), TypeError, "rate must be an integer, not float"),
        (dict(rate=True), TypeError, "rate must be an integer, not bool"),
        (dict(asdus_per_frame=0), ValueError, "asdus_per_frame must be positive, got 0"),
        (dict(asdus_per_frame=3), ValueError, "rate 4000 is not a multiple of asdus_per_frame 3"),
        (dict(start_second="0"), TypeError, "start_second must be an integer, not str"),
        (dict(rt_priority=0), ValueError, "rt_priority must be between 1 and 99, got 0"),
        (dict(rt_priority=100), ValueError, "rt_priority must be between 1 and 99, got 100"),
        (dict(cpu=-1), ValueError, "cpu must be between 0 and 1023, got -1"),
        (dict(cpu=1024), ValueError, "cpu must be between 0 and 1023, got 1024"),
        (dict(streams=STREAMS[0]), TypeError, "streams must be a sequence of Stream, not a single Stream"),
        (dict(streams=["MU01"]), TypeError, "streams[0] must be a Stream, not str"),
    ],
)
def test_refused(kwargs, error, message):
    args = dict(iface="lo", streams=STREAMS) | kwargs
    with pytest.raises(error) as caught:
        Publisher(**args)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "rate, per_frame, extra",
    [(65536, 1, {}), (1, 1, {}), (4800, 2, {}), (4000, 4000, {}), (4000, 1, dict(rt_priority=1, cpu=0)),
     (4000, 1, dict(rt_priority=99, cpu=1023, start_second=-(2**63)))],
)
def test_accepted(rate, per_frame, extra):
    publisher = Publisher("lo", [], rate, per_frame, **extra)
    assert (publisher.rate, publisher.asdus_per_frame, publisher.streams) == (rate, per_frame, ())
    assert publisher.stats() == dict(frames_sent=0, send_errors=0, late_frames=0, max_lateness_ns=0)
    publisher.stop()  # never started: a no-op


def test_default_start_second_is_the_next_whole_second():
    before = int(time.time())
    publisher = Publisher("lo", STREAMS)
    after = int(time.time())
    assert before + 1 <= publisher.start_second <= after + 1
    assert Publisher("lo", STREAMS, start_second=-5).start_second == -5


def test_render_is_the_engines_frame():
    waves = [Wave(100.0, 0.0, 50.0, 0.0, 1000.0), Wave(5.0, -120.0, 60.0, 1.0, 100.0, 0x2000)]
    streams = (
        Stream("A", waves, fault=Fault([Wave(300.0)] * 2, cycle_s=3, offset_s=1, start_smp=7, duration_s=0.01)),
        Stream("B", waves, vlan_id=12, playback=Playback([[1, 2], [3, 4], [-5, 6]], period=5, start=4800 * 1000)),
    )
    publisher = Publisher("lo", iter(streams), 4800, 2, start_second=1000)
    engine = valdrin_rt.Engine("lo", 4800, 2, _native_streams(streams, 2), 1000)
    assert publisher.streams == streams and publisher.start_second == 1000
    for index in range(2):
        for second in (999, 1000, 1001, 1_700_000_000):
            for first_smp in (0, 2, 6, 4798):
                assert publisher.render(index, second, first_smp) == engine.render(index, second, first_smp)
    with pytest.raises(ValueError, match="^no such stream$"):
        publisher.render(2, 0, 0)


# Frame periods from second 1000, worked out by hand: (due_ns, second, first_smp), the instant being
# the second plus first_smp x 10^9 / rate, rounded down to the ns.
FRAME_PERIODS = {
    "4000/s across a second": (4000, 1, 3999, [(1000_999_750_000, 1000, 3999), (1001_000_000_000, 1001, 0),
                                               (1001_000_250_000, 1001, 1)]),
    "4800/s: 208333.3 ns apart": (4800, 1, 4799, [(1000_999_791_666, 1000, 4799), (1001_000_000_000, 1001, 0),
                                                  (1001_000_208_333, 1001, 1)]),
    "14400/s in frames of 8": (14400, 8, 1799, [(1000_999_444_444, 1000, 14392), (1001_000_000_000, 1001, 0),
                                                (1001_000_555_555, 1001, 8)]),
    "12000/s in frames of 5": (12000, 5, 0, [(1000_000_000_000, 1000, 0), (1000_000_416_666, 1000, 5),
                                             (1000_000_833_333, 1000, 10)]),
    "3/s: thirds of a second": (3, 1, 1, [(1000_333_333_333, 1000, 1), (1000_666_666_666, 1000, 2),
                                          (1001_000_000_000, 1001, 0)]),
}


@pytest.mark.parametrize("case", FRAME_PERIODS)
def test_frames_are_due_on_the_engines_schedule(case):
    rate, per_frame, first, periods = FRAME_PERIODS[case]
    waves = [Wave(100.0, 0.0, 50.0, 0.0, 1000.0), Wave(5.0, -120.0, 60.0, 1.0, 100.0, 0x2000)]
    streams = [Stream("A", waves), Stream("B", waves, fault=Fault([Wave(300.0)] * 2, start_smp=1, duration_s=0.4))]
    publisher = Publisher("lo", streams, rate, per_frame, start_second=1000)
    expected = [(due, publisher.render(index, second, smp)) for due, second, smp in periods for index in (0, 1)]
    assert list(publisher.frames(len(periods), first=first)) == expected
    assert list(publisher.frames(len(periods), first=first, stream=1)) == expected[1::2]
    # Shared out over two engines, the frames and their order are the same.
    assert list(Publisher("lo", streams, rate, per_frame, start_second=1000, cpus=(0, 1)).frames(
        len(periods), first=first)) == expected
    # From period 0 on: the start second's sample 0 first.
    assert next(publisher.frames(1)) == (1000_000_000_000, publisher.render(0, 1000, 0))


@pytest.mark.parametrize("time_ns, period, why", [
    (0, 0, "long before the start"),
    (1000_000_000_000, 0, "at the start"),
    (1000_000_000_001, 1, "just after it"),
    (1000_000_208_333, 1, "at period 1's instant"),
    (1000_000_208_334, 2, "a ns after it"),
    (1000_999_791_667, 4800, "after the second's last period"),
    (1001_000_000_000, 4800, "at the next second"),
])
def test_first_period_due_from_an_instant(time_ns, period, why):
    assert Publisher("lo", STREAMS, 4800, start_second=1000).first_period(time_ns) == period, why


@pytest.mark.parametrize("rate, second, smp, instant", [
    (4000, 1000, 1, 1000_000_250_000),
    (4800, 1000, 1, 1000_000_208_333),      # 208333.3 ns, rounded down
    (4800, 1000, 4799, 1000_999_791_666),
    (3, -1, 2, -333_333_334),               # before 1970: -1 s + 666666666 ns
    (4000, 2**63 - 1, 3999, 9223372036854775807_999750000),  # past 64 bits of ns
])
def test_instant_of_a_sample(rate, second, smp, instant):
    assert Publisher("lo", STREAMS, rate, start_second=0).instant(second, smp) == instant


@pytest.mark.parametrize("smp", [-1, 4000])
def test_instant_of_a_sample_outside_the_second(smp):
    with pytest.raises(ValueError, match=r"^smp must lie within the second: 0 to rate - 1$"):
        Publisher("lo", STREAMS, 4000, start_second=0).instant(1000, smp)


def test_frames_of_a_stream_it_does_not_have():
    with pytest.raises(ValueError, match="^no such stream$"):
        next(Publisher("lo", STREAMS, start_second=0).frames(1, stream=1))


def _stream_of_length(octets, vlan):
    """A stream whose frames are exactly ``octets`` long."""
    for channels in range(150, 200):
        for name in range(1, 30):
            stream = Stream("M" * name, [Wave()] * channels, vlan_id=vlan)
            if len(encode_frame(stream).frame) == octets:
                return stream
    raise AssertionError(f"no stream of {octets} octets")


@pytest.mark.parametrize("vlan, octets", [(None, 1514), (None, 1515), (3, 1518), (3, 1519)])
def test_frames_longer_than_ethernet_warn(vlan, octets):
    stream = _stream_of_length(octets, vlan)
    limit = 1518 if vlan is not None else 1514
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        Publisher("lo", [Stream("short"), stream])
    if octets <= limit:
        assert caught == []
    else:
        assert [str(w.message) for w in caught] == [
            f"stream 1 ({stream.sv_id}) has frames of {octets} octets, more than the {limit} of an Ethernet "
            "frame: on a link with a 1500-octet MTU each one would be a send error"
        ]
        assert caught[0].category is UserWarning and caught[0].filename == __file__


def test_start_failure_leaves_it_stopped():
    publisher = Publisher("nope0", STREAMS)
    for _ in range(2):
        with pytest.raises(OSError) as caught:
            with publisher:
                pass
        assert str(caught.value) == "interface nope0: No such device (os error 19)"
    assert publisher.stats()["frames_sent"] == 0


LIVE = """
import time
from valdrin.sv import Publisher, Stream, Wave

publisher = Publisher("lo", [Stream("A", [Wave(1000.0)] * 8), Stream("B")], 4000, 2)
chosen = publisher.start_second
time.sleep(max(0.0, chosen - time.time() + 0.2))  # the chosen second has begun: start() takes the next
with publisher:
    moved = publisher.start_second
    time.sleep(max(0.0, moved + 1.0 - time.time()))
    during = publisher.stats()
after = publisher.stats()
time.sleep(0.05)
print(moved - chosen, during["frames_sent"], during["send_errors"], after == publisher.stats())
"""


def test_live_context_manager_in_a_namespace():
    reason = netns_reason()
    if reason:
        pytest.skip(reason)
    script = f"ip link set lo up && exec {sys.executable} -c '{textwrap.dedent(LIVE)}'"
    run = subprocess.run(["unshare", "--net", "sh", "-c", script], capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    moved, sent, errors, frozen = run.stdout.split()
    # 2 streams x 2000 frames/s for one second from the new start second.
    assert (moved, errors, frozen) == ("1", "0", "True")
    assert 3960 <= int(sent) <= 4400
