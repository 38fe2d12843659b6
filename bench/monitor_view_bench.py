#!/usr/bin/env python3
"""The CPU of `valdrin monitor`'s live table per update, beside the drawing of a base revision.

Once a second the monitor takes a report and redraws the table on the
terminal: report_view (python/valdrin/cli/health.py) makes the view, the live
display writes it in place. For captures of N 8-channel 9-2LE streams at 4800
frames/s written by `valdrin publish --pcap` (in a temporary directory), this
times, in-process with time.thread_time, the mean over U updates of

  view        report_view(report, now, width, rates)
  redraw      LiveView.update(view): the redraw the monitor does now
  rich Live   rich's Live.update(view, refresh=True) of the same view, the
              redraw the monitor did before (for reference)
  base        report_view + Live.update of the base revision's drawing code
              (--base, default main: its cli/tables.py, health.py and
              prp_view.py over a copy of the installed package, in a child
              process), the path this work replaces

on a console that takes itself for a terminal of WIDTH x HEIGHT with true
colour, writing into memory (what the terminal does with the bytes is not
in the figure). Rounds alternate base and now; each figure is the median over
the rounds. "ns/frame" is the update's CPU over the frames a second brings
(N x 4800): how much the drawing adds to the monitor's CPU per frame.
Prints figures; asserts nothing about them. Needs no network.

Usage: .venv/bin/python bench/monitor_view_bench.py [--streams 32,256] [--width 150] [--height 50]
                                                     [--updates 30] [--rounds 3] [--base main]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
RATE = 4800


def rates_of(report) -> dict:
    """Each stream's rate as the monitor passes them (the last second's), here the average."""
    from valdrin.cli.health import stream_key

    return {stream_key(item): float(item["rate"] or 0) for item in report.sv}


def terminal(width: int, height: int):
    from rich.console import Console

    return Console(file=io.StringIO(), width=width, height=height, force_terminal=True, force_interactive=True,
                   color_system="truecolor", _environ={})


def timed(updates: int, step) -> float:
    """Mean thread CPU seconds of step(n) over n in range(updates)."""
    start = time.thread_time()
    for n in range(updates):
        step(n)
    return (time.thread_time() - start) / updates


def measure(capture: str, width: int, height: int, updates: int, now: bool) -> dict[str, float]:
    """Mean seconds per update of this package's drawing (now) or of whatever drawing it has (base):
    view, and redraw by LiveView (now) and by rich's Live."""
    from rich.live import Live

    from valdrin.cli.health import report_view
    from valdrin.listen import analyze

    report = analyze(capture)
    rates = rates_of(report)
    at = time.time_ns()
    out: dict[str, float] = {}
    views: list = []
    # Once each first: style and layout caches are warm in a monitor that runs.
    report_view(report, at, width, rates)
    out["view"] = timed(updates, lambda n: views.append(report_view(report, at + n, width, rates)))
    live = Live(console=terminal(width, height), auto_refresh=False, transient=True, redirect_stdout=False,
                redirect_stderr=False)
    live.start()
    live.update(views[0], refresh=True)
    out["rich"] = timed(updates, lambda n: live.update(views[n], refresh=True))
    live.stop()
    if now:
        from valdrin.cli.tables import LiveView

        ours = LiveView(terminal(width, height))
        ours.start()
        ours.update(views[0])
        out["redraw"] = timed(updates, lambda n: ours.update(views[n]))
        ours.stop()
    return out


def base_package(ref: str, where: Path) -> Path | None:
    """A copy of the installed package with the drawing modules of git revision ``ref``, or None
    when git cannot show them."""
    import valdrin

    package = where / "valdrin"
    shutil.copytree(Path(valdrin.__file__).parent, package, ignore=shutil.ignore_patterns("__pycache__"))
    for name in ("tables.py", "health.py", "prp_view.py"):
        shown = subprocess.run(["git", "-C", str(HERE.parent), "show", f"{ref}:python/valdrin/cli/{name}"],
                               capture_output=True, text=True)
        if shown.returncode != 0:
            return None
        (package / "cli" / name).write_text(shown.stdout)
    return where


def measure_base(base: Path, capture: str, opts: argparse.Namespace) -> dict[str, float]:
    child = subprocess.run(
        [sys.executable, __file__, "--child", capture, "--width", str(opts.width), "--height", str(opts.height),
         "--updates", str(opts.updates)],
        env={**os.environ, "PYTHONPATH": str(base)}, capture_output=True, text=True, check=True)
    return json.loads(child.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--streams", default="32,256", help="stream counts, comma-separated (default 32,256)")
    parser.add_argument("--width", type=int, default=150)
    parser.add_argument("--height", type=int, default=50)
    parser.add_argument("--updates", type=int, default=30, help="updates timed per round (default 30)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--base", default="main", help="git revision whose drawing is the baseline (default main)")
    parser.add_argument("--child", metavar="CAPTURE", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child:
        print(json.dumps(measure(opts.child, opts.width, opts.height, opts.updates, now=False)))
        return 0

    from valdrin.cli import main as valdrin

    print(f"terminal {opts.width} x {opts.height}, true colour, into memory; {opts.updates} updates x "
          f"{opts.rounds} rounds, medians; ms per update (ns per frame at {RATE} frames/s per stream)")
    with tempfile.TemporaryDirectory(prefix="monitor_view_") as tmp:
        base = base_package(opts.base, Path(tmp) / "base")
        if base is None:
            print(f"(no base: git cannot show {opts.base}'s drawing modules)")
        header = f"{'streams':>7}  {'view':>6}  {'redraw':>6}  {'total':>14}  {'rich Live':>9}"
        if base is not None:
            header += f"  {'base view':>9}  {'base redraw':>11}  {'base total':>15}  {'now/base':>8}"
        print(header)
        for streams in (int(n) for n in opts.streams.split(",")):
            capture = str(Path(tmp) / f"s{streams}.pcap")
            with open(os.devnull, "w") as quiet:
                sys.stdout, stdout = quiet, sys.stdout
                try:
                    valdrin(["publish", "--pcap", capture, "--streams", str(streams), "--rate", str(RATE),
                             "--duration", "0.05"])
                finally:
                    sys.stdout = stdout
            rounds: dict[str, list[float]] = {}
            for _ in range(opts.rounds):
                figures = {}
                if base is not None:
                    figures.update({f"base {k}": v for k, v in measure_base(base, capture, opts).items()})
                figures.update(measure(capture, opts.width, opts.height, opts.updates, now=True))
                for key, value in figures.items():
                    rounds.setdefault(key, []).append(value)
            f = {key: statistics.median(values) for key, values in rounds.items()}
            per_frame = 1e9 / (streams * RATE)  # ns per frame for one second's update

            def ms(seconds: float) -> str:
                return f"{seconds * 1e3:.2f}"

            total = f["view"] + f["redraw"]
            line = (f"{streams:>7}  {ms(f['view']):>6}  {ms(f['redraw']):>6}  "
                    f"{ms(total) + f' ({total * per_frame:.1f})':>14}  {ms(f['rich']):>9}")
            if base is not None:
                base_total = f["base view"] + f["base rich"]
                line += (f"  {ms(f['base view']):>9}  {ms(f['base rich']):>11}  "
                         f"{ms(base_total) + f' ({base_total * per_frame:.1f})':>15}  {total / base_total:>8.2f}")
            print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
