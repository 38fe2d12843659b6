"""decode_sv_pdu and decode_sv_frame: savPdus and SV frames read back into
dictionaries, and every frame the native publisher renders read back to the
stream it was built from."""

import random
import struct

import pytest

import valdrin_rt
from valdrin import sv
from valdrin.sv_publisher import _native_streams

decode_sv_pdu = valdrin_rt.decode_sv_pdu
decode_sv_frame = valdrin_rt.decode_sv_frame

ASDU_KEYS = [
    "sv_id", "dat_set", "smp_cnt", "conf_rev", "refr_tm",
    "smp_synch", "smp_rate", "sample", "smp_mod", "gm_identity",
]
FRAME_KEYS = ["dst_mac", "src_mac", "vlan_id", "vlan_priority", "app_id", "reserved1", "reserved2"]


def tlv(tag, content):
    assert len(content) < 0x10000
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    size = len(content).to_bytes(1 if len(content) < 0x100 else 2, "big")
    return bytes([tag, 0x80 | len(size)]) + size + content


MINIMAL = (
    tlv(0x80, b"MU01")
    + tlv(0x82, b"\x00\x05")
    + tlv(0x83, b"\x00\x00\x00\x01")
    + tlv(0x85, b"\x01")
    + tlv(0x87, b"\x00\x00\x00\x0a\x00\x00\x00\x00")
)


def pdu(*asdus, no_asdu=None, security=None):
    count = len(asdus) if no_asdu is None else no_asdu
    content = tlv(0x80, bytes([count]))
    if security is not None:
        content += tlv(0xA1, security)
    return tlv(0x60, content + tlv(0xA2, b"".join(tlv(0x30, a) for a in asdus)))


def frame(apdu, *, ethertype=0x88BA, tci=None, app_id=0x4001, length=None, reserved=(0, 0)):
    head = bytes.fromhex("010ccd040001") + bytes.fromhex("0a0b0c0d0e0f")
    if tci is not None:
        head += struct.pack(">HH", 0x8100, tci)
    length = len(apdu) + 8 if length is None else length
    return head + struct.pack(">HHHHH", ethertype, app_id, length, *reserved) + apdu


# --- Dictionaries --------------------------------------------------------------


def test_every_asdu_field_in_order():
    content = (
        tlv(0x80, b"MU01")
        + tlv(0x81, b"IED/LLN0$MSVCB01")
        + tlv(0x82, b"\xff\xfe")
        + tlv(0x83, b"\x80\x00\x00\x01")
        + tlv(0x84, bytes.fromhex("6543210fabcdef0a9999"))  # 10 octets: the first 8 count
        + tlv(0x85, b"\xff")
        + tlv(0x86, b"\x0f\xa0")
        + tlv(0x87, b"")
        + tlv(0x88, b"\x00\x01")
        + tlv(0x89, b"\x01\x02\x03")
    )
    security, asdus = decode_sv_pdu(pdu(content, security=b"\xde\xad"))
    assert security == b"\xde\xad"
    assert asdus == [{
        "sv_id": b"MU01",
        "dat_set": b"IED/LLN0$MSVCB01",
        "smp_cnt": 0xFFFE,
        "conf_rev": 0x80000001,
        "refr_tm": (0x6543210F, 0xABCDEF, 0x0A),
        "smp_synch": 255,
        "smp_rate": 4000,
        "sample": b"",
        "smp_mod": 1,
        "gm_identity": b"\x01\x02\x03",
    }]
    assert list(asdus[0]) == ASDU_KEYS


