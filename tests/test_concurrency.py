"""Threads against the module: rendering, encoding and decoding while engines
publish, stop() racing start(), engines disposed of while their transmit thread
runs. Nothing may deadlock (every join and every namespace run has a timeout),
crash, or change one octet: each frame rendered or decoded under contention
must equal the one computed alone beforehand, and each SV frame captured from
the wire the one Engine.render gives for its instant. Whatever opens a packet
socket runs in a network namespace of its own and sends on its loopback only.
"""

from __future__ import annotations

import sys
import threading

import pytest

import netns
import valdrin_rt
from valdrin import sv
from valdrin.data import ArrayData, BoolData, FloatData, IntData, StructureData, TimestampData
from valdrin.goose import GoosePDU
from valdrin.sv_publisher import _native_streams

JOIN_TIMEOUT = 30.0
RATE, ASDUS = 4000, 2


def sv_streams() -> list:
    """Three streams of two ASDUs: plain waves, a fault window every second, a playback of 100 rows."""
    waves = [sv.Wave(1000.0 * (i + 1), -120.0 * i, 50.0, 0.0, 10.0, 0x4000 * (i % 2)) for i in range(4)]
    fault = sv.Fault([sv.Wave(9000.0, 10.0 * i, 50.0) for i in range(4)], cycle_s=1, duration_s=0.3)
    playback = sv.Playback([[i * 4 + c for c in range(4)] for i in range(100)])
    return [sv.Stream("MU01", waves, app_id=0x4000, smp_synch=2),
            sv.Stream("MU02", waves, app_id=0x4001, fault=fault, vlan_id=7, smp_rate=4000, smp_mod=1),
            sv.Stream("MU03", waves, app_id=0x4002, playback=playback, dat_set="MU03/LLN0$DS")]


def engine(start_second: int = 1_700_000_000):
    return valdrin_rt.Engine("lo", RATE, ASDUS, _native_streams(sv_streams(), ASDUS), start_second)


# Inside and outside the fault window, over the playback's wrap-around and smpCnt's whole range.
INSTANTS = [(j, second, smp) for j in range(3) for second in (1_700_000_000, 1_700_000_001, 1_700_000_007, -5, 2**40)
            for smp in (0, 2, 1000, 1198, 1200, 3998)]


def references(eng) -> dict:
    """Everything the workers compute, computed once on one thread."""
    frames = {instant: eng.render(*instant) for instant in INSTANTS}
    pdu = GoosePDU("IED1/LLN0$GO$gcb1", "IED1/LLN0$DS1", go_id="G1", st_num=9, sq_num=3, all_data=[
        BoolData(True), IntData(-7), FloatData(0.1, True), TimestampData(1_700_000_000, 10),
        StructureData([IntData(1), ArrayData([BoolData(False)] * 5)])])
    goose_frame = valdrin_rt.encode_goose_frame(pdu, b"\x01\x0c\xcd\x01\x00\x01", b"\x02" * 6, 3, 10, 4)
    return {"frames": frames, "pdu": pdu, "goose_apdu": valdrin_rt.encode_goose_pdu(pdu), "goose_frame": goose_frame,
            "decoded": {instant: valdrin_rt.decode_sv_frame(frame) for instant, frame in frames.items()},
            "goose_decoded": valdrin_rt.decode_goose_frame(goose_frame, True)}


def refused(call, *args):
    try:
        call(*args)
    except ValueError:
        return True
    return False


def worker(eng, refs: dict, kind: int, rounds: int, failures: list, start: threading.Barrier):
    """Renders (kind 0), decodes SV (1) or runs the GOOSE codecs and refusals (2)
    `rounds` times, recording every result that differs from its reference."""
    start.wait(JOIN_TIMEOUT)
    frames, decoded = refs["frames"], refs["decoded"]
    order = INSTANTS[kind::2] + INSTANTS[1 - kind::2] if kind < 2 else INSTANTS[::-1]
    try:
        for _ in range(rounds):
            for instant in order:
                if kind == 0 and eng.render(*instant) != frames[instant]:
                    failures.append(("render", instant))
                elif kind == 1:
                    frame = eng.render(*instant)
                    if valdrin_rt.decode_sv_frame(frame) != decoded[instant]:
                        failures.append(("decode_sv_frame", instant))
                    if valdrin_rt.decode_sv_pdu(frame[26 if instant[0] == 1 else 22:]) != decoded[instant][1]:
                        failures.append(("decode_sv_pdu", instant))
                elif kind == 2:
                    failures += [name for name, bad in [
                        ("encode_goose_pdu", valdrin_rt.encode_goose_pdu(refs["pdu"]) != refs["goose_apdu"]),
                        ("decode_goose_frame",
                         valdrin_rt.decode_goose_frame(refs["goose_frame"], True) != refs["goose_decoded"]),
                        ("truncated PDU accepted", not refused(valdrin_rt.decode_goose_pdu, refs["goose_apdu"][:-1])),
                        ("render of a missing stream", not refused(eng.render, 3, 0, 0))] if bad]
    except BaseException as error:  # noqa: BLE001 - reported to the main thread
        failures.append(("raised", repr(error)))


