"""PRP on two LANs: two veth pairs in a network namespace of the test's own
(va -> vb LAN A, wa -> wb LAN B). The publisher's trailers as tshark's PRP
dissector reads them; losses on one LAN against an independent count on its
receiver; the skew of a LAN B delayed by 300 µs."""

import json
import shutil
import subprocess

import pytest

import netns
from valdrin.pcap import read_pcap

PRELUDE = """
import json, socket, struct, subprocess, threading, time
from valdrin import sv
from valdrin.listen import analyze
from valdrin.pcap import write_header, write_record
from netns import wait_settled, wait_until

def sh(*commands):
    for command in commands:
        subprocess.run(command, shell=True, check=True, capture_output=True)

sh("ip link add va type veth peer name vb", "ip link add wa type veth peer name wb",
   *(f"ip link set {i} up" for i in ("va", "vb", "wa", "wb")))

SO_TIMESTAMPNS = 35

class Recorder(threading.Thread):
    '''Every frame received on `iface` with its kernel stamp (one clock for both LANs).'''
    def __init__(self, iface):
        super().__init__(daemon=True)
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 24)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind((iface, 0))
        self.sock.settimeout(0.2)
        self.records, self.running = [], True
        self.start()
    def run(self):
        while self.running:
            try:
                frame, ancillary, _, address = self.sock.recvmsg(2048, 64)
            except socket.timeout:
                continue
            if address[2] == socket.PACKET_OUTGOING:
                continue
            seconds, nanoseconds = struct.unpack("qq", ancillary[0][2][:16])
            self.records.append((seconds * 1_000_000_000 + nanoseconds, frame))
    def stop(self, path):
        wait_settled(lambda: len(self.records), "the frames received")
        self.running = False
        self.join()
        with open(path, "wb") as out:
            write_header(out)
            for t, frame in self.records:
                write_record(out, t, frame)
        return path

def publish(publisher, frames):
    '''Runs `publisher` (bounded) until it has sent or failed to send `frames`.'''
    def done():
        stats = publisher.stats()
        return stats["frames_sent"] + stats["send_errors"] >= frames
    with publisher:
        wait_until(done, "the publisher's frames", limit=30)
    return publisher.stats()

def stream(app_id=0x4001):
    waves = [sv.Wave(100_000.0, -120.0 * k, 50.0) for k in range(8)]
    return sv.Stream(f"MU{app_id:04x}", waves, dst_mac="01:0c:cd:04:00:01", app_id=app_id)
"""


def in_netns(body, timeout=90, prelude=""):
    return netns.in_netns(PRELUDE + prelude, body, timeout)


def tshark_fields(path, *fields):
    """The fields of every frame of `path` as tshark's dissectors read them, PRP enabled."""
    command = ["tshark", "-r", str(path), "-o", "prp.enable:TRUE", "-T", "fields", "-E", "separator=|"]
    for field in fields:
        command += ["-e", field]
    run = subprocess.run(command, capture_output=True, text=True, check=True)
    return [line.split("|") for line in run.stdout.splitlines()]


