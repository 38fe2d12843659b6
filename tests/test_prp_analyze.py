"""PRP (IEC 62439-3) from two captures: `valdrin analyze A.pcap --prp-b B.pcap`
discards duplicates as a receiving node does and counts each LAN, checked
against frames whose trailers and faults the test writes itself."""

import json
import struct
import subprocess
import sys

import pytest

import valdrin_rt
from valdrin.listen import analyze
from valdrin.pcap import read_pcap, write_header, write_record

from listen_frames import goose_frame, sv_frames

SUPERVISION_DST = bytes.fromhex("01154e000100")
NODE = bytes.fromhex("020000000001")


def trailer(frame: bytes, seq: int, lan_id: int, size_delta: int = 0) -> bytes:
    """`frame` padded to 54 octets and its trailer, computed here: LSDU from after
    the EtherType (and 802.1Q tag) through the trailer."""
    body = frame.ljust(54, b"\0")
    header = 18 if frame[12:14] == b"\x81\x00" else 14
    lsdu = len(body) + 6 - header + size_delta
    return body + struct.pack(">HHH", seq, lan_id << 12 | lsdu, 0x88FB)


def supervision(seq: int, lan_id: int) -> bytes:
    body = struct.pack(">HH", 1, 7) + bytes([20, 6]) + NODE + b"\0\0"
    return trailer(SUPERVISION_DST + NODE + b"\x88\xfb" + body, seq, lan_id)


def write_capture(path, records):
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, frame in sorted(records, key=lambda r: r[0]):
            write_record(out, time_ns, frame)
    return str(path)


N = 400
ONLY_B = {17, 18, 100, 399}      # LAN A lost them
ONLY_A = {5, 250}                # LAN B lost them
NEITHER = {60, 61, 62}           # both lost: the stream's loss
WRONG_ON_B = {300}               # B's copy carries A's identifier
BAD_SIZE_ON_A = {301, 302}       # A's copy's LSDU size one too large
SKEW_NS = 300_000


def two_lans(tmp_path, start_seq=65_400):
    """LAN A's and LAN B's captures of N SV frames, B's copies 300 µs later, with
    the faults above; the node's sequence numbers wrap at 65536 halfway."""
    a, b = [], []
    for i, (t, frame) in enumerate(sv_frames(list(range(N)))):
        frame = frame[:6] + NODE + frame[12:]
        seq = (start_seq + i) % 65536
        if i in NEITHER:
            continue
        if i not in ONLY_B:
            a.append((t, trailer(frame, seq, 0xA, 1 if i in BAD_SIZE_ON_A else 0)))
        if i not in ONLY_A:
            b.append((t + SKEW_NS, trailer(frame, seq, 0xA if i in WRONG_ON_B else 0xB)))
    t0 = a[0][0]
    a += [(t0 + 1, supervision(1, 0xA)), (t0 + 50_000_000, supervision(2, 0xA))]
    b += [(t0 + 2, supervision(1, 0xB))]
    return write_capture(tmp_path / "a.pcap", a), write_capture(tmp_path / "b.pcap", b)


def test_counts_per_lan_against_the_faults_written(tmp_path):
    path_a, path_b = two_lans(tmp_path)
    report = analyze(path_a, prp_b=path_b)
    (stream,) = report.sv
    assert stream["frames"] == N - len(NEITHER), "every frame that came on either LAN, once"
    assert stream["lost"] == len(NEITHER)
    # A frame that came on B only may arrive after A's copy of the next one:
    # out of order in the merged stream, counted here from the arrival times.
    period = 250_000
    first = sorted((i * period + (SKEW_NS if i in ONLY_B else 0), i) for i in range(N) if i not in NEITHER)
    late = sum(1 for k, (_, i) in enumerate(first) if k and i < max(j for _, j in first[:k]))
    assert late == 2, "18 and 100 behind 19 and 101"
    assert (stream["duplicated"], stream["out_of_order"]) == (0, late)
    prp = stream["prp"]
    assert (prp["frames_a"], prp["frames_b"]) == (N - len(NEITHER) - len(ONLY_B), N - len(NEITHER) - len(ONLY_A))
    assert (prp["lost_a"], prp["lost_b"], prp["lost_both"]) == (len(ONLY_B), len(ONLY_A), len(NEITHER))
    assert prp["wrong_lan"] == len(WRONG_ON_B)
    assert prp["bad_size"] == len(BAD_SIZE_ON_A)
    assert prp["repeated"] == 0
    skew = prp["skew_us"]
    assert skew["min"] == skew["max"] == 300.0
    assert skew["median"] == pytest.approx(300, rel=0.016)
    (node,) = report.prp["nodes"]
    assert node["mac"] == "02:00:00:00:00:01"
    assert (node["supervision_a"], node["supervision_b"]) == (2, 1)
    assert node["last_supervision_a_ns"] - node["last_supervision_b_ns"] == 50_000_000 - 2
    lans = report.prp["lans"]
    assert lans["A"]["frames"] == prp["frames_a"] + 2 and lans["B"]["frames"] == prp["frames_b"] + 1
    assert lans["A"]["untrailed"] == lans["B"]["untrailed"] == 0
    assert report.prp["discarded"] == N - len(NEITHER) - len(ONLY_A) - len(ONLY_B)


