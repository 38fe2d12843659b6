"""COMTRADE records in and out: playback of recorded faults, export of captured streams.

Reading goes through the ``comtrade`` package (every revision from 1991 to
2013, ASCII, BINARY, BINARY32 and FLOAT32 data): :func:`read_comtrade` gives
a :class:`Recording` with every analog channel in primary units, and
:meth:`Recording.playback_rows` turns chosen channels into the rows of a
:class:`valdrin.sv.Playback` at the publishing rate
(``Playback.from_comtrade`` and ``Playback.from_recording`` make it):

- values: the reader applies each channel's multiplier and offset; channels
  recorded in secondary units are multiplied by primary / secondary; the
  result is converted to counts with the channel's ``scale`` (counts per
  unit of the file: from its unit, 1000 per A and 100 per V with the SI
  prefixes k, M, m, u, or given by the caller), rounded to the nearest
  integer and held within the INT32 range.
- rate: each sampling-rate segment of the file is resampled to the
  publishing rate by a polyphase FIR filter (scipy's ``resample_poly``,
  Kaiser window, cut-off at the lower of the two Nyquist frequencies), so
  content above the new Nyquist frequency is removed, not folded. Before
  filtering, each end of a segment is extended by its point reflection
  (``2 x[0] - x[k]``), which keeps value and slope continuous: there is no
  start-up ramp from zero; a 50 Hz sine is reproduced within 1e-5 of its
  amplitude, 4e-3 near the ends (see :func:`resample`). A record with
  several rates is resampled segment by segment onto one grid of
  publishing instants (a row is one period of its own segment after the
  row before); a segment whose first row falls between two instants is
  resampled finer and taken from the next instant on, so the joins keep
  the timing (to 1/1000 of a publishing period).
- missing samples (the file's missing-value code) are bridged by a straight
  line before filtering, and every published sample within reach of one is
  sent with the quality word ``INVALID_QUALITY``.

:func:`write_comtrade` writes rows of counts as a COMTRADE 2013 record
(:func:`valdrin.sv_capture.export_comtrade` does so for one SV stream of a
capture file).
"""

from __future__ import annotations

import datetime as dt
import math
import os
import re
import warnings
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Sequence

import numpy as np
import valdrin_rt

__all__ = [
    "ASCII_MISSING",
    "BINARY32_MISSING",
    "INVALID_QUALITY",
    "Channel",
    "Recording",
    "read_comtrade",
    "resample",
    "unit_scale",
    "write_comtrade",
]

# The quality word of a published sample that depends on a missing one:
# validity "invalid" (bits 0-1 = 01).
INVALID_QUALITY = 0x0001
# Missing values in the data file: the smallest INT32 in BINARY32, 99999 in
# ASCII (whose values then keep within -99999 .. 99998).
BINARY32_MISSING = -(2**31)
ASCII_MISSING = 99999
_ASCII_LIMIT = 99998

_INT32 = (-(2**31), 2**31 - 1)
_PREFIX = {"": 1.0, "k": 1e3, "M": 1e6, "m": 1e-3, "u": 1e-6, "µ": 1e-6, "μ": 1e-6}
# The 9-2LE scaling, the core's: 1 mA, 10 mV a count.
_COUNTS_PER_UNIT = {"A": float(valdrin_rt.COUNTS_PER_AMPERE), "V": float(valdrin_rt.COUNTS_PER_VOLT)}
# The resampling filter: taps a side per polyphase branch and the Kaiser window's beta.
FILTER_HALF_LENGTH = 20
KAISER_BETA = 10.0
_UNIT = re.compile(r"\s*(k|M|m|u|µ|μ)?(A|V)\s*")


def unit_scale(unit: str) -> float | None:
    """Counts per unit for a COMTRADE unit text such as "A", "kV" or "mA"; None when it is neither A nor V."""
    match = _UNIT.fullmatch(unit)
    if not match:
        return None
    return _COUNTS_PER_UNIT[match.group(2)] * _PREFIX[match.group(1) or ""]


@dataclass(frozen=True)
class Channel:
    """One channel of a written record: its name, phase letter ("" when none), unit ("A", "V",
    or "" for raw counts) and the value of one count in that unit (1.0 for raw counts)."""

    name: str
    phase: str
    unit: str
    per_count: float


