"""decode_goose_pdu and decode_goose_frame: GOOSE PDUs and frames read back
into dictionaries and Data tuples, leniently and strictly, and every PDU that
valdrin.goose encodes read back to the fields it was built from."""

import random
import struct

import pytest

import valdrin_rt
from valdrin import data, goose

from ber import tlv

decode_goose_pdu = valdrin_rt.decode_goose_pdu
decode_goose_frame = valdrin_rt.decode_goose_frame

PDU_KEYS = [
    "gocb_ref", "time_allowed_to_live", "dat_set", "go_id", "t", "st_num", "sq_num",
    "simulation", "conf_rev", "nds_com", "num_dat_set_entries", "entries", "all_data",
]


T = bytes.fromhex("6553f1004000000a")
# The fields of a conformant PDU by number; None leaves a field out.
GOOD = {0: b"IED1/LLN0$GO$gcb1", 1: b"\x07\xd0", 2: b"IED1/LLN0$DS1", 3: b"G1", 4: T, 5: b"\x05", 6: b"\x00\x80",
        7: b"\x00", 8: b"\x01", 9: b"\xff", 10: b"\x02", 11: bytes.fromhex("a20683 01ff 8401 00 850107")}


def pdu(order=sorted, **changes):
    """The good PDU with fields changed by name f<number>, e.g. f5=b"\\x09"."""
    fields = GOOD | {int(name[1:]): content for name, content in changes.items()}
    return tlv(0x61, b"".join(tlv(0xAB if n == 11 else 0x80 + n, c) for n, c in order(fields.items())
                              if c is not None))


def with_data(values_hex, entries):
    return pdu(f10=bytes([entries]), f11=bytes.fromhex(values_hex))


def frame(apdu, *, ethertype=0x88B8, tci=None, app_id=0x0003, length=None, reserved=(0, 0)):
    head = bytes.fromhex("010ccd010001 001b44113ab7") + (b"" if tci is None else struct.pack(">HH", 0x8100, tci))
    length = len(apdu) + 8 if length is None else length
    return head + struct.pack(">HHHHH", ethertype, app_id, length, *reserved) + apdu


# --- The PDU dictionary ----------------------------------------------------------


@pytest.mark.parametrize("strict", [False, True])
def test_every_field_in_order(strict):
    decoded = decode_goose_pdu(pdu(), strict)
    assert list(decoded) == PDU_KEYS
    assert decoded == {
        "gocb_ref": b"IED1/LLN0$GO$gcb1", "time_allowed_to_live": 2000, "dat_set": b"IED1/LLN0$DS1",
        "go_id": b"G1", "t": T, "st_num": 5, "sq_num": 128, "simulation": False, "conf_rev": 1, "nds_com": True,
        "num_dat_set_entries": 2, "entries": 2,
        "all_data": [("struct", 2), ("bool", True), ("bits", b"", 0), ("int", 7)],
    }
    assert type(decoded["simulation"]) is bool and type(decoded["nds_com"]) is bool


@pytest.mark.parametrize("changes, key, value", [
    ({"f3": None}, "go_id", None),
    ({"f3": b""}, "go_id", b""),
    ({"f7": None}, "simulation", False),
    ({"f7": b"\x01"}, "simulation", True),
    ({"f11": None}, "all_data", []),
    ({"f11": None}, "entries", 0),
    ({"f10": b"\x03"}, "num_dat_set_entries", 3),  # as encoded, not counted
    ({"f5": b"\xff"}, "st_num", 255),
    ({"f1": b"\x00" + b"\xff" * 8}, "time_allowed_to_live", 2**64 - 1),
    ({"f4": T + b"\x99"}, "t", T),  # nine octets: the first eight
    ({"f0": b"\x00\xff"}, "gocb_ref", b"\x00\xff"),  # octets, never decoded to str
])
def test_lenient_readings(changes, key, value):
    assert decode_goose_pdu(pdu(**changes))[key] == value


