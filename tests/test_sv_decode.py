"""decode_sv_pdu and decode_sv_frame: savPdus and SV frames read back into
dictionaries, and every frame the native publisher renders read back to the
stream it was built from."""

import random
import struct

import pytest

import valdrin_rt
from valdrin import sv
from valdrin.sv_publisher import _native_streams

from ber import tlv

decode_sv_pdu = valdrin_rt.decode_sv_pdu
decode_sv_frame = valdrin_rt.decode_sv_frame

ASDU_KEYS = ["sv_id", "dat_set", "smp_cnt", "conf_rev", "refr_tm", "smp_synch", "smp_rate", "sample", "smp_mod",
             "gm_identity"]


MINIMAL = tlv(0x80, b"MU01") + tlv(0x82, b"\x00\x05") + tlv(0x83, b"\x00\x00\x00\x01") + tlv(0x85, b"\x01") \
    + tlv(0x87, b"\x00\x00\x00\x0a\x00\x00\x00\x00")


def pdu(*asdus, no_asdu=None, security=None):
    content = tlv(0x80, bytes([len(asdus) if no_asdu is None else no_asdu]))
    if security is not None:
        content += tlv(0xA1, security)
    return tlv(0x60, content + tlv(0xA2, b"".join(tlv(0x30, a) for a in asdus)))


def frame(apdu, *, ethertype=0x88BA, tci=None, app_id=0x4001, length=None, reserved=(0, 0)):
    head = bytes.fromhex("010ccd040001 0a0b0c0d0e0f") + (b"" if tci is None else struct.pack(">HH", 0x8100, tci))
    length = len(apdu) + 8 if length is None else length
    return head + struct.pack(">HHHHH", ethertype, app_id, length, *reserved) + apdu


# --- Dictionaries --------------------------------------------------------------


def test_every_asdu_field_in_order():
    content = (tlv(0x80, b"MU01") + tlv(0x81, b"IED/LLN0$MSVCB01") + tlv(0x82, b"\xff\xfe")
               + tlv(0x83, b"\x80\x00\x00\x01")
               + tlv(0x84, bytes.fromhex("6543210fabcdef0a9999"))  # 10 octets: the first 8 count
               + tlv(0x85, b"\xff") + tlv(0x86, b"\x0f\xa0") + tlv(0x87, b"") + tlv(0x88, b"\x00\x01")
               + tlv(0x89, b"\x01\x02\x03"))
    security, asdus = decode_sv_pdu(pdu(content, security=b"\xde\xad"))
    assert security == b"\xde\xad"
    assert [list(a.items()) for a in asdus] == [[
        ("sv_id", b"MU01"), ("dat_set", b"IED/LLN0$MSVCB01"), ("smp_cnt", 0xFFFE), ("conf_rev", 0x80000001),
        ("refr_tm", (0x6543210F, 0xABCDEF, 0x0A)), ("smp_synch", 255), ("smp_rate", 4000), ("sample", b""),
        ("smp_mod", 1), ("gm_identity", b"\x01\x02\x03")]]


# Each ASDU field drawn from a small pool, absent included for the optional
# ones, so that neighbouring ASDUs both repeat and change every field, and
# optional fields appear and disappear from one ASDU to the next.
FIELD_POOLS = [
    ("sv_id", 0x80, [b"MU01", b"MU02", b"", b"M" * 130]),
    ("dat_set", 0x81, [None, b"IED/LLN0$PhsMeas1", b"IED/LLN0$PhsMeas2"]),
    ("smp_cnt", 0x82, [0, 1, 255, 256, 3999, 0xFFFF]),
    ("conf_rev", 0x83, [0, 1, 0xFFFFFFFF]),
    ("refr_tm", 0x84, [None, (0, 0, 0), (0x6543210F, 0xABCDEF, 0x0A)]),
    ("smp_synch", 0x85, [0, 1, 2, 255]),
    ("smp_rate", 0x86, [None, 80, 4000, 0xFFFF]),
    ("sample", 0x87, [b"", bytes(64), bytes(range(64)), b"\x01" * 200]),
    ("smp_mod", 0x88, [None, 0, 1, 2]),
    ("gm_identity", 0x89, [None, bytes(8), b"\x00\x1b\x44\xff\xfe\x11\x3a\xb7"]),
]
SIZES = {"smp_cnt": 2, "conf_rev": 4, "smp_synch": 1, "smp_rate": 2, "smp_mod": 2}


