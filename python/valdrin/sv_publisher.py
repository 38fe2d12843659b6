"""Conversion of :mod:`valdrin.sv` streams into the native SV engine's input."""

from __future__ import annotations

import os
import resource
import threading
from array import array
from itertools import chain
from typing import Any, Sequence

from .sv_stream import Playback, Stream, Wave, encode_frame

# array typecodes of 4-octet C integers (native byte order), as the engine reads them.
_INT32 = next(code for code in "ilh" if array(code).itemsize == 4)
_UINT32 = _INT32.upper()

WaveTuple = tuple[float, float, float, float, float, int]


def _wave(wave: Wave) -> WaveTuple:
    return (wave.amplitude, wave.phase_deg, wave.frequency_hz, wave.offset, wave.scale, wave.quality)


def _packed(code: str, rows: Sequence[Sequence[int]]) -> bytes:
    return array(code, chain.from_iterable(rows)).tobytes()


def _native_playback(playback: Playback) -> dict[str, Any]:
    return {
        "channels": playback.channels,
        "values": _packed(_INT32, playback.values),
        "qualities": None if playback.qualities is None else _packed(_UINT32, playback.qualities),
        "period": playback.period,
        "start": playback.start,
    }


def _native_stream(stream: Stream, asdus_per_frame: int, packed: dict[int, dict[str, Any]]) -> dict[str, Any]:
    template = encode_frame(stream, asdus_per_frame)
    fault = stream.fault
    playback = stream.playback
    if playback is not None and id(playback) not in packed:
        packed[id(playback)] = _native_playback(playback)
    return {
        "frame": template.frame,
        "smp_cnt_offsets": list(template.smp_cnt_offsets),
        "sample_offsets": list(template.sample_offsets),
        "waves": [_wave(wave) for wave in stream.channels],
        "fault": None
        if fault is None
        else {
            "waves": [_wave(wave) for wave in fault.waves],
            "cycle_s": fault.cycle_s,
            "offset_s": fault.offset_s,
            "start_smp": fault.start_smp,
            "duration_s": fault.duration_s,
        },
        "playback": None if playback is None else dict(packed[id(playback)]),
    }


def _native_streams(streams: Sequence[Stream], asdus_per_frame: int) -> list[dict[str, Any]]:
    """The engine's stream dictionaries for ``streams``, in order.

    Every template carries ``asdus_per_frame`` ASDUs.
    """
    if isinstance(streams, Stream):
        raise TypeError("streams must be a sequence of Stream, not a single Stream")
    result = []
    packed: dict[int, dict[str, Any]] = {}  # a recording shared by several streams is packed once
    for index, stream in enumerate(streams):
        if not isinstance(stream, Stream):
            raise TypeError(f"streams[{index}] must be a Stream, not {type(stream).__name__}")
        result.append(_native_stream(stream, asdus_per_frame, packed))
    return result


# --- several engines ----------------------------------------------------------


def _share(weights: Sequence[int], engines: int) -> list[range]:
    """Splits streams of the given weights (frames per second) into ``engines``
    consecutive runs of nearly equal total weight, none empty.

    Consecutive runs keep a stream's number what it is in one engine and let
    a listing say "streams 1-50"; the cut after run j falls where the running
    total comes closest to j / engines of the whole.
    """
    count = len(weights)
    if not 1 <= engines <= count:
        raise ValueError(f"{engines} engines for {count} streams: every engine needs a stream")
    total = sum(weights)
    cuts = [0]
    running = 0
    index = 0
    for j in range(1, engines):
        goal = total * j / engines
        # Leave at least one stream for each later run, take at least one now.
        last = count - (engines - j)
        index = max(index, cuts[-1] + 1)
        running = sum(weights[: index])
        while index < last and abs(running + weights[index] - goal) <= abs(running - goal):
            running += weights[index]
            index += 1
        cuts.append(index)
    cuts.append(count)
    return [range(a, b) for a, b in zip(cuts, cuts[1:])]


# CAP_SYS_NICE's bit in /proc/self/status's capability masks.
_CAP_SYS_NICE = 23


def _has_cap_sys_nice() -> bool:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("CapEff:"):
                    return bool(int(line.split()[1], 16) >> _CAP_SYS_NICE & 1)
    except (OSError, ValueError, IndexError):
        pass
    return False


def _check_cpus(cpus: Sequence[int]) -> None:
    """OSError naming the first CPU of ``cpus`` outside this process's CPU set.

    The message begins as the engine's own pinning failure does.
    """
    allowed = os.sched_getaffinity(0)
    for cpu in cpus:
        if cpu not in allowed:
            shown = ", ".join(str(c) for c in sorted(allowed))
            raise OSError(f"pin to CPU {cpu}: not in this process's CPU set {{{shown}}}")


def _check_fifo(priority: int) -> None:
    """OSError naming the missing right when a thread of this process cannot
    get SCHED_FIFO at ``priority``.

    A short-lived thread of its own asks for it, so the kernel's answer is
    the one the engine's thread would get; the message begins as the
    engine's own failure does.
    """
    failure: list[OSError] = []

    def attempt() -> None:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
        except OSError as error:
            failure.append(error)

    trial = threading.Thread(target=attempt, name="sv-fifo-check")
    trial.start()
    trial.join()
    if not failure:
        return
    errno_ = failure[0].errno or 0
    text = f"SCHED_FIFO priority {priority}: {os.strerror(errno_)} (os error {errno_})"
    if errno_ == 1:  # EPERM
        limit = resource.getrlimit(resource.RLIMIT_RTPRIO)[0]
        if _has_cap_sys_nice():
            text += ": CAP_SYS_NICE is held, but the kernel gives this process's group no real-time time (sched_rt_runtime_us, cpu.rt_runtime_us)"
        else:
            shown = "unlimited" if limit == resource.RLIM_INFINITY else str(limit)
            text += f": needs CAP_SYS_NICE or an RLIMIT_RTPRIO of at least {priority} (it is {shown})"
    raise OSError(text)
