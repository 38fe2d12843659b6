#!/usr/bin/env python3
"""Decoding benchmark from Python: valdrin_rt against a pure-Python decoder.

Two frames are decoded over and over, each by valdrin_rt and, in the same
run, by the straightforward pure-Python decoder below, which builds the
same dictionaries and tuples (the run checks that both give equal results):

  GOOSE   a typical frame of 30 data set entries (ten structures of stVal,
          q and t; ten floats; ten integers) from valdrin.goose, decoded
          leniently and strictly with decode_goose_frame;
  SV      a 9-2-style frame of 8 ASDUs of 8 channels from valdrin.sv,
          decoded with decode_sv_frame; its ASDUs repeat svID, datSet,
          confRev, smpSynch and smpRate, as a merging unit's do;
  SV, varied  the same shape with every ASDU field different from the
          ASDU before (the native decoder shares repeated field objects
          between neighbouring ASDUs, so this is its slowest case; shown,
          not held to the target).

Reported: µs per call (best of several repetitions, dictionaries included)
and how many times faster the native call is. The target is 10x or more.

Usage: python3 bench/decode_python_bench.py [--calls N] [--repeat R]
(install the package first: python3 -m pip install --no-build-isolation .)
"""

from __future__ import annotations

import argparse
import struct
import sys
import timeit

import valdrin_rt
from valdrin import data, sv
from valdrin.goose import GoosePDU

# --- a straightforward pure-Python decoder --------------------------------------


def read_tlv(buf: bytes, pos: int, end: int) -> tuple[int, int, int]:
    """(tag, content start, content end) of the TLV at pos, confined to end."""
    if pos >= end:
        raise ValueError("missing tag")
    tag = buf[pos]
    pos += 1
    if tag & 0x1F == 0x1F:
        while True:
            if pos >= end:
                raise ValueError("truncated high-number tag")
            octet = buf[pos]
            pos += 1
            tag = 0xFFFFFFFF if tag >= 0x01000000 else tag << 8 | octet
            if not octet & 0x80:
                break
    if pos >= end:
        raise ValueError("missing length")
    length = buf[pos]
    pos += 1
    if length == 0x80:
        raise ValueError("indefinite length is not supported")
    if length > 0x80:
        count = length - 0x80
        if pos + count > end:
            raise ValueError("truncated long-form length")
        length = int.from_bytes(buf[pos:pos + count], "big")
        pos += count
    if length > end - pos:
        raise ValueError(f"TLV 0x{tag:X} truncated: needs {length} bytes, {end - pos} left")
    return tag, pos, pos + length


def parse_frame(raw: bytes, ethertype: int):
    if len(raw) < 14:
        return None
    vlan_id = vlan_priority = None
    h = 14
    if raw[12:14] == b"\x81\x00":
        if len(raw) < 18:
            return None
        tci = int.from_bytes(raw[14:16], "big")
        vlan_priority, vlan_id = tci >> 13, tci & 0x0FFF
        h = 18
    if int.from_bytes(raw[h - 2:h], "big") != ethertype or len(raw) - h < 8:
        return None
    app_id, length, reserved1, reserved2 = struct.unpack_from(">HHHH", raw, h)
    if length < 8 or length > len(raw) - h:
        return None
    header = {
        "dst_mac": raw[0:6], "src_mac": raw[6:12], "vlan_id": vlan_id, "vlan_priority": vlan_priority,
        "app_id": app_id, "reserved1": reserved1, "reserved2": reserved2,
    }
    return header, raw[h + 8:h + length]


def count_tlvs(buf: bytes, pos: int, end: int) -> int:
    count = 0
    while pos < end:
        pos = read_tlv(buf, pos, end)[2]
        count += 1
    return count


def check_sequence(buf: bytes, start: int, end: int) -> int:
    top = count_tlvs(buf, start, end)
    pos = start
    while pos < end:
        tag, s, e = read_tlv(buf, pos, end)
        if tag in (0xA1, 0xA2):
            count_tlvs(buf, s, e)
            pos = s
        else:
            pos = e
    return top


