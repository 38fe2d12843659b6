"""valdrin goose publish --prp and goose.Publisher(prp_b=...): two veth pairs
in a network namespace of the test's own (va -> vb LAN A, wa -> wb LAN B).
Every GOOSE frame on both LANs with its trailer, one sequence number per
node shared with the supervision frames, and before the trailer the very
octets of the frame a non-redundant run renders for that state."""

import subprocess
import sys

import pytest

import netns
from goose_pub_frames import block
from test_prp_live import PRELUDE
from valdrin import goose

GOOSE = PRELUDE + """
import sys
from valdrin import goose
from valdrin.data import BoolData, IntData
from goose_pub_frames import block

GOOSE_TYPE, SUPERVISION_TYPE = bytes([0x88, 0xB8]), bytes([0x88, 0xFB])

def of_type(recorder, ethertype):
    return [f for _, f in list(recorder.records) if f[12:14] == ethertype]

def trailer(frame):
    '''(sequence number, LAN id, LSDU size, suffix) of the frame's last six octets.'''
    t = frame[-6:]
    return int.from_bytes(t[0:2], "big"), t[2] >> 4, (t[2] & 0x0F) << 8 | t[3], t[4:6].hex()
"""


def in_netns(body, timeout=90):
    return netns.in_netns(GOOSE, body, timeout)


