"""SV stream descriptions and frame templates (valdrin.sv)."""

import math

import pytest

from valdrin.sv import Fault, Playback, Stream, Template, Wave, encode_frame, encode_sav_pdu

DST = "01:0c:cd:04:00:01"
SRC = "00:11:22:33:44:55"
HEAD = "010ccd040001" "001122334455"  # destination, source


def stream(**kwargs):
    kwargs.setdefault("sv_id", "MU01")
    kwargs.setdefault("dst_mac", DST)
    kwargs.setdefault("src_mac", SRC)
    return Stream(**kwargs)


# Frames written out octet by octet.
UNTAGGED_2CH = (
    HEAD + "88ba" "4000" "0036" "0000" "0000"
    "602c" "800101" "a227" "3025"
    "80044d553031" "82020000" "830400000001" "850102" "8710" + "00" * 16
)
TAGGED_2ASDU_ASDU = "3023" "800141" "8103445331" "82020000" "83040000000a" "850101" "86020fa0" "8708" + "00" * 8
TAGGED_2ASDU = (
    "010ccd040002" "020000000001" "8100" "8064" "88ba" "4001" "0059" "00000000"
    "604f" "800102" "a24a" + TAGGED_2ASDU_ASDU * 2
)
# 16 channels: sample, ASDU, seqASDU and savPdu lengths in the 0x81 long form.
LONG81 = (
    HEAD + "88ba" "4000" "00a7" "00000000"
    "60819c" "800101" "a28196" "308193" "800158" "82020000" "830400000001" "850100" "878180" + "00" * 128
)
# 32 channels: lengths in the 0x82 long form.
LONG82 = (
    HEAD + "88ba" "4000" "012b" "00000000"
    "6082011f" "800101" "a2820118" "30820114" "800158" "82020000" "830400000001" "850100" "87820100" + "00" * 256
)


@pytest.mark.parametrize(
    "kwargs, asdus, expected, smp_cnt, samples",
    [
        (dict(channels=[Wave(1), Wave(2)], smp_synch=2), 1, UNTAGGED_2CH, (39,), (52,)),
        (
            dict(sv_id="A", channels=[Wave()], dat_set="DS1", conf_rev=10, smp_synch=1, smp_rate=4000,
                 dst_mac="01:0c:cd:04:00:02", src_mac=b"\x02\0\0\0\0\x01", app_id=0x4001, vlan_id=100),
            2, TAGGED_2ASDU, (45, 82), (62, 99),
        ),
        (dict(sv_id="X", channels=[Wave()] * 16), 1, LONG81, (39,), (53,)),
        (dict(sv_id="X", channels=[Wave()] * 32), 1, LONG82, (42,), (57,)),
    ],
    ids=["untagged", "tagged-datset-smprate-2asdu", "long-81", "long-82"],
)
def test_frame_bytes(kwargs, asdus, expected, smp_cnt, samples):
    template = encode_frame(stream(**kwargs), asdus)
    assert template == Template(bytes.fromhex(expected), smp_cnt, samples)
    header = 26 if "vlan_id" in kwargs else 22
    assert encode_sav_pdu(stream(**kwargs), asdus) == template.frame[header:]


# --- an independent reader, for round trips -------------------------------


def tlv(data, at):
    """(tag, content start, end) of the TLV at ``at``."""
    tag, first = data[at], data[at + 1]
    if first < 0x80:
        return tag, at + 2, at + 2 + first
    n = first & 0x7F
    size = int.from_bytes(data[at + 2 : at + 2 + n], "big")
    return tag, at + 2 + n, at + 2 + n + size


def children(data, start, end):
    """{tag: (content start, end)} of the TLVs that exactly fill data[start:end]."""
    found = {}
    while start < end:
        tag, content, start = tlv(data, start)
        found.setdefault(tag, []).append((content, start))
    assert start == end
    return found


