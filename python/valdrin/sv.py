"""IEC 61850-9-2 Sampled Values: stream descriptions and frame templates.

A :class:`Stream` describes one published SV stream: its identity (svID,
datSet, confRev, smpSynch), its link addressing (MAC addresses, APPID,
optional VLAN) and the signal of every channel as a :class:`Wave`, with an
optional recurring :class:`Fault` and an optional recorded :class:`Playback`.

:func:`encode_frame` turns a stream into a :class:`Template`: the complete
Ethernet frame with every ASDU present, its sample counters and samples set
to zero, plus the offsets where the publisher writes them for each frame.
:func:`encode_sav_pdu` gives the bare savPdu (the APDU) alone.

Every channel occupies 8 octets of the ASDU's ``sample`` field: the value as
a 32-bit two's-complement integer, then a 32-bit quality word, both
big-endian.
"""

from __future__ import annotations

import os
import threading
import time
import warnings
from typing import TYPE_CHECKING, Any, Iterator, Sequence

# Dependencies point one way: sv_stream holds the descriptions and templates,
# sv_publisher converts them into the engine's input, and this module, where
# users find all of it, publishes them.
import valdrin_rt

from .inject import Kind, Knob, Mask, Step
from .sv_frames import SvFrame, decode_frame
from .sv_publisher import _check_cpus, _check_fifo, _native_streams, _share
from .sv_stream import (
    _INT64,
    CHANNEL_OCTETS,
    ETHERTYPE_SV,
    Fault,
    Playback,
    Stream,
    Template,
    Wave,
    _integer,  # the argument check of the descriptions, for Publisher's own
    encode_frame,
    encode_sav_pdu,
)

if TYPE_CHECKING:
    import valdrin_rt

__all__ = [
    "ETHERTYPE_SV",
    "FAULT_KNOBS",
    "QUALITY_BITS",
    "Fault",
    "Playback",
    "Publisher",
    "Stream",
    "SvFrame",
    "Template",
    "Wave",
    "decode_frame",
    "encode_frame",
    "encode_sav_pdu",
]

# --- publishing -----------------------------------------------------------

# Longest frame an Ethernet link with a 1500-octet MTU carries (without FCS):
# 14 octets of header + 1500 of payload, 4 more with an 802.1Q tag.
ETHERNET_MAX_FRAME = 1514
_VLAN_TAG = 4
# smpCnt is an INT16U: it counts the samples of one second from 0, so a rate
# above 2**16 samples per second cannot be counted.
MAX_RATE = 0x10000


# The bits of a sample's quality word by name, e.g. "invalid": 0x1, "test": 0x800.
QUALITY_BITS: dict[str, int] = dict(valdrin_rt.SV_QUALITY_BITS)

# The fault knobs of :meth:`Publisher.fault` and of ``valdrin publish --inject``
# (valdrin.inject's grammar), as the engine defines them.
FAULT_KNOBS: dict[str, Knob] = {
    name: Knob(name, Kind(kind), help, tuple(QUALITY_BITS.items()) if Kind(kind) is Kind.MASK else (), prp)
    for name, kind, _, help, prp in valdrin_rt.SV_FAULT_KNOBS
}


def _quality_mask(value: int | str | Sequence[str]) -> int:
    """A quality mask from a number, a bit's name or names."""
    if isinstance(value, int):
        return value
    names = [value] if isinstance(value, str) else list(value)
    mask = 0
    for name in names:
        if name not in QUALITY_BITS:
            raise ValueError(f"no quality bit {name!r} (one of {', '.join(QUALITY_BITS)})")
        mask |= QUALITY_BITS[name]
    return mask


