"""valdrin decode: the listing of GOOSE and SV captures, --strict, --json,
other and broken frames, and the exit status for files that cannot be read."""

import json
import struct
import subprocess
import sys

import pytest

from valdrin.cli import main
from valdrin.data import BoolData, IntData
from valdrin import goose
from valdrin.goose import GoosePDU
from valdrin.pcap import write_header, write_record
from valdrin.values import to_json

from ber import tlv
from goose_samples import DST, RICH, SRC, T

RICH_TEXT = """\
frame 1  2023-11-14T22:13:20.123456789Z  GOOSE  02:00:00:00:00:01 > 01:0c:cd:01:00:01  VLAN 5 priority 4  APPID 0x1234
  gocbRef "IED1LD0/LLN0$GO$gcb1"
  datSet "IED1LD0/LLN0$DS1"
  goID "G1"
  t 2023-11-14T22:13:20.500000000Z quality 0x98 (leap seconds known, 24-bit accuracy)
  stNum 7  sqNum 3  timeAllowedtoLive 4000 ms  confRev 2
  simulation true  ndsCom false
  numDatSetEntries 12
  allData
    [0] bool true
    [1] struct of 4 members
      f32 0.1
      utc 2023-11-14T22:13:20.250000000Z quality 0x2a (clock not synchronised, 10-bit accuracy)
      bits 0100000000
      struct of 1 member
        int 5
    [2] int -3
    [3] uint 7
    [4] f64 2.0
    [5] octets 0102
    [6] visible "a\\"b"
    [7] mms "é"
    [8] array of 1 element
      int 1
    [9] btime 1986-10-26T00:01:06.051Z (000102030405)
    [10] raw tag 0x8C 00000001
    [11] array of 0 elements
"""
# numDatSetEntries 3 over two values: lenient decoding accepts it, strict does not.
SHORT = GoosePDU("X", "Y", num_dat_set_entries=3, all_data=[BoolData(False), IntData(1)])
SHORT_TEXT = """\
frame {n}  2023-11-14T22:13:21.000000000Z  GOOSE  02:00:00:00:00:01 > 01:0c:cd:01:00:02  APPID 0x0001
{deviation}  gocbRef "X"
  datSet "Y"
  goID (absent)
  t 1970-01-01T00:00:00.000000000Z quality 0x00 (0-bit accuracy)
  stNum 1  sqNum 0  timeAllowedtoLive 2000 ms  confRev 1
  simulation false  ndsCom false
  numDatSetEntries 3 (allData holds 2)
  allData
    [0] bool false
    [1] int 1
"""


def capture(path, packets, linktype=1):
    with open(path, "wb") as out:
        write_header(out, linktype)
        for time_ns, frame in packets:
            write_record(out, time_ns, frame)
    return str(path)


def decode(capsys, *argv):
    status = main(["decode", *argv])
    out, err = capsys.readouterr()
    return status, out, err


def goose_frames():
    return [
        (T * 10**9 + 123_456_789, RICH.encode_frame(DST, SRC, 0x1234, 5, 4)),
        ((T + 1) * 10**9, SHORT.encode_frame(bytes.fromhex("010ccd010002"), SRC, 1)),
    ]


@pytest.mark.parametrize("strict", [False, True])
def test_goose_listing(strict, tmp_path, capsys):
    path = capture(tmp_path / "g.pcap", goose_frames())
    status, out, err = decode(capsys, path, *(["--strict"] if strict else []))
    deviation = "  not conformant: numDatSetEntries=3 but 2 entries\n" if strict else ""
    summary = "2 frames: 2 GOOSE, 0 SV, 0 other, 0 errors" + (", 1 not conformant" if strict else "")
    assert (status, err) == (0, "")
    assert out == RICH_TEXT + SHORT_TEXT.format(n=2, deviation=deviation) + summary + "\n"


def test_sv_listing_of_a_published_capture(tmp_path, capsys):
    path = str(tmp_path / "sv.pcap")
    assert main(["publish", "--pcap", path, "--frames", "2", "--start", str(T), "--asdus-per-frame", "2",
                 "--wave", "0,0,50,7", "--wave", "0,0,50,-3,1,0x2000", "--vlan-id", "3", "--vlan-priority", "0",
                 "--src-mac", "02:00:00:00:00:09", "--smp-synch", "2", "--conf-rev", "5", "--dat-set", "LD/LLN0$DS",
                 "--sv-id", "MU\\{n}"]) == 0
    capsys.readouterr()
    status, out, err = decode(capsys, path)
    asdu = ('  ASDU {i}/2  svID "MU\\\\1"  smpCnt {c}  confRev 5  smpSynch 2 (global)  smpRate 80\n'
            '    datSet "LD/LLN0$DS"\n'
            "    samples (7, 0x0000) (-3, 0x2000)\n")
    head = "frame {n}  2023-11-14T22:13:20.000{us}000Z  SV  02:00:00:00:00:09 > 01:0c:cd:04:00:01  VLAN 3 priority 0  APPID 0x4000\n"
    assert (status, err) == (0, "")
    assert out == (
        head.format(n=1, us="000") + asdu.format(i=1, c=0) + asdu.format(i=2, c=1)
        + head.format(n=2, us="500") + asdu.format(i=1, c=2) + asdu.format(i=2, c=3)
        + "2 frames: 0 GOOSE, 2 SV, 0 other, 0 errors\n"
    )