@pytest.mark.parametrize("channels", [0, 1, 15, 16, 31, 32, 40])
@pytest.mark.parametrize("asdus", [1, 2, 8, 127, 128])
@pytest.mark.parametrize("vlan", [None, 4095])
def test_frame_reads_back(channels, asdus, vlan):
    s = stream(sv_id="MU/" + "x" * channels, channels=[Wave()] * channels, dat_set="LD0/LLN0$DS" if asdus % 2 else None,
               conf_rev=0xFFFFFFFF, smp_synch=255, smp_rate=65535 if channels % 2 else None,
               smp_mod=1 if asdus % 2 == 0 else None, app_id=0xBEEF,
               vlan_id=vlan, vlan_priority=None if vlan is None else 7)
    t = encode_frame(s, asdus)
    frame, h = t.frame, 12 if vlan is None else 16
    assert frame[12:h] == (b"" if vlan is None else b"\x81\x00\xef\xff")
    assert frame[h : h + 10] == b"\x88\xba\xbe\xef" + (len(frame) - h - 2).to_bytes(2, "big") + bytes(4)
    top = children(frame, h + 10, len(frame))[0x60]
    pdu = children(frame, *top[0])
    assert list(pdu) == [0x80, 0xA2] and frame[slice(*pdu[0x80][0])] == asdus.to_bytes(1 + asdus // 128, "big")
    asdu_list = children(frame, *pdu[0xA2][0])
    assert list(asdu_list) == [0x30] and len(asdu_list[0x30]) == asdus
    values = {0x80: s.sv_id.encode(), 0x81: b"LD0/LLN0$DS", 0x82: b"\0\0", 0x83: b"\xff" * 4, 0x85: b"\xff",
              0x86: b"\xff\xff", 0x87: bytes(8 * channels), 0x88: b"\x00\x01"}
    tags = ([0x80] + [0x81] * (s.dat_set is not None) + [0x82, 0x83, 0x85] + [0x86] * (s.smp_rate is not None)
            + [0x87] + [0x88] * (s.smp_mod is not None))
    for i, span in enumerate(asdu_list[0x30]):
        fields = children(frame, *span)
        assert list(fields) == tags
        assert all(frame[slice(*fields[tag][0])] == values[tag] for tag in tags)
        assert fields[0x82][0][0] == t.smp_cnt_offsets[i] and fields[0x87][0][0] == t.sample_offsets[i]


@pytest.mark.parametrize("asdus, prefix", [(127, "80017f"), (128, "80020080"), (300, "8002012c")])
def test_no_asdu_is_a_minimal_integer(asdus, prefix):
    pdu = encode_sav_pdu(Stream("X"), asdus)
    _, start, end = tlv(pdu, 0)
    assert pdu[start:].startswith(bytes.fromhex(prefix)) and end == len(pdu)


def test_apdu_size_limit():
    channels = [Wave()] * 8186
    assert len(encode_frame(Stream("ABCDE", channels)).frame) == 22 + 65527
    with pytest.raises(ValueError, match=r"^APDU too long: 65528 bytes$"):
        encode_frame(Stream("ABCDEF", channels))


@pytest.mark.parametrize("mac", ["01:0C:CD:04:00:01", "01-0c-cd-04-00-01", b"\x01\x0c\xcd\x04\x00\x01",
                                 bytearray(b"\x01\x0c\xcd\x04\x00\x01")])
def test_mac_forms(mac):
    assert Stream("A", dst_mac=mac, src_mac=mac).dst_mac == b"\x01\x0c\xcd\x04\x00\x01"


I64 = 2**63 - 1
INVALID = [
    # (factory, exception type, exact message)
    (lambda: Wave(amplitude="1"), TypeError, "amplitude must be a number, not str"),
    (lambda: Wave(quality=-1), ValueError, "quality must be between 0 and 4294967295, got -1"),
    (lambda: Wave(quality=1.0), TypeError, "quality must be an integer, not float"),
    (lambda: Fault([(1, 0, 50, 0, 1, 0)]), TypeError, "fault waves[0] must be a Wave, not tuple"),
    (lambda: Fault([], cycle_s=0), ValueError, f"cycle_s must be between 1 and {I64}, got 0"),
    (lambda: Fault([], start_smp=-1), ValueError, f"start_smp must be between 0 and {I64}, got -1"),
    (lambda: Fault([], duration_s=-0.5), ValueError, "duration_s must be None or a non-negative number of seconds, got -0.5"),
    (lambda: Fault([], duration_s=math.nan), ValueError, "duration_s must be None or a non-negative number of seconds, got nan"),
    (lambda: Playback([]), ValueError, "playback needs at least one row"),
    (lambda: Playback([[]]), ValueError, "playback rows need at least one value"),
    (lambda: Playback([[1, 2], [3, 4], [5]]), ValueError, "playback row 2 has 1 values, row 0 has 2"),
    (lambda: Playback([[1, 2**31]]), ValueError, "playback value 2147483648 at row 0, channel 1 is outside the int32 range"),
    (lambda: Playback([[1, 2.0]]), TypeError, "playback value at row 0, channel 1 must be an integer, not float"),
    (lambda: Playback([[1]], [[2**32]]), ValueError, "playback quality 4294967296 at row 0, channel 0 is outside the uint32 range"),
    (lambda: Playback([[1, 2]], [[1]]), ValueError, "playback qualities must have the shape of the values"),
    (lambda: Playback([[1]], period=0), ValueError, f"period must be between 1 and {I64}, got 0"),
    (lambda: Playback([[1]], start=-(2**63) - 1), ValueError, f"start must be between {-I64 - 1} and {I64}, got {-(2**63) - 1}"),
    (lambda: Stream(b"MU01"), TypeError, "sv_id must be a str, not bytes"),
    (lambda: Stream(""), ValueError, "sv_id must be non-empty visible ASCII, got ''"),
    (lambda: Stream("A", [Wave(), (1, 0, 50, 0, 1, 0)]), TypeError, "channels[1] must be a Wave, not tuple"),
    (lambda: Stream("A", conf_rev=2**32), ValueError, "conf_rev must be between 0 and 4294967295, got 4294967296"),
    (lambda: Stream("A", smp_synch=256), ValueError, "smp_synch must be between 0 and 255, got 256"),
    (lambda: Stream("A", smp_rate=65536), ValueError, "smp_rate must be between 0 and 65535, got 65536"),
    (lambda: Stream("A", smp_mod=-1), ValueError, "smp_mod must be between 0 and 65535, got -1"),
    (lambda: Stream("A", smp_rate=80.0), TypeError, "smp_rate must be an integer, not float"),
    (lambda: Stream("A", dst_mac=b"\1\2\3\4\5"), ValueError, "dst_mac must be 6 octets, got 5"),
    (lambda: Stream("A", src_mac="01:0c:cd:04:00"), ValueError, "src_mac must be six hexadecimal octets like 01:0c:cd:04:00:01, got '01:0c:cd:04:00'"),
    (lambda: Stream("A", app_id=0x10000), ValueError, "app_id must be between 0 and 65535, got 65536"),
    (lambda: Stream("A", vlan_id=4096), ValueError, "vlan_id must be between 0 and 4095, got 4096"),
    (lambda: Stream("A", vlan_priority=5), ValueError, "vlan_priority needs a vlan_id"),
    (lambda: Stream("A", fault={}), TypeError, "fault must be a Fault or None, not dict"),
    (lambda: Stream("A", [Wave()], fault=Fault([])), ValueError, "the fault has 0 waves but the stream has 1 channels"),
    (lambda: Stream("A", [Wave()] * 2, playback=Playback([[1]])), ValueError, "the playback has 1 channels but the stream has 2"),
    (lambda: encode_frame(Stream("A"), 0), ValueError, "asdus_per_frame must be between 1 and 65535, got 0"),
    (lambda: encode_sav_pdu({"sv_id": "A"}), TypeError, "stream must be a Stream, not dict"),
]


@pytest.mark.parametrize("factory, kind, message", INVALID, ids=[m for _, _, m in INVALID])
def test_invalid(factory, kind, message):
    with pytest.raises(kind) as caught:
        factory()
    assert type(caught.value) is kind and str(caught.value) == message