def test_every_frame_on_both_lans_as_a_plain_run_renders_it():
    result = in_netns("""
        a, b = Recorder("vb"), Recorder("wb")
        states = {1: [BoolData(False), IntData(7)], 2: [BoolData(True), IntData(8)]}
        publisher = goose.Publisher("va", [block(4.0, 64.0)], prp_b="wa")
        with publisher:
            wait_until(lambda: len(of_type(b, GOOSE_TYPE)) >= 6, "frames 0..5 of stNum 1")
            publisher.publish(0, states[2])
            wait_until(lambda: len(of_type(b, GOOSE_TYPE)) >= 12, "frames of stNum 2")
        stats = publisher.stats()
        wait_until(lambda: len(of_type(a, GOOSE_TYPE)) + len(of_type(b, GOOSE_TYPE)) == stats["frames_sent"],
                   "every frame sent received")
        a.stop("/dev/null"), b.stop("/dev/null")
        out = {"stats": stats, "lans": {}}
        for name, recorder in (("a", a), ("b", b)):
            frames = [f for _, f in recorder.records if f[12:14] in (GOOSE_TYPE, SUPERVISION_TYPE)]
            rendered = []
            for f in frames:
                if f[12:14] != GOOSE_TYPE:
                    rendered.append(None)
                    continue
                d = goose.decode_frame(f[:-6], strict=True)
                # t back to an instant that gives the same t: ceil(fraction * 1e9 / 2^24) ns into its second.
                change_ns = d.t.seconds * 1_000_000_000 + -(-d.t.fraction * 1_000_000_000 // (1 << 24))
                _, plain = publisher.render(0, states[d.st_num], d.st_num, d.sq_num, d.sq_num, change_ns)
                rendered.append(plain.hex())
            out["lans"][name] = {"frames": [f.hex() for f in frames], "rendered": rendered,
                                 "trailers": [trailer(f) for f in frames]}
        print(json.dumps(out))
    """)
    lans, stats = result["lans"], result["stats"]
    assert stats["send_errors"] == 0
    goose_frames = [[f for f in lans[lan]["frames"] if f[24:28] == "88b8"] for lan in "ab"]
    assert len(goose_frames[0]) == len(goose_frames[1]) >= 12
    assert stats["frames_sent"] == 2 * len(goose_frames[0])
    for lan, lan_id in (("a", 0xA), ("b", 0xB)):
        got = lans[lan]
        seqs = [t[0] for t in got["trailers"]]
        # One counter for the node, supervision frames included, none skipped.
        assert seqs == list(range(len(seqs))), lan
        assert all(t[1] == lan_id and t[3] == "88fb" for t in got["trailers"]), lan
        assert all(t[2] == len(f) // 2 - 14 for t, f in zip(got["trailers"], got["frames"])), lan
        supervision = [f for f in got["frames"] if f[24:28] == "88fb"]
        assert len(supervision) >= 1, lan
        for frame, plain in zip(got["frames"], got["rendered"]):
            if plain is not None:
                assert frame[:-12] == plain, (lan, frame)
    # Both copies of each frame carry the same number and, before it, the same octets.
    assert [t[0] for t in lans["a"]["trailers"]] == [t[0] for t in lans["b"]["trailers"]]
    assert [f[:-12] for f in goose_frames[0]] == [f[:-12] for f in goose_frames[1]]


def test_command_on_both_lans():
    result = in_netns("""
        a, b = Recorder("vb"), Recorder("wb")
        proc = subprocess.run([sys.executable, "-m", "valdrin", "goose", "publish", "--prp", "va,wa",
                               "--gocb-ref", "IED1LD0/LLN0$GO$gcb1", "--app-id", "1", "--dst-mac", "01:0c:cd:01:00:01",
                               "--value", "bool:false", "--min-time", "4", "--max-time", "64", "--duration", "0.5",
                               "--json"], capture_output=True, text=True, timeout=30)
        stats = json.loads(proc.stdout) if proc.returncode == 0 else None
        if stats:
            wait_until(lambda: len(of_type(a, GOOSE_TYPE)) + len(of_type(b, GOOSE_TYPE)) == stats["frames_sent"],
                       "every frame sent received")
        link = json.loads(subprocess.run(["ip", "-j", "link", "show", "va"], capture_output=True, text=True).stdout)
        mac = link[0]["address"].replace(":", "")
        print(json.dumps({"code": proc.returncode, "stderr": proc.stderr, "stats": stats, "mac": mac,
                          "src": sorted({f[6:12].hex() for f in of_type(a, GOOSE_TYPE) + of_type(b, GOOSE_TYPE)}),
                          "on": [len(of_type(r, GOOSE_TYPE)) for r in (a, b)],
                          "lan_ids": sorted({f[-4] >> 4 for f in of_type(a, GOOSE_TYPE)} |
                                            {0x10 | f[-4] >> 4 for f in of_type(b, GOOSE_TYPE)})}))
    """)
    assert result["code"] == 0, result["stderr"]
    assert result["stats"]["send_errors"] == 0
    assert result["on"][0] == result["on"][1] >= 6
    assert result["stats"]["frames_sent"] == sum(result["on"])
    assert result["src"] == [result["mac"]], "LAN A's interface is the node's MAC"
    assert result["lan_ids"] == [0xA, 0x1B]


def test_prp_usage_error():
    proc = subprocess.run([sys.executable, "-m", "valdrin", "goose", "publish", "--prp", "va,va", "--gocb-ref", "X",
                           "--app-id", "1", "--dst-mac", "01:0c:cd:01:00:01"], capture_output=True, text=True,
                          timeout=20)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.splitlines()[-1] == ("valdrin goose publish: error: argument --prp: expected two different "
                                            "interfaces IF_A,IF_B, got 'va,va'")


@pytest.mark.parametrize("knob", ["prp_drop_a", "prp_bad_size"])
def test_prp_knobs_need_lan_b(knob):
    publisher = goose.Publisher("lo", [block(2.0, 8.0)])   # not started: nothing sent
    with pytest.raises(ValueError) as caught:
        publisher.fault(0, knob, 1)
    assert str(caught.value) == f"{knob} acts on PRP's LANs: it needs a publisher with prp_b"


def test_fault_knobs_against_the_monitor_and_independent_counts():
    """Each PRP knob in turn on a running publisher; valdrin.listen.Monitor on
    both LANs counts what the recorders on each LAN saw."""
    result = in_netns("""
        from valdrin.listen import Monitor
        a, b = Recorder("vb"), Recorder("wb")
        def on_b():
            return len(of_type(b, GOOSE_TYPE))
        with Monitor("vb", prp_b="wb") as monitor:
            publisher = goose.Publisher("va", [block(2.0, 8.0, tal_factor=50)], prp_b="wa")
            def seqs(recorder):
                return [trailer(f)[0] for f in of_type(recorder, GOOSE_TYPE)]
            def missing(count, lan, other):
                '''`count` numbers came on `other` only, and `lan` has a later frame (they are not on their way).'''
                gone = set(seqs(other)) - set(seqs(lan))
                return len(gone) >= count and max(seqs(lan), default=-1) > max(gone, default=0)
            marked = {"prp_wrong_lan": lambda: any(trailer(f)[1] != 0xA for f in of_type(a, GOOSE_TYPE)),
                      "prp_bad_size": lambda: any(trailer(f)[2] != len(f) - 14 for f in of_type(b, GOOSE_TYPE))}
            with publisher:
                wait_until(lambda: on_b() >= 5, "the first frames")
                publisher.fault(0, "prp_drop_a", 3)   # counts consume themselves, one per frame
                wait_until(lambda: missing(3, a, b), "three frames on LAN B only")
                publisher.fault(0, "prp_drop_b", 2)
                wait_until(lambda: missing(2, b, a), "two frames on LAN A only")
                for knob, seen in marked.items():   # flags: held until a marked frame came, then cleared
                    publisher.fault(0, knob, 1)
                    wait_until(seen, knob)
                    publisher.fault(0, knob, 0)
                end = on_b() + 20
                wait_until(lambda: on_b() >= end, "frames after the faults")
            stats = publisher.stats()
            wait_until(lambda: len(of_type(a, GOOSE_TYPE)) + on_b() == stats["frames_sent"], "every frame sent")
        (g,) = monitor.report().goose
        numbers = {"a": seqs(a), "b": seqs(b)}
        trailers = [(lan, trailer(f), len(f)) for lan, r in (("A", a), ("B", b)) for f in of_type(r, GOOSE_TYPE)]
        print(json.dumps({"prp": g["prp"], "lost": g["lost"],
                          "only_b": len(set(numbers["b"]) - set(numbers["a"])),
                          "only_a": len(set(numbers["a"]) - set(numbers["b"])),
                          "wrong_lan": sum(1 for lan, t, _ in trailers if t[1] != {"A": 0xA, "B": 0xB}[lan]),
                          "bad_size": sum(1 for _, t, n in trailers if t[2] != n - 14)}))
    """)
    prp = result["prp"]
    assert (result["only_b"], result["only_a"]) == (3, 2)
    assert (prp["lost_a"], prp["lost_b"], prp["lost_both"], result["lost"]) == (3, 2, 0, 0)
    assert result["wrong_lan"] > 0 and result["bad_size"] > 0
    assert (prp["wrong_lan"], prp["bad_size"]) == (result["wrong_lan"], result["bad_size"])


def test_loss_and_delay_of_one_lan():
    """prp_loss_a on one run, prp_delay_b on another, each set before the start: the monitor's
    counts against the recorders of both LANs."""
    result = in_netns("""
        import statistics
        from valdrin.listen import Monitor
        def run(knob, value, frames):
            a, b = Recorder("vb"), Recorder("wb")
            with Monitor("vb", prp_b="wb") as monitor:
                publisher = goose.Publisher("va", [block(2.0, 4.0, tal_factor=50)], prp_b="wa")
                publisher.fault(0, knob, value)
                with publisher:
                    wait_until(lambda: len(of_type(b, GOOSE_TYPE)) >= frames, f"{frames} frames on LAN B")
                    # Those on LAN A of the numbers B has, some 10 ms on (a delayed LAN's copies are on their way).
                    time.sleep(0.02)
                stats = publisher.stats()
                wait_until(lambda: len(of_type(a, GOOSE_TYPE)) + len(of_type(b, GOOSE_TYPE)) == stats["frames_sent"],
                           "every frame sent")
                wait_settled(lambda: monitor.report().goose[0]["prp"], "the monitor's PRP counts")
                (g,) = monitor.report().goose
            stamps = {lan: {trailer(f)[0]: t for t, f in list(r.records) if f[12:14] == GOOSE_TYPE}
                      for lan, r in (("a", a), ("b", b))}
            skews = [(stamps["b"][n] - stamps["a"][n]) / 1e3 for n in stamps["a"] if n in stamps["b"]]
            return {"prp": g["prp"], "lost": g["lost"], "only_b": len(set(stamps["b"]) - set(stamps["a"])),
                    "only_a": len(set(stamps["a"]) - set(stamps["b"])), "on_b": len(stamps["b"]),
                    "skew_us": statistics.median(skews)}
        print(json.dumps({"loss": run("prp_loss_a", 20, 500), "delay": run("prp_delay_b", 3000, 200)}))
    """)
    loss, delay = result["loss"], result["delay"]
    # 20 % of about 500 at random: 100, a binomial's sigma 9.
    assert 50 < loss["only_b"] < 150 and loss["only_a"] == 0, loss
    assert (loss["prp"]["lost_a"], loss["prp"]["lost_b"], loss["prp"]["lost_both"], loss["lost"]) == \
        (loss["only_b"], 0, 0, 0), loss
    # 3 ms on LAN B: every frame on both, B's copy 3 ms after A's.
    assert (delay["only_a"], delay["only_b"], delay["prp"]["lost_both"], delay["lost"]) == (0, 0, 0, 0), delay
    assert delay["skew_us"] == pytest.approx(3000, abs=300), delay
    assert delay["prp"]["skew_us"]["median"] == pytest.approx(delay["skew_us"], rel=0.02, abs=2), delay
