"""valdrin.pcap: classic pcap and pcapng read from hand-built files, round
trips through the writer, and the messages for files that cannot be read."""

import io
import shutil
import struct
import subprocess

import pytest

from valdrin.pcap import Packet, read_pcap, write_header, write_pcap, write_record
from valdrin.sv import Publisher, Stream, Wave

A = bytes(range(14)) + b"\x88\xb8payload"
B = b"\x01\x0c\xcd\x04\x00\x01" + b"\xee" * 20
T = 1_700_000_000  # a UNIX second


def classic(order, magic, linktype, records):
    """A classic pcap file; records are (seconds, fraction, captured octets, original length)."""
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, linktype)
    for seconds, fraction, data, length in records:
        out += struct.pack(order + "IIII", seconds, fraction, len(data), length) + data
    return out


@pytest.mark.parametrize(
    "order, magic, unit",
    [("<", 0xA1B2C3D4, 1000), (">", 0xA1B2C3D4, 1000), ("<", 0xA1B23C4D, 1), (">", 0xA1B23C4D, 1)],
    ids=["le-us", "be-us", "le-ns", "be-ns"],
)
def test_classic_pcap_both_orders_and_resolutions(order, magic, unit):
    # The link-type word's top bits carry FCS information, not the link type.
    data = classic(order, magic, 0x1000_0071, [(T, 999_999, A, len(A)), (0, 0, b"", 60), (T + 1, 5, B, 9000)])
    assert list(read_pcap(data)) == [(T * 10**9 + 999_999 * unit, 0x71, A), (0, 0x71, b""),
                                     ((T + 1) * 10**9 + 5 * unit, 0x71, B)]
    assert list(read_pcap(data[:24])) == []


# --- pcapng -------------------------------------------------------------------


def block(order, kind, body):
    body += b"\x00" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack(order + "II", kind, length) + body + struct.pack(order + "I", length)


def option(order, code, value):
    return struct.pack(order + "HH", code, len(value)) + value + b"\x00" * (-len(value) % 4)


def shb(order, options=b""):
    return block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1) + options)


def idb(order, linktype, snaplen=0, tsresol=None, tsoffset=None):
    options = b""
    if tsresol is not None:
        options += option(order, 9, bytes([tsresol]))
    if tsoffset is not None:
        options += option(order, 14, struct.pack(order + "q", tsoffset))
    if options:
        options += option(order, 2, b"eth0") + struct.pack(order + "HH", 0, 0)
    return block(order, 1, struct.pack(order + "HHI", linktype, 0, snaplen) + options)


def epb(order, interface, units, data, length=None, options=b""):
    body = struct.pack(order + "IIIII", interface, units >> 32, units & 0xFFFFFFFF, len(data),
                       len(data) if length is None else length)
    padded = data + b"\x00" * (-len(data) % 4)
    return block(order, 6, body + padded + options)


def spb(order, data, length=None):
    return block(order, 3, struct.pack(order + "I", len(data) if length is None else length) + data)


@pytest.mark.parametrize("order", "<>", ids=["le", "be"])
def test_pcapng_blocks_resolutions_and_unknown_blocks(order):
    units = T * 10**6 + 250_000
    data = (
        shb(order, option(order, 4, b"a tool") + struct.pack(order + "HH", 0, 0))
        + idb(order, 1)  # microseconds by default
        + idb(order, 1, tsresol=9, tsoffset=-10)  # nanoseconds, 10 s earlier
        + idb(order, 105, tsresol=0x80 | 10)  # 1/1024 s, not Ethernet
        + block(order, 4, b"\x00\x00\x00\x00")  # name resolution: skipped
        + epb(order, 0, units, A, options=option(order, 1, b"a comment"))
        + block(order, 0x0BAD, b"\x01\x02\x03\x04\x05")  # unknown: skipped
        + epb(order, 1, (T + 10) * 10**9 + 1, B, length=1500)
        + epb(order, 2, 3 * 1024 + 512, b"x")
        + spb(order, A[:7])
        + block(order, 2, struct.pack(order + "HHIIII", 0, 0, 0, 10**9 + 1, 3, 60) + b"abc")  # the old Packet Block
        + block(order, 5, b"")  # interface statistics: skipped
    )
    assert list(read_pcap(data)) == [
        Packet(T * 10**9 + 250_000_000, 1, A),
        Packet(T * 10**9 + 1, 1, B),
        Packet(3_500_000_000, 105, b"x"),
        Packet(None, 1, A[:7]),
        Packet((10**9 + 1) * 1000, 1, b"abc"),
    ]


