// SV streams against the clock: latency from the sampling instant, outages,
// and the profile names a stream is matched against.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"
#include "sv_profile.hpp"

namespace valdrin::analysis {
namespace {

using test::SvAsdu;
using test::sv_frame;

constexpr std::int64_t SECOND = 1'000'000'000;
constexpr std::int64_t T0 = 1'700'000'000 * SECOND;

// Frames of `asdus` ASDUs at `rate` samples a second, counter wrapping at
// `wrap`, for `seconds`; frame k received at the instant of its first
// ASDU's sample plus `delay_ns` (+ `last_shift` of its last ASDU's
// instant when true).
struct Traffic {
    std::uint32_t rate = 4800;
    std::uint32_t wrap = 4800;
    std::uint32_t asdus = 2;
    std::int64_t delay_ns = 0;
    bool from_last = false;
    std::uint32_t seconds = 3;
    std::size_t channels = 8;
};

std::unique_ptr<Analyzer> analysed(const Traffic& run) {
    auto analyzer = std::make_unique<Analyzer>(Limits{.sv_streams = 4});
    NoEvents none;
    const std::uint32_t frames = run.rate / run.asdus * run.seconds;
    for (std::uint32_t k = 0; k < frames; ++k) {
        std::vector<SvAsdu> asdus;
        for (std::uint32_t a = 0; a < run.asdus; ++a) {
            const std::uint32_t n = k * run.asdus + a;
            asdus.push_back({.smp_cnt = static_cast<std::uint16_t>(n % run.wrap),
                             .sample = test::Octets(8 * run.channels, 0)});
        }
        const std::uint32_t at = k * run.asdus + (run.from_last ? run.asdus - 1 : 0);
        const std::int64_t t = T0 + (at / run.rate) * SECOND + std::int64_t{at % run.rate} * SECOND / run.rate;
        analyzer->add(sv_frame(asdus), t + run.delay_ns, none);
    }
    return analyzer;
}

TEST(Latency, FromTheLastAsdusSamplingInstant) {
    const struct {
        const char* why;
        Traffic run;
        std::int64_t min_ns, max_ns;  // exact: the integer instants of the samples
    } cases[] = {
        {"sent at the last sample's instant, 30 us on the way", {.delay_ns = 30'000, .from_last = true}, 30'000, 30'000},
        {"sent at the first of two samples' instant: one sample early",
         {.asdus = 2}, -208'334, -208'333},
        {"one ASDU a frame, 4000/s, 1.5 ms", {.rate = 4000, .wrap = 4000, .asdus = 1, .delay_ns = 1'500'000}, 1'500'000,
         1'500'000},
        {"late by 0.4 s: still the nearest instant", {.rate = 4000, .wrap = 4000, .asdus = 1, .delay_ns = 400'000'000},
         400'000'000, 400'000'000},
        {"early by 0.3 s: a negative latency", {.rate = 4000, .wrap = 4000, .asdus = 1, .delay_ns = -300'000'000},
         -300'000'000, -300'000'000},
    };
    for (const auto& c : cases) {
        const auto analyzer = analysed(c.run);
        const SvStream& s = analyzer->live().sv(0);
        // Measured from the frame after the first fall of the counter on.
        const std::uint64_t frames_per_second = c.run.rate / c.run.asdus;
        EXPECT_EQ(s.latency.count(), 2 * frames_per_second) << c.why;
        EXPECT_EQ(s.latency.min(), c.min_ns) << c.why;
        EXPECT_EQ(s.latency.max(), c.max_ns) << c.why;
        const SvFigures f = figures(s);
        EXPECT_TRUE(f.counter_at_rate) << c.why;
        EXPECT_DOUBLE_EQ(f.latency_min_us, static_cast<double>(c.min_ns) / 1e3) << c.why;
        EXPECT_NEAR(f.latency_median_us, static_cast<double>(c.min_ns) / 1e3, std::abs(c.min_ns / 1e3) / 128 + 0.001)
            << c.why;
    }
}

TEST(Latency, NoneForACounterThatDoesNotWrapAtTheRate) {
    const struct {
        const char* why;
        Traffic run;
    } cases[] = {
        {"wraps at 4000 while 4800 samples a second come", {.rate = 4800, .wrap = 4000, .asdus = 1}},
        {"wraps every cycle (80) at 4000/s", {.rate = 4000, .wrap = 80, .asdus = 1}},
        {"never wraps within the run", {.rate = 4000, .wrap = 65536, .asdus = 1}},
    };
    for (const auto& c : cases) {
        const auto analyzer = analysed(c.run);
        const SvFigures f = figures(analyzer->live().sv(0));
        EXPECT_FALSE(f.counter_at_rate) << c.why;
        EXPECT_TRUE(std::isnan(f.latency_median_us)) << c.why;
        EXPECT_TRUE(std::isnan(f.latency_max_us)) << c.why;
        EXPECT_FALSE(f.profile.has_value()) << c.why;
    }
}

TEST(Latency, SignedQuantilesWithinTheBucketError) {
    LatencyHistogram h;
    // -1000 us to +2999 us by 1 us: 4000 values, median at +999 or +1000 us.
    for (std::int64_t us = -1000; us < 3000; ++us) h.add(us * 1000);
    EXPECT_EQ(h.count(), 4000u);
    EXPECT_EQ(h.min(), -1'000'000);
    EXPECT_EQ(h.max(), 2'999'000);
    EXPECT_NEAR(h.quantile(0.5), 999'000.0, 999'000.0 * LatencyHistogram::RELATIVE_ERROR);
    EXPECT_NEAR(h.quantile(0.1), -601'000.0, 601'000.0 * LatencyHistogram::RELATIVE_ERROR);
    EXPECT_EQ(h.quantile(0.0), -1'000'000.0);
    EXPECT_EQ(h.quantile(1.0), 2'999'000.0);
    // Beyond the last bucket of either side: min and max stay exact.
    h.add(-5 * SECOND);
    h.add(7 * SECOND);
    EXPECT_EQ(h.quantile(0.0), -5.0 * SECOND);
    EXPECT_EQ(h.quantile(1.0), 7.0 * SECOND);
    EXPECT_EQ(LatencyHistogram{}.quantile(0.5), 0.0);
    EXPECT_DOUBLE_EQ(IntervalHistogram::shown(-208.3334), -208.3);
}

// Assignment copies only the bands of buckets in use: whatever the two
// histograms held, the target ends equal to the source, every bucket.
TEST(Histograms, AssignmentOverAnyOtherLeavesAnExactCopy) {
    struct Band {
        std::int64_t low_ns;
        std::int64_t high_ns;
        int values;
    };
    const struct {
        Band target;  // what the target held before
        Band source;
        const char* why;
    } cases[] = {
        {{200'000, 220'000, 500}, {200'000, 220'000, 500}, "the same band"},
        {{150'000, 300'000, 500}, {200'000, 210'000, 500}, "a wider target: its outer buckets must be cleared"},
        {{200'000, 210'000, 500}, {150'000, 300'000, 500}, "a wider source"},
        {{1'000, 5'000, 200}, {2 * SECOND, 3 * SECOND, 200}, "disjoint bands, the target below"},
        {{2 * SECOND, 3 * SECOND, 200}, {1'000, 5'000, 200}, "disjoint bands, the target above"},
        {{100'000, 200'000, 300}, {150'000, 250'000, 300}, "overlapping bands"},
        {{100'000, 200'000, 300}, {0, 0, 0}, "an empty source clears the target"},
        {{0, 0, 0}, {100'000, 200'000, 300}, "an empty target"},
        {{-300'000, 300'000, 400}, {-10'000, 10'000, 400}, "both signs (latency)"},
    };
    std::mt19937_64 random(7);
    // Fills a target and a source of histogram type H as the case says,
    // assigns the source over the target and compares it with a copy
    // constructed from the source (which copies every bucket).
    const auto check = [&]<class H>(const auto& c, bool signed_values) {
        const auto fill = [&](H& h, const Band& band) {
            for (int k = 0; k < band.values; ++k) {
                const auto v = std::uniform_int_distribution<std::int64_t>(band.low_ns, band.high_ns)(random);
                const std::int64_t value = signed_values || v >= 0 ? v : -v;
                h.add(static_cast<decltype(h.min())>(value));
            }
        };
        auto both = std::make_unique<std::array<H, 2>>();  // target, source
        auto& [target, source] = *both;
        fill(target, c.target);
        fill(source, c.source);
        const auto fresh = std::make_unique<H>(source);
        target = source;
        EXPECT_TRUE(target == *fresh) << c.why;
        EXPECT_EQ(target.quantile(0.99), fresh->quantile(0.99)) << c.why;
    };
    for (const auto& c : cases) {
        check.template operator()<IntervalHistogram>(c, false);
        check.template operator()<LatencyHistogram>(c, true);
    }
}

// --- Outages ---------------------------------------------------------------------

TEST(Outages, GapsAboveThreeMeanIntervalsCountedOnceEach) {
    auto analyzer = std::make_unique<Analyzer>(Limits{.sv_streams = 4});
    NoEvents none;
    constexpr std::int64_t PERIOD = 250'000;
    // Gaps after frame k, in periods: 2.8 is none, 3.2 and 40 are outages.
    const struct {
        std::uint16_t after;
        double periods;
    } gaps[] = {{100, 2.8}, {200, 3.2}, {300, 40}};
    std::int64_t t = T0;
    for (std::uint16_t k = 0; k < 400; ++k) {
        for (const auto& g : gaps) {
            if (g.after == k) t += static_cast<std::int64_t>(g.periods * PERIOD) - PERIOD;
        }
        analyzer->add(sv_frame({SvAsdu{.smp_cnt = k}}), t, none);
        t += PERIOD;
    }
    const std::int64_t last = t - PERIOD;
    const SvStream& s = analyzer->live().sv(0);
    EXPECT_EQ(s.outages, 2u);
    EXPECT_EQ(s.longest_outage_ns, 40u * PERIOD);
    EXPECT_FALSE(s.silent);

    // The publisher stops: a tick within three periods finds nothing, one
    // after finds an outage, counted once however many ticks see it.
    analyzer->tick(last + 2 * PERIOD, none);
    EXPECT_FALSE(analyzer->live().sv(0).silent);
    analyzer->tick(last + 100 * PERIOD, none);
    EXPECT_TRUE(analyzer->live().sv(0).silent);
    EXPECT_EQ(analyzer->live().sv(0).outages, 3u);
    EXPECT_EQ(analyzer->live().sv(0).longest_outage_ns, 100u * PERIOD);
    analyzer->tick(last + 200 * PERIOD, none);
    EXPECT_EQ(analyzer->live().sv(0).outages, 3u);
    EXPECT_EQ(analyzer->live().sv(0).longest_outage_ns, 200u * PERIOD);
    // It comes back: the same outage, now 300 periods long.
    analyzer->add(sv_frame({SvAsdu{.smp_cnt = 400}}), last + 300 * PERIOD, none);
    EXPECT_FALSE(analyzer->live().sv(0).silent);
    EXPECT_EQ(analyzer->live().sv(0).outages, 3u);
    EXPECT_EQ(analyzer->live().sv(0).longest_outage_ns, 300u * PERIOD);
}

// --- Profiles --------------------------------------------------------------------

TEST(Profiles, NamesReadAndWritten) {
    const struct {
        const char* name;
        sv::Profile profile;
    } good[] = {
        {"F4800S2I4U4", {4800, 2, 4, 4}},
        {"F14400S6I4U4", {14400, 6, 4, 4}},
        {"F4000S1I4U4", {4000, 1, 4, 4}},
        {"F12800S8I4U4", {12800, 8, 4, 4}},
        {"F1S1I1U0", {1, 1, 1, 0}},
        {"F9600S4I3U0", {9600, 4, 3, 0}},
    };
    for (const auto& c : good) {
        const auto parsed = sv::parse_profile(c.name);
        ASSERT_TRUE(parsed.has_value()) << c.name;
        EXPECT_EQ(*parsed, c.profile) << c.name;
        EXPECT_EQ(sv::profile_name(c.profile).view(), c.name);
    }
    const struct {
        const char* name;
        sv::ProfileError error;
        const char* why;
    } bad[] = {
        {"", sv::ProfileError::Syntax, "empty"},
        {"f4800s2i4u4", sv::ProfileError::Syntax, "lower case"},
        {"F4800S2I4", sv::ProfileError::Syntax, "no U"},
        {"F4800S2U4I4", sv::ProfileError::Syntax, "U before I"},
        {"F4800S2I4U4X", sv::ProfileError::Syntax, "trailing letter"},
        {"F04800S2I4U4", sv::ProfileError::Syntax, "leading zero"},
        {"F+4800S2I4U4", sv::ProfileError::Syntax, "sign"},
        {"F4800SI4U4", sv::ProfileError::Syntax, "S without a number"},
        {"F1000000S1I4U4", sv::ProfileError::Syntax, "seven digits"},
        {"F0S1I4U4", sv::ProfileError::Rate, "rate 0"},
        {"F65537S1I4U4", sv::ProfileError::Rate, "rate above 16-bit counters"},
        {"F4800S0I4U4", sv::ProfileError::Asdus, "no ASDU"},
        {"F65536S256I4U4", sv::ProfileError::Asdus, "256 ASDUs"},
        {"F4800S7I4U4", sv::ProfileError::AsdusDivide, "7 does not divide 4800"},
        {"F4800S2I0U0", sv::ProfileError::Channels, "no channel"},
        {"F4800S2I200U56", sv::ProfileError::Channels, "256 channels"},
    };
    for (const auto& c : bad) {
        const auto parsed = sv::parse_profile(c.name);
        ASSERT_FALSE(parsed.has_value()) << c.why;
        EXPECT_EQ(parsed.error(), c.error) << c.why;
    }
    EXPECT_EQ(sv::profile_error_text(sv::ProfileError::AsdusDivide), "the ASDUs per frame S must divide the rate F");
    // Any numbers are written, the largest too.
    EXPECT_EQ(sv::profile_name({UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX}).view(),
              "F4294967295S4294967295I4294967295U4294967295");
}

TEST(Profiles, AStreamMatchesThePreferredProfileOfItsRateAsdusAndChannels) {
    const struct {
        const char* why;
        Traffic run;
        const char* profile;  // nullptr: none
    } cases[] = {
        {"61869-9 protection", {.rate = 4800, .wrap = 4800, .asdus = 2}, "F4800S2I4U4"},
        {"9-2LE at 50 Hz", {.rate = 4000, .wrap = 4000, .asdus = 1}, "F4000S1I4U4"},
        {"9-2LE at 60 Hz", {.rate = 4800, .wrap = 4800, .asdus = 1}, "F4800S1I4U4"},
        {"61869-9 quality", {.rate = 14400, .wrap = 14400, .asdus = 6, .seconds = 2}, "F14400S6I4U4"},
        {"256 a cycle at 50 Hz", {.rate = 12800, .wrap = 12800, .asdus = 8, .seconds = 2}, "F12800S8I4U4"},
        {"256 a cycle at 60 Hz", {.rate = 15360, .wrap = 15360, .asdus = 8, .seconds = 2}, "F15360S8I4U4"},
        {"6 channels", {.rate = 4800, .wrap = 4800, .asdus = 2, .channels = 6}, nullptr},
        {"4 ASDUs a frame", {.rate = 4800, .wrap = 4800, .asdus = 4}, nullptr},
        {"a rate no profile has", {.rate = 4400, .wrap = 4400, .asdus = 1}, nullptr},
    };
    for (const auto& c : cases) {
        const auto analyzer = analysed(c.run);
        const SvFigures f = figures(analyzer->live().sv(0));
        if (c.profile == nullptr) {
            EXPECT_FALSE(f.profile.has_value()) << c.why;
        } else {
            ASSERT_TRUE(f.profile.has_value()) << c.why;
            EXPECT_EQ(sv::profile_name(*f.profile).view(), c.profile) << c.why;
        }
    }
}

}  // namespace
}  // namespace valdrin::analysis
