"""valdrin.listen.analyze and `valdrin analyze`: stream health from capture
files, counted against an independent count, and the command's outputs."""

import json
import math
import struct
import subprocess
import sys

import pytest

import valdrin_rt
from valdrin.cli import main
from valdrin.listen import analyze
from valdrin.pcap import write_header, write_record

from listen_frames import (
    GOOSE_DST, RATE, SECOND, SV_DST, expected_counts, goose_frame, smp_cnts, sv_frames, sv_publisher,
)


def write_capture(path, records):
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, frame in records:
            write_record(out, time_ns, frame)
    return path


def two_seconds(skip=(), duplicate=(), swap=()):
    """The counters of two seconds and a bit at 4000/s; the faults name absolute sample numbers."""
    numbers = [n for n in range(2 * RATE + 400) if n not in skip]
    for n in duplicate:
        numbers.insert(numbers.index(n) + 1, n)
    for n in swap:
        i = numbers.index(n)
        numbers[i], numbers[i + 1] = numbers[i + 1], numbers[i]
    return [n % RATE for n in numbers]


@pytest.mark.parametrize("counters, reason", [
    (two_seconds(), "whole: the wrap at 4000 is learnt, nothing counted"),
    (two_seconds(skip=(5, 6, 7)), "a gap of three"),
    (two_seconds(skip=(7999, 8000)), "a gap across the wrap, once it is learnt"),
    (two_seconds(duplicate=(10, 7999, 8000)), "duplicates, two at the wrap"),
    (two_seconds(swap=(100, 200)), "two pairs swapped: each late one is out of order, not lost"),
    (two_seconds(skip=(50,), duplicate=(60,), swap=(70,)), "all three at once"),
    ([0, 1, 2, 2, 1, 5], "before the wrap is learnt, 65536 is assumed"),
])
def test_sv_counts_agree_with_an_independent_count(tmp_path, counters, reason):
    records = sv_frames(counters)
    assert [smp_cnts(frame)[0] for _, frame in records] == counters  # the frames say what we meant
    report = analyze(write_capture(tmp_path / "c.pcap", records))
    (stream,) = report.sv
    wrap = RATE if max(counters) == RATE - 1 and len(counters) > RATE else 65536
    lost, duplicated, out_of_order = expected_counts(counters, wrap)
    assert (stream["lost"], stream["duplicated"], stream["out_of_order"]) == (lost, duplicated, out_of_order), reason
    assert (stream["frames"], stream["asdus"]) == (len(counters), len(counters))
    assert stream["wrap"] == (RATE if wrap == RATE else None)


def test_sv_values_intervals_and_identity(tmp_path):
    report = analyze(write_capture(tmp_path / "c.pcap", sv_frames(range(800))))
    (stream,) = report.sv
    assert (stream["sv_id"], stream["app_id"], stream["dst"], stream["vlan_id"]) == ("MU01", 0x4001, SV_DST, None)
    # Channel k carries 1000 (k+1) counts of peak at -120 k degrees: currents 1 mA, voltages 10 mV a count.
    for k, channel in enumerate(stream["channels"]):
        peak = 1000.0 * (k + 1) * (0.001 if k < 4 else 0.01)
        assert channel["rms"] == pytest.approx(peak / math.sqrt(2), rel=1e-3)
        assert channel["magnitude"] == pytest.approx(peak / math.sqrt(2), rel=1e-3)
        # A sine of phase p is a cosine of phase p - 90.
        assert (channel["angle_deg"] - (-120.0 * k - 90.0) + 180.0) % 360.0 - 180.0 == pytest.approx(0, abs=0.1)
    interval = stream["interval_us"]
    assert interval["min"] == interval["max"] == interval["median"] == interval["p99"] == 250.0
    assert stream["rate"] == pytest.approx(RATE, rel=1e-3)


def significant_digits(value: float) -> int:
    return len(f"{value:.12g}".replace(".", "").lstrip("0").rstrip("0")) or 1