def test_pcapng_sections_change_byte_order_and_interfaces():
    data = (shb("<") + idb("<", 1, tsresol=3) + epb("<", 0, 1500, A)
            + shb(">") + idb(">", 228) + epb(">", 0, 7, B))
    assert list(read_pcap(data)) == [Packet(1_500_000_000, 1, A), Packet(7000, 228, B)]


def test_simple_packet_block_is_cut_to_the_snap_length():
    # The SPB's original length is 100 but only 12 octets were kept by a snap length of 12.
    data = shb("<") + idb("<", 1, snaplen=12) + spb("<", A, length=100)
    assert list(read_pcap(data)) == [Packet(None, 1, A[:12])]


# --- sources and round trips ------------------------------------------------------


def test_writer_round_trip_from_every_kind_of_source(tmp_path):
    frames = [Packet(0, 1, b""), Packet(T * 10**9 + 999_999_999, 1, A), Packet(2**32 * 10**9 - 1, 1, B * 100)]
    out = io.BytesIO()
    write_header(out)
    for time_ns, _, frame in frames:
        write_record(out, time_ns, frame)
    data = out.getvalue()
    assert data[:24] == bytes.fromhex("4d3cb2a1 0200 0400 00000000 00000000 00000400 01000000")
    (tmp_path / "c.pcap").write_bytes(data)
    for source in (data, bytearray(data), io.BytesIO(data), tmp_path / "c.pcap", str(tmp_path / "c.pcap")):
        assert list(read_pcap(source)) == frames


def test_publisher_frames_round_trip():
    publisher = Publisher("lo", [Stream("MU01", [Wave(10.0)]), Stream("MU02", [Wave(3.0, 90.0)])],
                          rate=4000, asdus_per_frame=2, start_second=T)
    out = io.BytesIO()
    assert write_pcap(out, publisher, 2001) == 4002
    packets = list(read_pcap(out.getvalue()))
    assert len(packets) == 4002
    for k in (0, 1, 1999, 2000):  # 2000 frames per second: k = 2000 is the next second
        second, first_smp = T + k // 2000, k % 2000 * 2
        for index in range(2):
            assert packets[2 * k + index] == (second * 10**9 + first_smp * 250_000, 1,
                                              publisher.render(index, second, first_smp))


# --- files that cannot be read ------------------------------------------------------

GOOD = classic("<", 0xA1B2C3D4, 1, [(1, 2, A, len(A))])
GOOD_NG = shb("<") + idb("<", 1) + epb("<", 0, 5, A)
SHB_LEN = len(shb("<"))
IDB_LEN = len(idb("<", 1))
EPB_LEN = len(epb("<", 0, 5, A))


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "empty file, not a pcap or pcapng capture"),
        (b"\xd4\xc3", "not a pcap or pcapng capture (starts with d4c3)"),
        (b"GIF89a", "not a pcap or pcapng capture (starts with 47494638)"),
        (GOOD[:23], "capture ends inside its file header at offset 23"),
        (GOOD[:30], "capture ends inside frame 1 at offset 24: the frames before it are reported"),
        (GOOD[:-1], "capture ends inside frame 1 at offset 24: the frames before it are reported"),
        (GOOD_NG[:10], "capture ends inside a pcapng block at offset 0: the frames before it are reported"),
        (GOOD_NG[:SHB_LEN - 1], "capture ends inside a pcapng block at offset 0: the frames before it are reported"),
        (GOOD_NG[:SHB_LEN + 2], f"capture ends inside a pcapng block at offset {SHB_LEN}: the frames before it are reported"),
        (GOOD_NG[:SHB_LEN + 6], f"capture ends inside a pcapng block at offset {SHB_LEN}: the frames before it are reported"),
        (GOOD_NG[:-3], f"capture ends inside frame 1 at offset {SHB_LEN + IDB_LEN}: the frames before it are reported"),
        (GOOD_NG[:-5], f"capture ends inside frame 1 at offset {SHB_LEN + IDB_LEN}: the frames before it are reported"),
        (shb("<")[:8] + b"\x4d\x3c\x2b\x1b" + shb("<")[12:],
         "pcapng Section Header Block at offset 0 with a bad byte-order magic 4d3c2b1b"),
        (shb("<") + struct.pack("<II", 1, 14) + b"\x00" * 6, f"pcapng block at offset {SHB_LEN} with an invalid length 14"),
        (shb("<") + struct.pack("<II", 1, 8), f"pcapng block at offset {SHB_LEN} with an invalid length 8"),
        (shb("<")[:-4] + struct.pack("<I", 32), "pcapng block at offset 0: its trailing length 32 differs from its leading one"),
        (shb("<") + epb("<", 0, 5, A), f"pcapng packet block at offset {SHB_LEN} names interface 0, which no Interface Description Block describes"),
        (shb("<") + idb("<", 1) + block("<", 6, b"\x00" * 16), f"pcapng block of type 6 at offset {SHB_LEN + IDB_LEN} too short for its fields"),
        (shb("<") + idb("<", 1) + block("<", 6, struct.pack("<5I", 0, 0, 0, 99, 99) + b"\x00" * 8),
         f"pcapng packet block at offset {SHB_LEN + IDB_LEN}: 99 octets captured but fewer present"),
        (shb("<") + block("<", 1, struct.pack("<HHI", 1, 0, 0) + struct.pack("<HH", 9, 8) + b"\x06"),
         f"pcapng option 9 in the block at offset {SHB_LEN} runs past its block"),
    ],
    ids=lambda value: value[:40] if isinstance(value, str) else None,
)
def test_unreadable_files(data, message):
    with pytest.raises(ValueError) as caught:
        list(read_pcap(data))
    assert str(caught.value) == message


