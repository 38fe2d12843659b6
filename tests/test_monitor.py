"""valdrin.listen.Monitor and `valdrin monitor` on a veth pair inside a network
namespace of their own: counts that agree exactly with a plain receive socket,
chosen gaps, duplicates and reordering, GOOSE events, and failures."""

import json

import pytest

import netns

PRELUDE = """
import json, os, socket, struct, subprocess, sys, threading, time
from valdrin import sv
from valdrin.listen import Monitor
from listen_frames import RATE, SECOND, expected_counts, goose_frame, smp_cnts, sv_frames
from netns import wait_settled, wait_until

def sh(*commands):
    for command in commands:
        subprocess.run(command, shell=True, check=True, capture_output=True)

# va -> vb: frames are sent on va and captured on vb.
sh("ip link add va type veth peer name vb", "ip link set va up", "ip link set vb up")

def raw_socket(iface, rcvbuf=1 << 24):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind((iface, 0))
    return s

def wait_capturing(proc, limit=20.0):
    '''Waits until the process runs its capture thread (it captures from then on).'''
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            for task in os.listdir(f"/proc/{proc.pid}/task"):
                with open(f"/proc/{proc.pid}/task/{task}/comm") as comm:
                    if comm.read().strip() == "frame-capture":
                        return
        except OSError:
            pass
        time.sleep(0.02)
    raise RuntimeError("the monitor did not start capturing")

class Counter(threading.Thread):
    '''An independent receiver on vb: the smpCnt of every SV frame, in arrival order.'''
    def __init__(self):
        super().__init__(daemon=True)
        self.sock = raw_socket("vb")
        self.sock.settimeout(0.2)
        self.counters, self.running = [], True
        self.start()
    def run(self):
        while self.running:
            try:
                frame, address = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            if address[2] != socket.PACKET_OUTGOING:
                self.counters += smp_cnts(frame)
    def stop(self):
        self.running = False
        self.join()
        return self.counters
"""


def in_netns(body, timeout=90):
    return netns.in_netns(PRELUDE, body, timeout)


def test_publisher_with_random_loss_counts_exactly():
    reason = netns.nft_egress_reason()
    if reason:
        pytest.skip(reason)
    result = in_netns("""
        sh('nft add table netdev loss',
           'nft add chain netdev loss out "{ type filter hook egress device \\\\"va\\\\" priority 0; }"')
        waves = [sv.Wave(100_000.0, -120.0 * k, 50.0) for k in range(8)]
        stream = sv.Stream("MU01", waves, dst_mac="01:0c:cd:04:00:01", app_id=0x4001)
        counter = Counter()
        with Monitor("vb") as monitor:
            start = int(time.time()) + 1
            with sv.Publisher("va", [stream], rate=4000, start_second=start):
                # Loss only once the first wrap has been seen whole: a stream
                # that loses its last counter before it learns the wrap one
                # lower, as the rule says, which an unwrapping count would not.
                time.sleep(max(0.0, start + 1.2 - time.time()))
                sh('nft add rule netdev loss out numgen random mod 100 "<" 2 drop')
                time.sleep(max(0.0, start + 3.5 - time.time()))
            # The publisher has stopped: the counts grow until both readers
            # have taken what the kernel queued for them, the same frames.
            def both():
                counts = wait_settled(lambda: (len(counter.counters), monitor.report().sv[0]["frames"]),
                                      "the frames received by the plain socket and the monitor")
                return counts[0] == counts[1]
            wait_until(both, "the plain socket and the monitor at the same count")
            report = monitor.report()
        counters = counter.stop()
        s = report.sv[0]
        print(json.dumps({"monitor": [s["frames"], s["lost"], s["duplicated"], s["out_of_order"], s["wrap"]],
                          "expected": [len(counters), *expected_counts(counters, 4000)],
                          "drops": report.capture["kernel_drops"]}))
    """)
    frames, lost, duplicated, out_of_order, wrap = result["monitor"]
    assert [frames, lost, duplicated, out_of_order] == result["expected"]
    assert wrap == 4000 and result["drops"] == 0
    assert lost > 0  # the loss rule did drop some (2 % of about 9000 frames)