def asdu_content(fields):
    out = b""
    for name, tag, _ in FIELD_POOLS:
        value = fields[name]
        if name == "refr_tm" and value is not None:
            value = value[0].to_bytes(4, "big") + value[1].to_bytes(3, "big") + bytes([value[2]])
        elif name in SIZES:
            value = value if value is None else value.to_bytes(SIZES[name], "big")
        out += b"" if value is None else tlv(tag, value)
    return out


@pytest.mark.parametrize("seed", range(30))
def test_neighbouring_asdus_that_repeat_or_change_any_field(seed):
    rng = random.Random(seed)
    expected = []
    for _ in range(rng.randint(1, 12)):
        if expected and rng.random() < 0.5:  # mostly the same as the one before
            fields = dict(expected[-1])
            name, _, pool = rng.choice(FIELD_POOLS)
            fields[name] = rng.choice(pool)
        else:
            fields = {name: rng.choice(pool) for name, _, pool in FIELD_POOLS}
        expected.append(fields)
    apdu = pdu(*(asdu_content(f) for f in expected))
    security, asdus = decode_sv_pdu(apdu)
    assert security is None and asdus == expected
    assert [list(a) for a in asdus] == [ASDU_KEYS] * len(expected)
    assert decode_sv_frame(frame(apdu))[1][1] == expected
    # Each dictionary is an object of its own: changing one changes no other.
    for a in asdus:
        a.clear()
    assert decode_sv_pdu(apdu)[1] == expected and all(a == {} for a in asdus)


def test_no_asdu_and_empty_security():
    assert decode_sv_pdu(b"\x60\x03\x80\x01\x00") == (None, [])
    assert decode_sv_pdu(pdu(security=b"")) == (b"", [])


@pytest.mark.parametrize("apdu, message", [
    (b"", "missing tag"),
    (b"\x61\x00", "expected tag 0x60, found 0x61"),
    (b"\x60\x02\x80\x00", "empty INTEGER"),
    (pdu(MINIMAL, no_asdu=3), "noASDU=3 but 1 ASDUs present"),
    (tlv(0x60, tlv(0x80, b"\x01" + bytes(9)) + tlv(0xA2, tlv(0x30, MINIMAL))),
     "noASDU above 64 bits but 1 ASDUs present"),
    (pdu(MINIMAL + tlv(0x85, b"\x00\x01")), "smpSynch must be 1 bytes, got 2"),
    (pdu(MINIMAL + tlv(0x84, bytes(7))), "TLV 0x84 truncated: needs 8 bytes, 7 left"),
])
def test_invalid_pdus_raise_the_core_text(apdu, message):
    with pytest.raises(ValueError) as caught:
        decode_sv_pdu(apdu)
    assert caught.type is ValueError and caught.value.args == (message,)
    with pytest.raises(ValueError) as in_frame:
        decode_sv_frame(frame(apdu))
    assert in_frame.value.args == (message,)


# --- Frames --------------------------------------------------------------------


def test_untagged_frame_nests_the_pdu_pair():
    apdu = pdu(MINIMAL, security=b"\x01")
    result = decode_sv_frame(frame(apdu, app_id=0xBEEF, reserved=(0x8001, 0x1234)))
    assert result == ({"dst_mac": bytes.fromhex("010ccd040001"), "src_mac": bytes.fromhex("0a0b0c0d0e0f"),
                       "vlan_id": None, "vlan_priority": None, "app_id": 0xBEEF, "reserved1": 0x8001,
                       "reserved2": 0x1234}, decode_sv_pdu(apdu))
    assert list(result[0]) == ["dst_mac", "src_mac", "vlan_id", "vlan_priority", "app_id", "reserved1", "reserved2"]
    assert type(result) is tuple and type(result[1]) is tuple and result[1][0] == b"\x01"


