"""One SV stream of a capture file as arrays of samples, for export and figures.

:func:`stream_samples` reads a pcap or pcapng capture and lays the samples of
one stream (chosen by svID) on a regular grid of sample numbers: the smpCnt
of every ASDU, placed by the stream analysis's own counter rule
(``valdrin_rt.SvCounter``: the wrap learnt, unwrapped, duplicates and late
samples), gives the sample's place, so a sample that never arrived is a gap
in the grid (``present`` is False there), never an interpolated value, and
the lost samples are those :func:`valdrin.listen.analyze` counts. :func:`goose_changes` lists the GOOSE state
changes of the same capture (the analysis of :func:`valdrin.listen.analyze`),
and :func:`export_comtrade` writes a stream as a COMTRADE 2013 record.

Needs numpy.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import BinaryIO, Callable, Iterator, Sequence

import numpy as np
import valdrin_rt

from .listen import CHANNEL_NAMES, analyze
from .pcap import LINKTYPE_ETHERNET, Packet, read_pcap
from .recording import Channel, iso_utc, write_comtrade
from .sv_stream import CHANNEL_OCTETS
from .values import text

__all__ = ["GooseChange", "StreamSamples", "channels_of", "export_comtrade", "goose_changes", "stream_samples"]

# The 9-2LE layout: 8 channels, four currents and four voltages at the
# core's scaling; phase letters for COMTRADE's ph field.
_PHASES = ("A", "B", "C", "N") * 2
_AMPERE_PER_COUNT = 1 / valdrin_rt.COUNTS_PER_AMPERE
_VOLT_PER_COUNT = 1 / valdrin_rt.COUNTS_PER_VOLT


def channels_of(count: int) -> tuple[Channel, ...]:
    """The channels of a stream with ``count`` channels: the 9-2LE layout for 8, raw counts otherwise."""
    if count == len(CHANNEL_NAMES):
        return tuple(
            Channel(name, phase, "A" if k < 4 else "V", _AMPERE_PER_COUNT if k < 4 else _VOLT_PER_COUNT)
            for k, (name, phase) in enumerate(zip(CHANNEL_NAMES, _PHASES))
        )
    return tuple(Channel(f"ch{k + 1}", "", "", 1.0) for k in range(count))


@dataclass(frozen=True)
class StreamSamples:
    """The samples of one SV stream on a regular grid.

    Row i is sample number i after the earliest one received (by placed smpCnt),
    at ``first_ns + i * 1e9 / rate`` nanoseconds since the epoch. ``counts``
    (int64, rows x channels) and ``qualities`` (uint32) are zero in rows
    whose sample never arrived; ``present`` says which rows arrived.
    ``rate`` is the samples per second (from the capture's timestamps, else
    the smpCnt wrap), ``duplicates`` the ASDUs seen again (the first copy
    is kept).
    """

    sv_id: str
    app_id: int
    rate: int
    first_ns: int
    counts: np.ndarray
    qualities: np.ndarray
    present: np.ndarray
    channels: tuple[Channel, ...]
    duplicates: int = 0

    @property
    def lost(self) -> int:
        """Rows of the grid whose sample never arrived."""
        return int(np.count_nonzero(~self.present))

    def flagged(self) -> np.ndarray:
        """Per row and channel: the quality's validity is not good (invalid or questionable).

        False where the sample was lost.
        """
        return ((self.qualities & 0x3) != 0) & self.present[:, None]

    def times_s(self) -> np.ndarray:
        """Each row's time in seconds after the first sample."""
        return np.arange(len(self.present)) / self.rate

    def values(self) -> np.ndarray:
        """The samples in their units (A, V, or counts) as float64, NaN where lost."""
        scale = np.array([channel.per_count for channel in self.channels])
        out = self.counts * scale
        out[~self.present] = np.nan
        return out


