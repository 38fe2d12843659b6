"""No leaks under repetition: every codec function and every Engine method,
called thousands of times on good and on malformed input, leaves the
process's memory flat and the reference counts of its inputs unchanged.

Each case is first called once and checked (exact result or exact exception
type and message), so that the loop runs the path it claims to run. Then,
after a warm-up, the case runs N more times; around every single call the
reference count of every object reachable from the arguments must stay the
same, and over the whole loop

- Python objects (tracemalloc) may grow by at most PY_BUDGET,
- the native heap in use (glibc mallinfo2: C++ vectors, strings, threads)
  by at most HEAP_BUDGET, and
- the resident set (/proc/self/statm) by at most RSS_BUDGET.

The inputs are large enough that losing one input-sized buffer, or one
small Python object, per call overshoots these budgets several times. Under
AddressSanitizer (VALDRIN_ASAN=1, set by scripts/asan-pytest) the allocator
is ASan's own, with a quarantine that holds freed memory back, so the heap
and RSS budgets are not applied there; reference counts and tracemalloc are.

Starting and stopping the transmit thread needs a packet socket: those
cycles run in a network namespace of their own (`unshare --net`), whose
loopback is the only interface they send on.
"""

from __future__ import annotations

import ctypes
import gc
import os
import struct
import sys
import time
import tracemalloc
from dataclasses import dataclass, field, fields, is_dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable

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

Engine = valdrin_rt.Engine

UNDER_ASAN = os.environ.get("VALDRIN_ASAN") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")

# Measured growth over 2000 calls is at most ~8 KiB of Python objects and
# ~17 KiB of native heap (exception objects, allocator and tracemalloc
# bookkeeping), and no RSS at all.
PY_BUDGET = 24 * 1024
HEAP_BUDGET = 48 * 1024
RSS_BUDGET = 1024 * 1024

WARMUP = 100
N = 2000  # calls measured per case

# --- Measuring ------------------------------------------------------------------


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # glibc before 2.33
        return None
    function.restype = _Mallinfo2
    function.argtypes = []
    return function


_MALLINFO2 = _mallinfo2()


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def heap_bytes() -> int:
    """Bytes the C library's allocator has handed out and not got back."""
    if _MALLINFO2 is None:
        return 0
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def tracked_objects(*roots: Any) -> list[Any]:
    """Every object reachable from `roots` through containers, Data objects,
    GoosePDUs and namespaces, without the objects the whole interpreter
    shares (None, bools, small ints, one-character and interned strings such
    as dict keys), whose counts move with unrelated work."""
    seen: dict[int, Any] = {}
    stack = list(roots)
    while stack:
        obj = stack.pop()
        if obj is None or obj is True or obj is False or obj is Ellipsis:
            continue
        if type(obj) is int and -5 <= obj <= 256:
            continue
        if type(obj) is str and (len(obj) <= 1 or sys.intern(obj) is obj):
            continue
        if type(obj) is bytes and len(obj) <= 1:
            continue
        if id(obj) in seen:
            continue
        seen[id(obj)] = obj
        if isinstance(obj, dict):
            stack.extend(obj.keys())
            stack.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            stack.extend(obj)
        elif is_dataclass(obj) and not isinstance(obj, type):
            stack.extend(getattr(obj, f.name) for f in fields(obj))
        elif isinstance(obj, SimpleNamespace):
            stack.extend(vars(obj).values())
    return list(seen.values())


@dataclass
class Growth:
    calls: int
    python: int  # tracemalloc, bytes
    heap: int    # mallinfo2, bytes
    rss: int     # /proc/self/statm, bytes
    seconds: float

    def check(self, py_budget: int = PY_BUDGET, heap_budget: int = HEAP_BUDGET,
              rss_budget: int = RSS_BUDGET) -> None:
        assert self.python <= py_budget, f"Python objects grew by {self.python} bytes"
        if not UNDER_ASAN:
            assert self.heap <= heap_budget, f"native heap grew by {self.heap} bytes"
            assert self.rss <= rss_budget, f"RSS grew by {self.rss} bytes"


