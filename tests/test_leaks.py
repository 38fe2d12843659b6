"""No leaks under repetition: every codec function and every Engine method,
called thousands of times on good and malformed input, leaves memory flat and
the reference counts of its inputs unchanged.

Each case is first called once and checked (exact result, or exact exception
type and message), so the loop runs the path it claims to. After a warm-up it
runs N more times; the reference count of every object reachable from its
arguments must not move across any single call, and over the loop Python
objects (tracemalloc), the native heap in use (glibc mallinfo2) and the
resident set may grow by at most PY_BUDGET, HEAP_BUDGET and RSS_BUDGET. The
inputs are large enough that one lost input-sized buffer, or one small Python
object, per call overshoots them several times. Under AddressSanitizer
(VALDRIN_ASAN=1) the allocator's quarantine holds freed memory back, so only
reference counts and tracemalloc are checked there.
"""

from __future__ import annotations

import ctypes
import gc
import os
import struct
import sys
import tracemalloc
from array import array
from dataclasses import fields, is_dataclass
from types import SimpleNamespace

import pytest

import netns
import valdrin_rt
from valdrin import sv
from valdrin.data import (
    ArrayData, BitStringData, BoolData, FloatData, IntData, MmsStringData, OctetStringData,
    RawData, StructureData, TimestampData, UIntData, VisibleStringData,
)
from valdrin.goose import GoosePDU
from valdrin.sv_publisher import _native_streams

from ber import tlv

Engine = valdrin_rt.Engine
UNDER_ASAN = os.environ.get("VALDRIN_ASAN") == "1"
# Measured over 2000 calls: at most ~8 KiB of Python objects and ~17 KiB of
# native heap (exception objects, allocator and tracemalloc bookkeeping), no RSS.
PY_BUDGET, HEAP_BUDGET, RSS_BUDGET = 24 * 1024, 48 * 1024, 1024 * 1024
WARMUP, N = 100, 2000


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)  # glibc 2.33 and later
if _MALLINFO2 is not None:
    _MALLINFO2.restype, _MALLINFO2.argtypes = _Mallinfo2, []


def memory() -> tuple[int, int, int]:
    """Python objects traced, native heap handed out and not got back, resident set.

    The heap leaves out tracemalloc's own tables, which grow in steps (one of
    138 kB was seen) with the number of blocks it traces."""
    info = _MALLINFO2() if _MALLINFO2 is not None else None
    with open("/proc/self/statm") as statm:
        rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    heap = info.uordblks + info.hblkhd - tracemalloc.get_tracemalloc_memory() if info else 0
    return tracemalloc.get_traced_memory()[0], heap, rss


def tracked_objects(*roots) -> list:
    """Every object reachable from `roots` through containers, dataclasses and
    namespaces, without the ones the interpreter shares (None, bools, small ints,
    one-character and interned strings), whose counts move with unrelated work."""
    seen, stack = {}, list(roots)
    while stack:
        obj = stack.pop()
        if (obj is None or obj is True or obj is False or id(obj) in seen
                or (type(obj) is int and -5 <= obj <= 256)
                or (type(obj) is str and (len(obj) <= 1 or sys.intern(obj) is obj))
                or (type(obj) is bytes and len(obj) <= 1)):
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            stack += [*obj.keys(), *obj.values()]
        elif isinstance(obj, (list, tuple)):
            stack += obj
        elif is_dataclass(obj) and not isinstance(obj, type):
            stack += [getattr(obj, f.name) for f in fields(obj)]
        elif isinstance(obj, SimpleNamespace):
            stack += vars(obj).values()
    return list(seen.values())


def check(growth: list, py_budget: int = PY_BUDGET):
    python, heap, rss = growth
    assert python <= py_budget, f"Python objects grew by {python} bytes"
    if not UNDER_ASAN:
        assert heap <= HEAP_BUDGET, f"native heap grew by {heap} bytes"
        assert rss <= RSS_BUDGET, f"RSS grew by {rss} bytes"


