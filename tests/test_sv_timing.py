"""SV streams against the clock and the profiles: `publish --profile` frames and the profile
analyze finds in them, latency from the sampling instant (exact from a written capture, bounded
live), outages counted like an independent receive socket's timestamps, the tables of monitor and
analyze at 60, 80 and 200 columns and in a pipe, and a reader that leaves a pipe early."""

import io
import json
import os
import subprocess
import sys

import pytest
import valdrin_rt
from rich.console import Console

from valdrin.cli import main
from valdrin.cli.health import PIPE_WIDTH, report_view
from valdrin.listen import analyze
from valdrin.pcap import read_pcap, write_header, write_record

import netns
from listen_frames import SECOND, goose_frame, sv_frames, sv_publisher

PYTHON = [sys.executable, "-m", "valdrin"]


# --- profiles ------------------------------------------------------------------------


@pytest.mark.parametrize("name", valdrin_rt.SV_PROFILES)
def test_publish_profile_frames_and_the_profile_analyze_finds(tmp_path, name):
    rate, asdus, currents, voltages = valdrin_rt.parse_sv_profile(name)
    path = tmp_path / "p.pcap"
    periods = 2 * rate // asdus  # two seconds: the wrap is learnt in the first
    assert main(["publish", "--profile", name, "--pcap", str(path), "--frames", str(periods),
                 "--start", str(SECOND)]) == 0
    with open(path, "rb") as f:
        packets = list(read_pcap(f))
    assert len(packets) == periods
    header, (_, decoded) = valdrin_rt.decode_sv_frame(packets[1].data)
    assert [a["smp_cnt"] for a in decoded] == list(range(asdus, 2 * asdus))
    assert {len(a["sample"]) for a in decoded} == {8 * (currents + voltages)}
    period_ns = asdus * 10**9 / rate
    assert abs(packets[-1].timestamp_ns - packets[0].timestamp_ns - (periods - 1) * period_ns) <= 1

    item = analyze(path).sv[0]
    assert (item["profile"], item["asdus_per_frame"], item["wrap"]) == (name, asdus, rate)
    # Each frame is stamped at its first sample's instant: the last ASDU's came (asdus - 1) samples later.
    early_us = (asdus - 1) * 1e6 / rate
    assert item["latency_us"]["min"] == pytest.approx(-early_us, abs=0.002)
    assert item["latency_us"]["max"] == pytest.approx(-early_us, abs=0.002)
    assert (item["outages"], item["longest_outage_ms"], item["silent"]) == (0, 0.0, False)


