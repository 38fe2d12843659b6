"""Figures of SV streams: channels over time, lost samples, quality flags and events.

:func:`draw_channels` draws any set of channels into a PNG or SVG file;
:func:`plot_stream` does so for a :class:`valdrin.sv_capture.StreamSamples`
(one stream of a capture) and :func:`plot_capture` for a capture file, with
its GOOSE state changes as events. :func:`trip_test_figure` draws the
currents around each shot of a :class:`valdrin.trip_test.TripTestResult`,
:func:`plot_trip_test` writes it as a PNG.

The figure has one axis per unit, sharing the time axis: currents in A,
voltages in V, anything else (raw counts) on a third. Lost samples are
shaded red across every axis, samples whose quality word is not good are
marked with orange dots on their curve, and each event is a dashed
vertical line labelled at the top. Rendering uses matplotlib's Agg back end
through :class:`matplotlib.figure.Figure` alone: no display, and pyplot's
global state is left alone, so callers may use pyplot themselves.
"""

from __future__ import annotations

import datetime as dt
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Sequence

import numpy as np

if TYPE_CHECKING:
    from matplotlib.figure import Figure

from .sv_capture import StreamSamples, goose_changes, stream_samples
from .trip_test import NO_TRIP, NOT_RESET, TRIPPED_BEFORE_FAULT, TripTestResult

__all__ = ["Event", "Trace", "draw_channels", "plot_capture", "plot_stream", "plot_trip_test", "trip_test_figure"]

# Events labelled in the figure; more are drawn without a label.
MAX_EVENT_LABELS = 12
_UNIT_TITLES = {"A": "current (A)", "V": "voltage (V)"}


@dataclass(frozen=True)
class Trace:
    """One curve: ``values`` (float, NaN where lost) in ``unit`` ("A", "V" or anything else),
    and optionally ``flagged`` (bool, same length): samples whose quality is not good."""

    name: str
    unit: str
    values: np.ndarray
    flagged: np.ndarray | None = None


@dataclass(frozen=True)
class Event:
    """A vertical line at ``time_s`` (the figure's time axis) with a short ``label``."""

    time_s: float
    label: str


def _plain(text: str) -> str:
    """Text shown as written: matplotlib reads $...$ as mathematics (and gocbRefs hold $)."""
    return text.replace("$", r"\$")


def _runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """(first, last) indexes of every run of True in ``mask``."""
    padded = np.concatenate(([False], mask, [False])).astype(np.int8)
    edges = np.flatnonzero(np.diff(padded))
    return [(int(start), int(end) - 1) for start, end in zip(edges[::2], edges[1::2])]


def draw_channels(
    path: str | os.PathLike,
    time_s: np.ndarray,
    traces: Sequence[Trace],
    *,
    lost: np.ndarray | None = None,
    events: Sequence[Event] = (),
    title: str | None = None,
    time_label: str = "time (s)",
    size: tuple[float, float] = (11.0, 7.0),
    dpi: int = 100,
) -> Figure:
    """Draws ``traces`` over ``time_s`` (seconds) into ``path``; the format follows its suffix (.png, .svg, ...).

    Returns the :class:`matplotlib.figure.Figure` (one axis per unit, top to
    bottom: A, V, counts), already saved; a PNG is ``size`` inches at ``dpi``.

    ``lost`` (bool, one per time) marks instants without a sample: shaded
    over their extent on every axis. ``events`` become labelled vertical
    lines. Raises ``ValueError`` for no traces or mismatched lengths, and
    ``OSError`` when the file cannot be written.
    """
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    time_s = np.asarray(time_s, dtype=np.float64)
    if not traces:
        raise ValueError("nothing to draw: no channel")
    for trace in traces:
        if len(trace.values) != len(time_s):
            raise ValueError(f"channel {trace.name} has {len(trace.values)} values for {len(time_s)} instants")
    groups: dict[str, list[Trace]] = {}
    for trace in traces:
        key = trace.unit if trace.unit in _UNIT_TITLES else ""
        groups.setdefault(key, []).append(trace)
    order = [unit for unit in ("A", "V", "") if unit in groups]

    figure = Figure(figsize=size, dpi=dpi, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(order), 1, sharex=True, squeeze=False)[:, 0]
    step = float(np.median(np.diff(time_s))) if len(time_s) > 1 else 0.0
    lost_runs = _runs(np.asarray(lost, dtype=bool)) if lost is not None and len(time_s) else []
    for ax, unit in zip(axes, order):
        for trace in groups[unit]:
            values = np.asarray(trace.values, dtype=np.float64)
            (line,) = ax.plot(time_s, values, linewidth=0.9, label=_plain(trace.name))
            if trace.flagged is not None and np.any(trace.flagged):
                where = np.asarray(trace.flagged, dtype=bool)
                ax.plot(time_s[where], values[where], linestyle="none", marker=".", markersize=4,
                        color="tab:orange")
        ax.set_ylabel(_UNIT_TITLES.get(unit, "value (counts)"))
        ax.grid(True, linewidth=0.4, alpha=0.6)
        ax.legend(loc="upper right", fontsize="small", ncols=min(len(groups[unit]), 4))
        for first, last in lost_runs:
            ax.axvspan(time_s[first] - step / 2, time_s[last] + step / 2, color="tab:red", alpha=0.25, linewidth=0)
        for event in events:
            ax.axvline(event.time_s, color="black", linestyle="--", linewidth=0.8)
    for k, event in enumerate(events[:MAX_EVENT_LABELS]):
        axes[0].annotate(_plain(event.label), (event.time_s, 1.0), xycoords=("data", "axes fraction"),
                         xytext=(2, -2 - 10 * (k % 3)), textcoords="offset points", fontsize="x-small",
                         va="top", ha="left")
    axes[-1].set_xlabel(_plain(time_label))
    if len(time_s):
        axes[-1].set_xlim(time_s[0], time_s[-1] if len(time_s) > 1 else time_s[0] + 1e-3)
    notes = []
    if lost_runs:
        notes.append("red: lost samples")
    if any(trace.flagged is not None and np.any(trace.flagged) for trace in traces):
        notes.append("orange dots: quality not good")
    if events:
        notes.append("dashed: events")
    heading = title or ""
    if notes:
        heading = f"{heading}   ({'; '.join(notes)})" if heading else "; ".join(notes)
    if heading:
        figure.suptitle(_plain(heading), fontsize="medium")
    name = os.fspath(path)
    if name.lower().endswith(".svg"):
        from matplotlib import rc_context

        with rc_context({"svg.fonttype": "none"}):  # text stays text: searchable, selectable
            figure.savefig(name)
    else:
        figure.savefig(name)
    return figure


