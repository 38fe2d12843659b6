"""State sequences: every mistake in a sequence file as one exact line; the samples the engine
renders for a run against a closed-form computation (phasors, frequency, harmonics, DC offset,
angle continuity and inception); a run against relay-sim on a veth pair in a namespace of its own
(operate time, the breaker state's start after the trip, the frames on the wire those of the
replay), and a relay that never trips (timeout, fail, the exact JSON)."""

import math

import numpy as np
import pytest

import netns
from valdrin import sequence
from valdrin.sequence import SequenceFileError, loads
from valdrin.sv import decode_frame

REF = "RELAY1LD0/LLN0$GO$trip"

BASE = f'''shots = 2
[stream]
sv_id = "MU01"
[[state]]
name = "prefault"
duration_s = 1.0
currents = [[100, 0], [100, -120], [100, 120], [0, 0]]
voltages = [[63500, 0], [63500, -120], [63500, 120], [0, 0]]
[[state]]
name = "fault"
until = "{REF}#0 == true"
timeout_s = 0.5
[[assess]]
name = "operate time"
event = "{REF}#0 == true"
from_state = "fault"
min_ms = 15
max_ms = 30
'''

# (replace this, by that, the one line expected: why)
FILE_ERRORS = [
    ("shots = 2", "shots = 0", "seq.toml:1: top level, key shots: expected an integer from 1 to 1000000, got 0"),
    ("shots = 2", "shots = 2\nspeed = 3",
     "seq.toml:2: top level, key speed: unknown key (expected one of: shots, stream, state, assess, goose)"),
    ('sv_id = "MU01"', 'sv_id = "MU01"\nrate = 4001\nasdus_per_frame = 2',
     "seq.toml:5: [stream], key asdus_per_frame: must divide rate 4001, got 2"),
    ('sv_id = "MU01"', 'sv_id = "MU01"\ndst_mac = "01:0c:cd"',
     "seq.toml:4: [stream], key dst_mac: expected a MAC address like 01:0c:cd:04:00:01, got '01:0c:cd'"),
    ("duration_s = 1.0", "duration_s = -1.0",
     'seq.toml:6: [[state]] 1 ("prefault"), key duration_s: expected a positive number, got -1.0'),
    ("duration_s = 1.0", 'duration_s = 1.0\nuntil = "A/B$GO$c#0"',
     'seq.toml:4: [[state]] 1 ("prefault"): give duration_s or until (a state ends after a time or on a GOOSE '
     'condition)'),
    ("currents = [[100, 0], [100, -120], [100, 120], [0, 0]]", "currents = [[100, 0], [100, -120], [100, 120]]",
     'seq.toml:7: [[state]] 1 ("prefault"), key currents: expected 4 phasors [rms, degrees] (phases a, b, c, n), '
     'got [[100, 0], [100, -120], [100, 120]]'),
    ("currents = [[100, 0], [100, -120], [100, 120], [0, 0]]", "currents = [[-100, 0], [100, -120], [100, 120], [0, 0]]",
     "seq.toml:7: [[state]] 1 (\"prefault\"), key currents: a phasor's rms must not be negative, got [-100, 0]"),
    ("currents = [[100, 0], [100, -120], [100, 120], [0, 0]]\n", "",
     'seq.toml:4: [[state]] 1 ("prefault"): missing key currents (the first state gives every phasor)'),
    (f'until = "{REF}#0 == true"', f'until = "{REF} == true"',
     'seq.toml:11: [[state]] 2 ("fault"), key until: expected "GOCB_REF#N == VALUE" (as trip-test\'s --watch '
     f"names a member), got '{REF} == true'"),
    (f'until = "{REF}#0 == true"', f'until = "{REF}#0 == on"',
     "seq.toml:11: [[state]] 2 (\"fault\"), key until: the value must be true, false or a number, got 'on'"),
    ('name = "fault"', 'name = "prefault"',
     "seq.toml:10: [[state]] 2 (\"prefault\"), key name: another state is named 'prefault'"),
    ("timeout_s = 0.5", "timeout_s = 0.5\nafter_trigger_ms = 50",
     'seq.toml:13: [[state]] 2 ("fault"), key after_trigger_ms: the state before this one does not end on a trigger'),
    ("duration_s = 1.0", "duration_s = 1.0\ntimeout_s = 2",
     'seq.toml:7: [[state]] 1 ("prefault"), key timeout_s: only a state ended by until has a timeout'),
    ("timeout_s = 0.5", "timeout_s = 0.5\nharmonics = [[1, 20]]",
     "seq.toml:13: [[state]] 2 (\"fault\"), key harmonics: a harmonic's order must be above 1 and its percent not "
     "negative, got [1, 20]"),
    ("timeout_s = 0.5", 'timeout_s = 0.5\ngoose = { "TS/LLN0$GO$cb" = [true] }',
     'seq.toml:13: [[state]] 2 ("fault"), key goose: no [[goose]] table publishes TS/LLN0$GO$cb'),
    ("timeout_s = 0.5", 'timeout_s = 0.5\ndc_offset = "yes"',
     "seq.toml:13: [[state]] 2 (\"fault\"), key dc_offset: expected true or false, got 'yes'"),
    ('from_state = "fault"', 'from_state = "fualt"',
     "seq.toml:16: [[assess]] 1, key from_state: no state is named 'fualt'"),
    ("max_ms = 30", "max_ms = 10", "seq.toml:18: [[assess]] 1, key max_ms: 10 is below min_ms 15"),
    ("min_ms = 15\n", "", "seq.toml:13: [[assess]] 1: missing key min_ms"),
    ("shots = 2", "shots = 2\n[stream", "seq.toml:2: not TOML: Expected ']' at the end of a table declaration"),
]