@pytest.mark.skipif(shutil.which("tshark") is None, reason="tshark is not installed")
def test_trailers_as_tshark_reads_them(tmp_path):
    result = in_netns(f"""
        a, b = Recorder("vb"), Recorder("wb")
        start = int(time.time()) + 1
        publisher = sv.Publisher("va", [stream(0x4001), stream(0x4002)], rate=4000, start_second=start,
                                 periods=400, prp_b="wa")
        stats = publish(publisher, 2 * 2 * 400)
        plain = [publisher.render(i, start, smp) for smp in range(3) for i in range(2)]
        print(json.dumps({{"stats": stats, "a": a.stop({str(tmp_path / "a.pcap")!r}),
                          "b": b.stop({str(tmp_path / "b.pcap")!r}), "plain": [f.hex() for f in plain]}}))
    """)
    assert result["stats"]["frames_sent"] == 2 * 2 * 400 and result["stats"]["send_errors"] == 0
    fields = ("frame.len", "eth.type", "prp.trailer.prp_sequence_nr", "prp.trailer.prp_lan", "prp.trailer.prp_size",
              "hsr_prp_supervision.tlv.type")
    # The PRP node's frames (a veth also carries the kernel's IPv6 neighbour discovery).
    lans = {lan: [r for r in tshark_fields(result[lan], *fields) if r[1] in ("0x88ba", "0x88fb")] for lan in ("a", "b")}
    for lan, rows in lans.items():
        sv_rows = [r for r in rows if r[1] == "0x88ba"]
        supervision = [r for r in rows if r[1] == "0x88fb"]
        assert len(sv_rows) == 800, lan
        # TLV 20 (a node doing duplicate discard), then the end (0).
        assert len(supervision) >= 1 and all(r[5] == "20,0" for r in supervision), lan
        for length, _, seq, lan_id, size, _ in rows:
            assert lan_id == {"a": "10", "b": "11"}[lan], (lan, seq)
            assert int(size) == int(length) - 14, (lan, seq)
    # The same sequence number on both copies of every frame, one more per frame.
    seqs = [[int(r[2]) for r in lans[lan]] for lan in ("a", "b")]
    assert seqs[0] == seqs[1]
    assert seqs[0] == list(range(len(seqs[0]))), "one counter for the node, supervision frames included"
    # The SV octets before the trailer are those of a run without PRP.
    frames = [bytes.fromhex(f) for f in result["plain"]]
    received = [p.data for p in read_pcap(result["a"]) if p.data[12:14] == b"\x88\xba"][:6]
    assert [f[:-6] for f in received] == frames


def test_loss_on_lan_a_only(tmp_path):
    reason = netns.nft_egress_reason()
    if reason:
        pytest.skip(reason)
    result = in_netns(f"""
        sh('nft add table netdev loss',
           'nft add chain netdev loss out "{{ type filter hook egress device \\\\"va\\\\" priority 0; }}"',
           'nft add rule netdev loss out numgen random mod 100 "<" 5 drop')
        a, b = Recorder("vb"), Recorder("wb")
        publisher = sv.Publisher("va", [stream()], rate=4000, start_second=int(time.time()) + 1,
                                 periods=4000, prp_b="wa")
        sent = publish(publisher, 2 * 4000)["frames_sent"]
        path_a, path_b = a.stop({str(tmp_path / "a.pcap")!r}), b.stop({str(tmp_path / "b.pcap")!r})
        report = analyze(path_a, prp_b=path_b)
        (s,) = report.sv
        on_a = sum(1 for _, f in a.records if f[12:14] == bytes([0x88, 0xBA]))
        on_b = sum(1 for _, f in b.records if f[12:14] == bytes([0x88, 0xBA]))
        print(json.dumps({{"prp": s["prp"], "lost": s["lost"], "frames": s["frames"], "on_a": on_a, "on_b": on_b,
                          "sent": sent}}))
    """)
    prp = result["prp"]
    # The frames nftables drops count as send errors on LAN A.
    assert result["on_b"] == 4000 and result["sent"] == 4000 + result["on_a"]
    assert 0 < 4000 - result["on_a"] < 400, "about 5 % dropped on LAN A"
    assert prp["lost_a"] == 4000 - result["on_a"], "each frame LAN A lost came on LAN B only"
    assert (prp["lost_b"], prp["lost_both"], result["lost"], result["frames"]) == (0, 0, 0, 4000)
    assert (prp["frames_a"], prp["frames_b"]) == (result["on_a"], 4000)


