"""The valdrin command line: usage, errors, the pcap writer and live runs in namespaces."""

import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
from importlib.metadata import entry_points, version

import pytest

from valdrin.cli import main
from valdrin.sv import Fault, Playback, Stream, Wave
from valdrin.sv_publisher import _native_streams

from netns import netns_reason, read_until
from sv_model import render_model

CLI = [sys.executable, "-m", "valdrin", "publish"]
SUMMARY = re.compile(r"sent (\d+) frames in ([\d.]+) s: (\d+) send errors, (\d+) late frames, max lateness [\d.]+ µs")

OPTIONS = (
    "--iface --pcap --frames --start --duration --streams --rate --asdus-per-frame --sv-id --app-id "
    "--dst-mac --src-mac --vlan-id --vlan-priority --conf-rev --smp-synch --smp-rate --dat-set --wave "
    "--fault-every --fault-offset --fault-start-smp --fault-duration --fault-factor --playback "
    "--playback-period --comtrade --channels --counts-per-unit --rt-priority --cpu"
).split()


def test_help_explains_every_option(capsys):
    with pytest.raises(SystemExit) as caught:
        main(["publish", "--help"])
    assert caught.value.code == 0
    text = capsys.readouterr().out
    for option in OPTIONS:
        assert re.search(rf"^  {option} \S.*\n?.*\w", text, re.M), option
    assert "exit status: 0 after --duration or ctrl-c" in " ".join(text.lower().split())


def test_console_script():
    (script,) = entry_points(group="console_scripts", name="valdrin")
    assert script.value == "valdrin.cli:main"
    run = subprocess.run([sys.executable, "-m", "valdrin", "--help"], capture_output=True, text=True)
    assert run.returncode == 0 and "publish" in run.stdout


@pytest.mark.parametrize("module", ["valdrin", "valdrin.cli"])
def test_version_option(module):
    run = subprocess.run([sys.executable, "-m", module, "--version"], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, f"valdrin {version('valdrin')}\n", "")


@pytest.mark.parametrize(
    "argv, message",
    [
        ([], "--iface is required (or --pcap FILE to write a file)"),
        (["--iface", "lo", "--frames", "3"], "--frames needs --pcap"),
        (["--pcap", "x.pcap"], "--pcap needs --duration or --frames"),
        (["--pcap", "x.pcap", "--duration", "1", "--frames", "2"], "--duration and --frames exclude each other"),
        (["--iface", "lo", "--fault-duration", "0.1"], "the --fault-* options need --fault-every"),
        (["--iface", "lo", "--playback-period", "4"], "--playback-period needs --playback"),
        (["--iface", "lo", "--asdus-per-frame", "3"], "rate 4000 is not a multiple of asdus_per_frame 3"),
        (["--iface", "lo", "--rate", "70000"],
         "rate 70000 is above 65536: the 16-bit smpCnt cannot count the samples of one second"),
        (["--iface", "lo", "--rt-priority", "0"], "rt_priority must be between 1 and 99, got 0"),
        (["--iface", "lo", "--streams", "2", "--app-id", "0xffff"], "app_id must be between 0 and 65535, got 65536"),
        (["--iface", "lo", "--streams", "2", "--dst-mac", "ff:ff:ff:ff:ff:ff"],
         "--dst-mac ff:ff:ff:ff:ff:ff leaves no room for 2 streams"),
        (["--iface", "lo", "--sv-id", "MU{m}"], "--sv-id and --dat-set take a format string with {n} only: 'm'"),
        (["--iface", "lo", "--streams", "0"], "argument --streams: must be at least 1, got 0"),
        (["--iface", "lo", "--rate", "4k"], "argument --rate: not an integer: '4k'"),
        (["--iface", "lo", "--duration", "-1"], "argument --duration: must be positive, got -1"),
        (["--iface", "lo", "--dst-mac", "01:0c:cd"], "argument --dst-mac: not a MAC address like 01:0c:cd:04:00:01: '01:0c:cd'"),
        (["--iface", "lo", "--wave", "1,2,3,4,5,6,7"],
         "argument --wave: expected amplitude[,phase_deg[,frequency_hz[,offset[,scale[,quality]]]]], got '1,2,3,4,5,6,7'"),
        (["--iface", "lo", "--wave", "1,0,50,0,1,-1"],
         "argument --wave: bad wave '1,0,50,0,1,-1': quality must be between 0 and 4294967295, got -1"),
        (["--iface", "lo", "--vlan-priority", "3"], "vlan_priority needs a vlan_id"),
        (["--iface", "lo", "--bogus"], "unrecognized arguments: --bogus"),
        (["--iface", "lo", "--cpu", "0,1"],  # one engine per CPU, and one stream cannot be shared by two
         "--cpu names 2 CPUs for 1 stream: every engine needs a stream (give --streams 2 or more, or fewer CPUs)"),
        (["--pcap", "x.pcap", "--frames", "1", "--start", "-1"],
         "a pcap file stamps frames with UNIX seconds from 0 to 4294967295: choose another --start"),
        (["--pcap", "x.pcap", "--frames", "4001", "--start", str(2**32 - 1)],
         "a pcap file stamps frames with UNIX seconds from 0 to 4294967295: choose another --start"),
    ],
)
def test_usage_errors_exit_2(argv, message, capsys):
    with pytest.raises(SystemExit) as caught:
        # A case that wrongly passed would publish on lo for 10 ms, not forever.
        main(["publish", *argv, *(["--duration", "0.01"] if "--iface" in argv else [])])
    assert caught.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: valdrin ")
    assert err.splitlines()[-1] in (f"valdrin publish: error: {message}", f"valdrin: error: {message}")


