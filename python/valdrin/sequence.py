"""State sequences: a protection test as states of phasors, ended by time or by the relay's GOOSE.

:func:`load` reads a sequence file (TOML; see :mod:`valdrin.sequence_file`),
:func:`run` plays it into the relay behind an interface and judges it.

Each state gives every current and voltage as a phasor (rms, degrees), a
frequency, harmonics, and for a fault its inception angle and the decaying
DC offset of its currents. The SV engine's transmit thread holds every
state precomputed and switches between them exactly at sample boundaries:
a state with ``duration_s`` lasts exactly its samples; a state with
``until`` ends when the relay's GOOSE satisfies the condition, at the first
frame period due at or after the trigger's kernel receive stamp plus the
next state's ``after_trigger_ms`` (the simulated breaker), or after its
``timeout_s``. The capture thread evaluates the condition as frames arrive
and commands the switch itself (:func:`trigger_rules` gives it its rules).
Angles run on across states unless a state sets
``inception_deg``.

The instants are the trip test's: a state's start is the scheduled instant
of its first sample; an event's time is the kernel receive stamp of the
first frame of the GOOSE state that satisfied it; an assessment measures
from a state's start to an event, with the uncertainty of how far from its
instant the frame carrying that first sample left (the engine's clock just
after handing it to the kernel) plus 1 µs.

>>> sequence = load("distance.toml")                       # doctest: +SKIP
>>> result = run(sequence, "eth1")                          # doctest: +SKIP
>>> result.verdict                                          # doctest: +SKIP
'pass'
"""

from __future__ import annotations

import bisect
import math
import time
from dataclasses import dataclass, field
from typing import Callable

from . import data, goose
from .listen import Monitor
from .sequence_file import (
    PHASES,
    Assessment,
    Condition,
    SequenceFile,
    SequenceFileError,
    StateSpec,
    load,
    loads,
)
from .sv import Publisher, Stream, Wave, decode_frame

__all__ = [
    "AssessmentResult",
    "EventRecord",
    "SequenceFile",
    "SequenceFileError",
    "SequenceResult",
    "ShotResult",
    "StateRecord",
    "load",
    "loads",
    "run",
]

# How the engine reports a state's end.
ENDINGS = {0: None, 1: "duration", 2: "trigger", 3: "timeout"}
# The time the capture and the publisher get to start before the first state.
_SET_UP_S = 0.5
# How long after a shot's end the capture may still hand over its events.
_EVENT_LAG_NS = 100_000_000
# The longest wait for events between two looks at the engine.
_POLL_S = 0.002


@dataclass
class StateRecord:
    """One state of one shot as it ran. Instants in ns since the epoch; ``start_ns`` the scheduled
    instant of its first sample, ``sent_ns`` the clock just after the frame carrying it was handed
    to the kernel; ``trigger_ns`` the receive stamp of the event that ended it; ``switch_late_us``
    (for a state begun on a trigger) how much later than trigger + after_trigger_ms its first
    frame left; ``commanded_ns`` (for a state ended by a trigger) when the command went to the
    engine."""

    name: str
    first_sample: int | None = None
    start_ns: int | None = None
    end_ns: int | None = None
    ended_by: str | None = None
    sent_ns: int | None = None
    trigger_ns: int | None = None
    switch_late_us: float | None = None
    # For a state ended by a trigger: when this process gave the engine its command (real-time clock).
    commanded_ns: int | None = None

    def to_json(self) -> dict:
        return {"name": self.name, "start": _seconds(self.start_ns), "end": _seconds(self.end_ns),
                "ended_by": self.ended_by}


@dataclass
class EventRecord:
    """The first GOOSE state of a shot that satisfied a condition: ``ref`` is ``GOCB_REF#N``."""

    ref: str
    value: bool | int | float
    time_ns: int

    def to_json(self) -> dict:
        return {"ref": self.ref, "value": self.value, "time": self.time_ns / 1e9}