def measure(call: Callable[[], None], roots: tuple, n: int = N, warmup: int = WARMUP) -> Growth:
    """Runs `call` `warmup` times, then `n` times checking the reference counts
    of everything reachable from `roots` around each call; returns the growth
    of memory over the `n` calls. tracemalloc must be running."""
    tracked = tracked_objects(*roots)
    for _ in range(warmup):
        call()
    gc.collect()
    gc.disable()
    try:
        began = time.perf_counter()
        python0, heap0, rss0 = tracemalloc.get_traced_memory()[0], heap_bytes(), rss_bytes()
        getrefcount = sys.getrefcount
        for i in range(n):
            before = list(map(getrefcount, tracked))
            call()
            after = list(map(getrefcount, tracked))
            if before != after:
                changed = [(repr(obj)[:60], b, a)
                           for obj, b, a in zip(tracked, before, after) if b != a]
                raise AssertionError(f"call {i}: reference counts changed: {changed}")
        gc.collect()
        python1, heap1, rss1 = tracemalloc.get_traced_memory()[0], heap_bytes(), rss_bytes()
        seconds = time.perf_counter() - began
    finally:
        gc.enable()
    return Growth(n, python1 - python0, heap1 - heap0, rss1 - rss0, seconds)


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@dataclass
class Case:
    """One call: `function(*args, **kwargs)` must return `expect(result)` true,
    or raise exactly `error` with the message `message`."""
    id: str
    function: Callable
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    error: type[BaseException] | None = None
    message: str | None = None
    expect: Callable[[Any], bool] | None = None

    def first_call(self) -> None:
        if self.error is None:
            result = self.function(*self.args, **self.kwargs)
            assert self.expect is None or self.expect(result), repr(result)[:200]
            return
        with pytest.raises(BaseException) as raised:
            self.function(*self.args, **self.kwargs)
        assert type(raised.value) is self.error, repr(raised.value)
        if self.message is not None:
            assert str(raised.value) == self.message

    def loop_call(self) -> Callable[[], None]:
        function, args, kwargs, error = self.function, self.args, self.kwargs, self.error
        if error is None:
            def call():
                function(*args, **kwargs)
        else:
            def call():
                try:
                    function(*args, **kwargs)
                except error:
                    pass
        return call


def run_case(case: Case, n: int = N) -> Growth:
    case.first_call()
    growth = measure(case.loop_call(), (case.args, case.kwargs), n)
    growth.check()
    return growth


# --- Inputs ---------------------------------------------------------------------


