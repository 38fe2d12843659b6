// The figures of an SV stream: arrival intervals, ASDU rate, and from the
// last cycle of the 9-2LE values each channel's RMS, fundamental phasor and
// frequency.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "analysis.hpp"

namespace valdrin::analysis {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::size_t samples_per_cycle(const SvStream& s, double rate, double nominal_hz) noexcept {
    double spc = 0;
    if (s.has_smp_rate && (!s.has_smp_mod || s.smp_mod == 0)) {
        spc = s.smp_rate;  // samples per nominal period
    } else if (s.has_smp_rate && s.smp_mod == 1) {
        spc = s.smp_rate / nominal_hz;  // samples per second
    } else if (s.wrap_learnt) {
        spc = s.wrap / nominal_hz;  // 9-2LE wraps each second
    } else if (std::isfinite(rate)) {
        spc = rate / nominal_hz;
    }
    if (!(spc >= 3.5 && spc < RING + 0.5)) return 0;
    return static_cast<std::size_t>(std::lround(spc));
}

// The frequency of `x` (samples at positions `at`, `fs` per second) from
// its zero crossings about its mean over the last whole cycles of `cycle`
// samples, with a hysteresis of a tenth of its peak against noise: the
// mean of the estimates from rising and from falling crossings (an offset
// of the mean moves the two kinds apart, not their spacing); NaN without
// two crossings of one kind.
double frequency(const double* x, const double* at, std::size_t n, std::size_t cycle, double fs) noexcept {
    const std::size_t whole = n / cycle * cycle;
    double mean = 0;
    for (std::size_t k = n - whole; k < n; ++k) mean += x[k];
    mean /= static_cast<double>(whole);
    double peak = 0;
    for (std::size_t k = 0; k < n; ++k) peak = std::max(peak, std::abs(x[k] - mean));
    if (peak == 0) return NaN;
    const double hysteresis = peak / 10;
    struct Crossings {
        bool armed = false;
        std::size_t count = 0;
        double first = 0;
        double last = 0;
        void add(double where) noexcept {
            if (count++ == 0) first = where;
            last = where;
            armed = false;
        }
        bool usable() const noexcept { return count >= 2 && last > first; }
        double periods_per_sample() const noexcept { return static_cast<double>(count - 1) / (last - first); }
    } rising, falling;
    for (std::size_t k = 1; k < n; ++k) {
        const double before = x[k - 1] - mean;
        const double now = x[k] - mean;
        if (before < -hysteresis) rising.armed = true;
        if (before > hysteresis) falling.armed = true;
        const bool up = before < 0 && now >= 0;
        const bool down = before >= 0 && now < 0;
        if (!(up && rising.armed) && !(down && falling.armed)) continue;
        const double where = at[k - 1] + (at[k] - at[k - 1]) * (before / (before - now));
        (up ? rising : falling).add(where);
    }
    if (rising.usable() && falling.usable()) {
        return fs * (rising.periods_per_sample() + falling.periods_per_sample()) / 2;
    }
    if (rising.usable()) return fs * rising.periods_per_sample();
    if (falling.usable()) return fs * falling.periods_per_sample();
    return NaN;
}

// Whether the counter wraps at the rate, its latency when it does, and
// the profile it matches.
void latency_figures(const SvStream& s, SvFigures& out) noexcept {
    out.latency_min_us = out.latency_median_us = out.latency_p99_us = out.latency_max_us = NaN;
    if (!s.wrap_learnt || s.frames < 2 || s.last_ns <= s.first_ns) return;
    // Samples the counters span after the first frame: every distinct one
    // received, and the lost.
    const std::uint64_t distinct = s.asdus - s.duplicated;
    const std::uint64_t spanned = distinct + s.lost - std::min(distinct, s.first_frame_asdus);
    const auto seconds = static_cast<double>(static_cast<std::uint64_t>(s.last_ns) - static_cast<std::uint64_t>(s.first_ns)) / 1e9;
    const double per_second = static_cast<double>(spanned) / seconds;
    out.counter_at_rate = std::abs(per_second - s.wrap) <= AT_RATE_TOLERANCE * s.wrap;
    if (!out.counter_at_rate) return;
    if (s.sample_octets % 8 == 0) out.profile = sv::match_profile(s.wrap, s.frame_asdus, s.sample_octets / 8);
    if (s.latency.count() == 0) return;
    out.latency_min_us = static_cast<double>(s.latency.min()) / 1e3;
    out.latency_median_us = s.latency.quantile(0.5) / 1e3;
    out.latency_p99_us = s.latency.quantile(0.99) / 1e3;
    out.latency_max_us = static_cast<double>(s.latency.max()) / 1e3;
}

}  // namespace

