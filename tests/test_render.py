"""Engine.render checked frame by frame against the rendering model of
sv_model.py, for random configurations (the layout, counters, playback,
fault windows, NaN and saturation); the sine values against an exact-phase
computation of their own, within the error of the engine's float arithmetic;
and a few known frames."""

import math
import random
import struct
from fractions import Fraction

import pytest

import valdrin_rt

from sv_model import INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN, render_model


# --- Random configurations ---------------------------------------------------


def clip64(v):
    return min(max(v, INT64_MIN), INT64_MAX)


def maybe(rng, usual, special):
    return rng.choice(special) if rng.random() < 0.15 else usual


def random_wave(rng):
    odd = [0.0, -0.0, 2.5, -2.5, 3.5, 1e12, -1e12, math.nan, math.inf, -math.inf]
    return (
        maybe(rng, rng.choice([1000.0, rng.uniform(-3e4, 3e4)]), odd),
        maybe(rng, rng.uniform(-360, 360), [0.0, 90.0, math.nan]),
        maybe(rng, rng.choice([50.0, 60.0, 49.95, rng.uniform(-2e3, 2e3), rng.uniform(-1e-6, 1e-6)]), odd),
        maybe(rng, rng.uniform(-50, 50), odd),
        maybe(rng, rng.choice([1.0, 0.01, 100.0, -3.0]), odd),
        rng.getrandbits(32),
    )


def random_stream(rng, rate, asdus, base):
    channels = rng.choice([0, 1, 2, 3, 8])
    waves = [random_wave(rng) for _ in range(channels)]
    size = rng.randint(2 + 8 * channels, 40 + asdus * (3 + 8 * channels))
    if rng.random() < 0.5:  # anywhere in the frame, overlaps included
        counters = [rng.randint(0, size - 2) for _ in range(asdus)]
        samples = [rng.randint(0, size - 8 * channels) for _ in range(asdus)]
    else:
        size = 14 + asdus * (4 + 8 * channels)
        counters = [14 + t * (4 + 8 * channels) for t in range(asdus)]
        samples = [c + 4 for c in counters]
    fault = None
    if rng.random() < 0.6:
        fault = {
            "waves": [random_wave(rng) for _ in range(channels)],
            "cycle_s": rng.choice([-2, 0, 1, 2, 3, 10, rng.randint(INT64_MIN, INT64_MAX)]),
            "offset_s": rng.choice([0, 3, -7, rng.randint(INT64_MIN, INT64_MAX)]),
            "start_smp": rng.choice([-5, 0, rng.randrange(rate), rate - 1, rate, INT64_MIN, INT64_MAX]),
            "duration_s": rng.choice(
                [None, 0.0, 0.375, 0.5, 1.0, 2.5, rng.uniform(0, 5), -1.0, math.nan, math.inf, -math.inf, 1e300]
            ),
        }
    stream = {"frame": rng.randbytes(size), "smp_cnt_offsets": counters, "sample_offsets": samples,
              "waves": waves, "fault": fault}
    if channels and rng.random() < 0.6:
        rows = rng.randint(1, 6)
        n = rows * channels
        stream["playback"] = {
            "channels": channels,
            "values": struct.pack(f"={n}i", *(rng.randint(INT32_MIN, INT32_MAX) for _ in range(n))),
            "qualities": rng.choice([None, struct.pack(f"={n}I", *(rng.getrandbits(32) for _ in range(n)))]),
            "period": rng.choice([None, None, 1, rows, rows + 3, rng.randint(1, INT64_MAX)]),
            # Near the instants rendered, so that rows show up.
            "start": rng.choice([clip64(base + rng.randint(-12, 12)), 0, INT64_MIN, INT64_MAX]),
        }
    return stream


def random_instant(rng, rate):
    second = rng.choice([0, rng.randint(-12, 12), 1_700_000_000 + rng.randrange(40),
                         rng.randint(INT64_MIN, INT64_MAX), INT64_MIN, INT64_MAX])
    first = rng.choice([0, -1, rate - 1, rate, rng.randrange(rate),
                        rng.randint(clip64(-3 * rate), clip64(3 * rate)),
                        rng.randint(INT64_MIN, INT64_MAX), INT64_MIN, INT64_MAX])
    return second, first