def test_lan_b_300_us_late(tmp_path):
    """A sender of the test's own: each frame on LAN A, then 300 µs later its twin
    on LAN B (this kernel has no netem to delay a LAN)."""
    result = in_netns(f"""
        import valdrin_rt
        a, b = Recorder("vb"), Recorder("wb")
        send_a = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        send_a.bind(("va", 0))
        send_b = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        send_b.bind(("wa", 0))
        publisher = sv.Publisher("va", [stream()], rate=4000, start_second=1_700_000_000)
        deadline = time.monotonic() + 20
        for smp in range(400):
            if time.monotonic() > deadline:
                break
            frame = publisher.render(0, 1_700_000_000, smp)
            frame = frame[:6] + bytes.fromhex("020000000009") + frame[12:]
            send_a.send(valdrin_rt.prp_trailer(frame, smp, "A"))
            due = time.perf_counter_ns() + 300_000
            while time.perf_counter_ns() < due:
                pass
            send_b.send(valdrin_rt.prp_trailer(frame, smp, "B"))
            time.sleep(0.001)
        report = analyze(a.stop({str(tmp_path / "a.pcap")!r}), prp_b=b.stop({str(tmp_path / "b.pcap")!r}))
        (s,) = report.sv
        stamps = dict()
        for lan, recorder in (("a", a), ("b", b)):
            for t, f in recorder.records:
                stamps.setdefault(f[-6:-4], {{}})[lan] = t
        skews = sorted(v["b"] - v["a"] for v in stamps.values() if len(v) == 2)
        print(json.dumps({{"prp": s["prp"], "median_us": skews[(len(skews) + 1) // 2 - 1] / 1000, "pairs": len(skews)}}))
    """)
    prp = result["prp"]
    assert result["pairs"] == 400 and prp["skew_us"]["median"] == pytest.approx(result["median_us"], rel=0.016)
    assert prp["skew_us"]["median"] == pytest.approx(300, abs=50)
    assert prp["skew_us"]["min"] > 0
    assert (prp["lost_a"], prp["lost_b"]) == (0, 0)


def test_knobs_on_a_prp_node_act_on_both_lans_alike(tmp_path):
    # Periods the knobs change go out frame by frame rather than in the one
    # batch per LAN: each copy still carries its trailer, the two LANs the
    # same frames with the same numbers, and the node's counter has no gap.
    result = in_netns(f"""
        from valdrin.pcap import read_pcap
        a, b = Recorder("vb"), Recorder("wb")
        start = int(time.time()) + 1
        publisher = sv.Publisher("va", [stream(0x4001), stream(0x4002)], rate=4000, start_second=start,
                                 periods=400, prp_b="wa")
        with publisher:
            publisher.fault(0, "duplicate", 3)
            publisher.fault(1, "drop", 2)
            wait_until(lambda: publisher.stats()["frames_sent"] + publisher.stats()["send_errors"] >= 2 * 801,
                       "the publisher's frames", limit=30)
        stats = publisher.stats()
        lans = {{}}
        for lan, recorder in (("a", a), ("b", b)):
            path = recorder.stop({str(tmp_path)!r} + f"/{{lan}}.pcap")
            frames = [p.data for p in read_pcap(path) if p.data[12:14] == bytes.fromhex("88ba")]
            lans[lan] = [(f[14:16].hex(), int.from_bytes(f[-6:-4], "big"), f[-4] >> 4, f[-2:].hex()) for f in frames]
        print(json.dumps({{"stats": stats, "lans": lans}}))
    """)
    assert result["stats"]["frames_sent"] == 2 * 801 and result["stats"]["send_errors"] == 0
    a, b = result["lans"]["a"], result["lans"]["b"]
    assert [app for app, *_ in a].count("4001") == 403 and [app for app, *_ in a].count("4002") == 398
    assert [(app, seq) for app, seq, *_ in a] == [(app, seq) for app, seq, *_ in b]
    assert {(lan, suffix) for *_, lan, suffix in a} == {(0xA, "88fb")}
    assert {(lan, suffix) for *_, lan, suffix in b} == {(0xB, "88fb")}
    # SV frames and supervision frames share the counter: the SV numbers only rise.
    seqs = [seq for _, seq, *_ in a]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)


# --- The SV publisher's PRP knobs --------------------------------------------

SV_FRAMES = """
def sv_frames(recorder):
    return [(t, f) for t, f in recorder.records if f[12:14] == bytes([0x88, 0xBA])]
def trailers(recorder):
    '''(sequence number, LAN id, LSDU size, frame length, APPID) of each SV frame received.'''
    return [(int.from_bytes(f[-6:-4], "big"), f[-4] >> 4, (f[-4] & 0xF) << 8 | f[-3], len(f),
             int.from_bytes(f[14:16], "big")) for _, f in sv_frames(recorder)]
def counts(monitor):
    '''(APPID, lost, PRP counts) of each stream, once the frames came: the monitor, stopped, has
    settled each number whose copy on one LAN never came.'''
    wait_settled(lambda: [s["frames"] for s in monitor.report().sv], "the monitor's frames")
    monitor.stop()
    return sorted((s["app_id"], s["lost"], json.dumps(s.get("prp"))) for s in monitor.report().sv)
"""


