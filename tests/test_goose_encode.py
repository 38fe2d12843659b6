"""encode_goose_pdu and encode_goose_frame: GoosePDU and Data objects to the
IECGoosePdu and its Ethernet frame, and valdrin.data.encode_utc_time."""

import math
import random
import struct
from datetime import datetime, timedelta, timezone
from fractions import Fraction
from types import SimpleNamespace

import pytest

import valdrin_rt
import valdrin.data
from valdrin.data import (
    ArrayData, BitStringData, BoolData, FloatData, IntData, MmsStringData, OctetStringData,
    RawData, StructureData, TimestampData, UIntData, VisibleStringData, encode_utc_time,
)
from valdrin.goose import GoosePDU

from ber import tlv

encode_goose_pdu = valdrin_rt.encode_goose_pdu
encode_goose_frame = valdrin_rt.encode_goose_frame

DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("020000000001")
TOO_DEEP = "structures and arrays nested deeper than 32"
OUT_OF_RANGE = "out of range integral type conversion attempted"


def pdu(**fields):
    """A GoosePDU with gocbRef A, datSet B, every number 0, unless overridden."""
    return GoosePDU(**dict(gocb_ref="A", dat_set="B", time_allowed_to_live=0, st_num=0, conf_rev=0,
                           num_dat_set_entries=0, all_data=[]) | fields)


# Fields 0 to 10 of pdu(): gocbRef A, datSet B, everything else 0 or false.
FIELDS = bytes.fromhex("800141 810100 820142 84080000000000000000 850100 860100 870100 880100 890100 8a0100")


def expected_pdu(all_data_content, fields=FIELDS):
    return tlv(0x61, fields + tlv(0xAB, all_data_content))


def encoded_values(*values):
    """The allData content that the module writes for `values`."""
    out = encode_goose_pdu(pdu(all_data=list(values)))
    start = out.index(FIELDS) + len(FIELDS)
    assert out[:1] == b"\x61" and out[start] == 0xAB
    return out[start + (2 if out[start + 1] < 0x80 else 2 + (out[start + 1] & 0x7F)):]


def raises(error, message, call, *args):
    with pytest.raises(error) as info:
        call(*args)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


# --- Frame arguments ---------------------------------------------------------------


@pytest.mark.parametrize("args, error, message", [
    (("010ccd010001", SRC, 1), TypeError, "argument 'dst_mac': Can't extract `str` to `Vec`"),
    ((DST, 7, 1), TypeError, "argument 'src_mac': 'int' object cannot be converted to 'Sequence'"),
    ((DST, [1, 2, 3, 4, 5, "6"], 1), TypeError, "argument 'src_mac': 'str' object cannot be interpreted as an integer"),
    ((DST, SRC, "1"), TypeError, "argument 'app_id': 'str' object cannot be interpreted as an integer"),
    ((DST, SRC, 1, 2.0), TypeError, "argument 'vlan_id': 'float' object cannot be interpreted as an integer"),
    ((DST, SRC, 1, None, "7"), TypeError, "argument 'vlan_priority': 'str' object cannot be interpreted as an integer"),
    ((DST[:5], SRC, 1), ValueError, "expected a sequence of length 6 (got 5)"),
    ((DST, bytearray(7), 1), ValueError, "expected a sequence of length 6 (got 7)"),
    ((DST, [1, 2, 3, 4, 5, 256], 1), OverflowError, OUT_OF_RANGE),
    ((DST, (1, 2, 3, 4, 5, -1), 1), OverflowError, OUT_OF_RANGE),
    ((DST, SRC, 65536), OverflowError, OUT_OF_RANGE),
    ((DST, SRC, -1), OverflowError, OUT_OF_RANGE),
    ((DST, SRC, 1, 65536), OverflowError, OUT_OF_RANGE),
    ((DST, SRC, 1, None, 256), OverflowError, OUT_OF_RANGE),
    ((DST, SRC, 1, 4096), ValueError, "VLAN id out of range: 4096"),
    ((DST, SRC, 1, 4095, 8), ValueError, "VLAN priority out of range: 8"),
    ((DST, SRC, 1, 4096, 9), ValueError, "VLAN id out of range: 4096"),
])
def test_frame_argument_errors(args, error, message):
    raises(error, message, encode_goose_frame, pdu(), *args)


