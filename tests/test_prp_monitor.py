"""valdrin monitor --prp: two veth pairs in a network namespace of the test's
own (va -> vb LAN A, wa -> wb LAN B), publish --prp on one side, the live
monitor on the other; its counts against independent receivers on each LAN."""

import json
import subprocess
import sys

import pytest

import netns
from test_prp_live import PRELUDE

MONITOR = PRELUDE + """
import os, sys
from valdrin.listen import Monitor

def wait_threads(proc, names, limit=20.0):
    '''Waits until the process runs every capture thread in `names`.'''
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        seen = set()
        for task in os.listdir(f"/proc/{proc.pid}/task"):
            try:
                with open(f"/proc/{proc.pid}/task/{task}/comm") as comm:
                    seen.add(comm.read().strip())
            except OSError:
                pass
        if names <= seen:
            return
        time.sleep(0.01)
    raise AssertionError(f"no capture threads {names} within {limit} s")
"""


def in_netns(body, timeout=90):
    return netns.in_netns(MONITOR, body, timeout)


def test_loss_on_lan_a_only_counted_live():
    reason = netns.nft_egress_reason()
    if reason:
        pytest.skip(reason)
    result = in_netns("""
        sh('nft add table netdev loss',
           'nft add chain netdev loss out "{ type filter hook egress device \\\\"va\\\\" priority 0; }"',
           'nft add rule netdev loss out numgen random mod 100 "<" 5 drop')
        a, b = Recorder("vb"), Recorder("wb")
        monitor = Monitor("vb", prp_b="wb")
        with monitor:
            publisher = sv.Publisher("va", [stream()], rate=4000, start_second=int(time.time()) + 1,
                                     periods=4000, prp_b="wa")
            sent = publish(publisher, 2 * 4000)["frames_sent"]
            wait_settled(lambda: len(a.records) + len(b.records), "the frames received")
            wait_until(lambda: monitor.report().frames == 4000, "the monitor's 4000 frames")
        report = monitor.report()
        a.stop("/dev/null"), b.stop("/dev/null")
        (s,) = report.sv
        on_a = sum(1 for _, f in a.records if f[12:14] == bytes([0x88, 0xBA]))
        on_b = sum(1 for _, f in b.records if f[12:14] == bytes([0x88, 0xBA]))
        supervision = [sum(1 for _, f in r.records if f[12:14] == bytes([0x88, 0xFB])) for r in (a, b)]
        print(json.dumps({"prp": s["prp"], "lost": s["lost"], "frames": s["frames"], "on_a": on_a, "on_b": on_b,
                          "sent": sent, "capture": report.capture, "lans": report.prp["lans"],
                          "supervision": supervision}))
    """)
    prp, capture = result["prp"], result["capture"]
    assert (capture["kernel_drops"], capture["lan_b"]["kernel_drops"], capture["lan_b"]["handover_drops"]) == (0, 0, 0)
    assert result["on_b"] == 4000 and result["sent"] == 4000 + result["on_a"]
    assert 0 < 4000 - result["on_a"] < 400, "about 5 % dropped on LAN A"
    # LAN A's losses as its own receiver counted them; none lost on both.
    assert prp["lost_a"] == 4000 - result["on_a"]
    assert (prp["lost_b"], prp["lost_both"], result["lost"], result["frames"]) == (0, 0, 0, 4000)
    assert (prp["frames_a"], prp["frames_b"]) == (result["on_a"], 4000)
    # Supervision frames as each LAN's receiver saw them (LAN A's may be among the dropped).
    assert [result["lans"][lan]["supervision"] for lan in ("A", "B")] == result["supervision"]
    assert result["supervision"][1] >= 1


def test_command_json_and_table():
    result = in_netns("""
        def monitor(*args):
            return subprocess.Popen([sys.executable, "-m", "valdrin", "monitor", "--prp", "vb,wb", *args],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                    env=dict(os.environ, COLUMNS="250"))  # every column of the tables
        out = {}
        for mode in ("--json", "table"):
            proc = monitor(*(["--json"] if mode == "--json" else []), "--duration", "3")
            wait_threads(proc, {"frame-capture", "prp-capture-b"})
            publisher = sv.Publisher("va", [stream(0x4001), stream(0x4002)], rate=4000,
                                     start_second=int(time.time()) + 1, periods=400, prp_b="wa")
            publish(publisher, 2 * 2 * 400)
            stdout, stderr = proc.communicate(timeout=30)
            out[mode] = {"code": proc.returncode, "stdout": stdout, "stderr": stderr}
        missing = subprocess.run([sys.executable, "-m", "valdrin", "monitor", "--prp", "vb,nope0"],
                                 capture_output=True, text=True, timeout=20)
        out["missing"] = {"code": missing.returncode, "stdout": missing.stdout, "stderr": missing.stderr}
        print(json.dumps(out))
    """)
    assert result["--json"]["code"] == 0, result["--json"]["stderr"]
    report = json.loads(result["--json"]["stdout"])
    assert [s["sv_id"] for s in report["sv"]] == ["MU4001", "MU4002"]
    for s in report["sv"]:
        assert (s["frames"], s["lost"]) == (400, 0)
        counts = {k: s["prp"][k] for k in ("frames_a", "frames_b", "lost_a", "lost_b", "lost_both", "wrong_lan",
                                           "bad_size", "repeated")}
        assert counts == {"frames_a": 400, "frames_b": 400, "lost_a": 0, "lost_b": 0, "lost_both": 0,
                          "wrong_lan": 0, "bad_size": 0, "repeated": 0}, s["sv_id"]
    # Every SV frame's second copy discarded; supervision frames are not passed on, not discarded.
    assert report["prp"]["discarded"] == 2 * 400
    assert all(report["prp"]["lans"][lan]["supervision"] >= 1 for lan in "AB")
    assert report["capture"]["lan_b"]["frames"] >= 800
    table = result["table"]
    assert table["code"] == 0, table["stderr"]
    for text in ("PRP: LAN A and LAN B", "MU4001", "MU4002", "LAN A: ", "LAN B: ", "PRP nodes",
                 "dropped by the kernel on LAN A", "on LAN B"):
        assert text in table["stdout"], text
    assert result["missing"] == {"code": 1, "stdout": "",
                                 "stderr": "valdrin: interface nope0: No such device (os error 19)\n"}


