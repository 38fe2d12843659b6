#!/usr/bin/env python3
"""COMTRADE benchmark: export and playback conversion speed, and the resampling error.

One capture of SECONDS seconds of a 9-2LE stream (8 channels, 4000 frames/s,
one ASDU each) is written by the publisher's pcap writer; in the same run:

  read pcap     read_pcap over the file, nothing else (the floor);
  analyze       valdrin.listen.analyze of the file (the native analysis);
  export BINARY32 / ASCII   valdrin.sv_capture.export_comtrade of the stream;
  plot          valdrin.figures.plot_capture of the whole stream to a PNG;
  playback      Playback.from_comtrade of an 8-channel 1200/s record of the
                same length, resampled to 4000/s (read, convert, resample,
                build the Playback).

Figures are wall-clock seconds (best of REPEAT), samples per second and the
ratio to the analysis of the same capture. Then the resampling error of 50 Hz
sines of every phase, as a fraction of their amplitude, away from and near
the record's ends.

    python3 bench/comtrade_bench.py [SECONDS]
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from valdrin import sv
from valdrin.cli.publish import default_waves
from valdrin.figures import plot_capture
from valdrin.listen import analyze
from valdrin.pcap import read_pcap, write_pcap
from valdrin.recording import Channel, resample, write_comtrade
from valdrin.sv_capture import export_comtrade

START = 1_700_000_000
RATE = 4000
REPEAT = 3


def best(work) -> float:
    times = []
    for _ in range(REPEAT):
        begin = time.perf_counter()
        work()
        times.append(time.perf_counter() - begin)
    return min(times)


def main() -> None:
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    samples = seconds * RATE
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        capture = folder / "c.pcap"
        publisher = sv.Publisher("lo", [sv.Stream("MU01", default_waves())], RATE, start_second=START)
        with open(capture, "wb") as out:
            write_pcap(out, publisher, samples)
        # An 8-channel record at 1200/s, written as BINARY32 with raw counts in A and V.
        t = np.arange(seconds * 1200) / 1200
        counts = np.rint(np.column_stack([7e5 * np.sin(2 * np.pi * 50 * t - k * 2.0944) for k in range(8)]))
        channels = [Channel(f"C{k}", "", "A" if k < 4 else "V", 0.001 if k < 4 else 0.01) for k in range(8)]
        write_comtrade(folder / "rec", counts, np.ones(len(t), bool), channels, 1200, START * 10**9)

        runs = {
            "read pcap": lambda: sum(1 for _ in read_pcap(capture)),
            "analyze": lambda: analyze(capture),
            "export BINARY32": lambda: export_comtrade(capture, folder / "b", "MU01"),
            "export ASCII": lambda: export_comtrade(capture, folder / "a", "MU01", file_type="ASCII"),
            "plot": lambda: plot_capture(capture, folder / "p.png", "MU01"),
            "playback 1200/s -> 4000/s": lambda: sv.Playback.from_comtrade(folder / "rec.cfg", rate=RATE),
        }
        figures = {name: best(work) for name, work in runs.items()}
    base = figures["analyze"]
    print(f"{seconds} s of one 9-2LE stream at {RATE}/s ({samples} samples, 8 channels); best of {REPEAT}")
    print(f"{'':28} {'seconds':>8} {'samples/s':>11} {'x analyze':>10}")
    for name, spent in figures.items():
        print(f"{name:28} {spent:8.3f} {samples / spent:11.0f} {spent / base:10.2f}")

    print("\nresampling error of 50 Hz sines to 4000/s (fraction of the amplitude, worst phase of 73)")
    print(f"{'from':>8} {'middle':>10} {'ends':>10}")
    for rate in (960, 1200, 2400, 4800, 16000):
        middle = ends = 0.0
        for phase in np.linspace(0, 2 * np.pi, 73):
            t = np.arange(round(rate * 0.2)) / rate
            out = resample(np.sin(2 * np.pi * 50 * t + phase), rate, RATE)
            error = np.abs(out - np.sin(2 * np.pi * 50 * np.arange(len(out)) / RATE + phase))
            middle = max(middle, error[100:-100].max())
            ends = max(ends, error.max())
        print(f"{rate:8} {middle:10.1e} {ends:10.1e}")


if __name__ == "__main__":
    main()