# Boundaries and forms the encoder never writes; what it writes is read back by the round trip below.
@pytest.mark.parametrize("values_hex, expected", [
    ("850200ff", [("int", 255)]),
    ("8503ffff80", [("int", -128)]),
    ("85088000000000000000", [("int", -2**63)]),
    ("850a01000000000000000000", [("raw", 0x85, bytes.fromhex("01000000000000000000"))]),
    ("850a00000000000000000001", [("int", 1)]),
    ("8601ff", [("uint", 255)]),
    ("860900ffffffffffffffff", [("uint", 2**64 - 1)]),
    ("870400000000", [("raw", 0x87, bytes(4))]),
    ("8c0401020304", [("raw", 140, b"\x01\x02\x03\x04")]),
    ("8c06010203040506", [("btime", b"\x01\x02\x03\x04\x05\x06")]),
    ("9109000000017fffff0a99", [("utc", bytes.fromhex("000000017fffff0a"))]),
    ("910700000001000000", [("raw", 0x91, bytes.fromhex("00000001000000"))]),
    ("8400", [("bits", b"", 0)]),
    ("8a0141 800142 1a0143", [("visible", b"A"), ("visible", b"B"), ("visible", b"C")]),
    ("900141", [("raw", 0x90, b"A")]),
    ("bf210105", [("raw", 0xBF21, b"\x05")]),
    ("a100 830200ff", [("array", 0), ("bool", False)]),
    ("a108 a2038301ff 850100", [("array", 2), ("struct", 1), ("bool", True), ("int", 0)]),
])
def test_data_tuples(values_hex, expected):
    decoded = decode_goose_pdu(pdu(f11=bytes.fromhex(values_hex)))["all_data"]
    assert decoded == expected
    assert [[type(x) for x in got] for got in decoded] == [[type(x) for x in want] for want in expected]


# --- Errors ---------------------------------------------------------------------


@pytest.mark.parametrize("strict", [False, True])
@pytest.mark.parametrize("apdu, message", [
    (b"", "missing tag"),
    (b"\x60\x00", "expected tag 0x61, found 0x60"),
    (b"\x61\x05\x80", "TLV 0x61 truncated: needs 5 bytes, 1 left"),
    (pdu(f0=None, f5=None), "missing mandatory GOOSE field gocbRef"),
    (pdu(f4=None), "missing mandatory GOOSE field t"),
    (pdu(f6=b""), "empty INTEGER (sqNum)"),
    (pdu(f11=b"\x85\x05"), "TLV 0x85 truncated: needs 5 bytes, 0 left"),
])
def test_invalid_pdus(apdu, message, strict):
    with pytest.raises(ValueError) as raised:
        decode_goose_pdu(apdu, strict)
    assert raised.type is ValueError and raised.value.args == (message,)


@pytest.mark.parametrize("apdu, deviation", [
    (pdu() + b"\x00\x00", "2 octets after the PDU"),
    (pdu(order=lambda items: sorted(items, reverse=True)), "field [10] after [11]"),
    (pdu(f11=None), "no allData"),
    (pdu(f10=b"\x03"), "numDatSetEntries=3 but 2 entries"),
    (pdu(f0=b"A\x7f"), "gocbRef is not a VisibleString129"),
    (pdu(f0=b""), "empty gocbRef"),
    (pdu(f5=bytes(8) + b"\x01"), "stNum above 32 bits"),
    (with_data("8200", 1), "allData tag 0x82 is not a Data"),
    (with_data("840108", 1), "allData BIT STRING without a valid unused-bits octet"),
    (with_data("8a010a", 1), "allData VisibleString outside its alphabet"),
    (with_data("a203830100 8500", 2), "empty allData INTEGER"),
])
def test_strict_deviations(apdu, deviation):
    decode_goose_pdu(apdu)  # accepted leniently
    with pytest.raises(ValueError) as raised:
        decode_goose_pdu(apdu, strict=True)
    assert raised.value.args == ("not conformant: " + deviation,)


def test_universal_boolean_is_field_one_leniently():
    apdu = tlv(0x61, pdu()[2:].replace(b"\x81\x02\x07\xd0", b"\x01\x01\x09", 1))
    assert decode_goose_pdu(apdu)["time_allowed_to_live"] == 9
    with pytest.raises(ValueError, match=r"^not conformant: tag 0x1 is not a GOOSE field$"):
        decode_goose_pdu(apdu, True)


# --- Frames ---------------------------------------------------------------------


def test_untagged_frame():
    header, fields = decode_goose_frame(frame(pdu(), app_id=0x3FFF, reserved=(0x8000, 7)))
    assert list(header.items()) == [
        ("dst_mac", bytes.fromhex("010ccd010001")), ("src_mac", bytes.fromhex("001b44113ab7")), ("vlan_id", None),
        ("vlan_priority", None), ("app_id", 0x3FFF), ("reserved1", 0x8000), ("reserved2", 7)]
    assert fields == decode_goose_pdu(pdu())


