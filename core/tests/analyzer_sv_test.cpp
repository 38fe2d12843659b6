#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "counters.hpp"
#include "frames.hpp"

namespace valdrin::analysis {
namespace {

using test::Octets;
using test::SvAsdu;
using test::sv_frame;

// Keeps every event, with copies of its views.
struct Recorder final : EventSink {
    std::vector<Event> events;
    std::vector<std::string> ids;
    void on(const Event& event) noexcept override {
        events.push_back(event);
        ids.emplace_back(event.id.begin(), event.id.end());
    }
    std::size_t count(EventKind kind) const {
        return static_cast<std::size_t>(std::ranges::count(events, kind, &Event::kind));
    }
};

constexpr std::int64_t T0 = 1'700'000'000'000'000'000;  // ns
constexpr std::int64_t PERIOD = 250'000;                  // 4000 frames per second

// The one stream of `counters`, one ASDU per frame, 250 us apart.
SvStream run(const std::vector<std::uint16_t>& counters) {
    Analyzer analyzer(Limits{});
    NoEvents none;
    std::int64_t t = T0;
    for (std::uint16_t c : counters) analyzer.add(sv_frame(c), t += PERIOD, none);
    EXPECT_EQ(analyzer.live().sv_count(), 1u);
    return analyzer.live().sv(0);
}

using test::join;
using test::range;

TEST(SvCounters, Sequences) {
    const struct {
        const char* why;
        std::vector<std::uint16_t> counters;
        std::uint64_t lost, duplicated, out_of_order;
        std::uint32_t wrap;
        bool learnt;
        std::uint16_t newest;
    } cases[] = {
        {"in order", range(0, 10), 0, 0, 0, 65536, false, 9},
        {"a gap of three", {0, 1, 5, 6}, 3, 0, 0, 65536, false, 6},
        {"two gaps", {0, 2, 3, 10}, 7, 0, 0, 65536, false, 10},
        {"the newest again", {0, 1, 1, 2}, 0, 1, 0, 65536, false, 2},
        {"an older one again", {0, 1, 2, 3, 1}, 0, 1, 0, 65536, false, 3},
        {"late after a gap: taken back from lost", {0, 1, 3, 2, 4}, 0, 0, 1, 65536, false, 4},
        {"late twice: the second is a duplicate", {0, 1, 3, 2, 2}, 0, 1, 1, 65536, false, 3},
        {"two late after a gap of three", {0, 4, 2, 1}, 1, 0, 2, 65536, false, 4},
        {"late, just behind the first counter: the gap after it stays lost", {10, 11, 15, 9}, 3, 0, 1, 65536,
         false, 15},
        {"late, two behind the first: the counter between is lost too", {10, 15, 8}, 5, 0, 1, 65536, false, 15},
        {"a fall from below 16 teaches no wrap (late: 3 and 4 lost)", {5, 2}, 2, 0, 1, 65536, false, 5},
        {"a small fall is reordering, not a wrap", join({range(100, 200), {150}}), 0, 1, 0, 65536, false, 199},
        {"wrap learnt at 4000", join({range(3990, 4000), range(0, 10)}), 0, 0, 0, 4000, true, 9},
        {"wrap learnt at 4800", join({range(4700, 4800), range(0, 5)}), 0, 0, 0, 4800, true, 4},
        {"wrap learnt at 65536", join({range(65530, 65536), range(0, 3)}), 0, 0, 0, 65536, true, 2},
        {"a gap across the 4000 wrap", join({range(3990, 4000), {2, 3}}), 2, 0, 0, 4000, true, 3},
        {"the wrap is learnt from the largest counter, even when the ones after it were lost",
         join({range(3990, 3998), {0}}), 0, 0, 0, 3998, true, 0},
        {"reordered across the wrap", join({range(3996, 4000), {0, 2, 1, 3}}), 0, 0, 1, 4000, true, 3},
        {"the last counter before the wrap again, after it", join({range(3996, 4000), {0, 3999}}), 0, 1, 0, 4000,
         true, 0},
        {"a second lap of the learnt wrap", join({range(3000, 4000), range(0, 4000), range(0, 4)}), 0, 0, 0,
         4000, true, 3},
        {"a counter of the last lap again is a duplicate", join({range(0, 4000), range(0, 10), {3990}}), 0, 1, 0,
         4000, true, 9},
        {"late across the wrap", join({range(3990, 3998), {3999}, range(0, 6), {3998}}), 0, 0, 1, 4000, true, 5},
        {"3999 lost in the first second, then five in a row: the widened wrap counts the first",
         join({range(0, 3999), range(0, 4000), range(0, 100), range(105, 110)}), 6, 0, 0, 4000, true, 109},
        {"3999 lost in two seconds: each wrap passed under 3999 lost one",
         join({range(0, 3999), range(0, 3999), range(0, 4000), {0}}), 2, 0, 0, 4000, true, 0},
        {"the widening counter arrives late, after the wrap: only the first second's is lost",
         join({range(3990, 3999), range(0, 3999), {0, 1, 2, 3999}}), 1, 0, 1, 4000, true, 2},
        {"widened by more than one: 3998 and 3999 lost before it",
         join({range(0, 3998), range(0, 4000), {0}}), 2, 0, 0, 4000, true, 0},
        {"3999 again after the widening is a duplicate",
         join({range(3990, 3999), range(0, 4000), {3999}}), 1, 1, 0, 4000, true, 3999},
    };
    for (const auto& c : cases) {
        const SvStream s = run(c.counters);
        EXPECT_EQ(s.frames, c.counters.size()) << c.why;
        EXPECT_EQ(s.asdus, c.counters.size()) << c.why;
        EXPECT_EQ(s.lost, c.lost) << c.why;
        EXPECT_EQ(s.duplicated, c.duplicated) << c.why;
        EXPECT_EQ(s.out_of_order, c.out_of_order) << c.why;
        EXPECT_EQ(s.wrap, c.wrap) << c.why;
        EXPECT_EQ(s.wrap_learnt, c.learnt) << c.why;
        EXPECT_EQ(s.smp_cnt, c.newest) << c.why;
    }
}

TEST(SvCounters, AsdusOfOneFrameAndStreamsByKey) {
    Analyzer analyzer(Limits{});
    Recorder events;
    std::vector<SvAsdu> eight;
    for (std::uint16_t c = 0; c < 8; ++c) eight.push_back({.smp_cnt = c});
    analyzer.add(sv_frame(eight), T0, events);
    for (SvAsdu& a : eight) a.smp_cnt = static_cast<std::uint16_t>(a.smp_cnt + 8);
    analyzer.add(sv_frame(eight), T0 + 2'000'000, events);
    // Streams differ by svID (two in one frame), APPID and destination MAC.
    analyzer.add(sv_frame({SvAsdu{.sv_id = "A", .smp_cnt = 0}, SvAsdu{.sv_id = "B", .smp_cnt = 7},
                           SvAsdu{.sv_id = "A", .smp_cnt = 1}}),
                 T0 + 3'000'000, events);
    analyzer.add(sv_frame({SvAsdu{.smp_cnt = 16}}, 0x4001), T0 + 4'000'000, events);
    ethernet::Mac other = test::SV_DST;
    other[5] = 2;
    analyzer.add(sv_frame({SvAsdu{.smp_cnt = 16}}, 0x4000, other), T0 + 5'000'000, events);

    const Snapshot& live = analyzer.live();
    ASSERT_EQ(live.sv_count(), 5u);
    const struct { const char* why; std::string id; std::uint16_t app_id; std::uint64_t frames, asdus; } rows[] = {
        {"8 ASDUs in each of two frames", "MU01", 0x4000, 2, 16},
        {"two ASDUs of one frame", "A", 0x4000, 1, 2},
        {"the other svID of that frame", "B", 0x4000, 1, 1},
        {"another APPID", "MU01", 0x4001, 1, 1},
        {"another destination", "MU01", 0x4000, 1, 1},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const SvStream& s = live.sv(i);
        EXPECT_EQ(std::string(live.sv_id(i).begin(), live.sv_id(i).end()), rows[i].id) << rows[i].why;
        EXPECT_EQ(s.app_id, rows[i].app_id) << rows[i].why;
        EXPECT_EQ(s.frames, rows[i].frames) << rows[i].why;
        EXPECT_EQ(s.asdus, rows[i].asdus) << rows[i].why;
        EXPECT_EQ(s.lost + s.duplicated + s.out_of_order, 0u) << rows[i].why;
    }
    EXPECT_EQ(live.sv(4).dst_mac, other);
    EXPECT_EQ(live.totals().sv_frames, 5u);
    EXPECT_EQ(live.totals().sv_asdus, 21u);
    ASSERT_EQ(events.count(EventKind::SvStreamSeen), 5u);
    EXPECT_EQ(events.ids[1], "A");
    EXPECT_EQ(events.events[2].index, 2u);
    EXPECT_EQ(events.events[2].time_ns, T0 + 3'000'000);
}

TEST(SvCounters, FramesOfManyAsdusAndLateFaultsCountAlike) {
    // More ASDUs than the analyzer keeps while a frame is checked (32):
    // the same counts as frames of few.
    Analyzer many(Limits{});
    Analyzer few(Limits{});
    NoEvents none;
    std::vector<SvAsdu> forty;
    for (std::uint16_t c = 0; c < 40; ++c) forty.push_back({.sv_id = c % 3 == 0 ? "B" : "A", .smp_cnt = c});
    many.add(sv_frame(forty), T0, none);
    for (const SvAsdu& a : forty) few.add(sv_frame({a}), T0, none);
    ASSERT_EQ(many.live().sv_count(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(many.live().sv(i).asdus, few.live().sv(i).asdus) << i;
        EXPECT_EQ(many.live().sv(i).lost, few.live().sv(i).lost) << i;
        EXPECT_EQ(many.live().sv(i).smp_cnt, few.live().sv(i).smp_cnt) << i;
    }
    EXPECT_EQ(many.live().totals().sv_asdus, 40u);

    // A frame whose fault comes after its ASDUs decoded (noASDU says 9)
    // is malformed, and none of its ASDUs counts.
    Octets bad = sv_frame({SvAsdu{.sv_id = "A", .smp_cnt = 100}, SvAsdu{.sv_id = "A", .smp_cnt = 101}});
    // After the link header (22) and the 60 TLV's header: 80 01 02.
    const std::size_t no_asdu = 22 + (bad[23] < 0x80 ? 2 : 2 + (bad[23] & 0x7F)) + 2;
    ASSERT_EQ(bad[no_asdu - 2], 0x80);
    ASSERT_EQ(bad[no_asdu], 2);
    bad[no_asdu] = 9;
    Recorder events;
    many.add(bad, T0 + PERIOD, events);
    EXPECT_EQ(many.live().totals().malformed_by[static_cast<std::size_t>(Malformed::SvAsduCount)], 1u);
    EXPECT_EQ(many.live().malformed_message(Malformed::SvAsduCount), "noASDU=9 but 2 ASDUs present");
    EXPECT_EQ(many.live().totals().sv_asdus, 40u);
    EXPECT_EQ(many.live().sv_count(), 2u);
    EXPECT_EQ(many.live().sv(1).smp_cnt, 38) << "stream A as before the bad frame";
    EXPECT_EQ(events.count(EventKind::DecodeFailure), 1u);
    EXPECT_EQ(events.count(EventKind::SvStreamSeen), 0u);
}

TEST(SvCounters, ChangesAndTheirEvents) {
    Analyzer analyzer(Limits{});
    Recorder events;
    const auto frame = [](std::uint16_t c, std::uint32_t conf_rev, std::uint8_t synch, std::uint32_t quality,
                          std::uint16_t reserved1) {
        std::array<std::uint32_t, 8> q{};
        q[3] = quality;
        return sv_frame({SvAsdu{.smp_cnt = c, .conf_rev = conf_rev, .smp_synch = synch,
                                .sample = test::le_sample({}, q)}},
                        0x4000, test::SV_DST, reserved1);
    };
    analyzer.add(frame(0, 1, 2, 0, 0), T0, events);
    analyzer.add(frame(1, 1, 2, 0x2000, 0), T0 + 1, events);       // quality of channel 3
    analyzer.add(frame(2, 3, 0, 0x2000, 0), T0 + 2, events);       // confRev 1 -> 3, smpSynch 2 -> 0
    analyzer.add(frame(3, 3, 0, 0, 0x8000), T0 + 3, events);       // simulation on, quality back
    analyzer.add(frame(4, 3, 0, 0, 0x8000), T0 + 4, events);
    const SvStream& s = analyzer.live().sv(0);
    EXPECT_EQ(s.conf_rev, 3u);
    EXPECT_EQ(s.conf_rev_changes, 1u);
    EXPECT_EQ(s.smp_synch, 0);
    EXPECT_EQ(s.smp_synch_changes, 1u);
    EXPECT_TRUE(s.simulation);
    EXPECT_EQ(s.simulation_changes, 1u);
    EXPECT_EQ(s.quality_changes[3], 2u);
    EXPECT_EQ(s.quality_changes[2], 0u);
    ASSERT_EQ(events.events.size(), 3u);
    EXPECT_EQ(events.events[1].kind, EventKind::ConfRevChange);
    EXPECT_EQ(events.events[1].old_value, 1u);
    EXPECT_EQ(events.events[1].new_value, 3u);
    EXPECT_EQ(events.events[2].kind, EventKind::SimulationChange);
    EXPECT_EQ(events.events[2].new_value, 1u);
    EXPECT_EQ(events.events[2].time_ns, T0 + 3);
}

TEST(SvCounters, EveryAsduOfAnotherConfRevIsCounted) {
    // Two ASDUs a frame: confRev 2, 2 | 1, 3 | 1, 1 under an expected 1.
    Analyzer analyzer(Limits{});
    analyzer.expect_conf_rev(1);
    NoEvents none;
    const std::uint32_t revs[][2] = {{2, 2}, {1, 3}, {1, 1}};
    for (std::uint16_t n = 0; n < 3; ++n) {
        const auto asdu = [&](std::uint16_t k) {
            return test::SvAsdu{.smp_cnt = static_cast<std::uint16_t>(2 * n + k), .conf_rev = revs[n][k]};
        };
        analyzer.add(test::sv_frame({asdu(0), asdu(1)}), T0 + n * PERIOD, none);
    }
    const SvStream& s = analyzer.live().sv(0);
    EXPECT_EQ(s.unexpected_conf_rev, 3u);
    EXPECT_EQ(s.first_unexpected_conf_rev, 2u);
    EXPECT_EQ(s.first_unexpected_conf_rev_ns, T0);
    EXPECT_EQ(s.conf_rev, 1u);  // the last is as expected
}

TEST(Intervals, QuantilesWithinTheStatedError) {
    std::mt19937_64 random(7);
    const struct { const char* why; std::uint64_t low, high; std::size_t n; } sets[] = {
        {"below 128 ns: exact", 0, 127, 1000},
        {"below 1024 ns: exact", 0, 1023, 5000},
        {"250 us with jitter", 240'000, 260'000, 20000},
        {"249.965 us, 10 ns of jitter", 249'960, 249'970, 4000},
        {"up to 137 s", 1, 137'000'000'000, 5000},
        {"wide spread", 1, 1'000'000'000, 5000},
        {"one value", 250'000, 250'000, 1},
    };
    for (const auto& set : sets) {
        std::uniform_int_distribution<std::uint64_t> pick(set.low, set.high);
        IntervalHistogram histogram;
        std::vector<std::uint64_t> values;
        for (std::size_t i = 0; i < set.n; ++i) {
            values.push_back(pick(random));
            histogram.add(values.back());
        }
        std::ranges::sort(values);
        EXPECT_EQ(histogram.min(), values.front()) << set.why;
        EXPECT_EQ(histogram.max(), values.back()) << set.why;
        for (double q : {0.0, 0.01, 0.5, 0.9, 0.99, 0.999, 1.0}) {
            const std::size_t rank = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(q * set.n)));
            const double exact = static_cast<double>(values[rank - 1]);
            EXPECT_LE(std::abs(histogram.quantile(q) - exact), exact * IntervalHistogram::RELATIVE_ERROR)
                << set.why << " q=" << q;
        }
    }
}

TEST(Intervals, QuantilesShownToFourSignificantDigits) {
    const struct { double quantile, shown; } cases[] = {
        {249'984.0, 250'000.0}, {249.984, 250.0}, {1234.5678, 1235.0}, {0.0123456, 0.01235}, {999.96, 1000.0},
        {7.0, 7.0}, {0.0, 0.0},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(IntervalHistogram::shown(c.quantile), c.shown) << c.quantile;
    // The digit kept is about as fine as the error: 0.1 %.
    EXPECT_LT(IntervalHistogram::RELATIVE_ERROR, 0.001);
    EXPECT_GT(IntervalHistogram::RELATIVE_ERROR * 10, 0.001);
}

TEST(Intervals, ThroughTheAnalyzerWithRate) {
    Analyzer analyzer(Limits{});
    NoEvents none;
    // 4000 frames per second of 8 ASDUs; one interval of 1 ms, one clock step back.
    std::int64_t t = T0;
    std::vector<std::int64_t> times;
    for (std::uint16_t f = 0; f < 1000; ++f) {
        std::vector<SvAsdu> asdus;
        for (std::uint16_t a = 0; a < 8; ++a) asdus.push_back({.smp_cnt = static_cast<std::uint16_t>(8 * f + a)});
        t += f == 500 ? 1'000'000 : PERIOD + (f % 3) * 1000 - 1000;
        analyzer.add(sv_frame(asdus), t, none);
    }
    const SvStream& s = analyzer.live().sv(0);
    EXPECT_EQ(s.intervals.count(), 999u);
    EXPECT_EQ(s.intervals.min(), 249'000u);
    EXPECT_EQ(s.intervals.max(), 1'000'000u);
    const SvFigures f = figures(s);
    EXPECT_DOUBLE_EQ(f.interval_min_us, 249.0);
    EXPECT_DOUBLE_EQ(f.interval_max_us, 1000.0);
    EXPECT_NEAR(f.interval_median_us, 250.0, 250.0 / 128);
    EXPECT_NEAR(f.interval_p99_us, 251.0, 251.0 / 128);
    const double span_s = static_cast<double>(s.last_ns - s.first_ns) / 1e9;
    EXPECT_DOUBLE_EQ(f.asdu_rate, 999 * 8 / span_s);

    analyzer.add(sv_frame({SvAsdu{.smp_cnt = 8000}}), t - 5, none);
    EXPECT_EQ(analyzer.live().sv(0).backward_times, 1u);
    EXPECT_EQ(analyzer.live().sv(0).intervals.count(), 999u);
}

TEST(Capacity, StreamsBeyondTheLimitsAreCountedUntracked) {
    Analyzer analyzer(Limits{.sv_streams = 2, .id_length = 8});
    Recorder events;
    const char* ids[] = {"MU01", "MU02", "MU03", "MU01", "MU_LONGER_THAN_8"};
    for (const char* id : ids) analyzer.add(sv_frame({SvAsdu{.sv_id = id}, SvAsdu{.sv_id = id}}), T0, events);
    const Snapshot& live = analyzer.live();
    EXPECT_EQ(live.sv_count(), 2u);
    EXPECT_EQ(live.totals().sv_untracked, 4u);  // MU03 and the long one, two ASDUs each
    EXPECT_EQ(live.totals().sv_asdus, 10u);
    EXPECT_EQ(live.sv(0).asdus, 4u);
    EXPECT_EQ(events.count(EventKind::SvStreamSeen), 2u);
}

TEST(Capacity, LimitsThatCannotBeSizedAreRefusedAtConstruction) {
    const std::size_t huge = std::size_t{1} << 62;
    EXPECT_THROW(Analyzer(Limits{.sv_streams = 4, .id_length = huge}), std::length_error);
    EXPECT_THROW(Analyzer(Limits{.goose_blocks = 8, .frame_length = huge}), std::length_error);
    EXPECT_THROW(Analyzer(Limits{.sv_streams = std::size_t{1} << 31}), std::length_error);
    // No room at all: everything counted, nothing tracked.
    Analyzer none(Limits{.sv_streams = 0, .goose_blocks = 0, .id_length = 0, .frame_length = 0});
    NoEvents sink;
    none.add(sv_frame(1), T0, sink);
    EXPECT_EQ(none.live().totals().sv_untracked, 1u);
    EXPECT_EQ(none.live().sv_count(), 0u);
}

TEST(Snapshot, CopiesTheLiveStateOfTheSameLimits) {
    const Limits limits{.sv_streams = 3, .goose_blocks = 2};
    Analyzer analyzer(limits);
    NoEvents none;
    for (std::uint16_t c = 0; c < 100; ++c) analyzer.add(sv_frame(c, c % 2 ? "odd" : "even"), T0 + c * PERIOD, none);
    Snapshot copy(limits);
    ASSERT_TRUE(analyzer.snapshot(copy));
    ASSERT_EQ(copy.sv_count(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(copy.sv(i) == analyzer.live().sv(i));
        EXPECT_TRUE(std::ranges::equal(copy.sv_id(i), analyzer.live().sv_id(i)));
    }
    EXPECT_EQ(copy.sv(1).lost, 49u);  // each stream sees every other counter
    EXPECT_EQ(copy.totals().frames, 100u);
    Snapshot other(Limits{});
    EXPECT_FALSE(analyzer.snapshot(other));
    EXPECT_EQ(other.sv_count(), 0u);
}

}  // namespace
}  // namespace valdrin::analysis
