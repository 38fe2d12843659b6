"""Writes the seed corpus of every fuzz target from the project's own encoders.

    python3 fuzz/make_corpus.py OUTDIR

OUTDIR/<target>/ receives one file per seed: Sampled Values frames and
savPdus that valdrin.sv encodes (and, when valdrin_rt is importable, frames
the native publisher renders with non-zero samples), GOOSE PDUs and frames
built here field by field (and, when valdrin_rt encodes GOOSE, PDUs that
valdrin.goose encodes), allData contents, and a few BER samples. The seeds
are the same on every run.
"""

import hashlib
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))

from valdrin import sv  # noqa: E402
from valdrin.sv_publisher import _native_streams  # noqa: E402


def tlv(tag: bytes, content: bytes) -> bytes:
    size = len(content)
    if size < 0x80:
        length = bytes([size])
    else:
        octets = size.to_bytes((size.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(octets)]) + octets
    return tag + length + content


def streams():
    waves = [sv.Wave(amplitude=1000.0, phase_deg=120.0 * i, quality=i) for i in range(8)]
    yield sv.Stream("MU01", waves[:4], dat_set="IED1LD/LLN0$PhsMeas1", smp_rate=80), (1, 8)
    yield sv.Stream("MU02", waves, conf_rev=2**32 - 1, smp_synch=2, smp_mod=1, vlan_id=100, vlan_priority=5), (1, 2)
    yield sv.Stream("x" * 130, [], smp_rate=4000, smp_mod=0, app_id=0x7FFF), (1, 3)
    yield sv.Stream("MU03", waves[:1], vlan_id=0, vlan_priority=0), (16,)


def sv_seeds():
    """(frames, savPdus) from valdrin.sv, rendered by the engine when possible."""
    frames, pdus = [], []
    for stream, counts in streams():
        for asdus in counts:
            frames.append(sv.encode_frame(stream, asdus).frame)
            pdus.append(sv.encode_sav_pdu(stream, asdus))
    try:
        import valdrin_rt
    except ImportError:
        return frames, pdus
    for stream, counts in streams():
        asdus = counts[-1]
        engine = valdrin_rt.Engine("lo", 4000 * asdus, asdus, _native_streams([stream], asdus), 0)
        frames.append(engine.render(0, 1_700_000_000, 1))
    return frames, pdus


def hand_made_pdus():
    asdu = (
        tlv(b"\x80", b"MU01") + tlv(b"\x81", b"DS") + tlv(b"\x82", b"\x00\x01") + tlv(b"\x83", b"\x00\x00\x00\x01")
        + tlv(b"\x84", bytes(8)) + tlv(b"\x85", b"\x01") + tlv(b"\x86", b"\x0f\xa0")
        + tlv(b"\x87", bytes(16)) + tlv(b"\x88", b"\x00\x01") + tlv(b"\x89", b"\x01\x02\x03")
    )
    two = tlv(b"\x30", asdu) * 2
    return [
        tlv(b"\x60", tlv(b"\x80", b"\x02") + tlv(b"\xa1", b"\xde\xad") + tlv(b"\xa2", two)),
        tlv(b"\x60", tlv(b"\x80", b"\x00\x02") + tlv(b"\xa2", tlv(b"\x30", asdu)) + tlv(b"\xa2", tlv(b"\x30", asdu))),
        tlv(b"\x60", tlv(b"\x80", b"\x00")),
        asdu,
    ]


# --- GOOSE --------------------------------------------------------------------

# allData contents with their number of top-level values: every Data form,
# structures and arrays nested, and forms that only the lenient reading takes.
def h(text: str) -> bytes:
    return bytes.fromhex(text.replace(" ", ""))


