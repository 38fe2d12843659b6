"""Engine construction: conversion and validation of a publication, with the
exact exception type and message of the first problem met."""

import array
import math
from collections import namedtuple

import pytest

from valdrin_rt import Engine

WAVE = (1000.0, 0.0, 50.0, 0.0, 1.0, 0)
FRAME_LEN = 40
OUT_OF_RANGE = "out of range integral type conversion attempted"
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"


def ints(*values, code="i"):
    return array.array(code, values).tobytes()


def playback(**overrides):
    return {"channels": 2, "values": ints(1, 2, 3, 4), "qualities": None, "period": None, "start": 0} | overrides


def fault(**overrides):
    return {"waves": [WAVE, WAVE], "cycle_s": 10, "offset_s": 3, "start_smp": 0, "duration_s": 1.0} | overrides


def stream(**overrides):
    """A valid stream of one ASDU and two channels; keys set to ... are removed."""
    d = {"frame": bytes(FRAME_LEN), "smp_cnt_offsets": [0], "sample_offsets": [4], "waves": [WAVE, WAVE],
         "fault": None} | overrides
    return {k: v for k, v in d.items() if v is not ...}


def build(streams=(), **kwargs):
    return Engine(**dict(iface="lo", rate=4000, asdus_per_frame=1, streams=streams, start_second=1_700_000_000)
                  | kwargs)


def refused(exc, message, streams=(), **kwargs):
    with pytest.raises(exc) as caught:
        build(streams, **kwargs)
    assert type(caught.value) is exc and str(caught.value) == message


# --- constructor arguments ------------------------------------------------------------------


@pytest.mark.parametrize("rate, asdus", [(4000, 3), (0, 1), (4000, 0), (-4000, 1), (4000, -1), (-4, -2), (1, 2)])
def test_rate_must_be_a_positive_multiple(rate, asdus):
    refused(ValueError, "rate must be a positive multiple of asdus_per_frame", rate=rate, asdus_per_frame=asdus)


def test_rate_is_checked_before_the_streams():
    refused(ValueError, "rate must be a positive multiple of asdus_per_frame", [stream(frame=...)],
            rate=3, asdus_per_frame=2)


class Seven:
    def __index__(self):
        return 7


@pytest.mark.parametrize("kwargs", [
    dict(rate=4800, asdus_per_frame=2),
    dict(rate=4800, asdus_per_frame=2, streams=[stream(smp_cnt_offsets=[0, 20], sample_offsets=[2, 22])]),
    dict(rate=1, streams=[stream()]),
    dict(rate=2**63 - 1),
    dict(rt_priority=2**31 - 1, cpu=2**64 - 1),
    dict(rt_priority=-2**31, cpu=0),
    dict(rt_priority=True, cpu=Seven()),
    dict(rate=Seven(), asdus_per_frame=Seven(), streams=(), start_second=Seven()),
])
def test_accepted_arguments(kwargs):
    assert isinstance(build(**kwargs), Engine)


