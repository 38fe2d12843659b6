"""Writes the seed corpus of every fuzz target from the project's own encoders.

    python3 fuzz/make_corpus.py OUTDIR

OUTDIR/<target>/ receives one file per seed: Sampled Values frames and
savPdus that valdrin.sv encodes (and, when valdrin_rt is importable, frames
the native publisher renders with non-zero samples), and a few BER samples.
The seeds are the same on every run.
"""

import hashlib
import pathlib
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


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    frames, pdus = sv_seeds()
    pdus += hand_made_pdus()
    goose_like = [f[:12] + b"\x88\xb8" + f[14:] for f in frames[:2]]
    seeds = {
        "fuzz_ber": BER + pdus,
        "fuzz_sv": pdus,
        "fuzz_frame": frames + goose_like,
    }
    for target, inputs in seeds.items():
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for data in inputs:
            (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"{target}: {len(inputs)} seeds in {directory}")


if __name__ == "__main__":
    main()