def test_same_analysis_as_one_clean_capture(tmp_path):
    """Both LANs whole: the merged analysis is the plain analysis of one LAN's
    frames without their trailers, member for member."""
    records = sv_frames(list(range(200)))
    a = [(t, trailer(f, i, 0xA)) for i, (t, f) in enumerate(records)]
    b = [(t + 40_000, trailer(f, i, 0xB)) for i, (t, f) in enumerate(records)]
    plain = analyze(write_capture(tmp_path / "plain.pcap", records))
    merged = analyze(write_capture(tmp_path / "a.pcap", a), prp_b=write_capture(tmp_path / "b.pcap", b))
    (stream,) = merged.sv
    counts = stream.pop("prp")
    assert (counts["lost_a"], counts["lost_b"], counts["frames_a"], counts["frames_b"]) == (0, 0, 200, 200)
    assert merged.sv == plain.sv
    assert merged.frames == plain.frames


def test_goose_and_hsr(tmp_path):
    """GOOSE blocks get their PRP counts too; an HSR-tagged capture is analysed as its
    inner frames, its second copies discarded and its tag sizes checked."""
    frames = [goose_frame(1, sq) for sq in range(10)]
    t0 = 1_700_000_000_000_000_000
    a = [(t0 + i * 1_000_000, trailer(f, i, 0xA)) for i, f in enumerate(frames)]
    b = [(t0 + i * 1_000_000 + 5_000, trailer(f, i, 0xB)) for i, f in enumerate(frames) if i != 3]
    report = analyze(write_capture(tmp_path / "a.pcap", a), prp_b=write_capture(tmp_path / "b.pcap", b))
    (block,) = report.goose
    assert block["frames"] == 10 and block["prp"]["lost_b"] == 1 and block["prp"]["skew_us"]["max"] == 5.0

    def hsr(frame, seq, path, size_delta=0):
        rest = frame[12:]
        return frame[:12] + struct.pack(">HHH", 0x892F, path << 12 | (len(rest) + 4 + size_delta), seq) + rest

    ring = [(t0 + i * 1_000_000 + d, hsr(f, i, p, 1 if (i, p) == (4, 1) else 0))
            for i, f in enumerate(frames) for d, p in ((0, 0), (7_000, 1))]
    report = analyze(write_capture(tmp_path / "ring.pcap", ring), redundant=True)
    (block,) = report.goose
    assert (block["frames"], block["lost"], block["duplicated"]) == (10, 0, 0)
    assert report.prp["lans"]["A"]["hsr"] == 20
    assert report.prp["lans"]["A"]["hsr_bad_size"] == 1
    assert report.prp["discarded"] == 10
    plain = analyze(str(tmp_path / "ring.pcap"))
    assert (plain.goose, plain.other) == ([], 20), "without it the tagged frames are another EtherType"
    run = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(tmp_path / "ring.pcap"), "--hsr", "--json"],
                         capture_output=True, text=True, check=True)
    assert json.loads(run.stdout)["prp"]["lans"]["A"]["hsr"] == 20


def test_cli_table_and_json(tmp_path):
    path_a, path_b = two_lans(tmp_path)
    run = subprocess.run([sys.executable, "-m", "valdrin", "analyze", path_a, "--prp-b", path_b, "--json"],
                         capture_output=True, text=True, check=True)
    out = json.loads(run.stdout)
    assert out["sv"][0]["prp"]["lost_a"] == len(ONLY_B)
    assert out["prp"]["nodes"][0]["supervision_a"] == 2
    run = subprocess.run([sys.executable, "-m", "valdrin", "analyze", path_a, "--prp-b", path_b],
                         capture_output=True, text=True, check=True, env={"COLUMNS": "200", "PATH": ""})
    assert "PRP: LAN A and LAN B" in run.stdout
    assert "LAN A: 395 frames, 0 without a trailer, 2 supervision" in run.stdout
    missing = subprocess.run([sys.executable, "-m", "valdrin", "analyze", path_a, "--prp-b", str(tmp_path / "no.pcap")],
                             capture_output=True, text=True)
    assert missing.returncode == 1
    assert missing.stderr.strip() == f"valdrin: cannot read {tmp_path / 'no.pcap'}: No such file or directory"


