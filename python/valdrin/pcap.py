"""Capture files: a reader for classic pcap and pcapng, and the pcap writer.

:func:`read_pcap` yields the packets of a capture as :class:`Packet`
``(timestamp_ns, linktype, data)`` tuples, from either format in either byte
order: classic pcap with micro- or nanosecond timestamps, and pcapng with
its Section Header, Interface Description (``if_tsresol`` and
``if_tsoffset`` honoured), Enhanced Packet, Simple Packet and the old Packet
blocks; other pcapng blocks are skipped. A file that is neither format, or
that ends in the middle of a header or a packet, raises :class:`ValueError`
with a one-line message (after the packets before the fault have been
yielded).

:func:`write_pcap` writes a publisher's frames, and :func:`write_header` and
:func:`write_record` any frames, as classic little-endian pcap with
nanosecond timestamps (the format Wireshark and tcpdump read without
losing the sub-microsecond send times of SV frames).
"""

from __future__ import annotations

import io
import os
import struct
from typing import TYPE_CHECKING, BinaryIO, Iterator, NamedTuple, Union

if TYPE_CHECKING:
    from .sv import Publisher

__all__ = [
    "LINKTYPE_ETHERNET",
    "PCAP_MAGIC_NS",
    "PCAP_SNAPLEN",
    "Packet",
    "read_pcap",
    "write_header",
    "write_pcap",
    "write_record",
]

LINKTYPE_ETHERNET = 1
PCAP_MAGIC_US = 0xA1B2C3D4
PCAP_MAGIC_NS = 0xA1B23C4D
PCAP_SNAPLEN = 262144

_PCAP_HEADER = struct.Struct("<IHHiIII")
_PCAP_RECORD = struct.Struct("<IIII")

# pcapng block types and option codes.
_SHB = 0x0A0D0D0A
_IDB = 0x00000001
_PB = 0x00000002  # the old Packet Block, superseded by the EPB
_SPB = 0x00000003
_EPB = 0x00000006
_BYTE_ORDER_MAGIC = 0x1A2B3C4D
_OPT_END = 0
_IF_TSRESOL = 9
_IF_TSOFFSET = 14

_CHUNK = 1 << 20


class Packet(NamedTuple):
    """One captured packet.

    ``timestamp_ns`` is nanoseconds since 1970-01-01 UTC, or ``None`` for a
    pcapng Simple Packet Block (which carries no time); ``linktype`` the
    LINKTYPE_ number of its interface (1 for Ethernet); ``data`` the
    captured octets.
    """

    timestamp_ns: int | None
    linktype: int
    data: bytes


Source = Union[BinaryIO, bytes, bytearray, memoryview, str, "os.PathLike[str]"]


# --- reading ----------------------------------------------------------------


class _Input:
    """Exact reads from a binary stream, with the offset for messages."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self._peeked = b""  # at most one octet read by at_end()
        self.offset = 0

    def _raw(self, size: int) -> bytes:
        head, self._peeked = self._peeked[:size], self._peeked[size:]
        if size <= len(head):
            return head
        if size - len(head) <= _CHUNK:
            return head + self._stream.read(size - len(head))
        # A long record is read piecewise: a corrupt length must not allocate gigabytes.
        parts, left = [head], size - len(head)
        while left:
            part = self._stream.read(min(left, _CHUNK))
            if not part:
                break
            parts.append(part)
            left -= len(part)
        return b"".join(parts)

    def read_some(self, size: int) -> bytes:
        """Up to ``size`` octets."""
        data = self._raw(size)
        self.offset += len(data)
        return data

    def read(self, size: int, what: str, start: int | None = None, before: int = 0) -> bytes:
        """``size`` octets, or ValueError naming ``what`` when the file ends first.

        The message names the offset ``start`` where ``what`` begins, of
        which ``before`` octets have been read already (default: ``what``
        begins here).
        """
        data = self._raw(size)
        if len(data) != size:
            at = self.offset if start is None else start
            raise ValueError(f"truncated {what} at offset {at}: {before + len(data)} of {before + size} octets")
        self.offset += size
        return data

    def at_end(self) -> bool:
        if not self._peeked:
            self._peeked = self._stream.read(1)
        return not self._peeked


def read_pcap(source: Source) -> Iterator[Packet]:
    """The packets of a classic pcap or pcapng capture, in file order.

    ``source`` is a binary file object, the file's contents as bytes, or a
    path. Raises ValueError for a file of another format and for a
    truncated or malformed one, and OSError when the file cannot be opened.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        yield from _read(_Input(io.BytesIO(bytes(source))))
    elif isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as stream:
            yield from _read(_Input(stream))
    else:
        yield from _read(_Input(source))