@pytest.mark.parametrize("value, message", [
    ("vb", "expected two different interfaces IF_A,IF_B, got 'vb'"),
    ("vb,vb", "expected two different interfaces IF_A,IF_B, got 'vb,vb'"),
    ("vb,", "expected two different interfaces IF_A,IF_B, got 'vb,'"),
    ("a,b,c", "expected two different interfaces IF_A,IF_B, got 'a,b,c'"),
])
def test_prp_usage_errors(value, message):
    proc = subprocess.run([sys.executable, "-m", "valdrin", "monitor", "--prp", value],
                          capture_output=True, text=True, timeout=20)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.splitlines()[-1] == f"valdrin monitor: error: argument --prp: {message}"


def test_iface_and_prp_exclude_each_other():
    proc = subprocess.run([sys.executable, "-m", "valdrin", "monitor", "--iface", "vb", "--prp", "vb,wb"],
                          capture_output=True, text=True, timeout=20)
    assert proc.returncode == 2
    assert proc.stderr.splitlines()[-1] == "valdrin monitor: error: argument --prp: not allowed with argument --iface"


def test_frame_only_on_lan_b_handed_over_late_is_analysed_in_stamp_order():
    # Each ring hands its block over when its own block timer fires; LAN B's
    # ring is made after LAN A's, so its timer fires a little later. A frame
    # that came on LAN B only (smpCnt n+1) and is stamped before LAN A's next
    # frames (n+2, n+3) then reaches user space after them: the analysis must
    # still see n, n+1, n+2, n+3 in the order of their stamps.
    result = in_netns("""
        publisher = sv.Publisher("va", [stream()], rate=4000, start_second=int(time.time()) + 1, prp_b="wa")
        second = int(time.time())
        sockets = {}
        for iface in ("va", "wa"):
            sockets[iface] = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
            sockets[iface].bind((iface, 0))
        def send(iface, smp, seq):
            plain = publisher.render(0, second, smp)
            lan = 0xA if iface == "va" else 0xB
            trailer = struct.pack("!HHH", seq, lan << 12 | (len(plain) + 6 - 14), 0x88FB)
            sockets[iface].send(plain + trailer)
        ROUNDS, PACE_S = 8, 0.25  # a round, then more than a block timeout (100 ms) for both rings
        monitor = Monitor("vb", prp_b="wb", block_timeout_ms=100)
        with monitor:
            smp = 0
            for _ in range(ROUNDS):
                send("va", smp, smp); send("wa", smp, smp)   # both LANs
                send("wa", smp + 1, smp + 1)                 # lost on LAN A
                for k in (2, 3):
                    send("va", smp + k, smp + k)
                for k in (2, 3):
                    send("wa", smp + k, smp + k)
                smp += 4
                time.sleep(PACE_S)
            wait_until(lambda: monitor.report().frames == 4 * ROUNDS, "the monitor's frames")
        report = monitor.report()
        (s,) = report.sv
        print(json.dumps({k: s[k] for k in ("frames", "lost", "out_of_order", "backward_times", "prp")}
                         | {"capture": report.capture}))
    """)
    prp = result["prp"]
    assert {k: result[k] for k in ("frames", "lost", "out_of_order", "backward_times")} == {
        "frames": 32, "lost": 0, "out_of_order": 0, "backward_times": 0}
    assert (prp["frames_a"], prp["frames_b"], prp["lost_a"], prp["lost_b"], prp["lost_both"]) == (24, 32, 8, 0, 0)
    assert result["capture"]["lan_b"]["merged_early"] == 0


def test_stopped_while_both_lans_deliver_counts_no_loss():
    # LAN B's capture stops first: what LAN A receives until its own stop
    # is no loss on LAN B (it counted some 120 frames of a 4000/s stream).
    result = in_netns("""
        monitor = Monitor("vb", prp_b="wb")
        publisher = sv.Publisher("va", [stream()], rate=4000, start_second=int(time.time()) + 1,
                                 periods=12000, prp_b="wa")
        with publisher:
            with monitor:
                wait_until(lambda: monitor.report().frames >= 2000, "the monitor's first 2000 frames")
            report = monitor.report()
            running = publisher.stats()["frames_sent"] < 2 * 12000
        (s,) = report.sv
        print(json.dumps({"prp": s["prp"], "frames": s["frames"], "lost": s["lost"], "running": running}))
    """)
    assert result["running"], "the monitor stopped while frames still came"
    prp = result["prp"]
    assert (prp["lost_a"], prp["lost_b"], prp["lost_both"], result["lost"]) == (0, 0, 0, 0)
    assert result["frames"] >= 2000 and prp["frames_b"] <= prp["frames_a"]