def test_absent_optional_fields_are_none_and_asdus_keep_their_order():
    second = MINIMAL.replace(b"\x82\x02\x00\x05", b"\x82\x02\x00\x06")
    result = decode_sv_pdu(pdu(MINIMAL, second))
    assert type(result) is tuple and len(result) == 2
    security, asdus = result
    assert security is None
    assert type(asdus) is list
    assert [a["smp_cnt"] for a in asdus] == [5, 6]
    for a in asdus:
        assert list(a) == ASDU_KEYS
        assert [a[k] for k in ("dat_set", "refr_tm", "smp_rate", "smp_mod", "gm_identity")] == [None] * 5
        assert a["sample"] == b"\x00\x00\x00\x0a\x00\x00\x00\x00"
        assert (a["sv_id"], a["conf_rev"], a["smp_synch"]) == (b"MU01", 1, 1)


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
        if value is None:
            continue
        if name == "refr_tm":
            seconds, fraction, quality = value
            value = seconds.to_bytes(4, "big") + fraction.to_bytes(3, "big") + bytes([quality])
        elif name in SIZES:
            value = value.to_bytes(SIZES[name], "big")
        out += tlv(tag, value)
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
    assert security is None
    assert asdus == expected
    assert [list(a) for a in asdus] == [ASDU_KEYS] * len(expected)
    _, (_, in_frame) = decode_sv_frame(frame(apdu))
    assert in_frame == expected
    # Each dictionary is an object of its own: changing one changes no other.
    for a in asdus:
        a.clear()
    assert decode_sv_pdu(apdu)[1] == expected and all(a == {} for a in asdus)


def test_no_asdu_and_empty_security():
    assert decode_sv_pdu(b"\x60\x03\x80\x01\x00") == (None, [])
    assert decode_sv_pdu(pdu(security=b"")) == (b"", [])


@pytest.mark.parametrize(
    "apdu, message",
    [
        (b"", "missing tag"),
        (b"\x61\x00", "expected tag 0x60, found 0x61"),
        (b"\x60\x02\x80\x00", "empty INTEGER"),
        (pdu(MINIMAL, no_asdu=3), "noASDU=3 but 1 ASDUs present"),
        (tlv(0x60, tlv(0x80, b"\x01" + bytes(9)) + tlv(0xA2, tlv(0x30, MINIMAL))),
         "noASDU above 64 bits but 1 ASDUs present"),
        (pdu(MINIMAL + tlv(0x85, b"\x00\x01")), "smpSynch must be 1 bytes, got 2"),
        (pdu(MINIMAL + tlv(0x84, bytes(7))), "TLV 0x84 truncated: needs 8 bytes, 7 left"),
    ],
)
def test_invalid_pdus_raise_the_core_text(apdu, message):
    with pytest.raises(ValueError) as caught:
        decode_sv_pdu(apdu)
    assert caught.type is ValueError
    assert caught.value.args == (message,)
    with pytest.raises(ValueError) as in_frame:
        decode_sv_frame(frame(apdu))
    assert in_frame.value.args == (message,)


# --- Frames --------------------------------------------------------------------


def test_untagged_frame():
    header, decoded = decode_sv_frame(frame(pdu(MINIMAL), app_id=0xBEEF, reserved=(0x8001, 0x1234)))
    assert list(header) == FRAME_KEYS
    assert header == {
        "dst_mac": bytes.fromhex("010ccd040001"),
        "src_mac": bytes.fromhex("0a0b0c0d0e0f"),
        "vlan_id": None,
        "vlan_priority": None,
        "app_id": 0xBEEF,
        "reserved1": 0x8001,
        "reserved2": 0x1234,
    }
    assert decoded == decode_sv_pdu(pdu(MINIMAL))


@pytest.mark.parametrize(
    "tci, priority, vlan_id",
    [(0x0000, 0, 0), (0xA064, 5, 100), (0xB064, 5, 100), (0x1FFF, 0, 4095), (0xFFFF, 7, 4095)],
)
def test_tagged_frame(tci, priority, vlan_id):
    header, _ = decode_sv_frame(frame(pdu(MINIMAL), tci=tci))
    assert (header["vlan_priority"], header["vlan_id"]) == (priority, vlan_id)
    assert type(header["vlan_priority"]) is int and type(header["vlan_id"]) is int


def test_frame_result_nests_the_pdu_pair():
    result = decode_sv_frame(frame(pdu(MINIMAL, security=b"\x01")))
    assert type(result) is tuple and len(result) == 2
    assert type(result[1]) is tuple and len(result[1]) == 2
    assert result[1][0] == b"\x01" and len(result[1][1]) == 1