def measure(call, roots: tuple, n: int = N, warmup: int = WARMUP, settle=None) -> list:
    """Runs `call` `warmup` times, then `n` times checking the reference counts of
    everything reachable from `roots` around each call; returns the growth of
    Python objects, native heap and RSS over the `n` calls. tracemalloc must run.
    `settle()`, when given, runs before each of the two readings: for calls that
    leave work behind that ends by itself (a detached thread holding memory)."""
    tracked = tracked_objects(*roots)
    for _ in range(warmup):
        call()
    gc.collect()
    gc.disable()
    try:
        if settle:
            settle()
        before_all = memory()
        for i in range(n):
            before = list(map(sys.getrefcount, tracked))
            call()
            after = list(map(sys.getrefcount, tracked))
            if before != after:
                changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(tracked, before, after) if b != a]
                raise AssertionError(f"call {i}: reference counts changed: {changed}")
        if settle:
            settle()
        gc.collect()
        return [now - then for now, then in zip(memory(), before_all)]
    finally:
        gc.enable()


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


# --- Inputs ---------------------------------------------------------------------


def content_length(apdu: bytes) -> int:
    """The length of the outermost TLV's contents (one-octet tag)."""
    return apdu[1] if apdu[1] < 0x80 else int.from_bytes(apdu[2:2 + (apdu[1] & 0x7F)], "big")


DST, SRC, SV_DST = bytes.fromhex("010ccd010001"), bytes.fromhex("0200000000aa"), bytes.fromhex("010ccd040001")


def every_data_kind(depth: int = 3) -> list:
    """One value of every Data class, nested structures and arrays, and a string
    long enough for a long-form length."""
    nested = StructureData([IntData(1), ArrayData([BoolData(False), UIntData(3)])])
    for _ in range(depth):
        nested = ArrayData([nested, StructureData([FloatData(0.5), nested])])
    return [BoolData(True), IntData(-(2**62)), UIntData(2**63 + 5), FloatData(1.25), FloatData(-2.5e300, True),
            BitStringData(b"\xf0\x0f\xa0", 5), OctetStringData(bytes(range(200))),
            VisibleStringData("feeder bay 7 " * 12), MmsStringData("Überlast \u20ac" * 4),
            TimestampData(1_700_000_000.5, 0x8A), RawData(0x90, b"\x01\x02"), nested]


def goose_pdu(**overrides) -> GoosePDU:
    return GoosePDU(**{**dict(gocb_ref="IED1LD0/LLN0$GO$gcbTrip", dat_set="IED1LD0/LLN0$DSTrip", go_id="TRIP",
                              time_allowed_to_live=2000, timestamp=1_700_000_000.25, time_quality=0x0A, st_num=7,
                              sq_num=123456, simulation=False, conf_rev=3, nds_com=False,
                              all_data=every_data_kind()), **overrides})


def with_data(*extra) -> GoosePDU:
    return goose_pdu(all_data=every_data_kind() + list(extra))


def nested_too_deep(levels: int):
    value = BoolData(True)
    for _ in range(levels):
        value = StructureData([value])
    return value


class NotData:
    value = 1


GOOSE = goose_pdu()
GOOSE_APDU = valdrin_rt.encode_goose_pdu(GOOSE)
GOOSE_LENGTH = content_length(GOOSE_APDU)
GOOSE_FRAME = valdrin_rt.encode_goose_frame(GOOSE, DST, SRC, 0x0003, 100, 5)
GOOSE_FRAME_UNTAGGED = valdrin_rt.encode_goose_frame(GOOSE, DST, SRC, 0x0003)
SV_STREAM = sv.Stream("MU0101", [sv.Wave(1000.0 * (i + 1), -120.0 * i, 50.0, 0.5 * i, 10.0, 0x4000 + i)
                                 for i in range(8)],
                      dat_set="MU01LD0/LLN0$PhsMeas1", smp_rate=4000, smp_mod=1, smp_synch=2, vlan_id=5, dst_mac=SV_DST)
