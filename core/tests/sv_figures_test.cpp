// The figures of an SV stream's last cycle: RMS, phasor and frequency of
// sines, and the streams that have none.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"

namespace valdrin::analysis {
namespace {

using test::SvAsdu;
using test::sv_frame;

constexpr std::int64_t T0 = 1'700'000'000'000'000'000;  // ns

// A 9-2LE stream of `n` samples of sines of frequency `f` at `fs` samples
// per second, counters wrapping at `wrap`: channel c has amplitude
// amplitude[c] (RMS, in A or V) and angle angle[c] (degrees) at counter 0.
struct Sines {
    double f, fs;
    std::uint32_t wrap;
    std::size_t n;
    std::array<double, 8> amplitude, angle;
    std::optional<std::uint16_t> smp_rate{};
};

SvStream sampled(const Sines& w, std::size_t per_frame = 1) {
    Analyzer analyzer(Limits{});
    NoEvents none;
    std::vector<SvAsdu> asdus;
    const std::uint32_t first = w.wrap - static_cast<std::uint32_t>(w.n / 2);  // starts before the wrap
    for (std::size_t k = 0; k < w.n; ++k) {
        const std::uint32_t count = (first + static_cast<std::uint32_t>(k)) % w.wrap;
        const double time = static_cast<double>(first + k) / w.fs;  // continuous across the wrap
        std::array<std::int32_t, 8> values{};
        for (std::size_t c = 0; c < 8; ++c) {
            const double x = std::numbers::sqrt2 * w.amplitude[c] *
                             std::cos(2 * std::numbers::pi * w.f * time + w.angle[c] * std::numbers::pi / 180);
            values[c] = static_cast<std::int32_t>(std::lround(x / channel_scale(c)));
        }
        asdus.push_back({.smp_cnt = static_cast<std::uint16_t>(count), .sample = test::le_sample(values),
                         .smp_rate = w.smp_rate});
        if (asdus.size() == per_frame) {
            analyzer.add(sv_frame(asdus), T0 + static_cast<std::int64_t>(1e9 * static_cast<double>(k) / w.fs), none);
            asdus.clear();
        }
    }
    return analyzer.live().sv(0);
}

TEST(Values, RmsPhasorAndFrequencyOfSines) {
    const std::array<double, 8> amps{100, 100, 100, 0.5, 63500, 63500, 63500, 10};
    const std::array<double, 8> angles{30, -90, 150, 180, 0, -120, 120, -45};
    const struct {
        const char* why;
        Sines sines;
        double nominal;
        std::size_t per_frame, samples_per_cycle;
        bool exact;  // on the nominal frequency: magnitude and angle exact
    } cases[] = {
        {"50 Hz, 4000 per second, wrap learnt", {50, 4000, 4000, 600, amps, angles}, 50, 1, 80, true},
        {"60 Hz, 4800 per second, wrap learnt", {60, 4800, 4800, 600, amps, angles}, 60, 1, 80, true},
        {"50 Hz, 256 per cycle, 8 ASDUs per frame", {50, 12800, 12800, 2048, amps, angles}, 50, 8, 256, true},
        {"50 Hz from smpRate 80 per period", {50, 4000, 4000, 200, amps, angles, 80}, 50, 1, 80, true},
        {"off-nominal 49.5 Hz", {49.5, 4000, 4000, 600, amps, angles}, 50, 1, 80, false},
        {"off-nominal 60.3 Hz", {60.3, 4800, 4800, 600, amps, angles}, 60, 1, 80, false},
    };
    for (const auto& c : cases) {
        const SvStream s = sampled(c.sines, c.per_frame);
        const SvFigures f = figures(s, c.nominal);
        ASSERT_TRUE(f.values) << c.why;
        EXPECT_TRUE(f.contiguous) << c.why;
        EXPECT_EQ(f.samples_per_cycle, c.samples_per_cycle) << c.why;
        for (std::size_t ch = 0; ch < 8; ++ch) {
            const ChannelFigures& v = f.channels[ch];
            const double a = amps[ch];
            const double counts = a / channel_scale(ch);  // quantisation: half a count per sample
            EXPECT_NEAR(v.frequency_hz, c.sines.f, 2e-3 * (1 + 100 / counts)) << c.why << " channel " << ch;
            if (!c.exact) continue;
            EXPECT_NEAR(v.rms, a, a * (1e-6 + 1 / counts)) << c.why << " channel " << ch;
            EXPECT_NEAR(v.magnitude, a, a * (1e-6 + 1 / counts)) << c.why << " channel " << ch;
            EXPECT_NEAR(std::remainder(v.angle_deg - angles[ch], 360), 0, 0.01 + 60 / counts)
                << c.why << " channel " << ch;
            EXPECT_TRUE(v.angle_deg > -180 && v.angle_deg <= 180) << c.why;
        }
    }
}

TEST(Values, UnavailableFiguresAndOtherLayouts) {
    const std::array<double, 8> amps{1, 1, 1, 1, 1, 1, 1, 1};
    // Fewer samples than a cycle; more samples per cycle than kept.
    for (const Sines& w : {Sines{50, 4000, 4000, 60, amps, {}}, Sines{50, 30000, 30000, 1400, amps, {}, 600}}) {
        const SvFigures f = figures(sampled(w));
        EXPECT_FALSE(f.values);
        EXPECT_TRUE(std::isnan(f.channels[0].rms) && std::isnan(f.channels[7].frequency_hz));
    }

    Analyzer analyzer(Limits{});
    NoEvents none;
    analyzer.add(sv_frame({SvAsdu{.sample = {0x80, 0, 0, 0, 0, 0, 0, 7, 0xFF, 0xFF, 0xFF, 0xFE, 0x55}}}), T0, none);
    const SvStream& s = analyzer.live().sv(0);
    EXPECT_FALSE(s.le_layout);
    EXPECT_EQ(s.raw_total, 3u);
    ASSERT_EQ(s.raw_count, 3u);
    EXPECT_EQ(s.raw[0], INT32_MIN);
    EXPECT_EQ(s.raw[1], 7);
    EXPECT_EQ(s.raw[2], -2);
    EXPECT_FALSE(figures(s).values);
}

}  // namespace
}  // namespace valdrin::analysis
