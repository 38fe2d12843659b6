"""Decoded values as the capture listing shows them to people (valdrin.cli.text)."""

import math
import random
import struct

import pytest

from valdrin.cli.text import _f32, _value


@pytest.mark.parametrize(
    "item, text",
    [
        (("f32", 0x3F800000), "f32 1.0"),
        (("f32", 0x80000000), "f32 -0.0"),
        (("f32", 0x7F7FFFFF), "f32 3.4028235e+38"),
        (("f32", 0x00000001), "f32 1e-45"),
        (("f32", 0x7F800000), "f32 inf"),
        (("f32", 0xFF800000), "f32 -inf"),
        (("f32", 0x7FC00001), "f32 nan (0x7fc00001)"),
        (("f32", 0x4B189680), "f32 10000000.0"),
        (("f64", 0.1), "f64 0.1"),
        (("bits", b"", 0), "bits (empty)"),
        (("bits", b"\x80\x01", 0), "bits 1000000000000001"),
        (("bits", b"\xff", 7), "bits 1"),
        (("bits", b"\xff", 9), "bits ff (9 unused bits)"),
        (("bits", b"", 3), "bits (empty) (3 unused bits)"),
        (("visible", b"a\\\x00\x7f"), 'visible "a\\\\\\x00\\x7f"'),
        (("mms", b"\xff"), 'mms "\\xff"'),
        (("mms", "a\nb".encode()), 'mms "a\\x0ab"'),
        (("octets", b""), "octets (empty)"),
        (("utc", bytes.fromhex("00000000ffffff5f")),
         "utc 1970-01-01T00:00:00.999999940Z quality 0x5f (clock failure, accuracy unspecified)"),
        (("btime", b"\x05\x26\x58\x18\x00\x00"), "btime 1984-01-01T23:59:59.000Z (052658180000)"),
        (("raw", 0xBF21, b""), "raw tag 0xBF21 (empty)"),
        (("uint", 2**64 - 1), "uint 18446744073709551615"),
    ],
)
def test_values_for_humans(item, text):
    assert _value(item) == text


def test_f32_text_is_the_shortest_that_reads_back():
    rng = random.Random(1)
    for pattern in [rng.getrandbits(32) for _ in range(20000)] + [0x00800000, 0x3DCCCCCD, 0x477FE000]:
        octets = pattern.to_bytes(4, "big")
        (value,) = struct.unpack(">f", octets)
        if not math.isfinite(value):
            continue
        text = _f32(pattern)
        assert struct.pack(">f", float(text)) == octets, (hex(pattern), text)
        digits = len(text.split("e")[0].lstrip("-").replace(".", "").strip("0"))
        if digits > 1:  # one significant digit less no longer reads back
            shorter = float(f"{value:.{digits - 1}g}")
            assert abs(shorter) > 3.4028235e38 or struct.pack(">f", shorter) != octets, (hex(pattern), text)
