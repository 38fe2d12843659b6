"""The native engine's stream dictionaries (valdrin.sv_publisher._native_streams)."""

import struct

import pytest

from valdrin.sv import Fault, Playback, Stream, Wave, encode_frame
from valdrin.sv_publisher import _native_streams

W1 = Wave(1000, 90, 50, 0.5, 0.01, 0x2000)
W2 = Wave(frequency_hz=0, offset=-3, scale=2, quality=7)
F1 = Wave(5000, 0, 50)


def base(**extra):
    return dict(frame=None, smp_cnt_offsets=None, sample_offsets=None,
                waves=[(1000.0, 90.0, 50.0, 0.5, 0.01, 0x2000), (0.0, 0.0, 0.0, -3.0, 2.0, 7)],
                fault=None, playback=None) | extra


CASES = [
    ("plain", {}, base()),
    (
        "fault",
        dict(fault=Fault([F1, W2], cycle_s=10, offset_s=-3, start_smp=12, duration_s=0.25)),
        base(fault=dict(waves=[(5000.0, 0.0, 50.0, 0.0, 1.0, 0), (0.0, 0.0, 0.0, -3.0, 2.0, 7)],
                        cycle_s=10, offset_s=-3, start_smp=12, duration_s=0.25)),
    ),
    (
        "fault-half-cycle",
        dict(fault=Fault([F1, F1])),
        base(fault=dict(waves=[(5000.0, 0.0, 50.0, 0.0, 1.0, 0)] * 2,
                        cycle_s=1, offset_s=0, start_smp=0, duration_s=None)),
    ),
    (
        "playback",
        dict(playback=Playback([[1, -1], [2**31 - 1, -(2**31)]], start=1_700_000_000 * 4000 + 17)),
        base(playback=dict(channels=2, values=struct.pack("=4i", 1, -1, 2**31 - 1, -(2**31)),
                           qualities=None, period=None, start=6_800_000_000_017)),
    ),
    (
        "playback-qualities-period",
        dict(playback=Playback([[1, 2], [3, 4], [5, 6]], [[0, 1], [0x2000, 2**32 - 1], [4, 5]], period=10, start=-7)),
        base(playback=dict(channels=2, values=struct.pack("=6i", 1, 2, 3, 4, 5, 6),
                           qualities=struct.pack("=6I", 0, 1, 0x2000, 2**32 - 1, 4, 5), period=10, start=-7)),
    ),
]


@pytest.mark.parametrize("name, kwargs, expected", CASES, ids=[c[0] for c in CASES])
@pytest.mark.parametrize("asdus", [1, 4])
def test_stream_dict(name, kwargs, expected, asdus):
    s = Stream("MU01", [W1, W2], smp_rate=80, vlan_id=5, **kwargs)
    template = encode_frame(s, asdus)
    expected = expected | dict(frame=template.frame, smp_cnt_offsets=list(template.smp_cnt_offsets),
                               sample_offsets=list(template.sample_offsets))
    (got,) = _native_streams([s], asdus)
    assert got == expected
    assert len(got["smp_cnt_offsets"]) == asdus
    # The engine wants tuples of floats (and an int quality), not lists.
    for waves in [got["waves"]] + ([got["fault"]["waves"]] if got["fault"] else []):
        for wave in waves:
            assert type(wave) is tuple and [type(v) for v in wave] == [float] * 5 + [int]


def test_smp_rate_and_smp_mod_as_given():
    streams = [Stream("A", [Wave()], smp_rate=4800, smp_mod=1), Stream("B")]
    first, second = _native_streams(streams, 2)
    assert first["frame"].count(b"\x86\x02\x12\xc0") == 2
    assert first["frame"].count(b"\x88\x02\x00\x01") == 2
    assert b"\x86\x02" not in second["frame"] and b"\x88\x02" not in second["frame"]


def test_no_streams():
    assert _native_streams([], 1) == []


@pytest.mark.parametrize(
    "streams, message",
    [
        (Stream("A"), "streams must be a sequence of Stream, not a single Stream"),
        ([Stream("A"), {"frame": b""}], "streams[1] must be a Stream, not dict"),
    ],
)
def test_not_streams(streams, message):
    with pytest.raises(TypeError) as caught:
        _native_streams(streams, 1)
    assert str(caught.value) == message