def _pick(ids: Sequence[str], sv_id: str | None, path: str) -> str:
    if sv_id is not None:
        if sv_id not in ids:
            found = ", ".join(ids) if ids else "none"
            raise ValueError(f"no SV stream with svID {sv_id!r} in {path} (svIDs found: {found})")
        return sv_id
    if not ids:
        raise ValueError(f"no SV stream in {path}")
    if len(ids) > 1:
        raise ValueError(f"{path} holds {len(ids)} SV streams ({', '.join(ids)}): choose one by its svID")
    return ids[0]


def _packets(file: BinaryIO, name: str) -> Iterator[Packet]:
    """The packets of ``file``; a file that is no capture is a ValueError naming it, as analyze does."""
    try:
        yield from read_pcap(file)
    except ValueError as error:
        raise ValueError(f"cannot read {name}: {error}") from None


def stream_samples(
    path: str | os.PathLike,
    sv_id: str | None = None,
    *,
    progress: Callable[[int, int], None] | None = None,
) -> StreamSamples:
    """The samples of the SV stream ``sv_id`` of a capture (the only one when None).

    Frames that do not decode are skipped. ``progress(done, total)`` is
    called now and then with the octets read. Raises ``OSError`` when the
    file cannot be read and ``ValueError`` (one line) for a file that is no
    capture, a missing or ambiguous svID, or a stream whose ASDUs are not
    whole 8-octet channels.
    """
    name = os.fspath(path)
    ids: list[bytes] = []
    wanted = None if sv_id is None else sv_id.encode("ascii", "backslashreplace")
    cnts: list[int] = []
    frame_ns: list[int] = []
    position: list[int] = []
    fields: list[bytes] = []  # the sample fields, joined and read at once at the end
    app_id = 0
    width = None
    with open(path, "rb") as file:
        total = os.fstat(file.fileno()).st_size
        for count, (time_ns, linktype, raw) in enumerate(_packets(file, name)):
            if progress is not None and count % 8192 == 0:
                progress(file.tell(), total)
            if linktype != LINKTYPE_ETHERNET:
                continue
            try:
                decoded = valdrin_rt.decode_sv_frame(raw)
            except ValueError:
                continue
            if decoded is None:
                continue
            frame, (_security, asdus) = decoded
            for k, asdu in enumerate(asdus):
                ident = asdu["sv_id"]
                if ident not in ids:
                    ids.append(ident)
                if ident != (ids[0] if wanted is None else wanted):
                    continue
                sample = asdu["sample"]
                if len(sample) % CHANNEL_OCTETS or (width is not None and len(sample) != width) or not sample:
                    raise ValueError(
                        f"stream {text(ident)!r} has ASDUs of {len(sample)} sample octets: "
                        "not whole 8-octet channels of one width"
                    )
                width = len(sample)
                app_id = frame["app_id"]
                cnts.append(asdu["smp_cnt"])
                frame_ns.append(0 if time_ns is None else time_ns)
                position.append(k)
                fields.append(sample)
        if progress is not None:
            progress(total, total)
    chosen = _pick([text(ident) for ident in ids], sv_id, name)
    if not cnts:  # ids held the stream, so only a mismatching first id gets here
        raise ValueError(f"no SV stream with svID {chosen!r} in {name}")
    # Each channel: INT32 value, then the 32-bit quality word, both big-endian.
    data = np.frombuffer(b"".join(fields), dtype=">i4").reshape(len(fields), width // CHANNEL_OCTETS, 2)
    return _grid(chosen, app_id, np.array(cnts, dtype=np.int64), np.array(frame_ns, dtype=np.int64),
                 np.array(position, dtype=np.int64), data)


def _rate(index: np.ndarray, frame_ns: np.ndarray) -> float | None:
    """Samples per second from the sample indices of consecutive frames' first samples, or None."""
    steps = np.diff(index)
    spans = np.diff(frame_ns)
    usable = (steps > 0) & (steps <= 64) & (spans > 0)
    if not usable.any():
        return None
    return float(np.median(steps[usable] * 1e9 / spans[usable]))


def _grid(sv_id: str, app_id: int, cnts: np.ndarray, frame_ns: np.ndarray, position: np.ndarray,
          data: np.ndarray) -> StreamSamples:
    # The stream analysis's own counter rule places every ASDU: its wrap,
    # where a sample sits after each wrap, what is lost, repeated or late.
    counter = valdrin_rt.SvCounter()
    index = np.frombuffer(counter.place(cnts.astype("=u2").tobytes()), dtype=np.int64)
    index = index - index.min()
    first = position == 0  # frames' first ASDUs: one timestamp each
    estimate = _rate(index[first], frame_ns[first])
    # Samples per second from the timestamps, to the nearest 10 (the rates in
    # use are multiples of 10; a live capture's median interval is that exact);
    # without them, the wrap (9-2LE counters wrap each second).
    if estimate is not None:
        rate = max(1, round(estimate / 10) * 10 if estimate >= 100 else round(estimate))
    else:
        rate = counter.wrap if counter.wrap_learnt else int(cnts.max()) + 1
    rows = counter.span
    channels = data.shape[1]  # data: ASDUs x channels x (value, quality word)
    counts = np.zeros((rows, channels), dtype=np.int64)
    qualities = np.zeros((rows, channels), dtype=np.uint32)
    present = np.zeros(rows, dtype=bool)
    # The first copy of a sample wins: fill in reverse so earlier ASDUs overwrite later ones.
    order = np.arange(len(index))[::-1]
    counts[index[order]] = data[order, :, 0]
    qualities[index[order]] = (data[order, :, 1].astype(np.int64) & 0xFFFFFFFF).astype(np.uint32)
    present[index] = True
    first = int(np.argmin(index))
    first_ns = int(frame_ns[first]) + int(position[first]) * 1_000_000_000 // rate
    return StreamSamples(sv_id, app_id, rate, first_ns, counts, qualities, present, channels_of(channels),
                         counter.duplicated)


@dataclass(frozen=True)
class GooseChange:
    """A GOOSE state change: receive time (ns since the epoch), gocbRef, the new stNum and values."""

    time_ns: int
    gocb_ref: str
    st_num: int | None
    values: list | None


def goose_changes(path: str | os.PathLike) -> list[GooseChange]:
    """The GOOSE state changes of a capture in time order (a block's first frame is none)."""
    events: list = []
    analyze(path, events=events)
    changes = [
        GooseChange(event.time_ns, event.id, event.details.get("st_num"), event.details.get("values"))
        for event in events
        if event.kind == "goose_state_change"
    ]
    return sorted(changes, key=lambda change: change.time_ns)


def export_comtrade(
    capture: str | os.PathLike,
    out: str | os.PathLike,
    sv_id: str | None = None,
    *,
    file_type: str = "BINARY32",
    station: str = "valdrin",
    frequency: float = 50.0,
    progress: Callable[[int, int], None] | None = None,
) -> dict:
    """Writes the SV stream ``sv_id`` of a capture (the only one when None) as a COMTRADE 2013 record.

    ``out.cfg`` and ``out.dat`` (:func:`valdrin.recording.write_comtrade`,
    BINARY32 or ASCII data): channel names and units of the 9-2LE layout
    for 8-channel streams (currents in A, voltages in V), raw counts
    otherwise, and a digital channel "<name> q" per channel, 1 where the
    sample's validity is not good; the first sample's time is its frame's
    capture time; lost samples are missing values. Returns a summary: ``{"cfg", "dat",
    "sv_id", "rate", "samples", "lost", "channels", "start"}`` (start in
    ISO 8601, UTC). Raises ``OSError`` and ``ValueError`` like
    :func:`stream_samples`.
    """
    stream = stream_samples(capture, sv_id, progress=progress)
    cfg, dat = write_comtrade(out, stream.counts, stream.present, stream.channels, stream.rate, stream.first_ns,
                              file_type=file_type, station=station, device=stream.sv_id, frequency=frequency,
                              status=stream.flagged(), status_names=[f"{c.name} q" for c in stream.channels])
    return {
        "cfg": str(cfg),
        "dat": str(dat),
        "sv_id": stream.sv_id,
        "rate": stream.rate,
        "samples": len(stream.present),
        "lost": stream.lost,
        "channels": [channel.name for channel in stream.channels],
        "start": iso_utc(stream.first_ns),
    }