# --- resampling ---------------------------------------------------------------


def _ratio(to_rate: float, from_rate: float) -> tuple[int, int]:
    ratio = (Fraction(str(float(to_rate))) / Fraction(str(float(from_rate)))).limit_denominator(1000)
    return ratio.numerator, ratio.denominator


def resample(values: np.ndarray, from_rate: float, to_rate: float, count: int | None = None) -> np.ndarray:
    """``values`` (samples along the first axis) resampled from ``from_rate`` to ``to_rate`` per second.

    Output sample k is at time k / to_rate from input sample 0, for every
    such instant within the input's span (the last input sample's time
    included), or for ``count`` instants (a few past the span come from the
    extension below). A polyphase FIR filter (scipy's ``resample_poly``, ratio
    up/down reduced to denominators of at most 1000, Kaiser window with
    beta 10 and 20 taps a side per branch) interpolates and low-pass
    filters at the lower Nyquist frequency. Both ends are extended by point
    reflection before filtering, so the first and last outputs follow the
    signal instead of ramping from zero. Measured on 50 Hz sines of every
    phase from 960, 1000, 1200, 2400, 4800 and 16000 samples/s to 4000:
    within 6e-6 of the amplitude away from the ends; within the filter's
    reach of an end (about 20 input samples; 20 x down / up when
    down-sampling) within 4e-3 at 960/s, 2.6e-3 at 1200/s, 1.5e-4 at
    4800/s, more for harmonics close to the lower Nyquist frequency, where
    the reflection is a poorer guess.
    """
    from scipy.signal import firwin, resample_poly

    data = np.asarray(values, dtype=np.float64)
    rows = data.shape[0]
    up, down = _ratio(to_rate, from_rate)
    wanted = (rows - 1) * up // down + 1 if count is None else count
    if rows == 0 or wanted <= 0:
        return data[:0].copy()
    if rows == 1:
        return np.repeat(data, wanted, axis=0)
    if up == down:
        extra = [(0, max(0, wanted - rows))] + [(0, 0)] * (data.ndim - 1)
        return np.pad(data, extra, mode="reflect", reflect_type="odd")[:wanted]
    # Low-pass at the lower Nyquist frequency of the two rates, designed on
    # the up-sampled signal: Kaiser window (beta 10, about 100 dB of stop
    # band), FILTER_HALF_LENGTH taps a side per phase.
    widest = max(up, down)
    taps = firwin(2 * FILTER_HALF_LENGTH * widest + 1, 1.0 / widest, window=("kaiser", KAISER_BETA))
    # The filter reaches that many up-sampled samples each way: extend each
    # end by as many input samples, a multiple of down so that the padded
    # signal's outputs fall on the same instants.
    reach = math.ceil(FILTER_HALF_LENGTH * widest / up) + 1
    # (Odd reflection, repeated when the signal is shorter than that.)
    pad = -(-reach // down) * down
    widths = [(pad, pad)] + [(0, 0)] * (data.ndim - 1)
    data = np.pad(data, widths, mode="reflect", reflect_type="odd")
    out = resample_poly(data, up, down, axis=0, window=taps)
    skip = pad * up // down
    if skip + wanted > (rows - 1 + 2 * pad) * up // down + 1:
        raise ValueError(f"{wanted} outputs reach past the extension of {rows} samples")
    return out[skip : skip + wanted]


# --- reading --------------------------------------------------------------------


@dataclass(frozen=True)
class Recording:
    """The analog channels of a COMTRADE record, in primary units.

    ``names``, ``units`` (as written in the file) and ``values`` (float64
    arrays, NaN where the file has its missing-value code) have one entry
    per analog channel; ``segments`` lists (samples per second, first row,
    rows) of each sampling-rate segment; ``start`` is the first sample's
    time as written (naive datetime); ``frequency`` the line frequency.
    """

    path: str
    names: tuple[str, ...]
    units: tuple[str, ...]
    values: tuple[np.ndarray, ...]
    segments: tuple[tuple[float, int, int], ...]
    start: dt.datetime
    frequency: float

    @property
    def rows(self) -> int:
        return len(self.values[0]) if self.values else 0

    def channel_indexes(self, channels: Sequence[int | str] | None) -> list[int]:
        """Indexes (from 0) of ``channels`` given by name or by number (from 1, as the file numbers them)."""
        if channels is None:
            return list(range(len(self.names)))
        chosen = []
        for channel in channels:
            if isinstance(channel, str) and channel.strip() in self.names:
                chosen.append(self.names.index(channel.strip()))
                continue
            try:
                number = int(channel)
            except (TypeError, ValueError):
                raise ValueError(
                    f"the record has no analog channel {channel!r} (channels: {', '.join(self.names)})"
                ) from None
            if not 1 <= number <= len(self.names):
                raise ValueError(f"the record has analog channels 1 to {len(self.names)}, not {number}")
            chosen.append(number - 1)
        if not chosen:
            raise ValueError("choose at least one channel")
        return chosen

    def counts(
        self,
        rate: int,
        channels: Sequence[int | str] | None = None,
        scales: Sequence[float | None] | float | None = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """The chosen channels at ``rate`` samples per second as INT32 counts, and where they are invalid.

        Returns (counts, invalid): int64 arrays of rows x channels and a bool
        array of the same shape. ``scales`` gives counts per unit of the file
        for every chosen channel (one number for all; None entries: from the
        unit). ``ValueError`` when a channel's unit is neither A nor V and no
        scale is given.
        """
        indexes = self.channel_indexes(channels)
        if scales is None or isinstance(scales, (int, float)):
            scales = [scales] * len(indexes)
        if len(scales) != len(indexes):
            raise ValueError(f"{len(scales)} scales for {len(indexes)} channels")
        factors = []
        for index, scale in zip(indexes, scales):
            if scale is None:
                scale = unit_scale(self.units[index])
                if scale is None:
                    raise ValueError(
                        f"channel {self.names[index]!r} is in {self.units[index].strip() or 'no unit'!r}, "
                        "neither A nor V: give its counts per unit"
                    )
            factors.append(float(scale))
        raw = np.stack([self.values[index] for index in indexes], axis=1)
        missing = np.isnan(raw)
        if missing.all(axis=0).any():
            raise ValueError("a chosen channel holds no value at all")
        filled = raw.copy()
        rows = np.arange(len(raw))
        for k in range(raw.shape[1]):
            if missing[:, k].any():
                good = ~missing[:, k]
                filled[:, k] = np.interp(rows, rows[good], raw[good, k])
        out_values, out_invalid = [], []
        for (seg_rate, first, length), (index, offset, count) in zip(self.segments, self._placement(rate)):
            part = filled[first : first + length] * np.array(factors)
            # A segment that starts between two publishing instants: resampled
            # q times finer, every q-th output from the first instant on.
            q = offset.denominator
            fine = resample(part, seg_rate, rate * q, offset.numerator + (count - 1) * q + 1 if count else 0)
            out_values.append(fine[offset.numerator :: q][:count])
            flags = _invalid(missing[first : first + length], seg_rate, rate * q, len(fine))
            out_invalid.append(flags[offset.numerator :: q][:count])
        values = np.concatenate(out_values)
        counts = np.clip(np.rint(values), *_INT32).astype(np.int64)
        return counts, np.concatenate(out_invalid)

    def _placement(self, rate: int) -> list[tuple[int, Fraction, int]]:
        """Per segment: its first publishing instant k, the offset (in publishing periods, below 1,
        with a denominator of at most 1000) from the segment's first row to k, and its instants."""
        times = []  # each segment's first row, in seconds, exactly
        at = Fraction(0)
        for number, (seg_rate, _first, length) in enumerate(self.segments):
            step = 1 / Fraction(str(seg_rate))
            if number:
                at += step  # a row is one period of its own segment after the row before
            times.append(at)
            at += (length - 1) * step
        total = math.floor(at * rate) + 1  # instants up to the last row
        firsts = [math.ceil(time * rate) for time in times] + [total]
        return [
            (firsts[n], (firsts[n] - times[n] * rate).limit_denominator(1000), max(0, firsts[n + 1] - firsts[n]))
            for n in range(len(times))
        ]

    def playback_rows(
        self,
        rate: int = 4000,
        channels: Sequence[int | str] | None = None,
        scales: Sequence[float | None] | float | None = None,
    ) -> tuple[list[list[int]], list[list[int]] | None]:
        """The rows of a :class:`valdrin.sv.Playback` of the chosen channels at ``rate`` samples per second.

        Returns (values, qualities): qualities is None when no value was
        missing, else ``INVALID_QUALITY`` for every sample that depends on a
        missing value and 0 for the others. ``Playback.from_recording``
        makes the playback itself.
        """
        counts, invalid = self.counts(rate, channels, scales)
        qualities = np.where(invalid, INVALID_QUALITY, 0).tolist() if invalid.any() else None
        return counts.tolist(), qualities


def _invalid(missing: np.ndarray, from_rate: float, to_rate: float, rows: int) -> np.ndarray:
    """Output rows within the filter's reach (two input samples) of a missing input sample."""
    out = np.zeros((rows, missing.shape[1]), dtype=bool)
    if not missing.any():
        return out
    at = np.arange(rows) * (from_rate / to_rate)  # each output's place in input samples
    for k in range(missing.shape[1]):
        where = np.flatnonzero(missing[:, k])
        if where.size == 0:
            continue
        nearest = np.searchsorted(where, at)
        right = np.abs(where[np.minimum(nearest, where.size - 1)] - at)
        left = np.abs(where[np.maximum(nearest - 1, 0)] - at)
        out[:, k] = np.minimum(left, right) <= 2.0
    return out


def _primary(channel: object) -> float:
    """The factor from the channel's file values to primary values."""
    pors = str(getattr(channel, "pors", "P")).strip().upper()
    primary = float(getattr(channel, "primary", 1.0) or 1.0)
    secondary = float(getattr(channel, "secondary", 1.0) or 1.0)
    return primary / secondary if pors == "S" and secondary else 1.0


def read_comtrade(cfg: str | os.PathLike, dat: str | os.PathLike | None = None) -> Recording:
    """The analog channels of the COMTRADE record ``cfg`` (a .cfg or .cff file) in primary units.

    ``dat`` defaults to the .dat beside the .cfg. Raises ``ValueError`` with
    one line when the files cannot be read as COMTRADE.
    """
    import comtrade

    path = os.fspath(cfg)
    if Path(path).suffix.lower() not in (".cfg", ".cff"):  # the reader's own text quotes the path escaped
        raise ValueError(f"{path} is not a .cfg or .cff file: give the record's .cfg (its .dat beside it)")
    record = comtrade.Comtrade(use_numpy_arrays=True, use_double_precision=True, ignore_warnings=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if dat is None:
                record.load(path)
            else:
                record.load(path, os.fspath(dat))
    except FileNotFoundError as error:
        raise ValueError(f"cannot read {error.filename or path}: {error.strerror or 'no such file'}") from None
    except OSError as error:
        raise ValueError(f"cannot read {path}: {error.strerror or error}") from None
    except Exception as error:  # the reader raises whatever its parsing meets
        _explain(path, dat)  # a data file that ends early says so
        text = " ".join(str(error).split()) or type(error).__name__
        raise ValueError(f"{path} is not a COMTRADE record the reader understands: {text}") from None
    channels = list(record.cfg.analog_channels)
    rows = int(record.total_samples)
    _check_data(path, dat, record.cfg, rows)
    if not channels:
        raise ValueError(f"{path} has no analog channel")
    if rows == 0:
        raise ValueError(f"{path} holds no samples")
    values = []
    for channel, data in zip(channels, record.analog):
        column = np.asarray(data, dtype=np.float64)[:rows]
        if len(column) < rows:
            raise ValueError(f"{path}: the data file ends before its {rows} samples")
        values.append(column * _primary(channel))
    segments = _segments(record, rows, path)
    return Recording(
        path,
        tuple(str(channel.name).strip() for channel in channels),
        tuple(str(channel.uu).strip() for channel in channels),
        tuple(values),
        segments,
        record.start_timestamp,
        float(record.frequency or 0.0),
    )


def _explain(path: str, dat: str | os.PathLike | None) -> None:
    """Raises the ValueError of a data file shorter than its .cfg says, when the .cfg reads."""
    import comtrade

    try:
        cfg = comtrade.Cfg(ignore_warnings=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            cfg.load(path)
        rows = int(cfg.sample_rates[-1][1]) if cfg.sample_rates else 0
    except Exception:  # the .cfg itself is what fails
        return
    _check_data(path, dat, cfg, rows)


def _check_data(path: str, dat: str | os.PathLike | None, cfg: object, rows: int) -> None:
    """ValueError when the data file holds fewer samples than the .cfg announces (the reader
    would leave the rest zero)."""
    if dat is None:
        base = Path(path)
        if base.suffix.lower() == ".cff":
            return
        dat = next((base.with_suffix(s) for s in (".dat", ".DAT", ".Dat") if base.with_suffix(s).exists()), None)
        if dat is None:
            return
    width = {"BINARY": 2, "BINARY32": 4, "FLOAT32": 4}.get(str(cfg.ft).strip().upper())
    if width is None:  # ASCII: a line a sample
        with open(dat, "rb") as file:
            have = sum(1 for line in file if line.strip(b" \t\r\n\x1a"))
    else:
        row = 8 + width * int(cfg.analog_count) + 2 * -(-int(cfg.status_count) // 16)
        have = os.path.getsize(dat) // row
    if have < rows:
        raise ValueError(f"{os.fspath(dat)} holds {have} of the {rows} samples that {path} announces")


def _segments(record: object, rows: int, path: str) -> tuple[tuple[float, int, int], ...]:
    rates = [(float(samp), int(end)) for samp, end in record.cfg.sample_rates]
    segments = []
    first = 0
    for samp, end in rates:
        if samp <= 0:
            break
        end = min(end, rows)
        if end > first:
            segments.append((samp, first, end - first))
            first = end
    if segments and first < rows:  # rows past the last endsamp continue at its rate
        samp, start, length = segments[-1]
        segments[-1] = (samp, start, length + rows - first)
        first = rows
    if first == rows:
        return tuple(segments)
    # No sampling rate (timestamps only): they must be regular.
    times = np.asarray(record.time, dtype=np.float64)[:rows]
    steps = np.diff(times)
    if rows < 2 or not (steps > 0).all():
        raise ValueError(f"{path} gives no sampling rate and its timestamps do not increase")
    step = float(np.median(steps))
    if np.abs(steps - step).max() > 0.01 * step:
        raise ValueError(f"{path} gives no sampling rate and its timestamps are not regular")
    return ((round(1.0 / step, 6), 0, rows),)


# --- writing ----------------------------------------------------------------------


def _stamp(time_ns: int) -> str:
    """dd/mm/yyyy,hh:mm:ss.ssssss in UTC, rounded to the microsecond."""
    when = dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=(time_ns + 500) // 1000)
    return when.strftime("%d/%m/%Y,%H:%M:%S.%f")


def iso_utc(time_ns: int) -> str:
    """ISO 8601 in UTC with microseconds, like 2023-11-14T22:13:20.000250Z."""
    when = dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=(time_ns + 500) // 1000)
    return when.strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _text(value: str) -> str:
    """A cfg field: no commas or line breaks, at most 64 characters."""
    return re.sub(r"[,\r\n]", "_", value)[:64]


def _number(value: float) -> str:
    return repr(float(value)) if not float(value).is_integer() else str(int(value))


def write_comtrade(
    out: str | os.PathLike,
    counts: np.ndarray,
    present: np.ndarray,
    channels: Sequence[Channel],
    rate: float,
    first_ns: int,
    *,
    file_type: str = "BINARY32",
    station: str = "valdrin",
    device: str = "SV",
    frequency: float = 50.0,
    status: np.ndarray | None = None,
    status_names: Sequence[str] = (),
) -> tuple[Path, Path]:
    """Writes a COMTRADE 2013 record ``out.cfg`` + ``out.dat``; returns both paths.

    ``counts`` (rows x channels, integers) are the samples, ``present`` says
    which rows hold a sample: the others are written as missing values in
    every channel (BINARY32: 0x80000000; ASCII: 99999), never interpolated.
    Each channel's multiplier is its ``per_count``: values are primary
    (PS "P", ratio 1:1). BINARY32 keeps every count (a count of -2**31, the
    missing code, is written as -2**31 + 1); ASCII keeps its values within
    -99999 .. 99998, so a channel whose counts go beyond is written in
    steps of a whole number of counts (its multiplier grows by that
    factor). One sampling rate; the timestamps (µs after the first sample)
    are informative. ``first_ns`` (ns since the epoch, UTC) is the start
    and trigger time. ``status`` (rows x len(``status_names``), bool) adds
    digital channels of those names, normal state 0.
    """
    kind = file_type.upper()
    if kind not in ("BINARY32", "ASCII"):
        raise ValueError(f"file type must be BINARY32 or ASCII, not {file_type!r}")
    counts = np.asarray(counts, dtype=np.int64)
    present = np.asarray(present, dtype=bool)
    rows, width = counts.shape
    if width != len(channels) or len(present) != rows:
        raise ValueError("counts, present and channels do not agree")
    if not rate > 0:
        raise ValueError(f"rate must be positive, got {rate}")
    digital = len(status_names)
    bits = np.zeros((rows, digital), dtype=bool) if status is None else np.asarray(status, dtype=bool)
    if bits.shape != (rows, digital):
        raise ValueError("status and status_names do not agree with the rows")
    base = Path(out)
    if base.suffix.lower() in (".cfg", ".dat"):
        base = base.with_suffix("")
    cfg_path, dat_path = base.with_suffix(".cfg"), base.with_suffix(".dat")

    steps = np.ones(width, dtype=np.int64)
    raw = counts.copy()
    if kind == "ASCII":
        peak = np.abs(counts[present]).max(axis=0) if present.any() else np.zeros(width, dtype=np.int64)
        steps = np.maximum(1, -(-peak // _ASCII_LIMIT))
        raw = np.rint(counts / steps).astype(np.int64)  # ties to even; |raw| <= 99998
        missing = ASCII_MISSING
    else:
        raw = np.clip(raw, BINARY32_MISSING + 1, _INT32[1])
        missing = BINARY32_MISSING
    raw[~present] = missing
    good = raw[present]
    low = good.min(axis=0) if len(good) else np.zeros(width, dtype=np.int64)
    high = good.max(axis=0) if len(good) else np.zeros(width, dtype=np.int64)

    # Timestamps in µs; a multiplier keeps them within 32 bits for long records.
    span_us = (rows - 1) * 1e6 / rate if rows else 0.0
    time_mult = 1 if span_us < 4e9 else math.ceil(span_us / 4e9)
    stamps = np.rint(np.arange(rows) * (1e6 / rate / time_mult)).astype(np.int64)

    lines = [
        f"{_text(station)},{_text(device)},2013",
        f"{width + digital},{width}A,{digital}D",
    ]
    for k, channel in enumerate(channels):
        a = channel.per_count * int(steps[k])
        lines.append(
            f"{k + 1},{_text(channel.name)},{channel.phase},,{channel.unit},{_number(a)},0,0,"
            f"{int(low[k])},{int(high[k])},1,1,P"
        )
    for k, name in enumerate(status_names):
        lines.append(f"{k + 1},{_text(name)},,,0")
    lines += [
        _number(frequency),
        "1",
        f"{_number(rate)},{rows}",
        _stamp(first_ns),
        _stamp(first_ns),
        kind,
        str(time_mult),
        "0,0",  # time code and local code: UTC
        "0,0",  # time quality (none stated) and no leap second
    ]
    cfg_path.write_text("\r\n".join(lines) + "\r\n", encoding="ascii", errors="replace")

    numbers = np.arange(1, rows + 1, dtype=np.int64)
    if kind == "BINARY32":
        # Digital channels: 16 a word, channel 1 in the least significant bit.
        words = -(-digital // 16)
        packed = np.zeros((rows, words), dtype=np.int64)
        for k in range(digital):
            packed[:, k // 16] |= bits[:, k].astype(np.int64) << (k % 16)
        record = np.dtype([("n", "<u4"), ("t", "<u4"), ("v", "<i4", (width,)), ("d", "<u2", (words,))])
        table = np.empty(rows, dtype=record)
        table["n"] = numbers & 0xFFFFFFFF
        table["t"] = stamps & 0xFFFFFFFF
        table["v"] = raw
        table["d"] = packed
        dat_path.write_bytes(table.tobytes())
    else:
        columns = np.column_stack((numbers, stamps, raw, bits.astype(np.int64)))
        with open(dat_path, "w", encoding="ascii", newline="") as file:
            np.savetxt(file, columns, fmt="%d", delimiter=",", newline="\r\n")
    return cfg_path, dat_path