def data_tuples(buf: bytes, pos: int, end: int) -> list:
    out = []
    while pos < end:
        tag, s, e = read_tlv(buf, pos, end)
        c = buf[s:e]
        pos = e
        if tag in (0xA1, 0xA2):
            out.append(("array" if tag == 0xA1 else "struct", count_tlvs(buf, s, e)))
            pos = s
        elif tag in (0x1A, 0x80, 0x8A):
            out.append(("visible", c))
        elif tag == 0x83:
            out.append(("bool", bool(c) and c[0] != 0))
        elif tag == 0x84:
            out.append(("bits", c[1:], c[0]) if c else ("bits", b"", 0))
        elif tag == 0x85:
            v = int.from_bytes(c, "big", signed=True) if c else 0
            out.append(("int", v) if -2**63 <= v < 2**63 else ("raw", tag, c))
        elif tag == 0x86:
            v = int.from_bytes(c, "big")
            out.append(("uint", v) if v < 2**64 else ("raw", tag, c))
        elif tag == 0x87 and len(c) == 5:
            out.append(("f32", int.from_bytes(c[1:], "big")))
        elif tag == 0x87 and len(c) == 9:
            out.append(("f64", struct.unpack(">d", c[1:])[0]))
        elif tag == 0x89:
            out.append(("octets", c))
        elif tag == 0x8C and len(c) == 6:
            out.append(("btime", c))
        elif tag == 0x8F:
            out.append(("mms", c))
        elif tag == 0x91 and len(c) >= 8:
            out.append(("utc", c[:8]))
        else:
            out.append(("raw", tag, c))
    return out


NAMES = ["gocbRef", "timeAllowedtoLive", "datSet", "goID", "t", "stNum", "sqNum", "simulation", "confRev",
         "ndsCom", "numDatSetEntries", "allData"]
MANDATORY = [0, 1, 2, 4, 5, 6, 8, 10]


def unsigned(content: bytes, name: str) -> int:
    if not content:
        raise ValueError(f"empty INTEGER ({name})")
    value = int.from_bytes(content, "big")
    if value >= 2**64:
        raise ValueError(f"{name} above 64 bits")
    return value


def decode_goose_pdu(apdu: bytes) -> dict:
    tag, start, end = read_tlv(apdu, 0, len(apdu))
    if tag != 0x61:
        raise ValueError(f"expected tag 0x61, found 0x{tag:X}")
    fields = {}
    pos = start
    while pos < end:
        tag, s, e = read_tlv(apdu, pos, end)
        number = tag & 0x1F  # one-octet identifiers only, as this frame has
        if number < 12:
            fields[number] = (s, e)
        pos = e
    for number in MANDATORY:
        if number not in fields:
            raise ValueError(f"missing mandatory GOOSE field {NAMES[number]}")

    def content(number):
        s, e = fields[number]
        return apdu[s:e]

    tal = unsigned(content(1), NAMES[1])
    t = content(4)
    if len(t) < 8:
        raise ValueError("utc-time needs 8 bytes")
    st_num, sq_num = unsigned(content(5), NAMES[5]), unsigned(content(6), NAMES[6])
    simulation = 7 in fields and content(7)[:1] not in (b"", b"\x00")
    conf_rev = unsigned(content(8), NAMES[8])
    nds_com = 9 in fields and content(9)[:1] not in (b"", b"\x00")
    entries_declared = unsigned(content(10), NAMES[10])
    s, e = fields.get(11, (end, end))
    entries = check_sequence(apdu, s, e)
    return {
        "gocb_ref": content(0), "time_allowed_to_live": tal, "dat_set": content(2),
        "go_id": content(3) if 3 in fields else None, "t": t[:8], "st_num": st_num, "sq_num": sq_num,
        "simulation": simulation, "conf_rev": conf_rev, "nds_com": nds_com,
        "num_dat_set_entries": entries_declared, "entries": entries, "all_data": data_tuples(apdu, s, e),
    }