@pytest.mark.parametrize("ring", [
    {},                                          # the default: V3, 1 ms blocks
    {"ring": "v3", "block_timeout_ms": 20},      # blocks mostly handed over by their timer
    {"ring": "v2"},                              # a wake-up per frame
    {"ring": "v2", "coalesce_us": 500},          # frames gathered between passes
])
def test_chosen_gaps_duplicates_and_reordering(ring):
    result = in_netns(f"""
        ring = {ring!r}
        numbers = list(range(9000))
        for n in (100, 101, 7999, 8000):
            numbers.remove(n)
        numbers.insert(500, 499)                 # a duplicate
        numbers[700], numbers[701] = numbers[701], numbers[700]   # a swap
        counters = [n % 4000 for n in numbers]
        frames = sv_frames(counters)
        out = raw_socket("va")
        with Monitor("vb", **ring) as monitor:
            for k, (_, frame) in enumerate(frames):
                out.send(frame)
                if k % 200 == 0:
                    time.sleep(0.005)      # bounded: 9000 frames, about 0.3 s
            wait_until(lambda: monitor.report().sv[0]["frames"] >= len(counters), "every frame counted")
            s = monitor.report().sv[0]
        print(json.dumps({{"got": [s["frames"], s["lost"], s["duplicated"], s["out_of_order"]],
                          "expected": [len(counters), *expected_counts(counters, 4000)]}}))
    """)
    assert result["got"] == result["expected"]
    assert result["expected"][1:] == [4, 1, 1]  # four never sent, one sent twice, one pair swapped


def test_goose_state_changes_and_tal_expiry_as_events():
    result = in_netns("""
        out = raw_socket("va")
        with Monitor("vb") as monitor:
            # TAL 2 s: ten times more than a loaded machine delays the sends.
            for st, sq, value in ((1, 0, False), (1, 1, False), (2, 0, True)):
                out.send(goose_frame(st, sq, value=value, tal_ms=2000))
                time.sleep(0.05)
            events = []
            deadline = time.monotonic() + 20.0
            while time.monotonic() < deadline and not any(e.kind == "tal_expired" for e in events):
                events += monitor.next_events(0.1)
            g = monitor.report().goose[0]
        kinds = [e.kind for e in events]
        change = next(e for e in events if e.kind == "goose_state_change")
        print(json.dumps({"kinds": kinds, "values": change.details["values"], "st": change.details["st_num"],
                          "counts": [g["frames"], g["state_changes"], g["tal_expired"]]}))
    """)
    assert result["kinds"] == ["goose_block_seen", "goose_state_change", "tal_expired"]
    assert (result["values"], result["st"]) == ([True, 2], 2)
    assert result["counts"] == [3, 1, 1]


