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


def in_netns(body, timeout=90):
    return netns.in_netns(PRELUDE, body, timeout)


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
