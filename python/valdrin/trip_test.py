"""Closed-loop protection tests: SV faults into a relay, its GOOSE trip back.

:func:`trip_test` publishes SV streams whose recurring fault window carries
one shot per cycle: healthy values for ``prefault`` seconds, the fault waves
for ``fault`` seconds, healthy values again. A capture on the same interface
watches the relay's GOOSE control block for the state change that sets the
watched boolean, and each shot's operate time is

    kernel receive stamp of the tripping state's first frame
    - scheduled instant of the first faulted sample,

both on the host's real-time clock. The same capture sees the test set's
own SV frames leave (the kernel hands packet sockets a copy of every frame
sent), so the departure stamp of the frame carrying the first faulted
sample is known too: the relay cannot have seen the fault before it, and
how much later than scheduled it left is the shot's uncertainty.

:class:`TripTestResult` holds the judged :class:`Shot` s;
:func:`valdrin.figures.trip_test_figure` draws them.

>>> result = trip_test("va", streams, prefault=0.2, fault=0.3,       # doctest: +SKIP
...                     gocb_ref="RELAY1LD0/LLN0$GO$trip", shots=5)
>>> result.summary()                                                 # doctest: +SKIP
{'min': 40.3, 'median': 40.4, 'max': 40.6}
"""

from __future__ import annotations

import math
import statistics
import time
from dataclasses import dataclass, field, replace
from typing import Callable, Sequence

from .inject import Injection, steps
from .listen import Event, Monitor
from .sv import Fault, Publisher, Stream

__all__ = [
    "Shot",
    "TripTestError",
    "TripTestResult",
    "trip_test",
]

# What a shot's outcome may be.
TRIPPED = "tripped"
NO_TRIP = "no_trip"
TRIPPED_BEFORE_FAULT = "tripped_before_fault"
NOT_RESET = "not_reset"

# How long after a shot's fault window the capture may still hand over its
# events (a V2 ring: well under a millisecond; margin for a loaded machine).
_EVENT_LAG_S = 0.1
# The time the capture and the publisher get to start before the first cycle.
_SET_UP_S = 0.5
# How long before its instant an injection is applied: the transmit thread
# reads the knobs as it renders a frame, a period ahead of it, and this
# thread wakes a little late.
INJECT_LEAD_S = 0.005


class TripTestError(Exception):
    """A trip test that cannot go on (the watched control block never showed up); ``result`` holds the shots so far."""

    def __init__(self, message: str, result: TripTestResult) -> None:
        super().__init__(message)
        self.result = result


@dataclass
class Shot:
    """One shot of a trip test.

    ``fault_at_ns`` is the scheduled instant of the first faulted sample
    (ns since the epoch, the instant the sample stands for);
    ``departure_ns`` the kernel's stamp of the frame carrying it leaving
    this host (None when the capture missed it); ``trip_ns`` the kernel's
    receive stamp of the first frame of the tripping state. ``outcome`` is
    "tripped", "no_trip" (no trip within the fault window),
    "tripped_before_fault" (the relay went to trip during this shot's
    healthy values, whether it reset before the fault or not; ``trip_ns``
    then holds that instant) or "not_reset" (still tripped from an earlier
    shot when this one's fault began).
    """

    index: int
    fault_at_ns: int
    fault_end_ns: int
    outcome: str = NO_TRIP
    departure_ns: int | None = None
    trip_ns: int | None = None
    trip_st_num: int | None = None
    # When this process took the trip's event from the capture (real-time
    # clock): what a measurement without kernel stamps would have used.
    trip_seen_ns: int | None = field(default=None, repr=False)
    # False when the tripping state's first frame came before the capture
    # saw the block at all (its first frame seen was a retransmission): the
    # shot tripped, but its operate time is not known.
    first_frame_seen: bool = True

    @property
    def tripped(self) -> bool:
        """Whether the relay tripped on this shot's fault."""
        return self.outcome == TRIPPED

    @property
    def fault_at(self) -> float:
        """The fault instant in UNIX seconds."""
        return self.fault_at_ns / 1e9

    @property
    def operate_ms(self) -> float | None:
        """Trip receive stamp minus fault instant in ms, for a shot that tripped (None when the
        tripping state's first frame was not seen)."""
        if not self.tripped or self.trip_ns is None or not self.first_frame_seen:
            return None
        return (self.trip_ns - self.fault_at_ns) / 1e6

    @property
    def lateness_us(self) -> float | None:
        """How much later than scheduled the first faulted sample left, in µs (None: not seen)."""
        if self.departure_ns is None:
            return None
        return (self.departure_ns - self.fault_at_ns) / 1e3

    @property
    def uncertainty_us(self) -> float | None:
        """What bounds the operate time's error, in µs, for a shot that tripped.

        The relay could not see the fault before its frame left: the time
        between the scheduled instant and the departure stamp (its absolute
        value: with several ASDUs per frame a sample may leave before its
        instant), plus 1 µs for the two stamps' resolution. None when the
        departure was not seen.
        """
        if self.operate_ms is None or self.departure_ns is None:
            return None
        return abs(self.departure_ns - self.fault_at_ns) / 1e3 + 1.0

    def to_json(self) -> dict:
        return {
            "fault_at": self.fault_at,
            "tripped": self.tripped,
            "operate_ms": self.operate_ms,
            "uncertainty_us": self.uncertainty_us,
        }