def test_frames_waiting_in_a_v3_block_are_not_late():
    # Blocks handed over every 1000 ms at most while a frame comes every
    # 50 ms with a TAL of 500 ms (ten times the gap: a loaded machine's late
    # send does not expire it): judged against the idle pass's clock, each
    # block's wait would count as an expiry; judged 1000 ms and a tick in the
    # past, only the real one after the last frame counts.
    result = in_netns("""
        out = raw_socket("va")
        with Monitor("vb", ring="v3", block_timeout_ms=1000) as monitor:
            for sq in range(20):
                out.send(goose_frame(1, sq, tal_ms=500))
                time.sleep(0.05)
            sent_last = time.time_ns()
            events = []
            deadline = time.monotonic() + 20.0
            while time.monotonic() < deadline and not any(e.kind == "tal_expired" for e in events):
                events += monitor.next_events(0.1)
            g = monitor.report().goose[0]
        expiry = next((e for e in events if e.kind == "tal_expired"), None)
        print(json.dumps({"kinds": [e.kind for e in events], "counts": [g["frames"], g["tal_expired"]],
                          "expired_after_last": expiry is not None and expiry.time_ns > sent_last}))
    """)
    assert result["kinds"] == ["goose_block_seen", "tal_expired"]
    assert result["counts"] == [20, 1]
    assert result["expired_after_last"]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"ring": "v4"}, ValueError, "ring must be 'v2' or 'v3'"),
    ({"ring": "V3"}, ValueError, "ring must be 'v2' or 'v3'"),
    ({"ring": 3}, TypeError, "argument 'ring': 'int' object cannot be converted to 'PyString'"),  # as for iface
    ({"block_timeout_ms": 0}, ValueError, "block_timeout_ms must be between 1 and 1000"),
    ({"block_timeout_ms": 1001}, ValueError, "block_timeout_ms must be between 1 and 1000"),
    ({"ring": "v2", "block_timeout_ms": 1}, ValueError, "block_timeout_ms applies to ring 'v3' only"),
    ({"coalesce_us": 10_001}, ValueError, "coalesce_us must be between 0 and 10000"),
    ({"coalesce_us": 1.5}, TypeError, "argument 'coalesce_us': 'float' object cannot be interpreted as an integer"),
])
def test_ring_option_errors(kwargs, error, message):
    from valdrin.listen import Monitor
    with pytest.raises(error) as raised:
        Monitor("vb", **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize("kwargs", [
    {"ring": "v2"}, {"ring": "v3", "block_timeout_ms": 1000}, {"block_timeout_ms": 1}, {"coalesce_us": 10_000},
    {"ring": "v2", "coalesce_us": 0},
])
def test_ring_options_at_their_bounds_are_taken(kwargs):
    from valdrin.listen import Monitor
    assert Monitor("vb", **kwargs).running is False


@pytest.mark.parametrize("args, message", [
    (["--ring", "v1"], "argument --ring: invalid choice: 'v1' (choose from 'v3', 'v2')"),
    (["--block-timeout", "0"], "argument --block-timeout: must be between 1 and 1000, got 0"),
    (["--block-timeout", "1ms"], "argument --block-timeout: not a whole number: '1ms'"),
    (["--coalesce", "10001"], "argument --coalesce: must be between 0 and 10000, got 10001"),
    (["--ring", "v2", "--block-timeout", "5"], "--block-timeout applies to --ring v3 only"),
])
def test_monitor_command_ring_usage_errors(args, message):
    import subprocess
    import sys
    proc = subprocess.run([sys.executable, "-m", "valdrin", "monitor", "--iface", "nope0", *args],
                          capture_output=True, text=True, timeout=20)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.splitlines()[-1] == f"valdrin monitor: error: {message}"


def test_interface_removed_while_capturing_ends_with_its_reason():
    result = in_netns("""
        monitor = Monitor("vb")
        monitor.start()
        sh("ip link del va")          # takes vb with it
        deadline = time.monotonic() + 5
        while monitor.running and time.monotonic() < deadline:
            time.sleep(0.01)
        t = time.monotonic()
        monitor.stop()
        print(json.dumps({"running": monitor.running, "failure": monitor.failure,
                          "stop_s": time.monotonic() - t}))
    """)
    assert result["running"] is False
    assert result["failure"] == "interface vb went away"
    assert result["stop_s"] < 1.0


@pytest.mark.parametrize("iface, message", [
    ("nope0", "interface nope0: No such device (os error 19)"),
    ("", "bad interface name"),
])
def test_start_errors(iface, message):
    result = in_netns(f"""
        try:
            Monitor({iface!r}).start()
            print(json.dumps(None))
        except OSError as error:
            print(json.dumps(str(error)))
    """)
    assert result == message


def test_stop_is_prompt_without_traffic_and_start_again_works():
    result = in_netns("""
        monitor = Monitor("vb")
        times = []
        for _ in range(3):
            monitor.start()
            time.sleep(0.05)
            t = time.monotonic()
            monitor.stop()
            times.append(time.monotonic() - t)
        print(json.dumps({"max_stop_s": max(times), "running": monitor.running}))
    """)
    # Loose: a stop that waits for traffic or a long timeout, not jitter.
    assert result["running"] is False and result["max_stop_s"] < 1.0


def test_monitor_command_stops_on_ctrl_c_and_prints_one_json_object():
    result = in_netns("""
        import signal
        out = raw_socket("va")
        proc = subprocess.Popen([sys.executable, "-m", "valdrin", "monitor", "--iface", "vb", "--json"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_capturing(proc)
        counter = Counter()
        for _, frame in sv_frames(range(400)):   # bounded: 400 frames
            out.send(frame)
        # A plain socket on vb has them all: so has the monitor's ring, whose
        # open block the stop hands over.
        wait_until(lambda: len(counter.counters) == 400, "400 frames on vb")
        counter.stop()
        proc.send_signal(signal.SIGINT)            # Ctrl-C
        stdout, stderr = proc.communicate(timeout=20)
        print(json.dumps({"code": proc.returncode, "stdout": stdout, "stderr": stderr}))
    """)
    assert result["code"] == 0, result["stderr"]
    lines = result["stdout"].splitlines()
    assert len(lines) == 1
    report = json.loads(lines[0])
    assert report["sv"][0]["sv_id"] == "MU01" and report["sv"][0]["frames"] == 400
    assert report["capture"]["kernel_drops"] == 0


def test_monitor_command_without_the_interface_is_one_line():
    result = in_netns("""
        proc = subprocess.run([sys.executable, "-m", "valdrin", "monitor", "--iface", "nope0"],
                              capture_output=True, text=True, timeout=20)
        print(json.dumps({"code": proc.returncode, "stdout": proc.stdout, "stderr": proc.stderr}))
    """)
    assert result == {"code": 1, "stdout": "", "stderr": "valdrin: interface nope0: No such device (os error 19)\n"}


def test_random_octets_under_the_process_bus_ethertypes_are_counted_not_fatal():
    # Random octets (with a plausible APPID header in front of half of them)
    # never make a PDU: a savPdu or goosePdu needs its tag, nested lengths
    # that add up and every mandatory field, so all 300 are malformed. Valid
    # frames between them still decode, each counted for its stream.
    result = in_netns("""
        import random
        rng = random.Random(7)
        out = raw_socket("va")
        valid = [frame for _, frame in sv_frames(range(6))]
        with Monitor("vb") as monitor:
            for n in range(300):    # bounded: 300 frames and 12 valid ones
                ethertype = rng.choice((b"\\x88\\xba", b"\\x88\\xb8"))
                body = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 200)))
                if rng.random() < 0.5:   # a plausible APPID header in front
                    body = struct.pack(">HHHH", 0x4000, 8 + len(body), 0, 0) + body
                frame = bytes.fromhex("010ccd040001020000000001") + ethertype + body
                out.send(frame.ljust(60, b"\\0"))          # the shortest Ethernet frame
                if n % 50 == 49:
                    out.send(valid[n // 50])
                    out.send(goose_frame(1, n // 50))
            wait_until(lambda: monitor.report().frames >= 312, "every frame counted")
            report = monitor.report()
            running = monitor.running
        print(json.dumps({"running": running, "frames": report.frames, "malformed": report.malformed,
                          "sv": [s["frames"] for s in report.sv], "goose": [g["frames"] for g in report.goose]}))
    """)
    assert result == {"running": True, "frames": 312, "malformed": 300, "sv": [6], "goose": [6]}


def test_monitor_command_reports_goose_findings_and_their_events():
    result = in_netns("""
        out = raw_socket("va")
        proc = subprocess.Popen([sys.executable, "-m", "valdrin", "monitor", "--iface", "vb", "--duration", "3",
                                 "--json", "--events"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env={"COLUMNS": "300", "PATH": "/usr/bin:/bin"})
        wait_capturing(proc)  # each frame counts here
        # t advances on a heartbeat, then stNum advances with t kept.
        for st, sq, t, value in ((1, 0, SECOND, False), (1, 1, SECOND + 1, False), (2, 0, SECOND + 1, True)):
            out.send(goose_frame(st, sq, value=value, timestamp=t))
            time.sleep(0.05)
        stdout, stderr = proc.communicate(timeout=20)
        print(json.dumps({"code": proc.returncode, "stdout": stdout, "stderr": stderr}))
    """)
    assert result["code"] == 0, result["stderr"]
    (block,) = json.loads(result["stdout"])["goose"]
    assert block["frames"] == 3
    assert block["findings"] == {
        "values_changed_without_state_change": 0, "state_changed_without_values_change": 0,
        "t_changed_without_state_change": 1, "t_unchanged_at_state_change": 1, "sq_restarts": 0,
        "entries_mismatch": 0, "strict_deviations": {}, "type_changed_without_conf_rev": 0,
        "entries_changed_without_conf_rev": 0}
    # With --json the events are in the JSON object, not on standard error.
    events = json.loads(result["stdout"])["events"]
    assert [(e["finding"], e["text"]) for e in events if e["kind"] == "goose_finding"] == [
        ("t_changed_without_state_change", "t changed within stNum 1"),
        ("t_unchanged_at_state_change", "stNum 1 to 2 with the same t")]
    assert [e["kind"] for e in events if e["kind"].startswith("goose_")] == [
        "goose_block_seen", "goose_finding", "goose_state_change", "goose_finding"]
    assert "did not" not in result["stderr"]


@pytest.mark.parametrize("args, ring, block_timeout_ms", [
    ([], "v3", 10),                                   # the command's own default: ~100 wake-ups/s on a busy link
    (["--block-timeout", "1"], "v3", 1),              # as asked, the Monitor's own default
    (["--ring", "v3", "--block-timeout", "250"], "v3", 250),
    (["--ring", "v2"], "v2", None),                   # V2 has no blocks
])
def test_monitor_command_block_timeout(monkeypatch, args, ring, block_timeout_ms):
    from valdrin.cli import main
    from valdrin.cli import monitor as command
    seen = {}

    class Refusing:
        def __init__(self, iface, **kwargs):
            seen.update(kwargs)

        def start(self):
            raise OSError("interface nope0: No such device (os error 19)")

    monkeypatch.setattr(command, "Monitor", Refusing)
    assert main(["monitor", "--iface", "nope0", *args]) == 1
    assert (seen["ring"], seen["block_timeout_ms"]) == (ring, block_timeout_ms)
