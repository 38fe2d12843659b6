"""IEC 61850 MMS Data values as GOOSE carries them in ``allData``.

One small class per MMS Data type. The native encoder
(:func:`valdrin_rt.encode_goose_pdu` and :func:`valdrin_rt.encode_goose_frame`)
recognises a value by the name of its class and reads its attributes, and
checks the values itself: these classes store what they are given.

==================  =========================  ==============================
class               attributes                 encoded as (context tag)
==================  =========================  ==============================
BoolData            value                      boolean (83), FF or 00
IntData             value (signed 64-bit)      integer (85), minimal form
UIntData            value (unsigned 64-bit)    unsigned (86), minimal form
FloatData           value, double              floating-point (87): 08 and an
                                               IEEE single, or 0B and a double
BitStringData       value, unused_bits         bit-string (84)
OctetStringData     value                      octet-string (89)
VisibleStringData   value (str)                visible-string (8A), one octet
                                               per character, "?" above 127
MmsStringData       value (str)                MMSString (8F), UTF-8
TimestampData       value, quality             utc-time (91), 8 octets from
                                               :func:`encode_utc_time`
StructureData       members                    structure (A2)
ArrayData           elements                   array (A1)
RawData             tag, value                 any tag with the given content
==================  =========================  ==============================

Structures and arrays nest at most 32 deep.
"""

from __future__ import annotations

import math
import operator
import struct
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Sequence, Union

__all__ = [
    "ArrayData",
    "BitStringData",
    "BoolData",
    "CLOCK_FAILURE",
    "CLOCK_NOT_SYNCHRONIZED",
    "Data",
    "FloatData",
    "IntData",
    "LEAP_SECONDS_KNOWN",
    "MmsStringData",
    "OctetStringData",
    "RawData",
    "StructureData",
    "TimestampData",
    "UIntData",
    "VisibleStringData",
    "encode_utc_time",
]

# --- UtcTime ---------------------------------------------------------------

# TimeQuality octet: three flags, then the number of significant bits of the
# fraction (TimeAccuracy, 0 to 24, 31 unspecified) in the low five bits.
LEAP_SECONDS_KNOWN = 0x80
CLOCK_FAILURE = 0x40
CLOCK_NOT_SYNCHRONIZED = 0x20

_EPOCH = datetime(1970, 1, 1)
_EPOCH_UTC = datetime(1970, 1, 1, tzinfo=timezone.utc)
_FRACTION_ONE = 1 << 24  # the fraction counts 2**-24 s
_MICROSECONDS = 1_000_000
_SECONDS_MAX = 0xFFFF_FFFF

Timestamp = Union[datetime, int, float]


def _quality(quality: Any) -> int:
    if type(quality) is not int:
        if isinstance(quality, bool):
            raise TypeError("time quality must be an integer, not bool")
        try:
            quality = operator.index(quality)
        except TypeError:
            raise TypeError(f"time quality must be an integer, not {type(quality).__name__}") from None
    if not 0 <= quality <= 0xFF:
        raise ValueError(f"time quality must be between 0 and 255, got {quality}")
    return quality


def _split(value: Any) -> tuple[int, int]:
    """``value`` as whole seconds since 1970 and a fraction in units of 2**-24 s."""
    if isinstance(value, datetime):
        delta = value - (_EPOCH if value.tzinfo is None else _EPOCH_UTC)
        seconds = delta.days * 86400 + delta.seconds
        # microseconds * 2**24 / 10**6 is never half-way between two
        # integers (2**24 * us is a multiple of 64, 500000 is not), so
        # adding half and flooring rounds to nearest exactly.
        return seconds, (delta.microseconds * _FRACTION_ONE + _MICROSECONDS // 2) // _MICROSECONDS
    if isinstance(value, bool):
        raise TypeError("timestamp must be a datetime or POSIX seconds, not bool")
    if isinstance(value, int):
        return value, 0
    if isinstance(value, float) or hasattr(value, "__float__"):
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"timestamp must be finite, got {number!r}")
        seconds = math.floor(number)
        # number - seconds and the scaling by 2**24 are exact in binary
        # floating point; round() then rounds half to even.
        fraction = round((number - seconds) * _FRACTION_ONE)
        if fraction == _FRACTION_ONE:
            return seconds + 1, 0
        return seconds, fraction
    raise TypeError(f"timestamp must be a datetime or POSIX seconds, not {type(value).__name__}")