# An SV frame with every optional ASDU field and a security element, written by hand.
ASDU = (tlv(0x80, b"MU9") + tlv(0x81, b"DS") + tlv(0x82, b"\x01\x00") + tlv(0x83, b"\x00\x00\x00\x01")
        + tlv(0x84, struct.pack(">II", T, 0x400000 << 8 | 0x0A)) + tlv(0x85, b"\x05") + tlv(0x86, b"\x0f\xa0")
        + tlv(0x87, struct.pack(">iIiI", -1, 0x4000_0001, 2**31 - 1, 0)) + tlv(0x88, b"\x00\x01")
        + tlv(0x89, bytes(range(8))))
SV_PDU = tlv(0x60, tlv(0x80, b"\x01") + tlv(0xA1, b"\xab\xcd") + tlv(0xA2, tlv(0x30, ASDU)))
SV_FULL = DST[:3] + b"\x04\x00\x01" + SRC + struct.pack(">HHHHH", 0x88BA, 0x4000, 8 + len(SV_PDU), 0x8000, 0) + SV_PDU
EMPTY_APDU = bytes.fromhex("0008 0000 0000")  # Length 8 and reserved words: a header with no APDU


def test_sv_optional_fields(tmp_path, capsys):
    status, out, _ = decode(capsys, capture(tmp_path / "s.pcap", [(0, SV_FULL)]))
    assert status == 0
    assert out == (
        "frame 1  1970-01-01T00:00:00.000000000Z  SV  02:00:00:00:00:01 > 01:0c:cd:04:00:01  APPID 0x4000"
        "  reserved1 0x8000 reserved2 0x0000\n"
        "  security abcd\n"
        '  ASDU 1/1  svID "MU9"  smpCnt 256  confRev 1  smpSynch 5  smpRate 4000  smpMod 1 (samples per second)\n'
        '    datSet "DS"\n'
        "    refrTm 2023-11-14T22:13:20.250000000Z quality 0x0a (10-bit accuracy)\n"
        "    gmIdentity 0001020304050607\n"
        "    samples (-1, 0x40000001) (2147483647, 0x0000)\n"
        "1 frames: 0 GOOSE, 1 SV, 0 other, 0 errors\n"
    )


def test_other_and_broken_frames_are_counted_and_decoding_goes_on(tmp_path, capsys):
    rich = RICH.encode_frame(DST, SRC, 0x1234)
    arp = b"\xff" * 6 + SRC + b"\x08\x06" + bytes(28)
    path = capture(tmp_path / "m.pcap", [(0, arp), (1, SV_FULL[:16] + EMPTY_APDU), (2, rich[:16] + EMPTY_APDU),
                                         (3, rich[:13]), (4, rich)])
    status, out, _ = decode(capsys, path)
    lines = out.splitlines()
    assert status == 0
    assert lines[:2] == [
        "frame 2  1970-01-01T00:00:00.000000001Z  SV not decoded: missing tag",
        "frame 3  1970-01-01T00:00:00.000000002Z  GOOSE not decoded: GOOSE header too short or with an inconsistent Length",
    ]
    assert lines[2].startswith("frame 5  1970-01-01T00:00:00.000000004Z  GOOSE  ")
    assert lines[-1] == "5 frames: 1 GOOSE, 0 SV, 2 other, 2 errors"

    # Packets of another link type are not decoded, only counted.
    status, out, _ = decode(capsys, capture(tmp_path / "raw.pcap", [(0, rich), (1, SV_FULL)], linktype=101))
    assert (status, out) == (0, "2 frames: 0 GOOSE, 0 SV, 2 other, 0 errors\n")


