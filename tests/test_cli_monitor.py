"""`valdrin monitor`'s drawing, without a network: a monitor that replays a report of a capture
stands in for the capture. On a terminal the table is drawn in place and gone at the end, where
the report is printed (replayed through the screen model of test_cli_tables); elsewhere only
the report is printed."""

from __future__ import annotations

import io
import os
import signal
import time

import pytest
from rich.console import Console

from valdrin.cli import main
from valdrin.cli import monitor as command
from valdrin.cli.health import report_view
from valdrin.listen import analyze

from listen_frames import SECOND, goose_frame, sv_frames, sv_publisher
from test_cli_tables import Screen, plain_lines, write_capture

WIDTH, HEIGHT = 110, 60


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """Two SV streams (one losing samples) and a GOOSE block whose timeAllowedToLive ran out long ago."""
    t0 = SECOND * 1_000_000_000
    records = sv_frames([n for n in range(400) if n not in (5, 6)])
    records += sv_frames(range(400), publisher=sv_publisher(sv_id="MU02", app_id=0x4002))
    records += [(t0 + 1000 * n, goose_frame(1, n)) for n in range(3)]
    return analyze(write_capture(tmp_path_factory.mktemp("capture") / "c.pcap", records))


class Replaying:
    """A Monitor whose every report is ``report``; Ctrl-C comes during report number ``interrupt_at``."""

    def __init__(self, report, interrupt_at: int | None) -> None:
        self._report, self._interrupt_at, self.reports = report, interrupt_at, 0
        self.running, self.failure = True, None

    def start(self) -> None:
        pass

    def stop(self) -> None:
        pass

    def report(self):
        self.reports += 1
        if self.reports == self._interrupt_at:
            os.kill(os.getpid(), signal.SIGINT)  # handled by the command's StopSignals: a request to stop
        return self._report


@pytest.mark.parametrize("args, interrupt_at, is_terminal, why", [
    (["--duration", "0.5"], None, True, "a run of a given length on a terminal"),
    ([], 1, True, "Ctrl-C on a terminal, during the first update"),
    (["--duration", "0.5"], None, False, "no terminal: nothing drawn, the report printed"),
])
def test_the_live_table_is_drawn_in_place_and_gives_way_to_the_report(monkeypatch, report, args, interrupt_at,
                                                                      is_terminal, why):
    out = io.StringIO()
    console = Console(file=out, width=WIDTH, height=HEIGHT, force_terminal=is_terminal,
                      force_interactive=is_terminal, color_system="truecolor" if is_terminal else None, _environ={})
    monitor = Replaying(report, interrupt_at)
    monkeypatch.setattr(command, "Monitor", lambda iface, **options: monitor)
    monkeypatch.setattr(command, "health_console", lambda stderr=False: console)
    assert main(["monitor", "--iface", "lo", *args]) == 0, why
    final = plain_lines(report_view(report, time.time_ns(), WIDTH), WIDTH)  # TAL expired long ago
    screen = Screen(HEIGHT)
    screen.feed(out.getvalue())
    assert screen.shown() == final + [""] * (HEIGHT - len(final)), why
    assert screen.cursor_shown, why
    # The view once live, once more as the live display stops (then erased), once as the report.
    assert out.getvalue().count("Sampled Values streams (2)") == (3 if is_terminal else 1), why
    assert monitor.reports == 2, why  # one update, one for the report