QUALITY_AND_TIME = tlv(b"\x83", b"\xff") + tlv(b"\x84", h("03 0000")) + tlv(b"\x91", h("00000001 000000 18"))
ALL_DATA = [
    (tlv(b"\xa2", QUALITY_AND_TIME), 1),
    (tlv(b"\x87", h("08 3f800000")) + tlv(b"\x87", h("0b 3ff0000000000000")) + tlv(b"\x85", h("ff"))
     + tlv(b"\x86", h("00 ffffffffffffffff")), 4),
    (tlv(b"\xa1", tlv(b"\xa2", tlv(b"\x83", b"\x00") + tlv(b"\x8a", b"ABC")) + tlv(b"\x89", h("01ff")))
     + tlv(b"\x8f", h("c3a9")) + tlv(b"\x8c", h("000000010001")), 3),
    (tlv(b"\xa1", tlv(b"\xa2", tlv(b"\xa1", b""))), 1),
    (tlv(b"\x84", b"") + tlv(b"\x8c", h("01020304")) + tlv(b"\x90", b"A") + h("bf21 01 05")
     + tlv(b"\x1a", b"A") + tlv(b"\x80", b""), 6),
    (tlv(b"\x85", h("01 000000000000000000")) + tlv(b"\x91", h("00000001 7fffff 0a 99")), 2),
    (tlv(b"\x89", bytes(range(200))), 1),
]


