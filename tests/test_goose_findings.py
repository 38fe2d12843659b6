"""GOOSE publishing rules per control block (`findings`): frames that break each
rule, made with the package's own encoder, counted exactly by
valdrin.listen.analyze and `valdrin analyze`; conforming traffic counts none."""

import json
import subprocess
import sys

import pytest

from valdrin import goose
from valdrin.cli import main
from valdrin.cli.health import event_line
from valdrin.data import BoolData, IntData
from valdrin.listen import Event, analyze
from valdrin.pcap import write_header, write_record

from listen_frames import GOOSE_DST, SECOND, SRC, goose_frame, sv_frames

REF = "IED1LD0/LLN0$GO$gcb1"
KEYS = ("values_changed_without_state_change", "state_changed_without_values_change",
        "t_changed_without_state_change", "t_unchanged_at_state_change", "sq_restarts", "entries_mismatch",
        "type_changed_without_conf_rev", "entries_changed_without_conf_rev")


def frame(st, sq, t, value=False, entries=None, go_id="IED1", trailing=0, ref=REF, conf_rev=1, as_int=False,
          extra=()):
    """stNum, sqNum, t (seconds after SECOND), one BOOLEAN value (an INTEGER when `as_int`), a fixed
    INT32 and the `extra` values; numDatSetEntries (None: the members), goID, `trailing` octets
    after the PDU inside its Length, and confRev."""
    values = [IntData(int(value)) if as_int else BoolData(value), IntData(7), *extra]
    pdu = goose.GoosePDU(ref, "IED1LD0/LLN0$DS1", go_id, st_num=st, sq_num=sq, timestamp=SECOND + t,
                         conf_rev=conf_rev, num_dat_set_entries=entries, all_data=values)
    out = bytearray(pdu.encode_frame(GOOSE_DST, SRC, 0x0001))
    if trailing:
        length = int.from_bytes(out[16:18], "big")
        out[14 + length:14 + length] = bytes(trailing)  # the APDU ends 14 + Length octets in
        out[16:18] = (length + trailing).to_bytes(2, "big")
    return bytes(out)


def findings(strict=None, **counts):
    out = dict.fromkeys(KEYS, 0) | counts
    out["strict_deviations"] = strict or {}
    return out


def capture(path, frames, start_ns=SECOND * 10**9, step_ns=10**6):
    with open(path, "wb") as out:
        write_header(out)
        for n, raw in enumerate(frames):
            write_record(out, start_ns + n * step_ns, raw)
    return path


