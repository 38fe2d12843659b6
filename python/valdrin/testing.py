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

:class:`RelaySimulator` is a device to test against: a definite-time
overcurrent element over one channel of one SV stream, run in the capture
thread, whose trips and resets a GOOSE publisher sends. It logs, per
decision, the deciding frame's receive stamp, the instant Python acted and
the instant the first GOOSE frame of the new state was handed to the kernel.

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

from . import data, goose
from .listen import Event, Monitor, OvercurrentElement
from .sv import Fault, Publisher, Stream

__all__ = [
    "Decision",
    "RelaySimulator",
    "Shot",
    "TripTestError",
    "TripTestResult",
    "figure",
    "plot",
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
        seconds from the fault: each sample's place is its smpCnt's, by the stream analysis's
        counter rule, from the first sample rendered."""
        from array import array

        import valdrin_rt

        from .sv import decode_frame

        if self.publisher is None:
            raise ValueError("no publisher to render the samples from")
        rate, per_frame = self.publisher.rate, self.publisher.asdus_per_frame
        first = (shot.fault_at_ns * rate) // 1_000_000_000 - round(before_s * rate)
        first -= first % per_frame
        last = (shot.fault_at_ns * rate) // 1_000_000_000 + round(after_s * rate)
        fault_sample = (shot.fault_at_ns * rate + 999_999_999) // 1_000_000_000
        smp_cnts = array("H")
        values: list[list[int]] = [[] for _ in channels]
        for n in range(first, last + 1, per_frame):
            frame = decode_frame(self.publisher.render(self.fault_stream, n // rate, n % rate))
            for asdu in frame.asdus:
                smp_cnts.append(asdu.smp_cnt)
                for row, channel in zip(values, channels):
                    row.append(asdu.samples[channel][0] if channel < len(asdu.samples) else 0)
        index = array("q", valdrin_rt.SvCounter().place(smp_cnts.tobytes()))
        return [(first + k - fault_sample) / rate for k in index], values

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
    the shots judged so far (``interrupted``). Raises :class:`TripTestError`
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
    first_fault_ns = open_second * 1_000_000_000 + start_smp * 1_000_000_000 // rate
    cycle_ns = cycle_s * 1_000_000_000

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
                fault_at = first_fault_ns + k * cycle_ns
                shot = Shot(k + 1, fault_at, fault_at + fault_samples * 1_000_000_000 // rate)
                cycle_start = start_second * 1_000_000_000 + k * cycle_ns
                # The last shot waits for its postfault too: the relay's reset is part of it.
                judge_at = shot.fault_end_ns + (round(postfault * 1e9) if k == shots - 1 else 0)
                while time.time_ns() < judge_at + _EVENT_LAG_S * 1e9:
                    if stop is not None and stop():
                        result.interrupted = True
                        return result
                    for event in monitor.next_events(0.05):
                        if event.kind == "sv_departure":
                            departures.append(event.time_ns)
                        else:
                            watch.on(event)
                    if watch.trouble is not None:
                        raise TripTestError(watch.trouble, result)
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


def figure(result: TripTestResult, *, scale: float = 1000.0, unit: str = "A"):
    """A matplotlib Figure of the faulted stream's currents (Ia, Ib, Ic: ``scale`` counts per
    ``unit``) around each shot's fault, one panel per shot, the fault and trip instants
    marked and the operate time in the panel's title. A bare Figure, without pyplot: no
    display, and the caller's choice of backend is left alone."""
    from matplotlib.figure import Figure

    shots = result.shots
    if not shots:
        raise ValueError("no shot to plot")
    fig = Figure(figsize=(9, 2.6 * len(shots) + 0.6))
    axes = fig.subplots(len(shots), 1, squeeze=False)
    for shot, ax in zip(shots, axes[:, 0]):
        span = (shot.fault_end_ns - shot.fault_at_ns) / 1e9
        after = span if shot.operate_ms is None else min(span, shot.operate_ms / 1e3 + 0.04)
        times, values = result.currents(shot, 0.04, after + 0.01)
        for name, row in zip(("Ia", "Ib", "Ic"), values):
            ax.plot([t * 1e3 for t in times], [v / scale for v in row], linewidth=0.8, label=name)
        ax.axvline(0.0, color="black", linestyle="--", linewidth=0.8, label="fault")
        if shot.operate_ms is not None:
            ax.axvline(shot.operate_ms, color="red", linewidth=1.2, label="trip received")
            text = f"operate {shot.operate_ms:.3f} ms ± {shot.uncertainty_us or 0:.0f} µs"
        else:
            text = {NO_TRIP: "no trip", TRIPPED_BEFORE_FAULT: "tripped before the fault",
                    NOT_RESET: "not reset since an earlier trip"}.get(shot.outcome, shot.outcome)
        ax.set_title(f"shot {shot.index}: {text}", fontsize=10)
        ax.set_xlabel("time from the fault (ms)")
        ax.set_ylabel(f"current ({unit})")
        ax.grid(True, linewidth=0.3)
        ax.legend(loc="upper left", fontsize=7, ncol=5)
    fig.tight_layout()
    return fig


def plot(result: TripTestResult, path: str, *, scale: float = 1000.0, unit: str = "A") -> None:
    """Writes :func:`figure` of ``result`` to ``path`` as a PNG."""
    figure(result, scale=scale, unit=unit).savefig(path, format="png", dpi=100)


# --- the relay simulator -------------------------------------------------------