@pytest.mark.parametrize("tci, priority, vlan_id", [
    (0x0000, 0, 0), (0xA064, 5, 100), (0xB064, 5, 100), (0x1FFF, 0, 4095), (0xFFFF, 7, 4095)])
def test_tagged_frame(tci, priority, vlan_id):
    header, _ = decode_sv_frame(frame(pdu(MINIMAL), tci=tci))
    assert (header["vlan_priority"], header["vlan_id"]) == (priority, vlan_id)
    assert type(header["vlan_priority"]) is int and type(header["vlan_id"]) is int


@pytest.mark.parametrize("raw", [
    b"",
    bytes(13),
    frame(pdu(MINIMAL))[:14],              # nothing after the EtherType
    frame(pdu(MINIMAL), ethertype=0x88B8),  # GOOSE
    frame(pdu(MINIMAL), length=7),
    frame(pdu(MINIMAL), length=len(pdu(MINIMAL)) + 9),  # past the end
    frame(pdu(MINIMAL), tci=5)[:17],
    frame(pdu(MINIMAL), tci=5).replace(b"\x81\x00", b"\x88\xa8", 1),  # no 802.1Q tag
])
def test_not_an_sv_frame_is_none(raw):
    assert decode_sv_frame(raw) is None


def test_padding_after_the_apdu_is_ignored():
    raw = frame(pdu(MINIMAL))
    assert decode_sv_frame(raw + bytes(60) + b"\xff\xff\xff\xff") == decode_sv_frame(raw)
    # A Length shorter than the octets present cuts the APDU there.
    assert decode_sv_frame(frame(pdu(MINIMAL) + b"\x60\x00", length=len(pdu(MINIMAL)) + 8)) == decode_sv_frame(raw)


def test_empty_apdu_is_missing_tag():
    # The SV header reads like the GOOSE one, but here the APDU decoder reports the empty APDU.
    with pytest.raises(ValueError, match="^missing tag$"):
        decode_sv_frame(frame(b""))


# --- Arguments -----------------------------------------------------------------


class Octets(bytes):
    pass


@pytest.mark.parametrize("function, value", [
    (decode_sv_pdu, bytearray(b"\x60\x00")), (decode_sv_pdu, 0x60), (decode_sv_pdu, [0x60, 0x00]),
    (decode_sv_frame, "\x60\x00"), (decode_sv_frame, memoryview(b"\x60\x00")), (decode_sv_frame, None),
])
def test_only_bytes_are_taken(function, value):
    with pytest.raises(TypeError) as caught:
        function(value)
    param = "apdu" if function is decode_sv_pdu else "raw"
    assert caught.type is TypeError
    assert str(caught.value) == f"argument '{param}': '{type(value).__name__}' object cannot be converted to 'PyBytes'"


def test_bytes_subclass_and_keyword_are_taken():
    assert decode_sv_pdu(apdu=Octets(pdu(MINIMAL))) == decode_sv_pdu(pdu(MINIMAL))
    assert decode_sv_frame(raw=Octets(frame(pdu(MINIMAL)))) == decode_sv_frame(frame(pdu(MINIMAL)))


# --- Round trip through the native publisher ---------------------------------------


VISIBLE = "".join(chr(c) for c in range(0x20, 0x7F))


def random_text(rng):
    # Up to 150 characters: long ones need long-form BER lengths.
    return "".join(rng.choice(VISIBLE) for _ in range(rng.choice([1, 8, rng.randint(1, 150)])))


def random_wave(rng):
    if rng.random() < 0.4:  # constant: the value is known without synthesis
        return sv.Wave(amplitude=0.0, offset=rng.uniform(-1e4, 1e4), scale=rng.choice([1.0, 10.0, -0.5]),
                       quality=rng.getrandbits(32))
    return sv.Wave(amplitude=rng.uniform(0, 3e4), phase_deg=rng.uniform(-180, 180),
                   frequency_hz=rng.choice([50.0, 60.0, rng.uniform(1, 1000)]), offset=rng.uniform(-100, 100),
                   scale=rng.choice([1.0, 100.0, 0.01]), quality=rng.getrandbits(32))