def join_all(threads) -> int:
    """How many of `threads` still run after JOIN_TIMEOUT each."""
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    return sum(thread.is_alive() for thread in threads)


def run_workers(eng, refs: dict, rounds: int, extra=()) -> list:
    failures: list = []
    kinds = [0, 1, 2, 0, 1]
    start = threading.Barrier(len(kinds) + len(extra))
    threads = [threading.Thread(target=worker, args=(eng, refs, k, rounds, failures, start)) for k in kinds]
    threads += [threading.Thread(target=target, args=(start,)) for target in extra]
    for thread in threads:
        thread.start()
    assert join_all(threads) == 0, "a worker thread hangs"
    return failures


@pytest.fixture
def fast_switching():
    """The interpreter lock changes hands every 10 µs instead of 5 ms, so that calls interleave."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_threads_render_and_run_the_codecs_alike(fast_switching):
    eng = engine()
    refs = references(eng)
    made = []

    def construct(start):  # engines made and dropped on another thread meanwhile
        start.wait(JOIN_TIMEOUT)
        for _ in range(200):
            made.append(engine().render(2, 1_700_000_000, 1198) == refs["frames"][(2, 1_700_000_000, 1198)])

    assert run_workers(eng, refs, rounds=40, extra=[construct]) == []
    assert made == [True] * 200


def in_netns(body: str) -> dict:
    return netns.in_netns("""
        import gc, json, os, socket, struct, sys, threading, time
        from netns import open_sockets, thread_names
        from test_concurrency import (ASDUS, INSTANTS, JOIN_TIMEOUT, engine, join_all, references,
                                      run_workers, sv_streams)
        from valdrin.sv_publisher import _native_streams

        def engine_threads():
            return thread_names().count("sv-engine")

        sys.setswitchinterval(1e-5)
    """, body, timeout=120)


def test_frames_on_the_wire_stay_exact_while_threads_render_and_decode():
    result = in_netns("""
        eng = engine(start_second=int(time.time()) + 1)
        refs = references(eng)
        offsets = [s["smp_cnt_offsets"][0] for s in _native_streams(sv_streams(), ASDUS)]
        rx = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
        rx.bind(("lo", 0))
        rx.setsockopt(socket.SOL_SOCKET, 33, 1 << 26)  # SO_RCVBUFFORCE
        rx.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS
        rx.settimeout(0.2)
        captured, stats_seen = [], []

        def receive_all(until):  # until the time given, then while anything is queued
            while True:
                try:
                    data, ancillary, _, address = rx.recvmsg(4096, socket.CMSG_SPACE(16))
                except socket.timeout:
                    if time.time() >= until:
                        return
                    continue
                if address[2] == socket.PACKET_OUTGOING:  # not loopback's received copy
                    captured.append((struct.unpack("qq", ancillary[0][2][:16])[0], data))
                if until and time.time() >= until:
                    return

        def poll_stats(start):
            start.wait(JOIN_TIMEOUT)
            for _ in range(2000):
                stats_seen.append(eng.stats()["frames_sent"])

        eng.start()
        capture = threading.Thread(target=receive_all, args=(time.time() + 2.2,))
        capture.start()
        failures = run_workers(eng, refs, rounds=30, extra=[poll_stats])
        hung = join_all([capture])
        eng.stop()
        receive_all(0)
        mismatches = []
        for sec, data in captured:
            j = int.from_bytes(data[14 + 4 * (data[12:14] == b"\\x81\\x00"):][:2], "big") - 0x4000
            smp = int.from_bytes(data[offsets[j]:offsets[j] + 2], "big")
            # Sent at or after its instant, and at most one second late.
            if data not in (eng.render(j, sec, smp), eng.render(j, sec - 1, smp)):
                mismatches.append((j, sec, smp))
        print(json.dumps(dict(failures=failures, hung=hung, captured=len(captured), mismatches=mismatches[:5],
                              stats=eng.stats(), monotonic=stats_seen == sorted(stats_seen))))
    """)
    assert (result["failures"], result["hung"], result["mismatches"]) == ([], 0, [])
    assert result["captured"] >= 3 * RATE // ASDUS  # a second or more of three streams
    assert result["captured"] == result["stats"]["frames_sent"]
    assert result["stats"]["send_errors"] == 0
    assert result["monotonic"]  # frames_sent never goes back


def test_stop_from_another_thread_while_start_runs():
    # start() opens and binds the socket, makes the thread and waits for its
    # report with the interpreter lock released; stop() comes in then and must
    # wait for the slot, not deadlock on it. Either way the engine ends up
    # stopped, or running with its handle stored: never both, nor neither.
    result = in_netns("""
        far = int(time.time()) + 10**6
        overlapped, outcomes, errors = 0, {}, []
        # 60 rounds, and more (600 at most) until six overlapped: a loaded
        # machine runs the two threads one after the other more often.
        for i in range(600):
            if i >= 60 and overlapped >= 6:
                break
            eng = engine(start_second=far)
            barrier = threading.Barrier(2)
            times = {}

            def call(name):
                barrier.wait(JOIN_TIMEOUT)
                if name == "stop":
                    # Spin until start() has begun, so that this thread takes the
                    # lock the moment start() releases it; then a little longer,
                    # moving the point of entry through start()'s set-up.
                    while "start0" not in times:
                        pass
                    until = time.perf_counter() + (i % 10) * 20e-6
                    while time.perf_counter() < until:
                        pass
                times[name + "0"] = time.perf_counter()
                try:
                    getattr(eng, name)()
                except BaseException as error:
                    errors.append(repr(error))
                times[name + "1"] = time.perf_counter()

            threads = [threading.Thread(target=call, args=(n,)) for n in ("start", "stop")]
            for thread in threads:
                thread.start()
            if join_all(threads):
                print(json.dumps({"hung": i}))
                os._exit(0)
            overlapped += times["start0"] < times["stop0"] < times["start1"]
            running = engine_threads()  # the engine runs exactly when stop() came first
            try:
                eng.start()
                again = "started"
            except RuntimeError as error:
                again = str(error)
            outcomes[f"{running} {again}"] = outcomes.get(f"{running} {again}", 0) + 1
            eng.stop()
        print(json.dumps(dict(hung=None, overlapped=overlapped, outcomes=outcomes, errors=errors,
                              left=engine_threads(), sockets=len(open_sockets()))))
    """)
    assert (result["hung"], result["errors"], result["left"], result["sockets"]) == (None, [], 0, 0)
    # Never a thread left behind that start() refuses for.
    assert set(result["outcomes"]) <= {"0 started", "1 already started"}
    assert result["overlapped"] >= 6, result  # the race was really run


def test_engines_disposed_of_while_running():
    result = in_netns("""
        far, past = int(time.time()) + 10**6, int(time.time()) - 2
        out = {}
        refs = references(engine())

        # The last reference dropped on another thread than the one that
        # started the engine, while other threads render and decode.
        def drop_from_thread(start_second):
            holder = [engine(start_second)]
            holder[0].start()
            thread = threading.Thread(target=holder.clear)
            thread.start()
            return thread
        droppers = [drop_from_thread(s) for s in (far, past) * 5]
        failures = run_workers(engine(), refs, rounds=5)
        out["drop_hung"], out["after_drop"] = join_all(droppers), engine_threads()

        # Engines in reference cycles, freed by the collector on another thread
        # while the main thread keeps rendering.
        for s in (far, past) * 5:
            cycle = [engine(s)]
            cycle.append(cycle)
            cycle[0].start()
            del cycle
        out["cycles_before_gc"] = engine_threads()
        collector = threading.Thread(target=gc.collect)
        collector.start()
        eng = engine()
        failures += [("render during gc", i) for i in INSTANTS * 10 if eng.render(*i) != refs["frames"][i]]
        out["gc_hung"], out["after_gc"] = join_all([collector]), engine_threads()

        def churn(start_second):  # several threads making, starting and dropping engines
            for _ in range(10):
                e = engine(start_second)
                e.start()
                if e.stats()["send_errors"]:
                    failures.append(("send errors",))
                del e
        threads = [threading.Thread(target=churn, args=(s,)) for s in (far, past, far, past)]
        for thread in threads:
            thread.start()
        out["churn_hung"] = join_all(threads)
        out.update(left=engine_threads(), sockets=len(open_sockets()), failures=failures)
        print(json.dumps(out))
    """)
    assert result == {"drop_hung": 0, "after_drop": 0, "cycles_before_gc": 10, "gc_hung": 0, "after_gc": 0,
                      "churn_hung": 0, "left": 0, "sockets": 0, "failures": []}


def test_start_while_another_thread_stop_joins():
    # stop() joins with the interpreter lock released; a start() on another
    # thread then must wait for it rather than clear the stop flag the old
    # thread (asleep before a far first period) has yet to see.
    result = in_netns("""
        hung = 0
        for _ in range(2):
            eng = engine(int(time.time()) + 10**6)
            eng.start()
            stopper = threading.Thread(target=eng.stop)
            stopper.start()
            time.sleep(0.005)  # stop() is joining now, most likely
            for _ in range(5000):  # or not begun yet, on a loaded machine: then start() says so
                try:
                    eng.start()
                    break
                except RuntimeError as error:
                    assert str(error) == "already started", error
                    time.sleep(0.001)
            stopper.join(1.0)
            hung += stopper.is_alive()
            eng.stop()  # ends whatever still runs
            join_all([stopper])
        print(json.dumps({"hung": hung, "left": engine_threads()}))
    """)
    assert result == {"hung": 0, "left": 0}