@pytest.mark.parametrize("tci, vlan_id, priority", [(0x0000, 0, 0), (0xA064, 100, 5), (0xB064, 100, 5),
                                                     (0x1FFF, 4095, 0)])
def test_tagged_frame(tci, vlan_id, priority):
    header, _ = decode_goose_frame(frame(pdu(), tci=tci), strict=True)
    assert (header["vlan_id"], header["vlan_priority"]) == (vlan_id, priority)
    assert type(header["vlan_id"]) is int and type(header["vlan_priority"]) is int


@pytest.mark.parametrize("strict", [False, True])
def test_padding_after_the_apdu_is_ignored(strict):
    padded = frame(pdu(f10=b"\x00", f11=b"")) + bytes(20) + b"\xde\xad\xbe\xef"  # padding and a frame check sequence
    assert decode_goose_frame(padded, strict)[1]["entries"] == 0


@pytest.mark.parametrize("raw", [
    b"",
    bytes(13),
    frame(pdu(), ethertype=0x88BA),  # SV
    frame(pdu(), length=7),
    frame(pdu(), length=len(pdu()) + 9),  # past the end
    frame(pdu())[:17],
    frame(pdu(), tci=0x0064)[:17],
])
def test_other_frames_give_none(raw):
    assert decode_goose_frame(raw) is None and decode_goose_frame(raw, True) is None


@pytest.mark.parametrize("strict", [False, True])
def test_frame_without_apdu(strict):
    with pytest.raises(ValueError) as raised:
        decode_goose_frame(frame(b""), strict)
    assert raised.value.args == ("GOOSE header too short or with an inconsistent Length",)


def test_frame_errors_are_the_pdu_errors():
    with pytest.raises(ValueError, match=r"^not conformant: 1 octets after the PDU$"):
        decode_goose_frame(frame(pdu() + b"\x00"), True)
    assert decode_goose_frame(frame(pdu() + b"\x00"))[1]["st_num"] == 5


# --- Arguments -----------------------------------------------------------------


class Octets(bytes):
    pass


def test_bytes_subclass_and_keywords():
    assert decode_goose_pdu(apdu=Octets(pdu()), strict=False)["st_num"] == 5
    assert decode_goose_frame(raw=Octets(frame(pdu())), strict=True)[1]["st_num"] == 5


@pytest.mark.parametrize("function, value", [
    (decode_goose_pdu, bytearray(b"\x61\x00")), (decode_goose_pdu, None),
    (decode_goose_frame, memoryview(b"\x61\x00")), (decode_goose_frame, "61"),
])
def test_only_bytes_are_taken(function, value):
    with pytest.raises(TypeError) as raised:
        function(value)
    param = "apdu" if function is decode_goose_pdu else "raw"
    assert raised.type is TypeError
    assert str(raised.value) == f"argument '{param}': '{type(value).__name__}' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize("function, first", [(decode_goose_pdu, pdu()), (decode_goose_frame, frame(pdu()))])
@pytest.mark.parametrize("strict", [1, 0, None, "yes", 1.0])
def test_strict_must_be_a_bool(function, first, strict):
    with pytest.raises(TypeError) as raised:
        function(first, strict)
    assert str(raised.value) == f"argument 'strict': '{type(strict).__name__}' object cannot be converted to 'PyBool'"


def test_argument_errors_come_before_decoding():
    with pytest.raises(TypeError, match="^argument 'strict'"):
        decode_goose_pdu(b"", strict=None)  # b"" alone would raise ValueError
    with pytest.raises(TypeError, match="^argument 'strict'"):
        decode_goose_frame(b"", 1)  # b"" alone would give None


def test_numpy_bool_is_taken():
    import numpy
    assert decode_goose_pdu(pdu() + b"\x00", numpy.bool_(False))["st_num"] == 5
    with pytest.raises(ValueError, match="after the PDU"):
        decode_goose_pdu(pdu() + b"\x00", strict=numpy.bool_(True))
    with pytest.raises(TypeError, match="^argument 'strict': 'int64' object"):
        decode_goose_pdu(pdu(), numpy.int64(1))


# --- Round trip through the encoder ---------------------------------------------


def printable(rng, low, high):
    return "".join(chr(rng.randrange(0x20, 0x7F)) for _ in range(rng.randint(low, high)))