CASES = [
    ([frame(1, 0, 1), frame(1, 1, 1), frame(2, 0, 2, True), frame(2, 1, 2, True)], findings(),
     "conforming: t and values within a state, both new at a state change"),
    ([frame(1, 0, 1), frame(1, 1, 1, True)], findings(values_changed_without_state_change=1),
     "a value changes, stNum stays"),
    ([frame(1, 0, 1), frame(2, 0, 2)], findings(state_changed_without_values_change=1),
     "stNum advances over the same values"),
    ([frame(1, 0, 1), frame(1, 1, 2), frame(1, 2, 3)], findings(t_changed_without_state_change=2),
     "t advances on every heartbeat"),
    ([frame(1, 0, 1), frame(2, 0, 1, True)], findings(t_unchanged_at_state_change=1),
     "t stays at a state change"),
    ([frame(1, 7, 1), frame(1, 0, 5)], findings(sq_restarts=1),
     "a restarted publisher: sqNum back to 0 with a new t in the same state (behind: compared with nothing else)"),
    ([frame(1, 7, 1), frame(1, 6, 1)], findings(), "a late retransmission: same t, no restart"),
    ([frame(1, 2**32 - 1, 1), frame(1, 0, 1)], findings(), "sqNum rolls over within a state"),
    ([frame(1, 0, 1), frame(2, 0, 2, True), frame(1, 1, 1)], findings(),
     "a late frame of the old state: compared with nothing"),
    ([frame(1, 0, 1), frame(2, 0, 2, True), frame(3, 0, 3), frame(1, 1, 1), frame(3, 1, 3)], findings(),
     "one stale frame: the next is compared with the newest in-order frame, not with it"),
    ([frame(1, 0, 1), frame(2, 0, 2, True, as_int=True), frame(2, 1, 2, True, as_int=True)],
     findings(type_changed_without_conf_rev=1), "a BOOLEAN sent as an INTEGER from a state change on, confRev kept"),
    ([frame(1, 0, 1), frame(2, 0, 2, True, extra=[IntData(9)]), frame(2, 1, 2, True, extra=[IntData(9)])],
     findings(entries_changed_without_conf_rev=1), "a third member from a state change on, confRev kept"),
    ([frame(1, 0, 1), frame(2, 0, 2, True, as_int=True, conf_rev=2), frame(3, 0, 3, extra=[IntData(9)], conf_rev=3)],
     findings(), "new types and members, each under a new confRev"),
    ([frame(1, 0, 1, entries=3), frame(1, 1, 1, entries=1)],
     findings(entries_mismatch=2, strict={"numDatSetEntries=1 but 2 entries": 2}),
     "numDatSetEntries wrong on every frame: counted per kind, the last text kept"),
    ([frame(1, 0, 1, trailing=2), frame(1, 1, 1, go_id="IED\x7f"), frame(1, 2, 1, trailing=4)],
     findings(strict={"4 octets after the PDU": 2, "goID is not a VisibleString129": 1}),
     "two deviation kinds"),
]


@pytest.mark.parametrize("frames, expected, reason", CASES, ids=[case[2] for case in CASES])
def test_each_rule_counted_exactly(tmp_path, frames, expected, reason):
    events = []
    report = analyze(capture(tmp_path / "g.pcap", frames), events=events)
    (block,) = report.goose
    assert block["frames"] == len(frames), reason
    assert block["findings"] == expected, reason
    by_event = [e.details["finding"] for e in events if e.kind == "goose_finding"]
    expected_events = {key: count for key, count in expected.items() if key != "strict_deviations"}
    expected_events["strict_deviations"] = sum(expected["strict_deviations"].values())
    assert {key: by_event.count(key) for key in expected_events} == expected_events, reason
    assert set(block["findings_first_ns"]) == {key for key, count in expected_events.items() if count}, reason


def test_each_fault_once_through_the_command(tmp_path, capsys):
    frames = [
        frame(1, 0, 1),
        frame(1, 1, 1, True),            # values within stNum 1
        frame(2, 3, 2, True),            # stNum 2 over the same values
        frame(2, 4, 3, True),            # t within stNum 2
        frame(2, 0, 4, True),            # sqNum restarts with a new t (behind: compared with nothing else)
        frame(3, 0, 3),                  # stNum 3 keeps the newest in-order frame's t
        frame(3, 1, 3, entries=5),       # numDatSetEntries, and so a strict deviation
        frame(3, 2, 3, trailing=1),      # octets after the PDU
        frame(4, 0, 5, True, as_int=True),                     # a member's type within confRev 1
        frame(5, 0, 6, as_int=True, extra=[IntData(9)]),       # a third member within confRev 1
    ]
    path = capture(tmp_path / "g.pcap", frames)
    assert main(["analyze", str(path), "--json", "--events"]) == 0
    out = json.loads(capsys.readouterr().out)
    (block,) = out["goose"]
    assert block["findings"] == {key: 1 for key in KEYS} | {
        "strict_deviations": {"numDatSetEntries=5 but 2 entries": 1, "1 octets after the PDU": 1}}
    t0 = SECOND * 10**9
    assert block["findings_first_ns"]["values_changed_without_state_change"] == t0 + 1 * 10**6
    assert block["findings_first_ns"]["type_changed_without_conf_rev"] == t0 + 8 * 10**6
    assert block["findings_first_ns"]["strict_deviations"] == {
        "numDatSetEntries=5 but 2 entries": t0 + 6 * 10**6, "1 octets after the PDU": t0 + 7 * 10**6}
    found = [(e["time_ns"] - t0, e["finding"], e["text"]) for e in out["events"] if e["kind"] == "goose_finding"]
    assert found == [
        (1 * 10**6, "values_changed_without_state_change", "allData changed within stNum 1"),
        (2 * 10**6, "state_changed_without_values_change", "stNum 1 to 2 with the same allData"),
        (3 * 10**6, "t_changed_without_state_change", "t changed within stNum 2"),
        (4 * 10**6, "sq_restarts", "sqNum 4 to 0 within stNum 2 with a new t"),
        (5 * 10**6, "t_unchanged_at_state_change", "stNum 2 to 3 with the same t"),
        (6 * 10**6, "entries_mismatch", "numDatSetEntries=5 but 2 entries"),
        (6 * 10**6, "strict_deviations", "numDatSetEntries=5 but 2 entries"),
        (7 * 10**6, "strict_deviations", "1 octets after the PDU"),
        (8 * 10**6, "type_changed_without_conf_rev", "allData member types changed within confRev 1"),
        (9 * 10**6, "entries_changed_without_conf_rev", "2 to 3 allData members within confRev 1"),
    ]