@dataclass
class TripTestResult:
    """The shots of a trip test, in order; ``interrupted`` when it was stopped before the last."""

    shots: list[Shot] = field(default_factory=list)
    interrupted: bool = False
    gocb_ref: str = ""
    block_seen: bool = False
    # What renders the faulted stream's frames again, for the figure.
    publisher: Publisher | None = field(default=None, repr=False)
    fault_stream: int = 0

    def currents(self, shot: Shot, before_s: float, after_s: float,
                 channels: Sequence[int] = (0, 1, 2)) -> tuple[list[float], list[list[int]]]:
        """The faulted stream's samples of ``channels`` (counts) from ``before_s`` before the
        shot's fault to ``after_s`` after it, as the publisher sent them, with their times in
        seconds from the fault: the frames are the publisher's schedule's, and each sample's
        place is its smpCnt's by the stream analysis's counter rule, from the first one sent."""
        from array import array

        import valdrin_rt

        from .sv import decode_frame

        if self.publisher is None:
            raise ValueError("no publisher to render the samples from")
        publisher = self.publisher
        # Every frame period due from the one carrying the sample at fault - before_s to fault + after_s.
        first = max(publisher.first_period(shot.fault_at_ns - round(before_s * 1e9) + 1) - 1, 0)
        end = publisher.first_period(shot.fault_at_ns + round(after_s * 1e9) + 1)
        first_due_ns: int | None = None
        smp_cnts = array("H")
        values: list[list[int]] = [[] for _ in channels]
        for due_ns, frame in publisher.frames(end - first, first=first, stream=self.fault_stream):
            if first_due_ns is None:
                first_due_ns = due_ns
            for asdu in decode_frame(frame).asdus:
                smp_cnts.append(asdu.smp_cnt)
                for row, channel in zip(values, channels):
                    row.append(asdu.samples[channel][0] if channel < len(asdu.samples) else 0)
        if first_due_ns is None:
            return [], values
        index = array("q", valdrin_rt.SvCounter().place(smp_cnts.tobytes()))
        # One exact division per sample: ns from the fault times the rate, over 1e9 times the rate.
        rate, start = publisher.rate, (first_due_ns - shot.fault_at_ns) * publisher.rate
        return [(start + k * 1_000_000_000) / (1_000_000_000 * rate) for k in index], values

    def operate_times_ms(self) -> list[float]:
        return [shot.operate_ms for shot in self.shots if shot.operate_ms is not None]

    def summary(self) -> dict:
        """``{"min", "median", "max"}`` of the operate times in ms (None each without a trip)."""
        times = self.operate_times_ms()
        if not times:
            return {"min": None, "median": None, "max": None}
        return {"min": min(times), "median": statistics.median(times), "max": max(times)}

    def to_json(self) -> dict:
        """``{"shots": [{"fault_at", "tripped", "operate_ms", "uncertainty_us"}], "operate_ms": {...}}``."""
        return {"shots": [shot.to_json() for shot in self.shots], "operate_ms": self.summary()}


def _first_bool(values: list | None) -> int | None:
    for i, value in enumerate(values or []):
        if isinstance(value, bool):
            return i
    return None