def test_sv_prp_knobs_counted_by_the_monitor_and_on_each_lan():
    """Each counting and flag knob in turn on a running node; the monitor on
    both LANs against what the plain recorders on each LAN saw."""
    result = in_netns(body="""
        from valdrin.listen import Monitor
        a, b = Recorder("vb"), Recorder("wb")
        def seqs(recorder):
            return [t[0] for t in trailers(recorder)]
        def missing(count, lan, other):
            '''`count` numbers came on `other` only, and `lan` has a later frame (they are not on their way).'''
            gone = set(seqs(other)) - set(seqs(lan))
            return len(gone) >= count and max(seqs(lan), default=-1) > max(gone, default=0)
        def repeats(recorder):
            numbers = seqs(recorder)
            return len(numbers) - len(set(numbers))
        marked = {"prp_wrong_lan": lambda: any(t[1] != 0xA for t in trailers(a)),
                  "prp_bad_size": lambda: any(t[2] != t[3] - 14 for t in trailers(b))}
        with Monitor("vb", prp_b="wb") as monitor:
            publisher = sv.Publisher("va", [stream()], rate=1000, start_second=int(time.time()) + 1, prp_b="wa")
            with publisher:
                wait_until(lambda: len(sv_frames(b)) >= 20, "the first frames")
                publisher.fault(0, "prp_drop_a", 3)   # counts consume themselves, one per frame
                wait_until(lambda: missing(3, a, b), "three frames on LAN B only")
                publisher.fault(0, "prp_drop_b", 2)
                wait_until(lambda: missing(2, b, a), "two frames on LAN A only")
                publisher.fault(0, "prp_repeat_seq", 2)
                wait_until(lambda: repeats(a) >= 2 and repeats(b) >= 2, "two numbers again")
                for knob, seen in marked.items():   # flags: held until a marked frame came, then cleared
                    publisher.fault(0, knob, True)
                    wait_until(seen, knob)
                    publisher.fault(0, knob, None)
                end = len(sv_frames(b)) + 20
                wait_until(lambda: len(sv_frames(b)) >= end, "frames after the faults")
            sent = publisher.stats()["frames_sent"]
            wait_until(lambda: len(sv_frames(a)) + len(sv_frames(b)) == sent, "every frame sent")
            ((_, lost, prp),) = counts(monitor)
        numbers = {"a": seqs(a), "b": seqs(b)}
        marks = [(lan, t) for lan, r in (("A", a), ("B", b)) for t in trailers(r)]
        print(json.dumps({"prp": json.loads(prp), "lost": lost, "repeats": repeats(a) + repeats(b),
                          "only_b": len(set(numbers["b"]) - set(numbers["a"])),
                          "only_a": len(set(numbers["a"]) - set(numbers["b"])),
                          "wrong_lan": sum(1 for lan, t in marks if t[1] != {"A": 0xA, "B": 0xB}[lan]),
                          "bad_size": sum(1 for _, t in marks if t[2] != t[3] - 14),
                          "frames": [len(sv_frames(a)), len(sv_frames(b))]}))
    """, prelude=SV_FRAMES)
    prp = result["prp"]
    assert (result["only_b"], result["only_a"], result["repeats"]) == (3, 2, 4)
    # The repeated numbers are discarded as duplicates: their samples are what neither LAN delivered.
    assert (prp["lost_a"], prp["lost_b"], prp["lost_both"], result["lost"]) == (3, 2, 2, 2)
    assert prp["repeated"] == result["repeats"]
    assert result["wrong_lan"] > 0 and result["bad_size"] > 0
    assert (prp["wrong_lan"], prp["bad_size"]) == (result["wrong_lan"], result["bad_size"])
    assert [prp["frames_a"], prp["frames_b"]] == result["frames"]