@pytest.mark.parametrize("args, message", [
    (["--profile", "F4800S7I4U4"], "--profile F4800S7I4U4: the ASDUs per frame S must divide the rate F"),
    (["--profile", "f4800s2i4u4"],
     "--profile f4800s2i4u4: not a profile name F<rate>S<ASDUs>I<currents>U<voltages> such as F4800S2I4U4"),
    (["--profile", "F70000S1I4U4"], "--profile F70000S1I4U4: the rate F must be from 1 to 65536 samples per second"),
    (["--profile", "F4800S2I0U0"],
     "--profile F4800S2I0U0: the currents I and voltages U must number from 1 to 255 together"),
    (["--profile", "F4800S2I4U4", "--rate", "4000"], "--profile F4800S2I4U4 sets --rate 4800, not 4000"),
    (["--profile", "F4800S2I4U4", "--asdus-per-frame", "1"], "--profile F4800S2I4U4 sets --asdus-per-frame 2, not 1"),
    (["--profile", "F4800S2I3U3", "--wave", "1"],
     "--profile F4800S2I3U3 has 6 channels (3 currents, 3 voltages), --wave gives 1"),
])
def test_profile_usage_errors_name_what_does_not_fit(tmp_path, capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        main(["publish", *args, "--pcap", str(tmp_path / "x.pcap"), "--frames", "1"])
    assert exit_.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"valdrin publish: error: {message}"


def test_profile_channels_and_help(tmp_path, capsys):
    path = tmp_path / "p.pcap"
    assert main(["publish", "--profile", "F4800S2I3U2", "--pcap", str(path), "--frames", "1",
                 "--start", str(SECOND)]) == 0
    with open(path, "rb") as f:
        (packet,) = list(read_pcap(f))
    _, (_, decoded) = valdrin_rt.decode_sv_frame(packet.data)
    # Three currents at phases a, b, c and two voltages (a, b), sample 0 at 0 degrees: sin 0, -120, 120, 0, -120.
    values = [int.from_bytes(decoded[0]["sample"][8 * c:8 * c + 4], "big", signed=True) for c in range(5)]
    assert values[0] == 0 and values[3] == 0
    assert values[1] == -values[2] and values[1] < 0 and values[4] < 0
    capsys.readouterr()
    with pytest.raises(SystemExit):
        main(["publish", "--help"])
    help_text = " ".join(capsys.readouterr().out.split())
    assert "preferred: F4800S2I4U4, F14400S6I4U4, F4000S1I4U4, F4800S1I4U4, F12800S8I4U4, F15360S8I4U4" in help_text


# --- tables at any width ---------------------------------------------------------------

LONG_SV_ID = "IED1MU01/LLN0$MSVCB01"
GOCB_REF = "IED1LD0/LLN0$GO$gcb1"


@pytest.fixture(scope="module")
def mixed_capture(tmp_path_factory):
    """Two SV streams (a short and a long svID; one loses samples 5 and 6) and a GOOSE block."""
    path = tmp_path_factory.mktemp("tables") / "c.pcap"
    records = sv_frames([c for c in range(400) if c not in (5, 6)])
    records += sv_frames(range(400), publisher=sv_publisher(sv_id=LONG_SV_ID, app_id=0x4002))
    records += [(SECOND * 10**9 + 5, goose_frame(1, 0, gocb_ref=GOCB_REF))]
    records.sort(key=lambda r: r[0])
    with open(path, "wb") as f:
        write_header(f)
        for t, frame in records:
            write_record(f, t, frame)
    return path


def rendered(report, width):
    out = io.StringIO()
    Console(file=out, width=width, color_system=None).print(report_view(report, report.last_ns, width))
    return out.getvalue().splitlines()


@pytest.mark.parametrize("width, rows", [
    # At 60 the long svID folds inside its column; the counts keep their places.
    (60, ["svID          APPID   ASDU/s  state  lost  dup  ooo  outages",
          "MU01          0x4001   4,000  ok        2    0    0        0",
          "IED1MU01/LLN  0x4002   4,000  ok        0    0    0        0",
          "0$MSVCB01"]),
    (80, ["MU01                   0x4001   4,000  ok        2    0    0        0    398",
          "IED1MU01/LLN0$MSVCB01  0x4002   4,000  ok        0    0    0        0    400"]),
    (200, ["MU01                   0x4001   4,000  ok        2    0    0        0    398     250     250           -  -   "
           "     01:0c:cd:04:00:01  I 0.7/1.4/2.1/2.8 A  V 0.04/0.04/0.05/0.06 kV"]),
])
def test_sv_rows_keep_their_key_cells_at_any_width(mixed_capture, width, rows):
    lines = rendered(analyze(mixed_capture), width)
    assert all(len(line) <= width for line in lines), lines
    stripped = [line.rstrip() for line in lines]
    for row in rows:
        assert row in stripped, "\n".join(stripped)


@pytest.mark.parametrize("width", [60, 80, 200])
def test_goose_rows_keep_gocb_ref_appid_and_counts(mixed_capture, width):
    lines = [line.rstrip() for line in rendered(analyze(mixed_capture), width)]
    heading = next(line for line in lines if line.startswith("gocbRef"))
    assert heading.split()[:7] == ["gocbRef", "APPID", "lost", "dup", "ooo", "TAL", "expired"]
    row = next(line for line in lines if line.startswith("IED1LD0/LLN"))
    assert row.split()[1:7] == ["0x0001", "0", "0", "0", "ok", "0"]
    # What does not fit follows the table, named by the stream: the RMS of MU01 always shows.
    assert any("I 0.7/1.4/2.1/2.8 A" in line for line in lines)


def test_in_a_pipe_the_tables_have_a_fixed_width(mixed_capture):
    env = {key: value for key, value in os.environ.items() if key != "COLUMNS"}
    proc = subprocess.run([*PYTHON, "analyze", str(mixed_capture)], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert max(len(line) for line in lines) <= PIPE_WIDTH
    assert "  MU01: dst 01:0c:cd:04:00:01; RMS a/b/c/n I 0.7/1.4/2.1/2.8 A  V 0.04/0.04/0.05/0.06 kV" in lines
    assert "MU01                   0x4001   4,000  ok        2    0    0        0    398     250     250" in proc.stdout


@pytest.fixture(scope="module")
def small_capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("pipe") / "c.pcap"
    with open(path, "wb") as f:
        write_header(f)
        for t, frame in sv_frames(range(100)):
            write_record(f, t, frame)
    return path


@pytest.mark.parametrize("args", [
    ["analyze", "{path}", "--json"],    # print_json
    ["analyze", "{path}"],              # rich tables
    ["analyze", "{path}", "--events"],  # rich lines, then tables
    ["decode", "{path}"],               # plain writes, line by line
    ["decode", "{path}", "--json"],
])
def test_a_reader_that_leaves_ends_the_command_quietly(small_capture, args):
    proc = subprocess.Popen([*PYTHON, *(a.format(path=small_capture) for a in args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdout.close()  # as `| head -c 0` does, before the first write
    assert proc.wait(timeout=60) == 141
    assert proc.stderr.read() == b""
    proc.stderr.close()


# --- live: outages and latency on a veth pair ----------------------------------------------

PRELUDE = """
import json, socket, struct, subprocess, time
from valdrin import sv
from valdrin.listen import Monitor
from listen_frames import sv_frames, sv_publisher
from netns import wait_until

for command in ("ip link add va type veth peer name vb", "ip link set va up", "ip link set vb up"):
    subprocess.run(command, shell=True, check=True, capture_output=True)

def raw_socket(iface, protocol=0x0003):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(protocol))
    s.bind((iface, 0))
    return s

def paced(out, frames, period_s, gaps):
    '''Sends `frames` one `period_s` apart, pausing `gaps[k]` seconds before frame k; bounded by the count.'''
    due = time.monotonic()
    for k, frame in enumerate(frames):
        due += gaps.get(k, period_s)
        time.sleep(max(0.0, due - time.monotonic()))
        out.send(frame)
"""

SOCKET_STAMPS = 35  # SO_TIMESTAMPNS


def test_outages_counted_as_the_receive_stamps_show_them():
    result = netns.in_netns(PRELUDE, f"""
        stamps_socket = raw_socket("vb", 0x88BA)  # SV only: the veth's own IPv6 frames left out
        stamps_socket.setsockopt(socket.SOL_SOCKET, {SOCKET_STAMPS}, 1)
        stamps_socket.settimeout(0.5)
        frames = [f for _, f in sv_frames(range(150))]
        with Monitor("vb") as monitor:
            # 50 frames/s, silent for 0.5 s before frames 50 and 100.
            paced(raw_socket("va"), frames, 0.02, {{50: 0.5, 100: 0.5}})
            wait_until(lambda: monitor.report().sv[0]["frames"] == len(frames), "every frame counted")
            wait_until(lambda: monitor.report().sv[0]["silent"], "the stream found silent")
            s = monitor.report().sv[0]
        stamps = []
        while len(stamps) < len(frames):
            data, ancillary, _, address = stamps_socket.recvmsg(2048, 64)
            if address[2] != socket.PACKET_OUTGOING:
                seconds, nanoseconds = struct.unpack("qq", ancillary[0][2][:16])
                stamps.append(seconds * 10**9 + nanoseconds)
        print(json.dumps({{"outages": s["outages"], "longest_ms": s["longest_outage_ms"], "silent": s["silent"],
                          "last_ns": s["last_ns"], "stamps": stamps}}))
    """)
    stamps = result["stamps"]
    assert result["last_ns"] == stamps[-1]
    # The rule, counted independently from the plain socket's stamps: a gap above three times the
    # mean of the usual gaps before it.
    usual, outages, longest = [], 0, 0
    for before, after in zip(stamps, stamps[1:]):
        gap = after - before
        if usual and gap * len(usual) > 3 * sum(usual):
            outages, longest = outages + 1, max(longest, gap)
        else:
            usual.append(gap)
    assert outages >= 2  # the two chosen silences
    # Plus the silence after the last frame, which the monitor saw going on.
    assert result["outages"] == outages + 1 and result["silent"]
    assert result["longest_ms"] >= longest / 1e6


def test_latency_of_a_synchronised_publisher_and_none_for_a_counter_off_the_rate():
    result = netns.in_netns(PRELUDE, """
        waves = [sv.Wave(1000.0, -120.0 * k, 50.0) for k in range(8)]
        stream = sv.Stream("MU01", waves, dst_mac="01:0c:cd:04:00:01", app_id=0x4001, smp_synch=2)
        # A second stream whose counter wraps at 200 while 500 frames come a second.
        off_rate = [f for _, f in sv_frames([n % 200 for n in range(700)],
                                            publisher=sv_publisher(sv_id="MU02", app_id=0x4002))]
        with Monitor("vb") as monitor:
            start = int(time.time()) + 1
            with sv.Publisher("va", [stream], rate=4000, start_second=start):
                paced(raw_socket("va"), off_rate, 0.002, {})
                time.sleep(max(0.0, start + 2.2 - time.time()))
            wait_until(lambda: all(s["latency_us"] is not None or s["wrap"] == 200 for s in monitor.report().sv),
                       "a latency measured")
            report = monitor.report()
        print(json.dumps({s["sv_id"]: [s["latency_us"], s["wrap"], s["smp_synch"], s["profile"]] for s in report.sv}))
    """)
    synchronised, wrap, synch, profile = result["MU01"]
    off, off_wrap, _, off_profile = result["MU02"]
    assert (wrap, synch, profile) == (4000, 2, "F4000S1I4U4")
    # The frame leaves at its sample's instant and crosses a veth: after it, well within a second.
    assert -50 <= synchronised["min"] <= synchronised["median"] <= synchronised["p99"] <= synchronised["max"]
    assert synchronised["median"] < 20_000 and synchronised["max"] < 500_000
    assert off is None and off_profile is None and off_wrap == 200


def test_monitor_in_a_file_shows_a_stream_that_stopped_as_silent_at_zero():
    result = netns.in_netns(PRELUDE, """
        import os, sys
        env = {key: value for key, value in os.environ.items() if key != "COLUMNS"}
        proc = subprocess.Popen([sys.executable, "-m", "valdrin", "monitor", "--iface", "vb", "--duration", "4"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        def capturing():
            try:
                return any(open(f"/proc/{proc.pid}/task/{task}/comm").read().strip() == "frame-capture"
                           for task in os.listdir(f"/proc/{proc.pid}/task"))
            except OSError:
                return False
        wait_until(capturing, "the monitor capturing")
        # 100 frames a second for one second, then nothing until the monitor ends.
        paced(raw_socket("va"), [f for _, f in sv_frames(range(100))], 0.01, {})
        out, err = proc.communicate(timeout=30)
        print(json.dumps({"status": proc.returncode, "out": out, "err": err}))
    """)
    assert (result["status"], result["err"]) == (0, "")
    lines = result["out"].splitlines()
    assert lines[0] == "100 frames, 0 other, 0 malformed, 0 dropped by the kernel"
    row = next(line for line in lines if line.startswith("MU01"))
    # The last second's rate (nothing came), silent, and the silence after the last frame an outage.
    assert row.startswith("MU01  0x4001       0  silent     0    0    0        1    100")
    assert max(len(line) for line in lines) <= 120