@pytest.mark.parametrize("iface, unprivileged, message", [
    ("nope0", False, "interface nope0: No such device (os error 19)"),
    ("lo", True, "AF_PACKET socket: Operation not permitted (os error 1)"),
])
def test_run_errors_exit_1(iface, unprivileged, message):
    drop = []
    if unprivileged and os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("setpriv(1) is needed to drop CAP_NET_RAW")
        # Still root for the files, but without CAP_NET_RAW in any capability set.
        drop = ["setpriv", "--bounding-set", "-net_raw", "--inh-caps", "-net_raw"]
    run = subprocess.run([*drop, *CLI, "--iface", iface, "--duration", "1"], capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stdout, run.stderr) == (1, "", f"valdrin: {message}\n")


# --- pcap -------------------------------------------------------------------


def read_pcap(path):
    """The global header fields and the (seconds, nanoseconds, frame) records of a pcap file."""
    data = path.read_bytes()
    header = struct.unpack_from("<IHHiIII", data)
    records, at = [], 24
    while at < len(data):
        sec, nsec, caplen, length = struct.unpack_from("<IIII", data, at)
        assert caplen == length
        records.append((sec, nsec, data[at + 16 : at + 16 + caplen]))
        at += 16 + caplen
    assert at == len(data)
    return header, records