@pytest.mark.parametrize("intervals_ns, shown", [
    # 249.965 µs (a clock 140 ppm fast at 4000/s) with 10 ns of jitter: 250.0 to four digits, not 250.88.
    ([249_960 + (7 * n) % 11 for n in range(999)], (250.0, 250.0)),
    # Every tenth interval 300 µs, the others 200 µs: the p99 is 300 to 0.1 %.
    ([300_000 if n % 10 == 0 else 200_000 for n in range(999)], None),
    ([1_234_567] * 999, (1235.0, 1235.0)),  # min = max = 1234.567, the quantiles to four digits
    ([700 + n % 300 for n in range(999)], None),  # below 1024 ns every bucket is one ns wide
])
def test_interval_quantiles_within_a_tenth_of_a_percent_shown_to_four_digits(tmp_path, intervals_ns, shown):
    frames = sv_frames(range(1000))
    at = [frames[0][0]]
    for gap in intervals_ns:
        at.append(at[-1] + gap)
    report = analyze(write_capture(tmp_path / "c.pcap", [(t, raw) for t, (_, raw) in zip(at, frames)]))
    interval = report.sv[0]["interval_us"]
    assert (interval["min"], interval["max"]) == (min(intervals_ns) / 1000, max(intervals_ns) / 1000)  # exact
    assert interval["quantile_error"] == 1 / 1024
    exact = sorted(intervals_ns)
    for key, rank in (("median", 500), ("p99", 990)):  # nearest rank of 999
        truth = exact[rank - 1] / 1000
        # Within the bucket's 1/1024, then rounded to four significant digits.
        assert abs(interval[key] - truth) <= truth / 1024 + 0.5 * 10 ** (math.floor(math.log10(truth)) - 3), key
        assert significant_digits(interval[key]) <= 4, interval[key]
    if shown is not None:
        assert (interval["median"], interval["p99"]) == shown


def test_goose_sequence_counts_and_events(tmp_path):
    t0 = SECOND * 1_000_000_000
    sequence = [  # (stNum, sqNum, seconds after t0)
        (1, 0, 0.0), (1, 1, 1.0), (1, 3, 2.0),  # sqNum 2 lost
        (1, 3, 2.5),                           # duplicated
        (2, 0, 3.0),                           # a state change
        (4, 0, 4.0),                           # a state change, stNum 3 lost
        (3, 5, 4.1),                           # behind the newest: out of order
        (4, 1, 9.0),                           # 5 s after the last: TAL of 2 s expired
    ]
    records = [(t0 + round(at * 1e9), goose_frame(st, sq, value=st % 2 == 0)) for st, sq, at in sequence]
    records.append((t0 + round(12e9), sv_frames([0])[0][1]))  # the capture ends 3 s after the last GOOSE
    events = []
    report = analyze(write_capture(tmp_path / "g.pcap", records), events=events)
    (block,) = report.goose
    assert (block["gocb_ref"], block["go_id"], block["dat_set"]) == ("IED1LD0/LLN0$GO$gcb1", "IED1", "IED1LD0/LLN0$DS1")
    assert (block["frames"], block["st_num"], block["sq_num"]) == (8, 4, 1)
    assert (block["state_changes"], block["lost"], block["duplicated"], block["out_of_order"]) == (2, 2, 1, 1)
    assert block["tal_expired"] == 2  # before the frame at 9 s, and at the end
    assert block["values"] == [True, 4]
    changes = [(e.time_ns - t0, e.details["st_num"], e.details["values"]) for e in events
               if e.kind == "goose_state_change"]
    assert changes == [(3_000_000_000, 2, [True, 2]), (4_000_000_000, 4, [True, 4])]
    expiries = [e.time_ns - t0 for e in events if e.kind == "tal_expired"]
    assert expiries == [6_100_000_000, 11_000_000_000]  # the TAL of the frame that came last, at 4.1 s and 9 s


@pytest.mark.parametrize("frame, reason, kind", [
    (bytes.fromhex("010ccd040001 020000000001 88ba 4001 0008 0000 0000"), "SV BER", "an empty savPdu"),
    (bytes.fromhex("010ccd010001 020000000001 88b8 0001 0004 0000 0000"), "GOOSE frame header", "Length below 8"),
    (bytes.fromhex("ffffffffffff 020000000001 0806") + bytes(28), None, "ARP is other"),
])
def test_malformed_and_other_frames_are_counted(tmp_path, frame, reason, kind):
    report = analyze(write_capture(tmp_path / "m.pcap", [(SECOND * 10**9, frame)]))
    assert report.frames == 1
    if reason is None:
        assert (report.other, report.malformed) == (1, 0), kind
    else:
        assert (report.other, report.malformed) == (0, 1), kind
        assert list(report.malformed_reasons) == [reason], kind