class Publisher:
    """Publishes SV streams on a network interface from a native thread.

    Every ``1 / (rate / asdus_per_frame)`` seconds, paced on the real-time
    clock from the UNIX second ``start_second`` (default: the next whole
    second), the engine's thread sends one frame of every stream carrying
    ``asdus_per_frame`` consecutive samples. ``rt_priority`` runs that thread
    under SCHED_FIFO at that priority, ``cpu`` pins it to one CPU. Publishing
    needs CAP_NET_RAW (a raw AF_PACKET socket).

    ``cpus`` (instead of ``cpu``) shares the streams out over one engine per
    CPU, consecutive streams of nearly equal frames per second on each, all
    from the same start second: every frame is the one a single engine would
    send at that instant. They start, stop and fail as one publisher.
    ``periods`` bounds the run to that many frame periods from
    ``start_second`` (``periods`` frames of every stream); without it the
    engines send until :meth:`stop`.

    Use it as a context manager (entering starts, leaving stops) or call
    :meth:`start` and :meth:`stop`; :meth:`stats` may be read at any time.
    :meth:`frames` lists the frames it sends with their instants, by the
    engine's own schedule, without sending them.
    A stream whose frames are longer than an Ethernet frame (1514 octets,
    1518 with a VLAN tag) gives a warning: on an ordinary link every one of
    them would be counted as a send error.

    ``prp_b`` makes the publisher a PRP (IEC 62439-3) doubly attached node:
    ``iface`` is LAN A, ``prp_b`` LAN B, and every frame goes out on both
    with its Redundancy Control Trailer (one sequence number per source MAC,
    the same on both copies), each source MAC's supervision frame every two
    seconds besides; ``frames_sent`` then counts the copies on both LANs.
    The SV octets are those of a run without it.
    """

    def __init__(
        self,
        iface: str,
        streams: Sequence[Stream],
        rate: int = 4000,
        asdus_per_frame: int = 1,
        *,
        start_second: int | None = None,
        rt_priority: int | None = None,
        cpu: int | None = None,
        cpus: Sequence[int] | None = None,
        periods: int | None = None,
        engine: str = "native",
        prp_b: str | None = None,
        _sequence: tuple | None = None,
    ) -> None:
        if engine != "native":
            raise ValueError(f"unknown engine {engine!r}: the only engine is 'native'")
        if not isinstance(iface, str):
            raise TypeError(f"iface must be a str, not {type(iface).__name__}")
        rate = _integer("rate", rate, *_INT64)
        asdus_per_frame = _integer("asdus_per_frame", asdus_per_frame, *_INT64)
        if rate < 1:
            raise ValueError(f"rate must be a positive number of samples per second, got {rate}")
        if rate > MAX_RATE:
            raise ValueError(f"rate {rate} is above {MAX_RATE}: the 16-bit smpCnt cannot count the samples of one second")
        if asdus_per_frame < 1:
            raise ValueError(f"asdus_per_frame must be positive, got {asdus_per_frame}")
        if rate % asdus_per_frame:
            raise ValueError(f"rate {rate} is not a multiple of asdus_per_frame {asdus_per_frame}")
        if start_second is not None:
            start_second = _integer("start_second", start_second, *_INT64)
        if rt_priority is not None:
            low = os.sched_get_priority_min(os.SCHED_FIFO)
            high = os.sched_get_priority_max(os.SCHED_FIFO)
            rt_priority = _integer("rt_priority", rt_priority, low, high)
        import valdrin_rt

        if cpu is not None:
            cpu = _integer("cpu", cpu, 0, valdrin_rt.MAX_CPU)
        if cpus is not None:
            if cpu is not None:
                raise ValueError("give cpu or cpus, not both")
            if isinstance(cpus, (str, bytes)) or not isinstance(cpus, Sequence):
                raise TypeError(f"cpus must be a sequence of CPU numbers, not {type(cpus).__name__}")
            cpus = tuple(_integer("cpus", c, 0, valdrin_rt.MAX_CPU) for c in cpus)
            if not cpus:
                raise ValueError("cpus must name at least one CPU")
            for c in cpus:
                if cpus.count(c) > 1:
                    raise ValueError(f"CPU {c} appears more than once in cpus")
            if len(cpus) == 1:
                cpu, cpus = cpus[0], None
        if periods is not None:
            periods = _integer("periods", periods, 0, 2**64 - 1)
        if prp_b is not None:
            if not isinstance(prp_b, str):
                raise TypeError(f"prp_b must be a str, not {type(prp_b).__name__}")
            if prp_b == iface:
                raise ValueError(f"prp_b must be another interface than iface ({iface}): LAN B is a LAN of its own")
            if cpus is not None:
                raise ValueError("prp_b with several cpus: one engine numbers the frames of each source MAC")

        if not isinstance(streams, Stream):  # _native_streams explains that mistake
            streams = tuple(streams)
        native = _native_streams(streams, asdus_per_frame)
        for index, (stream, entry) in enumerate(zip(streams, native)):
            limit = ETHERNET_MAX_FRAME + (_VLAN_TAG if stream.vlan_id is not None else 0)
            if len(entry["frame"]) > limit:
                warnings.warn(
                    f"stream {index} ({stream.sv_id}) has frames of {len(entry['frame'])} octets, "
                    f"more than the {limit} of an Ethernet frame: on a link with a 1500-octet MTU "
                    "each one would be a send error",
                    UserWarning,
                    stacklevel=2,
                )
        self._iface = iface
        self._streams: tuple[Stream, ...] = streams
        self._native = native
        self._rate = rate
        self._asdus_per_frame = asdus_per_frame
        self._rt_priority = rt_priority
        self._cpu = cpu
        self._periods = periods
        # A state sequence one stream follows (valdrin.sequence builds it); one engine only.
        if _sequence is not None and len(cpus or ()) > 1:
            raise ValueError("a state sequence runs on one engine: give cpu, not cpus")
        self._sequence = _sequence
        self._prp_b = prp_b
        # One share of stream numbers per engine, with its CPU.
        if cpus is None:
            self._shares: list[tuple[int | None, range]] = [(cpu, range(len(streams)))]
        else:
            weights = [rate // asdus_per_frame] * len(streams)  # frames per second of each
            self._shares = list(zip(cpus, _share(weights, len(cpus))))
        self._auto_start = start_second is None
        self._started_once = False
        self._knobs_before_start: list[tuple[int, str, Any]] = []  # set before the first start
        self._start_second = _next_second() if start_second is None else start_second
        self._engines = self._build()

    def _build(self) -> list["valdrin_rt.Engine"]:
        import valdrin_rt

        return [
            valdrin_rt.Engine(
                self._iface,
                self._rate,
                self._asdus_per_frame,
                self._native if len(self._shares) == 1 else [self._native[i] for i in share],
                self._start_second,
                self._rt_priority,
                cpu,
                self._periods,
                prp_b=self._prp_b,
                sequence=self._sequence,
            )
            for cpu, share in self._shares
        ]

    @property
    def iface(self) -> str:
        """The network interface's name."""
        return self._iface

    @property
    def prp_b(self) -> str | None:
        """LAN B's interface of a PRP node (``iface`` is LAN A's), or None: one LAN, no trailers."""
        return self._prp_b

    @property
    def streams(self) -> tuple[Stream, ...]:
        """The published streams, in the order their frames are sent each period."""
        return self._streams

    @property
    def rate(self) -> int:
        """Samples per second of every stream."""
        return self._rate

    @property
    def asdus_per_frame(self) -> int:
        """ASDUs (consecutive samples) in every frame."""
        return self._asdus_per_frame

    @property
    def start_second(self) -> int:
        """UNIX second whose sample 0 the first frame carries, due exactly at that second."""
        return self._start_second

    @property
    def cpus(self) -> tuple[int | None, ...]:
        """The CPU of every engine (None: not pinned), one engine per entry."""
        return tuple(cpu for cpu, _ in self._shares)

    @property
    def periods(self) -> int | None:
        """Frame periods sent from ``start_second`` before the engines end, or None: until stopped."""
        return self._periods

    def start(self) -> None:
        """Opens the socket and starts publishing; OSError or RuntimeError when that fails.

        Without an explicit ``start_second``, a first start after the chosen
        second has begun moves it to the next whole second, so that no
        backlog of missed frames is sent. After :meth:`stop`, a new start
        resumes at the next frame period not yet due.

        A CPU outside this process's CPU set, or a SCHED_FIFO priority this
        process has no right to, fails with OSError before any engine
        starts. When one of several engines fails to start, those already
        started are stopped and its error is raised, naming the engine and
        its CPU.
        """
        _check_cpus([cpu for cpu, _ in self._shares if cpu is not None])
        if self._rt_priority is not None:
            _check_fifo(self._rt_priority)
        if self._auto_start and not self._started_once and time.time() >= self._start_second:
            self._start_second = _next_second()
            self._engines = self._build()
            for stream, knob, value in self._knobs_before_start:
                engine, index = self._engine_of(stream)
                engine.fault(index, knob, value)
        if len(self._engines) == 1:
            self._engines[0].start()
        else:
            for number, engine in enumerate(self._engines):
                try:
                    engine.start()
                except (OSError, RuntimeError) as error:
                    for started in self._engines[:number]:
                        started.stop()
                    cpu = self._shares[number][0]
                    raise type(error)(f"engine {number + 1} of {len(self._engines)} (CPU {cpu}): {error}") from error
        self._started_once = True
        self._knobs_before_start.clear()

    def stop(self) -> None:
        """Stops publishing (after the frames due next) and waits for the thread; a no-op when stopped."""
        if len(self._engines) == 1:
            self._engines[0].stop()
            return
        # All at once, so that the engines end within a period of one
        # another: each stop() sets its engine's flag, then waits for its
        # thread without the interpreter lock, letting the next one set its.
        # Where no thread can be made (a task limit reached), the engine is
        # stopped from here: every engine stops, later ones a little later.
        stoppers = []
        for engine in self._engines:
            stopper = threading.Thread(target=engine.stop, name="sv-stop")
            try:
                stopper.start()
            except RuntimeError:  # "can't start new thread"
                engine.stop()
                continue
            stoppers.append(stopper)
        for stopper in stoppers:
            stopper.join()

    def stats(self) -> dict[str, Any]:
        """Counters since the first start: frames_sent, send_errors, late_frames, max_lateness_ns.

        With several engines these are the sums (the greatest lateness) over
        all of them, and "engines" lists each one's own counters with its
        "cpu" and "streams" (the numbers of its streams in :attr:`streams`).
        """
        if len(self._engines) == 1:
            return self._engines[0].stats()
        engines = [
            {"cpu": cpu, "streams": list(share), **engine.stats()}
            for (cpu, share), engine in zip(self._shares, self._engines)
        ]
        total: dict[str, Any] = {
            key: sum(e[key] for e in engines) for key in ("frames_sent", "send_errors", "late_frames")
        }
        total["max_lateness_ns"] = max(e["max_lateness_ns"] for e in engines)
        total["engines"] = engines
        return total

    def _engine_of(self, stream: int) -> tuple["valdrin_rt.Engine", int]:
        """The engine that sends stream number ``stream``, and the stream's number in it."""
        if len(self._engines) > 1 and isinstance(stream, int) and 0 <= stream < len(self._streams):
            for (_, share), engine in zip(self._shares, self._engines):
                if stream in share:
                    return engine, stream - share.start
        # A number outside every share is outside the first engine's too,
        # which reports it as one engine would.
        return self._engines[0], stream

    def fault(self, stream: int, knob: str, value: Any = 1, channels: Sequence[int] | None = None) -> None:
        """Sets fault knob ``knob`` (one of :data:`FAULT_KNOBS`) of stream number ``stream``.

        ``value``: a count for ``drop``, ``duplicate`` and ``jump`` (``swap`` takes none);
        seconds for ``silence``; µs for ``delay``; a bool for ``simulation``; an int for
        ``smp_synch`` and ``conf_rev``; for ``quality`` a mask (a number, a bit's name such as
        ``"invalid"`` or a list of names, see :data:`QUALITY_BITS`) OR-ed into the quality words
        of ``channels`` (indices from 0; None: all). None clears a lasting knob (quality,
        smp_synch, conf_rev, simulation, delay) back to the stream's own. The transmit thread
        applies it from its next frame. ValueError for an unknown knob, stream or channel, or a
        value out of range.

        A PRP node (``prp_b``) has the ``prp_*`` knobs too, each acting on one LAN's copies or
        on the trailer: ``prp_drop_a`` / ``prp_drop_b`` a count of frames not sent on that LAN;
        ``prp_loss_a`` / ``prp_loss_b`` a percentage (0-100) of frames not sent on it, drawn at
        random; ``prp_delay_a`` / ``prp_delay_b`` µs by which that LAN's copies leave after the
        other's (at most 10 ms); ``prp_repeat_seq`` a count of frames carrying the
        node's previous sequence number; ``prp_wrong_lan`` and ``prp_bad_size`` bools. On a
        publisher without ``prp_b`` they raise ValueError.
        """
        row = FAULT_KNOBS.get(knob)
        if row is None:
            raise ValueError(f"no such fault knob: {knob!r} (one of {', '.join(FAULT_KNOBS)})")
        if channels is not None and row.kind is not Kind.MASK:
            raise ValueError(f"{knob} takes no channels")
        if value is not None:
            if row.kind is Kind.SPAN:
                value = round(float(value) * 1e9)
            elif row.kind is Kind.DELAY:
                value = round(float(value) * 1e3)
            elif row.kind is Kind.MASK:
                value = (_quality_mask(value), None if channels is None else [int(c) for c in channels])
            else:
                value = int(value)
        self._set_knob(stream, knob, value)

    def _set_knob(self, stream: int, knob: str, value: Any) -> None:
        """Sets a knob in the engine of ``stream``; before the first start also notes it, so that
        engines built again for a later start second get it too."""
        engine, index = self._engine_of(stream)
        engine.fault(index, knob, value)
        if not self._started_once:
            self._knobs_before_start.append((stream, knob, value))

    def inject(self, step: Step) -> None:
        """Applies one step of an injection schedule (:func:`valdrin.inject.steps` over
        :data:`FAULT_KNOBS`) to its streams (all when it names none)."""
        streams = range(len(self._streams)) if step.streams is None else step.streams
        value = step.value
        if step.clear:
            value = None
        elif isinstance(value, Mask):
            value = (value.bits, None if value.channels is None else list(value.channels))
        elif value is None:  # an action
            value = 1
        for stream in streams:
            self._set_knob(stream, step.knob.name, value)

    def render(self, stream: int, second: int, first_smp: int) -> bytes:
        """The frame of stream number ``stream`` carrying samples ``first_smp``... of UNIX second ``second``.

        These are the exact octets the engine sends for that instant.
        """
        engine, index = self._engine_of(stream)
        return engine.render(index, second, first_smp)

    def frames(self, periods: int, *, first: int = 0, stream: int | None = None) -> Iterator[tuple[int, bytes]]:
        """``(due_ns, frame)`` of the frame periods ``first`` .. ``first + periods - 1``, in send order.

        Each period gives one frame of every stream in stream order (of
        stream number ``stream`` alone when given): the exact octets the
        engine sends, and the instant (ns since the epoch on the real-time
        clock) it sends them at, by the engine's own schedule: period ``k``
        carries the samples from ``k * asdus_per_frame`` on, counted from
        sample 0 of ``start_second``.
        """
        numbers = range(len(self._streams)) if stream is None else (stream,)
        engines = [self._engine_of(number) for number in numbers]
        for k in range(first, first + periods):
            for engine, index in engines:
                yield engine.frame(index, k)

    def instant(self, second: int, smp: int) -> int:
        """The instant (ns since the epoch) sample ``smp`` (0 to rate - 1) of UNIX second ``second``
        stands for: the second plus ``smp / rate``, rounded down to the ns, as the engine schedules it."""
        return self._engines[0].instant(second, smp)

    def first_period(self, time_ns: int) -> int:
        """The number of the first frame period due at or after ``time_ns`` (0 up to ``start_second``)."""
        return self._engines[0].first_period(time_ns)

    def __enter__(self) -> Publisher:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def _next_second() -> int:
    return int(time.time()) + 1
