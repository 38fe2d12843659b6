#!/usr/bin/env python3
"""GOOSE encoding from Python: valdrin_rt.encode_goose_frame against a pure-Python encoder.

The PDU is a typical one of 30 data set entries, as in goose_encode_bench.cpp:
ten structures of stVal (BOOLEAN), q (13-bit BIT STRING) and t (UtcTime),
ten FLOAT32 and ten INT values, with a goID and an 802.1Q tag. Both encoders
turn the same GoosePDU object into the same frame (checked octet for
octet before timing), in the same run, interleaved over several
repetitions; the best repetition of each is reported in µs per frame,
with the ratio.

Usage: python3 bench/goose_python_bench.py [--calls N] [--repetitions R]
(install the package first: python3 -m pip install --no-build-isolation .)
"""

from __future__ import annotations

import argparse
import struct
import sys
import time

import valdrin_rt
from valdrin.data import (
    BitStringData, BoolData, FloatData, IntData, StructureData, TimestampData, encode_utc_time,
)
from valdrin.goose import GoosePDU

DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("001b44113ab7")
APP_ID = 0x0001
VLAN_ID, VLAN_PRIORITY = 1, 4
TARGET_RATIO = 20.0


def typical_pdu() -> GoosePDU:
    quality = [b"\x00\x00", b"\x40\x00"]
    values = []
    for i in range(10):
        values.append(StructureData([
            BoolData(i % 2 == 0),
            BitStringData(quality[i % 2], 3),
            TimestampData(1_700_000_000 + i + (0x35C28F * i & 0xFFFFFF) / 2**24, 0x0A),
        ]))
    values += [FloatData(230.5 + 1.25 * i) for i in range(10)]
    values += [IntData(i * 1000 - 3000) for i in range(10)]
    return GoosePDU(
        gocb_ref="IED1CTRL/LLN0$GO$gcbStatus", dat_set="IED1CTRL/LLN0$StatusDs", go_id="IED1_Status",
        time_allowed_to_live=2000, timestamp=1_700_000_000.25, time_quality=0x0A,
        st_num=1, sq_num=0, conf_rev=1, num_dat_set_entries=30, all_data=values)


# --- The pure-Python encoder ------------------------------------------------------