_pack_utc = struct.Struct(">II").pack  # seconds; fraction and quality
_pack_word = struct.Struct(">Q").pack  # seconds, fraction and quality in one word
_TICKS_END = 1 << 56  # 2**32 seconds in units of 2**-24 s


def encode_utc_time(value: Timestamp, quality: int) -> bytes:
    """The eight octets of an IEC 61850 UtcTime.

    ``value`` is a :class:`datetime.datetime` (naive ones are taken as UTC,
    aware ones are converted) or POSIX seconds as an ``int`` or ``float``.
    ``quality`` is the TimeQuality octet (0 to 255), for example
    ``LEAP_SECONDS_KNOWN | 24``.

    The octets are the whole seconds since 1970-01-01 00:00 UTC as 32 bits,
    then the rest of the second in units of 2**-24 s as 24 bits, then the
    quality, all big-endian. The rest of the second is rounded to the nearest
    unit, ties to even (for a float the exact binary value counts); when it
    rounds up to a whole second, the seconds grow by one and the fraction is
    0. The seconds must lie between 0 and 2**32 - 1 (1970 to early 2106).

    >>> encode_utc_time(1.5, 0x18).hex()
    '0000000180000018'
    """
    # The common cases first, in line: an int quality and POSIX seconds as
    # a float or an int in range. A float counted in units of 2**-24 s is
    # exact (a power-of-two scaling), and rounding that whole count once
    # rounds the fraction as the rule says (the whole seconds add a multiple
    # of 2**24, which keeps ties going to the even fraction) and carries a
    # fraction that rounds up to a second into the seconds. The count and
    # the quality are then the eight octets as one big-endian 64-bit word.
    if type(quality) is int and 0 <= quality <= 0xFF:
        if type(value) is float:
            if 0.0 <= value < 4294967296.0:
                ticks = round(value * 16777216.0)
                if ticks < _TICKS_END:
                    return _pack_word(ticks << 8 | quality)
        elif type(value) is int and 0 <= value <= _SECONDS_MAX:
            return _pack_word(value << 32 | quality)
    q = _quality(quality)
    seconds, fraction = _split(value)
    if not 0 <= seconds <= _SECONDS_MAX:
        raise ValueError(f"timestamp out of the UtcTime range (1970 to 2106): {value!r}")
    return _pack_utc(seconds, fraction << 8 | q)


# --- Data values -------------------------------------------------------------


@dataclass(slots=True)
class BoolData:
    """A BOOLEAN."""

    value: bool


@dataclass(slots=True)
class IntData:
    """A signed INTEGER of up to 64 bits."""

    value: int


@dataclass(slots=True)
class UIntData:
    """An unsigned integer of up to 64 bits."""

    value: int


@dataclass(slots=True)
class FloatData:
    """A FLOATING-POINT: an IEEE single (rounded to nearest), or with ``double`` an IEEE double."""

    value: float
    double: bool = False


@dataclass(slots=True)
class BitStringData:
    """A BIT STRING: ``value`` octets whose last ``unused_bits`` bits (0 to 7) are padding.

    Bit 0 is the top bit of the first octet: the IEC 61850 Quality
    ``validity`` bits, for example, are the first two.
    """

    value: bytes
    unused_bits: int = 0


@dataclass(slots=True)
class OctetStringData:
    """An OCTET STRING."""

    value: bytes


@dataclass(slots=True)
class VisibleStringData:
    """A VisibleString: characters above 127 are sent as "?"."""

    value: str


@dataclass(slots=True)
class MmsStringData:
    """An MMSString (Unicode, sent as UTF-8)."""

    value: str


@dataclass(slots=True)
class TimestampData:
    """A UtcTime: ``value`` and ``quality`` as :func:`encode_utc_time` takes them."""

    value: Timestamp
    quality: int = 0


@dataclass(slots=True)
class StructureData:
    """A structure of Data values."""

    members: Sequence[Data] = field(default_factory=list)


@dataclass(slots=True)
class ArrayData:
    """An array of Data values."""

    elements: Sequence[Data] = field(default_factory=list)


@dataclass(slots=True)
class RawData:
    """Any Data encoding: ``tag`` (its identifier octets read as one number, e.g. 0x8C) and the content."""

    tag: int
    value: bytes


Data = Union[
    BoolData,
    IntData,
    UIntData,
    FloatData,
    BitStringData,
    OctetStringData,
    VisibleStringData,
    MmsStringData,
    TimestampData,
    StructureData,
    ArrayData,
    RawData,
]
