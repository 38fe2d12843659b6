// Frame rendering. Everything a frame carries follows from the absolute
// instant of its samples: the set-up below reduces the first ASDU's instant
// once per frame (second and sample index, position in the fault cycle,
// playback row), and the ASDU loop then steps each of them by one sample,
// with carries, so that no division runs per ASDU or per sample.
#include "sv_engine/render.hpp"

#include "octets.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace valdrin::io::sv_engine {
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

// Returns fmod(x, 1.0), the fractional part of x with the sign of x, as
// exactly as fmod gives it (x − trunc(x) is exact) but at a fraction of
// its cost for the large x of f × S.
double fractional_part(double x) { return std::copysign(x - std::trunc(x), x); }

// Returns the cycles of `wave` completed by the start of UNIX second `sec`,
// whole ones taken out: fmod(f × S, 1), the part of the phase that depends
// on the second alone.
double cycles_at(const Wave& wave, double sec) {
    return fractional_part(wave.frequency_hz * sec);
}

bool is_constant(const Wave& wave) { return wave.frequency_hz == 0.0 || wave.amplitude == 0.0; }

// Returns the sample of `wave` at sample `smp` of a second whose whole-second
// cycles are `cycles`: the sub-second part, (f × smp) / rate, is added to
// them, so the phase keeps its precision for any second. Zero frequency or
// amplitude gives the offset without sin.
std::int32_t sample_of(const Wave& wave, double cycles, double smp, double rate) {
    double x = wave.offset;
    if (!is_constant(wave)) {
        const double sub = (wave.frequency_hz * smp) / rate;
        const double theta = (cycles + sub) * kTwoPi + wave.phase_deg * kRadiansPerDegree;
        x = wave.amplitude * std::sin(theta) + wave.offset;
    }
    return to_sample(x * wave.scale);
}

// The sample of `wave` at sample `smp` of UNIX second `sec`.
std::int32_t synthesize(const Wave& wave, double sec, double smp, double rate) {
    return sample_of(wave, is_constant(wave) ? 0.0 : cycles_at(wave, sec), smp, rate);
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

// The renderer's view of a SampleCache.
struct CacheAccess {
    // Makes `cache` describe UNIX second `sec`: when the whole-second phase
    // of some wave differs from the one its rows were computed for, every
    // row goes stale at once by a new generation.
    static void enter_second(SampleCache& cache, const std::vector<Wave>& waves, i128 sec,
                             double sec_d) noexcept {
        for (std::size_t j = 0; j < waves.size(); ++j) {
            cache.next_cycles_[j] = is_constant(waves[j]) ? 0.0 : cycles_at(waves[j], sec_d);
        }
        if (std::memcmp(cache.next_cycles_.data(), cache.cycles_.data(),
                        cache.cycles_.size() * sizeof(double)) != 0) {
            cache.cycles_.swap(cache.next_cycles_);
            ++cache.generation_;
        }
        cache.second_ = sec;
        cache.has_second_ = true;
    }

    // The samples of row `smp` of second `sec`, computed if the row is stale.
    static const std::int32_t* row(SampleCache& cache, const std::vector<Wave>& waves, i128 sec,
                                   double sec_d, std::int64_t smp, double rate_d) noexcept {
        if (!cache.has_second_ || cache.second_ != sec) enter_second(cache, waves, sec, sec_d);
        const auto index = static_cast<std::size_t>(smp);
        std::int32_t* const values = cache.values_.data() + index * waves.size();
        if (cache.filled_[index] != cache.generation_) {
            const double smp_d = static_cast<double>(smp);
            for (std::size_t j = 0; j < waves.size(); ++j) {
                values[j] = sample_of(waves[j], cache.cycles_[j], smp_d, rate_d);
            }
            cache.filled_[index] = cache.generation_;
        }
        return values;
    }
};

SampleCache::SampleCache(const Stream& stream, std::int64_t rate) noexcept {
    const std::size_t channels = stream.waves.size();
    if (channels == 0 || rate < 1 || static_cast<std::uint64_t>(rate) > MAX_ENTRIES / channels) {
        return;
    }
    try {
        values_.resize(static_cast<std::size_t>(rate) * channels);
        filled_.assign(static_cast<std::size_t>(rate), 0);  // generation 0: never filled
        cycles_.assign(channels, 0.0);
        next_cycles_.assign(channels, 0.0);
    } catch (...) {
        values_.clear();  // no memory for a table: stay inactive
    }
}

namespace {

void render_with(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
                 std::int64_t first_smp, std::int64_t rate, SampleCache* cache) noexcept {
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
        octets::store_be16(out + stream.smp_cnt_offsets[t], static_cast<std::uint16_t>(smp));

        // Then each channel's 8 octets: INT32 value, 32-bit quality.
        std::uint8_t* const samples = out + stream.sample_offsets[t];
        if (playback != nullptr && row >= 0 && row < rows) {
            const std::size_t base = static_cast<std::size_t>(row) * channels;
            const std::int32_t* const values = playback->values.data() + base;
            const std::uint32_t* const qualities =
                playback->qualities ? playback->qualities->data() + base : nullptr;
            for (std::size_t j = 0; j < channels; ++j) {
                octets::store_be32(samples + 8 * j, static_cast<std::uint32_t>(values[j]));
                octets::store_be32(samples + 8 * j + 4,
                        qualities != nullptr ? qualities[j] : waves[j].quality);
            }
            continue;
        }
        const bool in_fault = fault != nullptr && pos < window;
        if (!in_fault && cache != nullptr && cache->active()) {
            const std::int32_t* const values =
                CacheAccess::row(*cache, waves, sec, sec_d, smp, rate_d);
            for (std::size_t j = 0; j < channels; ++j) {
                octets::store_be32(samples + 8 * j, static_cast<std::uint32_t>(values[j]));
                octets::store_be32(samples + 8 * j + 4, waves[j].quality);
            }
            continue;
        }
        const std::vector<Wave>& source = in_fault ? fault->waves : waves;
        const double smp_d = static_cast<double>(smp);
        for (std::size_t j = 0; j < channels; ++j) {
            const Wave& wave = source[j];
            octets::store_be32(samples + 8 * j,
                    static_cast<std::uint32_t>(synthesize(wave, sec_d, smp_d, rate_d)));
            octets::store_be32(samples + 8 * j + 4, wave.quality);
        }
    }
}

}  // namespace

void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate) noexcept {
    render_with(stream, frame, second, first_smp, rate, nullptr);
}

void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate, SampleCache& cache) noexcept {
    render_with(stream, frame, second, first_smp, rate, &cache);
}

}  // namespace valdrin::io::sv_engine
