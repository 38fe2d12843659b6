// Frame rendering. Everything a frame carries follows from the absolute
// instant of its samples: the set-up below reduces the first ASDU's instant
// once per frame (second and sample index, position in the fault cycle,
// playback row), and the ASDU loop then steps each of them by one sample,
// with carries, so that no division runs per ASDU or per sample.
#include "render.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace valdrin::engine {
namespace {

// Products of two 64-bit values (second × rate, cycle × rate) and the sums
// built from them stay below 2^127, so in 128 bits no input overflows.
__extension__ typedef __int128 i128;

constexpr i128 kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr i128 kInt64Max = std::numeric_limits<std::int64_t>::max();

// The doubles nearest to 2π and to π/180.
constexpr double kTwoPi = 6.283185307179586;
constexpr double kRadiansPerDegree = 0.017453292519943295;

bool fits_int64(i128 v) { return v >= kInt64Min && v <= kInt64Max; }

// Returns `a` modulo `m` in 0 … m-1, for m >= 1. Operands that fit in 64 bits,
// the usual case, take the hardware division instead of the 128-bit routine.
i128 floor_mod(i128 a, i128 m) {
    if (fits_int64(a) && fits_int64(m)) {
        const auto m64 = static_cast<std::int64_t>(m);
        const std::int64_t r = static_cast<std::int64_t>(a) % m64;
        return r < 0 ? r + m64 : r;
    }
    const i128 r = a % m;
    return r < 0 ? r + m : r;
}

// Returns `v` rounded to the nearest double, as a conversion from a 64-bit
// integer would.
double to_double(i128 v) {
    if (fits_int64(v)) {
        return static_cast<double>(static_cast<std::int64_t>(v));
    }
    return static_cast<double>(v);
}

// Writes `v` big-endian into the two octets at `out`.
void put_u16(std::uint8_t* out, std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        v = __builtin_bswap16(v);
    }
    std::memcpy(out, &v, sizeof(v));
}

// Writes `v` big-endian into the four octets at `out`.
void put_u32(std::uint8_t* out, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        v = __builtin_bswap32(v);
    }
    std::memcpy(out, &v, sizeof(v));
}

// Returns the sample of `wave` at sample `smp` of UNIX second `sec`. The whole
// cycles of the whole-second part are taken out (fmod) before the sub-second
// part, (f × smp) / rate, is added, so the phase keeps its precision for any
// second. Zero frequency or amplitude gives the offset without sin or fmod.
std::int32_t synthesize(const Wave& wave, double sec, double smp, double rate) {
    double x = wave.offset;
    if (wave.frequency_hz != 0.0 && wave.amplitude != 0.0) {
        const double cycles = std::fmod(wave.frequency_hz * sec, 1.0);
        const double sub = (wave.frequency_hz * smp) / rate;
        const double theta = (cycles + sub) * kTwoPi + wave.phase_deg * kRadiansPerDegree;
        x = wave.amplitude * std::sin(theta) + wave.offset;
    }
    return to_sample(x * wave.scale);
}

// Returns the fault window's length in samples for a cycle of `cycle_len`
// samples: half the cycle without a duration, else duration × rate rounded
// half to even, saturated to 64 bits (NaN gives 0), then limited to the cycle.
i128 window_length(const Fault& fault, std::int64_t rate, i128 cycle_len) {
    if (!fault.duration_s) {
        return cycle_len / 2;
    }
    const double d = std::rint(*fault.duration_s * static_cast<double>(rate));
    i128 len;
    if (std::isnan(d)) {
        len = 0;
    } else if (d >= 0x1p63) {
        len = kInt64Max;
    } else if (d <= -0x1p63) {
        len = kInt64Min;
    } else {
        len = static_cast<std::int64_t>(d);
    }
    return std::clamp<i128>(len, 0, cycle_len);
}

}  // namespace

