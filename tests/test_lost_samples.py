"""One SV capture, three commands: `valdrin analyze`, `valdrin export` and `valdrin plot --json`
report the same lost samples, and the exported COMTRADE record misses exactly those samples.
The captures are the publisher's own frames written by valdrin's pcap writer; each case
names its truth: the sample numbers never sent."""

import json

import numpy as np
import pytest

comtrade = pytest.importorskip("comtrade")
pytest.importorskip("matplotlib")

from valdrin import sv
from valdrin.cli import main
from valdrin.cli.publish import default_waves
from valdrin.pcap import write_header, write_record

START = 1_700_000_000  # a UNIX second
RATE = 4000


def numbers(first, count, skip=(), duplicate=(), swap=()):
    """Sample numbers first.. in arrival order: ``skip`` never sent, ``duplicate`` sent twice in a
    row, ``swap`` sent after the one following it."""
    out = [n for n in range(first, first + count) if n not in skip]
    for n in duplicate:
        out.insert(out.index(n) + 1, n)
    for n in swap:
        i = out.index(n)
        out[i], out[i + 1] = out[i + 1], out[i]
    return out


CASES = [
    # (sent sample numbers, the lost ones, reason)
    (numbers(0, 2 * RATE + 100, skip=(3999,)), [3999],
     "the highest counter lost before the first wrap: placed once the next second's 3999 arrives"),
    (numbers(3900, 400, swap=(3999,)), [], "a reordered pair across the wrap: 3999 after 0"),
    (numbers(3900, 400, duplicate=(3999, 4100)), [], "a duplicate at the wrap and one after it"),
    (numbers(0, 2 * RATE + 400, skip=(3999, *range(8100, 8105))), [3999, *range(8100, 8105)],
     "3999 lost in the first second, then five in a row: six"),
    ([102, 100, *range(103, 300)], [101], "late, two behind the first: the one between is lost"),
]


def write_capture(path, sent):
    publisher = sv.Publisher("lo", [sv.Stream("MU01", default_waves())], RATE, start_second=START)
    with open(path, "wb") as out:
        write_header(out)
        for n in sent:
            second, smp = divmod(n, RATE)
            write_record(out, (START + second) * 10**9 + smp * 10**9 // RATE, publisher.render(0, START + second, smp))


def json_of(capsys, args):
    assert main(args) == 0, args
    return json.loads(capsys.readouterr().out)


@pytest.mark.parametrize("sent, lost, reason", CASES, ids=[case[2] for case in CASES])
def test_analyze_export_and_plot_lose_the_same_samples(tmp_path, capsys, sent, lost, reason):
    capture = tmp_path / "c.pcap"
    write_capture(capture, sent)
    (stream,) = json_of(capsys, ["analyze", str(capture), "--json"])["sv"]
    exported = json_of(capsys, ["export", str(capture), "--comtrade", str(tmp_path / "rec"), "--json"])
    plotted = json_of(capsys, ["plot", str(capture), "-o", str(tmp_path / "p.png"), "--json", "--no-goose"])
    assert (stream["lost"], exported["lost"], plotted["lost"]) == (len(lost),) * 3, reason
    assert stream["duplicated"] == len(sent) - len(set(sent)), reason
    span = max(sent) - min(sent) + 1
    assert (exported["samples"], plotted["samples"], exported["rate"]) == (span, span, RATE), reason

    # Read back by an independent reader: the missing values sit at the lost samples' rows.
    record = comtrade.Comtrade(use_numpy_arrays=True, use_double_precision=True, ignore_warnings=True)
    record.load(str(tmp_path / "rec.cfg"))
    missing = np.flatnonzero(np.isnan(np.asarray(record.analog[0])))
    assert record.total_samples == span, reason
    assert (missing + min(sent)).tolist() == lost, reason