@pytest.mark.parametrize(
    "raw",
    [
        b"",
        bytes(13),
        frame(pdu(MINIMAL))[:14],              # nothing after the EtherType
        frame(pdu(MINIMAL), ethertype=0x88B8),  # GOOSE
        frame(pdu(MINIMAL), length=7),
        frame(pdu(MINIMAL), length=len(pdu(MINIMAL)) + 9),  # past the end
        frame(pdu(MINIMAL), tci=5)[:17],
        frame(pdu(MINIMAL), tci=5).replace(b"\x81\x00", b"\x88\xa8", 1),  # no 802.1Q tag
    ],
)
def test_not_an_sv_frame_is_none(raw):
    assert decode_sv_frame(raw) is None


def test_padding_after_the_apdu_is_ignored():
    raw = frame(pdu(MINIMAL))
    padded = raw + bytes(60) + b"\xff\xff\xff\xff"
    assert decode_sv_frame(padded) == decode_sv_frame(raw)
    # A Length shorter than the octets present cuts the APDU there.
    short = frame(pdu(MINIMAL) + b"\x60\x00", length=len(pdu(MINIMAL)) + 8)
    assert decode_sv_frame(short) == decode_sv_frame(raw)


def test_empty_apdu_is_missing_tag():
    # The same frame as an empty GOOSE message, asked for as SV.
    with pytest.raises(ValueError, match="^missing tag$"):
        decode_sv_frame(frame(b""))


# --- Arguments -----------------------------------------------------------------


class Octets(bytes):
    pass


@pytest.mark.parametrize("function, param", [(decode_sv_pdu, "apdu"), (decode_sv_frame, "raw")])
@pytest.mark.parametrize(
    "value, type_name",
    [
        (bytearray(b"\x60\x00"), "bytearray"),
        ("\x60\x00", "str"),
        (memoryview(b"\x60\x00"), "memoryview"),
        (0x60, "int"),
        (None, "NoneType"),
        ([0x60, 0x00], "list"),
    ],
)
def test_only_bytes_are_taken(function, param, value, type_name):
    with pytest.raises(TypeError) as caught:
        function(value)
    assert caught.type is TypeError
    assert str(caught.value) == f"argument '{param}': '{type_name}' object cannot be converted to 'PyBytes'"


def test_bytes_subclass_and_keyword_are_taken():
    assert decode_sv_pdu(apdu=Octets(pdu(MINIMAL))) == decode_sv_pdu(pdu(MINIMAL))
    assert decode_sv_frame(raw=Octets(frame(pdu(MINIMAL)))) == decode_sv_frame(frame(pdu(MINIMAL)))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: decode_sv_frame(b"", b""), "decode_sv_frame() takes 1 positional arguments but 2 were given"),
        (lambda: decode_sv_pdu(), "decode_sv_pdu() missing 1 required positional argument: 'apdu'"),
        (lambda: decode_sv_pdu(raw=b""), "decode_sv_pdu() got an unexpected keyword argument 'raw'"),
        (lambda: decode_sv_frame(b"", raw=b""), "decode_sv_frame() got multiple values for argument 'raw'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (decode_sv_pdu, "(apdu)", "`(security, [asdu dicts])` of a SavPdu; ValueError when it is invalid (for tests)."),
        (decode_sv_frame, "(raw)",
         "`None` for a frame that is not SV, else `(frame dict, security, [asdu dicts])` (for tests)."),
    ],
)
def test_signatures_and_docstrings(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "valdrin_rt"


def test_surface_order():
    names = [n for n in vars(valdrin_rt) if not n.startswith("__")]
    assert names.index("Engine") < names.index("decode_sv_pdu") < names.index("decode_sv_frame")
    assert list(vars(valdrin_rt)).index("decode_sv_frame") < list(vars(valdrin_rt)).index("__version__")


# --- Round trip through the native publisher ---------------------------------------


VISIBLE = "".join(chr(c) for c in range(0x20, 0x7F))


def random_text(rng):
    # Up to 150 characters: long ones need long-form BER lengths.
    return "".join(rng.choice(VISIBLE) for _ in range(rng.choice([1, 8, rng.randint(1, 150)])))


def random_wave(rng):
    if rng.random() < 0.4:  # constant: the value is known without synthesis
        return sv.Wave(amplitude=0.0, offset=rng.uniform(-1e4, 1e4), scale=rng.choice([1.0, 10.0, -0.5]),
                       quality=rng.getrandbits(32))
    return sv.Wave(
        amplitude=rng.uniform(0, 3e4),
        phase_deg=rng.uniform(-180, 180),
        frequency_hz=rng.choice([50.0, 60.0, rng.uniform(1, 1000)]),
        offset=rng.uniform(-100, 100),
        scale=rng.choice([1.0, 100.0, 0.01]),
        quality=rng.getrandbits(32),
    )


def random_mac(rng):
    return bytes(rng.getrandbits(8) for _ in range(6))


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
        random_text(rng),
        channels,
        dat_set=rng.choice([None, random_text(rng)]),
        conf_rev=rng.choice([0, 1, 2**32 - 1, rng.getrandbits(32)]),
        smp_synch=rng.choice([0, 1, 2, 255, rng.randint(0, 255)]),
        smp_rate=rng.choice([None, 80, 256, rate % 65536, rng.randint(0, 65535)]),
        smp_mod=rng.choice([None, 0, 1, 2, rng.randint(0, 65535)]),
        dst_mac=random_mac(rng),
        src_mac=random_mac(rng),
        app_id=rng.randint(0, 0xFFFF),
        vlan_id=vlan_id,
        vlan_priority=None if vlan_id is None else rng.choice([None, 0, 7, rng.randint(0, 7)]),
        fault=None if not channels or rng.random() < 0.7 else sv.Fault([random_wave(rng) for _ in channels]),
        playback=playback,
    )


