"""relay-sim's supervision against trip-test's --inject on a veth pair in a
namespace of the test's own: the same fault trips a relay, but not one that
ignores the invalid (or unsynchronised) samples the publisher marks during it,
and one that blocks on a run of lost samples exactly from its threshold;
the relay logs its blocks. The options' checks without a network."""

import pytest

import netns
from test_trip import PRELUDE

BODY = """
from valdrin.inject import parse
def run(supervision, injections, synch=0):
    sim = testing.RelaySimulator("vb", "MU01", 1000, 20, REF, **supervision)
    done = threading.Event()
    sim.start()
    thread = threading.Thread(target=sim.serve, kwargs={"stop": done.is_set})
    thread.start()
    try:
        chosen = [sv.Stream(s.sv_id, s.channels, app_id=s.app_id, fault=s.fault, smp_synch=synch) for s in streams()]
        result = testing.trip_test("va", chosen, prefault=0.2, fault=0.3, postfault=0.1, gocb_ref=REF, shots=2,
                                   inject=[parse(text, sv.FAULT_KNOBS, streams=True) for text in injections])
    finally:
        done.set()
        thread.join()
        sim.stop()
    return {"tripped": [shot.tripped for shot in result.shots],
            "blocks": [(b.kind, b.reason, b.lost) for b in sim.blocks]}
print(json.dumps([
    run({"ignore_invalid": True}, ["quality=invalid@0+0.3"]),
    run({"ignore_invalid": True}, []),
    run({}, ["quality=invalid@0+0.3"]),
    run({"ignore_test": True}, ["quality=test:0@0+0.3"]),
    run({"block_unsynchronised": True}, ["smp_synch=0@0+0.3"], synch=2),
    # 30 frames of one sample dropped as the fault begins: a run of 30 lost samples.
    run({"block_after_lost": 30}, ["drop=30@0"]),
    run({"block_after_lost": 31}, ["drop=30@0"]),
]))
"""

BLOCKED = [["block", "quality invalid", 0], ["release", None, 0]] * 2


@pytest.fixture(scope="module")
def runs():
    return netns.in_netns(PRELUDE, BODY, timeout=180)


@pytest.mark.parametrize("run, tripped, blocks, reason", [
    (0, [False, False], BLOCKED, "invalid during the whole fault: ignored, no trip, blocked and released per shot"),
    (1, [True, True], [], "the same relay and fault without the injection trips"),
    (2, [True, True], [], "a relay that uses invalid samples trips on them"),
    (3, [False, False], [["block", "quality test", 0], ["release", None, 0]] * 2, "test quality on the watched Ia"),
    (4, [False, False], [["block", "smpSynch 0", 0], ["release", None, 0]] * 2, "the clock lost during the fault"),
    (5, [True, True], [["block", "samples lost", 30], ["release", None, 0]] * 2,
     "30 lost in a row reach a threshold of 30: blocked, released a full window later, then it trips"),
    (6, [True, True], [], "30 lost in a row stay below a threshold of 31"),
], ids=["ignored", "control", "not-supervised", "test-bit", "unsynchronised", "lost-at-threshold", "lost-below"])
def test_the_same_fault_trips_unless_the_relay_blocks_on_the_injected_fault(runs, run, tripped, blocks, reason):
    assert runs[run] == {"tripped": tripped, "blocks": blocks}, reason
