"""Decoded GOOSE and SV content as plain Python values, for people and scripts.

The native decoders (:func:`valdrin_rt.decode_goose_frame` and friends) stay
exact and raw: octets stay ``bytes``, a FLOAT32 stays its bit pattern and
``allData`` is a flat pre-order list of tuples. This module turns those into
what a reader expects: text as ``str``, floats as ``float``, structures and
arrays as nested lists, a UtcTime as a :class:`UtcTime` (a datetime plus its
quality), and gives every such value a JSON form (:func:`to_json`).

Kinds without a Python equivalent keep a small type of their own:
:class:`BitString`, :class:`RawValue`; a 6-octet TimeOfDay becomes a
:class:`datetime.datetime` (UTC).
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, fields
from datetime import datetime, timedelta, timezone
from operator import itemgetter
from typing import Any, Callable, Iterator, TypeVar, Union

__all__ = [
    "BitString",
    "FrameHeader",
    "RawValue",
    "UtcTime",
    "Value",
    "data_values",
    "mac_text",
    "to_json",
]

_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
_TIME_OF_DAY_EPOCH = datetime(1984, 1, 1, tzinfo=timezone.utc)  # TimeOfDay counts days from 1984-01-01
_NS = 1_000_000_000


def mac_text(octets: bytes) -> str:
    """Six octets as a lower-case MAC address, e.g. ``01:0c:cd:04:00:01``."""
    return octets.hex(":")


@dataclass(frozen=True, slots=True)
class UtcTime:
    """An IEC 61850 UtcTime: seconds since 1970, a fraction in units of 2**-24 s, a quality octet."""

    seconds: int
    fraction: int
    quality: int

    @classmethod
    def from_octets(cls, octets: bytes) -> UtcTime:
        """The UtcTime of the first eight octets of a t, refrTm or utc-time field."""
        return cls(int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:7], "big"), octets[7])

    @property
    def ns(self) -> int:
        """Nanoseconds since 1970-01-01 UTC, the fraction rounded to the nearest nanosecond."""
        return self.seconds * _NS + ((self.fraction & 0xFFFFFF) * _NS + (1 << 23) >> 24)

    @property
    def datetime(self) -> datetime:
        """The instant as an aware UTC datetime (microseconds, truncated)."""
        return _EPOCH + timedelta(microseconds=self.ns // 1000)

    @property
    def leap_seconds_known(self) -> bool:
        return bool(self.quality & 0x80)

    @property
    def clock_failure(self) -> bool:
        return bool(self.quality & 0x40)

    @property
    def clock_not_synchronized(self) -> bool:
        return bool(self.quality & 0x20)

    @property
    def accuracy_bits(self) -> int | None:
        """Significant bits of the fraction (TimeAccuracy), or None when unspecified (31)."""
        bits = self.quality & 0x1F
        return None if bits == 31 else bits

    def iso(self) -> str:
        """The instant with nanoseconds, like ``2023-11-14T22:13:20.000250000Z``."""
        return iso_ns(self.ns)

    def __str__(self) -> str:
        return f"{self.iso()} (quality 0x{self.quality:02x})"


@dataclass(frozen=True, slots=True)
class BitString:
    """A BIT STRING: its octets and the number of unused bits in the last one."""

    octets: bytes
    unused: int

    @property
    def bits(self) -> str:
        """The bits as ``0``/``1``, bit 0 (the first octet's top bit) first."""
        count = len(self.octets) * 8 - self.unused
        if not 0 <= self.unused <= 7 or count < 0:
            return ""
        return bin(int.from_bytes(self.octets, "big"))[2:].zfill(len(self.octets) * 8)[:count] if self.octets else ""

    def __len__(self) -> int:
        return max(len(self.octets) * 8 - self.unused, 0)

    def __getitem__(self, index: int) -> bool:
        """Bit ``index``, bit 0 first."""
        if not 0 <= index < len(self):
            raise IndexError("bit index out of range")
        return bool(self.octets[index // 8] & (0x80 >> index % 8))

    def __str__(self) -> str:
        return self.bits


@dataclass(frozen=True, slots=True)
class RawValue:
    """A Data element of a tag (or a length) that no Data kind reads: the tag number and its content."""

    tag: int
    content: bytes


@dataclass(frozen=True, slots=True)
class FrameHeader:
    """The link layer of a GOOSE or SV frame: MACs as text, the 802.1Q tag, the APPID header."""

    dst: str
    src: str
    vlan_id: int | None
    vlan_priority: int | None
    app_id: int
    reserved1: int
    reserved2: int

    @classmethod
    def from_native(cls, frame: dict) -> FrameHeader:
        """The header of a frame dict of the native decoders."""
        return cls(mac_text(frame["dst_mac"]), mac_text(frame["src_mac"]), frame["vlan_id"],
                   frame["vlan_priority"], frame["app_id"], frame["reserved1"], frame["reserved2"])


Value = Union[bool, int, float, str, bytes, datetime, UtcTime, BitString, RawValue, list]


def from_native(cls: type[_Record], native: dict, **converted: Any) -> _Record:
    """The dataclass ``cls`` of a native decoder's dict: each field ``converted`` gives, the others
    taken as they are from ``native``'s entry of the same name."""
    key = (cls, tuple(converted))
    taken = _taken.get(key)
    if taken is None:
        names = tuple(f.name for f in fields(cls) if f.name not in converted)  # type: ignore[arg-type]
        taken = _taken[key] = (names, itemgetter(*names))
    names, get = taken
    return cls(**converted, **dict(zip(names, get(native))))


_Record = TypeVar("_Record")
# Per dataclass and converted fields: the names taken from the dict as they are, and their getter.
_taken: dict[tuple[type, tuple[str, ...]], tuple[tuple[str, ...], Callable[[dict], tuple]]] = {}


def iso_ns(nanoseconds: int) -> str:
    """UTC time with nanoseconds, like ``2023-11-14T22:13:20.000250000Z``."""
    seconds, rest = divmod(nanoseconds, _NS)
    try:
        text = (datetime(1970, 1, 1) + timedelta(seconds=seconds)).isoformat()
    except OverflowError:
        return f"{seconds}.{rest:09d} s"
    return f"{text}.{rest:09d}Z"


def text(octets: bytes) -> str:
    """A VisibleString as str; an octet outside ASCII becomes a backslash escape."""
    return octets.decode("ascii", "backslashreplace")


def _unicode(octets: bytes) -> str:
    return octets.decode("utf-8", "backslashreplace")


def _f32(pattern: int) -> float:
    return struct.unpack(">f", pattern.to_bytes(4, "big"))[0]


def _time_of_day(octets: bytes) -> datetime | bytes:
    """A 6-octet TimeOfDay (milliseconds since midnight, days since 1984) as a datetime."""
    milliseconds, days = int.from_bytes(octets[:4], "big"), int.from_bytes(octets[4:], "big")
    try:
        return _TIME_OF_DAY_EPOCH + timedelta(days=days, milliseconds=milliseconds)
    except OverflowError:
        return octets


# One leaf Data tuple of the native decoder to its value.
_LEAVES = {
    "bool": lambda item: item[1],
    "int": lambda item: item[1],
    "uint": lambda item: item[1],
    "f64": lambda item: item[1],
    "f32": lambda item: _f32(item[1]),
    "bits": lambda item: BitString(item[1], item[2]),
    "visible": lambda item: text(item[1]),
    "mms": lambda item: _unicode(item[1]),
    "octets": lambda item: item[1],
    "utc": lambda item: UtcTime.from_octets(item[1]),
    "btime": lambda item: _time_of_day(item[1]),
    "raw": lambda item: RawValue(item[1], item[2]),
}


def data_values(items: list[tuple]) -> list[Value]:
    """The flat pre-order Data tuples of the native decoder as nested values.

    A structure or an array becomes a list of its members; a container whose
    members the list ends before holds only the members present.
    """
    values: Iterator[tuple] = iter(items)

    def one(item: tuple) -> Value:
        kind = item[0]
        if kind in ("struct", "array"):
            members: list[Value] = []
            for _ in range(item[1]):
                member = next(values, None)
                if member is None:
                    break
                members.append(one(member))
            return members
        return _LEAVES[kind](item)

    return [one(item) for item in values]


def _float_json(value: float) -> float | str:
    # JSON has no NaN or infinities: they go out as their names.
    return value if math.isfinite(value) else repr(value)


def to_json(value: Any) -> Any:
    """A decoded value (or a dataclass, dict or list of them) as plain JSON types.

    Octets become hex strings; a UtcTime ``{"utc": iso, "quality": q}``; a
    BitString ``{"bits": "0101"}``; a RawValue ``{"tag": n, "raw": hex}``; a
    datetime its ISO text; a non-finite float its name.
    """
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return _float_json(value)
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    if isinstance(value, UtcTime):
        return {"utc": value.iso(), "quality": value.quality}
    if isinstance(value, BitString):
        return {"bits": value.bits, "unused": value.unused} if not value.bits and value.octets else {"bits": value.bits}
    if isinstance(value, RawValue):
        return {"tag": value.tag, "raw": value.content.hex()}
    if isinstance(value, datetime):
        return value.isoformat().replace("+00:00", "Z")
    if isinstance(value, dict):
        return {key: to_json(member) for key, member in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_json(member) for member in value]
    fields = getattr(value, "__dataclass_fields__", None)
    if fields is not None:
        return {name: to_json(getattr(value, name)) for name in fields}
    raise TypeError(f"{type(value).__name__} has no JSON form")