def decode_goose_frame(raw: bytes):
    parsed = parse_frame(raw, 0x88B8)
    if parsed is None:
        return None
    header, apdu = parsed
    if not apdu:
        raise ValueError("GOOSE header too short or with an inconsistent Length")
    return header, decode_goose_pdu(apdu)


def decode_asdu(buf: bytes, start: int, end: int) -> dict:
    f = {}
    pos = start
    while pos < end:
        tag, s, e = read_tlv(buf, pos, end)
        if 0x80 <= tag <= 0x89:
            f[tag - 0x80] = buf[s:e]
        pos = e
    for slot, name in ((0, "svID"), (2, "smpCnt"), (3, "confRev"), (5, "smpSynch"), (7, "sample")):
        if slot not in f:
            raise ValueError(f"ASDU without {name}")
    refr_tm = f.get(4)
    if refr_tm is not None:
        if len(refr_tm) < 8:
            raise ValueError(f"TLV 0x84 truncated: needs 8 bytes, {len(refr_tm)} left")
        refr_tm = (int.from_bytes(refr_tm[:4], "big"), int.from_bytes(refr_tm[4:7], "big"), refr_tm[7])
    for slot, name, size in ((2, "smpCnt", 2), (3, "confRev", 4), (5, "smpSynch", 1), (6, "smpRate", 2),
                             (8, "smpMod", 2)):
        if slot in f and len(f[slot]) != size:
            raise ValueError(f"{name} must be {size} bytes, got {len(f[slot])}")
    u = lambda slot: int.from_bytes(f[slot], "big") if slot in f else None  # noqa: E731
    return {
        "sv_id": f[0], "dat_set": f.get(1), "smp_cnt": u(2), "conf_rev": u(3), "refr_tm": refr_tm,
        "smp_synch": u(5), "smp_rate": u(6), "sample": f[7], "smp_mod": u(8), "gm_identity": f.get(9),
    }


def decode_sv_pdu(apdu: bytes):
    tag, start, end = read_tlv(apdu, 0, len(apdu))
    if tag != 0x60:
        raise ValueError(f"expected tag 0x60, found 0x{tag:X}")
    no_asdu = security = None
    asdus = []
    pos = start
    while pos < end:
        tag, s, e = read_tlv(apdu, pos, end)
        if tag == 0x80:
            no_asdu = int.from_bytes(apdu[s:e], "big")
        elif tag == 0xA1:
            security = apdu[s:e]
        elif tag == 0xA2:
            inner = s
            while inner < e:
                t, a, b = read_tlv(apdu, inner, e)
                if t != 0x30:
                    raise ValueError(f"expected tag 0x30, found 0x{t:X}")
                asdus.append(decode_asdu(apdu, a, b))
                inner = b
        pos = e
    if no_asdu is None:
        raise ValueError("SavPdu without noASDU")
    if no_asdu != len(asdus):
        raise ValueError(f"noASDU={no_asdu} but {len(asdus)} ASDUs present")
    return security, asdus


def decode_sv_frame(raw: bytes):
    parsed = parse_frame(raw, 0x88BA)
    if parsed is None:
        return None
    header, apdu = parsed
    return header, decode_sv_pdu(apdu)


# --- the frames ---------------------------------------------------------------------


def goose_frame() -> bytes:
    values = []
    for i in range(10):
        quality = b"\x40\x00" if i % 2 else b"\x00\x00"
        values.append(data.StructureData([
            data.BoolData(i % 2 == 0), data.BitStringData(quality, 3),
            data.TimestampData(1_700_000_000 + i + (0x35C28F * i & 0xFFFFFF) / 2**24, 0x0A),
        ]))
    values += [data.FloatData(230.5 + 1.25 * i) for i in range(10)]
    values += [data.IntData(i * 1000 - 3000) for i in range(10)]
    message = GoosePDU("IED1CTRL/LLN0$GO$gcbStatus", "IED1CTRL/LLN0$StatusDs", go_id="IED1_Status",
                       timestamp=1_700_000_000.25, time_quality=0x0A, st_num=12, sq_num=3456, all_data=values)
    return message.encode_frame(b"\x01\x0c\xcd\x01\x00\x01", b"\x00\x1b\x44\x11\x3a\xb7", 0x0001, 1, 4)


