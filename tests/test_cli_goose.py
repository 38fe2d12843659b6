"""valdrin goose publish: the pcap path (no privileges) checked frame by frame
against an independent schedule, usage errors, and a live run in a namespace
counted by the Monitor."""

import json
import shutil
import subprocess
import sys

import pytest

import netns
from goose_pub_frames import schedule
from valdrin import goose
from valdrin.cli import main
from valdrin.pcap import read_pcap

BASE = ["goose", "publish", "--gocb-ref", "IED1LD0/LLN0$GO$gcb1", "--app-id", "0x10", "--dst-mac", "01:0c:cd:01:00:10"]


def test_pcap_holds_the_schedule_of_every_state(tmp_path, capsys):
    path = tmp_path / "g.pcap"
    status = main(BASE + ["--pcap", str(path), "--duration", "3", "--toggle-every", "1", "--min-time", "10",
                          "--max-time", "400", "--value", "bool:false", "--value", "int:-5", "--conf-rev", "4",
                          "--go-id", "gcb1", "--json"])
    assert status == 0
    assert json.loads(capsys.readouterr().out) == {"frames_sent": 21, "send_errors": 0, "late_frames": 0,
                                                   "max_lateness_ns": 0}
    packets = list(read_pcap(path))
    start = packets[0].timestamp_ns
    assert start % 1_000_000_000 == 0
    # Gaps 10, 20, 40, 80, 160, 320, then T0 400 ms: 7 frames in each second.
    expected = schedule(10, 400, 7)
    assert [offset for offset, _ in expected] == [0, 10, 30, 70, 150, 310, 630]
    assert len(packets) == 21
    for i, packet in enumerate(packets):
        state, k = divmod(i, 7)
        frame = goose.decode_frame(packet.data, strict=True)
        offset_ms, tal_ms = expected[k]
        assert packet.timestamp_ns == start + state * 1_000_000_000 + round(offset_ms * 1e6)
        assert (frame.st_num, frame.sq_num, frame.time_allowed_to_live) == (state + 1, k, tal_ms)
        assert frame.values == [state % 2 == 1, -5]
        assert (frame.conf_rev, frame.go_id, frame.dat_set, frame.header.app_id) == (4, "gcb1", "IED1LD0/LLN0$DS", 0x10)
        assert frame.t.seconds == start // 1_000_000_000 + state and frame.t.fraction == 0


