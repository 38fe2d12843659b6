"""Figures of a capture's SV stream (`valdrin plot`, valdrin.figures): rendered without a display,
the right size, axes labelled in A and V, lost samples, quality flags and GOOSE events counted."""

import json
import os
import subprocess
import sys

import matplotlib  # noqa: F401 - a declared dependency: a broken install fails here
import numpy as np
import pytest

from valdrin import sv
from valdrin.cli import main
from valdrin.cli.publish import default_waves
from valdrin import figures
from valdrin.figures import Event, Trace, draw_channels
from valdrin.pcap import write_header, write_record

from listen_frames import SECOND, goose_frame

RATE = 4000


def fault_capture(path):
    """0.1 s of a 9-2LE stream: samples 100-109 lost, samples 200-219 flagged invalid on Ia by a
    playback's quality words, and GOOSE state changes (stNum 1, then 2 at 0.05 s)."""
    waves = default_waves()
    rows = [[0] * 8 for _ in range(20)]
    qualities = [[1] + [0] * 7 for _ in range(20)]
    playback = sv.Playback(rows, qualities, start=SECOND * RATE + 200)
    publisher = sv.Publisher("lo", [sv.Stream("MU01", waves, playback=playback)], RATE, start_second=SECOND)
    t0 = SECOND * 1_000_000_000
    records = [(t0 + n * 250_000, publisher.render(0, SECOND, n)) for n in range(400) if not 100 <= n < 110]
    records += [(t0 + 10_000_000, goose_frame(1, 0)), (t0 + 50_000_000, goose_frame(2, 0)),
                (t0 + 52_000_000, goose_frame(2, 1))]
    with open(path, "wb") as out:
        write_header(out)
        for time_ns, frame in sorted(records, key=lambda record: record[0]):
            write_record(out, time_ns, frame)
    return path


