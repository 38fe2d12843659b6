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
import time
import warnings
from typing import TYPE_CHECKING, Sequence

# Dependencies point one way: sv_stream holds the descriptions and templates,
# sv_publisher converts them into the engine's input, and this module, where
# users find all of it, publishes them.
from .sv_frames import SvFrame, decode_frame
from .sv_publisher import _native_streams
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
# The engine pins its thread with a CPU set of 1024 bits.
_MAX_CPU = 1023


class Publisher:
    """Publishes SV streams on a network interface from a native thread.

    Every ``1 / (rate / asdus_per_frame)`` seconds, paced on the real-time
    clock from the UNIX second ``start_second`` (default: the next whole
    second), the engine's thread sends one frame of every stream carrying
    ``asdus_per_frame`` consecutive samples. ``rt_priority`` runs that thread
    under SCHED_FIFO at that priority, ``cpu`` pins it to one CPU. Publishing
    needs CAP_NET_RAW (a raw AF_PACKET socket).

    Use it as a context manager (entering starts, leaving stops) or call
    :meth:`start` and :meth:`stop`; :meth:`stats` may be read at any time.
    A stream whose frames are longer than an Ethernet frame (1514 octets,
    1518 with a VLAN tag) gives a warning: on an ordinary link every one of
    them would be counted as a send error.
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
        engine: str = "native",
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
        if cpu is not None:
            cpu = _integer("cpu", cpu, 0, _MAX_CPU)

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
        self._auto_start = start_second is None
        self._started_once = False
        self._start_second = _next_second() if start_second is None else start_second
        self._engine = self._build()

    def _build(self) -> "valdrin_rt.Engine":
        import valdrin_rt

        return valdrin_rt.Engine(
            self._iface,
            self._rate,
            self._asdus_per_frame,
            self._native,
            self._start_second,
            self._rt_priority,
            self._cpu,
        )

    @property
    def iface(self) -> str:
        """The network interface's name."""
        return self._iface

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

    def start(self) -> None:
        """Opens the socket and starts publishing; OSError or RuntimeError when that fails.

        Without an explicit ``start_second``, a first start after the chosen
        second has begun moves it to the next whole second, so that no
        backlog of missed frames is sent. After :meth:`stop`, a new start
        resumes at the next frame period not yet due.
        """
        if self._auto_start and not self._started_once and time.time() >= self._start_second:
            self._start_second = _next_second()
            self._engine = self._build()
        self._engine.start()
        self._started_once = True

    def stop(self) -> None:
        """Stops publishing (after the frames due next) and waits for the thread; a no-op when stopped."""
        self._engine.stop()

    def stats(self) -> dict[str, int]:
        """Counters since the first start: frames_sent, send_errors, late_frames, max_lateness_ns."""
        return self._engine.stats()

    def render(self, stream: int, second: int, first_smp: int) -> bytes:
        """The frame of stream number ``stream`` carrying samples ``first_smp``... of UNIX second ``second``.

        These are the exact octets the engine sends for that instant.
        """
        return self._engine.render(stream, second, first_smp)

    def __enter__(self) -> Publisher:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


def _next_second() -> int:
    return int(time.time()) + 1