def tlv(tag: int, content: bytes) -> bytes:
    n = len(content)
    head = tag.to_bytes(max(1, (tag.bit_length() + 7) // 8), "big")
    if n < 0x80:
        return head + bytes([n]) + content
    size = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return head + bytes([0x80 | len(size)]) + size + content


def unsigned(n: int) -> bytes:
    return n.to_bytes(n.bit_length() // 8 + 1, "big")


def signed(n: int) -> bytes:
    return n.to_bytes((n + (n < 0)).bit_length() // 8 + 1, "big", signed=True)


def encode_data(value) -> bytes:
    name = type(value).__name__
    if name == "BoolData":
        return tlv(0x83, b"\xff" if value.value else b"\x00")
    if name == "IntData":
        return tlv(0x85, signed(value.value))
    if name == "UIntData":
        return tlv(0x86, unsigned(value.value))
    if name == "FloatData":
        if value.double:
            return tlv(0x87, b"\x0b" + struct.pack(">d", value.value))
        return tlv(0x87, b"\x08" + struct.pack(">f", value.value))
    if name == "BitStringData":
        return tlv(0x84, bytes([value.unused_bits]) + bytes(value.value))
    if name == "OctetStringData":
        return tlv(0x89, bytes(value.value))
    if name == "VisibleStringData":
        return tlv(0x8A, value.value.encode("ascii", "replace"))
    if name == "MmsStringData":
        return tlv(0x8F, value.value.encode())
    if name == "TimestampData":
        return tlv(0x91, encode_utc_time(value.value, value.quality))
    if name == "StructureData":
        return tlv(0xA2, b"".join([encode_data(member) for member in value.members]))
    if name == "ArrayData":
        return tlv(0xA1, b"".join([encode_data(element) for element in value.elements]))
    if name == "RawData":
        return tlv(value.tag, bytes(value.value))
    raise ValueError(f"not an IEC 61850 Data value: {name}")


def python_encode_frame(pdu, dst_mac, src_mac, app_id, vlan_id=None, vlan_priority=None) -> bytes:
    fields = [tlv(0x80, pdu.gocb_ref.encode("ascii")),
              tlv(0x81, unsigned(pdu.time_allowed_to_live)),
              tlv(0x82, pdu.dat_set.encode("ascii"))]
    if pdu.go_id is not None:
        fields.append(tlv(0x83, pdu.go_id.encode("ascii")))
    fields += [tlv(0x84, encode_utc_time(pdu.timestamp, pdu.time_quality)),
               tlv(0x85, unsigned(pdu.st_num)),
               tlv(0x86, unsigned(pdu.sq_num)),
               tlv(0x87, b"\xff" if pdu.simulation else b"\x00"),
               tlv(0x88, unsigned(pdu.conf_rev)),
               tlv(0x89, b"\xff" if pdu.nds_com else b"\x00"),
               tlv(0x8A, unsigned(pdu.num_dat_set_entries)),
               tlv(0xAB, b"".join([encode_data(value) for value in pdu.all_data]))]
    apdu = tlv(0x61, b"".join(fields))
    tag = b"" if vlan_id is None else struct.pack(">HH", 0x8100, (vlan_priority or 0) << 13 | vlan_id)
    return (bytes(dst_mac) + bytes(src_mac) + tag
            + struct.pack(">HHHHH", 0x88B8, app_id, len(apdu) + 8, 0, 0) + apdu)


# --- Timing ------------------------------------------------------------------------


def time_per_call_us(encode, pdu, calls: int) -> float:
    args = (pdu, DST, SRC, APP_ID, VLAN_ID, VLAN_PRIORITY)
    start = time.perf_counter_ns()
    for _ in range(calls):
        encode(*args)
    return (time.perf_counter_ns() - start) / calls / 1000


def time_utc_calls_us(pdu, calls: int) -> float:
    """The time that the PDU's encode_utc_time calls (its t and every TimestampData) take alone."""
    pairs = [(pdu.timestamp, pdu.time_quality)] + [
        (member.value, member.quality)
        for value in pdu.all_data if type(value).__name__ == "StructureData"
        for member in value.members if type(member).__name__ == "TimestampData"]
    start = time.perf_counter_ns()
    for _ in range(calls):
        for value, quality in pairs:
            encode_utc_time(value, quality)
    return (time.perf_counter_ns() - start) / calls / 1000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000, help="calls of the module per repetition")
    parser.add_argument("--repetitions", type=int, default=7)
    options = parser.parse_args()

    pdu = typical_pdu()
    native = valdrin_rt.encode_goose_frame(pdu, DST, SRC, APP_ID, VLAN_ID, VLAN_PRIORITY)
    python = python_encode_frame(pdu, DST, SRC, APP_ID, VLAN_ID, VLAN_PRIORITY)
    assert native == python, "the two encoders disagree"

    # The pure-Python encoder is far slower: fewer calls take about as long.
    python_calls = max(1, options.calls // 20)
    best_native = best_python = best_utc = float("inf")
    for _ in range(options.repetitions):
        best_native = min(best_native, time_per_call_us(valdrin_rt.encode_goose_frame, pdu, options.calls))
        best_python = min(best_python, time_per_call_us(python_encode_frame, pdu, python_calls))
        best_utc = min(best_utc, time_utc_calls_us(pdu, options.calls))

    ratio = best_python / best_native
    print(f"GOOSE frame of {len(native)} octets, 30 data set entries (10 structures, 10 floats, 10 ints)")
    print(f"  valdrin_rt.encode_goose_frame  {best_native:8.2f} µs/call")
    print(f"    of which the 11 calls of valdrin.data.encode_utc_time  {best_utc:.2f} µs")
    print(f"  pure-Python encoder            {best_python:8.2f} µs/call")
    print(f"  ratio                          {ratio:8.1f}x  (target >= {TARGET_RATIO:.0f}x)")
    print(f"  ratio without the encode_utc_time calls in both  "
          f"{(best_python - best_utc) / (best_native - best_utc):.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
