#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "frames.hpp"
#include "overcurrent.hpp"
#include "sv_watch.hpp"

namespace valdrin::protection {
namespace {

using Decided = std::vector<std::pair<std::size_t, Decision>>;

// The samples at which `samples` made the element decide, and what.
Decided decisions(const OvercurrentSettings& settings, const std::vector<std::int32_t>& samples) {
    auto element = Overcurrent::make(settings);
    EXPECT_TRUE(element.has_value());
    Decided out;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Decision d = element->add(samples[i]);
        if (d != Decision::None) out.emplace_back(i, d);
    }
    return out;
}

std::vector<std::int32_t> repeat(std::int32_t value, std::size_t n) { return std::vector<std::int32_t>(n, value); }
std::vector<std::int32_t> join(std::initializer_list<std::vector<std::int32_t>> parts) {
    std::vector<std::int32_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

constexpr Decision T = Decision::Trip;
constexpr Decision R = Decision::Reset;

TEST(Overcurrent, DecisionSamples) {
    const struct {
        const char* why;
        OvercurrentSettings settings;
        std::vector<std::int32_t> samples;
        Decided expected;
    } cases[] = {
        {"no decision before the window is full, then at once", {4, 10, 0}, repeat(20, 6), {{3, T}}},
        {"the delay counts samples after the pickup sample", {4, 10, 2}, repeat(20, 8), {{5, T}}},
        {"an RMS equal to the pickup does not pick up", {4, 10, 0}, repeat(10, 20), {}},
        {"one count above picks up", {1, 10, 0}, join({repeat(10, 3), {11}}), {{3, T}}},
        {"negative samples weigh as positive ones", {4, 10, 1}, repeat(-20, 6), {{4, T}}},
        {"INT32_MIN squares without overflow", {2, 2'000'000'000, 0},
         repeat(std::numeric_limits<std::int32_t>::min(), 3), {{1, T}}},
        {"a dip before the delay runs out restarts it", {1, 10, 3},
         {20, 20, 5, 20, 20, 20, 20, 20}, {{6, T}}},
        {"reset at the first window whose RMS is back at the pickup", {4, 10, 0},
         join({repeat(20, 4), repeat(0, 4)}), {{3, T}, {6, R}}},
        {"a pickup that drops before the trip resets nothing", {2, 10, 5},
         join({repeat(20, 4), repeat(0, 4)}), {}},
        {"trip, reset, trip again: each shot its own delay", {1, 10, 1},
         {20, 20, 20, 0, 0, 20, 20}, {{1, T}, {3, R}, {6, T}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decisions(c.settings, c.samples), c.expected) << c.why;
    }
}

TEST(Overcurrent, SineRmsAgainstPickup) {
    // 50 Hz at 4000 samples/s: 80 samples a cycle; RMS of amplitude A is A / sqrt 2.
    const struct {
        const char* why;
        double amplitude;
        std::uint32_t pickup;
        bool trips;
    } cases[] = {
        {"RMS 7071 above 7000", 10'000.0, 7'000, true},
        {"RMS 7071 below 7100", 10'000.0, 7'100, false},
    };
    for (const auto& c : cases) {
        std::vector<std::int32_t> samples;
        for (int n = 0; n < 400; ++n) {
            samples.push_back(static_cast<std::int32_t>(std::lround(c.amplitude * std::sin(2 * std::numbers::pi * n / 80))));
        }
        const Decided expected = c.trips ? Decided{{79, T}} : Decided{};
        EXPECT_EQ(decisions({80, c.pickup, 0}, samples), expected) << c.why;
    }
}

TEST(Overcurrent, RefusedSettings) {
    const struct {
        const char* why;
        OvercurrentSettings settings;
        SettingError error;
    } cases[] = {
        {"no window", {0, 10, 0}, SettingError::WindowEmpty},
        {"window above the limit", {MAX_WINDOW + 1, 10, 0}, SettingError::WindowTooLong},
        {"pickup 0", {80, 0, 0}, SettingError::PickupZero},
    };
    for (const auto& c : cases) {
        const auto made = Overcurrent::make(c.settings);
        ASSERT_FALSE(made.has_value()) << c.why;
        EXPECT_EQ(made.error(), c.error) << c.why;
    }
    EXPECT_EQ(describe(SettingError::PickupZero), "the pickup must be above 0");
}

TEST(Overcurrent, RmsAndClear) {
    auto element = Overcurrent::make({4, 10, 0});
    ASSERT_TRUE(element.has_value());
    for (std::int32_t v : {3, -4, 3, -4}) (void)element->add(v);
    EXPECT_DOUBLE_EQ(element->rms(), std::sqrt(12.5));
    for (int i = 0; i < 4; ++i) (void)element->add(100);
    EXPECT_TRUE(element->tripped());
    element->clear();
    EXPECT_TRUE(element->tripped());  // the reset is the window's to decide
    EXPECT_FALSE(element->picked_up());
    EXPECT_EQ(element->rms(), 0.0);
    // A cleared element needs a whole window again before deciding; a
    // window still above the pickup does not trip a second time.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(element->add(100), Decision::None);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(element->add(0), Decision::None);  // 100 still in the window
    EXPECT_EQ(element->add(0), Decision::Reset);
}

}  // namespace
}  // namespace valdrin::protection

namespace valdrin::analysis {
namespace {

struct Recorder final : EventSink {
    std::vector<Event> events;
    void on(const Event& event) noexcept override { events.push_back(event); }
};

test::Octets frame_of(const std::string& sv_id, std::uint16_t smp_cnt, std::int32_t ia) {
    return test::sv_frame({test::SvAsdu{.sv_id = sv_id, .smp_cnt = smp_cnt, .sample = test::le_sample({ia})}});
}

TEST(SvWatch, DepartureOfTheMarkedOutgoingAsdu) {
    auto watch = SvWatch::make({.sv_id = "MU01", .departure_smp_cnt = 7});
    ASSERT_TRUE(watch.has_value());
    Recorder sink;
    const struct {
        const char* why;
        std::string sv_id;
        std::uint16_t smp_cnt;
        bool outgoing;
        bool marked;
    } rows[] = {
        {"the marked one, sent", "MU01", 7, true, true},
        {"received, not sent", "MU01", 7, false, false},
        {"another smpCnt", "MU01", 8, true, false},
        {"another stream", "MU02", 7, true, false},
    };
    for (const auto& row : rows) {
        sink.events.clear();
        watch->add(frame_of(row.sv_id, row.smp_cnt, 0), 1'000, row.outgoing, sink);
        ASSERT_EQ(sink.events.size(), row.marked ? 1u : 0u) << row.why;
        if (!row.marked) continue;
        EXPECT_EQ(sink.events[0].kind, EventKind::SvDeparture);
        EXPECT_EQ(sink.events[0].time_ns, 1'000);
        EXPECT_EQ(sink.events[0].smp_cnt, 7);
        EXPECT_TRUE(sink.events[0].outgoing);
        EXPECT_EQ(std::string(sink.events[0].id.begin(), sink.events[0].id.end()), "MU01");
    }
}

TEST(SvWatch, OvercurrentOnReceivedAsdusWithTheDecidingFramesTime) {
    auto watch = SvWatch::make({.sv_id = "MU01", .overcurrent = protection::OvercurrentSettings{2, 10, 1}});
    ASSERT_TRUE(watch.has_value());
    Recorder sink;
    std::uint16_t cnt = 3998;  // across the wrap at 4000 samples/s
    const auto feed = [&](std::int32_t ia, std::int64_t t, bool outgoing = false) {
        watch->add(frame_of("MU01", cnt, ia), t, outgoing, sink);
        cnt = cnt == 3999 ? 0 : cnt + 1;
    };
    feed(50, 100);
    feed(50, 200, true);  // sent by this host: not fed, and no gap either
    feed(50, 300);        // smpCnt 0 follows 3999: window full, picked up; the delay is 1
    feed(50, 400);
    feed(0, 500);
    feed(0, 600);
    ASSERT_EQ(sink.events.size(), 2u);
    EXPECT_EQ(sink.events[0].kind, EventKind::OvercurrentTrip);
    EXPECT_EQ(sink.events[0].time_ns, 400);
    EXPECT_EQ(sink.events[0].smp_cnt, 1);
    EXPECT_DOUBLE_EQ(sink.events[0].rms, 50.0);
    EXPECT_EQ(sink.events[1].kind, EventKind::OvercurrentReset);
    EXPECT_EQ(sink.events[1].time_ns, 600);
    EXPECT_DOUBLE_EQ(sink.events[1].rms, 0.0);
}

TEST(SvWatch, AGapInSmpCntEmptiesTheWindow) {
    auto watch = SvWatch::make({.sv_id = "MU01", .overcurrent = protection::OvercurrentSettings{2, 10, 0}});
    ASSERT_TRUE(watch.has_value());
    Recorder sink;
    watch->add(frame_of("MU01", 10, 50), 1, false, sink);
    watch->add(frame_of("MU01", 12, 50), 2, false, sink);  // 11 lost: the window starts again
    EXPECT_TRUE(sink.events.empty());
    watch->add(frame_of("MU01", 13, 50), 3, false, sink);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0].time_ns, 3);
}

TEST(SvWatch, RefusedOptions) {
    const struct {
        const char* why;
        SvWatchOptions options;
        std::string text;
    } cases[] = {
        {"no svID", {.sv_id = ""}, "the watched svID is empty"},
        {"channel out of range", {.sv_id = "A", .overcurrent = protection::OvercurrentSettings{}, .channel = 256},
         "the watched channel must be between 0 and 255"},
        {"element refused", {.sv_id = "A", .overcurrent = protection::OvercurrentSettings{80, 0, 0}},
         "overcurrent: the pickup must be above 0"},
    };
    for (const auto& c : cases) {
        const auto made = SvWatch::make(c.options);
        ASSERT_FALSE(made.has_value()) << c.why;
        EXPECT_EQ(describe(made.error()), c.text) << c.why;
    }
}

}  // namespace
}  // namespace valdrin::analysis