def sv_frame() -> bytes:
    waves = [sv.Wave(amplitude=1000.0 * (i + 1), phase_deg=120.0 * i, quality=i) for i in range(8)]
    stream = sv.Stream("MU01", waves, dat_set="IED1MU/LLN0$PhsMeas1", vlan_id=0, vlan_priority=4)
    return sv.encode_frame(stream, 8).frame


def tlv(tag: int, content: bytes) -> bytes:
    """A one-octet tag, a short- or long-form length, the content."""
    if len(content) < 0x80:
        return bytes([tag, len(content)]) + content
    size = len(content).to_bytes((len(content).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + content


def sv_frame_varied() -> bytes:
    """8 ASDUs of 8 channels, each differing from the one before in every field present."""
    asdus = b"".join(tlv(0x30, tlv(0x80, b"MU%02d" % i) + tlv(0x81, b"IED1MU/LLN0$PhsMeas%d" % i)
                         + tlv(0x82, (3990 + i).to_bytes(2, "big")) + tlv(0x83, (i + 1).to_bytes(4, "big"))
                         + tlv(0x85, bytes([i % 3])) + tlv(0x86, (4000 + i).to_bytes(2, "big"))
                         + tlv(0x87, bytes(range(i, i + 64))) + tlv(0x88, (i % 2).to_bytes(2, "big")))
                     for i in range(8))
    apdu = tlv(0x60, tlv(0x80, b"\x08") + tlv(0xA2, asdus))
    header = b"\x01\x0c\xcd\x04\x00\x01" + b"\x00\x1b\x44\x11\x3a\xb7" + b"\x81\x00\x80\x00\x88\xba"
    return header + struct.pack(">HHHH", 0x4000, len(apdu) + 8, 0, 0) + apdu


# --- timing ----------------------------------------------------------------------


def best_us(call, calls: int, repeat: int) -> float:
    return min(timeit.repeat(call, number=calls, repeat=repeat)) / calls * 1e6


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=5000, help="calls per repetition (default 5000)")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions; the best counts (default 7)")
    args = parser.parse_args()

    goose, sv_raw, sv_varied = goose_frame(), sv_frame(), sv_frame_varied()
    cases = [  # name, native call, pure-Python call, held to the target
        ("GOOSE frame, lenient", lambda: valdrin_rt.decode_goose_frame(goose), lambda: decode_goose_frame(goose),
         True),
        ("GOOSE frame, strict", lambda: valdrin_rt.decode_goose_frame(goose, True), lambda: decode_goose_frame(goose),
         True),
        ("SV frame, 8 ASDUs x 8 ch", lambda: valdrin_rt.decode_sv_frame(sv_raw), lambda: decode_sv_frame(sv_raw),
         True),
        ("SV frame, varied ASDUs", lambda: valdrin_rt.decode_sv_frame(sv_varied),
         lambda: decode_sv_frame(sv_varied), False),
    ]
    print(f"GOOSE frame of {len(goose)} octets (30 entries), SV frame of {len(sv_raw)} octets; "
          f"Python {sys.version.split()[0]}, best of {args.repeat} x {args.calls} calls")
    print(f"  {'':26} {'valdrin_rt':>12} {'pure Python':>12} {'speed-up':>9}")
    worst = float("inf")
    for name, native, pure, held in cases:
        if native() != pure():
            print(f"{name}: the two decoders disagree", file=sys.stderr)
            return 1
        native_us = best_us(native, args.calls, args.repeat)
        pure_us = best_us(pure, max(1, args.calls // 10), args.repeat)
        if held:
            worst = min(worst, pure_us / native_us)
        print(f"  {name:26} {native_us:9.2f} µs {pure_us:9.2f} µs {pure_us / native_us:8.1f}x"
              f"{'' if held else '  (not held to the target)'}")
    print(f"smallest speed-up {worst:.1f}x of the frames held to the target (10x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
