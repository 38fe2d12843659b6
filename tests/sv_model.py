"""A small model of SV rendering, for the tests that compare frames with it:
floor split of the sample number, smpCnt modulo 2**16, playback rows, the
recurring fault window, sine synthesis with round-half-even and INT32
saturation. Python integers never overflow, so the model is also the reference
where products leave 64 bits; it uses the same libm sin and fmod as the
engine, so frames must match exactly.
"""

import math
import struct

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
TWO_PI = 6.283185307179586
RAD_PER_DEG = 0.017453292519943295


def to_sample(y):
    return 0 if math.isnan(y) else INT32_MAX if y >= INT32_MAX else INT32_MIN if y <= INT32_MIN else round(y)


def synthesize(wave, sec, smp, rate):
    amplitude, phase_deg, frequency, offset, scale, _ = wave
    x = offset
    if frequency != 0 and amplitude != 0:
        cycles = frequency * float(sec)
        # libm gives NaN where math raises ValueError.
        a = math.fmod(cycles, 1.0) if math.isfinite(cycles) else math.nan
        theta = (a + (frequency * float(smp)) / float(rate)) * TWO_PI + phase_deg * RAD_PER_DEG
        x = amplitude * (math.sin(theta) if math.isfinite(theta) else math.nan) + offset
    return to_sample(x * scale)


def in_fault_window(fault, sec, smp, rate):
    cycle = max(fault["cycle_s"], 1)
    length = cycle * rate
    window = length // 2
    if fault["duration_s"] is not None:
        d = fault["duration_s"] * float(rate)
        window = 0 if math.isnan(d) else INT64_MAX if d >= 2.0**63 else INT64_MIN if d <= -(2.0**63) else round(d)
        window = min(max(window, 0), length)
    opening = min(max(fault["start_smp"], 0), rate - 1)
    position = ((sec - fault["offset_s"] % cycle) * rate + smp - opening) % length
    return position < window


def render_model(stream, rate, second, first_smp):
    frame = bytearray(stream["frame"])
    waves = stream["waves"]
    playback = stream.get("playback")
    for t, (cnt_at, smp_at) in enumerate(zip(stream["smp_cnt_offsets"], stream["sample_offsets"])):
        carry, smp = divmod(first_smp + t, rate)
        sec = second + carry
        struct.pack_into(">H", frame, cnt_at, smp % 65536)
        row = None
        if playback is not None:
            r = sec * rate + smp - playback["start"]
            if playback["period"] is not None:
                r %= playback["period"]
            if 0 <= r < len(playback["values"]) // 4 // playback["channels"]:
                row = r
        if row is not None:
            values = struct.unpack(f"={len(playback['values']) // 4}i", playback["values"])
            raw = playback["qualities"]
            qualities = raw and struct.unpack(f"={len(raw) // 4}I", raw)
            for j in range(len(waves)):
                k = row * len(waves) + j
                quality = qualities[k] if qualities else waves[j][5]
                struct.pack_into(">iI", frame, smp_at + 8 * j, values[k], quality)
            continue
        fault = stream["fault"]
        source = fault["waves"] if fault and in_fault_window(fault, sec, smp, rate) else waves
        for j, wave in enumerate(source):
            struct.pack_into(">iI", frame, smp_at + 8 * j, synthesize(wave, sec, smp, rate), wave[5])
    return bytes(frame)