@pytest.mark.parametrize("old, new, expected", FILE_ERRORS, ids=[row[2].split(": ", 1)[1][:50] for row in FILE_ERRORS])
def test_every_mistake_in_a_file_is_one_line_naming_table_key_and_line(old, new, expected):
    assert old in BASE
    with pytest.raises(SequenceFileError) as caught:
        loads(BASE.replace(old, new, 1), "seq.toml")
    assert str(caught.value) == expected
    assert "\n" not in str(caught.value)


def test_a_goose_state_table_must_match_its_block_and_states_carry_phasors_over(tmp_path):
    text = BASE.replace("timeout_s = 0.5", 'timeout_s = 0.5\n[state.goose]\n"TS/LLN0$GO$cb" = [1]') + (
        '[[goose]]\ngocb_ref = "TS/LLN0$GO$cb"\nvalues = [true]\n')
    with pytest.raises(SequenceFileError) as caught:
        loads(text, "g.toml")
    assert str(caught.value) == ('g.toml:14: [[state]] 2 ("fault"), key goose: TS/LLN0$GO$cb: [1] do not have the '
                                 "kinds of its [[goose]] values [True]")
    path = tmp_path / "s.toml"
    path.write_text(BASE)
    loaded = sequence.load(path)
    fault = loaded.states[1]
    assert fault.currents == ((100.0, 0.0), (100.0, -120.0), (100.0, 120.0), (0.0, 0.0))  # from the prefault
    assert (fault.until.gocb_ref, fault.until.member, fault.until.value, fault.timeout_s) == (REF, 0, True, 0.5)
    assert (loaded.shots, loaded.rate, loaded.stream) == (2, 4000, {"sv_id": "MU01"})


# --- the samples rendered -----------------------------------------------------------------

RATE = 4000
SQRT2 = math.sqrt(2.0)
# Three time-ended states at 4 ASDUs per frame; the first ends mid-frame (42 samples).
RENDERED = '''
[stream]
sv_id = "R"
asdus_per_frame = 4
[[state]]
name = "a"
duration_s = 0.0105
currents = [[100, -30], [0, 0], [0, 0], [0, 0]]
voltages = [[63500, 0], [0, 0], [0, 0], [0, 0]]
[[state]]
name = "b"
duration_s = 0.02
frequency_hz = 55
dc_offset = true
tau_ms = 30
harmonics = [[5, 20, 10]]
currents = [[2000, -80], [0, 0], [0, 0], [0, 0]]
[[state]]
name = "c"
duration_s = 0.01
frequency_hz = 50
inception_deg = 90
currents = [[0, 0], [0, 0], [0, 0], [0, 0]]
'''