@pytest.mark.parametrize("extra, message", [
    (["--pcap", "x.pcap", "--duration", "1", "--min-time", "10", "--max-time", "5"],
     "--min-time (10 ms) must not exceed --max-time (5 ms)"),
    (["--pcap", "x.pcap", "--duration", "1", "--min-time", "0"], "argument --min-time: must be positive, got 0"),
    (["--pcap", "x.pcap", "--duration", "1", "--value", "enum:3"], "argument --value: not KIND:VALUE"),
    (["--pcap", "x.pcap", "--duration", "1", "--value", "bool:maybe"], "argument --value: not a bool value: 'maybe'"),
    (["--pcap", "x.pcap"], "--pcap needs --duration"),
    (["--duration", "1"], "one of the arguments --iface --pcap --prp is required"),
    (["--pcap", "x.pcap", "--duration", "1", "--inject", "skip_sq=2"], "--inject needs --iface"),
    (["--iface", "lo", "--inject", "drop=2"], "argument --inject: 'drop=2': no knob 'drop' (one of skip_sq, "),
    (["--iface", "lo", "--inject", "skip_sq=2@1+2"], "'skip_sq=2@1+2': skip_sq happens once, it takes no +FOR"),
    (["--iface", "lo", "--inject", "silent@1"], "'silent@1': needs a value =TIME"),
    (["--iface", "lo", "--inject", "simulation=maybe"], "'simulation=maybe': not on or off: 'maybe'"),
    (["--iface", "lo", "--inject", "old_st@soon"], "'old_st@soon': not a time like 2, 1.5s, 800ms or 250us: 'soon'"),
    (["--iface", "lo", "--inject", "prp_wrong_lan@1+1"],
     "--inject prp_wrong_lan acts on PRP's LANs: it needs --prp IF_A,IF_B"),
    # Checked by the publisher before it starts (LAN B's interface is never opened).
    (["--prp", "lo,nowhere0", "--inject", "prp_delay_b=11ms@1+1"], "--inject prp_delay_b: fault value out of range"),
    (["--prp", "lo,nowhere0", "--inject", "prp_loss_a=101"], "--inject prp_loss_a: fault value out of range"),
])
def test_usage_errors(extra, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as caught:
        main(BASE + extra)
    assert caught.value.code == 2
    err = capsys.readouterr().err
    # One line naming the subcommand, whether argparse or the command found the mistake.
    (line,) = [line for line in err.splitlines() if "error:" in line]
    assert line.startswith("valdrin goose publish: error: ") and message in line
    assert not (tmp_path / "x.pcap").exists() or extra[-1] != "5"


# A veth pair va-vb in the test's namespace, and `valdrin goose publish` on va: state changes every 0.25 s.
VETH = """
import json, subprocess, sys, time
from valdrin.listen import Monitor
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
PUBLISH = [sys.executable, "-m", "valdrin", "goose", "publish", "--iface", "va", "--gocb-ref", "G/L$GO$g", "--app-id", "1",
           "--dst-mac", "01:0c:cd:01:00:01", "--min-time", "5", "--max-time", "40", "--toggle-every", "0.25", "--json"]
def caught_up(monitor, sent):
    # The block once the monitor has counted every frame sent, or after 10 s.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        blocks = monitor.report().goose
        if blocks and blocks[0]["frames"] >= sent:
            break
        time.sleep(0.01)
    return monitor.report().goose[0]
"""


def test_live_run_counted_by_the_monitor():
    result = netns.in_netns(VETH, """
with Monitor("vb") as monitor:
    out = subprocess.run(PUBLISH + ["--duration", "0.6"], capture_output=True, text=True)
    g = caught_up(monitor, json.loads(out.stdout)["frames_sent"])
print(json.dumps({"stats": json.loads(out.stdout), "report": [g["frames"], g["state_changes"], g["st_num"], g["lost"],
                                                            g["duplicated"], g["out_of_order"]]}))
""")
    assert result["stats"]["send_errors"] == 0
    assert result["report"][0] == result["stats"]["frames_sent"]
    assert result["report"][1:] == [2, 3, 0, 0, 0]


def test_injected_faults_at_their_offsets_counted_by_the_monitor():
    result = netns.in_netns(VETH, """
with Monitor("vb") as monitor:
    out = subprocess.run(PUBLISH + ["--duration", "1.6", "--inject", "skip_sq=3@100ms", "--inject", "repeat=2@0.2",
                                    "--inject", "old_st@0.4s", "--inject", "nds_com@0.6+0.3",
                                    "--inject", "simulation=on@0.5"], capture_output=True, text=True)
    sent = json.loads(out.stdout)["frames_sent"]
    g = caught_up(monitor, sent)
mac = json.loads(subprocess.run(["ip", "-j", "link", "show", "va"], capture_output=True, text=True).stdout)[0]["address"]
print(json.dumps({"sent": sent, "stderr": out.stderr, "mac": mac, "block": g}))
""")
    g = result["block"]
    assert g["frames"] == result["sent"], result["stderr"]
    counts = {key: g[key] for key in ("state_changes", "lost", "duplicated", "out_of_order", "nds_com_changes",
                                      "simulation_changes", "conf_rev_changes")}
    assert counts == {"state_changes": 6, "lost": 3, "duplicated": 2, "out_of_order": 1, "nds_com_changes": 2,
                      "simulation_changes": 1, "conf_rev_changes": 0}
    assert g["simulation"] is True and g["nds_com"] is False
    assert g["src"] == result["mac"] != "00:00:00:00:00:00"  # the interface's own address by default
    assert not any(g["findings"].values()), g["findings"]


def test_cli_is_listed():
    out = subprocess.run([sys.executable, "-m", "valdrin", "--help"], capture_output=True, text=True).stdout
    assert "goose" in out


def test_pcap_t_is_the_native_encoders(tmp_path, capsys):
    # A change 0.1 s into the second: 0.1 * 2**24 = 1677721.6, truncated as the thread does.
    path = tmp_path / "t.pcap"
    assert main(BASE + ["--pcap", str(path), "--duration", "0.2", "--toggle-every", "0.1", "--min-time", "50",
                        "--max-time", "50"]) == 0
    frames = [goose.decode_frame(p.data) for p in read_pcap(path)]
    assert [(f.st_num, f.sq_num, f.t.fraction) for f in frames] == [(1, 0, 0), (1, 1, 0), (2, 0, 1677721),
                                                                     (2, 1, 1677721)]
    assert capsys.readouterr().out == "4 frames sent, 0 send errors, 0 late, max lateness 0 µs\n"


@pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark not found on PATH")
def test_wireshark_reads_every_frame_without_complaint(tmp_path, capsys):
    path = tmp_path / "g.pcap"
    assert main(BASE + ["--pcap", str(path), "--duration", "2", "--toggle-every", "1", "--min-time", "5",
                        "--max-time", "200", "--value", "bool:false", "--value", "float:0.5"]) == 0
    capsys.readouterr()

    def tshark(*args):
        return subprocess.run(["tshark", "-n", "-r", str(path), *args], capture_output=True, text=True,
                              check=True, timeout=60).stdout

    numbers = [line.split("\t") for line in tshark("-T", "fields", "-e", "goose.stNum", "-e", "goose.sqNum").splitlines()]
    frames = [goose.decode_frame(packet.data, strict=True) for packet in read_pcap(path)]
    assert [[int(st), int(sq)] for st, sq in numbers] == [[f.st_num, f.sq_num] for f in frames]
    assert tshark("-Y", "_ws.expert || _ws.malformed") == ""  # no expert entry, nothing malformed