@dataclass
class AssessmentResult:
    name: str
    measured_ms: float | None
    uncertainty_us: float | None
    min_ms: float
    max_ms: float
    passed: bool

    def to_json(self) -> dict:
        return {"name": self.name, "measured_ms": self.measured_ms, "uncertainty_us": self.uncertainty_us,
                "min_ms": self.min_ms, "max_ms": self.max_ms, "pass": self.passed}


@dataclass
class ShotResult:
    index: int
    states: list[StateRecord]
    events: list[EventRecord] = field(default_factory=list)
    assessments: list[AssessmentResult] = field(default_factory=list)

    @property
    def passed(self) -> bool:
        """Every assessment passed and no trigger-ended state timed out."""
        return all(a.passed for a in self.assessments) and all(s.ended_by != "timeout" for s in self.states)

    def to_json(self) -> dict:
        return {"states": [s.to_json() for s in self.states], "events": [e.to_json() for e in self.events],
                "assessments": [a.to_json() for a in self.assessments]}


@dataclass
class SequenceResult:
    """The shots judged, in order; ``interrupted`` when stopped (Ctrl-C, ``stop()``, an error) before the last."""

    sequence: SequenceFile
    shots: list[ShotResult] = field(default_factory=list)
    interrupted: bool = False
    error: str | None = None
    started_ns: int = 0
    publisher: Publisher | None = field(default=None, repr=False)
    # The first sample of every state of every shot as the engine ran them (None: not begun).
    starts: list[int | None] = field(default_factory=list, repr=False)

    @property
    def verdict(self) -> str:
        """The verdict: pass when every shot ran and passed, else fail."""
        complete = not self.interrupted and len(self.shots) == self.sequence.shots
        return "pass" if complete and all(shot.passed for shot in self.shots) else "fail"

    def to_json(self) -> dict:
        return {"verdict": self.verdict, "shots": [shot.to_json() for shot in self.shots]}

    def samples(self, shot: ShotResult, before_s: float = 0.05,
                after_s: float = 0.05) -> tuple[list[float], list[list[float]]]:
        """The samples of every channel (A and V) sent from ``before_s`` before the shot's first
        state to ``after_s`` after its last, re-rendered by the engine from the states' starts,
        with their times in seconds from the shot's start."""
        if self.publisher is None or shot.states[0].start_ns is None:
            return [], []
        publisher = self.publisher
        origin = shot.states[0].start_ns
        end = max((s.end_ns or s.start_ns or origin) for s in shot.states)
        first = max(publisher.first_period(origin - round(before_s * 1e9)), 0)
        last = publisher.first_period(end + round(after_s * 1e9))
        engine = publisher._engines[0]
        scales = [w.scale for w in publisher.streams[0].channels]
        times: list[float] = []
        values: list[list[float]] = [[] for _ in scales]
        apf = publisher.asdus_per_frame
        for k, (_, frame) in enumerate(engine.sequence_frames(self.starts, first, last - first), start=first):
            for t, asdu in enumerate(decode_frame(frame).asdus):
                times.append((publisher.instant(*_second_smp(publisher, k * apf + t)) - origin) / 1e9)
                for j, (value, _) in enumerate(asdu.samples):
                    values[j].append(value / scales[j])
        return times, values


def _second_smp(publisher: Publisher, n: int) -> tuple[int, int]:
    """UNIX second and sample of absolute sample ``n`` (from the publisher's start second)."""
    carry, smp = divmod(n, publisher.rate)
    return publisher.start_second + carry, smp


def _seconds(ns: int | None) -> float | None:
    return None if ns is None else ns / 1e9


# --- the engine's states -----------------------------------------------------------


def _channels(state: StateSpec) -> list[tuple[bool, list[tuple[float, float, float]]]]:
    """The engine's channels of ``state``: Ia Ib Ic In Va Vb Vc Vn, each (dc_offset, tones)."""
    out = []
    for group, phasors in enumerate((state.currents, state.voltages)):
        for rms, angle in phasors:
            peak = rms * math.sqrt(2.0)
            tones = [(1.0, peak, angle)]
            tones += [(h.order, peak * h.percent / 100.0, h.order * angle + h.angle_deg) for h in state.harmonics]
            out.append((state.dc_offset and group == 0, tones))
    return out