void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate) noexcept {
    const std::size_t asdus = stream.smp_cnt_offsets.size();
    if (asdus == 0) {
        return;
    }
    std::uint8_t* const out = frame.data();
    const std::vector<Wave>& waves = stream.waves;
    const std::size_t channels = waves.size();
    const double rate_d = static_cast<double>(rate);

    // The first ASDU's instant, second `sec` and sample 0 <= `smp` < rate,
    // by floor division of first_smp.
    std::int64_t smp = first_smp % rate;
    std::int64_t carry = first_smp / rate;
    if (smp < 0) {
        smp += rate;
        --carry;
    }
    i128 sec = static_cast<i128>(second) + carry;
    double sec_d = to_double(sec);

    // Fault: `pos` is the first instant's place in its cycle of `cycle_len`
    // samples, counted from the window's opening; the window covers the
    // first `window` places.
    const Fault* const fault = stream.fault ? &*stream.fault : nullptr;
    i128 cycle_len = 1;
    i128 window = 0;
    i128 pos = 0;
    if (fault != nullptr) {
        const std::int64_t cycle = std::max<std::int64_t>(fault->cycle_s, 1);
        cycle_len = static_cast<i128>(cycle) * rate;
        window = window_length(*fault, rate, cycle_len);
        const i128 open_sec = floor_mod(fault->offset_s, cycle);
        const std::int64_t open_smp = std::clamp<std::int64_t>(fault->start_smp, 0, rate - 1);
        // ((S - open_sec) × rate + smp - open_smp) modulo cycle_len, with the
        // seconds reduced modulo the cycle first: the sum then lies in
        // -(rate - 1) … cycle_len - 1.
        pos = floor_mod(sec - open_sec, cycle) * rate + smp - open_smp;
        if (pos < 0) {
            pos += cycle_len;
        }
    }

    // Playback: `row` is the first instant's row, the absolute sample number
    // less `start`, looped by the period if there is one. Only 0 <= row < rows
    // names a recorded row.
    const Playback* const playback = stream.playback ? &*stream.playback : nullptr;
    i128 row = 0;
    i128 rows = 0;
    i128 period = 0;  // 0: plays once
    if (playback != nullptr) {
        rows = static_cast<i128>(playback->values.size() / playback->channels);
        row = static_cast<i128>(second) * rate + first_smp - playback->start;
        if (playback->period) {
            period = *playback->period;
            row = floor_mod(row, period);
        }
    }

    for (std::size_t t = 0; t < asdus; ++t) {
        if (t != 0) {
            // The next ASDU carries the next sample.
            if (++smp == rate) {
                smp = 0;
                ++sec;
                sec_d = to_double(sec);
            }
            if (fault != nullptr && ++pos == cycle_len) {
                pos = 0;
            }
            if (playback != nullptr && ++row == period && period != 0) {
                row = 0;
            }
        }

        // smpCnt: the sample index within its second, modulo 2^16.
        put_u16(out + stream.smp_cnt_offsets[t], static_cast<std::uint16_t>(smp));

        // Then each channel's 8 octets: INT32 value, 32-bit quality.
        std::uint8_t* const samples = out + stream.sample_offsets[t];
        if (playback != nullptr && row >= 0 && row < rows) {
            const std::size_t base = static_cast<std::size_t>(row) * channels;
            const std::int32_t* const values = playback->values.data() + base;
            const std::uint32_t* const qualities =
                playback->qualities ? playback->qualities->data() + base : nullptr;
            for (std::size_t j = 0; j < channels; ++j) {
                put_u32(samples + 8 * j, static_cast<std::uint32_t>(values[j]));
                put_u32(samples + 8 * j + 4,
                        qualities != nullptr ? qualities[j] : waves[j].quality);
            }
            continue;
        }
        const std::vector<Wave>& source =
            fault != nullptr && pos < window ? fault->waves : waves;
        const double smp_d = static_cast<double>(smp);
        for (std::size_t j = 0; j < channels; ++j) {
            const Wave& wave = source[j];
            put_u32(samples + 8 * j,
                    static_cast<std::uint32_t>(synthesize(wave, sec_d, smp_d, rate_d)));
            put_u32(samples + 8 * j + 4, wave.quality);
        }
    }
}

}  // namespace valdrin::engine