@dataclass
class _Watch:
    """The watched block's states as the capture reported them: (time_ns, st_num, asserted),
    and when this process took each from the queue."""

    gocb_ref: str
    value_index: int | None
    seen: bool = False
    changes: list[tuple[int, int, bool]] = field(default_factory=list)
    trouble: str | None = None
    others: list[str] = field(default_factory=list)  # the other blocks seen, in order
    seen_ns: dict[int, int] = field(default_factory=dict)  # receive stamp -> taken
    # Stamps of states first seen after their first frame (the block's first
    # frame seen had sqNum > 0): when the state began is not known.
    began_unseen: set[int] = field(default_factory=set)

    def on(self, event: Event) -> None:
        if event.id != self.gocb_ref:
            if event.kind == "goose_block_seen" and event.id not in self.others:
                self.others.append(event.id)
            return
        # The block's first frame is a state as much as a change is: the
        # relay may have tripped before this capture saw it at all.
        if event.kind in ("goose_block_seen", "goose_state_change"):
            self.seen = True
            values = event.details.get("values")
            index = self.value_index if self.value_index is not None else _first_bool(values)
            if values is None or index is None or index >= len(values):
                self.trouble = (
                    f"{self.gocb_ref}: no boolean to watch in its values {values!r}"
                    if self.value_index is None
                    else f"{self.gocb_ref}: its values {values!r} have no member {self.value_index}"
                )
                return
            self.changes.append((event.time_ns, event.details["st_num"], bool(values[index])))
            self.seen_ns[event.time_ns] = time.time_ns()
            if event.kind == "goose_block_seen" and event.details.get("sq_num") != 0:
                self.began_unseen.add(event.time_ns)

    def asserted_at(self, t_ns: int) -> tuple[bool, int | None]:
        """Whether the watched value was true at ``t_ns`` and since when."""
        state, since = False, None
        for at, _, asserted in self.changes:
            if at > t_ns:
                break
            if asserted != state:
                state, since = asserted, at
        return state, since

    def first_assertion(self, after_ns: int, until_ns: int) -> tuple[int, int] | None:
        """The first change from false to true in (after_ns, until_ns]: (time_ns, st_num)."""
        state = self.asserted_at(after_ns)[0]
        for at, st_num, asserted in self.changes:
            if at <= after_ns:
                continue
            if at > until_ns:
                break
            if asserted and not state:
                return at, st_num
            state = asserted
        return None


def _judge(shot: Shot, watch: _Watch, cycle_start_ns: int, departures: list[int]) -> None:
    candidates = [t for t in departures if abs(t - shot.fault_at_ns) < 500_000_000]
    if candidates:
        shot.departure_ns = min(candidates, key=lambda t: abs(t - shot.fault_at_ns))
    asserted, since = watch.asserted_at(shot.fault_at_ns)
    if asserted and since is not None and since < cycle_start_ns:
        shot.trip_ns, shot.outcome = since, NOT_RESET
        return
    # Any trip during this shot's healthy values, whether it reset before the fault or not.
    early = watch.first_assertion(cycle_start_ns, shot.fault_at_ns)
    if early is not None:
        (shot.trip_ns, shot.trip_st_num), shot.outcome = early, TRIPPED_BEFORE_FAULT
        return
    trip = watch.first_assertion(shot.fault_at_ns, shot.fault_end_ns)
    if trip is None:
        shot.outcome = NO_TRIP
    else:
        shot.outcome = TRIPPED
        shot.trip_ns, shot.trip_st_num = trip
        shot.trip_seen_ns = watch.seen_ns.get(shot.trip_ns)
        shot.first_frame_seen = shot.trip_ns not in watch.began_unseen