def engine_states(sequence: SequenceFile) -> list[tuple]:
    """The engine's states of every shot in order: (samples, trigger, frequency_hz,
    inception_deg, tau_s, channels)."""
    rate = sequence.rate
    one_shot = []
    for state in sequence.states:
        if state.until is None:
            samples = max(round(state.duration_s * rate), 1)
        else:
            samples = 0 if state.timeout_s is None else max(round(state.timeout_s * rate), 1)
        one_shot.append((samples, state.until is not None, state.frequency_hz, state.inception_deg,
                         state.tau_ms / 1000.0, _channels(state)))
    return one_shot * sequence.shots


def stream_of(sequence: SequenceFile, src_mac: str | bytes | None = None) -> Stream:
    """The sequenced stream: the [stream] options, 8 channels of 9-2LE scaling."""
    import valdrin_rt

    scales = [float(valdrin_rt.COUNTS_PER_AMPERE)] * PHASES + [float(valdrin_rt.COUNTS_PER_VOLT)] * PHASES
    nominal = sequence.states[0].frequency_hz
    options = dict(sequence.stream)
    if src_mac is not None and "src_mac" not in options:
        options["src_mac"] = src_mac
    if "smp_rate" not in options:
        per_cycle = sequence.rate / nominal
        if per_cycle.is_integer() and 0 < per_cycle <= 0xFFFF:
            options["smp_rate"] = int(per_cycle)
    return Stream(channels=[Wave(0.0, 0.0, nominal, 0.0, scale) for scale in scales], **options)


def publisher_of(sequence: SequenceFile, iface: str, *, start_second: int, rt_priority: int | None = None,
                 cpu: int | None = None, src_mac: str | bytes | None = None) -> Publisher:
    """The SV publisher that plays ``sequence`` from ``start_second`` on (not started)."""
    return Publisher(iface, [stream_of(sequence, src_mac)], sequence.rate, sequence.asdus_per_frame,
                     start_second=start_second, rt_priority=rt_priority, cpu=cpu,
                     _sequence=(0, engine_states(sequence)))


def _goose_publisher(sequence: SequenceFile, iface: str) -> goose.Publisher | None:
    if not sequence.goose:
        return None
    blocks = []
    for block in sequence.goose:
        ld = block.gocb_ref.split("/")[0]
        pdu = goose.GoosePDU(block.gocb_ref, block.dat_set or f"{ld}/LLN0$Status", block.go_id or ld,
                             all_data=[_data(v) for v in block.values])
        blocks.append(goose.GooseBlock(pdu, dst_mac=bytes.fromhex(block.dst_mac.replace(":", "").replace("-", "")),
                                       app_id=block.app_id))
    return goose.Publisher(iface, blocks)


def _data(value: bool | int | float) -> object:
    if isinstance(value, bool):
        return data.BoolData(value)
    if isinstance(value, int):
        return data.IntData(value)
    return data.FloatData(value)


def watched_conditions(sequence: SequenceFile) -> list[Condition]:
    """The distinct GOOSE conditions of the sequence: the ``until`` ones, then the assessed events."""
    conditions: list[Condition] = []
    for condition in [s.until for s in sequence.states if s.until] + [a.event for a in sequence.assessments]:
        if condition not in conditions:
            conditions.append(condition)
    return conditions


def trigger_rules(sequence: SequenceFile) -> tuple[list[tuple], list[tuple]]:
    """The capture thread's trigger of every shot: the conditions it follows (every one of
    :func:`watched_conditions`, as (gocb_ref, member, value)), and per state (condition index |
    None, delay_ns), the delay being the following state's ``after_trigger_ms``."""
    conditions = watched_conditions(sequence)
    flat = sequence.states * sequence.shots
    rules = []
    for s, state in enumerate(flat):
        following = flat[s + 1].after_trigger_ms if s + 1 < len(flat) else 0.0
        index = None if state.until is None else conditions.index(state.until)
        rules.append((index, round(following * 1e6)))
    return [(c.gocb_ref, c.member, c.value) for c in conditions], rules