def goose_pdu(values: bytes, entries: int, *, go_id: bytes | None = b"G1", order=None, extra=b"") -> bytes:
    fields = [
        tlv(b"\x80", b"IED1LD0/LLN0$GO$gcb1"),
        tlv(b"\x81", b"\x07\xd0"),
        tlv(b"\x82", b"IED1LD0/LLN0$DS1"),
        tlv(b"\x83", go_id) if go_id is not None else b"",
        tlv(b"\x84", bytes.fromhex("6553f1004000000a")),
        tlv(b"\x85", b"\x05"),
        tlv(b"\x86", b"\x00\x80"),
        tlv(b"\x87", b"\x00"),
        tlv(b"\x88", b"\x01"),
        tlv(b"\x89", b"\xff"),
        tlv(b"\x8a", entries.to_bytes(max(1, (entries.bit_length() + 8) // 8), "big")),
        tlv(b"\xab", values),
    ]
    if order is not None:
        fields = [fields[i] for i in order]
    return tlv(b"\x61", b"".join(fields) + extra)


def goose_pdus():
    pdus = [goose_pdu(values, entries) for values, entries in ALL_DATA]
    first = ALL_DATA[0][0]
    pdus += [
        goose_pdu(first, 1, go_id=None),
        goose_pdu(first, 1, go_id=b""),
        goose_pdu(first, 5),  # numDatSetEntries differs
        goose_pdu(first, 1, order=list(reversed(range(12)))),
        goose_pdu(first, 1, extra=tlv(b"\x85", b"\x07")),  # stNum repeated
        goose_pdu(first, 1, extra=b"\x9f\x05\x01\x07"),  # field 5 in high-number form
        goose_pdu(first, 1) + b"\x00\x00",  # octets after the PDU
        goose_pdu(b"", 0, order=range(11)),  # no allData
    ]
    try:
        import valdrin_rt
        from valdrin import data, goose
    except ImportError:
        return pdus
    if not hasattr(valdrin_rt, "encode_goose_pdu"):
        return pdus
    values = [
        data.StructureData([data.BoolData(True), data.BitStringData(b"\x00\x00", 3), data.TimestampData(1.5, 0x18)]),
        data.FloatData(230.5), data.FloatData(0.1, double=True), data.IntData(-3000), data.UIntData(2**63),
        data.VisibleStringData("on"), data.MmsStringData("\u00e9"), data.OctetStringData(b"\x01\x02"),
        data.ArrayData([data.ArrayData([]), data.RawData(0x8C, b"\x00\x00\x00\x01\x00\x01")]),
    ]
    message = goose.GoosePDU("IED1CTRL/LLN0$GO$gcbStatus", "IED1CTRL/LLN0$StatusDs", go_id="IED1_Status",
                             timestamp=1_700_000_000.25, time_quality=0x0A, st_num=2**32 - 1, all_data=values)
    pdus.append(message.encode())
    return pdus


def goose_frames(pdus):
    frames = []
    for apdu in pdus[:3]:
        header = bytes.fromhex("010ccd010001001b44113ab7")
        appid = b"\x00\x03" + (len(apdu) + 8).to_bytes(2, "big") + b"\x00\x00\x00\x00"
        frames.append(header + b"\x88\xb8" + appid + apdu)
        frames.append(header + b"\x81\x00\xa0\x64\x88\xb8" + appid + apdu + bytes(10))
    return frames


BER = [
    b"\x04\x02\xaa\xbb",
    b"\x1f\x21\x00",
    b"\xbf\x81\x82\x05\x00",
    b"\x04\x81\x05\x01\x02\x03\x04\x05",
    b"\x04\x82\x00\x01\x07",
    b"\x30\x80\x00\x00",
    b"\x02\x09\x00\xff\xff\xff\xff\xff\xff\xff\xff",
    b"\x80\x00\x81\x05\x01",
    b"\x02\x01\x80\x02\x02\x00\x80",
]


def captures(frames: list[bytes]) -> list[bytes]:
    """The frames as classic pcap (both byte orders, micro- and nanoseconds), cooked, and as pcapng."""
    out = []
    for order, magic, linktype in (("<", 0xA1B2C3D4, 1), (">", 0xA1B23C4D, 1), ("<", 0xA1B23C4D, 113)):
        data = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, linktype)
        for k, frame in enumerate(frames):
            if linktype == 113:
                frame = b"\x00\x02\x00\x01\x00\x06" + frame[6:12] + b"\x00\x00" + frame[12:]
            data += struct.pack(order + "IIII", 1_700_000_000, k, len(frame), len(frame)) + frame
        out.append(data)
    def block(kind: int, body: bytes) -> bytes:
        body += b"\x00" * (-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)
    ng = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    ng += block(1, struct.pack("<HHI", 1, 0, 0) + struct.pack("<HHB3x", 9, 1, 9) + struct.pack("<HH", 0, 0))
    ng += block(0x0BAD, b"skip")
    for k, frame in enumerate(frames):
        ng += block(6, struct.pack("<5I", 0, 0, k, len(frame), len(frame)) + frame)
    ng += block(3, struct.pack("<I", len(frames[0])) + frames[0])
    return out + [ng]


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    frames, pdus = sv_seeds()
    pdus += hand_made_pdus()
    goose_like = [f[:12] + b"\x88\xb8" + f[14:] for f in frames[:2]]
    gooses = goose_pdus()
    seeds = {
        "fuzz_ber": BER + pdus,
        "fuzz_sv": pdus,
        "fuzz_frame": frames + goose_like + goose_frames(gooses),
        "fuzz_data": [values for values, _ in ALL_DATA],
        "fuzz_goose": gooses,
        "fuzz_goose_strict": gooses,
        # Member 0 == true (kind 0, value 1), then the frames, each after its 2-octet length.
        "fuzz_goose_condition": [b"\x00\x00\x01" + bytes(7) + b"".join(len(f).to_bytes(2, "little") + f
                                                                   for f in goose_frames(gooses))],
        # 24 octets of counters and timing, then a whole frame.
        "fuzz_goose_template": [bytes(range(24)) + f for f in goose_frames(gooses)],
        # smpCnt sequences, two octets each: across a wrap at 40 with 39 lost in the first
        # lap, and with a reordered pair and a duplicate across it.
        "fuzz_sv_counter": [
            b"".join(n.to_bytes(2, "little") for n in counts)
            for counts in ([*range(20, 39), *range(0, 39), 39, 0, 1, 7, 8], [*range(30, 39), 0, 39, 1, 1, 2])
        ],
        # Profile names, good and bad.
        "fuzz_sv_profile": [b"F4800S2I4U4", b"F14400S6I4U4", b"F65536S1I1U0", b"F4800S7I4U4", b"F0S1I0U0"],
        # A window step octet, then a capture file of the frames.
        "fuzz_capture_file": [b"\x07" + capture for capture in captures(frames + goose_frames(gooses))],
    }
    for target, inputs in seeds.items():
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"{target}: {len(inputs)} seeds in {directory}")


if __name__ == "__main__":
    main()