def test_arguments_are_converted_before_the_pdu_is_read():
    raises(ValueError, "expected a sequence of length 6 (got 0)", encode_goose_frame, object(), b"", SRC, 1)


# --- Exact octets ------------------------------------------------------------------


@pytest.mark.parametrize("go_id, fields", [
    (None, FIELDS), ("", FIELDS[:9] + b"\x83\x00" + FIELDS[9:]), ("G1", FIELDS[:9] + b"\x83\x02G1" + FIELDS[9:]),
])
def test_go_id(go_id, fields):
    assert encode_goose_pdu(pdu(go_id=go_id)) == expected_pdu(b"", fields)


def test_every_field():
    p = GoosePDU(
        gocb_ref="LD/LLN0$GO$g", dat_set="LD/LLN0$DS", go_id="g", time_allowed_to_live=4294967295,
        timestamp=0x5F5E1000 + 0.25, time_quality=0x8A, st_num=128, sq_num=0x12345678,
        simulation=True, conf_rev=1, nds_com=True, num_dat_set_entries=7,
        all_data=[BoolData(True), IntData(-129)])
    content = (tlv(0x80, b"LD/LLN0$GO$g") + bytes.fromhex("810500ffffffff") + tlv(0x82, b"LD/LLN0$DS")
               + tlv(0x83, b"g")
               + bytes.fromhex("84 08 5f5e1000 400000 8a  85 02 0080  86 04 12345678  87 01 ff"
                               "88 01 01  89 01 ff  8a 01 07  ab 07 8301ff 8502ff7f"))
    assert p.encode() == tlv(0x61, content)


def test_long_form_lengths():
    out = encode_goose_pdu(pdu(gocb_ref="R" * 128))
    assert out[:2] == b"\x61\x81" and out[3:6] == b"\x80\x81\x80"
    assert out == tlv(0x61, tlv(0x80, b"R" * 128) + FIELDS[3:] + b"\xab\x00")
    assert encode_goose_pdu(pdu(all_data=[OctetStringData(bytes(300))]))[:2] == b"\x61\x82"


FRAME_PDU = pdu(st_num=1)


@pytest.mark.parametrize("vlan, tag", [
    ((), b""),
    ((None, 9), b""),  # a priority without an id adds no tag
    ((5, None), bytes.fromhex("81000005")),
    ((0xABC, 5), bytes.fromhex("8100aabc")),
    ((4095, 7), bytes.fromhex("8100efff")),
])
def test_frame_octets(vlan, tag):
    apdu = encode_goose_pdu(FRAME_PDU)
    frame = encode_goose_frame(FRAME_PDU, DST, list(SRC), 0x3001, *vlan)
    assert frame == DST + SRC + tag + bytes.fromhex("88b8 3001") + struct.pack(">H", len(apdu) + 8) + bytes(4) + apdu


def test_frame_by_keywords_and_helpers():
    p = pdu(simulation=True)  # never in reserved1
    by_position = encode_goose_frame(p, DST, SRC, 7, 3, 2)
    assert by_position[18:26] == bytes.fromhex("0007 %04x 00000000" % (len(p.encode()) + 8))
    assert encode_goose_frame(vlan_priority=2, vlan_id=3, app_id=7, src_mac=SRC, dst_mac=DST, pdu=p) == by_position
    assert p.encode_frame(bytearray(DST), tuple(SRC), 7, 3, 2) == by_position
    assert p.encode() == encode_goose_pdu(p)


def pdu_of_size(size):
    """A PDU of exactly `size` octets (a single octet string in allData)."""
    for n in range(size - 60, size):
        p = pdu(all_data=[OctetStringData(bytes(n))])
        if len(encode_goose_pdu(p)) == size:
            return p
    raise AssertionError(size)