# --- watching the relay ----------------------------------------------------------------


class _Rises:
    """The rises of every watched condition, as the capture thread's trigger logged them (what a
    rise is belongs to it): per condition, their receive stamps in order."""

    def __init__(self, conditions: list[Condition]) -> None:
        self.stamps: dict[Condition, list[int]] = {condition: [] for condition in conditions}

    def take(self, monitor: Monitor) -> None:
        """Moves the rises logged since the last call out of the monitor; RuntimeError when the log lost some."""
        for condition, (stamps, lost) in zip(self.stamps, monitor.trigger_rises()):
            if lost:
                raise RuntimeError(f"{lost} rises of {condition.ref} were not recorded (its log was full)")
            self.stamps[condition] += stamps

    def first_rise(self, condition: Condition, after_ns: int, until_ns: int | None = None) -> int | None:
        """The stamp of the first rise of ``condition`` in (after_ns, until_ns]."""
        stamps = self.stamps[condition]
        at = bisect.bisect_right(stamps, after_ns)
        if at == len(stamps) or (until_ns is not None and stamps[at] > until_ns):
            return None
        return stamps[at]


# --- running ---------------------------------------------------------------------------


def run(
    sequence: SequenceFile,
    iface: str,
    *,
    rt_priority: int | None = None,
    cpu: int | None = None,
    src_mac: str | bytes | None = None,
    on_shot: Callable[[ShotResult], None] | None = None,
    stop: Callable[[], bool] | None = None,
) -> SequenceResult:
    """Plays ``sequence`` on ``iface`` and returns its judged shots.

    ``on_shot(shot)`` is called as each shot is judged; ``stop()`` returning
    true (or Ctrl-C, or an error) ends the run early: the stream is stopped
    in the state it was in and the shots judged so far are returned
    (``interrupted``, with ``error`` for an error). ``OSError`` or
    ``RuntimeError`` when the interface cannot be used.
    """
    states_per_shot = len(sequence.states)
    flat = sequence.states * sequence.shots
    own_samples = [state[0] for state in engine_states(sequence)]
    start_second = int(time.time() + _SET_UP_S) + 1
    publisher = publisher_of(sequence, iface, start_second=start_second, rt_priority=rt_priority, cpu=cpu,
                             src_mac=src_mac)
    engine = publisher._engines[0]
    result = SequenceResult(sequence, started_ns=time.time_ns(), publisher=publisher)
    history = _Rises(watched_conditions(sequence))
    gooses = _goose_publisher(sequence, iface)
    monitor = Monitor(iface, ring="v2", _trigger=(engine, *trigger_rules(sequence)))
    published: set[int] = set()
    status: list = []

    def take_events(timeout: float) -> None:
        monitor.next_events(timeout)  # the queue drained; the verdicts come from the trigger's log
        history.take(monitor)

    def instant(n: int) -> int:
        return publisher.instant(*_second_smp(publisher, n))

    # The values each block published last: a shot begins with the [[goose]] values, a state
    # changes those it names, and only a change of values is a new GOOSE state.
    initial = {block.gocb_ref: block.values for block in sequence.goose}
    published_values = dict(initial)

    def publish_goose(s: int) -> None:
        wanted = dict(initial) if s % states_per_shot == 0 else {}
        wanted.update(flat[s].goose)
        for ref, values in wanted.items():
            if published_values[ref] != values:
                gooses.publish(ref, [_data(v) for v in values])
                published_values[ref] = values

    def judge(shot: int) -> None:
        history.take(monitor)
        records = _records(shot, status, instant, sequence, monitor.trigger_status())
        result.shots.append(_judge(shot, records, sequence, history))
        if on_shot is not None:
            on_shot(result.shots[-1])

    monitor.start()
    try:
        if gooses is not None:
            gooses.start()
        try:
            publisher.start()
            try:
                judged = 0
                while judged < sequence.shots:
                    if stop is not None and stop():
                        result.interrupted = True
                        break
                    take_events(_POLL_S)
                    status = engine.sequence_status()
                    current = sum(row[0] is not None for row in status) - 1  # states begin in order
                    for s in range(current + 1):
                        if s not in published:
                            published.add(s)
                            publish_goose(s)
                    # A shot is judged once its last state ended and its events had time to come.
                    last = (judged + 1) * states_per_shot - 1
                    if status[last][1] != 0:
                        end = status[last + 1][0] if last + 1 < len(status) else None
                        end_ns = instant(end if end is not None else status[last][0] + own_samples[last])
                        if time.time_ns() >= end_ns + _EVENT_LAG_NS:
                            judge(judged)
                            judged += 1
            except KeyboardInterrupt:
                result.interrupted = True
            except Exception as error:  # an error ends the run with the shots judged so far
                result.interrupted, result.error = True, f"{type(error).__name__}: {error}"
            finally:
                publisher.stop()
        finally:
            if gooses is not None:
                gooses.stop()
    finally:
        monitor.stop()
    status = engine.sequence_status()
    result.starts = [row[0] for row in status]
    return result