def trip_test(
    iface: str,
    streams: Sequence[Stream],
    *,
    prefault: float,
    fault: float,
    gocb_ref: str,
    postfault: float = 0.0,
    shots: int = 1,
    value_index: int | None = None,
    fault_stream: int = 0,
    rate: int = 4000,
    asdus_per_frame: int = 1,
    rt_priority: int | None = None,
    cpu: int | None = None,
    on_shot: Callable[[Shot], None] | None = None,
    stop: Callable[[], bool] | None = None,
    inject: Sequence[Injection] = (),
) -> TripTestResult:
    """Runs ``shots`` shots against the relay behind ``iface`` and returns them.

    Every stream of ``streams`` that has a :class:`~valdrin.sv.Fault` plays
    its fault waves in each shot's window (the window's timing is the
    test's: the cycle is the whole seconds that hold prefault + fault +
    postfault); ``streams[fault_stream]`` is the one whose first faulted
    sample times the shots. ``gocb_ref`` is the relay's GOOSE control block;
    member ``value_index`` of its data set (default: the first boolean)
    becoming true is the trip. ``on_shot(shot)`` is called as each shot is
    judged; ``stop()`` returning true (or Ctrl-C) ends the test early with
    the shots judged so far (``interrupted``). ``inject`` sets the
    publisher's fault knobs in every shot (:data:`valdrin.sv.FAULT_KNOBS`),
    each AT counted from the shot's fault start and applied up to
    :data:`INJECT_LEAD_S` earlier, so that one at the start reaches the
    first faulted frame (the transmit thread reads the knobs as it renders a
    frame, ahead of its instant); lasting knobs still set when a shot is
    judged are cleared then. Raises :class:`TripTestError`
    when the control block was not seen during the first shot, ``OSError``
    when the interface cannot be used, ``ValueError`` for bad arguments.
    """
    if not 0 <= fault_stream < len(streams):
        raise ValueError(f"fault_stream {fault_stream} is not one of the {len(streams)} streams")
    if streams[fault_stream].fault is None:
        raise ValueError(f"stream {fault_stream} ({streams[fault_stream].sv_id}) has no fault waves")
    for name, value in (("prefault", prefault), ("fault", fault)):
        if not value > 0:
            raise ValueError(f"{name} must be a positive number of seconds, got {value}")
    if not postfault >= 0:
        raise ValueError(f"postfault must be zero or more seconds, got {postfault}")
    if shots < 1:
        raise ValueError(f"shots must be at least 1, got {shots}")
    cycle_s = max(1, math.ceil(prefault + fault + postfault - 1e-9))
    start_second = int(time.time() + _SET_UP_S) + 1
    open_second = start_second + math.floor(prefault)
    start_smp = round((prefault - math.floor(prefault)) * rate)
    if start_smp >= rate:
        open_second, start_smp = open_second + 1, 0
    fault_samples = round(fault * rate)
    timed = [
        s if s.fault is None else replace(
            s, fault=Fault(s.fault.waves, cycle_s=cycle_s, offset_s=open_second, start_smp=start_smp,
                           duration_s=fault_samples / rate))
        for s in streams
    ]
    cycle_ns = cycle_s * 1_000_000_000

    for injection in inject:
        if injection.streams and max(injection.streams) >= len(streams):
            raise ValueError(f"inject {injection.knob.name}: stream {max(injection.streams) + 1} is not one of "
                             f"the {len(streams)} streams")
    result = TripTestResult(gocb_ref=gocb_ref, fault_stream=fault_stream)
    watch = _Watch(gocb_ref, value_index)
    departures: list[int] = []
    publisher = Publisher(iface, timed, rate, asdus_per_frame, start_second=start_second,
                          rt_priority=rt_priority, cpu=cpu)
    result.publisher = publisher
    monitor = Monitor(iface, outgoing=True, ring="v2", watch_sv_id=streams[fault_stream].sv_id,
                      departure_smp_cnt=start_smp)
    monitor.start()
    try:
        publisher.start()
        try:
            for k in range(shots):
                fault_at = publisher.instant(open_second + k * cycle_s, start_smp)
                shot = Shot(k + 1, fault_at, fault_at + fault_samples * 1_000_000_000 // rate)
                cycle_start = start_second * 1_000_000_000 + k * cycle_ns
                # The last shot waits for its postfault too: the relay's reset is part of it.
                judge_at = shot.fault_end_ns + (round(postfault * 1e9) if k == shots - 1 else 0)
                pending = steps(inject)
                while time.time_ns() < judge_at + _EVENT_LAG_S * 1e9:
                    if stop is not None and stop():
                        result.interrupted = True
                        return result
                    wait = 0.05
                    lead = round(INJECT_LEAD_S * 1e9)
                    while pending and time.time_ns() >= fault_at + pending[0].at_ns - lead:
                        publisher.inject(pending.pop(0))
                    if pending:
                        wait = min(wait, max(0.0, (fault_at + pending[0].at_ns - lead - time.time_ns()) / 1e9))
                    for event in monitor.next_events(wait):
                        if event.kind == "sv_departure":
                            departures.append(event.time_ns)
                        else:
                            watch.on(event)
                    if watch.trouble is not None:
                        raise TripTestError(watch.trouble, result)
                for step in pending:  # lasting knobs end with their shot
                    if step.clear:
                        publisher.inject(step)
                _judge(shot, watch, cycle_start, departures)
                result.shots.append(shot)
                result.block_seen = watch.seen
                if on_shot is not None:
                    on_shot(shot)
                if k == 0 and not watch.seen:
                    seen = ", ".join(watch.others[:5]) + (", ..." if len(watch.others) > 5 else "")
                    raise TripTestError(
                        f"GOOSE control block {gocb_ref} not seen on {iface} during the first shot "
                        + (f"(blocks seen: {seen})" if seen else "(no GOOSE at all)")
                        + ": is the relay publishing it on this interface, under this gocbRef?",
                        result,
                    )
        except KeyboardInterrupt:
            result.interrupted = True
        finally:
            publisher.stop()
    finally:
        monitor.stop()
    return result