def tlv(tag: int, content: bytes) -> bytes:
    tag_octets = tag.to_bytes((tag.bit_length() + 7) // 8 or 1, "big")
    size = len(content)
    if size < 0x80:
        return tag_octets + bytes([size]) + content
    octets = size.to_bytes((size.bit_length() + 7) // 8, "big")
    return tag_octets + bytes([0x80 | len(octets)]) + octets + content


def content_length(apdu: bytes) -> int:
    """The length of the outermost TLV's contents (one-octet tag)."""
    first = apdu[1]
    if first < 0x80:
        return first
    return int.from_bytes(apdu[2:2 + (first & 0x7F)], "big")


DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("0200000000aa")
SV_DST = bytes.fromhex("010ccd040001")


def every_data_kind(depth: int = 3) -> list:
    """One value of every Data class, with nested structures and arrays and a
    string long enough for a long-form length."""
    values = [
        BoolData(True), IntData(-(2**62)), UIntData(2**63 + 5), FloatData(1.25),
        FloatData(-2.5e300, True), BitStringData(b"\xf0\x0f\xa0", 5),
        OctetStringData(bytes(range(200))), VisibleStringData("feeder bay 7 " * 12),
        MmsStringData("Überlast \u20ac" * 4), TimestampData(1_700_000_000.5, 0x8A),
        RawData(0x90, b"\x01\x02"),
    ]
    nested = StructureData([IntData(1), ArrayData([BoolData(False), UIntData(3)])])
    for _ in range(depth):
        nested = ArrayData([nested, StructureData([FloatData(0.5), nested])])
    return values + [nested]


def goose_pdu(**overrides) -> GoosePDU:
    values = dict(gocb_ref="IED1LD0/LLN0$GO$gcbTrip", dat_set="IED1LD0/LLN0$DSTrip",
                  go_id="TRIP", time_allowed_to_live=2000, timestamp=1_700_000_000.25,
                  time_quality=0x0A, st_num=7, sq_num=123456, simulation=False, conf_rev=3,
                  nds_com=False, all_data=every_data_kind())
    values.update(overrides)
    return GoosePDU(**values)


def nested_too_deep(levels: int):
    value = BoolData(True)
    for _ in range(levels):
        value = StructureData([value])
    return value


class NotData:
    value = 1


GOOSE = goose_pdu()
GOOSE_APDU = valdrin_rt.encode_goose_pdu(GOOSE)
GOOSE_FRAME = valdrin_rt.encode_goose_frame(GOOSE, DST, SRC, 0x0003, 100, 5)
GOOSE_FRAME_UNTAGGED = valdrin_rt.encode_goose_frame(GOOSE, DST, SRC, 0x0003)
# The frame with its APDU's tag changed: a GOOSE frame whose PDU is malformed.
GOOSE_FRAME_BAD_PDU = GOOSE_FRAME[:26] + b"\x60" + GOOSE_FRAME[27:]
# Two octets after the PDU: accepted leniently, refused strictly.
GOOSE_APDU_TRAILING = GOOSE_APDU + b"\x00\x00"
# numDatSetEntries says 2; allData holds 12 values: a strict deviation.
GOOSE_APDU_WRONG_COUNT = valdrin_rt.encode_goose_pdu(goose_pdu(num_dat_set_entries=2))
GOOSE_LENGTH = content_length(GOOSE_APDU)

SV_WAVES = [sv.Wave(1000.0 * (i + 1), -120.0 * i, 50.0, 0.5 * i, 10.0, 0x4000 + i)
            for i in range(8)]
SV_STREAM = sv.Stream("MU0101", SV_WAVES, dat_set="MU01LD0/LLN0$PhsMeas1", smp_rate=4000,
                      smp_mod=1, smp_synch=2, vlan_id=5, dst_mac=SV_DST)
SV_DICTS = _native_streams([SV_STREAM], 8)
SV_FRAME = Engine("lo", 4000, 8, SV_DICTS, 0).render(0, 1_700_000_000, 8)
SV_APDU = SV_FRAME[26:]
SV_LENGTH = content_length(SV_APDU)
SV_FRAME_BAD_PDU = SV_FRAME[:26] + b"\x61" + SV_FRAME[27:]
# Every optional ASDU field and security octets.
SV_FULL_ASDU = (
    tlv(0x80, b"MU01") + tlv(0x81, b"IED/LLN0$MSVCB01") + tlv(0x82, b"\x12\x34")
    + tlv(0x83, b"\x00\x00\x00\x01") + tlv(0x84, bytes.fromhex("6543210fabcdef0a"))
    + tlv(0x85, b"\x02") + tlv(0x86, b"\x0f\xa0") + tlv(0x87, bytes(8 * 64))
    + tlv(0x88, b"\x00\x01") + tlv(0x89, bytes(range(8)))
)
SV_FULL_APDU = tlv(0x60, tlv(0x80, b"\x02") + tlv(0xA1, bytes(range(32)))
                   + tlv(0xA2, tlv(0x30, SV_FULL_ASDU) * 2))


def is_pair(result) -> bool:
    return isinstance(result, tuple) and len(result) == 2


# --- Codec cases ----------------------------------------------------------------

decode_sv_pdu = valdrin_rt.decode_sv_pdu
decode_sv_frame = valdrin_rt.decode_sv_frame
encode_goose_pdu = valdrin_rt.encode_goose_pdu
encode_goose_frame = valdrin_rt.encode_goose_frame
decode_goose_pdu = valdrin_rt.decode_goose_pdu
decode_goose_frame = valdrin_rt.decode_goose_frame

CODEC_CASES = [
    # decode_sv_pdu
    Case("sv pdu 8 asdus", decode_sv_pdu, (SV_APDU,),
         expect=lambda r: r[0] is None and [a["smp_cnt"] for a in r[1]] == list(range(8, 16))),
    Case("sv pdu every field", decode_sv_pdu, (SV_FULL_APDU,),
         expect=lambda r: r[0] == bytes(range(32)) and len(r[1]) == 2),
    Case("sv pdu truncated", decode_sv_pdu, (SV_APDU[:-3],), error=ValueError,
         message=f"TLV 0x60 truncated: needs {SV_LENGTH} bytes, {SV_LENGTH - 3} left"),
    Case("sv pdu wrong tag", decode_sv_pdu, (b"\x61\x00",), error=ValueError,
         message="expected tag 0x60, found 0x61"),
    Case("sv pdu empty", decode_sv_pdu, (b"",), error=ValueError, message="missing tag"),
    Case("sv pdu not bytes", decode_sv_pdu, (bytearray(SV_APDU),), error=TypeError,
         message="argument 'apdu': 'bytearray' object cannot be converted to 'PyBytes'"),
    Case("sv pdu bad keyword", decode_sv_pdu, (), {"raw": SV_APDU}, error=TypeError,
         message="decode_sv_pdu() got an unexpected keyword argument 'raw'"),
    # decode_sv_frame
    Case("sv frame", decode_sv_frame, (SV_FRAME,),
         expect=lambda r: r[0]["vlan_id"] == 5 and len(r[1][1]) == 8),
    Case("sv frame bad pdu", decode_sv_frame, (SV_FRAME_BAD_PDU,), error=ValueError,
         message="expected tag 0x60, found 0x61"),
    Case("sv frame of goose", decode_sv_frame, (GOOSE_FRAME,), expect=lambda r: r is None),
    Case("sv frame length past end", decode_sv_frame, (SV_FRAME[:-1],),
         expect=lambda r: r is None),
    Case("sv frame two positionals", decode_sv_frame, (SV_FRAME, SV_FRAME), error=TypeError,
         message="decode_sv_frame() takes 1 positional arguments but 2 were given"),
    # encode_goose_pdu
    Case("goose encode every kind", encode_goose_pdu, (GOOSE,),
         expect=lambda r: r == GOOSE_APDU),
    Case("goose encode not data", encode_goose_pdu,
         (goose_pdu(all_data=every_data_kind() + [NotData()]),), error=ValueError,
         message="not an IEC 61850 Data value: NotData"),
    Case("goose encode unused bits", encode_goose_pdu,
         (goose_pdu(all_data=every_data_kind() + [BitStringData(b"\x00", 8)]),),
         error=ValueError, message="unused_bits must be 0..7, got 8"),
    Case("goose encode too deep", encode_goose_pdu,
         (goose_pdu(all_data=[nested_too_deep(40)]),), error=ValueError,
         message="structures and arrays nested deeper than 32"),
    Case("goose encode not ascii", encode_goose_pdu, (goose_pdu(go_id="G\u20ac"),),
         error=ValueError, message="go_id is not ASCII"),
    Case("goose encode int overflow", encode_goose_pdu,
         (goose_pdu(all_data=every_data_kind() + [IntData(2**63)]),), error=OverflowError),
    Case("goose encode st_num type", encode_goose_pdu, (goose_pdu(st_num="7"),),
         error=TypeError, message="'str' object cannot be interpreted as an integer"),
    Case("goose encode timestamp", encode_goose_pdu,
         (goose_pdu(all_data=every_data_kind() + [TimestampData(-1, 0)]),), error=ValueError,
         message="timestamp out of the UtcTime range (1970 to 2106): -1"),
    Case("goose encode missing attribute", encode_goose_pdu,
         (SimpleNamespace(gocb_ref="A", dat_set="B"),), error=AttributeError),
    Case("goose encode no argument", encode_goose_pdu, error=TypeError,
         message="encode_goose_pdu() missing 1 required positional argument: 'pdu'"),
    # encode_goose_frame
    Case("goose frame tagged", encode_goose_frame, (GOOSE, DST, SRC, 3, 100, 5),
         expect=lambda r: r == GOOSE_FRAME),
    Case("goose frame untagged", encode_goose_frame, (GOOSE, list(DST), tuple(SRC), 3),
         expect=lambda r: r == GOOSE_FRAME_UNTAGGED),
    Case("goose frame short mac", encode_goose_frame, (GOOSE, DST[:5], SRC, 3),
         error=ValueError, message="expected a sequence of length 6 (got 5)"),
    Case("goose frame vlan id", encode_goose_frame, (GOOSE, DST, SRC, 3, 4096),
         error=ValueError, message="VLAN id out of range: 4096"),
    Case("goose frame app id", encode_goose_frame, (GOOSE, DST, SRC, 65536),
         error=OverflowError, message="out of range integral type conversion attempted"),
    Case("goose frame bad data", encode_goose_frame,
         (goose_pdu(all_data=every_data_kind() + [NotData()]), DST, SRC, 3),
         error=ValueError, message="not an IEC 61850 Data value: NotData"),
    Case("goose frame apdu too long", encode_goose_frame,
         (goose_pdu(gocb_ref="A", dat_set="B", go_id=None,
                    all_data=[OctetStringData(bytes(65600))]), DST, SRC, 3),
         error=ValueError),
    # decode_goose_pdu
    Case("goose pdu lenient", decode_goose_pdu, (GOOSE_APDU,),
         expect=lambda r: r["st_num"] == 7 and len(r["all_data"]) > 12),
    Case("goose pdu strict", decode_goose_pdu, (GOOSE_APDU, True),
         expect=lambda r: r["go_id"] == b"TRIP"),
    Case("goose pdu trailing lenient", decode_goose_pdu, (GOOSE_APDU_TRAILING,),
         expect=lambda r: r["sq_num"] == 123456),
    Case("goose pdu trailing strict", decode_goose_pdu, (GOOSE_APDU_TRAILING,),
         {"strict": True}, error=ValueError, message="not conformant: 2 octets after the PDU"),
    Case("goose pdu count strict", decode_goose_pdu, (GOOSE_APDU_WRONG_COUNT, True),
         error=ValueError, message="not conformant: numDatSetEntries=2 but 12 entries"),
    Case("goose pdu truncated", decode_goose_pdu, (GOOSE_APDU[:-1],), error=ValueError,
         message=f"TLV 0x61 truncated: needs {GOOSE_LENGTH} bytes, {GOOSE_LENGTH - 1} left"),
    Case("goose pdu wrong tag", decode_goose_pdu, (b"\x60\x00",), error=ValueError,
         message="expected tag 0x61, found 0x60"),
    Case("goose pdu strict not bool", decode_goose_pdu, (GOOSE_APDU, 1), error=TypeError,
         message="argument 'strict': 'int' object cannot be converted to 'PyBool'"),
    # decode_goose_frame
    Case("goose frame decode", decode_goose_frame, (GOOSE_FRAME, True),
         expect=lambda r: is_pair(r) and r[0]["vlan_priority"] == 5),
    Case("goose frame decode untagged", decode_goose_frame, (GOOSE_FRAME_UNTAGGED,),
         expect=lambda r: is_pair(r) and r[0]["vlan_id"] is None),
    Case("goose frame decode bad pdu", decode_goose_frame, (GOOSE_FRAME_BAD_PDU,),
         error=ValueError, message="expected tag 0x61, found 0x60"),
    Case("goose frame decode of sv", decode_goose_frame, (SV_FRAME,),
         expect=lambda r: r is None),
    Case("goose frame decode too short", decode_goose_frame, (GOOSE_FRAME[:13],),
         expect=lambda r: r is None),
]


@pytest.mark.parametrize("case", CODEC_CASES, ids=[c.id for c in CODEC_CASES])
def test_codec_calls_leave_memory_and_refcounts_unchanged(case):
    run_case(case)


def test_every_codec_function_is_covered():
    covered = {case.function.__name__ for case in CODEC_CASES}
    assert covered == {"decode_sv_pdu", "decode_sv_frame", "encode_goose_pdu",
                       "encode_goose_frame", "decode_goose_pdu", "decode_goose_frame"}


# --- Engine cases without a socket ----------------------------------------------

WAVE = (1000.0, 0.0, 50.0, 0.0, 1.0, 0)
FRAME_LEN = 1500


def stream_dict(**overrides) -> dict:
    """One ASDU, two channels, a 1500-octet template, a fault and a playback of
    64 KiB, so that a copy of any of them lost per call shows at once."""
    d = {
        "frame": bytes(FRAME_LEN),
        "smp_cnt_offsets": [20],
        "sample_offsets": [24],
        "waves": [WAVE, (2000.0, 120.0, 50.0, 1.0, 2.0, 0x2000)],
        "fault": {"waves": [WAVE, WAVE], "cycle_s": 10, "offset_s": 2, "start_smp": 100,
                  "duration_s": 0.25},
        "playback": {"channels": 2, "values": struct.pack("=8192i", *range(8192)),
                     "qualities": struct.pack("=8192I", *range(8192)), "period": 4000,
                     "start": 5},
    }
    d.update(overrides)
    return {k: v for k, v in d.items() if v is not ...}


GOOD_STREAMS = [stream_dict(), stream_dict(fault=None, playback=None)]


def engine_args(**overrides):
    args = dict(iface="lo", rate=4000, asdus_per_frame=1, streams=GOOD_STREAMS,
                start_second=1_700_000_000)
    args.update(overrides)
    return args


def partial_playback(**overrides):
    playback = dict(stream_dict()["playback"])
    playback.update(overrides)
    return playback


OUT_OF_RANGE = "out of range integral type conversion attempted"

# (id, kwargs or (args,), exception, message): one of every kind of refusal,
# most of them after a full stream has been converted.
CONSTRUCTOR_ERRORS = [
    ("too many positionals", ("lo", 4000, 1, [], 0, None, None, 1), TypeError,
     "Engine.__new__() takes from 5 to 7 positional arguments but 8 were given"),
    ("unexpected keyword", dict(engine_args(), priority=1), TypeError,
     "Engine.__new__() got an unexpected keyword argument 'priority'"),
    ("missing", ("lo", 4000), TypeError,
     "Engine.__new__() missing 3 required positional arguments: 'asdus_per_frame', "
     "'streams', and 'start_second'"),
    ("iface type", engine_args(iface=b"lo"), TypeError,
     "argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
    ("streams str", engine_args(streams="streams"), TypeError,
     "argument 'streams': Can't extract `str` to `Vec`"),
    ("rt_priority overflow", engine_args(rt_priority=2**31), OverflowError, OUT_OF_RANGE),
    ("cpu negative", engine_args(cpu=-1), OverflowError, "can't convert negative int to unsigned"),
    ("rate", engine_args(rate=4000, asdus_per_frame=3), ValueError,
     "rate must be a positive multiple of asdus_per_frame"),
    ("stream not dict", engine_args(streams=GOOD_STREAMS + [[1]]), TypeError,
     "'list' object cannot be converted to 'PyDict'"),
    ("stream key missing", engine_args(streams=GOOD_STREAMS + [stream_dict(fault=...)]),
     ValueError, "stream without fault"),
    ("wave tuple length", engine_args(streams=[stream_dict(waves=[WAVE, WAVE[:5]])]),
     ValueError, "expected tuple of length 6, but got tuple of length 5"),
    ("wave quality", engine_args(streams=[stream_dict(waves=[WAVE, WAVE[:5] + (2**32,)])]),
     OverflowError, OUT_OF_RANGE),
    ("frame octet", engine_args(streams=[stream_dict(frame=[0] * 99 + [256])]),
     OverflowError, OUT_OF_RANGE),
    ("playback bytes", engine_args(streams=[stream_dict(
        playback=partial_playback(values=bytes(65535)))]), ValueError,
     "playback data must be 32-bit integers"),
    ("playback qualities", engine_args(streams=[stream_dict(
        playback=partial_playback(qualities=bytes(8)))]), ValueError,
     "playback qualities must match the values"),
    ("playback period", engine_args(streams=[stream_dict(
        playback=partial_playback(period=0))]), ValueError, "playback period must be positive"),
    ("offset outside", engine_args(streams=[stream_dict(sample_offsets=[FRAME_LEN - 15])]),
     ValueError, "offset outside the frame"),
    ("fault channels", engine_args(streams=[stream_dict(
        fault={"waves": [WAVE], "cycle_s": 1, "offset_s": 0, "start_smp": 0,
               "duration_s": None})]), ValueError,
     "the fault waves must have as many channels as the stream"),
    ("asdus per frame", engine_args(streams=GOOD_STREAMS, rate=4000, asdus_per_frame=2),
     ValueError, "every template must carry asdus_per_frame ASDUs"),
]


def constructor_case(case_id, arguments, error, message) -> Case:
    if isinstance(arguments, dict):
        return Case(case_id, Engine, kwargs=arguments, error=error, message=message)
    return Case(case_id, Engine, args=arguments, error=error, message=message)


@pytest.mark.parametrize("case_id, arguments, error, message", CONSTRUCTOR_ERRORS,
                         ids=[c[0] for c in CONSTRUCTOR_ERRORS])
def test_constructor_errors_leak_nothing(case_id, arguments, error, message):
    run_case(constructor_case(case_id, arguments, error, message))


def test_construction_and_disposal_leak_nothing():
    # Each Engine holds a private copy of 2 × 1500 template octets and
    # 64 KiB of playback: a lost Config would grow the heap by ~ 200 MB.
    case = Case("engine", Engine, kwargs=engine_args(),
                expect=lambda e: len(e.render(0, 0, 0)) == FRAME_LEN)
    run_case(case)


ENGINE = Engine(**engine_args())


@pytest.mark.parametrize("case", [
    Case("render", ENGINE.render, (0, 1_700_000_123, 3999),
         expect=lambda frame: len(frame) == FRAME_LEN),
    Case("render fault window", ENGINE.render, (0, 1_700_000_002, 150),
         expect=lambda frame: len(frame) == FRAME_LEN),
    Case("render keywords", ENGINE.render, (), {"stream": 1, "second": -(2**63),
                                                "first_smp": 2**63 - 1},
         expect=lambda frame: len(frame) == FRAME_LEN),
    Case("render no such stream", ENGINE.render, (2, 0, 0), error=ValueError,
         message="no such stream"),
    Case("render second type", ENGINE.render, (0, 1.5, 0), error=TypeError,
         message="argument 'second': 'float' object cannot be interpreted as an integer"),
    Case("render overflow", ENGINE.render, (0, 2**63, 0), error=OverflowError),
    Case("render missing", ENGINE.render, (0,), error=TypeError,
         message="Engine.render() missing 2 required positional arguments: 'second' and "
                 "'first_smp'"),
    Case("stats", ENGINE.stats, expect=lambda s: s == {
        "frames_sent": 0, "send_errors": 0, "late_frames": 0, "max_lateness_ns": 0}),
    Case("stop never started", ENGINE.stop, expect=lambda r: r is None),
    Case("start bad name", Engine(**engine_args(iface="lo\0x")).start, error=OSError,
         message="bad interface name"),
    Case("start no interface", Engine(**engine_args(iface="valdrin-none0")).start,
         error=OSError, message="interface valdrin-none0: No such device (os error 19)"),
], ids=lambda case: case.id)
def test_engine_methods_leak_nothing(case):
    engine = case.function.__self__
    before = sys.getrefcount(engine)
    run_case(case)
    after = sys.getrefcount(engine)  # not inside the assert: it keeps temporaries
    assert after == before


# --- Start and stop in a network namespace ---------------------------------------

TESTS = Path(__file__).resolve().parent

NETNS_PRELUDE = f"""
    import gc, json, socket, struct, sys, time, tracemalloc
    sys.path.insert(0, {str(TESTS)!r})
    import valdrin_rt
    from test_leaks import measure, stream_dict, Growth
    tracemalloc.start()
"""


def in_netns(body: str, timeout: float = 120) -> Any:
    """Runs `body` in a fresh network namespace; returns its last JSON line."""
    return netns.in_netns(NETNS_PRELUDE, body, timeout)


def growth_of(result: dict) -> Growth:
    return Growth(**result)


def test_start_stop_cycles_in_a_namespace_leak_nothing():
    # A start second in the past: the first run goes straight into its
    # backlog, later ones resume at the next period due. Every cycle opens a packet socket,
    # makes a thread that copies both templates, sends on the namespace's
    # loopback, and joins it. Closing a packet socket waits for an RCU grace
    # period in the kernel (~15 ms here), which bounds the number of cycles.
    result = in_netns("""
        import os, threading
        from dataclasses import asdict
        streams = [stream_dict(), stream_dict(fault=None, playback=None)]
        past = int(time.time()) - 5
        engine = valdrin_rt.Engine("lo", 4000, 1, streams, past)
        out = {}

        def cycle():
            # Wait for a batch to go out, so that every cycle sends (a stop
            # right after start() may end the thread before its first period).
            before = engine.stats()["frames_sent"]
            engine.start()
            deadline = time.monotonic() + 5
            while engine.stats()["frames_sent"] == before and time.monotonic() < deadline:
                time.sleep(0.0002)
            engine.stop()
        out["cycle"] = asdict(measure(cycle, (engine, streams), n=250, warmup=20))
        out["sent"] = engine.stats()["frames_sent"]

        def disposed_while_running():
            e = valdrin_rt.Engine("lo", 4000, 1, streams, past)
            e.start()
            del e  # joins the running thread
        out["dispose"] = asdict(measure(disposed_while_running, (streams,), n=150, warmup=20))

        def already_started():
            try:
                engine.start()
            except RuntimeError:
                pass
        engine.start()
        out["already"] = asdict(measure(already_started, (engine,), n=2000, warmup=100))
        engine.stop()

        # A thread that fails its set-up: reported (pinning to a CPU that is
        # not there), or ending without a report (a CPU set cannot hold 1024).
        unpinnable = valdrin_rt.Engine("lo", 4000, 1, streams, past, cpu=1023)
        unrepresentable = valdrin_rt.Engine("lo", 4000, 1, streams, past, cpu=1024)
        messages = set()

        def setup_fails(engine):
            def call():
                try:
                    engine.start()
                except (OSError, RuntimeError) as error:
                    messages.add(f"{type(error).__name__}: {error}")
            return call
        out["pin"] = asdict(measure(setup_fails(unpinnable), (unpinnable,), n=100, warmup=20))
        out["gone"] = asdict(measure(setup_fails(unrepresentable), (unrepresentable,), n=100,
                                     warmup=20))
        out["messages"] = sorted(messages)
        out["refcounts"] = [sys.getrefcount(engine), sys.getrefcount(unpinnable),
                            sys.getrefcount(unrepresentable)]
        del engine, unpinnable, unrepresentable

        # No "sv-engine" thread outlives its run, and every socket is closed.
        time.sleep(0.1)  # the detached threads of failed set-ups end
        out["threads"] = [open(f"/proc/self/task/{t}/comm").read().strip()
                          for t in os.listdir("/proc/self/task")]
        out["sockets"] = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                target = os.readlink(f"/proc/self/fd/{fd}")
            except OSError:  # the listing's own descriptor, closed by now
                continue
            if target.startswith("socket:"):
                out["sockets"].append(target)
        print(json.dumps(out))
    """)
    for name in ("cycle", "dispose", "already", "pin", "gone"):
        growth_of(result[name]).check()
    assert result["sent"] >= 250  # every measured cycle sent
    assert result["messages"] == [
        "OSError: pin to CPU 1023: Invalid argument (os error 22)",
        "RuntimeError: the engine thread ended during setup",
    ]
    assert result["refcounts"] == [2, 2, 2]  # the name and getrefcount's argument
    assert len(result["threads"]) == 1 and "sv-engine" not in result["threads"]
    assert result["sockets"] == []


# --- The measurement itself -------------------------------------------------------


def test_the_measurement_sees_a_small_leak_of_each_kind():
    """One lost object, native block or reference per call is caught."""
    kept = []
    payload = (b"x" * 50,)
    with pytest.raises(AssertionError, match="Python objects grew"):
        measure(lambda: kept.append(bytes(16)), (), warmup=0).check()
    kept.clear()
    with pytest.raises(AssertionError, match="reference counts changed"):
        measure(lambda: kept.append(payload[0]), (payload,), warmup=0)
    kept.clear()
    if not UNDER_ASAN and _MALLINFO2 is not None:
        libc = ctypes.CDLL(None)
        libc.malloc.restype = ctypes.c_void_p
        libc.malloc.argtypes = [ctypes.c_size_t]
        libc.free.argtypes = [ctypes.c_void_p]
        blocks = []
        # The list holds Python ints; 24 octets of C heap per call is the leak.
        with pytest.raises(AssertionError, match="native heap grew"):
            measure(lambda: blocks.append(libc.malloc(24)), (), warmup=0).check(
                py_budget=10**9)
        for block in blocks:
            libc.free(block)