def _read(data: _Input) -> Iterator[Packet]:
    magic = data.read_some(4)
    if not magic:
        raise ValueError("empty file, not a pcap or pcapng capture")
    if magic == _SHB.to_bytes(4, "little"):
        yield from _read_pcapng(data, magic)
        return
    for order in "<>" if len(magic) == 4 else "":
        (number,) = struct.unpack(order + "I", magic)
        if number in (PCAP_MAGIC_US, PCAP_MAGIC_NS):
            yield from _read_classic(data, order, 1 if number == PCAP_MAGIC_NS else 1000)
            return
    raise ValueError(f"not a pcap or pcapng capture (starts with {magic.hex()})")


def _read_classic(data: _Input, order: str, ns_per_unit: int) -> Iterator[Packet]:
    _major, _minor, _zone, _sigfigs, _snaplen, network = struct.unpack(
        order + "HHiIII", data.read(20, "pcap file header")
    )
    # The high bits of the link-type word may carry FCS information.
    linktype = network & 0xFFFF
    record = struct.Struct(order + "IIII")
    while not data.at_end():
        seconds, fraction, captured, _length = record.unpack(data.read(16, "packet header"))
        frame = data.read(captured, "packet")
        yield Packet(seconds * 1_000_000_000 + fraction * ns_per_unit, linktype, frame)


class _Interface(NamedTuple):
    linktype: int
    snaplen: int
    # Timestamps count units of 1/divisor seconds (or 2**-shift seconds), plus offset_s.
    divisor: int
    shift: int
    offset_s: int


def _options(body: bytes, at: int, order: str) -> Iterator[tuple[int, bytes]]:
    """The (code, value) options from ``at`` to the end of a block body."""
    while at + 4 <= len(body):
        code, size = struct.unpack_from(order + "HH", body, at)
        if code == _OPT_END:
            return
        value = body[at + 4 : at + 4 + size]
        if len(value) != size:
            raise ValueError(f"pcapng option {code} runs past its block")
        yield code, value
        at += 4 + (size + 3) // 4 * 4


def _interface(body: bytes, order: str) -> _Interface:
    if len(body) < 8:
        raise ValueError("pcapng Interface Description Block too short")
    linktype, _reserved, snaplen = struct.unpack_from(order + "HHI", body)
    divisor, shift, offset_s = 1_000_000, 0, 0
    for code, value in _options(body, 8, order):
        if code == _IF_TSRESOL and len(value) >= 1:
            exponent = value[0] & 0x7F
            if value[0] & 0x80:
                divisor, shift = 1, exponent
            else:
                divisor, shift = 10**exponent, 0
        elif code == _IF_TSOFFSET and len(value) >= 8:
            (offset_s,) = struct.unpack(order + "q", value[:8])
    return _Interface(linktype, snaplen, divisor, shift, offset_s)


def _nanoseconds(units: int, interface: _Interface) -> int:
    if interface.shift:
        nanoseconds = (units * 1_000_000_000) >> interface.shift
    else:
        nanoseconds = units * 1_000_000_000 // interface.divisor
    return nanoseconds + interface.offset_s * 1_000_000_000