def test_json_lines(tmp_path, capsys):
    frames = [*goose_frames(), (5, SV_FULL), (6, SV_FULL[:16] + EMPTY_APDU), (7, bytes(60))]
    path = capture(tmp_path / "j.pcap", frames)
    status, out, _ = decode(capsys, path, "--json", "--strict")
    records = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and len(records) == 5

    for number, (record, (time_ns, frame)) in enumerate(zip(records, goose_frames()), start=1):
        typed = goose.decode_frame(frame)
        pdu = to_json(typed)
        assert (record["frame"], record["time_ns"], record["kind"]) == (number, time_ns, "GOOSE")
        assert record["header"] == pdu.pop("header")
        assert record["pdu"] == pdu
    # Text as text, UtcTime as ISO time and quality, Data nested.
    assert records[0]["header"] == {"dst": "01:0c:cd:01:00:01", "src": "02:00:00:00:00:01", "vlan_id": 5,
                                    "vlan_priority": 4, "app_id": 0x1234, "reserved1": 0, "reserved2": 0}
    assert (records[0]["pdu"]["gocb_ref"], records[0]["pdu"]["go_id"]) == ("IED1LD0/LLN0$GO$gcb1", "G1")
    assert records[0]["pdu"]["t"] == {"utc": "2023-11-14T22:13:20.500000000Z", "quality": 0x98}
    assert records[0]["pdu"]["values"][1][3] == [5]
    assert [r["deviation"] for r in records[:2]] == [None, "not conformant: numDatSetEntries=3 but 2 entries"]
    assert records[2]["security"] == "abcd" and records[2]["header"]["app_id"] == 0x4000
    (asdu,) = records[2]["asdus"]
    assert (asdu["sv_id"], asdu["dat_set"], asdu["smp_cnt"], asdu["conf_rev"]) == ("MU9", "DS", 256, 1)
    assert (asdu["smp_synch"], asdu["smp_rate"], asdu["smp_mod"], asdu["gm_identity"]) == (5, 4000, 1, "0001020304050607")
    assert asdu["refr_tm"] == {"utc": "2023-11-14T22:13:20.250000000Z", "quality": 10}
    assert asdu["samples"] == [[-1, 0x40000001], [2**31 - 1, 0]]
    assert asdu["sample"] == "ffffffff400000017fffffff00000000"
    assert records[3] == {"frame": 4, "time_ns": 6, "kind": "SV", "error": "missing tag"}
    assert records[4] == {"summary": {"frames": 5, "goose": 2, "sv": 1, "other": 1, "errors": 1, "not_conformant": 1}}

    # Without --strict there is no deviation key and no not_conformant count.
    _, out, _ = decode(capsys, path, "--json")
    records = [json.loads(line) for line in out.splitlines()]
    assert "deviation" not in records[1] and "not_conformant" not in records[-1]["summary"]


def test_cooked_capture_decodes_as_ethernet_without_its_destination(tmp_path, capsys):
    # tcpdump -i any (Linux cooked capture v2): protocol, reserved, ifindex, ARPHRD_ETHER, packet type 2
    # (multicast), address length 6, the source address padded to 8, then the frame after its EtherType
    # field; the tag's TCI comes first, as protocol 8100 says.
    time_ns, frame = goose_frames()[0]
    cooked = frame[12:14] + b"\x00\x00" + b"\x00\x00\x00\x02" + b"\x00\x01\x02\x06" + frame[6:12] + b"\x00\x00" + frame[14:]
    path = capture(tmp_path / "any.pcap", [(time_ns, cooked)], linktype=276)
    assert decode(capsys, path) == (
        0, RICH_TEXT.replace("> 01:0c:cd:01:00:01", "> 00:00:00:00:00:00") + "1 frames: 1 GOOSE, 0 SV, 0 other, 0 errors\n",
        "")


# --- files that cannot be read ----------------------------------------------------


def test_unreadable_files(tmp_path, capsys):
    assert decode(capsys, str(tmp_path / "none.pcap")) == (
        1, "", f"valdrin: cannot read {tmp_path / 'none.pcap'}: No such file or directory\n")
    (tmp_path / "t.txt").write_text("hello")
    assert decode(capsys, str(tmp_path / "t.txt")) == (
        1, "", f"valdrin: cannot read {tmp_path / 't.txt'}: not a pcap or pcapng capture (starts with 68656c6c)\n")
    # Cut inside the second record: the first is listed and counted before the error.
    path = capture(tmp_path / "cut.pcap", goose_frames())
    data, last = open(path, "rb").read(), len(goose_frames()[1][1])
    open(path, "wb").write(data[:-1])
    assert decode(capsys, path) == (
        1, RICH_TEXT + "1 frames: 1 GOOSE, 0 SV, 0 other, 0 errors\n",
        f"valdrin: cannot read {path}: capture ends inside frame 2 at offset {len(data) - last - 16}: "
        "the frames before it are reported\n")


def test_command_from_standard_input_and_without_traceback(tmp_path):
    path = capture(tmp_path / "g.pcap", goose_frames()[:1])
    run = subprocess.run([sys.executable, "-m", "valdrin", "decode", "-"], input=open(path, "rb").read(),
                         capture_output=True, timeout=60)
    assert (run.returncode, run.stdout.decode(), run.stderr) == (
        0, RICH_TEXT + "1 frames: 1 GOOSE, 0 SV, 0 other, 0 errors\n", b"")
    run = subprocess.run([sys.executable, "-m", "valdrin", "decode", str(tmp_path)], capture_output=True, text=True,
                         timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (1, "", f"valdrin: cannot read {tmp_path}: Is a directory\n")