def rendered(seq, starts, periods):
    """Ia and Va of the replayed frames (counts), and their smpCnts."""
    publisher = sequence.publisher_of(seq, "lo", start_second=1_800_000_000)
    smp_cnts, ia, va = [], [], []
    for _, frame in publisher._engines[0].sequence_frames(starts, 0, periods):
        for asdu in decode_frame(frame).asdus:
            smp_cnts.append(asdu.smp_cnt)
            ia.append(asdu.samples[0][0])
            va.append(asdu.samples[4][0])
    return np.array(smp_cnts), np.array(ia), np.array(va)


def test_phasors_frequency_harmonics_dc_offset_and_inception_sample_by_sample():
    seq = loads(RENDERED, "r.toml")
    smp_cnts, ia, va = rendered(seq, [], 40)  # 160 samples: a 0-41, b 42-121, c 122-161
    n = np.arange(160)
    w = 2 * np.pi
    deg = np.pi / 180
    # The reference angle in cycles: 50 Hz from 0, 55 Hz on from where a left it, then 90° at c's start.
    cycles = np.where(n < 42, 50 * n / RATE,
                      np.where(n < 122, 50 * 42 / RATE + 55 * (n - 42) / RATE, 0.25 + 50 * (n - 122) / RATE))
    theta = w * cycles
    va_expected = 63500 * SQRT2 * np.where((n >= 42) & (n < 122), np.sin(theta) + 0.2 * np.sin(5 * theta + 10 * deg),
                                           np.sin(theta))
    ac_b = 2000 * SQRT2 * (np.sin(theta - 80 * deg) + 0.2 * np.sin(5 * theta - 400 * deg + 10 * deg))
    prefault_at_42 = 100 * SQRT2 * math.sin(w * 50 * 42 / RATE - 30 * deg)
    ac_b_at_42 = 2000 * SQRT2 * (math.sin(w * 50 * 42 / RATE - 80 * deg)
                                 + 0.2 * math.sin(5 * w * 50 * 42 / RATE - 390 * deg))
    dc = (prefault_at_42 - ac_b_at_42) * np.exp(-(n - 42) / (RATE * 0.030))
    ia_expected = np.where(n < 42, 100 * SQRT2 * np.sin(theta - 30 * deg), np.where(n < 122, ac_b + dc, 0.0))
    assert list(smp_cnts) == list(range(160))
    assert np.max(np.abs(va - np.round(va_expected * 100))) <= 1
    assert np.max(np.abs(ia - np.round(ia_expected * 1000))) <= 1
    # The DC offset carries the current on at the fault's inception: no step at sample 42.
    assert abs(ia[42] - round(prefault_at_42 * 1000)) <= 1
    assert abs(dc[42]) > 1000  # a real offset, not a trivial one
    # The inception angle: Va restarts at 90° (its peak) whatever the angle before.
    assert va[122] == round(63500 * SQRT2 * 100)


def test_a_replay_switches_trigger_ended_states_at_the_given_samples_and_time_ended_ones_by_their_length():
    text = BASE.replace("shots = 2", "shots = 1").replace(
        "timeout_s = 0.5", 'timeout_s = 0.5\ncurrents = [[1000, 0], [0, 0], [0, 0], [0, 0]]') + (
        '[[state]]\nname = "open"\nafter_trigger_ms = 5\nduration_s = 0.001\n'
        'currents = [[0, 0], [0, 0], [0, 0], [0, 0]]\n')
    seq = loads(text.replace("duration_s = 1.0", "duration_s = 0.25"), "t.toml")
    states = sequence.engine_states(seq)
    assert [s[:2] for s in states] == [(1000, False), (2000, True), (4, False)]
    _, ia, va = rendered(seq, [0, 1000, 1003], 1010)
    peak = 1000 * SQRT2 * 1000
    # The fault's 1000 A from 1000 to 1002, nothing from the open state's start on, Va untouched throughout.
    fault = np.round(peak * np.sin(2 * np.pi * 50 * np.arange(1000, 1003) / RATE))
    assert list(ia[1000:1003]) == list(fault.astype(int))
    assert list(ia[1003:1010]) == [0] * 7
    assert np.max(np.abs(va - np.round(63500 * SQRT2 * 100 * np.sin(2 * np.pi * 50 * np.arange(1010) / RATE)))) <= 1