SV_FRAME = Engine("lo", 4000, 8, _native_streams([SV_STREAM], 8), 0).render(0, 1_700_000_000, 8)
SV_APDU = SV_FRAME[26:]
SV_LENGTH = content_length(SV_APDU)
# Every optional ASDU field, and security octets.
SV_FULL_ASDU = (tlv(0x80, b"MU01") + tlv(0x81, b"IED/LLN0$MSVCB01") + tlv(0x82, b"\x12\x34")
                + tlv(0x83, b"\x00\x00\x00\x01") + tlv(0x84, bytes.fromhex("6543210fabcdef0a"))
                + tlv(0x85, b"\x02") + tlv(0x86, b"\x0f\xa0") + tlv(0x87, bytes(8 * 64))
                + tlv(0x88, b"\x00\x01") + tlv(0x89, bytes(range(8))))
SV_FULL_APDU = tlv(0x60, tlv(0x80, b"\x02") + tlv(0xA1, bytes(range(32))) + tlv(0xA2, tlv(0x30, SV_FULL_ASDU) * 2))

WAVE = (1000.0, 0.0, 50.0, 0.0, 1.0, 0)
FRAME_LEN = 1500


def stream_dict(**overrides) -> dict:
    """One ASDU, two channels, a 1500-octet template, a fault and a 64 KiB
    playback, so that a copy of any of them lost per call shows at once."""
    d = {"frame": bytes(FRAME_LEN), "smp_cnt_offsets": [20], "sample_offsets": [24],
         "waves": [WAVE, (2000.0, 120.0, 50.0, 1.0, 2.0, 0x2000)],
         "fault": {"waves": [WAVE, WAVE], "cycle_s": 10, "offset_s": 2, "start_smp": 100, "duration_s": 0.25},
         "playback": {"channels": 2, "values": struct.pack("=8192i", *range(8192)),
                      "qualities": struct.pack("=8192I", *range(8192)), "period": 4000, "start": 5}}
    d.update(overrides)
    return {k: v for k, v in d.items() if v is not ...}


GOOD_STREAMS = [stream_dict(), stream_dict(fault=None, playback=None)]


def engine_args(**overrides) -> dict:
    return dict(iface="lo", rate=4000, asdus_per_frame=1, streams=GOOD_STREAMS, start_second=1_700_000_000) | overrides


def one_stream(**overrides) -> dict:
    return engine_args(streams=[stream_dict(**overrides)])


def playback(**overrides) -> dict:
    return stream_dict()["playback"] | overrides


ENGINE = Engine(**engine_args())
OUT_OF_RANGE = "out of range integral type conversion attempted"


def case(id, function, *args, error=None, message=None, expect=None, **kwargs):
    """`function(*args, **kwargs)` returns a result for which `expect` is true,
    or raises exactly `error` with the text `message`."""
    return pytest.param(function, args, kwargs, error, message, expect, id=id)


def frame_long(frame):
    return len(frame) == FRAME_LEN