def test_sv_prp_loss_a_drops_its_share_on_lan_a_only():
    result = in_netns(body="""
        from valdrin.listen import Monitor
        a, b = Recorder("vb"), Recorder("wb")
        with Monitor("vb", prp_b="wb") as monitor:
            publisher = sv.Publisher("va", [stream()], rate=4000, start_second=int(time.time()) + 1,
                                     periods=4000, prp_b="wa")
            publisher.fault(0, "prp_loss_a", 10)   # before the first frame
            with publisher:   # each period's copy on LAN A leaves before LAN B's
                wait_until(lambda: len(sv_frames(b)) == 4000, "LAN B's frames", limit=30)
            sent = publisher.stats()["frames_sent"]
            wait_until(lambda: len(sv_frames(a)) + len(sv_frames(b)) == sent, "every frame sent")
            ((_, lost, prp),) = counts(monitor)
        print(json.dumps({"prp": json.loads(prp), "lost": lost, "sent": sent,
                          "on": [len(sv_frames(a)), len(sv_frames(b))]}))
    """, prelude=SV_FRAMES)
    prp, (on_a, on_b) = result["prp"], result["on"]
    # 10 % of 4000 at random: 400, a binomial's sigma 19.
    assert on_b == 4000 and 300 < 4000 - on_a < 500, result
    assert (prp["lost_a"], prp["lost_b"], prp["lost_both"], result["lost"]) == (4000 - on_a, 0, 0, 0)
    assert (prp["frames_a"], prp["frames_b"]) == (on_a, on_b)
    assert result["sent"] == on_a + on_b, "a frame left out is not a frame sent"


def test_sv_prp_delay_b_skews_lan_b_by_its_span():
    # 4000 samples/s, one ASDU a frame: 250 µs periods. LAN B's copies of
    # stream 1 leave 300 µs late, in the next period; those of stream 2
    # 2 ms late, eight periods on, while the stream's own delay of 300 µs
    # moves both its copies.
    result = in_netns(body="""
        import statistics
        from valdrin.listen import Monitor
        a, b = Recorder("vb"), Recorder("wb")
        with Monitor("vb", prp_b="wb") as monitor:
            publisher = sv.Publisher("va", [stream(0x4001), stream(0x4002)], rate=4000,
                                     start_second=int(time.time()) + 1, periods=1000, prp_b="wa")
            publisher.fault(0, "prp_delay_b", 300)    # µs
            publisher.fault(1, "prp_delay_b", 2000)
            publisher.fault(1, "delay", 300)
            stats = publish(publisher, 2 * 2 * 1000)
            wait_until(lambda: len(sv_frames(a)) + len(sv_frames(b)) == 4000, "every frame received")
            streams = counts(monitor)
        skews = {}
        stamps = {}
        for lan, recorder in (("a", a), ("b", b)):
            for t, f in sv_frames(recorder):
                stamps.setdefault(f[-6:-4], {})[lan] = (t, int.from_bytes(f[14:16], "big"))
        for pair in stamps.values():
            skews.setdefault(pair["a"][1], []).append((pair["b"][0] - pair["a"][0]) / 1000)
        print(json.dumps({"stats": stats, "streams": [(app, lost, json.loads(prp)) for app, lost, prp in streams],
                          "median_us": {app: statistics.median(s) for app, s in skews.items()},
                          "pairs": {app: len(s) for app, s in skews.items()}}))
    """, prelude=SV_FRAMES)
    assert result["stats"]["frames_sent"] == 4000 and result["stats"]["send_errors"] == 0
    assert result["pairs"] == {"16385": 1000, "16386": 1000}
    for app, lost, prp in result["streams"]:
        assert (lost, prp["lost_a"], prp["lost_b"]) == (0, 0, 0), app
        assert prp["skew_us"]["min"] > 0, app
        assert prp["skew_us"]["median"] == pytest.approx({16385: 300, 16386: 2000}[app], abs=100), app
        # The monitor's histogram, within its 1.6 % buckets, against the plain sockets' stamps.
        assert prp["skew_us"]["median"] == pytest.approx(result["median_us"][str(app)], rel=0.02, abs=2), app