# --- against a relay ------------------------------------------------------------------------

PRELUDE = """
import json, socket, subprocess, threading, time
from valdrin import cli, listen, sequence, testing

def sh(*commands):
    for command in commands:
        subprocess.run(command, shell=True, check=True, capture_output=True)

# The test set on va, the relay on vb.
sh("ip link add va type veth peer name vb", "ip link set va up", "ip link set vb up")
REF = "RELAY1LD0/LLN0$GO$trip"

class Relay:
    '''The simulator serving in a thread of this process.'''
    def __init__(self, pickup_a, delay_ms=20):
        self.sim = testing.RelaySimulator("vb", "MU01", pickup_a, delay_ms, REF)
        self.done = threading.Event()
        self.sim.start()
        self.thread = threading.Thread(target=self.sim.serve, kwargs={"stop": self.done.is_set})
        self.thread.start()
    def stop(self):
        self.done.set()
        self.thread.join()
        self.sim.stop()
        return [d.to_json() for d in self.sim.log]

SEQUENCE = '''
shots = 1
[stream]
sv_id = "MU01"
[[state]]
name = "prefault"
duration_s = 0.2
currents = [[100, 0], [100, -120], [100, 120], [0, 0]]
voltages = [[63500, 0], [63500, -120], [63500, 120], [0, 0]]
[[state]]
name = "fault"
until = "RELAY1LD0/LLN0$GO$trip#0 == true"
timeout_s = 0.4
currents = [[3000, -80], [100, -120], [100, 120], [2900, -80]]
voltages = [[20000, 0], [63500, -120], [63500, 120], [43500, 180]]
dc_offset = true
[[state]]
name = "breaker open"
after_trigger_ms = 50
duration_s = 0.2
currents = [[0, 0], [0, 0], [0, 0], [0, 0]]
goose = { "TESTSET/LLN0$GO$breaker" = [false] }
[[goose]]
gocb_ref = "TESTSET/LLN0$GO$breaker"
values = [true]
[[assess]]
name = "operate time"
event = "RELAY1LD0/LLN0$GO$trip#0 == true"
from_state = "fault"
min_ms = 15
max_ms = 60
'''
"""

# The most the path from the simulator's departure stamp to the test set's arrival stamp may add
# on a loaded machine (a veth in one namespace).
PATH_US = 1000.0
FRAME_PERIOD_NS = 250_000