rt = valdrin_rt
CASES = [
    case("sv pdu 8 asdus", rt.decode_sv_pdu, SV_APDU,
         expect=lambda r: r[0] is None and [a["smp_cnt"] for a in r[1]] == list(range(8, 16))),
    case("sv pdu every field", rt.decode_sv_pdu, SV_FULL_APDU,
         expect=lambda r: r[0] == bytes(range(32)) and len(r[1]) == 2),
    case("sv pdu truncated", rt.decode_sv_pdu, SV_APDU[:-3], error=ValueError,
         message=f"TLV 0x60 truncated: needs {SV_LENGTH} bytes, {SV_LENGTH - 3} left"),
    case("sv pdu wrong tag", rt.decode_sv_pdu, b"\x61\x00", error=ValueError, message="expected tag 0x60, found 0x61"),
    case("sv pdu empty", rt.decode_sv_pdu, b"", error=ValueError, message="missing tag"),
    case("sv pdu not bytes", rt.decode_sv_pdu, bytearray(SV_APDU), error=TypeError,
         message="argument 'apdu': 'bytearray' object cannot be converted to 'PyBytes'"),
    case("sv pdu bad keyword", rt.decode_sv_pdu, raw=SV_APDU, error=TypeError,
         message="decode_sv_pdu() got an unexpected keyword argument 'raw'"),
    case("sv frame", rt.decode_sv_frame, SV_FRAME, expect=lambda r: r[0]["vlan_id"] == 5 and len(r[1][1]) == 8),
    case("sv frame bad pdu", rt.decode_sv_frame, SV_FRAME[:26] + b"\x61" + SV_FRAME[27:], error=ValueError,
         message="expected tag 0x60, found 0x61"),
    case("sv frame of goose", rt.decode_sv_frame, GOOSE_FRAME, expect=lambda r: r is None),
    case("sv frame length past end", rt.decode_sv_frame, SV_FRAME[:-1], expect=lambda r: r is None),
    case("sv frame two positionals", rt.decode_sv_frame, SV_FRAME, SV_FRAME, error=TypeError,
         message="decode_sv_frame() takes 1 positional arguments but 2 were given"),
    case("goose encode every kind", rt.encode_goose_pdu, GOOSE, expect=lambda r: r == GOOSE_APDU),
    case("goose encode not data", rt.encode_goose_pdu, with_data(NotData()), error=ValueError,
         message="not an IEC 61850 Data value: NotData"),
    case("goose encode unused bits", rt.encode_goose_pdu, with_data(BitStringData(b"\x00", 8)), error=ValueError,
         message="unused_bits must be 0..7, got 8"),
    case("goose encode too deep", rt.encode_goose_pdu, goose_pdu(all_data=[nested_too_deep(40)]), error=ValueError,
         message="structures and arrays nested deeper than 32"),
    case("goose encode not ascii", rt.encode_goose_pdu, goose_pdu(go_id="G\u20ac"), error=ValueError,
         message="go_id is not ASCII"),
    case("goose encode int overflow", rt.encode_goose_pdu, with_data(IntData(2**63)), error=OverflowError),
    case("goose encode st_num type", rt.encode_goose_pdu, goose_pdu(st_num="7"), error=TypeError,
         message="'str' object cannot be interpreted as an integer"),
    case("goose encode timestamp", rt.encode_goose_pdu, with_data(TimestampData(-1, 0)), error=ValueError,
         message="timestamp out of the UtcTime range (1970 to 2106): -1"),
    case("goose encode missing attribute", rt.encode_goose_pdu, SimpleNamespace(gocb_ref="A", dat_set="B"),
         error=AttributeError),
    case("goose encode no argument", rt.encode_goose_pdu, error=TypeError,
         message="encode_goose_pdu() missing 1 required positional argument: 'pdu'"),
    case("goose frame tagged", rt.encode_goose_frame, GOOSE, DST, SRC, 3, 100, 5, expect=lambda r: r == GOOSE_FRAME),
    case("goose frame untagged", rt.encode_goose_frame, GOOSE, list(DST), tuple(SRC), 3,
         expect=lambda r: r == GOOSE_FRAME_UNTAGGED),
    case("goose frame short mac", rt.encode_goose_frame, GOOSE, DST[:5], SRC, 3, error=ValueError,
         message="expected a sequence of length 6 (got 5)"),
    case("goose frame vlan id", rt.encode_goose_frame, GOOSE, DST, SRC, 3, 4096, error=ValueError,
         message="VLAN id out of range: 4096"),
    case("goose frame app id", rt.encode_goose_frame, GOOSE, DST, SRC, 65536, error=OverflowError,
         message=OUT_OF_RANGE),
    case("goose frame bad data", rt.encode_goose_frame, with_data(NotData()), DST, SRC, 3, error=ValueError,
         message="not an IEC 61850 Data value: NotData"),
    case("goose frame apdu too long", rt.encode_goose_frame,
         goose_pdu(gocb_ref="A", dat_set="B", go_id=None, all_data=[OctetStringData(bytes(65600))]), DST, SRC, 3,
         error=ValueError),
    case("goose pdu lenient", rt.decode_goose_pdu, GOOSE_APDU,
         expect=lambda r: r["st_num"] == 7 and len(r["all_data"]) > 12),
    case("goose pdu strict", rt.decode_goose_pdu, GOOSE_APDU, True, expect=lambda r: r["go_id"] == b"TRIP"),
    # Two octets after the PDU: accepted leniently, refused strictly.
    case("goose pdu trailing lenient", rt.decode_goose_pdu, GOOSE_APDU + b"\0\0",
         expect=lambda r: r["sq_num"] == 123456),
    case("goose pdu trailing strict", rt.decode_goose_pdu, GOOSE_APDU + b"\0\0", strict=True, error=ValueError,
         message="not conformant: 2 octets after the PDU"),
    case("goose pdu count strict", rt.decode_goose_pdu, rt.encode_goose_pdu(goose_pdu(num_dat_set_entries=2)), True,
         error=ValueError, message="not conformant: numDatSetEntries=2 but 12 entries"),
    case("goose pdu truncated", rt.decode_goose_pdu, GOOSE_APDU[:-1], error=ValueError,
         message=f"TLV 0x61 truncated: needs {GOOSE_LENGTH} bytes, {GOOSE_LENGTH - 1} left"),
    case("goose pdu wrong tag", rt.decode_goose_pdu, b"\x60\x00", error=ValueError,
         message="expected tag 0x61, found 0x60"),
    case("goose pdu strict not bool", rt.decode_goose_pdu, GOOSE_APDU, 1, error=TypeError,
         message="argument 'strict': 'int' object cannot be converted to 'PyBool'"),
    case("goose frame decode", rt.decode_goose_frame, GOOSE_FRAME, True,
         expect=lambda r: len(r) == 2 and r[0]["vlan_priority"] == 5),
    case("goose frame decode untagged", rt.decode_goose_frame, GOOSE_FRAME_UNTAGGED,
         expect=lambda r: len(r) == 2 and r[0]["vlan_id"] is None),
    case("goose frame decode bad pdu", rt.decode_goose_frame, GOOSE_FRAME[:26] + b"\x60" + GOOSE_FRAME[27:],
         error=ValueError, message="expected tag 0x61, found 0x60"),
    case("goose frame decode of sv", rt.decode_goose_frame, SV_FRAME, expect=lambda r: r is None),
    case("goose frame decode too short", rt.decode_goose_frame, GOOSE_FRAME[:13], expect=lambda r: r is None),
    # The constructor: each Engine holds a private copy of 2 x 1500 template
    # octets and 64 KiB of playback, so a lost Config grows the heap by ~200 MB.
    case("engine", Engine, **engine_args(), expect=lambda e: frame_long(e.render(0, 0, 0))),
    case("too many positionals", Engine, "lo", 4000, 1, [], 0, None, None, None, None, None, 1, error=TypeError,
         message="Engine.__new__() takes from 5 to 10 positional arguments but 11 were given"),
    case("unexpected keyword", Engine, **engine_args(priority=1), error=TypeError,
         message="Engine.__new__() got an unexpected keyword argument 'priority'"),
    case("missing", Engine, "lo", 4000, error=TypeError, message="Engine.__new__() missing 3 required positional "
         "arguments: 'asdus_per_frame', 'streams', and 'start_second'"),
    case("iface type", Engine, **engine_args(iface=b"lo"), error=TypeError,
         message="argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
    case("streams str", Engine, **engine_args(streams="streams"), error=TypeError,
         message="argument 'streams': Can't extract `str` to `Vec`"),
    case("rt_priority overflow", Engine, **engine_args(rt_priority=2**31), error=OverflowError, message=OUT_OF_RANGE),
    case("cpu negative", Engine, **engine_args(cpu=-1), error=OverflowError,
         message="can't convert negative int to unsigned"),
    case("rate", Engine, **engine_args(asdus_per_frame=3), error=ValueError,
         message="rate must be a positive multiple of asdus_per_frame"),
    # Most refusals below come after a full stream has been converted.
    case("stream not dict", Engine, **engine_args(streams=GOOD_STREAMS + [[1]]), error=TypeError,
         message="'list' object cannot be converted to 'PyDict'"),
    case("stream key missing", Engine, **engine_args(streams=GOOD_STREAMS + [stream_dict(fault=...)]),
         error=ValueError, message="stream without fault"),
    case("wave tuple length", Engine, **one_stream(waves=[WAVE, WAVE[:5]]), error=ValueError,
         message="expected tuple of length 6, but got tuple of length 5"),
    case("wave quality", Engine, **one_stream(waves=[WAVE, WAVE[:5] + (2**32,)]), error=OverflowError,
         message=OUT_OF_RANGE),
    case("frame octet", Engine, **one_stream(frame=[0] * 99 + [256]), error=OverflowError, message=OUT_OF_RANGE),
    case("playback bytes", Engine, **one_stream(playback=playback(values=bytes(65535))), error=ValueError,
         message="playback data must be 32-bit integers"),
    case("playback qualities", Engine, **one_stream(playback=playback(qualities=bytes(8))), error=ValueError,
         message="playback qualities must match the values"),
    case("playback period", Engine, **one_stream(playback=playback(period=0)), error=ValueError,
         message="playback period must be positive"),
    case("offset outside", Engine, **one_stream(sample_offsets=[FRAME_LEN - 15]), error=ValueError,
         message="offset outside the frame"),
    case("fault channels", Engine, **one_stream(fault={"waves": [WAVE], "cycle_s": 1, "offset_s": 0, "start_smp": 0,
                                                       "duration_s": None}),
         error=ValueError, message="the fault waves must have as many channels as the stream"),
    case("asdus per frame", Engine, **engine_args(asdus_per_frame=2), error=ValueError,
         message="every template must carry asdus_per_frame ASDUs"),
    # The methods; the engine's own reference count is tracked too.
    case("render", ENGINE.render, 0, 1_700_000_123, 3999, expect=frame_long),
    case("render fault window", ENGINE.render, 0, 1_700_000_002, 150, expect=frame_long),
    case("render keywords", ENGINE.render, stream=1, second=-(2**63), first_smp=2**63 - 1, expect=frame_long),
    case("render no such stream", ENGINE.render, 2, 0, 0, error=ValueError, message="no such stream"),
    case("render second type", ENGINE.render, 0, 1.5, 0, error=TypeError,
         message="argument 'second': 'float' object cannot be interpreted as an integer"),
    case("render overflow", ENGINE.render, 0, 2**63, 0, error=OverflowError),
    case("render missing", ENGINE.render, 0, error=TypeError,
         message="Engine.render() missing 2 required positional arguments: 'second' and 'first_smp'"),
    # frame(stream, k): period k's instant (1.7e9 s + 4001 x 250 µs) and its frame; instants past 64 bits of ns
    # either way come back exact.
    case("frame", ENGINE.frame, 1, 4001, expect=lambda r: r[0] == 1_700_000_001_000_250_000 and frame_long(r[1])),
    case("frame keywords", ENGINE.frame, stream=0, period=0, expect=lambda r: r[0] == 1_700_000_000_000_000_000),
    case("frame far ahead", Engine(**engine_args(start_second=2**63 - 1)).frame, 0, 2**64 - 1,
         expect=lambda r: r[0] == 9227983722873203194_903750000),
    case("frame far back", Engine(**engine_args(start_second=-(2**63))).frame, 0, 1,
         expect=lambda r: r[0] == -9223372036854775808_000000000 + 250_000),
    case("frame no such stream", ENGINE.frame, 2, 0, error=ValueError, message="no such stream"),
    case("frame negative period", ENGINE.frame, 0, -1, error=OverflowError),
    case("instant", ENGINE.instant, 2**63 - 1, 1, expect=lambda r: r == 9223372036854775807_000250000),
    case("instant outside the second", ENGINE.instant, 0, 4000, error=ValueError,
         message="smp must lie within the second: 0 to rate - 1"),
    case("first period", ENGINE.first_period, 1_700_000_000_000_250_001, expect=lambda r: r == 2),
    case("first period missing", ENGINE.first_period, error=TypeError,
         message="Engine.first_period() missing 1 required positional argument: 'time_ns'"),
    case("stats", ENGINE.stats,
         expect=lambda s: s == {"frames_sent": 0, "send_errors": 0, "late_frames": 0, "max_lateness_ns": 0}),
    case("stop never started", ENGINE.stop, expect=lambda r: r is None),
    case("start bad name", Engine(**engine_args(iface="lo\0x")).start, error=OSError, message="bad interface name"),
    case("start no interface", Engine(**engine_args(iface="valdrin-none0")).start, error=OSError,
         message="interface valdrin-none0: No such device (os error 19)"),
    # The SV counter rule: 3998, 0 (the wrap learnt as 3999), then 3999 late (widened to 4000).
    case("counter place", valdrin_rt.SvCounter().place, array("H", [3998, 0, 3999]).tobytes(),
         expect=lambda r: array("q", r).tolist() == [0, 2, 1]),
    case("counter odd octets", valdrin_rt.SvCounter().place, b"abc", error=ValueError,
         message="smp_cnts holds 3 octets: not whole 16-bit counters"),
    case("counter str", valdrin_rt.SvCounter().place, "ab", error=TypeError,
         message="argument 'smp_cnts': 'str' object cannot be converted to 'PyBytes'"),
    case("counter arguments", valdrin_rt.SvCounter, 1, error=TypeError,
         message="SvCounter.__new__() takes 0 positional arguments but 1 was given"),
]


def test_every_codec_function_is_covered():
    assert {c.values[0].__name__ for c in CASES} >= {"decode_sv_pdu", "decode_sv_frame", "encode_goose_pdu",
                                                     "encode_goose_frame", "decode_goose_pdu", "decode_goose_frame"}


@pytest.mark.parametrize("function, args, kwargs, error, message, expect", CASES)
def test_calls_leave_memory_and_refcounts_unchanged(function, args, kwargs, error, message, expect):
    if error is None:
        result = function(*args, **kwargs)
        assert expect is None or expect(result), repr(result)[:200]

        def call():
            function(*args, **kwargs)
    else:
        with pytest.raises(BaseException) as raised:
            function(*args, **kwargs)
        assert type(raised.value) is error, repr(raised.value)
        assert message is None or str(raised.value) == message

        def call():
            try:
                function(*args, **kwargs)
            except error:
                pass
    owner = getattr(function, "__self__", None)
    check(measure(call, (args, kwargs, owner if isinstance(owner, Engine) else None)))


def test_start_stop_cycles_in_a_namespace_leak_nothing():
    # Every cycle opens a packet socket, makes a thread that copies both
    # templates, sends on the namespace's loopback and joins it. Closing a
    # packet socket waits for an RCU grace period (~15 ms), which bounds the
    # number of cycles. The start second is in the past: the first run goes
    # straight into its backlog, later ones resume at the next period due.
    result = netns.in_netns("""
        import json, sys, time, tracemalloc
        import valdrin_rt
        from netns import open_sockets, thread_names
        from test_leaks import measure, stream_dict
        tracemalloc.start()
    """, """
        streams = [stream_dict(), stream_dict(fault=None, playback=None)]
        past = int(time.time()) - 5
        engine = valdrin_rt.Engine("lo", 4000, 1, streams, past)
        out = {}

        def cycle():
            # A stop right after start() may end the thread before its first
            # period: wait for a batch, so that every cycle sends.
            before = engine.stats()["frames_sent"]
            engine.start()
            deadline = time.monotonic() + 5
            while engine.stats()["frames_sent"] == before and time.monotonic() < deadline:
                time.sleep(0.0002)
            engine.stop()
        out["cycle"] = measure(cycle, (engine, streams), n=250, warmup=20)
        out["sent"] = engine.stats()["frames_sent"]

        def disposed_while_running():
            e = valdrin_rt.Engine("lo", 4000, 1, streams, past)
            e.start()
            del e  # joins the running thread
        out["dispose"] = measure(disposed_while_running, (streams,), n=150, warmup=20)

        def set_up_threads_ended():
            # A thread that ends without a report is detached and finishes
            # by itself, holding its copy of the templates (tens of kB) until
            # then: on a loaded machine a few may still run when the heap is
            # read (a growth of 138 kB against the 48 kB budget was seen).
            deadline = time.monotonic() + 20
            while len(thread_names()) > 1 and time.monotonic() < deadline:
                time.sleep(0.01)

        def failing_start(engine, n, warmup, settle=None):
            def call():
                try:
                    engine.start()
                except (OSError, RuntimeError) as error:
                    messages.add(f"{type(error).__name__}: {error}")
            return measure(call, (engine,), n=n, warmup=warmup, settle=settle)
        messages = set()
        sent = engine.stats()["frames_sent"]
        engine.start()
        # start() returns once the thread is set up; it then builds its working set
        # (a sample cache of some 130 kB per stream): measure once it sends.
        deadline = time.monotonic() + 5
        while engine.stats()["frames_sent"] == sent and time.monotonic() < deadline:
            time.sleep(0.0002)
        out["already"] = failing_start(engine, 2000, 100)
        engine.stop()
        # A thread that fails its set-up: reported (pinning to a CPU that is not
        # there), or ending without a report (a CPU set cannot hold 1024).
        unpinnable = valdrin_rt.Engine("lo", 4000, 1, streams, past, cpu=1023)
        unrepresentable = valdrin_rt.Engine("lo", 4000, 1, streams, past, cpu=1024)
        out["pin"] = failing_start(unpinnable, 100, 20, set_up_threads_ended)
        out["gone"] = failing_start(unrepresentable, 100, 20, set_up_threads_ended)
        out["messages"] = sorted(messages)
        out["refcounts"] = [sys.getrefcount(engine), sys.getrefcount(unpinnable), sys.getrefcount(unrepresentable)]
        del engine, unpinnable, unrepresentable
        deadline = time.monotonic() + 20  # the detached threads of failed set-ups end
        while (len(thread_names()) > 1 or open_sockets()) and time.monotonic() < deadline:
            time.sleep(0.01)
        out["threads"], out["sockets"] = thread_names(), open_sockets()
        print(json.dumps(out))
    """, timeout=120)
    for name in ("cycle", "dispose", "already", "pin", "gone"):
        check(result[name])
    assert result["sent"] >= 250  # every measured cycle sent
    assert result["messages"] == ["OSError: pin to CPU 1023: Invalid argument (os error 22)",
                                  "RuntimeError: already started",
                                  "RuntimeError: the engine thread ended during setup"]
    assert result["refcounts"] == [2, 2, 2]  # the name and getrefcount's argument
    assert len(result["threads"]) == 1 and result["sockets"] == []


def test_the_measurement_sees_a_small_leak_of_each_kind():
    kept, payload = [], (b"x" * 50,)
    with pytest.raises(AssertionError, match="Python objects grew"):
        check(measure(lambda: kept.append(bytes(16)), (), warmup=0))
    kept.clear()
    with pytest.raises(AssertionError, match="reference counts changed"):
        measure(lambda: kept.append(payload[0]), (payload,), warmup=0)
    kept.clear()
    if not UNDER_ASAN and _MALLINFO2 is not None:
        libc = ctypes.CDLL(None)
        libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
        libc.free.argtypes = [ctypes.c_void_p]
        blocks = []  # Python ints; the 24 octets of C heap per call are the leak
        with pytest.raises(AssertionError, match="native heap grew"):
            check(measure(lambda: blocks.append(libc.malloc(24)), (), warmup=0), py_budget=10**9)
        for block in blocks:
            libc.free(block)