@pytest.mark.parametrize("seed", range(300))
def test_render_matches_model(seed):
    rng = random.Random(seed)
    asdus = rng.choice([1, 1, 2, 3, 4, 8])
    rate = asdus * rng.choice([1, 2, 5, 500, 1000, 10000, rng.randint(1, INT64_MAX // asdus)])
    second, first = random_instant(rng, rate)
    streams = [random_stream(rng, rate, asdus, second * rate + first) for _ in range(rng.randint(1, 3))]
    engine = valdrin_rt.Engine("lo", rate, asdus, streams, rng.randint(INT64_MIN, INT64_MAX))
    instants = [(second, first), (second, clip64(first + rng.randint(-9, 9))), random_instant(rng, rate)]
    for i, stream in enumerate(streams):
        for sec, smp in instants:
            assert engine.render(i, sec, smp) == render_model(stream, rate, sec, smp), (i, sec, smp)


# --- Sine values against exact phase -------------------------------------------------


def exact_sample(wave, sec, smp, rate):
    """The sample as mathematics has it: the phase f * (sec + smp / rate) taken
    modulo one cycle in exact rationals, then one sine; and how far a double
    computation of it may be off, in counts (the phase's products rounded at
    the size of f * sec, the sine and the products at the size of the value)."""
    amplitude, phase_deg, frequency, offset, scale, _ = wave
    cycles = Fraction(frequency) * (sec + Fraction(smp, rate))
    theta = 2 * math.pi * float(cycles - math.floor(cycles)) + math.radians(phase_deg)
    y = (amplitude * math.sin(theta) + offset) * scale
    eps = 2.0**-52
    phase_error = 2 * math.pi * eps * (abs(frequency * sec) + abs(frequency * smp / rate) + 8)
    tolerance = 1 + abs(amplitude * scale) * phase_error * 4 + (abs(amplitude) + abs(offset)) * abs(scale) * eps * 8
    return y, tolerance


@pytest.mark.parametrize("seed", range(100))
def test_sine_samples_within_the_float_error_of_the_exact_phase(seed):
    rng = random.Random(seed)
    rate = rng.choice([4000, 4800, 14400, 80 * 50])
    waves = [(rng.uniform(-3e4, 3e4), rng.uniform(-360, 360), rng.choice([50.0, 60.0, 49.95, rng.uniform(0.1, 2e3)]),
              rng.uniform(-50, 50), rng.choice([1.0, 0.01, 100.0, -3.0]), 0) for _ in range(3)]
    engine = valdrin_rt.Engine("lo", rate, 1, [plain_stream(waves)], 0)
    for _ in range(20):
        sec = rng.choice([0, rng.randint(-5, 5), 1_700_000_000 + rng.randrange(10**6)])
        smp = rng.randrange(rate)
        frame = engine.render(0, sec, smp)
        for j, wave in enumerate(waves):
            got = struct.unpack_from(">i", frame, 2 + 8 * j)[0]
            y, tolerance = exact_sample(wave, sec, smp, rate)
            assert abs(got - y) <= tolerance, (wave, sec, smp, got, y, tolerance)


# --- Edge cases ------------------------------------------------------------------


def plain_stream(waves, asdus=1):
    stride = 2 + 8 * len(waves)
    return {"frame": bytes(asdus * stride), "smp_cnt_offsets": [t * stride for t in range(asdus)],
            "sample_offsets": [t * stride + 2 for t in range(asdus)], "waves": waves, "fault": None}


def test_known_frames():
    engine = valdrin_rt.Engine("lo", 4000, 2, [plain_stream([(1000.0, 0.0, 50.0, 0.0, 1.0, 0x2000)], 2)], 0)
    assert engine.render(0, 0, 0) == bytes.fromhex("0000 00000000 00002000 0001 0000004e 00002000")
    # Sample 3999 of second -1, then sample 0 of second 0.
    assert engine.render(0, 0, -1) == bytes.fromhex("0f9f ffffffb2 00002000 0000 00000000 00002000")


@pytest.mark.parametrize("count, args, error, message", [
    *[(n, (n, 0, 0), ValueError, "^no such stream$") for n in range(3)],
    *[(n, (2**64 - 1, 0, 0), ValueError, "^no such stream$") for n in range(3)],
    *[(1, args, TypeError, f"^argument '{name}': ")
      for name, args in [("stream", ("0", 0, 0)), ("second", (0, "1", 0)), ("first_smp", (0, 0, "1"))]],
])
def test_refused_arguments(count, args, error, message):
    engine = valdrin_rt.Engine("lo", 4000, 1, [plain_stream([])] * count, 0)
    with pytest.raises(error, match=message):
        engine.render(*args)


def test_render_is_stateless():
    stream = plain_stream([(1000.0, 30.0, 50.0, 1.0, 2.0, 1), (5.0, 0.0, 0.0, 2.5, 1.0, 2)], 4)
    stream["fault"] = {"waves": [(1.0, 0.0, 0.0, 7.0, 1.0, 3)] * 2, "cycle_s": 2, "offset_s": 0,
                       "start_smp": 0, "duration_s": None}
    engine = valdrin_rt.Engine("lo", 4000, 4, [stream], 0)
    first = engine.render(0, 1_700_000_000, 3998)
    for sec, smp in [(0, 0), (1, 3999), (1_700_000_000, 4000)]:
        engine.render(0, sec, smp)
    assert engine.render(stream=0, second=1_700_000_000, first_smp=3998) == first
    assert first == render_model(stream, 4000, 1_700_000_000, 3998)