def test_a_corrupt_length_does_not_allocate_it():
    # A record that claims 4 GiB in a 60-octet file fails at once, without reading 4 GiB first.
    data = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1) + struct.pack("<IIII", 0, 0, 0xFFFFFFFF, 60) + A
    with pytest.raises(ValueError) as caught:
        list(read_pcap(data))
    assert str(caught.value) == "frame 1 at offset 24 claims 4294967295 octets, more than any frame (16 MiB)"


@pytest.mark.skipif(shutil.which("editcap") is None, reason="editcap (Wireshark) is not installed")
@pytest.mark.parametrize("kind, unit", [("pcapng", 1), ("pcap", 1000), ("nsecpcap", 1)])
def test_files_written_by_editcap(kind, unit, tmp_path):
    # Wireshark's editcap rewrites our capture in its own writer's format.
    packets = [Packet(T * 10**9 + 123_456_789, 1, A), Packet(T * 10**9 + 999_999_999, 1, B), Packet(5, 1, A * 3)]
    with open(tmp_path / "in.pcap", "wb") as out:
        write_header(out)
        for time_ns, _, frame in packets:
            write_record(out, time_ns, frame)
    subprocess.run(["editcap", "-F", kind, str(tmp_path / "in.pcap"), str(tmp_path / "out")], check=True,
                   capture_output=True)
    assert list(read_pcap(tmp_path / "out")) == [(t // unit * unit, 1, frame) for t, _, frame in packets]


def test_gzip_captures_read_as_the_plain_ones_and_a_cut_one_fails_after_its_frames(tmp_path):
    import gzip

    frames = [(k * 1000, 1, bytes([k]) * (60 + k)) for k in range(50)]
    plain = io.BytesIO()
    write_header(plain)
    for time_ns, _, frame in frames:
        write_record(plain, time_ns, frame)
    packed = gzip.compress(plain.getvalue())
    (tmp_path / "c.pcap.gz").write_bytes(packed)
    assert list(read_pcap(tmp_path / "c.pcap.gz")) == frames
    assert list(read_pcap(io.BufferedReader(io.BytesIO(packed)))) == frames  # a stream that can peek
    (tmp_path / "cut.pcap.gz").write_bytes(packed[: len(packed) // 2])
    got = []
    with pytest.raises(ValueError) as caught:
        for packet in read_pcap(tmp_path / "cut.pcap.gz"):
            got.append(packet)
    assert str(caught.value) == "capture ends inside its gzip compression: the frames before it are reported"
    assert got == frames[: len(got)] and got  # the frames decompressed before the cut came out


def test_a_failing_source_raises_its_own_exception_after_the_frames_read():
    class Failing(io.RawIOBase):
        """The capture's first octets, then a failure of the device."""

        def __init__(self, data):
            self.data = data

        def read(self, size=-1):
            if not self.data:
                raise OSError(5, "the disk went away")
            out, self.data = self.data[:size], self.data[size:]
            return out

    whole = classic("<", 0xA1B2C3D4, 1, [(1, 2, A, len(A))] * 3)
    packets = read_pcap(Failing(whole[:-10]))
    assert next(packets) == (1_000_002_000, 1, A)
    with pytest.raises(OSError, match="the disk went away"):
        list(packets)