W1 = Wave(100.0, 0.0, 50.0, 0.0, 1000.0)
W2 = Wave(5.0, 90.0, 60.0, 1.0, 100.0, 0x2000)
START = 1_700_000_000
PCAP_CASES = {
    # 80 samples/s in frames of 20: 4 periods per second, so 6 periods cross a second.
    "addressing": (
        ["--streams", "2", "--rate", "80", "--asdus-per-frame", "20", "--frames", "6", "--start", str(START),
         "--sv-id", "T{n}", "--dat-set", "LD{n}/LLN0$PhsMeas", "--app-id", "0x4001", "--dst-mac", "01:0c:cd:04:00:ff",
         "--src-mac", "02-00-00-00-00-01", "--vlan-id", "7", "--vlan-priority", "5", "--conf-rev", "3",
         "--smp-synch", "2", "--smp-rate", "80", "--wave", "100,0,50,0,1000", "--wave", "5,90,60,1,100,0x2000"],
        80, 20,
        [Stream(f"T{n}", [W1, W2], dat_set=f"LD{n}/LLN0$PhsMeas", conf_rev=3, smp_synch=2, smp_rate=80,
                dst_mac=mac, src_mac="02:00:00:00:00:01", app_id=0x4000 + n, vlan_id=7, vlan_priority=5)
         for n, mac in ((1, "01:0c:cd:04:00:ff"), (2, "01:0c:cd:04:01:00"))],
        [(START, 0), (START, 250_000_000), (START, 500_000_000), (START, 750_000_000), (START + 1, 0),
         (START + 1, 250_000_000)],
    ),
    "fault": (
        ["--duration", "0.002", "--start", str(START + 2), "--wave", "100,0,50,0,1000", "--wave", "5,90,60,1,100,0x2000",
         "--fault-every", "2", "--fault-start-smp", "3", "--fault-duration", "0.001", "--fault-factor", "3",
         "--smp-rate", "none"],
        4000, 1,
        [Stream("MU01", [W1, W2], fault=Fault([Wave(300.0, 0.0, 50.0, 0.0, 1000.0), Wave(15.0, 90.0, 60.0, 1.0, 100.0, 0x2000)],
                                              cycle_s=2, offset_s=0, start_smp=3, duration_s=0.001))],
        [(START + 2, k * 250_000) for k in range(8)],
    ),
    # 3 samples/s: the instants of thirds of a second, rounded down to the ns.
    "uneven": (
        ["--frames", "5", "--start", str(START), "--rate", "3", "--smp-rate", "none", "--wave", "100,0,1,0,1000"],
        3, 1,
        [Stream("MU01", [Wave(100.0, 0.0, 1.0, 0.0, 1000.0)])],
        [(START, 0), (START, 333_333_333), (START, 666_666_666), (START + 1, 0), (START + 1, 333_333_333)],
    ),
    # 12000 samples/s in frames of 5: 416666.6 ns apart.
    "frames of 5": (
        ["--frames", "4", "--start", str(START), "--rate", "12000", "--asdus-per-frame", "5", "--smp-rate", "none",
         "--wave", "100,0,50,0,1000"],
        12000, 5,
        [Stream("MU01", [W1])],
        [(START, 0), (START, 416_666), (START, 833_333), (START, 1_250_000)],
    ),
    "playback": (
        ["--frames", "5", "--start", str(START), "--rate", "4800", "--asdus-per-frame", "2", "--wave", "0", "--wave", "0",
         "--playback", "{csv}", "--playback-period", "5"],
        4800, 2,
        [Stream("MU01", [Wave(0.0)] * 2, smp_rate=96,
                playback=Playback([[1, -2], [3, 0x7FFFFFFF], [-5, 6]], period=5, start=START * 4800))],
        [(START, k * 2 * 1_000_000_000 // 4800) for k in range(5)],
    ),
}


@pytest.mark.parametrize("case", PCAP_CASES)
def test_pcap_holds_the_engines_frames_at_their_times(case, tmp_path, capsys):
    argv, rate, per_frame, streams, times = PCAP_CASES[case]
    (tmp_path / "rec.csv").write_text("1,-2\n3, 0x7fffffff\n\n-5,6\n")
    argv = [arg.replace("{csv}", str(tmp_path / "rec.csv")) for arg in argv]
    assert main(["publish", "--pcap", str(tmp_path / "out.pcap"), *argv]) == 0
    header, records = read_pcap(tmp_path / "out.pcap")
    assert header == (0xA1B23C4D, 2, 4, 0, 0, 262144, 1)
    assert capsys.readouterr().out == (
        f"wrote {len(records)} frames ({len(streams)} streams x {len(times)} periods) to {tmp_path / 'out.pcap'}\n"
    )
    # The frames of the independent model (sv_model.py), not the engine's own render().
    native = _native_streams(streams, per_frame)
    expected = []
    for sec, nsec in times:  # one frame of every stream per period, in stream order
        first_smp = -(-nsec * rate // 1_000_000_000)  # the sample due at that instant
        expected += [(sec, nsec, render_model(stream, rate, sec, first_smp)) for stream in native]
    assert records == expected


def samples(frame, channels):
    """The (value, quality) pairs of every ASDU, from the sample fields (tag 0x87)."""
    marker = bytes([0x87, 8 * channels])
    found, at = [], frame.find(marker)
    while at >= 0:
        found.append(struct.unpack_from(f">{2 * channels}i", frame, at + 2)[::2])
        at = frame.find(marker, at + 2 + 8 * channels)
    return found


def test_playback_rows_and_default_channels(tmp_path):
    (tmp_path / "rec.csv").write_text("1,-2\n3,4\n-5,6\n")
    out = tmp_path / "p.pcap"
    main(["publish", "--pcap", str(out), "--frames", "4", "--start", str(START), "--asdus-per-frame", "2",
          "--wave", "0,0,50,7", "--wave", "0", "--playback", str(tmp_path / "rec.csv"), "--playback-period", "5"])
    values = [v for _, _, frame in read_pcap(out)[1] for v in samples(frame, 2)]
    assert values == [(1, -2), (3, 4), (-5, 6), (7, 0), (7, 0), (1, -2), (3, 4), (-5, 6)]

    # Defaults: Ia Ib Ic In Va Vb Vc Vn, 1 mA and 10 mV per count, 50 Hz, 80 samples per cycle.
    main(["publish", "--pcap", str(out), "--frames", "80", "--start", str(START)])
    cycle = [samples(frame, 8)[0] for _, _, frame in read_pcap(out)[1]]
    assert b"\x86\x02\x00\x50" in read_pcap(out)[1][0][2]  # smpRate 80
    peak_a, peak_v = 500 * math.sqrt(2) * 1000, 110e3 / math.sqrt(3) * math.sqrt(2) * 100
    for smp, values in enumerate(cycle):
        phases = [math.sin(2 * math.pi * smp / 80 + shift) for shift in (0, -2 * math.pi / 3, 2 * math.pi / 3)]
        expected = [peak_a * p for p in phases] + [peak_v * p for p in phases]
        assert values[:3] + values[4:7] == pytest.approx(expected, abs=1)
        assert values[3] == values[7] == 0


# --- live runs, each in a network namespace of its own ------------------------


def in_namespace(*args):
    reason = netns_reason()
    if reason:
        pytest.skip(reason)
    command = " ".join([*CLI, *args])
    return ["unshare", "--net", "sh", "-c", f"ip link set lo up && exec {command}"]


def test_live_run_for_a_duration():
    run = subprocess.run(in_namespace("--iface", "lo", "--streams", "2", "--duration", "1.5"),
                         capture_output=True, text=True, timeout=30)
    assert (run.returncode, run.stderr) == (0, "")
    lines = run.stdout.splitlines()
    assert lines[0].startswith("publishing 2 streams on lo at 4000 samples/s, 1 ASDU per frame, from UNIX second ")
    assert lines[0].endswith(" for 1.5 s; Ctrl-C stops")
    assert all(re.fullmatch(r"frames \d+  \d+/s  send errors 0  late \d+  max lateness [\d.]+ µs", line)
               for line in lines[1:-1]) and len(lines) >= 3
    sent, seconds, errors, _ = SUMMARY.fullmatch(lines[-1]).groups()
    # 2 streams x 4000 frames/s x 1.5 s, exactly: the periods due in [start, start + 1.5 s).
    assert (seconds, errors, sent) == ("1.50", "0", "12000")


def test_ctrl_c_stops_cleanly():
    process = subprocess.Popen(in_namespace("--iface", "lo"), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        seen = read_until(process, rb"^frames [1-9]")  # publishing has begun
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=20)
    finally:
        process.kill()
    assert (process.returncode, err) == (0, b"")
    lines = (seen + out).decode().splitlines()
    sent, _, errors, _ = SUMMARY.fullmatch(lines[-1]).groups()
    shown = int(re.match(r"frames (\d+)", lines[-2]).group(1))
    assert int(sent) >= shown > 0 and errors == "0"


# --- what a command line imports ------------------------------------------------

ALL_COMMANDS = ["publish", "decode", "monitor", "analyze", "goose", "trip_test", "sequence", "relay_sim", "export", "plot", "scl"]


@pytest.mark.parametrize("argv, modules", [
    (["analyze", "x.pcap", "--json"], ["analyze"]),
    (["relay-sim", "--help"], ["relay_sim"]),         # typed with "-", a module with "_"
    (["--help"], ALL_COMMANDS),                       # the list of every command
    ([], ALL_COMMANDS),                               # the usage error names them all
    (["analyse", "x.pcap"], ALL_COMMANDS),            # no such command: argparse's error lists the choices
])
def test_command_modules_a_command_line_needs(argv, modules):
    from valdrin.cli import COMMANDS
    from valdrin.cli.app import needed
    assert list(needed(COMMANDS, argv)) == modules


def test_analyze_json_leaves_the_heavy_libraries_unloaded(tmp_path):
    capture = tmp_path / "one.pcap"
    assert main(["publish", "--pcap", str(capture), "--frames", "4"]) == 0
    code = (f"import sys; from valdrin.cli import main; status = main(['analyze', {str(capture)!r}, '--json']); "
            "print(status, sorted({m.split('.')[0] for m in sys.modules} & {'lxml', 'matplotlib', 'numpy', 'rich', 'scipy'}), "
            "'valdrin.goose' in sys.modules, 'valdrin.scl' in sys.modules, file=sys.stderr)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stderr.splitlines()[-1] == "0 [] False False"
    assert '"frames": 4' in run.stdout


def test_names_the_cli_module_has_long_offered():
    import valdrin.cli as cli
    from valdrin import pcap, sv
    from valdrin.cli import publish
    assert (cli.read_pcap, cli.Packet, cli.PCAP_SNAPLEN) == (pcap.read_pcap, pcap.Packet, pcap.PCAP_SNAPLEN)
    assert (cli.Stream, cli.Wave, cli.Fault) == (sv.Stream, sv.Wave, sv.Fault)
    assert (cli.CURRENT_PEAK_A, cli.default_waves) == (publish.CURRENT_PEAK_A, publish.default_waves)
    assert cli.__version__ == version("valdrin")
    with pytest.raises(AttributeError, match="has no attribute 'nothing'"):
        cli.nothing  # noqa: B018