def _iso(time_ns: int) -> str:
    when = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc) + dt.timedelta(microseconds=time_ns // 1000)
    return when.strftime("%Y-%m-%d %H:%M:%S.%f UTC")


def plot_stream(
    stream: StreamSamples,
    path: str | os.PathLike,
    *,
    start_s: float | None = None,
    end_s: float | None = None,
    events: Sequence[tuple[int, str]] = (),
    title: str | None = None,
) -> dict:
    """Draws a stream's channels (A, V or counts) from ``start_s`` to ``end_s`` seconds after its first sample.

    ``events`` are (time in ns since the epoch, label) pairs; those outside
    the window are left out. Returns ``{"file", "samples", "lost",
    "flagged", "events", "from_s", "to_s"}`` of what was drawn;
    ``ValueError`` when the window holds no sample.
    """
    times = stream.times_s()
    low = 0 if start_s is None else int(np.searchsorted(times, start_s, side="left"))
    high = len(times) if end_s is None else int(np.searchsorted(times, end_s, side="right"))
    if high <= low:
        window_text = f"{start_s or 0:g} s to " + ("its end" if end_s is None else f"{end_s:g} s")
        raise ValueError(f"no sample from {window_text} (the stream lasts {times[-1]:.6f} s)")
    window = slice(low, high)
    values = stream.values()[window]
    flagged = stream.flagged()[window]
    traces = [Trace(channel.name, channel.unit, values[:, k], flagged[:, k])
              for k, channel in enumerate(stream.channels)]
    first_s, last_s = times[low], times[high - 1]
    marks = []
    for time_ns, label in events:
        at = (time_ns - stream.first_ns) / 1e9
        if first_s - 1e-9 <= at <= last_s + 1e-9:
            marks.append(Event(at, label))
    origin = stream.first_ns
    draw_channels(
        path,
        times[window],
        traces,
        lost=~stream.present[window],
        events=marks,
        title=title or f"SV stream {stream.sv_id} (APPID 0x{stream.app_id:04x}, {stream.rate} samples/s)",
        time_label=f"time (s) after {_iso(origin)}",
    )
    return {
        "file": os.fspath(path),
        "samples": high - low,
        "lost": int(np.count_nonzero(~stream.present[window])),
        "flagged": int(np.count_nonzero(flagged.any(axis=1))),
        "events": len(marks),
        "from_s": float(first_s),
        "to_s": float(last_s),
    }


def plot_capture(
    capture: str | os.PathLike,
    path: str | os.PathLike,
    sv_id: str | None = None,
    *,
    start_s: float | None = None,
    end_s: float | None = None,
    goose: bool = True,
) -> dict:
    """Draws the SV stream ``sv_id`` of a capture (the only one when None) with its GOOSE state changes.

    The times are seconds after the stream's first sample. Returns the
    summary of :func:`plot_stream` with the stream's ``sv_id``. Raises
    ``OSError`` and ``ValueError`` like :func:`valdrin.sv_capture.stream_samples`.
    """
    stream = stream_samples(capture, sv_id)
    events = []
    if goose:
        for change in goose_changes(capture):
            events.append((change.time_ns, f"{change.gocb_ref} st {change.st_num}"))
    summary = plot_stream(stream, path, start_s=start_s, end_s=end_s, events=events)
    return {"sv_id": stream.sv_id, **summary}


# --- the trip test ---------------------------------------------------------------


def trip_test_figure(result: TripTestResult, *, scale: float = 1000.0, unit: str = "A"):
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


def plot_trip_test(result: TripTestResult, path: str, *, scale: float = 1000.0, unit: str = "A") -> None:
    """Writes :func:`trip_test_figure` of ``result`` to ``path`` as a PNG."""
    trip_test_figure(result, scale=scale, unit=unit).savefig(path, format="png", dpi=100)
