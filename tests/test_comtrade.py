"""COMTRADE records in and out: playback through `publish --comtrade` decoded back from
the pcap, export read back by the `comtrade` package, and the round trip between them."""

import json
import re
from pathlib import Path

import comtrade
import numpy as np
import pytest

from valdrin import sv
from valdrin.cli import main
from valdrin.cli.publish import default_waves
from valdrin.pcap import read_pcap, write_header, write_record
from valdrin.recording import read_comtrade, resample, unit_scale, write_comtrade
from valdrin.sv_capture import channels_of, export_comtrade, stream_samples

SAMPLES = Path(__file__).parent / "data" / "comtrade"
START = 1_700_000_000  # a UNIX second: 2023-11-14 22:13:20 UTC
RATE = 4000


# --- helpers: an independent writer of small records and reader of captures ------------


def write_ascii_record(base, channels, rate, rows, *, rev="1999", start="14/11/2023,22:13:20.000000", rates=None):
    """A COMTRADE record written by hand: ``channels`` are (name, unit, a, b, primary, secondary, ps, raw)
    with ``raw`` the integer data (None for a missing value); ``rates`` (rate, last row) pairs replace
    the one ``rate``; returns the .cfg path."""
    lines = ["test,recorder," + rev, f"{len(channels)},{len(channels)}A,0D"]
    for n, (name, unit, a, b, primary, secondary, ps, _) in enumerate(channels, 1):
        lines.append(f"{n},{name},,,{unit},{a},{b},0,-99999,99998,{primary},{secondary},{ps}")
    rates = rates or [(rate, rows)]
    lines += ["50", str(len(rates)), *(f"{r},{end}" for r, end in rates), start, start, "ASCII", "1"]
    Path(f"{base}.cfg").write_text("\n".join(lines) + "\n")
    with open(f"{base}.dat", "w") as dat:
        for i in range(rows):
            cells = ["" if ch[7][i] is None else str(ch[7][i]) for ch in channels]
            missing = ["99999" if cell == "" else cell for cell in cells]
            dat.write(f"{i + 1},{round(i * 1e6 / rate)}," + ",".join(missing) + "\n")
    return f"{base}.cfg"