def test_apdu_length_limit():
    fits = pdu_of_size(65527)
    assert len(encode_goose_frame(fits, DST, SRC, 1)) == 65527 + 22
    assert len(encode_goose_frame(fits, DST, SRC, 1, 1)) == 65527 + 26
    too_long = pdu_of_size(65528)
    assert len(encode_goose_pdu(too_long)) == 65528
    raises(ValueError, "APDU too long: 65528 bytes", encode_goose_frame, too_long, DST, SRC, 1)
    # The length comes before the VLAN checks.
    raises(ValueError, "APDU too long: 65528 bytes", encode_goose_frame, too_long, DST, SRC, 1, 4096, 8)


# --- Data values ------------------------------------------------------------------
# Common values are compared with a reference encoder below; these rows pin the
# boundaries, the float rounding and the input forms.

FLT_MAX = struct.unpack(">f", bytes.fromhex("7f7fffff"))[0]


@pytest.mark.parametrize("value, expected", [
    (BoolData(True), "8301ff"),
    (BoolData(False), "830100"),
    (IntData(0), "850100"),
    (IntData(-1), "8501ff"),
    (IntData(128), "85020080"),
    (IntData(-129), "8502ff7f"),
    (IntData(-2**63), "85088000000000000000"),
    (IntData(2**63 - 1), "85087fffffffffffffff"),
    (UIntData(0), "860100"),
    (UIntData(255), "860200ff"),
    (UIntData(2**64 - 1), "860900ffffffffffffffff"),
    (FloatData(0.1), "870508 3dcccccd"),
    (FloatData(0.1, True), "87090b 3fb999999999999a"),
    (FloatData(-0.0), "870508 80000000"),
    (FloatData(math.nan), "870508 7fc00000"),
    (FloatData(math.nan, True), "87090b 7ff8000000000000"),
    (FloatData(math.inf), "870508 7f800000"),
    (FloatData(-math.inf, True), "87090b fff0000000000000"),
    (FloatData(1e39), "870508 7f800000"),
    (FloatData(-1e39), "870508 ff800000"),
    (FloatData(FLT_MAX + 2.0**102), "870508 7f7fffff"),  # below half an ulp: stays finite
    (FloatData(-(2.0**128 - 2.0**103)), "870508 ff800000"),  # the tie goes to infinity
    (FloatData(1 + 2.0**-24), "870508 3f800000"),  # tie to even
    (FloatData(1 + 3 * 2.0**-24), "870508 3f800002"),
    (FloatData(1e-46), "870508 00000000"),
    (FloatData(2.0**-149), "870508 00000001"),
    (FloatData(3), "870508 40400000"),  # an int converts to float
    (BitStringData(b"\xa0", 3), "8402 03a0"),
    (BitStringData(b"", 0), "8401 00"),
    (BitStringData([0xC0, 0x00], 3), "8403 03c000"),
    (OctetStringData(bytearray(b"\x01\x02")), "89020102"),
    (OctetStringData((255,)), "8901ff"),
    (VisibleStringData("aé"), "8a02 613f"),
    (VisibleStringData("a\U0001F600b\u20acc"), "8a05 613f623f63"),
    (MmsStringData("aé"), "8f03 61c3a9"),
    (TimestampData(1.5, 0x18), "9108 00000001 800000 18"),
    (StructureData([IntData(1), ArrayData([BoolData(False)])]), "a208 850101 a103830100"),
    (ArrayData((BoolData(True),)), "a1038301ff"),
    (RawData(0xBF21, b"\x05"), "bf210105"),
    (RawData(0, []), "0000"),
])
def test_data_value_octets(value, expected):
    assert encoded_values(value) == bytes.fromhex(expected.replace(" ", ""))


class Foo:
    value = 1


