"""valdrin.inject: the one --inject grammar, read over a table of knobs of
every kind (GOOSE's own, and those the SV publisher will name)."""

import pytest

from valdrin import goose
from valdrin.inject import InjectError, Injection, Kind, Knob, Mask, Step, parse, span_ns, steps

KNOBS = {knob.name: knob for knob in (
    Knob("drop", Kind.COUNT, "drop N frames"),
    Knob("swap", Kind.ACTION, "swap two frames"),
    Knob("silence", Kind.SPAN, "send nothing for TIME"),
    Knob("simulation", Kind.FLAG, "the simulation bit"),
    Knob("conf_rev", Kind.NUMBER, "another confRev"),
    Knob("delay", Kind.DELAY, "every frame late by TIME"),
    Knob("quality", Kind.MASK, "quality bits on channels"),
)}
S = 1_000_000_000


@pytest.mark.parametrize("text, knob, value, at_ns, for_ns", [
    ("drop", "drop", 1, 0, None),
    ("drop=5@2", "drop", 5, 2 * S, None),
    ("drop=0x10@1.5s", "drop", 16, 1_500_000_000, None),
    ("swap@300ms", "swap", None, 300_000_000, None),
    ("silence=800ms@3", "silence", 800_000_000, 3 * S, None),
    ("silence=.25", "silence", 250_000_000, 0, None),
    ("simulation@2+1", "simulation", True, 2 * S, S),
    ("simulation=off@0+250us", "simulation", False, 0, 250_000),
    ("conf_rev=7@1+2.5", "conf_rev", 7, S, 2_500_000_000),
    ("delay=150µs@1", "delay", 150_000, S, None),
    ("quality=0x2000:0-3,7@1s+500ms", "quality", Mask(0x2000, (0, 1, 2, 3, 7)), S, 500_000_000),
    ("quality=0x0800", "quality", Mask(0x800, None), 0, None),
    (" drop=2@1 ", "drop", 2, S, None),
], ids=lambda v: v if isinstance(v, str) else None)
def test_each_form_reads_as_meant(text, knob, value, at_ns, for_ns):
    assert parse(text, KNOBS) == Injection(KNOBS[knob], value, at_ns, for_ns)


@pytest.mark.parametrize("text, message", [
    ("jump=3", "'jump=3': no knob 'jump' (one of drop, swap, silence, simulation, conf_rev, delay, quality)"),
    ("drop=0", "'drop=0': must be at least 1, got 0"),
    ("drop=two", "'drop=two': not a whole number: 'two'"),
    ("drop@1+2", "'drop@1+2': drop happens once, it takes no +FOR"),
    ("swap=1", "'swap=1': takes no value"),
    ("silence@1", "'silence@1': needs a value =TIME"),
    ("conf_rev", "'conf_rev': needs a value =V"),
    ("simulation=yes", "'simulation=yes': not on or off: 'yes'"),
    ("simulation@2+0", "'simulation@2+0': +FOR must be longer than 0"),
    ("simulation@-1", "'simulation@-1': not a time like 2, 1.5s, 800ms or 250us: '-1'"),
    ("delay=5min", "'delay=5min': not a time like 2, 1.5s, 800ms or 250us: '5min'"),
    ("quality=0x20:3-1", "'quality=0x20:3-1': not a channel range: '3-1'"),
    ("drop=1@2@3", "not KNOB[=VALUE][@AT][+FOR]: 'drop=1@2@3'"),
    ("Drop", "not KNOB[=VALUE][@AT][+FOR]: 'Drop'"),
])
def test_errors_are_one_line_and_say_what(text, message):
    with pytest.raises(InjectError) as caught:
        parse(text, KNOBS)
    assert str(caught.value) == message
    assert "\n" not in str(caught.value)


@pytest.mark.parametrize("text, ns", [("1", S), ("0.000000001", 1), ("1.1", 1_100_000_000), ("3ms", 3_000_000),
                                      ("2.5us", 2_500), ("0s", 0), ("10.", 10 * S)])
def test_spans_are_exact_in_ns(text, ns):
    assert span_ns(text) == ns


def test_steps_in_time_order_with_clears_first_at_an_instant():
    a = parse("simulation@1+1", KNOBS)
    b = parse("simulation=on@2+1", KNOBS)
    c = parse("drop=2@1.5", KNOBS)
    sim, drop = KNOBS["simulation"], KNOBS["drop"]
    assert steps([b, c, a]) == [
        Step(S, sim, True), Step(1_500_000_000, drop, 2), Step(2 * S, sim, True, clear=True), Step(2 * S, sim, True),
        Step(3 * S, sim, True, clear=True)]


def test_goose_knobs_are_the_publishers_fault_knobs():
    assert list(goose.INJECT_KNOBS) == list(goose.FAULT_KNOBS)
    assert {k.kind for k in goose.INJECT_KNOBS.values()} == {Kind.COUNT, Kind.SPAN, Kind.FLAG, Kind.NUMBER, Kind.DELAY}
