"""Conversion of :mod:`valdrin.sv` streams into the native SV engine's input."""

from __future__ import annotations

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