def test_json_keys_as_documented(tmp_path, capsys):
    path = write_capture(tmp_path / "c.pcap", sv_frames(range(100)) + [(SECOND * 10**9 + 5, goose_frame(1, 0))])
    assert main(["analyze", str(path), "--json"]) == 0
    out = capsys.readouterr().out
    assert out.count("\n") == 1  # exactly one object
    report = json.loads(out)
    assert {"frames", "other", "malformed", "sv", "goose"} <= report.keys()
    assert (report["frames"], report["other"], report["malformed"]) == (101, 0, 0)
    sv_keys = {"app_id", "dst", "src", "vlan_id", "sv_id", "conf_rev", "smp_synch", "frames", "asdus", "wrap",
               "lost", "duplicated", "out_of_order", "interval_us", "channels"}
    assert sv_keys <= report["sv"][0].keys()
    assert report["sv"][0]["interval_us"].keys() == {"min", "median", "p99", "max", "quantile_error"}
    assert report["sv"][0]["channels"][0].keys() >= {"rms", "magnitude", "angle_deg"}
    goose_keys = {"app_id", "dst", "src", "vlan_id", "gocb_ref", "go_id", "dat_set", "conf_rev", "frames", "st_num",
                  "sq_num", "state_changes", "lost", "duplicated", "out_of_order", "tal_expired", "simulation",
                  "nds_com"}
    assert goose_keys <= report["goose"][0].keys()
    assert report["goose"][0]["dst"] == GOOSE_DST.hex(":") and report["goose"][0]["src"] == "02:00:00:00:00:01"


def test_text_report_names_streams_and_blocks(tmp_path):
    path = write_capture(tmp_path / "c.pcap", sv_frames([0, 1, 5]) + [(SECOND * 10**9 + 5, goose_frame(1, 0))])
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path)], capture_output=True, text=True,
                          env={"COLUMNS": "200", "PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0, proc.stderr
    assert "Sampled Values streams (1)" in proc.stdout and "GOOSE control blocks (1)" in proc.stdout
    assert "MU01" in proc.stdout and "IED1LD0/LLN0$GO$gcb1" in proc.stdout
    assert proc.stdout.startswith("4 frames, 0 other, 0 malformed")


@pytest.mark.parametrize("content, message", [
    (None, "valdrin: cannot read {path}: No such file or directory\n"),
    (b"not a capture at all", "valdrin: cannot read {path}: not a pcap or pcapng capture (starts with 6e6f7420)\n"),
])
def test_unreadable_files_end_with_one_line(tmp_path, content, message):
    path = tmp_path / "bad.pcap"
    if content is not None:
        path.write_bytes(content)
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path)], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr == message.format(path=path)


def test_limits_count_streams_beyond_them(tmp_path):
    records = []
    for k in range(3):
        publisher = sv_publisher(sv_id=f"MU0{k}")
        records += sv_frames([0, 1], publisher=publisher)
    report = analyze(write_capture(tmp_path / "c.pcap", records), sv_streams=2)
    assert [s["sv_id"] for s in report.sv] == ["MU00", "MU01"]
    assert report.untracked == {"sv_asdus": 2, "goose_frames": 0}


@pytest.mark.parametrize("kwargs, error, message", [
    ({"sv_streams": 0}, ValueError, "sv_streams must be between 1 and 65536, got 0"),
    ({"nominal_hz": 55.0}, ValueError, "nominal_hz must be 50 or 60, got 55.000000"),
    ({"goose_blocks": -1}, OverflowError, None),
    ({"sv_streams": "x"}, TypeError, None),
])
def test_analyzer_arguments(kwargs, error, message):
    with pytest.raises(error) as raised:
        valdrin_rt.Analyzer(**kwargs)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("value, error", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError)])
def test_expect_conf_rev_refuses_what_is_no_confrev(value, error):
    with pytest.raises(error):
        valdrin_rt.Analyzer(expect_conf_rev=value)


def test_expect_conf_rev_usage_errors(capsys):
    with pytest.raises(SystemExit) as caught:
        main(["analyze", "x.pcap", "--expect-conf-rev", "-1"])
    assert caught.value.code == 2
    assert "argument --expect-conf-rev: must be between 0 and 4294967295, got -1" in capsys.readouterr().err


# --- the native reader under analyze: other encodings of the same frames -----------


def cooked(frame, version):
    """``frame`` as a Linux cooked capture record: the destination MAC is lost, the source kept."""
    src, ethertype, payload = frame[6:12], frame[12:14], frame[14:]
    if version == 1:  # packet type 2 (multicast), ARPHRD_ETHER, address length 6, address padded to 8
        return b"\x00\x02\x00\x01\x00\x06" + src + b"\x00\x00" + ethertype + payload
    # protocol, reserved, ifindex 3, ARPHRD_ETHER, packet type 2, address length 6, address padded to 8
    return ethertype + b"\x00\x00" + b"\x00\x00\x00\x03" + b"\x00\x01\x02\x06" + src + b"\x00\x00" + payload