def test_plot_png_without_a_display(tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    capture = fault_capture(tmp_path / "c.pcap")
    drawn = []  # the figure the command draws, kept to read where things are
    draw = figures.draw_channels
    monkeypatch.setattr(figures, "draw_channels", lambda *args, **kwargs: drawn.append(draw(*args, **kwargs)) or drawn[-1])
    assert main(["plot", str(capture), "-o", str(tmp_path / "f.png"), "--json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    assert summary == {"sv_id": "MU01", "file": str(tmp_path / "f.png"), "samples": 400, "lost": 10,
                       "flagged": 20, "events": 1, "from_s": 0.0, "to_s": 0.09975}
    from matplotlib.image import imread

    picture = imread(tmp_path / "f.png")
    assert picture.shape == (700, 1100, 4)  # 11 x 7 inches at 100 dpi
    # Where they are, in seconds from the first sample (one every 250 us):
    # samples 100-109 lost, shaded from half a step before the first to half
    # a step after the last, on both axes; samples 200-219 of Ia (only) dotted.
    (figure,) = drawn
    current, voltage = figure.axes
    for ax in (current, voltage):
        spans = [sorted(ax.transData.inverted().transform(p.get_window_extent())[:, 0]) for p in ax.patches]
        assert np.allclose(spans, [[0.024875, 0.027375]], atol=1e-9), spans
    dots = {ax.get_ylabel(): [line.get_xdata().tolist() for line in ax.lines if line.get_marker() == "."]
            for ax in (current, voltage)}
    assert list(dots) == ["current (A)", "voltage (V)"] and dots["voltage (V)"] == []
    assert np.allclose(dots["current (A)"], [[(200 + k) / 4000 for k in range(20)]], atol=1e-12)


def test_plot_svg_labels_window_and_events(tmp_path, capsys):
    capture = fault_capture(tmp_path / "c.pcap")
    assert main(["plot", str(capture), "-o", str(tmp_path / "f.svg"), "--from", "0.02", "--to", "0.06"]) == 0
    assert capsys.readouterr().out == (
        f"drew 161 samples of MU01 from 0.020000 s to 0.060000 s into {tmp_path}/f.svg: "
        "10 lost, 20 with quality flags, 1 GOOSE state changes\n"
    )
    text = (tmp_path / "f.svg").read_text()
    for label in ("current (A)", "voltage (V)", "time (s) after 2023-11-14 22:13:20.000000 UTC",
                  "IED1LD0/LLN0$GO$gcb1 st 2", "SV stream MU01 (APPID 0x4000, 4000 samples/s)",
                  "orange dots: quality not good", ">Ia<", ">Vn<"):
        assert label in text, label
    assert main(["plot", str(capture), "-o", str(tmp_path / "g.svg"), "--no-goose", "--to", "0.03"]) == 0
    assert "st 2" not in (tmp_path / "g.svg").read_text()
    assert "red: lost samples" in (tmp_path / "g.svg").read_text()


@pytest.mark.parametrize("argv, status, message", [
    (["--from", "1", "--to", "0.5"], 2, "valdrin plot: error: --to 0.5 must be after --from 1.0"),
    (["--from", "5"], 1, "valdrin: no sample from 5 s to its end (the stream lasts 0.099750 s)"),
    (["--from", "0.0501", "--to", "0.0502"], 1, "valdrin: no sample from 0.0501 s to 0.0502 s (the stream lasts 0.099750 s)"),
    (["--sv-id", "MU09"], 1, "valdrin: no SV stream with svID 'MU09' in {capture} (svIDs found: MU01)"),
])
def test_plot_errors_are_one_line(tmp_path, capsys, argv, status, message):
    capture = fault_capture(tmp_path / "c.pcap")
    try:
        code = main(["plot", str(capture), "-o", str(tmp_path / "f.png"), *argv])
    except SystemExit as exit_:
        code = exit_.code
    assert code == status
    assert capsys.readouterr().err.splitlines()[-1] == message.format(capture=capture)


FORMATS = ".avif, .eps, .gif, .jpeg, .jpg, .pdf, .pgf, .png, .ps, .raw, .rgba, .svg, .svgz, .tif, .tiff, .webp"


@pytest.mark.parametrize("output, argv, message, reason", [
    ("f", [], f"-o: '{{tmp}}/f' has no suffix to choose the picture's format ({FORMATS})",
     "without a suffix matplotlib would write a PNG under a name that does not say so"),
    ("f.txt", [], f"-o: '{{tmp}}/f.txt': no picture format .txt (formats: {FORMATS})",
     "an unknown suffix failed only after the capture was read, in matplotlib's words"),
    ("f.png", ["--from", "nan"], "argument --from: not a number of seconds: 'nan'",
     "NaN compares false with every instant: 'no sample from nan s'"),
    ("f.png", ["--to", "inf"], "argument --to: not a number of seconds: 'inf'", "no instant is infinite"),
])
def test_plot_usage_errors_before_reading(tmp_path, capsys, output, argv, message, reason):
    capture = tmp_path / "missing.pcap"  # never read: the usage error comes first
    with pytest.raises(SystemExit) as caught:
        main(["plot", str(capture), "-o", str(tmp_path / output), *argv])
    assert caught.value.code == 2, reason
    assert capsys.readouterr().err.splitlines()[-1] == "valdrin plot: error: " + message.format(tmp=tmp_path), reason
    assert not (tmp_path / output).exists()


@pytest.mark.parametrize("content, message", [
    (b"", "empty file, not a pcap or pcapng capture"),
    (b"garbage!", "not a pcap or pcapng capture (starts with 67617262)"),
])
@pytest.mark.parametrize("command", [["plot", "-o", "{tmp}/f.png"], ["export", "--comtrade", "{tmp}/o"]])
def test_a_file_that_is_no_capture_is_named(tmp_path, capsys, content, message, command):
    """As analyze and decode say it: the file that is no capture is named."""
    (tmp_path / "c.pcap").write_bytes(content)
    argv = [command[0], str(tmp_path / "c.pcap"), *(a.format(tmp=tmp_path) for a in command[1:])]
    assert main(argv) == 1
    assert capsys.readouterr().err == f"valdrin: cannot read {tmp_path}/c.pcap: {message}\n"


def test_draw_channels_groups_units_on_axes(tmp_path):
    t = np.arange(100) / 1000
    wave = np.sin(2 * np.pi * 50 * t)
    figure = draw_channels(tmp_path / "d.png", t, [
        Trace("V1", "V", 1e4 * wave), Trace("I1", "A", 10 * wave, flagged=wave > 0.9), Trace("raw", "", wave),
    ], lost=t > 0.09, events=[Event(0.05, "trip")], title="three units")
    assert [ax.get_ylabel() for ax in figure.axes] == ["current (A)", "voltage (V)", "value (counts)"]
    assert figure.axes[-1].get_xlabel() == "time (s)"
    assert [text.get_text() for text in figure.axes[0].texts] == ["trip"]
    with pytest.raises(ValueError, match="channel I1 has 3 values for 100 instants"):
        draw_channels(tmp_path / "e.png", t, [Trace("I1", "A", wave[:3])])


def test_figures_leave_pyplot_alone(tmp_path):
    """Drawing never imports pyplot (whose global state belongs to the caller) nor needs a display."""
    code = (
        "import sys, numpy as np\n"
        "from valdrin.figures import Trace, draw_channels\n"
        f"draw_channels({str(tmp_path / 'x.png')!r}, np.arange(3.0), [Trace('I', 'A', np.arange(3.0))])\n"
        "assert 'matplotlib.pyplot' not in sys.modules\n"
    )
    # No DISPLAY nor MPLBACKEND; a sanitized run's preload and options are kept.
    kept = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env={"PATH": "/usr/bin:/bin", "PYTHONPATH": ":".join(sys.path), **kept})
    assert run.returncode == 0, run.stderr