def test_publish_pcap_prp_writes_both_lans(tmp_path):
    """`publish --pcap FILE --prp` writes FILE-A.pcap and FILE-B.pcap: the same SV frames as
    a plain run, each with its LAN's trailer and the same sequence number on both, one
    supervision frame per LAN every two seconds."""
    base = ["-m", "valdrin", "publish", "--frames", "2000", "--rate", "1000", "--start", "1700000000"]
    subprocess.run([sys.executable, *base, "--pcap", str(tmp_path / "plain.pcap")], check=True, capture_output=True)
    run = subprocess.run([sys.executable, *base, "--pcap", str(tmp_path / "red.pcap"), "--prp"],
                         check=True, capture_output=True, text=True)
    assert run.stdout.strip() == (f"wrote 2000 frames (1 streams x 2000 periods) with PRP trailers, and supervision "
                                  f"frames, to {tmp_path / 'red-A.pcap'} and {tmp_path / 'red-B.pcap'}")
    plain = [p.data for p in read_pcap(tmp_path / "plain.pcap")]
    for lan, lan_id in (("A", 0xA), ("B", 0xB)):
        packets = list(read_pcap(tmp_path / f"red-{lan}.pcap"))
        sv = [p.data for p in packets if p.data[12:14] == b"\x88\xba"]
        supervision = [p for p in packets if p.data[12:14] == b"\x88\xfb"]
        assert [f[:-6] for f in sv] == plain
        # A 2 s run: the supervision frames of its first period only (the next are due at 2 s).
        assert [p.timestamp_ns for p in supervision] == [1_700_000_000 * 10**9]
        seqs = [struct.unpack(">H", p.data[-6:-4])[0] for p in packets]
        assert seqs == list(range(2001)), "frame 0, the supervision frame, then the rest"
        assert {p.data[-4] >> 4 for p in packets} == {lan_id}
    report = analyze(str(tmp_path / "red-A.pcap"), prp_b=str(tmp_path / "red-B.pcap"))
    (stream,) = report.sv
    assert (stream["frames"], stream["lost"], stream["prp"]["lost_a"], stream["prp"]["lost_b"]) == (2000, 0, 0, 0)
    assert stream["prp"]["skew_us"]["max"] == 0.0


@pytest.mark.parametrize("call, error, message", [
    (lambda: valdrin_rt.prp_trailer(b"\0" * 13, 1, "A"), ValueError, "frame too short for an Ethernet header"),
    (lambda: valdrin_rt.prp_trailer(b"\0" * 4200, 1, "A"), ValueError, "LSDU size above 4095 octets"),
    (lambda: valdrin_rt.prp_trailer(b"\0" * 60, 65536, "A"), ValueError, "a sequence number is 0 to 65535, got 65536"),
    (lambda: valdrin_rt.prp_trailer(b"\0" * 60, 1, "C"), ValueError, "lan must be 'A' or 'B', got 'C'"),
    (lambda: valdrin_rt.prp_supervision(b"\0" * 5, 0, 0, "A"), ValueError, "mac must be 6 octets, got 5"),
])
def test_writer_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).endswith(message)


def test_trailer_octets():
    # A 20-octet frame: zeros to 54 octets, then seq 0x0102, LAN B, LSDU 46 (0x02E).
    frame = bytes(12) + b"\x88\xb8" + bytes(6)
    assert valdrin_rt.prp_trailer(frame, 0x0102, "B") == frame + bytes(34) + bytes.fromhex("0102b02e88fb")


def test_analyzer_lan_argument(tmp_path):
    """Frames handed in one by one name their LAN; a second reader needs a PRP analyzer."""
    analyzer = valdrin_rt.Analyzer(prp=True)
    (t, frame), = sv_frames([0])
    for lan in ("A", "B"):
        analyzer.add(trailer(frame, 5, 0xA if lan == "A" else 0xB), t + (lan == "B") * 1000, lan=lan)
    (stream,) = analyzer.report()["sv"]
    (flow,) = analyzer.report()["prp"]["streams"]
    assert (stream["frames"], flow["frames_a"], flow["frames_b"], flow["skew_us"]["max"]) == (1, 1, 1, 1.0)
    with pytest.raises(ValueError, match="^lan must be 'A' or 'B', got 'C'$"):
        analyzer.add(frame, t, lan="C")
    path = write_capture(tmp_path / "one.pcap", [(t, frame)])
    from valdrin.pcap import open_capture
    with pytest.raises(ValueError, match="^reader_b needs an Analyzer made with prp=True$"):
        valdrin_rt.Analyzer().read(open_capture(path), 10, open_capture(path))


@pytest.mark.parametrize("columns", ["60", "80"])
def test_cli_prp_table_keeps_the_stream_and_its_counts_at_a_narrow_width(tmp_path, columns):
    path_a, path_b = two_lans(tmp_path)
    run = subprocess.run([sys.executable, "-m", "valdrin", "analyze", path_a, "--prp-b", path_b, "--json"],
                         capture_output=True, text=True, check=True)
    sv = json.loads(run.stdout)["sv"][0]
    run = subprocess.run([sys.executable, "-m", "valdrin", "analyze", path_a, "--prp-b", path_b],
                         capture_output=True, text=True, check=True, env={"COLUMNS": columns, "PATH": ""})
    table = run.stdout[run.stdout.index("PRP: LAN A and LAN B"):]
    row = next(line for line in table.splitlines() if line.startswith(sv["sv_id"] + " "))
    # svID, APPID, frames on each LAN and the losses, whole; the skew goes below when it does not fit.
    assert row.split()[:6] == [sv["sv_id"], f"0x{sv['app_id']:04x}", f"{sv['prp']['frames_a']:,}",
                               f"{sv['prp']['frames_b']:,}", f"{sv['prp']['lost_a']:,}", f"{sv['prp']['lost_b']:,}"]
    assert all(len(line) <= int(columns) for line in table.splitlines())