@pytest.mark.parametrize("kwargs, exc, message", [
    ({"iface": b"lo"}, TypeError, "argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
    ({"rate": 4000.0}, TypeError, "argument 'rate': 'float' object cannot be interpreted as an integer"),
    ({"asdus_per_frame": "1"}, TypeError,
     "argument 'asdus_per_frame': 'str' object cannot be interpreted as an integer"),
    ({"start_second": None}, TypeError,
     "argument 'start_second': 'NoneType' object cannot be interpreted as an integer"),
    ({"streams": "abc"}, TypeError, "argument 'streams': Can't extract `str` to `Vec`"),
    ({"streams": 5}, TypeError, "argument 'streams': 'int' object cannot be converted to 'Sequence'"),
    ({"streams": {}}, TypeError, "argument 'streams': 'dict' object cannot be converted to 'Sequence'"),
    ({"rt_priority": 2**31}, OverflowError, OUT_OF_RANGE),
    ({"rt_priority": -2**31 - 1}, OverflowError, OUT_OF_RANGE),
    ({"rt_priority": 1.0}, TypeError, "argument 'rt_priority': 'float' object cannot be interpreted as an integer"),
    ({"cpu": -1}, OverflowError, NEGATIVE),
    ({"cpu": "0"}, TypeError, "argument 'cpu': 'str' object cannot be interpreted as an integer"),
    # integers beyond 64 bits
    ({"rate": 2**63}, OverflowError, TOO_BIG),
    ({"start_second": -2**63 - 1}, OverflowError, TOO_BIG),
    ({"cpu": 2**64}, OverflowError, TOO_BIG),
])
def test_argument_conversion_errors(kwargs, exc, message):
    refused(exc, message, **kwargs)


def test_conversions_run_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'rate'"):
        Engine("lo", 1.0, 0.5, "streams", None, 2**40, -1)
    with pytest.raises(OverflowError):
        Engine("lo", 4000, 3, [], 0, 2**31, None)  # before the rate check


# --- stream dictionaries --------------------------------------------------------------------


@pytest.mark.parametrize("part, key", [("stream", key) for key in stream()]
                         + [("fault", key) for key in fault()] + [("playback", key) for key in playback()])
def test_missing_keys(part, key):
    if part == "stream":
        overrides = {key: ...}
    else:
        overrides = {part: fault() if part == "fault" else playback()}
        del overrides[part][key]
    refused(ValueError, f"stream without {key}", [stream(**overrides)])


M = "offset outside the frame"
ROWS = "playback values must fill whole rows of channels"
CHANNELS = "the playback must have as many channels as the stream"


@pytest.mark.parametrize("overrides, message", [
    # playback contents
    ({"playback": playback(values=bytes(7))}, "playback data must be 32-bit integers"),
    ({"playback": playback(qualities=bytes(15))}, "playback data must be 32-bit integers"),
    ({"playback": playback(values=bytes(8), channels=3)}, ROWS),
    ({"playback": playback(values=b"")}, ROWS),
    ({"playback": playback(channels=0)}, ROWS),
    ({"playback": playback(qualities=ints(1, 2, code="I"))}, "playback qualities must match the values"),
    ({"playback": playback(period=0)}, "playback period must be positive"),
    ({"playback": playback(period=-10)}, "playback period must be positive"),
    # cross-checks
    ({"smp_cnt_offsets": [], "sample_offsets": []}, "smp_cnt_offsets and sample_offsets must match"),
    ({"sample_offsets": [4, 20]}, "smp_cnt_offsets and sample_offsets must match"),
    ({"fault": fault(waves=[WAVE])}, "the fault waves must have as many channels as the stream"),
    ({"smp_cnt_offsets": [FRAME_LEN - 1]}, M),
    ({"sample_offsets": [FRAME_LEN - 15]}, M),
    ({"smp_cnt_offsets": [2**64 - 1]}, M),  # would wrap around to 1
    ({"sample_offsets": [2**64 - 8]}, M),
    ({"sample_offsets": [2**64 - 16]}, M),  # would wrap around to exactly 0
    ({"waves": [WAVE] * 5, "fault": None}, M),
    ({"playback": playback(channels=1, values=ints(1))}, CHANNELS),
    ({"waves": [], "playback": playback(channels=1, values=ints(1))}, CHANNELS),
    ({"waves": [], "playback": playback(channels=0)}, ROWS),
])
def test_stream_validation_messages(overrides, message):
    refused(ValueError, message, [stream(**overrides)])


@pytest.mark.parametrize("overrides, message", [
    # the frame is read before everything else in the dictionary
    ({"frame": "x", "fault": ...}, "Can't extract `str` to `Vec`"),
    ({"waves": [[1, 2, 3, 4, 5, 6]], "fault": ...}, "'list' object cannot be converted to 'PyTuple'"),
    ({"fault": ..., "playback": playback(values=bytes(7))}, "stream without fault"),
    ({"playback": playback(values=bytes(7), period=0)}, "playback data must be 32-bit integers"),
    ({"playback": playback(values=bytes(8), qualities=bytes(4), channels=3)}, ROWS),
    ({"playback": playback(qualities=bytes(4), period=0)}, "playback qualities must match the values"),
    ({"playback": playback(period=0, start="x")}, "playback period must be positive"),
    # playback read completely before any cross-check
    ({"smp_cnt_offsets": [], "playback": playback(period=0)}, "playback period must be positive"),
    ({"smp_cnt_offsets": [], "fault": fault(waves=[])}, "smp_cnt_offsets and sample_offsets must match"),
    ({"fault": fault(waves=[]), "smp_cnt_offsets": [FRAME_LEN]},
     "the fault waves must have as many channels as the stream"),
    ({"smp_cnt_offsets": [FRAME_LEN], "playback": playback(channels=1, values=ints(1))}, M),
])
def test_first_problem_wins(overrides, message):
    with pytest.raises((TypeError, ValueError)) as caught:
        build([stream(**overrides)])
    assert str(caught.value) == message


@pytest.mark.parametrize("overrides, exc, message", [
    ({"frame": "abc"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"frame": 5}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"frame": [0] * 39 + [256]}, OverflowError, OUT_OF_RANGE),
    ({"frame": [-1] * 40}, OverflowError, OUT_OF_RANGE),
    ({"smp_cnt_offsets": [-1]}, OverflowError, NEGATIVE),
    ({"smp_cnt_offsets": "0"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"sample_offsets": [4.0]}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"waves": "abc"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"waves": 3}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ({"waves": [list(WAVE)]}, TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ({"waves": [WAVE[:5]]}, ValueError, "expected tuple of length 6, but got tuple of length 5"),
    ({"waves": [WAVE + (0,)]}, ValueError, "expected tuple of length 6, but got tuple of length 7"),
    ({"waves": [("1", 0, 0, 0, 1, 0)]}, TypeError, "must be real number, not str"),
    ({"waves": [(1, 0, 0, 0, 1, -1)]}, OverflowError, OUT_OF_RANGE),
    ({"waves": [(1, 0, 0, 0, 1, 2**32)]}, OverflowError, OUT_OF_RANGE),
    ({"waves": [(1, 0, 0, 0, 1, 0.0)]}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"fault": 1}, TypeError, "'int' object cannot be converted to 'PyDict'"),
    ({"fault": fault(waves=[[0] * 6] * 2)}, TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ({"fault": fault(cycle_s=1.5)}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"fault": fault(duration_s="1")}, TypeError, "must be real number, not str"),
    ({"playback": []}, TypeError, "'list' object cannot be converted to 'PyDict'"),
    ({"playback": playback(channels=-2)}, OverflowError, NEGATIVE),
    ({"playback": playback(values="abcd")}, TypeError, "Can't extract `str` to `Vec`"),
    ({"playback": playback(period=2.0)}, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_stream_conversion_errors_have_no_prefix(overrides, exc, message):
    refused(exc, message, [stream(**overrides)])


def test_a_stream_must_be_a_dict():
    refused(TypeError, "'list' object cannot be converted to 'PyDict'", [[("frame", b"")]])


def test_every_template_must_carry_asdus_per_frame():
    two = stream(smp_cnt_offsets=[0, 20], sample_offsets=[2, 22])
    refused(ValueError, "every template must carry asdus_per_frame ASDUs", [stream(), two])
    refused(ValueError, "every template must carry asdus_per_frame ASDUs", [two], rate=4000)
    # every stream is converted before the ASDU counts are compared
    refused(ValueError, "stream without frame", [two, stream(frame=...)])


class SubDict(dict):
    pass


Wave = namedtuple("Wave", "amplitude phase_deg frequency_hz offset scale quality")


@pytest.mark.parametrize("overrides", [
    {"playback": None},
    {"playback": ...},
    {"frame": bytearray(FRAME_LEN)},
    {"frame": [0] * FRAME_LEN},
    {"frame": range(FRAME_LEN)},
    {"smp_cnt_offsets": (0,), "sample_offsets": range(4, 5)},
    {"sample_offsets": [FRAME_LEN - 16]},  # the samples end exactly with the frame
    {"smp_cnt_offsets": [FRAME_LEN - 2]},
    {"waves": [Wave(1, 2, 3, 4, 5, 2**32 - 1), (math.nan, math.inf, -math.inf, 0, True, 0)]},
    {"waves": [], "fault": fault(waves=[])},
    {"waves": []},
    {"fault": fault(duration_s=None)},
    {"fault": fault(duration_s=3, cycle_s=-5, start_smp=-2**63, offset_s=2**63 - 1)},
    {"fault": SubDict(fault())},
    {"playback": SubDict(playback(qualities=ints(1, 2, 3, 2**32 - 1, code="I"), period=2**63 - 1, start=-2**63))},
    {"playback": playback(values=list(ints(1, 2)))},
    {"unknown": object()},
])
def test_accepted_streams(overrides):
    assert build([SubDict(stream(**overrides))])


def test_many_streams_and_asdus():
    frame = bytes(2 + 8 * 3 * 8)
    streams = [stream(frame=frame, smp_cnt_offsets=[0] * 8, sample_offsets=[2 + 24 * i for i in range(8)],
                      waves=[WAVE] * 3) for _ in range(50)]
    assert len(build(streams, rate=4000, asdus_per_frame=8).render(49, 0, 0)) == len(frame)