def decoded(path):
    """{absolute sample number: [(value, quality), ...]} of every SV ASDU in a capture, by its frame's second."""
    out = {}
    for time_ns, _, raw in read_pcap(path):
        frame = sv.decode_frame(raw)
        for asdu in frame.asdus:
            out[time_ns // 1_000_000_000 * RATE + asdu.smp_cnt] = asdu.samples
    return out


def sine_record(tmp_path, rate=1200, seconds=0.2, amplitude=30000, name="rec"):
    """Two channels at ``rate``: 50 Hz sines of ``amplitude`` raw counts, in kA (a = 0.001) and kV (a = 0.002)."""
    t = np.arange(round(rate * seconds)) / rate
    ia = np.rint(amplitude * np.sin(2 * np.pi * 50 * t)).astype(int).tolist()
    va = np.rint(amplitude * np.sin(2 * np.pi * 50 * t + 1.0)).astype(int).tolist()
    channels = [("IA", "kA", 0.001, 0, 1, 1, "P", ia), ("VA", "kV", 0.002, 0, 1, 1, "P", va)]
    return write_ascii_record(tmp_path / name, channels, rate, len(t)), np.array(ia), np.array(va)


# --- reading and converting -----------------------------------------------------------


@pytest.mark.parametrize("unit, counts", [
    ("A", 1000.0), ("kA", 1e6), ("mA", 1.0), ("V", 100.0), ("kV", 1e5), ("MV", 1e8), (" uA ", 1e-3),
    ("Hz", None), ("", None), ("KV", None),  # an upper-case K is no SI prefix
])
def test_unit_scales(unit, counts):
    assert unit_scale(unit) == counts


def test_secondary_values_become_primary_with_the_channel_ratio(tmp_path):
    raw = [100, -200, 300, None, 500]
    cfg = write_ascii_record(tmp_path / "s", [
        ("I1", "A", 0.5, 1.0, 600, 5, "S", raw),     # secondary: x 600 / 5
        ("I2", "A", 0.5, 1.0, 600, 5, "P", raw),     # primary already: the ratio is information
    ], 4000, 5)
    record = read_comtrade(cfg)
    expected = np.array([0.5 * r + 1.0 if r is not None else np.nan for r in raw])
    np.testing.assert_allclose(record.values[0], expected * 120, equal_nan=True)
    np.testing.assert_allclose(record.values[1], expected, equal_nan=True)
    assert record.names == ("I1", "I2") and record.segments == ((4000.0, 0, 5),)
    # Same rate: no resampling; the missing value is bridged and flagged invalid within two samples.
    counts, invalid = record.counts(4000, ["I2"])
    assert counts[:, 0].tolist() == [51000, -99000, 151000, 201000, 251000]
    assert invalid[:, 0].tolist() == [False, True, True, True, True]


BINARY32_CFG = ("station,dev,2013\n1,1A,0D\n1,IA,,,A,1,0,0,-1,1,1,1,P\n50\n1\n4000,3\n"
                "01/01/2020,00:00:00.000000\n01/01/2020,00:00:00.000000\nBINARY32\n1\n")


@pytest.mark.parametrize("cfg, dat, message", [
    ("missing.cfg", None, "cannot read {dir}/missing.cfg: No such file or directory"),
    # the reader's own text quoted the path with escaped quotes
    ("r.dat", None, "{dir}/r.dat is not a .cfg or .cff file: give the record's .cfg (its .dat beside it)"),
    ("r", None, "{dir}/r is not a .cfg or .cff file: give the record's .cfg (its .dat beside it)"),
    ("station,dev,1999\nnot a channel count\n", b"",
     "{dir}/r.cfg is not a COMTRADE record the reader understands: invalid literal for int() with base 10: "
     "'not a channel count'"),
    (BINARY32_CFG, bytes(12 * 2 + 5), "{dir}/r.dat holds 2 of the 3 samples that {dir}/r.cfg announces"),
    (BINARY32_CFG.replace("BINARY32", "ASCII"), b"1,0,5\n2,250,6\n\n",
     "{dir}/r.dat holds 2 of the 3 samples that {dir}/r.cfg announces"),
])
def test_unreadable_records_give_one_line(tmp_path, cfg, dat, message):
    if dat is not None:
        (tmp_path / "r.cfg").write_text(cfg)
        (tmp_path / "r.dat").write_bytes(dat)
        cfg = "r.cfg"
    with pytest.raises(ValueError) as caught:
        read_comtrade(tmp_path / cfg)
    assert str(caught.value) == message.format(dir=tmp_path)


def test_channel_choice_and_unknown_units(tmp_path):
    cfg = write_ascii_record(tmp_path / "u", [("F", "Hz", 1, 0, 1, 1, "P", [50] * 4),
                                              ("IA", "A", 1, 0, 1, 1, "P", [1] * 4)], 4000, 4)
    record = read_comtrade(cfg)
    assert record.channel_indexes(["IA", "1", 2]) == [1, 0, 1]
    for channels, message in ([["IB"]], "the record has no analog channel 'IB' (channels: F, IA)"), \
                             ([["3"]], "the record has analog channels 1 to 2, not 3"), \
                             ([None], "channel 'F' is in 'Hz', neither A nor V: give its counts per unit"):
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            record.counts(4000, *channels)
    counts, _ = record.counts(4000, ["F"], [10.0])
    assert counts[:, 0].tolist() == [500] * 4


@pytest.mark.parametrize("from_rate, to_rate", [(1200, 4000), (960, 4000), (4800, 4000), (16000, 4000), (4000, 4800)])
def test_resampling_error_of_a_sine(from_rate, to_rate):
    """A 50 Hz and a 7th-harmonic sine, independently computed at the new rate: within 1e-5 of the
    amplitude away from the ends, 4e-3 at the ends (what the documentation states for 50 Hz)."""
    t = np.arange(round(from_rate * 0.2)) / from_rate
    for hz in (50.0, 350.0 if from_rate >= 1200 else 50.0):
        out = resample(np.sin(2 * np.pi * hz * t + 0.3), from_rate, to_rate)
        assert len(out) == (len(t) - 1) * to_rate // from_rate + 1
        exact = np.sin(2 * np.pi * hz * np.arange(len(out)) / to_rate + 0.3)
        edge = round(40 * to_rate / min(from_rate, to_rate))
        assert np.abs(out - exact)[edge:-edge].max() < 2e-5, hz
        if hz == 50.0:
            assert np.abs(out - exact).max() < 4e-3


def test_several_rates_join_on_one_grid():
    """1200/s for 120 rows, then 4000/s for 400: a 50 Hz sine continuous across the join (each row one
    period of its own segment after the one before) comes out on one 4000/s grid with its timing."""
    times = np.concatenate((np.arange(120) / 1200, 119 / 1200 + np.arange(1, 401) / 4000))
    raw = np.rint(20000 * np.sin(2 * np.pi * 50 * times + 0.4)).astype(int).tolist()
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        cfg = write_ascii_record(Path(folder) / "m", [("IA", "A", 0.05, 0, 1, 1, "P", raw)], 1200, 520,
                                 rates=[(1200, 120), (4000, 520)])
        record = read_comtrade(cfg)
    assert record.segments == ((1200.0, 0, 120), (4000.0, 120, 400))
    counts, invalid = record.counts(RATE)
    assert len(counts) == 797 and not invalid.any()  # the last row at 0.19917 s
    exact = 1e6 * np.sin(2 * np.pi * 50 * np.arange(797) / RATE + 0.4)  # 20000 x 0.05 A in mA
    error = np.abs(counts[:, 0] - exact) / 1e6
    assert error[40:360].max() < 5e-5  # the record's rounding (2.5e-5) and the filter's 1e-5
    assert error[440:757].max() < 5e-5
    assert error.max() < 5e-3  # near the ends and the join: the reflection


# --- playback through the publisher ------------------------------------------------------


@pytest.mark.parametrize("cfg, dat, channels", [
    ("sample_ascii.cfg", None, None),                            # 1200/s, secondary A x 933
    ("sample_ascii.cfg", "sample_ascii_missing.dat", "IA,3"),    # with missing values
    ("sample_bin.cfg", None, "VA,VB,VC,VN"),                     # BINARY 1999 at 15360/s, kV
    ("sample_bin.cfg", "sample_bin_missing.dat", "4,1"),
])
def test_playback_of_the_readers_sample_files_through_pcap(tmp_path, capsys, cfg, dat, channels):
    """The frames carry the record's values at 4000/s as the `comtrade` package reads them
    (primary values in counts of 1 mA and 10 mV, interpolated linearly onto the grid), with
    the invalid quality where a value was missing."""
    source = SAMPLES / cfg
    if dat is not None:  # the reader takes a .dat beside the .cfg: put this pair side by side
        (tmp_path / "r.cfg").write_bytes(source.read_bytes())
        (tmp_path / "r.dat").write_bytes((SAMPLES / dat).read_bytes())
        source = tmp_path / "r.cfg"
    out = tmp_path / "p.pcap"
    argv = ["publish", "--comtrade", str(source), "--pcap", str(out), "--start", str(START)]
    assert main(argv + (["--channels", channels] if channels else [])) == 0
    expected = reference_counts(source, channels)
    samples = decoded(out)
    assert sorted(samples) == list(range(START * RATE, START * RATE + len(expected)))
    got = np.array([[v for v, _ in samples[START * RATE + i]] for i in range(len(expected))])
    quality = np.array([[q for _, q in samples[START * RATE + i]] for i in range(len(expected))])
    # Linear interpolation of a 60 Hz wave sampled at 1200/s is off the band-limited
    # resampling by up to (2 pi 60 / 1200)**2 / 8 = 1.2 % of its amplitude: 2 % of the
    # record's largest value. (The package reads a missing value as NaN: the instants
    # beside one are not compared.)
    compared = (quality == 0) & ~np.isnan(expected)
    assert compared.any()
    assert np.abs(got - expected)[compared].max() <= 0.02 * np.nanmax(np.abs(expected)) + 1
    _, invalid = read_comtrade(source).counts(RATE, None if channels is None else channels.split(","))
    assert (quality == np.where(invalid, 1, 0)).all()
    assert invalid.any() == (dat is not None)


# Counts of one unit: 1 mA and 10 mV.
UNIT_COUNTS = {"A": 1e3, "kA": 1e6, "V": 1e2, "kV": 1e5}


def reference_counts(source, channels):
    """The record read by the `comtrade` package: the analog channels chosen (by name or number,
    as --channels takes them) as primary values in counts, linearly interpolated at 4000/s from
    the record's first instant to its last."""
    reference = comtrade.Comtrade(use_numpy_arrays=True, use_double_precision=True, ignore_warnings=True)
    reference.load(str(source))
    names = [name.strip() for name in reference.analog_channel_ids]
    chosen = range(len(names)) if channels is None else [
        int(c) - 1 if c.isdigit() else names.index(c) for c in channels.split(",")]
    t = np.asarray(reference.time) - reference.time[0]
    grid = np.arange(int(np.floor(t[-1] * RATE + 1e-9)) + 1) / RATE
    columns = []
    for k in chosen:
        channel = reference.cfg.analog_channels[k]
        values = np.asarray(reference.analog[k], dtype=float)
        if channel.pors.strip().lower() == "s":  # secondary values: times the ratio
            values = values * channel.primary / channel.secondary
        columns.append(np.interp(grid, t, values) * UNIT_COUNTS[channel.uu.strip()])
    return np.array(columns).T


def test_playback_once_and_looped_from_an_absolute_start(tmp_path):
    cfg, ia, va = sine_record(tmp_path, rate=4000, seconds=0.01)  # 40 rows, no resampling
    once = sv.Playback.from_comtrade(cfg, rate=4000, start=START * RATE + 10)
    looped = sv.Playback.from_comtrade(cfg, rate=4000, channels=["VA"], start=START * RATE + 10, loop=True)
    assert (once.period, looped.period, once.start) == (None, 40, START * RATE + 10)
    assert [row[0] for row in once.values] == [v * 1000 for v in ia]  # 0.001 kA a step: 1000 counts of 1 mA
    assert [row[0] for row in looped.values] == [v * 200 for v in va]  # 0.002 kV: 200 counts of 10 mV
    publisher = sv.Publisher("lo", [sv.Stream("A", [sv.Wave(0.0)] * 2, playback=once),
                                    sv.Stream("B", [sv.Wave(0.0)], playback=looped)], RATE, start_second=START)
    for smp in (0, 9, 10, 49, 50, 130, 3999):  # before, at, at the end of, past the recording
        a = sv.decode_frame(publisher.render(0, START, smp)).asdus[0].samples
        b = sv.decode_frame(publisher.render(1, START, smp)).asdus[0].samples
        row = smp - 10
        assert [v for v, _ in a] == ([ia[row] * 1000, va[row] * 200] if 0 <= row < 40 else [0, 0]), smp
        assert b[0][0] == va[row % 40] * 200, smp  # looped: before the start as well


def test_publish_comtrade_usage(tmp_path, capsys):
    cfg, _, _ = sine_record(tmp_path)
    for argv, message in [
        (["--channels", "IA"], "--channels, --loop and --counts-per-unit need --comtrade"),
        (["--comtrade", cfg, "--playback", "x.csv"], "--comtrade and --playback exclude each other"),
        (["--comtrade", cfg, "--channels", "IB"], "--comtrade: the record has no analog channel 'IB' (channels: IA, VA)"),
        (["--comtrade", cfg, "--counts-per-unit", "x"], "--counts-per-unit takes numbers separated by commas, got 'x'"),
        # a scale of 0 published only zeros, nan or inf no count at all
        (["--comtrade", cfg, "--counts-per-unit", "1000,0"], "--counts-per-unit takes finite numbers other than 0, got '1000,0'"),
        (["--comtrade", cfg, "--counts-per-unit", "nan"], "--counts-per-unit takes finite numbers other than 0, got 'nan'"),
        (["--comtrade", cfg, "--wave", "1"], "the playback has 2 channels but the stream has 1"),
    ]:
        with pytest.raises(SystemExit) as caught:
            main(["publish", "--pcap", str(tmp_path / "x.pcap"), "--frames", "1", *argv])
        assert caught.value.code == 2
        assert capsys.readouterr().err.splitlines()[-1] == f"valdrin publish: error: {message}"
    assert main(["publish", "--pcap", str(tmp_path / "x.pcap"), "--comtrade", str(tmp_path / "none.cfg")]) == 1
    assert capsys.readouterr().err == f"valdrin: cannot read {tmp_path}/none.cfg: No such file or directory\n"


# --- export ----------------------------------------------------------------------------


def capture(path, rate=RATE, first=0, count=800, skip=(), duplicate=(), swap=(), waves=None, sv_id="MU01"):
    """A capture of one stream, one ASDU per frame, samples ``first``.. of START by the publisher's frames."""
    publisher = sv.Publisher("lo", [sv.Stream(sv_id, waves or default_waves())], rate, start_second=START)
    numbers = [n for n in range(first, first + count) if n not in skip]
    for n in duplicate:
        numbers.insert(numbers.index(n) + 1, n)
    for n in swap:
        i = numbers.index(n)
        numbers[i], numbers[i + 1] = numbers[i + 1], numbers[i]
    expected = {}
    with open(path, "wb") as out:
        write_header(out)
        for n in numbers:
            second, smp = divmod(n, rate)
            frame = publisher.render(0, START + second, smp)
            write_record(out, (START + second) * 1_000_000_000 + smp * 1_000_000_000 // rate, frame)
            expected.setdefault(n, [v for v, _ in sv.decode_frame(frame).asdus[0].samples])
    return expected


def load(cfg):
    record = comtrade.Comtrade(use_numpy_arrays=True, use_double_precision=True, ignore_warnings=True)
    record.load(str(cfg))
    return record


@pytest.mark.parametrize("first, skip, duplicate, swap, reason", [
    (0, (), (), (), "whole"),
    (0, (5, 6, 7, 400), (), (), "four lost: missing values"),
    (3900, (4000,), (3990,), (4100,), "across the wrap at 4000, a loss at the wrap, a duplicate, a swap"),
])
@pytest.mark.parametrize("file_type", ["BINARY32", "ASCII"])
def test_export_reads_back_sample_by_sample(tmp_path, first, skip, duplicate, swap, reason, file_type):
    expected = capture(tmp_path / "c.pcap", first=first, skip=skip, duplicate=duplicate, swap=swap)
    summary = export_comtrade(tmp_path / "c.pcap", tmp_path / "out.cfg", "MU01", file_type=file_type)
    assert summary["cfg"] == str(tmp_path / "out.cfg") and summary["dat"] == str(tmp_path / "out.dat")
    assert (summary["samples"], summary["lost"], summary["rate"]) == (800, len(skip), RATE), reason
    record = load(tmp_path / "out.cfg")
    assert (record.rev_year, record.cfg.ft, record.total_samples) == ("2013", file_type, 800)
    assert record.analog_channel_ids == ["Ia", "Ib", "Ic", "In", "Va", "Vb", "Vc", "Vn"]
    assert [c.uu for c in record.cfg.analog_channels] == ["A"] * 4 + ["V"] * 4
    assert [c.ph for c in record.cfg.analog_channels] == list("ABCNABCN")
    assert record.frequency == 50 and record.cfg.sample_rates == [[4000.0, 800]]
    second, smp = divmod(first, RATE)
    assert record.start_timestamp == record.trigger_timestamp
    assert (record.start_timestamp - __import__("datetime").datetime(2023, 11, 14, 22, 13, 20)).total_seconds() \
        == pytest.approx(second + smp / RATE, abs=1e-6)
    np.testing.assert_allclose(np.asarray(record.time), np.arange(800) / RATE, atol=1e-6)
    per_count = np.array([0.001] * 4 + [0.01] * 4)
    for row in range(800):
        n = first + row
        got = np.array([record.analog[k][row] for k in range(8)])
        if n in skip:
            assert np.isnan(got).all(), n  # marked missing, not interpolated
            continue
        want = np.array(expected[n]) * per_count
        if file_type == "BINARY32":
            assert (got == want).all(), n
        else:  # whole steps of counts, the multiplier tells which
            steps = np.array([c.a for c in record.cfg.analog_channels])
            assert (np.abs(got - want) <= steps / 2 + 1e-9).all(), n
    if file_type == "ASCII":
        text = (tmp_path / "out.dat").read_text().splitlines()
        assert all(abs(int(cell)) <= 99999 for line in text for cell in line.split(",")[2:])


@pytest.mark.parametrize("file_type", ["BINARY32", "ASCII"])
def test_quality_flags_become_digital_channels(tmp_path, file_type):
    """A playback sends the quality words: invalid (1) on Ia for 20 samples, questionable (3) on Vn
    for 3, other bits (test, 0x800) on Ib; only the validity sets a digital channel."""
    qualities = [[1, 0x800] + [0] * 5 + [3 if r < 3 else 0] for r in range(20)]
    playback = sv.Playback([[r] * 8 for r in range(20)], qualities, start=START * RATE + 100)
    publisher = sv.Publisher("lo", [sv.Stream("MU01", default_waves(), playback=playback)], RATE, start_second=START)
    with open(tmp_path / "q.pcap", "wb") as out:
        write_header(out)
        for n in range(200):
            write_record(out, START * 10**9 + n * 250_000, publisher.render(0, START, n))
    export_comtrade(tmp_path / "q.pcap", tmp_path / "q", file_type=file_type)
    record = load(tmp_path / "q.cfg")
    assert record.status_channel_ids == [f"{name} q" for name in ("Ia", "Ib", "Ic", "In", "Va", "Vb", "Vc", "Vn")]
    status = np.array([np.asarray(channel) for channel in record.status])
    assert np.flatnonzero(status[0]).tolist() == list(range(100, 120))
    assert np.flatnonzero(status[7]).tolist() == [100, 101, 102]
    assert status[1:7].sum() == 0
    step = record.cfg.analog_channels[0].a  # 0.001 A in BINARY32; ASCII: whole steps of counts
    assert record.analog[0][105] == pytest.approx(0.005, abs=step / 2)  # 5 counts of 1 mA, from the playback row


def test_binary32_layout_and_cfg_text(tmp_path):
    """The octets and lines themselves, for a tiny record written directly."""
    counts = np.array([[1, -2], [-(2**31), 2**31 - 1], [7, 8]])
    channels = channels_of(2)
    cfg, dat = write_comtrade(tmp_path / "t", counts, np.array([True, True, False]), channels, 4000,
                              START * 1_000_000_000 + 250_000, station="bay 1", device="MU,9")
    assert cfg.read_bytes().decode().split("\r\n") == [
        "bay 1,MU_9,2013", "2,2A,0D",
        "1,ch1,,,,1,0,0,-2147483647,1,1,1,P",  # -2**31 is the missing code: written one above
        "2,ch2,,,,1,0,0,-2,2147483647,1,1,P",
        "50", "1", "4000,3", "14/11/2023,22:13:20.000250", "14/11/2023,22:13:20.000250",
        "BINARY32", "1", "0,0", "0,0", "",
    ]
    row = lambda n, t, a, b: (n.to_bytes(4, "little") + t.to_bytes(4, "little")
                              + a.to_bytes(4, "little", signed=True) + b.to_bytes(4, "little", signed=True))
    assert dat.read_bytes() == row(1, 0, 1, -2) + row(2, 250, -(2**31) + 1, 2**31 - 1) + row(3, 500, -(2**31), -(2**31))


def test_round_trip_comtrade_publish_export(tmp_path, capsys):
    """A record at 1200/s, published at 4000/s into a pcap and exported again: the waveform in A and V
    equals the analytic sine at the new instants within the resampling's stated error."""
    channels = []
    t = np.arange(240) / 1200  # 0.2 s
    for k, (name, unit, a) in enumerate([("IA", "A", 0.05), ("IB", "A", 0.05), ("IC", "A", 0.05), ("IN", "A", 0.05),
                                         ("VA", "kV", 0.01), ("VB", "kV", 0.01), ("VC", "kV", 0.01), ("VN", "kV", 0.01)]):
        wave = 20000 * np.sin(2 * np.pi * 50 * t - 2 * np.pi / 3 * (k % 4)) if k % 4 != 3 else 0 * t
        channels.append((name, unit, a, 0, 1, 1, "P", np.rint(wave).astype(int).tolist()))
    cfg = write_ascii_record(tmp_path / "fault", channels, 1200, len(t))
    assert main(["publish", "--comtrade", cfg, "--pcap", str(tmp_path / "p.pcap"), "--start", str(START)]) == 0
    assert main(["export", str(tmp_path / "p.pcap"), "--comtrade", str(tmp_path / "back"), "--json"]) == 0
    summary = json.loads(capsys.readouterr().out.splitlines()[-1])
    assert (summary["samples"], summary["lost"], summary["start"]) == (797, 0, "2023-11-14T22:13:20.000000Z")
    back = load(tmp_path / "back.cfg")
    times = np.arange(back.total_samples) / RATE
    for k in range(8):
        peak = 1000.0 if k < 4 else 200_000.0  # 20000 steps of 0.05 A, and of 0.01 kV
        exact = peak * np.sin(2 * np.pi * 50 * times - 2 * np.pi / 3 * (k % 4)) if k % 4 != 3 else 0 * times
        error = np.abs(np.asarray(back.analog[k]) - exact)
        count = 0.001 if k < 4 else 0.01
        # the record's rounding (half a step, its noise interpolated: up to 1.5 steps), the resampler's
        # 1e-5 / 4e-3 of the amplitude, one count
        assert error[40:-40].max() <= (1.5 * 0.05 if k < 4 else 1.5 * 10) + 2e-5 * peak + count, k
        assert error.max() <= (1.5 * 0.05 if k < 4 else 1.5 * 10) + 4e-3 * peak + count, k


@pytest.mark.parametrize("command, options, words", [
    ("export", "--sv-id --comtrade --format --station --nominal-hz --json",
     ["COMTRADE 2013", "missing value", "0x80000000", "99999", "9-2LE", "Exit status"]),
    ("publish", "--comtrade --channels --loop --counts-per-unit",
     ["COMTRADE record", "band-limited polyphase", "by name or by number from 1", "repeat the recording"]),
    ("plot", "--output --sv-id --from --to --no-goose --json",
     ["in A and V", "Lost samples", "quality", "GOOSE state changes", "Exit status"]),
])
def test_help_explains_the_commands(capsys, command, options, words):
    with pytest.raises(SystemExit) as caught:
        main([command, "--help"])
    assert caught.value.code == 0
    text = capsys.readouterr().out
    flat = " ".join(text.split())
    for option in options.split():
        assert re.search(rf"^  (-\w \S+, )?{option}\b.*\w", text, re.M), option
    for word in words:
        assert word in flat, word


def test_export_usage_and_errors(tmp_path, capsys):
    capture(tmp_path / "two.pcap", count=10, sv_id="MU01")
    with open(tmp_path / "two.pcap", "ab") as out:  # a second stream
        publisher = sv.Publisher("lo", [sv.Stream("MU02", [sv.Wave(1.0)])], RATE, start_second=START)
        write_record(out, START * 1_000_000_000, publisher.render(0, START, 0))
    for argv, message in [
        ([str(tmp_path / "two.pcap")], f"{tmp_path}/two.pcap holds 2 SV streams (MU01, MU02): choose one by its svID"),
        ([str(tmp_path / "two.pcap"), "--sv-id", "X"], f"no SV stream with svID 'X' in {tmp_path}/two.pcap (svIDs found: MU01, MU02)"),
        ([str(tmp_path / "none.pcap")], f"cannot read or write {tmp_path}/none.pcap: No such file or directory"),
    ]:
        assert main(["export", *argv, "--comtrade", str(tmp_path / "o")]) == 1
        assert capsys.readouterr().err == f"valdrin: {message}\n"
    assert main(["export", str(tmp_path / "two.pcap"), "--sv-id", "MU02", "--comtrade", str(tmp_path / "o"),
                 "--format", "ascii"]) == 0
    assert capsys.readouterr().out.startswith(f"wrote {tmp_path}/o.cfg and {tmp_path}/o.dat: 1 samples of 1 channels")
    record = load(tmp_path / "o.cfg")
    assert (record.analog_channel_ids, record.cfg.analog_channels[0].uu) == (["ch1"], "")


@pytest.mark.parametrize("argv, message, reason", [
    (["--comtrade", "{tmp}/"], "--comtrade takes the name of the record's files (OUT for OUT.cfg and OUT.dat), "
     "not a directory: '{tmp}/'", "a directory with a slash wrote '{tmp}.cfg' beside it"),
    (["--comtrade", "{tmp}"], "--comtrade takes the name of the record's files (OUT for OUT.cfg and OUT.dat), "
     "not a directory: '{tmp}'", "an existing directory is no record name either"),
    (["--comtrade", ""], "--comtrade takes the name of the record's files (OUT for OUT.cfg and OUT.dat), "
     "not a directory: ''", "an empty name failed with a path's repr"),
    (["--comtrade", "{tmp}/o", "--nominal-hz", "0"], "argument --nominal-hz: must be a positive number of Hz, got 0",
     "a line frequency of 0 was written into the .cfg"),
    (["--comtrade", "{tmp}/o", "--nominal-hz", "nan"], "argument --nominal-hz: must be a positive number of Hz, got nan",
     "'nan' was written into the .cfg"),
    (["--comtrade", "{tmp}/o", "--nominal-hz", "fifty"], "argument --nominal-hz: not a frequency in Hz: 'fifty'",
     "not a number"),
])
def test_export_usage_errors(tmp_path, capsys, argv, message, reason):
    capture(tmp_path / "c.pcap", count=10, sv_id="MU01")
    with pytest.raises(SystemExit) as caught:
        main(["export", str(tmp_path / "c.pcap"), *(a.format(tmp=tmp_path) for a in argv)])
    assert caught.value.code == 2, reason
    assert capsys.readouterr().err.splitlines()[-1] == "valdrin export: error: " + message.format(tmp=tmp_path), reason
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.pcap"], reason
    assert not tmp_path.with_suffix(".cfg").exists(), reason


@pytest.mark.parametrize("rate, asdus, first, count, skip, reason", [
    (4800, 1, 4790, 4830, (4799,),
     "the count before the first wrap lost: placed when the next second's 4799 widens the wrap"),
    (4000, 2, 0, 100, (), "two ASDUs a frame: one timestamp for both"),
    (4000, 1, 10, 400, tuple(range(20, 300)), "a gap of more than half the counts seen, no wrap"),
    (12800, 8, 12000, 1600, (), "eight ASDUs a frame across the wrap at 12800"),
])
def test_stream_samples_learns_rate_and_wrap(tmp_path, rate, asdus, first, count, skip, reason):
    publisher = sv.Publisher("lo", [sv.Stream("MU01", default_waves())], rate, asdus, start_second=START)
    with open(tmp_path / "c.pcap", "wb") as out:
        write_header(out)
        for n in range(first, first + count, asdus):
            if n in skip:
                continue
            second, smp = divmod(n, rate)
            write_record(out, (START + second) * 10**9 + smp * 10**9 // rate, publisher.render(0, START + second, smp))
    stream = stream_samples(tmp_path / "c.pcap")
    # The first and the last samples arrived: the grid spans them all; a skipped frame loses its ASDUs.
    assert (stream.rate, len(stream.present), stream.lost) == (rate, count, len(skip) * asdus), reason
    assert not stream.present[[n - first for n in skip]].any() and stream.present.sum() == count - len(skip) * asdus
    assert stream.first_ns == (START + first // rate) * 10**9 + first % rate * 10**9 // rate, reason
    expected = [sv.decode_frame(publisher.render(0, START + (n - n % asdus) // rate, (n - n % asdus) % rate))
                .asdus[n % asdus].samples for n in range(first, first + 8)]
    assert stream.counts[:8].tolist() == [[v for v, _ in row] for row in expected], reason
