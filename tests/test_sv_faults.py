"""The SV publisher's fault knobs on a veth in a namespace of the test's own:
one stream per knob, each knob's effect counted by valdrin's Monitor and,
independently, by a plain AF_PACKET socket whose frames the test decodes
itself; a stream without faults stays clean. Also the knobs' argument
checks, which need no network."""

import pytest

import netns
from valdrin import goose, sv
from valdrin.inject import Kind, Mask, parse, steps

SV_PARSER = r'''
import struct
def tlv(data, at):
    """(tag, content start, content end) of the TLV at `at` (short and 0x81/0x82 lengths)."""
    tag, first = data[at], data[at + 1]
    if first < 0x80:
        return tag, at + 2, at + 2 + first
    n = first & 0x7F
    size = int.from_bytes(data[at + 2:at + 2 + n], "big")
    return tag, at + 2 + n, at + 2 + n + size
def decode(raw):
    """(APPID, simulation bit, [(smpCnt, confRev, smpSynch, [quality per channel]) per ASDU])."""
    app_id, _, reserved1 = struct.unpack_from(">HHH", raw, 14)
    _, pdu, _ = tlv(raw, 22)                  # savPdu
    _, c, end = tlv(raw, pdu)                 # noASDU
    _, seq, seq_end = tlv(raw, end)           # seqASDU
    asdus, at = [], seq
    while at < seq_end:
        _, c, asdu_end = tlv(raw, at)
        fields = {}
        while c < asdu_end:
            tag, s, e = tlv(raw, c)
            fields[tag] = raw[s:e]
            c = e
        sample = fields[0x87]
        quality = [int.from_bytes(sample[i + 4:i + 8], "big") for i in range(0, len(sample), 8)]
        asdus.append((int.from_bytes(fields[0x82], "big"), int.from_bytes(fields[0x83], "big"),
                      fields[0x85][0], quality))
        at = asdu_end
    return app_id, reserved1 >> 15, asdus
'''

BODY = SV_PARSER + r'''
import json, socket, struct, subprocess, threading, time
from valdrin import goose, sv
from valdrin.cli.publish import default_waves
from valdrin.listen import Monitor
from netns import wait_until, wait_settled
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
RATE = 1000
ONE_SHOT = [("drop", 3), ("duplicate", 2), ("swap", 1), ("jump", 5), ("silence", 0.3)]
LASTING = [("quality", "invalid"), ("smp_synch", 2), ("conf_rev", 7), ("simulation", True)]
KNOBS = ONE_SHOT + LASTING + [("none", 0)]
streams = [sv.Stream(f"MU{i:02d}", default_waves(), app_id=0x4000 + i, conf_rev=3, smp_synch=1)
           for i in range(len(KNOBS))]
wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88BA))
wire.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE
wire.bind(("vb", 0))
wire.settimeout(0.2)
received, reading = [], True
def read():
    while reading:
        try:
            received.append(wire.recv(2048))
        except socket.timeout:
            pass
reader = threading.Thread(target=read)
reader.start()
def frames():
    return [s["frames"] for s in sorted(monitor.report().sv, key=lambda s: s["app_id"])]
def each_sent(more, since):
    return lambda: len(frames()) == len(KNOBS) and all(n >= s + more for n, s in zip(frames(), since))
with Monitor("vb") as monitor:
    publisher = sv.Publisher("va", streams, RATE)
    with publisher:
        wait_until(each_sent(200, [0] * len(KNOBS)), "200 frames of every stream")
        for i, (knob, value) in enumerate(KNOBS):
            if knob == "quality":
                publisher.fault(i, knob, value, channels=[1, 6])
            elif knob != "none":
                publisher.fault(i, knob, value)
        wait_until(each_sent(500, frames()), "500 more frames of every stream (the silent one too)")
        for i, (knob, value) in enumerate(KNOBS):
            if (knob, value) in LASTING:
                publisher.fault(i, knob, None)
        wait_until(each_sent(200, frames()), "200 frames of every stream after the lasting knobs' end")
    wait_settled(frames, "the monitor's frame counts")
    report = sorted(monitor.report().sv, key=lambda s: s["app_id"])
reading = False
reader.join()
drops = struct.unpack("II", wire.getsockopt(263, 6, 8))[1]  # PACKET_STATISTICS: tp_drops
wire.close()
by_stream = {}
for raw in received:
    app_id, simulation, asdus = decode(raw)
    for smp_cnt, conf_rev, smp_synch, quality in asdus:
        by_stream.setdefault(app_id - 0x4000, []).append((smp_cnt, conf_rev, smp_synch, simulation, quality))
def wire_counts(seq):
    lost = duplicated = backward = 0
    newest = None
    seen = set()
    for smp, *_ in seq:
        if newest is not None:
            step = (smp - newest) % RATE
            if smp == newest or (smp in seen and step > RATE // 2):
                duplicated += 1
                continue
            if step > RATE // 2:
                backward += 1
                lost -= 1  # it fills a gap counted before
                seen.add(smp)
                continue
            lost += step - 1
        newest = smp
        seen.add(smp)
    changes = lambda key: sum(key(a) != key(b) for a, b in zip(seq, seq[1:]))
    return {"lost": lost, "duplicated": duplicated, "out_of_order": backward,
            "conf_rev_changes": changes(lambda f: f[1]), "smp_synch_changes": changes(lambda f: f[2]),
            "simulation_changes": changes(lambda f: f[3]),
            "quality_changes": [changes(lambda f, j=j: f[4][j]) for j in range(8)],
            "qualities": sorted({q for f in seq for q in f[4]})}
KEYS = ["lost", "duplicated", "out_of_order", "conf_rev_changes", "smp_synch_changes", "simulation_changes",
        "quality_changes"]
print(json.dumps({"monitor": {k: {key: s[key] for key in KEYS} for (k, _), s in zip(KNOBS, report)},
                  "wire": {k: wire_counts(by_stream[i]) for i, (k, _) in enumerate(KNOBS)},
                  "drops": drops, "stats": publisher.stats()}))
'''

