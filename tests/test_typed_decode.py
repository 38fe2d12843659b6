"""valdrin.goose.decode_frame and valdrin.sv_frames.decode_frame: the native
decoders' raw fields as Python values, nested Data, and their JSON form."""

import json
import math
import struct
from datetime import datetime, timezone

import pytest

import valdrin_rt
from valdrin import goose, sv, sv_frames
from valdrin.data import (
    ArrayData, BitStringData, BoolData, FloatData, IntData, MmsStringData, OctetStringData,
    RawData, StructureData, TimestampData, UIntData, VisibleStringData,
)
from valdrin.goose import GoosePDU
from valdrin.values import BitString, FrameHeader, RawValue, UtcTime, data_values, to_json

from ber import tlv

T = 1_700_000_000  # 2023-11-14T22:13:20Z
DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("020000000001")

RICH = GoosePDU(
    "IED1LD0/LLN0$GO$gcb1", "IED1LD0/LLN0$DS1", "G1", timestamp=T + 0.5, time_quality=0x98, st_num=7, sq_num=3,
    time_allowed_to_live=4000, conf_rev=2, simulation=True,
    all_data=[
        BoolData(True),
        StructureData([FloatData(0.5), TimestampData(T + 0.25, 0x2A), BitStringData(b"\x40\x00", 6),
                       StructureData([IntData(5)])]),
        IntData(-3), UIntData(7), FloatData(2.0, True), OctetStringData(b"\x01\x02"), VisibleStringData('a"b'),
        MmsStringData("é"), ArrayData([IntData(1), ArrayData([])]), RawData(0x8C, bytes.fromhex("0000000a0001")),
        RawData(0x8C, b"\x00\x00\x00\x01"),
    ],
)


def test_goose_frame_fields_and_nested_values():
    frame = goose.decode_frame(RICH.encode_frame(DST, SRC, 0x1234, vlan_id=5, vlan_priority=4))
    assert frame.header == FrameHeader("01:0c:cd:01:00:01", "02:00:00:00:00:01", 5, 4, 0x1234, 0, 0)
    assert (frame.gocb_ref, frame.dat_set, frame.go_id) == ("IED1LD0/LLN0$GO$gcb1", "IED1LD0/LLN0$DS1", "G1")
    assert frame.t == UtcTime(T, 1 << 23, 0x98)
    assert frame.t.datetime == datetime(2023, 11, 14, 22, 13, 20, 500000, tzinfo=timezone.utc)
    assert (frame.st_num, frame.sq_num, frame.time_allowed_to_live, frame.conf_rev) == (7, 3, 4000, 2)
    assert (frame.simulation, frame.nds_com, frame.num_dat_set_entries, frame.entries) == (True, False, 11, 11)
    assert frame.values == [
        True,
        [0.5, UtcTime(T, 1 << 22, 0x2A), BitString(b"\x40\x00", 6), [5]],
        -3, 7, 2.0, b"\x01\x02", 'a"b', "é", [1, []],
        datetime(1984, 1, 2, 0, 0, 0, 10000, tzinfo=timezone.utc),  # TimeOfDay: 10 ms of day 1
        RawValue(0x8C, b"\x00\x00\x00\x01"),  # a binary time of 4 octets is no TimeOfDay
    ]
    assert frame.values[1][2].bits == "0100000000"


def test_goose_json_is_plain():
    frame = goose.decode_frame(RICH.encode_frame(DST, SRC, 0x1234))
    out = json.loads(json.dumps(to_json(frame)))
    assert out["header"]["dst"] == "01:0c:cd:01:00:01" and out["header"]["vlan_id"] is None
    assert out["t"] == {"utc": "2023-11-14T22:13:20.500000000Z", "quality": 0x98}
    assert out["values"][1] == [0.5, {"utc": "2023-11-14T22:13:20.250000000Z", "quality": 0x2A},
                                {"bits": "0100000000"}, [5]]
    assert out["values"][5:9] == ["0102", 'a"b', "é", [1, []]]
    assert out["values"][9:] == ["1984-01-02T00:00:00.010000Z", {"tag": 0x8C, "raw": "00000001"}]