def _read_pcapng(data: _Input, first: bytes) -> Iterator[Packet]:
    interfaces: list[_Interface] = []
    order = "<"
    pending: bytes | None = first  # the type octets of a Section Header Block already read
    while pending is not None or not data.at_end():
        start = data.offset - (4 if pending is not None else 0)
        raw_type = pending if pending is not None else data.read(4, "pcapng block header")
        pending = None
        if raw_type == _SHB.to_bytes(4, "little"):
            # A new section: its byte-order magic decides how everything in it is read.
            what = "pcapng Section Header Block"
            head = data.read(8, what, start, 4)
            magic = head[4:]
            if magic == _BYTE_ORDER_MAGIC.to_bytes(4, "little"):
                order = "<"
            elif magic == _BYTE_ORDER_MAGIC.to_bytes(4, "big"):
                order = ">"
            else:
                raise ValueError(f"{what} at offset {start} with a bad byte-order magic {magic.hex()}")
            (length,) = struct.unpack(order + "I", head[:4])
            _check_length(length, 28, start)
            rest = data.read(length - 12, what, start, 12)
            body = magic + rest[:-4]
            interfaces = []
        else:
            (block_type,) = struct.unpack(order + "I", raw_type)
            what = f"pcapng block of type 0x{block_type:x}"
            (length,) = struct.unpack(order + "I", data.read(4, what, start, 4))
            _check_length(length, 12, start)
            rest = data.read(length - 8, what, start, 8)
            body = rest[:-4]
        (trailer,) = struct.unpack(order + "I", rest[-4:])
        if trailer != length:
            raise ValueError(f"pcapng block at offset {start}: its lengths differ ({length} and {trailer})")
        if raw_type == _SHB.to_bytes(4, "little"):
            continue
        if block_type == _IDB:
            interfaces.append(_interface(body, order))
        elif block_type in (_EPB, _PB):
            if len(body) < 20:
                raise ValueError(f"pcapng packet block at offset {start} too short")
            if block_type == _EPB:
                index, high, low, captured, _length = struct.unpack_from(order + "5I", body)
            else:
                index, _drops, high, low, captured, _length = struct.unpack_from(order + "HH4I", body)
            interface = _lookup(interfaces, index, start)
            frame = body[20 : 20 + captured]
            if len(frame) != captured:
                raise ValueError(f"pcapng packet block at offset {start}: {captured} octets captured but only {len(frame)} present")
            yield Packet(_nanoseconds(high << 32 | low, interface), interface.linktype, frame)
        elif block_type == _SPB:
            if len(body) < 4:
                raise ValueError(f"pcapng Simple Packet Block at offset {start} too short")
            interface = _lookup(interfaces, 0, start)
            (original,) = struct.unpack_from(order + "I", body)
            captured = min(original, len(body) - 4)
            if interface.snaplen:
                captured = min(captured, interface.snaplen)
            yield Packet(None, interface.linktype, body[4 : 4 + captured])
        # Any other block (name resolution, statistics, custom, ...) says nothing about packets.


def _check_length(length: int, least: int, start: int) -> None:
    if length < least or length % 4:
        raise ValueError(f"pcapng block at offset {start} with an invalid length {length}")


def _lookup(interfaces: list[_Interface], index: int, start: int) -> _Interface:
    if index >= len(interfaces):
        raise ValueError(
            f"pcapng packet block at offset {start} names interface {index}, "
            f"but {len(interfaces)} interfaces are described"
        )
    return interfaces[index]


# --- writing ----------------------------------------------------------------


def write_header(out: BinaryIO, linktype: int = LINKTYPE_ETHERNET, snaplen: int = PCAP_SNAPLEN) -> None:
    """The 24-octet header of a classic little-endian pcap file with nanosecond timestamps."""
    out.write(_PCAP_HEADER.pack(PCAP_MAGIC_NS, 2, 4, 0, 0, snaplen, linktype))


def write_record(out: BinaryIO, timestamp_ns: int, frame: bytes) -> None:
    """One packet record: ``timestamp_ns`` (0 to 2**32 s) and the whole frame."""
    seconds, nanoseconds = divmod(timestamp_ns, 1_000_000_000)
    out.write(_PCAP_RECORD.pack(seconds, nanoseconds, len(frame), len(frame)))
    out.write(frame)


def write_pcap(out: BinaryIO, publisher: Publisher, periods: int) -> int:
    """Writes ``periods`` frame periods of ``publisher`` from its start second as a pcap stream.

    Each period holds one frame of every stream, in stream order, stamped
    with the period's scheduled send time. Returns the number of frames.
    """
    write_header(out)
    written = 0
    for due_ns, frame in publisher.frames(periods):
        write_record(out, due_ns, frame)
        written += 1
    return written