def _records(shot: int, status: list, instant: Callable[[int], int], sequence: SequenceFile,
             triggers: list[tuple[int | None, int | None]]) -> list[StateRecord]:
    """The states of shot ``shot`` from the engine's status."""
    per_shot = len(sequence.states)
    records = []
    for i, state in enumerate(sequence.states):
        s = shot * per_shot + i
        first, ending, sent = status[s]
        record = StateRecord(state.name, first, None if first is None else instant(first), None, ENDINGS[ending], sent)
        if first is not None and s + 1 < len(status) and status[s + 1][0] is not None:
            record.end_ns = instant(status[s + 1][0])
        elif first is not None and ending is not None and ENDINGS[ending] is not None:
            samples = round((state.duration_s if state.until is None else state.timeout_s or 0) * sequence.rate)
            record.end_ns = instant(first + samples)
        if ENDINGS[ending] == "trigger":
            record.trigger_ns, record.commanded_ns = triggers[s]
        records.append(record)
    # A state begun on a trigger: how late its first frame left.
    for before, record in zip(records, records[1:]):
        if before.trigger_ns is not None and record.sent_ns is not None:
            state = sequence.state(record.name)
            record.switch_late_us = (record.sent_ns - before.trigger_ns - state.after_trigger_ms * 1e6) / 1e3
    return records


def _judge(shot: int, records: list[StateRecord], sequence: SequenceFile, history: _Rises) -> ShotResult:
    result = ShotResult(shot + 1, records)
    begin = records[0].start_ns or 0
    end = max((r.end_ns or r.start_ns or begin) for r in records)
    for condition in watched_conditions(sequence):
        at = history.first_rise(condition, begin, end)
        if at is not None:
            result.events.append(EventRecord(condition.ref, condition.value, at))
    for assessment in sequence.assessments:
        result.assessments.append(_assess(assessment, records, history, end))
    return result


def _assess(assessment: Assessment, records: list[StateRecord], history: _Rises, end_ns: int) -> AssessmentResult:
    state = next(r for r in records if r.name == assessment.from_state)
    measured = uncertainty = None
    if state.start_ns is not None:
        at = history.first_rise(assessment.event, state.start_ns, end_ns)
        if at is not None:
            measured = (at - state.start_ns) / 1e6
            if state.sent_ns is not None:
                uncertainty = abs(state.sent_ns - state.start_ns) / 1e3 + 1.0
    passed = measured is not None and assessment.min_ms <= measured <= assessment.max_ms
    return AssessmentResult(assessment.name, measured, uncertainty, assessment.min_ms, assessment.max_ms, passed)