def test_a_trip_ends_the_fault_and_the_breaker_opens_after_its_delay_with_the_frames_of_the_replay():
    result = netns.in_netns(PRELUDE, """
        # Every SV frame reaching the relay's side, kept by the kernel until read after the run.
        tap = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88BA))
        tap.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE
        tap.bind(("vb", 0))
        tap.setblocking(False)
        relay = Relay(1000)
        breaker = listen.Monitor("vb", ring="v2")  # the simulated breaker's GOOSE, as the relay sees it
        breaker.start()
        seq = sequence.loads(SEQUENCE, "live.toml")
        run = sequence.run(seq, "va")
        log = relay.stop()
        positions = [(e.kind, e.details["values"], e.time_ns) for e in breaker.next_events(0.2)
                     if e.id == "TESTSET/LLN0$GO$breaker" and e.kind in ("goose_block_seen", "goose_state_change")]
        breaker.stop()
        frames = []
        for _ in range(100_000):
            try:
                frames.append(tap.recv(2048))
            except BlockingIOError:
                break
        publisher = run.publisher
        replay = [f for _, f in publisher._engines[0].sequence_frames(run.starts, 0, len(frames))]
        shot = run.shots[0]
        print(json.dumps({"log": log, "shot": [s.__dict__ for s in shot.states], "positions": positions,
                          "json": run.to_json(), "events": [e.__dict__ for e in shot.events],
                          "frames": len(frames), "equal": sum(a == b for a, b in zip(frames, replay)),
                          "first_differing": next((i for i, (a, b) in enumerate(zip(frames, replay)) if a != b), None)}))
    """)
    prefault, fault, breaker = result["shot"]
    assert [s["ended_by"] for s in result["shot"]] == ["duration", "trigger", "duration"]
    assert fault["first_sample"] - prefault["first_sample"] == 800  # 0.2 s at 4000/s, exactly
    assert breaker["end_ns"] - breaker["start_ns"] == 200_000_000
    trip = next(d for d in result["log"] if d["kind"] == "trip")
    (event,) = result["events"]
    assert event["ref"] == REF + "#0" and event["value"] is True
    # The trip seen by the test set is the simulator's trip frame after the path across the veth.
    assert 0 <= event["time_ns"] - trip["sent_ns"] <= PATH_US * 1000
    (assessment,) = result["json"]["shots"][0]["assessments"]
    assert assessment["measured_ms"] == (event["time_ns"] - fault["start_ns"]) / 1e6
    # Its uncertainty: how far from its instant the fault's first frame left, plus 1 µs.
    assert assessment["uncertainty_us"] == pytest.approx(abs(fault["sent_ns"] - fault["start_ns"]) / 1e3 + 1.0)
    assert assessment["pass"] is (15 <= assessment["measured_ms"] <= 60)
    assert result["json"]["verdict"] == ("pass" if assessment["pass"] else "fail")
    # The breaker state starts at the first frame period from trip + 50 ms, later only by how
    # late the engine got the command (the switch delay measured on its first frame).
    target = event["time_ns"] + 50_000_000
    late = max(0.0, breaker["switch_late_us"] * 1000)
    assert 0 <= breaker["start_ns"] - target <= FRAME_PERIOD_NS + late
    assert breaker["start_ns"] == fault["end_ns"] and breaker["sent_ns"] >= breaker["start_ns"]
    # The breaker's position: closed from the start, open once, from the breaker state's start on.
    (seen, closed, _), (change, opened, at) = result["positions"]
    assert (seen, closed, change, opened) == ("goose_block_seen", [True], "goose_state_change", [False])
    assert breaker["start_ns"] <= at <= breaker["end_ns"]
    # The frames the relay received are those the replay renders from the recorded starts.
    assert result["frames"] >= 2000
    assert result["equal"] == result["frames"], result["first_differing"]


def test_a_relay_that_never_trips_times_the_fault_out_and_fails(tmp_path):
    path = tmp_path / "never.toml"
    result = netns.in_netns(PRELUDE, f"""
        import contextlib, io
        relay = Relay(100_000)
        with open({str(path)!r}, "w") as out:
            out.write(SEQUENCE)
        stdout = io.StringIO()
        with contextlib.redirect_stdout(stdout):
            code = cli.main(["sequence", {str(path)!r}, "--iface", "va", "--json"])
        # Stopped after its first shot: that shot judged, the run marked interrupted, a fail.
        three = sequence.loads(SEQUENCE.replace("shots = 1", "shots = 3"), "three.toml")
        judged = []
        stopped = sequence.run(three, "va", on_shot=judged.append, stop=lambda: bool(judged))
        relay.stop()
        print(json.dumps({{"code": code, "stdout": stdout.getvalue(), "judged": len(judged),
                          "interrupted": stopped.interrupted, "shots": len(stopped.shots), "verdict": stopped.verdict}}))
    """)
    assert (result["judged"], result["interrupted"], result["shots"], result["verdict"]) == (1, True, 1, "fail")
    assert result["code"] == 3
    lines = result["stdout"].splitlines()
    assert len(lines) == 1
    import json

    out = json.loads(lines[0])
    assert list(out) == ["verdict", "shots"] and out["verdict"] == "fail"
    (shot,) = out["shots"]
    assert list(shot) == ["states", "events", "assessments"]
    assert [(s["name"], s["ended_by"]) for s in shot["states"]] == [
        ("prefault", "duration"), ("fault", "timeout"), ("breaker open", "duration")]
    assert all(list(s) == ["name", "start", "end", "ended_by"] for s in shot["states"])
    fault = shot["states"][1]
    assert round((fault["end"] - fault["start"]) * 1000, 3) == 400.0  # the timeout, exactly its samples
    assert shot["events"] == []
    assert shot["assessments"] == [{"name": "operate time", "measured_ms": None, "uncertainty_us": None,
                                    "min_ms": 15.0, "max_ms": 60.0, "pass": False}]