ZERO = {"lost": 0, "duplicated": 0, "out_of_order": 0, "conf_rev_changes": 0, "smp_synch_changes": 0,
        "simulation_changes": 0, "quality_changes": [0] * 8}


def quality_of(counts):
    return counts.get("quality_changes", [0] * 8)


# (knob, what the monitor and the wire count, reason)
EXPECTED = [
    ("drop", {"lost": 3}, "three frames of one ASDU never sent"),
    ("duplicate", {"duplicated": 2}, "two frames sent twice"),
    ("swap", {"out_of_order": 1}, "a pair in reverse order: the late one is out of order, nothing lost"),
    ("jump", {"lost": 5}, "smpCnt ahead by 5: five samples never seen"),
    ("quality", {"quality_changes": [0, 2, 0, 0, 0, 0, 2, 0]}, "invalid on channels 1 and 6, set then cleared"),
    ("smp_synch", {"smp_synch_changes": 2}, "1 -> 2 -> 1"),
    ("conf_rev", {"conf_rev_changes": 2}, "3 -> 7 -> 3"),
    ("simulation", {"simulation_changes": 2}, "the bit set, then cleared"),
    ("none", {}, "no knob: clean"),
]


@pytest.fixture(scope="module")
def live():
    return netns.in_netns("", BODY, timeout=120)


@pytest.mark.parametrize("knob, counts, reason", EXPECTED, ids=[row[0] for row in EXPECTED])
def test_each_knob_counted_by_the_monitor_and_on_the_wire(live, knob, counts, reason):
    assert live["drops"] == 0, "the plain socket missed frames: its counts prove nothing"
    # The monitor sums the channels' quality changes; the wire counts each channel's.
    assert live["monitor"][knob] == {**ZERO, **counts, "quality_changes": sum(quality_of(counts))}, reason
    wire = dict(live["wire"][knob])
    qualities = wire.pop("qualities")
    assert wire == {**ZERO, **counts}, reason
    assert qualities == ([0, 1] if knob == "quality" else [0]), reason


def test_silence_loses_its_span_of_samples_alike_on_both_sides(live):
    monitor, wire = live["monitor"]["silence"], dict(live["wire"]["silence"])
    del wire["qualities"]
    assert monitor == {**wire, "quality_changes": 0}
    assert 295 <= monitor["lost"] <= 305  # 0.3 s at 1000 frames/s, set between two frames
    assert {**wire, "lost": 0} == ZERO
    assert live["stats"]["send_errors"] == 0


# --- argument checks, no network ------------------------------------------------


@pytest.fixture(scope="module")
def publisher():
    return sv.Publisher("lo", [sv.Stream("MU01", [sv.Wave(1.0)] * 4)], 4000, start_second=1_700_000_000)


