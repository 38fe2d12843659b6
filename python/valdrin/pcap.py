"""Capture files: a reader for classic pcap and pcapng, and the pcap writer.

:func:`read_pcap` yields the packets of a capture as :class:`Packet`
``(timestamp_ns, linktype, data)`` tuples, from either format in either byte
order: classic pcap with micro- or nanosecond timestamps, and pcapng with
its Section Header, Interface Description (``if_tsresol`` and
``if_tsoffset`` honoured), Enhanced Packet, Simple Packet and the old Packet
blocks; other pcapng blocks are skipped. The reading is native
(``valdrin_rt.CaptureReader``, in bounded chunks), handed over in batches;
gzip-compressed captures are read through :mod:`gzip`. A file that is
neither format, or that ends in the middle of a header or a packet, raises
:class:`ValueError` with a one-line message (after the packets before the
fault have been yielded).

:func:`write_pcap` writes a publisher's frames, and :func:`write_header` and
:func:`write_record` any frames, as classic little-endian pcap with
nanosecond timestamps (the format Wireshark and tcpdump read without
losing the sub-microsecond send times of SV frames).
"""

from __future__ import annotations

import gzip
import io
import os
import struct
import zlib
from typing import TYPE_CHECKING, BinaryIO, Iterator, NamedTuple, Union

if TYPE_CHECKING:
    import valdrin_rt

    from .sv import Publisher

__all__ = [
    "LINKTYPE_ETHERNET",
    "PCAP_MAGIC_NS",
    "PCAP_SNAPLEN",
    "Packet",
    "open_capture",
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

_BATCH = 4096
_GZIP_MAGIC = b"\x1f\x8b"


class _Gunzip:
    """A gzip-compressed capture's read(n), a fault of its compression a ValueError of one line."""

    def __init__(self, file: gzip.GzipFile) -> None:
        self._file = file

    def read(self, size: int) -> bytes:
        try:
            # One decompression step at a time: a cut stream then loses no octet decompressed before the cut.
            return self._file.read1(size)
        except EOFError:
            raise ValueError("capture ends inside its gzip compression: the frames before it are reported") from None
        except (zlib.error, gzip.BadGzipFile) as error:
            raise ValueError(f"gzip: {error}") from None


def open_capture(source: Source) -> "valdrin_rt.CaptureReader":
    """The native reader of a capture: ``source`` as for :func:`read_pcap`.

    A gzip-compressed file (by its first two octets) is read through
    :mod:`gzip`, in chunks. Raises OSError when a path cannot be opened or
    is a directory.
    """
    import valdrin_rt

    if isinstance(source, (bytes, bytearray, memoryview)):
        source = io.BytesIO(bytes(source))
    if isinstance(source, (str, os.PathLike)):
        compressed = False
        if os.path.isfile(source):  # a pipe's first octets must not be taken away
            with open(source, "rb") as probe:
                compressed = probe.read(2) == _GZIP_MAGIC
        return valdrin_rt.CaptureReader(_Gunzip(gzip.open(source, "rb")) if compressed else source)
    peek = getattr(source, "peek", None)
    if peek is not None and peek(2)[:2] == _GZIP_MAGIC:
        source = _Gunzip(gzip.GzipFile(fileobj=source, mode="rb"))
    return valdrin_rt.CaptureReader(source)


def read_pcap(source: Source) -> Iterator[Packet]:
    """The packets of a classic pcap or pcapng capture, in file order.

    ``source`` is a binary file object, the file's contents as bytes, or a
    path; gzip-compressed captures are read too. Raises ValueError (one line)
    for a file of another format and for a truncated or malformed one, after
    the packets before the fault, and OSError when the file cannot be opened.
    """
    reader = open_capture(source)
    make = Packet._make
    while batch := reader.read(_BATCH):
        yield from map(make, batch)


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


def write_prp_pcaps(out_a: BinaryIO, out_b: BinaryIO, publisher: Publisher, periods: int) -> int:
    """Writes ``periods`` frame periods of ``publisher`` as its PRP node sends them: every
    frame on LAN A (``out_a``) and LAN B (``out_b``) with its trailer, one sequence number
    per source MAC from 0, and after a period's frames each source MAC's supervision frame,
    at the first period and then every ``valdrin_rt.PRP_SUPERVISION_INTERVAL_NS``.
    Returns the stream frames written to each file."""
    import valdrin_rt

    write_header(out_a)
    write_header(out_b)
    lans = ((out_a, "A"), (out_b, "B"))
    seqs: dict[bytes, int] = {}  # the next sequence number of each source MAC
    sup_seqs: dict[bytes, int] = {}
    next_supervision: int | None = None
    per_period = len(publisher.streams)
    written = 0
    for due_ns, frame in publisher.frames(periods):
        src = bytes(frame[6:12])
        seq = seqs.get(src, 0)
        seqs[src] = (seq + 1) % 65536
        for out, lan in lans:
            write_record(out, due_ns, valdrin_rt.prp_trailer(frame, seq, lan))
        written += 1
        if written % per_period or (next_supervision is not None and due_ns < next_supervision):
            continue
        next_supervision = due_ns + valdrin_rt.PRP_SUPERVISION_INTERVAL_NS
        for mac, seq in seqs.items():
            seqs[mac] = (seq + 1) % 65536
            sup_seq = sup_seqs[mac] = (sup_seqs.get(mac, -1) + 1) % 65536
            for out, lan in lans:
                write_record(out, due_ns, valdrin_rt.prp_supervision(mac, sup_seq, seq, lan))
    return written