@pytest.mark.parametrize("linktype, version", [(113, 1), (276, 2)])
def test_cooked_captures_are_analysed_like_ethernet(tmp_path, linktype, version):
    records = sv_frames(two_seconds(skip=(5, 6)))
    path = tmp_path / "any.pcap"
    with open(path, "wb") as out:
        write_header(out, linktype=linktype)
        for time_ns, frame in records:
            write_record(out, time_ns, cooked(frame, version))
    report = analyze(path)
    (stream,) = report.sv
    assert (stream["frames"], stream["lost"], stream["dst"]) == (len(records), 2, "00:00:00:00:00:00")
    assert stream["src"] == records[0][1][6:12].hex(":")


def test_gzip_compressed_capture_reads_as_the_plain_one(tmp_path):
    import gzip

    records = sv_frames(two_seconds(skip=(9,))) + [(SECOND * 10**9 + 5, goose_frame(1, 0))]
    plain = write_capture(tmp_path / "c.pcap", records)
    packed = tmp_path / "c.pcap.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    assert analyze(packed).to_json() == analyze(plain).to_json()


def test_frames_of_an_unread_link_type_are_counted_by_name(tmp_path):
    path = tmp_path / "wifi.pcap"
    with open(path, "wb") as out:
        write_header(out, linktype=105)
        for time_ns, frame in sv_frames([0, 1, 2]):
            write_record(out, time_ns, frame)
    report = analyze(path)
    assert (report.frames, report.other, report.sv) == (3, 3, [])
    assert report.file["other_links"] == [{"linktype": 105, "name": "IEEE 802.11", "frames": 3}]
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path)], capture_output=True, text=True,
                          env={"COLUMNS": "200", "PATH": "/usr/bin:/bin"})
    assert proc.stdout.startswith("3 frames, 3 other, 0 malformed, 3 of link type 105 (IEEE 802.11) not read")


def test_frames_cut_by_the_snap_length_are_counted(tmp_path):
    records = sv_frames([0, 1, 2])
    path = tmp_path / "cut.pcap"
    with open(path, "wb") as out:
        write_header(out, snaplen=40)
        for time_ns, frame in records:  # the record header says the wire held the whole frame
            out.write(struct.pack("<IIII", time_ns // 10**9, time_ns % 10**9, 40, len(frame)) + frame[:40])
    report = analyze(path)
    assert report.file == {"cut": 3, "over_snaplen": 0, "other_links": []}
    assert (report.frames, report.malformed, report.sv) == (3, 3, [])  # a cut SV frame does not parse


def test_a_capture_cut_inside_its_last_frame_reports_the_frames_before(tmp_path):
    records = sv_frames(two_seconds())
    path = write_capture(tmp_path / "c.pcap", records)
    data = path.read_bytes()
    path.write_bytes(data[:-1])
    last_at = len(data) - len(records[-1][1]) - 16
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path), "--json"], capture_output=True,
                          text=True)
    assert proc.returncode == 1
    report = json.loads(proc.stdout)
    assert (report["frames"], report["sv"][0]["frames"]) == (len(records) - 1, len(records) - 1)
    assert proc.stderr == (f"valdrin: {path}: capture ends inside frame {len(records):,} at offset {last_at}: "
                           "the frames before it are reported\n")


@pytest.mark.parametrize("content, message", [
    (b"", "empty file, not a pcap or pcapng capture"),
    (b"\x0a\x0d\x0d\x0a\x1c\x00\x00\x00\x4d\x3c\x2b\x1a", "capture ends inside a pcapng block at offset 0: "
     "the frames before it are reported"),  # a Section Header Block cut after its byte-order magic
    (None, "Is a directory"),
])
def test_files_that_hold_no_frame_fail_in_one_line(tmp_path, content, message):
    path = tmp_path / "dir"
    if content is None:
        path.mkdir()
    else:
        path.write_bytes(content)
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path)], capture_output=True, text=True)
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, "", f"valdrin: cannot read {path}: {message}\n")


def test_ctrl_c_stops_with_the_report_so_far(tmp_path):
    from valdrin.listen import Interrupted

    counters = [n % RATE for n in range(20000)]
    path = write_capture(tmp_path / "c.pcap", sv_frames(counters))

    def interrupt(done, total):  # called after each batch of 16384 frames: Ctrl-C after the first
        raise KeyboardInterrupt

    with pytest.raises(Interrupted) as caught:
        analyze(path, progress=interrupt)
    assert isinstance(caught.value, KeyboardInterrupt)
    (stream,) = caught.value.report.sv
    assert (caught.value.report.frames, stream["frames"], stream["lost"]) == (16384, 16384, 0)