@pytest.mark.parametrize("args, error, message", [
    ((0, "nope", 1), ValueError, "no such fault knob: 'nope' (one of drop, duplicate, swap, jump, silence, quality, "
                                 "smp_synch, conf_rev, simulation, delay, prp_drop_a, prp_drop_b, prp_loss_a, "
                                 "prp_loss_b, prp_delay_a, prp_delay_b, prp_repeat_seq, prp_wrong_lan, prp_bad_size)"),
    ((0, "prp_drop_a", 1), ValueError, "a PRP knob needs a publisher on two LANs (prp_b, --prp IF_A,IF_B)"),
    ((0, "prp_wrong_lan", None), ValueError, "a PRP knob needs a publisher on two LANs (prp_b, --prp IF_A,IF_B)"),
    ((1, "drop", 1), ValueError, "no such stream"),
    ((0, "drop", 0), ValueError, "fault value out of range"),
    ((0, "jump", 65536), ValueError, "fault value out of range"),
    ((0, "smp_synch", 256), ValueError, "fault value out of range"),
    ((0, "conf_rev", -1), ValueError, "fault value out of range"),
    ((0, "delay", 1_000_001), ValueError, "fault value out of range"),
    ((0, "silence", -1), ValueError, "fault value out of range"),
    ((0, "drop", None), ValueError, "only a lasting knob can be cleared"),
    ((0, "quality", "bad"), ValueError, "no quality bit 'bad' (one of invalid, questionable, overflow, "
                                        "out_of_range, bad_reference, oscillatory, failure, old_data, inconsistent, "
                                        "inaccurate, substituted, test, operator_blocked, derived)"),
    ((0, "conf_rev", 5, [0]), ValueError, "conf_rev takes no channels"),
], ids=lambda v: None)
def test_knob_arguments_are_checked(publisher, args, error, message):
    with pytest.raises(error) as caught:
        publisher.fault(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("knob, value, message", [
    ("prp_loss_a", 101, "fault value out of range"),
    ("prp_delay_b", 10_001, "fault value out of range"),
    ("prp_delay_a", 1_000_001, "fault value out of range"),
    ("prp_repeat_seq", 0, "fault value out of range"),
])
def test_prp_knob_arguments_are_checked(knob, value, message):
    # A LAN's delay up to 10 ms, many frame periods (500 µs here).
    node = sv.Publisher("lo", [sv.Stream("MU01", [sv.Wave(1.0)] * 4)], 4000, asdus_per_frame=2,
                        start_second=1_700_000_000, prp_b="lo2")
    node.fault(0, "prp_delay_b", 10_000)
    with pytest.raises(ValueError) as caught:
        node.fault(0, knob, value)
    assert str(caught.value) == message


def test_quality_on_a_channel_the_stream_lacks(publisher):
    with pytest.raises(ValueError, match="^no such channel in the stream$"):
        publisher.fault(0, "quality", 1, channels=[4])


def test_knob_table_kinds_and_quality_names():
    assert {name: knob.kind for name, knob in sv.FAULT_KNOBS.items()} == {
        "drop": Kind.COUNT, "duplicate": Kind.COUNT, "swap": Kind.ACTION, "jump": Kind.COUNT,
        "silence": Kind.SPAN, "quality": Kind.MASK, "smp_synch": Kind.NUMBER, "conf_rev": Kind.NUMBER,
        "simulation": Kind.FLAG, "delay": Kind.DELAY, "prp_drop_a": Kind.COUNT, "prp_drop_b": Kind.COUNT,
        "prp_loss_a": Kind.NUMBER, "prp_loss_b": Kind.NUMBER, "prp_delay_a": Kind.DELAY, "prp_delay_b": Kind.DELAY,
        "prp_repeat_seq": Kind.COUNT, "prp_wrong_lan": Kind.FLAG, "prp_bad_size": Kind.FLAG}
    assert [name for name, knob in sv.FAULT_KNOBS.items() if knob.prp] == [
        name for name in sv.FAULT_KNOBS if name.startswith("prp_")]
    # GOOSE's PRP knobs are SV's of the same name, alike in kind.
    assert {name: (knob.kind, knob.prp) for name, knob in goose.INJECT_KNOBS.items() if knob.prp} == {
        name: (sv.FAULT_KNOBS[name].kind, True) for name in sv.FAULT_KNOBS if name.startswith("prp_")}
    # IEC 61850-7-3's quality bits, bit 0 first: validity 01 invalid, 11 questionable; test bit 11; derived 13.
    assert (sv.QUALITY_BITS["invalid"], sv.QUALITY_BITS["questionable"], sv.QUALITY_BITS["test"],
            sv.QUALITY_BITS["derived"]) == (0x1, 0x3, 0x800, 0x2000)


@pytest.mark.parametrize("text, value, streams", [
    ("quality=invalid,test:0-3@1+2/2", Mask(0x801, (0, 1, 2, 3)), (1,)),
    ("quality=0x2000", Mask(0x2000, None), None),
    ("drop=3@2/1,3-4", 3, (0, 2, 3)),
    ("delay=2ms/1", 2_000_000, (0,)),
])
def test_inject_reads_the_engine_knobs_with_streams(text, value, streams):
    injection = parse(text, sv.FAULT_KNOBS, streams=True)
    assert (injection.value, injection.streams) == (value, streams)
    assert {step.streams for step in steps([injection])} == {streams}


@pytest.mark.parametrize("text, message", [
    ("quality=bogus", "'quality=bogus': no quality bit 'bogus' (one of invalid, questionable, overflow, out_of_range, "
                      "bad_reference, oscillatory, failure, old_data, inconsistent, inaccurate, substituted, test, "
                      "operator_blocked, derived, or a number)"),
    ("drop/0", "'drop/0': streams count from 1"),
    ("drop/x", "'drop/x': not a whole number: 'x'"),
])
def test_inject_errors_name_the_fault(text, message):
    from valdrin.inject import InjectError
    with pytest.raises(InjectError) as caught:
        parse(text, sv.FAULT_KNOBS, streams=True)
    assert str(caught.value) == message


DELAY_BODY = SV_PARSER + r'''
import json, socket, statistics, struct, subprocess, time
from valdrin import goose, sv
from valdrin.cli.publish import default_waves
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
RATE = 4000
wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88BA))
wire.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)          # SO_RCVBUFFORCE
wire.setsockopt(socket.SOL_SOCKET, 35, 1)                  # SO_TIMESTAMPNS
wire.bind(("vb", 0))
wire.settimeout(5.0)  # the first frame waits for the next whole second
def latencies(seconds):
    """Receive stamp minus the sampling instant (UNIX second + smpCnt / rate) of every frame for `seconds`, in µs."""
    out, end = [], time.monotonic() + seconds
    while time.monotonic() < end:
        raw, ancillary, _, _ = wire.recvmsg(2048, 64)
        stamp = next(struct.unpack("qq", data[:16]) for level, kind, data in ancillary if kind == 35)  # SCM_TIMESTAMPNS
        stamp_ns = stamp[0] * 10**9 + stamp[1]
        smp = decode(raw)[2][0][0]
        offset = smp * 10**9 // RATE
        second = (stamp_ns - offset) // 10**9
        out.append((stamp_ns - (second * 10**9 + offset)) / 1e3)
    return out
publisher = sv.Publisher("va", [sv.Stream("MU01", default_waves(), smp_synch=2)], RATE)
before, during = [], []
with publisher:
    latencies(0.3)                         # the start settles
    # Without and with the delay in turns, so that a load that comes and goes weighs on both alike.
    for _ in range(4):
        before += latencies(0.25)
        publisher.fault(0, "delay", 2000)  # µs
        latencies(0.05)                    # the frames held back by the change
        during += latencies(0.25)
        publisher.fault(0, "delay", None)
        latencies(0.05)                    # the burst of the release
print(json.dumps({"before": statistics.median(before), "during": statistics.median(during),
                  "counts": [len(before), len(during)], "stats": publisher.stats()}))
'''


def test_delay_raises_the_latency_from_the_sampling_instant_by_its_span():
    result = netns.in_netns("", DELAY_BODY, timeout=120)
    # Frames keep coming at the rate, the samples unchanged: only their departure moves.
    assert all(count > 3000 for count in result["counts"]), result  # 1 s of each at 4000 frames/s
    assert result["during"] - result["before"] == pytest.approx(2000, abs=200), result
    assert result["stats"]["send_errors"] == 0


CLI_BODY = r'''
import json, subprocess
from valdrin.cli import main
from valdrin.listen import Monitor
from netns import wait_settled
subprocess.run("ip link add va type veth peer name vb && ip link set va up && ip link set vb up", shell=True, check=True)
with Monitor("vb") as monitor:
    status = main(["publish", "--iface", "va", "--duration", "2", "--rate", "1000", "--streams", "2",
                   "--inject", "drop=5@0.5/2", "--inject", "quality=test:0@0.5+0.5/1", "--inject", "jump=3@1"])
    # The counts settle; a stopped stream's outage keeps growing, so not the whole report.
    counts = wait_settled(lambda: [(s["asdus"], s["lost"], s["quality_changes"])
                                   for s in sorted(monitor.report().sv, key=lambda s: s["app_id"])],
                          "the monitor's counts")
    capture = monitor.report().capture
print(json.dumps({"status": status, "counts": counts, "capture": capture}))
'''


def test_publish_inject_acts_at_its_offsets_on_its_streams():
    result = netns.in_netns("", CLI_BODY, timeout=120)
    assert result["status"] == 0
    assert result["capture"]["kernel_drops"] == 0, result["capture"]
    # 2 s at 1000 frames/s; stream 1: jump 3 and quality test on Ia set and cleared;
    # stream 2: 5 frames dropped and the jump.
    assert result["counts"] == [[2000, 3, 2], [1995, 8, 0]]


@pytest.mark.parametrize("argv, message", [
    (["--iface", "lo", "--streams", "2", "--inject", "drop/3"], "--inject drop: stream 3 is not published (--streams 2)"),
    (["--pcap", "x.pcap", "--duration", "1", "--inject", "drop"], "--inject needs --iface: the knobs act on the "
                                                                   "publisher's thread"),
    (["--iface", "lo", "--inject", "drop=1@2+1"], "argument --inject: 'drop=1@2+1': drop happens once, it takes no +FOR"),
    (["--iface", "lo", "--inject", "drop@1", "--inject", "prp_delay_b=100us@2+1"],
     "--inject prp_delay_b acts on PRP's LANs: it needs --prp IF_A,IF_B"),
    (["--prp", "lo,lo2", "--inject", "prp_loss_a=101"], "--inject prp_loss_a: fault value out of range"),
    (["--prp", "lo,lo2", "--inject", "prp_delay_b=11ms@1+1"], "--inject prp_delay_b: fault value out of range"),
    (["--iface", "lo", "--inject", "smp_synch=256@1"], "--inject smp_synch: fault value out of range"),
])
def test_publish_inject_usage_errors(capsys, argv, message):
    from valdrin.cli import main
    with pytest.raises(SystemExit) as exited:
        main(["publish", *argv])
    assert exited.value.code == 2
    assert capsys.readouterr().err.strip().endswith(f"error: {message}")


BEFORE_START_BODY = SV_PARSER + r'''
import json, socket, time
from valdrin import sv
wire = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x88BA))
wire.bind(("lo", 0))
wire.settimeout(3.0)
publisher = sv.Publisher("lo", [sv.Stream("MU01", [sv.Wave(1.0)] * 4, conf_rev=3)], 1000, periods=40)
publisher.fault(0, "conf_rev", 7)
publisher.fault(0, "drop", 2)
chosen = publisher.start_second
while time.time() < chosen + 0.1:  # past the chosen second: start() picks the next and builds the engine again
    time.sleep(0.02)
with publisher:
    seen = []
    while len(seen) < 38:
        raw, address = wire.recvfrom(2048)
        if address[2] != socket.PACKET_OUTGOING:  # lo shows each frame leaving and arriving
            seen.append(decode(raw)[2][0][:2])
print(json.dumps({"moved": publisher.start_second > chosen, "seen": seen}))
'''


def test_knobs_set_before_start_hold_when_the_start_second_moves():
    result = netns.in_netns("", BEFORE_START_BODY, timeout=60)
    assert result["moved"]
    # The two frames dropped, then smpCnt 2... with confRev 7 from the first frame sent.
    assert result["seen"] == [[smp, 7] for smp in range(2, 40)]


@pytest.mark.parametrize("text, said", [
    ("prp_delay_b=2ms@1", "set prp_delay_b=2ms on every stream at +1 s"),
    ("delay=250us/2", "set delay=250us on stream 2 at +0 s"),
    ("silence=1.5s@3", "set silence=1500ms on every stream at +3 s"),
    ("drop=4@2", "set drop=4 on every stream at +2 s"),
])
def test_publish_says_each_step_with_its_time_as_written(text, said):
    from valdrin.cli.publish import _step_text
    (step,) = steps([parse(text, sv.FAULT_KNOBS, streams=True)])
    assert _step_text(step) == said