@pytest.mark.parametrize("items, expected, reason", [
    ([], [], "no values"),
    ([("struct", 2), ("bool", False), ("array", 1), ("int", 4), ("uint", 9)], [[False, [4]], 9],
     "members close in order and the value after the structure is top-level again"),
    ([("struct", 3), ("bool", True)], [[True]], "a container that the list ends inside keeps what is present"),
    ([("f32", 0x7FC00000)], [math.nan], "a NaN pattern stays a NaN float"),
    ([("visible", b"\xff")], ["\\xff"], "an octet outside ASCII is escaped, not dropped"),
    ([("mms", b"\xc3")], ["\\xc3"], "broken UTF-8 is escaped"),
])
def test_data_values_nesting(items, expected, reason):
    values = data_values(items)
    if expected and isinstance(expected[0], float) and math.isnan(expected[0]):
        assert math.isnan(values[0]), reason
    else:
        assert values == expected, reason


@pytest.mark.parametrize("value, expected", [
    (math.inf, "inf"), (-math.inf, "-inf"), (1.5, 1.5), (BitString(b"", 0), {"bits": ""}),
    (b"\x00\xff", "00ff"), (RawValue(0x90, b"A"), {"tag": 0x90, "raw": "41"}),
])
def test_json_forms(value, expected):
    assert to_json(value) == expected


@pytest.mark.parametrize("octets, index, bit", [(b"\x80", 0, True), (b"\x80", 1, False), (b"\x01\x80", 8, True)])
def test_bit_string_indexing(octets, index, bit):
    assert BitString(octets, 0)[index] is bit


def test_utc_quality_flags():
    t = UtcTime(0, 0xFFFFFF, 0xFF)
    assert (t.leap_seconds_known, t.clock_failure, t.clock_not_synchronized, t.accuracy_bits) == (True, True, True, None)
    assert t.ns == 999_999_940  # 2**24 - 1 units of 2**-24 s, to the nearest ns
    assert UtcTime(0, 0, 0x18).accuracy_bits == 24


def test_goose_decode_returns_none_and_raises_like_native():
    sv_frame = DST + SRC + b"\x88\xba" + b"\x40\x00\x00\x08\x00\x00\x00\x00"
    assert goose.decode_frame(sv_frame) is None
    empty = DST + SRC + b"\x88\xb8" + b"\x00\x01\x00\x08\x00\x00\x00\x00"
    with pytest.raises(ValueError, match="^GOOSE header too short or with an inconsistent Length$"):
        goose.decode_frame(empty)


def _sv_frame(sample: bytes, **optional) -> bytes:
    asdu = tlv(0x80, b"MU01")
    if "dat_set" in optional:
        asdu += tlv(0x81, optional["dat_set"])
    asdu += tlv(0x82, b"\x0f\x9f") + tlv(0x83, b"\x00\x00\x00\x01")
    if "refr_tm" in optional:
        asdu += tlv(0x84, optional["refr_tm"])
    asdu += tlv(0x85, b"\x02") + tlv(0x87, sample)
    apdu = tlv(0x60, tlv(0x80, b"\x01") + tlv(0xA2, tlv(0x30, asdu)))
    return DST + SRC + b"\x88\xba" + struct.pack(">HHHH", 0x4000, 8 + len(apdu), 0, 0) + apdu


def test_sv_frame_typed():
    sample = struct.pack(">iIiI", -5, 0x2000, 7, 0)
    refr = struct.pack(">I", T) + b"\x40\x00\x00\x0a"
    frame = sv.decode_frame(_sv_frame(sample, dat_set=b"LD0/LLN0$PhsMeas1", refr_tm=refr))
    assert frame.header.app_id == 0x4000 and frame.security is None
    (asdu,) = frame.asdus
    assert (asdu.sv_id, asdu.dat_set, asdu.smp_cnt, asdu.conf_rev, asdu.smp_synch) == (
        "MU01", "LD0/LLN0$PhsMeas1", 3999, 1, 2)
    assert asdu.refr_tm == UtcTime(T, 0x400000, 0x0A)
    assert asdu.samples == [(-5, 0x2000), (7, 0)]
    assert (asdu.smp_rate, asdu.smp_mod, asdu.gm_identity) == (None, None, None)


def test_sv_sample_of_other_layout_keeps_octets_only():
    frame = sv_frames.decode_frame(_sv_frame(b"\x01\x02\x03"))
    assert frame.asdus[0].samples is None and frame.asdus[0].sample == b"\x01\x02\x03"
    assert to_json(frame)["asdus"][0]["sample"] == "010203"


def test_sv_decode_of_goose_is_none():
    assert sv_frames.decode_frame(RICH.encode_frame(DST, SRC, 1)) is None
    assert valdrin_rt.decode_sv_frame(RICH.encode_frame(DST, SRC, 1)) is None