def expected_constant(wave):
    y = wave.offset * wave.scale
    return max(-(2**31), min(2**31 - 1, round(y)))


@pytest.mark.parametrize("seed", range(40))
def test_rendered_frames_decode_to_their_stream(seed):
    rng = random.Random(seed)
    asdus_per_frame = rng.choice([1, 2, 4, 8, rng.randint(1, 16)])
    rate = asdus_per_frame * rng.choice([1, 80, 200, 500, 4800 // asdus_per_frame])
    streams = [random_stream(rng, rate, asdus_per_frame) for _ in range(rng.randint(1, 4))]
    native = _native_streams(streams, asdus_per_frame)
    engine = valdrin_rt.Engine("lo", rate, asdus_per_frame, native, 1_700_000_000)
    for index, stream in enumerate(streams):
        template = native[index]
        for _ in range(4):
            second = rng.randint(0, 2**33)
            first_smp = rng.randint(0, rate - asdus_per_frame)  # every ASDU within one second
            raw = engine.render(index, second, first_smp)
            result = decode_sv_frame(raw)
            assert result is not None
            header, (security, asdus) = result
            assert header == {
                "dst_mac": stream.dst_mac,
                "src_mac": stream.src_mac,
                "vlan_id": stream.vlan_id,
                "vlan_priority": stream.vlan_priority,
                "app_id": stream.app_id,
                "reserved1": 0,
                "reserved2": 0,
            }
            assert security is None
            assert len(asdus) == asdus_per_frame
            for t, asdu in enumerate(asdus):
                assert asdu["sv_id"] == stream.sv_id.encode()
                assert asdu["dat_set"] == (None if stream.dat_set is None else stream.dat_set.encode())
                assert asdu["conf_rev"] == stream.conf_rev
                assert asdu["smp_synch"] == stream.smp_synch
                assert asdu["smp_rate"] == stream.smp_rate
                assert asdu["smp_mod"] == stream.smp_mod
                assert asdu["refr_tm"] is None and asdu["gm_identity"] is None
                assert asdu["smp_cnt"] == first_smp + t
                # The samples are the octets the engine wrote where the
                # template says they go, and nothing else.
                at = template["sample_offsets"][t]
                size = sv.CHANNEL_OCTETS * len(stream.channels)
                assert asdu["sample"] == raw[at:at + size]
                assert int.from_bytes(raw[template["smp_cnt_offsets"][t]:][:2], "big") == first_smp + t
                pairs = list(struct.iter_unpack(">iI", asdu["sample"]))
                assert len(pairs) == len(stream.channels)
                if stream.playback is None and stream.fault is None:
                    for wave, (value, quality) in zip(stream.channels, pairs):
                        assert quality == wave.quality
                        if wave.amplitude == 0.0:
                            assert value == expected_constant(wave)
            # The bare APDU decodes to the same pair.
            apdu_at = 26 if stream.vlan_id is not None else 22
            assert decode_sv_pdu(raw[apdu_at:]) == (security, asdus)