def test_the_report_is_one_self_contained_file_with_the_table_verdicts_and_a_figure_per_shot(tmp_path):
    from valdrin.sequence import AssessmentResult, SequenceResult, ShotResult, StateRecord
    from valdrin.sequence_report import write_report

    seq = loads(BASE.replace("shots = 2", "shots = 1").replace("duration_s = 1.0", "duration_s = 0.05"), "r.toml")
    publisher = sequence.publisher_of(seq, "lo", start_second=1_800_000_000)
    start = 1_800_000_000 * 10**9
    states = [StateRecord("prefault", 0, start, start + 50_000_000, "duration"),
              StateRecord("fault", 200, start + 50_000_000, start + 100_000_000, "timeout")]
    shot = ShotResult(1, states, [], [AssessmentResult("operate time", None, None, 15.0, 30.0, False)])
    result = SequenceResult(seq, [shot], started_ns=start, publisher=publisher, starts=[0, 200])
    times, values = result.samples(shot, 0.0, 0.0)
    assert len(values) == 8 and len(times) == len(values[0]) == 400  # from 0 to the end (100 ms), at 4000/s
    assert times[200] == 0.05
    # The fault keeps the prefault's phasors (it gives none): Ia in A, one sine across both states.
    expected = [round(100 * SQRT2 * math.sin(2 * math.pi * 50 * k / RATE) * 1000) / 1000 for k in range(400)]
    assert values[0] == expected
    path = tmp_path / "r.html"
    write_report(result, str(path))
    page = path.read_text()
    assert page.count("data:image/png;base64,") == 1
    assert "src='http" not in page and 'src="http' not in page and "<link" not in page
    assert "<td>prefault</td><td>after 0.05 s</td>" in page
    assert f"<td>fault</td><td>when {REF}#0 == true (timeout 0.5 s)</td>" in page
    assert "<td>1</td><td>operate time</td><td>no event</td><td>15 – 30 ms</td><td class=fail>FAIL</td>" in page
    assert "timed out: fault" in page and "<span class=fail>FAIL</span>" in page


@pytest.mark.parametrize("argv, message", [
    (["--plot", "x.svg"], "--plot writes a PNG picture: give a FILE.png, not 'x.svg'"),
    ([], "s.toml:1: top level, key shots: expected an integer from 1 to 1000000, got 0"),
])
def test_the_command_refuses_bad_files_and_options_as_usage_errors(tmp_path, monkeypatch, capsys, argv, message):
    from valdrin import cli

    monkeypatch.chdir(tmp_path)
    (tmp_path / "s.toml").write_text(BASE.replace("shots = 2", "shots = 0"))
    with pytest.raises(SystemExit) as exit_:
        cli.main(["sequence", "s.toml", "--iface", "lo", *argv])
    assert exit_.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"valdrin sequence: error: {message}"


def _engine(seq_argument):
    from valdrin.sv_publisher import _native_streams

    import valdrin_rt

    stream = sequence.stream_of(loads(BASE, "b.toml"))
    return valdrin_rt.Engine("lo", 4000, 1, _native_streams([stream], 1), 0, sequence=seq_argument)


CHANNEL = (False, [(1.0, 1.0, 0.0)])
STATE = (4, False, 50.0, None, 0.0, [CHANNEL] * 8)


@pytest.mark.parametrize("argument, error, message", [
    ((0, [STATE], 1), TypeError, "sequence must be a tuple of 2 items"),
    ((1, [STATE]), ValueError, "the sequence names a stream the engine does not have"),
    ((0, []), ValueError, "a sequence has 1 to 65534 states"),
    ((0, [STATE[:5] + ([CHANNEL] * 7,)]), ValueError, "every state must have as many channels as the stream"),
    ((0, [(4, False, math.nan, None, 0.0, [CHANNEL] * 8)]), ValueError,
     "a state's frequency, inception angle and time constant must be finite, the time constant not negative"),
    ((0, [STATE[:5] + ([(False, [(1.0, math.inf, 0.0)])] * 8,)]), ValueError,
     "a tone's order, amplitude and phase must be finite"),
    ((0, [STATE[:5] + ([(False, [(1.0, 1.0)])] * 8,)]), TypeError, "a tone must be a tuple of 3 items"),
])
def test_the_engine_refuses_a_sequence_that_does_not_fit_its_stream(argument, error, message):
    with pytest.raises(error) as caught:
        _engine(argument)
    assert str(caught.value) == message