@pytest.mark.parametrize("value, error, message", [
    (Foo(), ValueError, "not an IEC 61850 Data value: Foo"),
    (1, ValueError, "not an IEC 61850 Data value: int"),
    (BoolData(1), TypeError, "'int' object cannot be converted to 'PyBool'"),
    (IntData(2**63), OverflowError, None),
    (IntData(1.0), TypeError, "'float' object cannot be interpreted as an integer"),
    (UIntData(-1), OverflowError, None),
    (UIntData(2**64), OverflowError, None),
    (FloatData("x"), TypeError, "must be real number, not str"),
    (FloatData(1.0, 1), TypeError, "'int' object cannot be converted to 'PyBool'"),
    (BitStringData(b"\x00", 8), ValueError, "unused_bits must be 0..7, got 8"),
    (BitStringData(b"\x00", 255), ValueError, "unused_bits must be 0..7, got 255"),
    (BitStringData(b"\x00", 256), OverflowError, OUT_OF_RANGE),
    (BitStringData("ab", 0), TypeError, "Can't extract `str` to `Vec`"),
    (OctetStringData("ab"), TypeError, "Can't extract `str` to `Vec`"),
    (OctetStringData(5), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (OctetStringData(iter(b"ab")), TypeError, "'bytes_iterator' object cannot be converted to 'Sequence'"),
    (OctetStringData([1, 256]), OverflowError, OUT_OF_RANGE),
    (OctetStringData([-1]), OverflowError, OUT_OF_RANGE),
    (OctetStringData([1.0]), TypeError, "'float' object cannot be interpreted as an integer"),
    (VisibleStringData(b"ab"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (MmsStringData(1), TypeError, "'int' object cannot be converted to 'PyString'"),
    (StructureData("ab"), TypeError, "Can't extract `str` to `Vec`"),
    (StructureData(x for x in [IntData(1)]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    (ArrayData(None), TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (StructureData([IntData(1), Foo()]), ValueError, "not an IEC 61850 Data value: Foo"),
    (RawData(-1, b""), OverflowError, OUT_OF_RANGE),
    (RawData(2**32, b""), OverflowError, OUT_OF_RANGE),
    (RawData(0x80, "x"), TypeError, "Can't extract `str` to `Vec`"),
    (TimestampData(-1, 0), ValueError, "timestamp out of the UtcTime range (1970 to 2106): -1"),
])
def test_data_value_errors(value, error, message):
    raises(error, message, encode_goose_pdu, pdu(all_data=[IntData(1), value]))


def test_numpy_booleans():
    import numpy as np
    out = encode_goose_pdu(pdu(simulation=np.bool_(True), all_data=[BoolData(np.False_), FloatData(np.float32(0.5))]))
    fields = FIELDS.replace(b"\x87\x01\x00", b"\x87\x01\xff")
    assert out == expected_pdu(bytes.fromhex("830100 870508 3f000000"), fields)
    with pytest.raises(TypeError, match=r"^'numpy\.int64' object|^'int64' object"):
        encode_goose_pdu(pdu(simulation=np.int64(1)))


# --- PDU attributes -----------------------------------------------------------------


@pytest.mark.parametrize("fields, error, message", [
    (dict(gocb_ref="é"), ValueError, "gocb_ref is not ASCII"),
    (dict(dat_set="ds\x80"), ValueError, "dat_set is not ASCII"),
    (dict(go_id="\u20ac"), ValueError, "go_id is not ASCII"),
    (dict(go_id=b"g"), TypeError, "'bytes' object cannot be converted to 'PyString'"),
    (dict(gocb_ref=5), TypeError, "'int' object cannot be converted to 'PyString'"),
    (dict(dat_set=None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    (dict(all_data=5), TypeError, "'int' object is not iterable"),
    (dict(time_allowed_to_live=-1), OverflowError, OUT_OF_RANGE),
    (dict(st_num=2**32), OverflowError, OUT_OF_RANGE),
    (dict(sq_num=2**64), OverflowError, None),
    (dict(conf_rev=1.0), TypeError, "'float' object cannot be interpreted as an integer"),
    (dict(num_dat_set_entries="1"), TypeError, "'str' object cannot be interpreted as an integer"),
    (dict(simulation=1), TypeError, "'int' object cannot be converted to 'PyBool'"),
    (dict(nds_com=None), TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
    (dict(timestamp="now"), TypeError, "timestamp must be a datetime or POSIX seconds, not str"),
    (dict(time_quality=256), ValueError, "time quality must be between 0 and 255, got 256"),
    # The first failure in reading order wins.
    (dict(gocb_ref="é", dat_set=5), ValueError, "gocb_ref is not ASCII"),
    (dict(all_data=[Foo()], st_num=-1), ValueError, "not an IEC 61850 Data value: Foo"),
    (dict(st_num=-1, simulation=1), OverflowError, OUT_OF_RANGE),
    (dict(all_data=[BitStringData(b"", 9)], st_num=-1), OverflowError, OUT_OF_RANGE),
])
def test_pdu_attribute_errors(fields, error, message):
    raises(error, message, encode_goose_pdu, pdu(**fields))


def test_missing_attribute_is_the_hosts_attribute_error():
    p = SimpleNamespace(**vars(pdu()))
    del p.sq_num
    with pytest.raises(AttributeError, match="sq_num"):
        encode_goose_pdu(p)
    with pytest.raises(AttributeError, match="go_id"):
        encode_goose_pdu(object())


# What the encoder makes of what valdrin.data.encode_utc_time returns: eight
# octets or more (the first eight count), else an error.
@pytest.mark.parametrize("result, outcome", [
    (bytes.fromhex("0102030405060708ff"), "0102030405060708"),
    ([1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 9], "01020304ffffff09"),
    (bytes(7), (ValueError, "bad utc-time")),
    ("12345678", (TypeError, "Can't extract `str` to `Vec`")),
    (12345678, (TypeError, "'int' object cannot be converted to 'Sequence'")),
    ([0] * 7 + [256], (OverflowError, OUT_OF_RANGE)),
])
def test_utc_time_results(monkeypatch, result, outcome):
    monkeypatch.setattr(valdrin.data, "encode_utc_time", lambda value, quality: result)
    if isinstance(outcome, tuple):
        raises(*outcome, encode_goose_pdu, pdu())
    else:
        field = bytes.fromhex("8408" + outcome)
        assert encode_goose_pdu(pdu()) == expected_pdu(b"", FIELDS.replace(FIELDS[9:19], field))


def test_utc_time_gets_the_objects_unchanged(monkeypatch):
    seen, stamp, quality = [], object(), object()
    monkeypatch.setattr(valdrin.data, "encode_utc_time", lambda value, q: seen.append((value, q)) or bytes(8))
    encode_goose_pdu(pdu(timestamp=stamp, time_quality=quality, all_data=[TimestampData("v", "q")]))
    assert seen == [("v", "q"), (stamp, quality)]


# --- Reading order and dispatch -------------------------------------------------------

PDU_ORDER = ["go_id", "gocb_ref", "dat_set", "all_data", "time_allowed_to_live", "timestamp",
             "time_quality", "encode_utc_time()", "st_num", "sq_num", "simulation", "conf_rev",
             "nds_com", "num_dat_set_entries"]


def recorder(class_name, log, **attributes):
    """An object of a new class named `class_name` that logs every attribute read."""
    def get(self, name):
        log.append(f"{class_name}.{name}" if class_name != "P" else name)
        return attributes[name]
    return type(class_name, (), {"__getattr__": get})()


def test_attribute_reading_order(monkeypatch):
    log = []
    monkeypatch.setattr(valdrin.data, "encode_utc_time", lambda value, quality: log.append("encode_utc_time()")
                        or bytes(8))
    items = [
        recorder("FloatData", log, double=False, value=1.0),
        recorder("StructureData", log, members=[
            recorder("BitStringData", log, value=b"", unused_bits=0),
            recorder("TimestampData", log, value=0, quality=0),
        ]),
        recorder("RawData", log, tag=0x80, value=b""),
        recorder("ArrayData", log, elements=[recorder("BoolData", log, value=True)]),
    ]

    def all_data():
        for item in items:
            log.append("next")
            yield item

    p = recorder("P", log, go_id="g", gocb_ref="A", dat_set="B", all_data=all_data(),
                 time_allowed_to_live=0, timestamp=0, time_quality=0, st_num=0, sq_num=0,
                 simulation=False, conf_rev=0, nds_com=False, num_dat_set_entries=0)
    encode_goose_pdu(p)
    data_reads = [
        "next", "FloatData.double", "FloatData.value",
        "next", "StructureData.members", "BitStringData.value", "BitStringData.unused_bits",
        "TimestampData.value", "TimestampData.quality", "encode_utc_time()",
        "next", "RawData.tag", "RawData.value",
        "next", "ArrayData.elements", "BoolData.value",
    ]
    assert log == PDU_ORDER[:4] + data_reads + PDU_ORDER[4:]


def test_all_data_may_be_any_iterable():
    values = [IntData(1), BoolData(True)]
    expected = encode_goose_pdu(pdu(all_data=values))
    assert encode_goose_pdu(pdu(all_data=tuple(values))) == encode_goose_pdu(pdu(all_data=iter(values))) == expected


def test_dispatch_is_by_class_name_only():
    class MyInt(IntData):
        pass

    raises(ValueError, "not an IEC 61850 Data value: MyInt", encode_goose_pdu, pdu(all_data=[MyInt(1)]))
    Renamed = type("IntData", (BoolData,), {})  # a BoolData subclass named IntData encodes as int
    Unrelated = type("UIntData", (), {"value": 5})
    assert encoded_values(Renamed(7), Unrelated()) == bytes.fromhex("850107 860105")

    class Late:
        value = True
    Late.__name__ = "BoolData"
    assert encoded_values(Late()) == bytes.fromhex("8301ff")


# --- Nesting -------------------------------------------------------------------------


def nested(levels, inner=()):
    value = StructureData(list(inner))
    for _ in range(levels - 1):
        value = StructureData([value])
    return value


def test_32_levels_encode_33_do_not():
    out = encoded_values(nested(32, [IntData(5)]))
    assert out == b"".join(bytes([0xA2, 3 + 2 * i]) for i in reversed(range(32))) + bytes.fromhex("850105")
    raises(ValueError, TOO_DEEP, encode_goose_pdu, pdu(all_data=[nested(33)]))


def make_cycle(kind):
    if kind == "tuple":  # a tuple cannot hold itself, but an object in it can
        holder = StructureData(None)
        holder.members = (BoolData(True), holder)
        return holder
    a = {"struct": StructureData([]), "array": ArrayData([IntData(1)]), "mutual": StructureData([]),
         "wide": StructureData([])}[kind]
    inside = a.elements if kind == "array" else a.members
    if kind == "mutual":
        b = ArrayData([a])
        inside.append(b)
    else:
        inside.extend([a] * (2 if kind == "wide" else 1))  # wide: 2**33 paths if walked fully
    return a


@pytest.mark.parametrize("kind", ["struct", "array", "mutual", "tuple", "wide"])
@pytest.mark.parametrize("first", [True, False])
def test_cycles_end_with_too_deep(kind, first):
    all_data = [make_cycle(kind)] if first else [IntData(1), make_cycle(kind), BoolData(True)]
    raises(ValueError, TOO_DEEP, encode_goose_pdu, pdu(all_data=all_data))
    raises(ValueError, TOO_DEEP, encode_goose_frame, pdu(all_data=all_data), DST, SRC, 1)


def test_very_deep_graph_does_not_exhaust_the_stack():
    raises(ValueError, TOO_DEEP, encode_goose_pdu, pdu(all_data=[nested(200_000)]))


def test_too_deep_is_reported_after_the_rest_is_read():
    # The encoder measures the list once the whole graph is read: a fault of
    # a later attribute comes first, and an earlier value's fault too.
    with pytest.raises(OverflowError):
        encode_goose_pdu(pdu(all_data=[make_cycle("struct")], st_num=-1))
    raises(ValueError, "not an IEC 61850 Data value: Foo", encode_goose_pdu,
           pdu(all_data=[make_cycle("struct"), Foo()]))
    raises(ValueError, "unused_bits must be 0..7, got 9", encode_goose_pdu,
           pdu(all_data=[BitStringData(b"", 9), make_cycle("mutual")]))


# --- Against a reference encoder ---------------------------------------------------------


def reference(value):
    """The MMS Data encoding of one value, written independently of the module."""
    name, v = type(value).__name__, getattr(value, "value", None)
    if name == "IntData":
        return tlv(0x85, v.to_bytes(max(1, (v + (v < 0)).bit_length() // 8 + 1), "big", signed=True))
    if name == "FloatData":
        return tlv(0x87, b"\x0b" + struct.pack(">d", v) if value.double else b"\x08" + struct.pack(">f", v))
    if name in ("StructureData", "ArrayData"):
        items = value.members if name == "StructureData" else value.elements
        return tlv(0xA2 if name == "StructureData" else 0xA1, b"".join(map(reference, items)))
    tag, content = {
        "BoolData": lambda: (0x83, b"\xff" if v else b"\x00"),
        "UIntData": lambda: (0x86, v.to_bytes(v.bit_length() // 8 + 1, "big")),
        "BitStringData": lambda: (0x84, bytes([value.unused_bits]) + bytes(v)),
        "OctetStringData": lambda: (0x89, bytes(v)),
        "VisibleStringData": lambda: (0x8A, v.encode("ascii", "replace")),
        "MmsStringData": lambda: (0x8F, v.encode()),
        "TimestampData": lambda: (0x91, encode_utc_time(v, value.quality)),
        "RawData": lambda: (value.tag, bytes(v)),
    }[name]()
    return tlv(tag, content)


def random_value(rng, depth):
    choice = rng.randrange(12 if depth < 6 else 10)
    text = "".join(rng.choice("ab\u00e9\u20ac ~") for _ in range(rng.randrange(6)))
    octets = rng.randbytes(rng.choice([0, 1, 5, 127, 128, 255, 256, 300]))
    if choice >= 10:
        members = [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]
        return StructureData(members) if choice == 10 else ArrayData(members)
    return [
        lambda: BoolData(rng.random() < 0.5),
        lambda: IntData(rng.randrange(-2**63, 2**63) >> rng.randrange(64)),
        lambda: UIntData(rng.randrange(2**64) >> rng.randrange(65)),
        lambda: FloatData(rng.uniform(-1e30, 1e30) * 10.0 ** -rng.randrange(40), rng.random() < 0.5),
        lambda: BitStringData(octets, rng.randrange(8)),
        lambda: OctetStringData(list(octets) if rng.random() < 0.3 else octets),
        lambda: VisibleStringData(text),
        lambda: MmsStringData(text),
        lambda: TimestampData(rng.uniform(0, 2**32 - 1), rng.randrange(256)),
        lambda: RawData(rng.choice([0x8C, 0x90, 0xBF21, 0x9F1F]), octets),
    ][choice]()


@pytest.mark.parametrize("seed", range(40))
def test_random_values_match_reference(seed):
    rng = random.Random(seed)
    values = [random_value(rng, 0) for _ in range(rng.randrange(1, 8))]
    p = pdu(go_id=rng.choice([None, "", "go"]), st_num=rng.randrange(2**32), all_data=values)
    out = encode_goose_pdu(p)
    assert out.endswith(tlv(0xAB, b"".join(map(reference, values))))
    assert len(encode_goose_frame(p, DST, SRC, seed, seed or None, 7)) == len(out) + (26 if seed else 22)


# --- GoosePDU and encode_utc_time --------------------------------------------------------


def test_goose_pdu_defaults():
    p = GoosePDU("A", "B", all_data=(v for v in [IntData(1), IntData(2)]))
    assert p.num_dat_set_entries == 2 and p.all_data == [IntData(1), IntData(2)]
    assert p.go_id is None and p.simulation is False and p.nds_com is False
    assert GoosePDU("A", "B", num_dat_set_entries=9).num_dat_set_entries == 9


@pytest.mark.parametrize("value, quality, expected", [
    (0, 0, "00000000 000000 00"),
    (1.5, 0x18, "00000001 800000 18"),
    (2**32 - 1, 255, "ffffffff 000000 ff"),
    (2.0**-25, 0, "00000000 000000 00"),  # half a unit: ties to even, down
    (3 * 2.0**-25, 0, "00000000 000002 00"),  # one and a half: ties to even, up
    (1 - 2.0**-26, 0, "00000001 000000 00"),  # rounds up to a whole second
    (2**27 + 3 * 2.0**-25, 0, "08000000 000002 00"),  # a tie beside many whole seconds
    (2**32 - 2.0**-21, 7, "ffffffff fffff8 07"),  # the last double of the range
    (1e-300, 0, "00000000 000000 00"),
    (datetime(1970, 1, 1), 0, "00000000 000000 00"),
    (datetime(1970, 1, 1, 0, 0, 1, 500000), 0x0A, "00000001 800000 0a"),
    (datetime(1970, 1, 1, 0, 0, 0, 1), 0, "00000000 000011 00"),  # 16.78 units
    (datetime(1970, 1, 1, 0, 0, 0, 999999), 0, "00000000 ffffef 00"),
    (datetime(2024, 5, 1, 12, 0, 0, tzinfo=timezone(timedelta(hours=2))), 0, "663212a0 000000 00"),
    (datetime(2106, 2, 7, 6, 28, 15), 0, "ffffffff 000000 00"),
])
def test_encode_utc_time(value, quality, expected):
    assert encode_utc_time(value, quality) == bytes.fromhex(expected.replace(" ", ""))


RANGE = "timestamp out of the UtcTime range (1970 to 2106): {!r}"
QUALITY = "time quality must be "


@pytest.mark.parametrize("value, quality, error, message", [
    (-1, 0, ValueError, RANGE),
    (-0.5, 0, ValueError, RANGE),
    (2**32, 0, ValueError, RANGE),
    (2**32 - 2.0**-30, 0, ValueError, RANGE),  # rounds up into 2**32
    (datetime(1969, 12, 31, 23, 59, 59), 0, ValueError, RANGE),
    (datetime(2106, 2, 7, 6, 28, 16), 0, ValueError, RANGE),
    (math.nan, 0, ValueError, "timestamp must be finite, got nan"),
    (math.inf, 0, ValueError, "timestamp must be finite, got inf"),
    (0, 256, ValueError, QUALITY + "between 0 and 255, got 256"),
    (0, -1, ValueError, QUALITY + "between 0 and 255, got -1"),
    (0, 1.0, TypeError, QUALITY + "an integer, not float"),
    (0, True, TypeError, QUALITY + "an integer, not bool"),
    (True, 0, TypeError, "timestamp must be a datetime or POSIX seconds, not bool"),
    ("0", 0, TypeError, "timestamp must be a datetime or POSIX seconds, not str"),
])
def test_encode_utc_time_errors(value, quality, error, message):
    raises(error, message.format(value), encode_utc_time, value, quality)


def test_encode_utc_time_fraction_is_exact():
    rng = random.Random(7)
    for _ in range(2000):
        value = rng.uniform(0, 2**32 - 2) if rng.random() < 0.5 else rng.random() * 10.0 ** -rng.randrange(8)
        exact = Fraction(value)
        seconds = math.floor(exact)
        fraction = round((exact - seconds) * 2**24)  # Fraction rounds half to even
        seconds, fraction = (seconds + 1, 0) if fraction == 2**24 else (seconds, fraction)
        assert encode_utc_time(value, 3) == struct.pack(">I", seconds) + fraction.to_bytes(3, "big") + b"\x03"
