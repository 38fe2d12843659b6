"""The GOOSE publisher's fault knobs against valdrin.listen.Monitor on the
peer of a veth in a namespace of the test's own: one control block per knob,
each reported as its own count or event, and a block without faults clean;
the frames of old_st read off the wire are of the state before, as it was."""

import netns

BODY = """
import json, socket, subprocess, time
from valdrin import goose
from valdrin.data import BoolData, IntData
from valdrin.listen import Monitor
from netns import wait_until
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
KNOBS = [("skip_sq", 3), ("repeat", 2), ("old_st", 1), ("silent", 3.0), ("wrong_conf_rev", 1), ("simulation", 1),
         ("nds_com", 1), ("wrong_type", 1), ("none", 0)]
LASTING = ("wrong_conf_rev", "simulation", "nds_com", "wrong_type")
def block(i):
    # stNum 5: an older state is 4 (below 1 it would wrap to 2**32 - 1, which reads as ahead).
    pdu = goose.GoosePDU(f"IED1LD0/LLN0$GO$gcb{i}", "IED1LD0/LLN0$DS1", f"g{i}", st_num=5, conf_rev=3,
                         time_quality=0x0A, all_data=[BoolData(True), IntData(7)])
    # TAL 2 s: a publisher thread held up on a loaded machine does not expire
    # it (400 ms did, once, with a load average of 18 on two cores); the
    # silent knob's 3 s does, once.
    return goose.GooseBlock(pdu, bytes.fromhex("010ccd010001"), 0x100 + i, min_time_ms=5.0, max_time_ms=100.0,
                             tal_factor=20)
def by_app_id(report):
    return sorted(report.goose, key=lambda g: g["app_id"])
def frames():
    return [g["frames"] for g in by_app_id(monitor.report())]
def each_sent(more, since):
    # Every block sent `more` frames after `since` (the silent one once it speaks again).
    return lambda: len(frames()) == len(KNOBS) and all(n >= s + more for n, s in zip(frames(), since))
events = []
OLD = KNOBS.index(("old_st", 1))
wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88B8))
wire.bind(("vb", 0))
wire.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
with Monitor("vb") as monitor:
    with goose.Publisher("va", [block(i) for i in range(len(KNOBS))]) as publisher:
        wait_until(each_sent(5, [0] * len(KNOBS)), "five frames of every block")
        publisher.publish(OLD, [BoolData(False), IntData(8)])  # stNum 6: the state before is 5
        wait_until(each_sent(2, frames()), "two frames of every block after the new state")
        for i, (knob, value) in enumerate(KNOBS):
            if knob != "none":
                publisher.fault(i, knob, value)
        wrong_type = KNOBS.index(("wrong_type", 1))
        wait_until(lambda: by_app_id(monitor.report())[wrong_type]["values"] == [-1, 7], "the wrong type seen")
        during = by_app_id(monitor.report())[wrong_type]["values"]
        for i, (knob, value) in enumerate(KNOBS):
            if knob in LASTING:
                publisher.fault(i, knob, 0)
        wait_until(each_sent(3, frames()), "three frames of every block after the lasting knobs' end")
        report = by_app_id(monitor.report())
        events = monitor.next_events(0.1)
wire.setblocking(False)
seen = []  # (stNum, values, t) of the old_st block's frames in arrival order
while True:
    try:
        frame = goose.decode_frame(wire.recv(2048))
    except BlockingIOError:
        break
    if frame is not None and frame.header.app_id == 0x100 + OLD:
        seen.append((frame.st_num, frame.values, frame.t.seconds, frame.t.fraction))
wire.close()
KEYS = ["lost", "duplicated", "out_of_order", "tal_expired", "conf_rev_changes", "simulation_changes",
        "nds_com_changes", "state_changes"]
print(json.dumps({"counts": {knob: {k: g[k] for k in KEYS} for (knob, _), g in zip(KNOBS, report)},
                  "values": [during, report[KNOBS.index(("wrong_type", 1))]["values"]],
                  "events": sorted({e.kind for e in events}), "stats": publisher.stats(),
                  "old_findings": report[OLD]["findings"], "seen": seen}))
"""

ZERO = dict.fromkeys(["lost", "duplicated", "out_of_order", "tal_expired", "conf_rev_changes", "simulation_changes",
                      "nds_com_changes", "state_changes"], 0)


def test_each_knob_is_reported_as_its_own_count():
    result = netns.in_netns("", BODY)
    counts = result["counts"]
    for knob, expected in [("skip_sq", {"lost": 3}), ("repeat", {"duplicated": 2}),
                           ("old_st", {"out_of_order": 1, "state_changes": 1}),
                           ("wrong_conf_rev", {"conf_rev_changes": 2}), ("simulation", {"simulation_changes": 2}),
                           ("nds_com", {"nds_com_changes": 2}), ("wrong_type", {}), ("none", {})]:
        assert counts[knob] == {**ZERO, **expected}, knob
    # Silence: the time to live runs out once; the sqNums skipped meanwhile count as lost.
    silent = counts["silent"]
    assert silent["tal_expired"] == 1 and silent["lost"] >= 3
    assert {**silent, "tal_expired": 0, "lost": 0} == ZERO
    # A BOOLEAN TRUE sent as an INTEGER reads as -1 while the knob is set.
    assert result["values"] == [[-1, 7], [True, 7]]
    assert {"conf_rev_change", "simulation_change", "nds_com_change", "tal_expired"} <= set(result["events"])
    assert result["stats"]["send_errors"] == 0
    # old_st: one frame of stNum 5 after stNum 6 began, with stNum 5's values and t; compared with nothing.
    seen = result["seen"]
    first_new = next(n for n, (st, *_) in enumerate(seen) if st == 6)
    stale = [frame for frame in seen[first_new:] if frame[0] == 5]
    assert len(stale) == 1
    assert stale[0] == [5, [True, 7], *seen[0][2:]]
    assert seen[first_new][1] == [False, 8] and seen[first_new][2:] != seen[0][2:]
    assert not any(result["old_findings"].values()), result["old_findings"]
