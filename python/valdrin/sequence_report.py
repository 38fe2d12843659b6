"""Figures and the hand-over report of a state sequence run.

:func:`sequence_figure` draws, per shot, the currents and voltages the
engine sent (re-rendered from the states' actual starts), the state
boundaries and the events; :func:`write_report` writes one self-contained
HTML file: the sequence as a table, the verdict of every assessment in
every shot, those figures embedded, the host, the time and the versions.
"""

from __future__ import annotations

import base64
import html
import io
import platform
import socket
from datetime import datetime, timezone

from .sequence import SequenceResult

__all__ = ["plot_sequence", "sequence_figure", "write_report"]

_CURRENTS = ("Ia", "Ib", "Ic", "In")
_VOLTAGES = ("Va", "Vb", "Vc", "Vn")


def sequence_figure(result: SequenceResult, shots: list[int] | None = None):
    """A matplotlib Figure: per shot (all, or the indexes ``shots``) a panel of currents (A) over a
    panel of voltages (V), times from the shot's start, state starts dashed and labelled, events
    red. A bare Figure, without pyplot."""
    from matplotlib.figure import Figure

    chosen = [result.shots[i] for i in (shots if shots is not None else range(len(result.shots)))]
    if not chosen:
        raise ValueError("no shot to plot")
    fig = Figure(figsize=(10, 4.4 * len(chosen) + 0.4))
    axes = fig.subplots(2 * len(chosen), 1, squeeze=False)[:, 0]
    for number, shot in enumerate(chosen):
        times, values = result.samples(shot, 0.02, 0.02)
        origin = shot.states[0].start_ns or 0
        ms = [t * 1e3 for t in times]
        for ax, names, rows, unit in ((axes[2 * number], _CURRENTS, values[:4], "A"),
                                      (axes[2 * number + 1], _VOLTAGES, values[4:8], "V")):
            for name, row in zip(names, rows):
                ax.plot(ms, row, linewidth=0.7, label=name)
            for state in shot.states:
                if state.start_ns is not None:
                    at = (state.start_ns - origin) / 1e6
                    ax.axvline(at, color="black", linestyle="--", linewidth=0.7)
                    ax.annotate(state.name, (at, 1.0), xycoords=("data", "axes fraction"), fontsize=7,
                                rotation=0, va="bottom")
            for event in shot.events:
                ax.axvline((event.time_ns - origin) / 1e6, color="red", linewidth=1.0)
            ax.set_ylabel(unit)
            ax.grid(True, linewidth=0.3)
            ax.legend(loc="upper right", fontsize=7, ncol=4)
        axes[2 * number].set_title(f"shot {shot.index}: {'pass' if shot.passed else 'fail'}", fontsize=10, pad=14)
        axes[2 * number + 1].set_xlabel("time from the shot's start (ms); red: events")
    fig.tight_layout()
    return fig


def plot_sequence(result: SequenceResult, path: str) -> None:
    """Writes :func:`sequence_figure` of every shot to ``path`` as a PNG."""
    sequence_figure(result).savefig(path, format="png", dpi=100)


def _png(result: SequenceResult, shot: int) -> str:
    buffer = io.BytesIO()
    sequence_figure(result, [shot]).savefig(buffer, format="png", dpi=90)
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def _phasors(pairs: tuple) -> str:
    return ", ".join(f"{rms:g}∠{angle:g}°" for rms, angle in pairs)


def report_html(result: SequenceResult) -> str:
    """The report as one HTML document, the figures embedded as PNG data."""
    from . import __version__

    sequence = result.sequence
    e = html.escape
    rows = []
    for state in sequence.states:
        extra = []
        if state.after_trigger_ms:
            extra.append(f"{state.after_trigger_ms:g} ms after the trigger")
        if state.dc_offset:
            extra.append(f"DC offset, τ {state.tau_ms:g} ms")
        if state.inception_deg is not None:
            extra.append(f"inception {state.inception_deg:g}°")
        if state.harmonics:
            extra.append("harmonics " + ", ".join(f"{h.order:g}: {h.percent:g}%" for h in state.harmonics))
        if state.goose:
            extra.append("GOOSE " + ", ".join(f"{ref} = {list(v)}" for ref, v in state.goose.items()))
        rows.append(f"<tr><td>{e(state.name)}</td><td>{e(state.ends)}</td><td>{state.frequency_hz:g}</td>"
                    f"<td>{e(_phasors(state.currents))}</td><td>{e(_phasors(state.voltages))}</td>"
                    f"<td>{e('; '.join(extra))}</td></tr>")
    verdicts = []
    for shot in result.shots:
        for a in shot.assessments:
            measured = "no event" if a.measured_ms is None else f"{a.measured_ms:.3f} ms"
            bound = "" if a.uncertainty_us is None else f" ± {a.uncertainty_us:.1f} µs"
            verdicts.append(f"<tr><td>{shot.index}</td><td>{e(a.name)}</td><td>{measured}{bound}</td>"
                            f"<td>{a.min_ms:g} – {a.max_ms:g} ms</td>"
                            f"<td class={'pass' if a.passed else 'fail'}>{'pass' if a.passed else 'FAIL'}</td></tr>")
        timeouts = [s.name for s in shot.states if s.ended_by == "timeout"]
        if timeouts:
            verdicts.append(f"<tr><td>{shot.index}</td><td colspan=3>timed out: {e(', '.join(timeouts))}</td>"
                            f"<td class=fail>FAIL</td></tr>")
    figures = "".join(f"<h3>Shot {shot.index}</h3><img alt='shot {shot.index}' src='data:image/png;base64,"
                      f"{_png(result, i)}'>" for i, shot in enumerate(result.shots))
    when = datetime.fromtimestamp(result.started_ns / 1e9, tz=timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    status = "" if not result.interrupted else f"<p class=fail>Interrupted after {len(result.shots)} of " \
                                               f"{sequence.shots} shots{': ' + e(result.error) if result.error else ''}.</p>"
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>State sequence {e(sequence.path)}</title>
<style>body{{font-family:sans-serif;margin:2em}}table{{border-collapse:collapse}}td,th{{border:1px solid #999;
padding:3px 8px;font-size:90%}}.pass{{color:#070}}.fail{{color:#b00;font-weight:bold}}img{{max-width:100%}}</style>
</head><body>
<h1>State sequence: <span class={result.verdict}>{result.verdict.upper()}</span></h1>
<p>File {e(sequence.path)}, {sequence.shots} shot(s), stream {e(str(sequence.stream.get('sv_id')))} at
{sequence.rate} samples/s. Run {when} on {e(socket.gethostname())} ({e(platform.platform())}); valdrin
{e(__version__)}, Python {e(platform.python_version())}.</p>{status}
<h2>Sequence</h2>
<table><tr><th>state</th><th>ends</th><th>Hz</th><th>currents (A rms)</th><th>voltages (V rms)</th><th></th></tr>
{''.join(rows)}</table>
<h2>Verdicts</h2>
<table><tr><th>shot</th><th>assessment</th><th>measured</th><th>limits</th><th>verdict</th></tr>
{''.join(verdicts)}</table>
<h2>Signals sent</h2>{figures}
</body></html>
"""


def write_report(result: SequenceResult, path: str) -> None:
    """Writes :func:`report_html` of ``result`` to ``path``."""
    with open(path, "w", encoding="utf-8") as out:
        out.write(report_html(result))