def random_stream(rng, rate, asdus_per_frame):
    channels = [random_wave(rng) for _ in range(rng.choice([0, 1, 2, 8, rng.randint(0, 24)]))]
    vlan_id = rng.choice([None, 0, rng.randint(0, 4095)])
    playback = None
    if channels and rng.random() < 0.2:
        rows = rng.randint(1, 2 * asdus_per_frame)
        playback = sv.Playback(
            values=[[rng.randint(-(2**31), 2**31 - 1) for _ in channels] for _ in range(rows)],
            qualities=None if rng.random() < 0.5 else [[rng.getrandbits(32) for _ in channels] for _ in range(rows)],
            period=rng.choice([None, rows]),
        )
    return sv.Stream(
        random_text(rng), channels, dat_set=rng.choice([None, random_text(rng)]),
        conf_rev=rng.choice([0, 1, 2**32 - 1, rng.getrandbits(32)]),
        smp_synch=rng.choice([0, 1, 2, 255, rng.randint(0, 255)]),
        smp_rate=rng.choice([None, 80, 256, rate % 65536, rng.randint(0, 65535)]),
        smp_mod=rng.choice([None, 0, 1, 2, rng.randint(0, 65535)]),
        dst_mac=rng.randbytes(6), src_mac=rng.randbytes(6), app_id=rng.randint(0, 0xFFFF), vlan_id=vlan_id,
        vlan_priority=None if vlan_id is None else rng.choice([None, 0, 7, rng.randint(0, 7)]),
        fault=None if not channels or rng.random() < 0.7 else sv.Fault([random_wave(rng) for _ in channels]),
        playback=playback,
    )


@pytest.mark.parametrize("seed", range(40))
def test_rendered_frames_decode_to_their_stream(seed):
    rng = random.Random(seed)
    asdus_per_frame = rng.choice([1, 2, 4, 8, rng.randint(1, 16)])
    rate = asdus_per_frame * rng.choice([1, 80, 200, 500, 4800 // asdus_per_frame])
    streams = [random_stream(rng, rate, asdus_per_frame) for _ in range(rng.randint(1, 4))]
    native = _native_streams(streams, asdus_per_frame)
    engine = valdrin_rt.Engine("lo", rate, asdus_per_frame, native, 1_700_000_000)
    for index, stream in enumerate(streams):
        template, size = native[index], sv.CHANNEL_OCTETS * len(stream.channels)
        dat_set = None if stream.dat_set is None else stream.dat_set.encode()
        for _ in range(4):
            second, first_smp = rng.randint(0, 2**33), rng.randint(0, rate - asdus_per_frame)  # within one second
            raw = engine.render(index, second, first_smp)
            header, (security, asdus) = decode_sv_frame(raw)
            assert header == {"dst_mac": stream.dst_mac, "src_mac": stream.src_mac, "vlan_id": stream.vlan_id,
                              "vlan_priority": stream.vlan_priority, "app_id": stream.app_id, "reserved1": 0,
                              "reserved2": 0}
            assert security is None and len(asdus) == asdus_per_frame
            for t, asdu in enumerate(asdus):
                # The samples are the octets the engine wrote where the template
                # says they go, and smpCnt is where the template says it is.
                at = template["sample_offsets"][t]
                assert asdu == {
                    "sv_id": stream.sv_id.encode(), "dat_set": dat_set,
                    "smp_cnt": first_smp + t, "conf_rev": stream.conf_rev, "refr_tm": None,
                    "smp_synch": stream.smp_synch, "smp_rate": stream.smp_rate, "sample": raw[at:at + size],
                    "smp_mod": stream.smp_mod, "gm_identity": None}
                assert int.from_bytes(raw[template["smp_cnt_offsets"][t]:][:2], "big") == first_smp + t
                pairs = list(struct.iter_unpack(">iI", asdu["sample"]))
                assert len(pairs) == len(stream.channels)
                if stream.playback is None and stream.fault is None:
                    for wave, (value, quality) in zip(stream.channels, pairs):
                        assert quality == wave.quality
                        if wave.amplitude == 0.0:
                            assert value == max(-(2**31), min(2**31 - 1, round(wave.offset * wave.scale)))
            assert decode_sv_pdu(raw[26 if stream.vlan_id is not None else 22:]) == (security, asdus)