def random_scalar(rng, pick):
    """A random Data object and the tuple it decodes to."""
    if pick == 0:
        v = rng.random() < 0.5
        return data.BoolData(v), ("bool", v)
    if pick == 1:
        v = rng.randrange(-2**63, 2**63) >> rng.randrange(64)
        return data.IntData(v), ("int", v)
    if pick == 2:
        v = rng.randrange(2**64) >> rng.randrange(64)
        return data.UIntData(v), ("uint", v)
    if pick == 3:
        bits = struct.pack(">f", rng.uniform(-1e6, 1e6))  # exact in single precision
        return data.FloatData(struct.unpack(">f", bits)[0]), ("f32", int.from_bytes(bits, "big"))
    if pick == 4:
        v = rng.uniform(-1e300, 1e300)
        return data.FloatData(v, double=True), ("f64", v)
    if pick == 5:
        v, unused = rng.randbytes(rng.randrange(4)), rng.randrange(8)
        return data.BitStringData(v, unused), ("bits", v, unused)
    if pick == 6:
        v = rng.randbytes(rng.randrange(200))
        return data.OctetStringData(v), ("octets", v)
    if pick == 7:
        v = printable(rng, 0, 40)
        return data.VisibleStringData(v), ("visible", v.encode())
    if pick == 8:
        v = "".join(rng.choice("aé€𝄞 ") for _ in range(rng.randrange(10)))
        return data.MmsStringData(v), ("mms", v.encode("utf-8"))
    if pick == 9:
        seconds, quality = rng.randrange(2**32 - 1) + rng.randrange(2**24) / 2**24, rng.randrange(256)
        return data.TimestampData(seconds, quality), ("utc", data.encode_utc_time(seconds, quality))
    v = rng.randbytes(rng.randrange(5))
    return data.RawData(0x9C, v), ("raw", 0x9C, v)


def random_value(rng, depth, out):
    """A random Data object; appends the tuples it decodes to to `out`."""
    pick = rng.randrange(13 if depth < 4 else 11)
    if pick < 11:
        value, decoded = random_scalar(rng, pick)
        out.append(decoded)
        return value
    kind = "struct" if pick == 11 else "array"
    at = len(out)
    out.append(None)
    members = [random_value(rng, depth + 1, out) for _ in range(rng.randrange(4))]
    out[at] = (kind, len(members))
    return data.StructureData(members) if kind == "struct" else data.ArrayData(members)


def random_pdu(rng):
    tuples = []
    values = [random_value(rng, 0, tuples) for _ in range(rng.randrange(12))]
    u32 = lambda: rng.randrange(2**32) >> rng.randrange(32)  # noqa: E731
    fields = dict(
        gocb_ref=printable(rng, 1, 129), dat_set=printable(rng, 0, 129),
        go_id=printable(rng, 0, 129) if rng.random() < 0.5 else None, time_allowed_to_live=u32(),
        timestamp=rng.randrange(2**32), time_quality=rng.randrange(256), st_num=u32(), sq_num=u32(),
        simulation=rng.random() < 0.5, conf_rev=u32(), nds_com=rng.random() < 0.5,
    )
    expected = {key: fields[key] for key in PDU_KEYS if key in fields} | {
        "gocb_ref": fields["gocb_ref"].encode(), "dat_set": fields["dat_set"].encode(),
        "go_id": None if fields["go_id"] is None else fields["go_id"].encode(),
        "t": data.encode_utc_time(fields["timestamp"], fields["time_quality"]),
        "num_dat_set_entries": len(values), "entries": len(values), "all_data": tuples,
    }
    assert sorted(expected) == sorted(PDU_KEYS)
    return goose.GoosePDU(all_data=values, **fields), expected


@pytest.mark.parametrize("seed", range(4))
def test_encoded_pdus_decode_back_strictly(seed):
    rng = random.Random(seed)
    for _ in range(100):
        message, expected = random_pdu(rng)
        assert decode_goose_pdu(message.encode(), strict=True) == expected
        vlan = rng.choice([(None, None), (rng.randrange(4096), rng.randrange(8))])
        raw = message.encode_frame(b"\x01\x0c\xcd\x01\x00\x01", b"\x00\x1b\x44\x11\x3a\xb7", 0x1234, *vlan)
        header, fields = decode_goose_frame(raw, strict=True)
        assert fields == expected
        assert (header["vlan_id"], header["vlan_priority"], header["app_id"]) == (*vlan, 0x1234)
