"""GOOSE PDUs that several test modules decode: one of every Data kind."""

from valdrin.data import (
    ArrayData, BitStringData, BoolData, FloatData, IntData, MmsStringData, OctetStringData,
    RawData, StructureData, TimestampData, UIntData, VisibleStringData,
)
from valdrin.goose import GoosePDU

T = 1_700_000_000  # 2023-11-14T22:13:20Z
DST = bytes.fromhex("010ccd010001")
SRC = bytes.fromhex("020000000001")

RICH = GoosePDU(
    "IED1LD0/LLN0$GO$gcb1", "IED1LD0/LLN0$DS1", "G1", timestamp=T + 0.5, time_quality=0x98, st_num=7, sq_num=3,
    time_allowed_to_live=4000, conf_rev=2, simulation=True,
    all_data=[
        BoolData(True),
        StructureData([FloatData(0.1), TimestampData(T + 0.25, 0x2A), BitStringData(b"\x40\x00", 6),
                       StructureData([IntData(5)])]),
        IntData(-3), UIntData(7), FloatData(2.0, True), OctetStringData(b"\x01\x02"), VisibleStringData('a"b'),
        MmsStringData("é"), ArrayData([IntData(1)]), RawData(0x8C, bytes.fromhex("000102030405")),
        RawData(0x8C, b"\x00\x00\x00\x01"), ArrayData([]),
    ],
)