@dataclass
class Decision:
    """One decision of the :class:`RelaySimulator`, all instants in ns since the epoch.

    ``frame_ns``: the kernel receive stamp of the SV frame whose sample
    decided; ``decided_ns``: the real-time clock when Python took the event,
    just before it published; ``handed_ns``: the clock just before the first
    GOOSE frame of the new state was handed to the kernel (the publisher's
    own record); ``sent_ns``: the kernel's stamp of that frame leaving, seen
    by the simulator's capture of its own frames. Either of the last two is
    None when it was not seen within 0.1 s.
    """

    kind: str  # "trip" or "reset"
    smp_cnt: int
    rms_a: float
    frame_ns: int
    decided_ns: int
    handed_ns: int | None
    sent_ns: int | None
    st_num: int | None

    def to_json(self) -> dict:
        return dict(self.__dict__)


class RelaySimulator:
    """A definite-time overcurrent relay on ``iface`` for testing the test set.

    It subscribes to the SV stream ``sv_id`` and runs, in the capture
    thread, an element over channel ``channel`` (default Ia): the RMS of
    the last nominal cycle (``rate / nominal_hz`` samples) against
    ``pickup_a`` amperes (``scale`` counts per ampere: 1000, the 9-2LE
    current scaling), tripping ``delay_ms`` after the pickup (counted in
    samples), resetting when the RMS falls back. Each decision becomes a
    state change of the GOOSE control block ``gocb_ref`` whose data set is
    one BOOLEAN (true: tripped), and a :class:`Decision` in ``log``.
    Needs CAP_NET_RAW.
    """

    def __init__(
        self,
        iface: str,
        sv_id: str,
        pickup_a: float,
        delay_ms: float,
        gocb_ref: str,
        *,
        channel: int = 0,
        rate: int = 4000,
        nominal_hz: float = 50.0,
        scale: float = 1000.0,
        app_id: int = 0x0001,
        dst_mac: bytes = bytes.fromhex("010ccd010001"),
        min_time_ms: float = 2.0,
        max_time_ms: float = 1000.0,
        on_decision: Callable[[Decision], None] | None = None,
    ) -> None:
        window = round(rate / nominal_hz)
        pickup = round(pickup_a * scale)
        if pickup < 1:
            raise ValueError(f"pickup {pickup_a} A is below one count")
        if not delay_ms >= 0:
            raise ValueError(f"delay must be zero or more ms, got {delay_ms}")
        self.element = OvercurrentElement(pickup, window, round(delay_ms * rate / 1000), channel)
        self.scale = scale
        self.gocb_ref = gocb_ref
        self.on_decision = on_decision
        self.sv_id = sv_id
        # Whether a frame of the watched stream has arrived (an svID that
        # never does leaves the relay quiet for good).
        self.stream_seen = False
        self.log: list[Decision] = []
        ld = gocb_ref.split("/")[0]
        pdu = goose.GoosePDU(gocb_ref, f"{ld}/LLN0$Trip", ld, conf_rev=1, time_quality=0x0A,
                             all_data=[data.BoolData(False)])
        self.block = goose.GooseBlock(pdu, dst_mac=dst_mac, app_id=app_id,
                                      min_time_ms=min_time_ms, max_time_ms=max_time_ms)
        # Its own GOOSE frames too: their leaving is stamped like any frame received.
        self._monitor = Monitor(iface, ring="v2", outgoing=True, watch_sv_id=sv_id, overcurrent=self.element)
        self._publisher = goose.Publisher(iface, [self.block])

    def start(self) -> None:
        """Starts the GOOSE publisher (the untripped state goes out) and the capture."""
        self._publisher.start()
        try:
            self._monitor.start()
        except BaseException:
            self._publisher.stop()
            raise

    def stop(self) -> None:
        self._monitor.stop()
        self._publisher.stop()

    def __enter__(self) -> RelaySimulator:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def _handed_after(self, st_before: int | None, deadline_ns: int) -> tuple[int | None, int | None]:
        while True:
            change = self._publisher.last_change(0)
            if change is not None and change[0] != st_before:
                return change[1], change[0]
            if time.time_ns() > deadline_ns:
                return None, None
            time.sleep(0.00005)

    def _finish(self, decision: Decision) -> None:
        self.log.append(decision)
        if self.on_decision is not None:
            self.on_decision(decision)

    def serve(self, duration: float | None = None, stop: Callable[[], bool] | None = None) -> None:
        """Acts on the element's decisions for ``duration`` seconds (None: until ``stop()`` is true)."""
        end = None if duration is None else time.monotonic() + duration
        pending: dict[int, Decision] = {}  # by stNum: waiting for the stamp of their frame leaving
        while (end is None or time.monotonic() < end) and not (stop is not None and stop()):
            for event in self._monitor.next_events(0.05):
                if event.kind == "sv_stream_seen" and event.id == self.sv_id:
                    self.stream_seen = True
                    continue
                if event.kind == "goose_state_change" and event.id == self.gocb_ref:
                    decision = pending.pop(event.details["st_num"], None)
                    if decision is not None:
                        decision.sent_ns = event.time_ns
                        self._finish(decision)
                    continue
                if event.kind not in ("overcurrent_trip", "overcurrent_reset"):
                    continue
                trip = event.kind == "overcurrent_trip"
                before = self._publisher.last_change(0)
                decided = time.time_ns()
                self._publisher.publish(0, [data.BoolData(trip)])
                handed, st_num = self._handed_after(None if before is None else before[0], decided + 100_000_000)
                decision = Decision("trip" if trip else "reset", event.details["smp_cnt"],
                                    event.details["rms"] / self.scale, event.time_ns, decided, handed, None, st_num)
                if st_num is None:
                    self._finish(decision)
                else:
                    pending[st_num] = decision
            now = time.time_ns()
            for st_num, decision in list(pending.items()):
                if now - decision.decided_ns > 100_000_000:
                    self._finish(pending.pop(st_num))
        for decision in pending.values():
            self._finish(decision)
