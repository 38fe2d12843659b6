"""relay-sim's supervision against trip-test's --inject on a veth pair in a
namespace of the test's own: the same fault trips a relay, but not one that
ignores the invalid (or unsynchronised) samples the publisher marks during it;
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
            "blocks": [(b.kind, b.reason) for b in sim.blocks]}
print(json.dumps([
    run({"ignore_invalid": True}, ["quality=invalid@0+0.3"]),
    run({"ignore_invalid": True}, []),
    run({}, ["quality=invalid@0+0.3"]),
    run({"ignore_test": True}, ["quality=test:0@0+0.3"]),
    run({"block_unsynchronised": True}, ["smp_synch=0@0+0.3"], synch=2),
]))
"""

BLOCKED = [["block", "quality invalid"], ["release", None]] * 2


@pytest.fixture(scope="module")
def runs():
    return netns.in_netns(PRELUDE, BODY, timeout=180)


@pytest.mark.parametrize("run, tripped, blocks, reason", [
    (0, [False, False], BLOCKED, "invalid during the whole fault: ignored, no trip, blocked and released per shot"),
    (1, [True, True], [], "the same relay and fault without the injection trips"),
    (2, [True, True], [], "a relay that uses invalid samples trips on them"),
    (3, [False, False], [["block", "quality test"], ["release", None]] * 2, "test quality on the watched Ia"),
    (4, [False, False], [["block", "smpSynch 0"], ["release", None]] * 2, "the clock lost during the fault"),
], ids=["ignored", "control", "not-supervised", "test-bit", "unsynchronised"])
def test_the_same_fault_trips_unless_the_relay_blocks_on_the_injected_fault(runs, run, tripped, blocks, reason):
    assert runs[run] == {"tripped": tripped, "blocks": blocks}, reason