SvFigures figures(const SvStream& s, double nominal_hz) noexcept {
    SvFigures out;
    if (s.intervals.count() > 0) {
        out.interval_min_us = static_cast<double>(s.intervals.min()) / 1e3;
        out.interval_median_us = s.intervals.quantile(0.5) / 1e3;
        out.interval_p99_us = s.intervals.quantile(0.99) / 1e3;
        out.interval_max_us = static_cast<double>(s.intervals.max()) / 1e3;
    } else {
        out.interval_min_us = out.interval_median_us = out.interval_p99_us = out.interval_max_us = NaN;
    }
    out.asdu_rate = NaN;
    if (s.frames > 1 && s.last_ns > s.first_ns) {
        // The difference first: the times themselves exceed a double's precision.
        const auto span = static_cast<double>(static_cast<std::uint64_t>(s.last_ns) - static_cast<std::uint64_t>(s.first_ns));
        out.asdu_rate = static_cast<double>(s.asdus - s.first_frame_asdus) * 1e9 / span;
    }
    latency_figures(s, out);
    for (ChannelFigures& c : out.channels) c = {NaN, NaN, NaN, NaN};
    if (!(nominal_hz > 0)) return out;
    const std::size_t n = samples_per_cycle(s, out.asdu_rate, nominal_hz);
    out.samples_per_cycle = n;
    if (!s.le_layout || n == 0 || s.ring_size < n) return out;
    out.values = true;

    // Oldest first: all samples kept, positions unwrapped from the counters
    // so that a lost sample leaves its gap.
    const std::size_t size = s.ring_size;
    const std::size_t oldest = (s.ring_next + RING - size) % RING;
    std::array<double, RING> at{};
    for (std::size_t k = 1; k < size; ++k) {
        const std::uint32_t before = s.ring_smp_cnt[(oldest + k - 1) % RING];
        const std::uint32_t now = s.ring_smp_cnt[(oldest + k) % RING];
        at[k] = at[k - 1] + static_cast<double>((now + s.wrap - before) % s.wrap);
    }
    out.contiguous = at[size - 1] - at[size - n] == static_cast<double>(n - 1);

    // The cycle: the last n samples, each at its counter's angle.
    std::array<double, RING> cosines{};
    std::array<double, RING> sines{};
    const std::size_t start = size - n;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint16_t count = s.ring_smp_cnt[(oldest + start + k) % RING];
        const double angle = 2 * std::numbers::pi * static_cast<double>(count % n) / static_cast<double>(n);
        cosines[k] = std::cos(angle);
        sines[k] = std::sin(angle);
    }
    const double fs = static_cast<double>(n) * nominal_hz;
    std::array<double, RING> x{};
    for (std::size_t c = 0; c < CHANNELS; ++c) {
        const double scale = channel_scale(c);
        for (std::size_t k = 0; k < size; ++k) x[k] = s.ring[(oldest + k) % RING][c] * scale;
        double squares = 0;
        double re = 0;
        double im = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const double v = x[start + k];
            squares += v * v;
            re += v * cosines[k];
            im -= v * sines[k];
        }
        const double norm = std::numbers::sqrt2 / static_cast<double>(n);
        ChannelFigures& f = out.channels[c];
        f.rms = std::sqrt(squares / static_cast<double>(n));
        f.magnitude = std::hypot(re, im) * norm;
        f.angle_deg = std::atan2(im, re) * 180 / std::numbers::pi;
        if (f.angle_deg <= -180) f.angle_deg += 360;
        f.frequency_hz = frequency(x.data(), at.data(), size, n, fs);
    }
    return out;
}

}  // namespace valdrin::analysis