def test_counters_of_the_corners(tmp_path):
    """Counts beside the findings: the frames of a state missed before its first seen, and one stale frame."""
    missed = [frame(1, sq, 1) for sq in range(4)] + [frame(2, sq, 2, True) for sq in (5, 6, 7)]
    (block,) = analyze(capture(tmp_path / "missed.pcap", missed)).goose
    assert (block["lost"], block["state_changes"], block["out_of_order"]) == (5, 1, 0)
    stale = [frame(1, 0, 1), frame(2, 0, 2, True), frame(1, 1, 1), frame(2, 1, 2, True)]
    (block,) = analyze(capture(tmp_path / "stale.pcap", stale)).goose
    assert (block["lost"], block["out_of_order"], block["duplicated"]) == (0, 1, 0)
    assert block["findings"] == findings()
    assert block["values"] == [True, 7]  # the newest state's, not the stale frame's


def test_every_block_that_sent_another_conf_rev_is_reported(tmp_path, capsys):
    # Block a: confRev 2 then 1 (the last is as expected); block b: always 1.
    frames = [frame(1, 0, 1, conf_rev=2), frame(1, 0, 1, ref="LD/LLN0$GO$b"), frame(1, 1, 1, conf_rev=2),
              frame(1, 2, 1, conf_rev=1), frame(1, 1, 1, ref="LD/LLN0$GO$b")]
    path = capture(tmp_path / "rev.pcap", frames)
    assert main(["analyze", str(path), "--json", "--expect-conf-rev", "1"]) == 0
    out = json.loads(capsys.readouterr().out)
    a, b = out["goose"]
    t0 = SECOND * 10**9
    assert a["conf_rev"] == 1 and a["unexpected_conf_rev"] == {"frames": 2, "first": 2, "first_ns": t0}
    assert b["unexpected_conf_rev"] is None
    (line,) = out["conf_rev_mismatches"]
    assert line.startswith(f"GOOSE {REF} (0x0001): 2 frames of a confRev other than 1, the first 2 at ")
    assert line.endswith(" (last confRev 1)")
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path), "--expect-conf-rev", "1"],
                          capture_output=True, text=True, env={"COLUMNS": "200", "PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0 and "2 frames of a confRev other than 1" in proc.stdout
    assert main(["analyze", str(path), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["goose"][0]["unexpected_conf_rev"] is None


def test_conforming_traffic_counts_nothing(tmp_path):
    """Three blocks as a conforming publisher sends them, SV interleaved: state changes
    with new t and values, retransmissions at growing intervals with sqNum rising."""
    records, at = [], SECOND * 10**9
    for st in range(1, 6):
        for sq in range(6):
            for k, ref in enumerate(("LD/LLN0$GO$a", "LD/LLN0$GO$b", "LD/LLN0$GO$c")):
                records.append((at, goose_frame(st, sq, value=(st + k) % 2 == 0, gocb_ref=ref)))
            at += 2**sq * 10**6
    records += [(at + n, raw) for n, (_, raw) in enumerate(sv_frames(range(50)))]
    path = tmp_path / "c.pcap"
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, raw in records:
            write_record(out, time_ns, raw)
    report = analyze(path)
    assert [b["frames"] for b in report.goose] == [30, 30, 30]
    assert [b["state_changes"] for b in report.goose] == [4, 4, 4]
    for block in report.goose:
        assert block["findings"] == findings(), block["gocb_ref"]
        assert block["findings_first_ns"] == {}
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path)], capture_output=True, text=True,
                          env={"COLUMNS": "200", "PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0 and "GOOSE findings" not in proc.stdout


def test_text_report_and_event_lines_name_the_findings(tmp_path):
    path = capture(tmp_path / "g.pcap", [frame(1, 0, 1), frame(1, 1, 2), frame(1, 2, 2, trailing=3)])
    proc = subprocess.run([sys.executable, "-m", "valdrin", "analyze", str(path), "--events"], capture_output=True,
                          text=True, env={"COLUMNS": "200", "PATH": "/usr/bin:/bin"})
    assert proc.returncode == 0, proc.stderr
    assert "GOOSE findings" in proc.stdout
    assert "t changed, stNum did not" in proc.stdout
    assert "not conformant: 3 octets after the PDU" in proc.stdout
    event = Event("goose_finding", SECOND * 10**9, True, 1, "01:0c:cd:01:00:01", REF,
                  {"finding": "sq_restarts", "text": "sqNum 9 to 0 within stNum 4 with a new t"})
    assert event_line(event).endswith(
        f"GOOSE {REF} (0x0001): sqNum restarted within a state: sqNum 9 to 0 within stNum 4 with a new t")


def test_the_packages_own_publisher_commits_no_finding(tmp_path, capsys):
    # State changes every second with retransmissions in between, as the publisher writes them.
    path = tmp_path / "pub.pcap"
    assert main(["goose", "publish", "--gocb-ref", "IED1LD0/LLN0$GO$gcb1", "--app-id", "0x10", "--dst-mac",
                 "01:0c:cd:01:00:10", "--pcap", str(path), "--duration", "4", "--toggle-every", "1",
                 "--min-time", "4", "--max-time", "250", "--value", "bool:false", "--value", "int:3"]) == 0
    capsys.readouterr()
    (block,) = analyze(path).goose
    assert block["frames"] > 20 and block["state_changes"] == 3
    assert block["findings"] == {key: 0 for key in block["findings"]} | {"strict_deviations": {}}
    assert (block["lost"], block["duplicated"], block["out_of_order"]) == (0, 0, 0)


@pytest.mark.parametrize("kind, details, text", [
    ("nds_com_change", {"old": 0, "new": 1}, "ndsCom False -> True"),
    ("goose_finding", {"finding": "type_changed_without_conf_rev",
                       "text": "allData member types changed within confRev 1"},
     "a member's type changed, confRev did not: allData member types changed within confRev 1"),
    ("goose_finding", {"finding": "entries_changed_without_conf_rev", "text": "2 to 3 allData members within confRev 1"},
     "the number of values changed, confRev did not: 2 to 3 allData members within confRev 1"),
])
def test_event_lines_of_the_new_kinds(kind, details, text):
    event = Event(kind, SECOND * 10**9, True, 1, "01:0c:cd:01:00:01", REF, details)
    assert event_line(event).endswith(f"GOOSE {REF} (0x0001): {text}")