def test_the_sequence_methods_of_an_engine_without_one_and_commands_out_of_range():
    plain = _engine(None)
    for call in (plain.sequence_status, lambda: plain.sequence_command(0, 0), lambda: plain.sequence_frames([], 0, 1)):
        with pytest.raises(ValueError, match="^the engine runs no sequence$"):
            call()
    engine = _engine((0, [STATE]))
    assert engine.sequence_status() == [(None, 0, None)]
    with pytest.raises(ValueError, match=r"^no such state, or a period beyond 2\*\*48$"):
        engine.sequence_command(1, 0)
    with pytest.raises(ValueError, match=r"^no such state, or a period beyond 2\*\*48$"):
        engine.sequence_command(0, 2**48)


def test_the_trigger_rules_name_each_until_condition_once_and_carry_the_next_state_s_delay():
    seq = loads(BASE.replace("timeout_s = 0.5", "timeout_s = 0.5\n[[state]]\nname = \"open\"\n"
                             "after_trigger_ms = 50\nduration_s = 0.1"), "seq.toml")
    conditions, rules = sequence.trigger_rules(seq)
    assert conditions == [(REF, 0, True)]
    # Two shots of prefault, fault (ended by condition 0, then 50 ms), open.
    assert rules == [(None, 0), (0, 50_000_000), (None, 0)] * 2


def test_the_trigger_also_follows_each_assessed_condition_that_ends_no_state():
    seq = loads(BASE.replace('event = "' + REF + '#0 == true"', 'event = "' + REF + '#1 == 2.5"'), "seq.toml")
    conditions, rules = sequence.trigger_rules(seq)
    # The assessed member is followed (its rises are the verdict's), though no state ends on it.
    assert conditions == [(REF, 0, True), (REF, 1, 2.5)]
    assert rules == [(None, 0), (0, 0)] * 2


# (trigger argument of a Monitor, exception, its message: why)
TRIGGER_ERRORS = [
    (lambda engine: ("engine", [], []), TypeError, "expected a valdrin_rt.Engine"),
    (lambda engine: (_engine(None), [], []), ValueError, "the engine runs no sequence"),
    (lambda engine: (engine, [], []), ValueError, "one trigger rule per state of the sequence"),
    (lambda engine: (engine, [], [(0, 0)]), ValueError,
     "a trigger rule names no condition or has a negative delay"),
    (lambda engine: (engine, [(REF, 0, True)], [(0, -1)]), ValueError,
     "a trigger rule names no condition or has a negative delay"),
    (lambda engine: (engine, [("", 0, True)], [(None, 0)]), ValueError, "the condition's gocbRef is empty"),
    (lambda engine: (engine, [("A" * 130, 0, True)], [(None, 0)]), ValueError,
     "the condition's gocbRef is longer than 129 characters"),
    (lambda engine: (engine, [(REF, 0, math.nan)], [(None, 0)]), ValueError,
     "the condition's value is not a finite number"),
    (lambda engine: (engine, [(REF, 0)], [(None, 0)]), TypeError, "a condition must be a tuple of 3 items"),
    (lambda engine: (engine, []), TypeError, "trigger must be a tuple of 3 items"),
]


@pytest.mark.parametrize("trigger, error, message", TRIGGER_ERRORS)
def test_a_monitor_refuses_a_trigger_that_does_not_fit_the_engine_s_sequence(trigger, error, message):
    import valdrin_rt

    engine = _engine((0, [STATE]))
    with pytest.raises(error) as caught:
        valdrin_rt.Monitor("lo", trigger=trigger(engine))
    assert str(caught.value) == message


def test_a_monitor_s_trigger_status_before_any_trigger():
    import valdrin_rt

    engine = _engine((0, [STATE, STATE]))
    monitor = valdrin_rt.Monitor("lo", trigger=(engine, [(REF, 0, True), (REF, 1, 2.5)], [(1, 0), (None, 0)]))
    assert monitor.trigger_status() == [(None, None), (None, None)]
    assert monitor.trigger_rises() == [([], 0), ([], 0)]
    with pytest.raises(ValueError, match="^the monitor has no trigger$"):
        valdrin_rt.Monitor("lo").trigger_status()
