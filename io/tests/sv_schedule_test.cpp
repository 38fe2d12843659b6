// Tests of the publisher's schedule: which samples each frame period carries
// and its instant, for rates that divide a second evenly and rates that do
// not, and the first period due from an instant (the resume rule).
#include "sv_engine/schedule.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace valdrin::io::sv_engine {
namespace {

constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();

struct PeriodCase {
    const char* why;
    Schedule schedule;
    std::uint64_t k;
    std::int64_t second;
    std::int64_t first_smp;
    Nanos due_ns;
};

// Instants worked out by hand: start + smp × 10^9 / rate, rounded down.
const PeriodCase period_cases[] = {
    {"period 0 is sample 0 of the start second", {100, 4000, 1}, 0, 100, 0, 100'000'000'000},
    {"4000/s: 250 µs apart", {100, 4000, 1}, 1, 100, 1, 100'000'250'000},
    {"the next second begins at k = rate", {100, 4000, 1}, 4001, 101, 1, 101'000'250'000},
    {"4800/s: 208333.3 ns rounds down", {100, 4800, 1}, 1, 100, 1, 100'000'208'333},
    {"4800/s: 416666.6 ns rounds down", {100, 4800, 1}, 2, 100, 2, 100'000'416'666},
    {"4800/s: the last period of a second", {100, 4800, 1}, 4799, 100, 4799, 100'999'791'666},
    {"4800/s, 2 ASDUs: 6 samples are 1.25 ms", {100, 4800, 2}, 3, 100, 6, 100'001'250'000},
    {"14400/s, 8 ASDUs: 555555.5 ns", {100, 14400, 8}, 1, 100, 8, 100'000'555'555},
    {"14400/s, 8 ASDUs: last of the second", {100, 14400, 8}, 1799, 100, 14392, 100'999'444'444},
    {"14400/s, 8 ASDUs: 1800 periods a second", {100, 14400, 8}, 1800, 101, 0, 101'000'000'000},
    {"3/s: thirds of a second", {0, 3, 1}, 2, 0, 2, 666'666'666},
    {"before 1970", {-2, 4000, 4}, 1001, -1, 4, -999'000'000},
};

TEST(SvSchedule, PeriodsCarryTheirSamplesAtTheirInstants) {
    for (const PeriodCase& c : period_cases) {
        const Period p = c.schedule.period(c.k);
        EXPECT_EQ(p.second, c.second) << c.why;
        EXPECT_EQ(p.first_smp, c.first_smp) << c.why;
        EXPECT_TRUE(p.due_ns == c.due_ns) << c.why;
    }
}

TEST(SvSchedule, InstantsBeyondSixtyFourBitsOfNanoseconds) {
    const Schedule s{9'000'000'000'000, 4000, 1};
    const Nanos expected = Nanos{9'000'000'000'000} * 1'000'000'000 + 250'000;
    EXPECT_TRUE(s.period(1).due_ns == expected);
    // The largest period number: 2^64 - 1 = 4611686018427387 × 4000 + 3615.
    const Period last = s.period(kLast);
    EXPECT_TRUE(last.second == Nanos{9'000'000'000'000} + 4'611'686'018'427'387);
    EXPECT_EQ(last.first_smp, 3615);
}

struct FromCase {
    const char* why;
    Nanos t;
    std::uint64_t first;
};

// 4800/s from second 100: period k is due at 100 s + floor(k × 208333.3 ns).
const FromCase from_cases[] = {
    {"long before the start", 0, 0},
    {"at the start", 100'000'000'000, 0},
    {"just after the start", 100'000'000'001, 1},
    {"at period 1's instant", 100'000'208'333, 1},
    {"a ns after it", 100'000'208'334, 2},
    {"a ns before the next second", 100'999'999'999, 4800},
    {"at the next second", 101'000'000'000, 4800},
    {"between the seconds' last periods", 100'999'791'667, 4800},
};

TEST(SvSchedule, FirstPeriodDueFromAnInstant) {
    const Schedule s{100, 4800, 1};
    for (const FromCase& c : from_cases) EXPECT_EQ(s.first_due_from(c.t), c.first) << c.why;
}

TEST(SvSchedule, FirstPeriodSaturatesFarAhead) {
    const Schedule s{std::numeric_limits<std::int64_t>::min(), 65536, 1};
    EXPECT_EQ(s.first_due_from(std::numeric_limits<std::int64_t>::max()), kLast);
}

}  // namespace
}  // namespace valdrin::io::sv_engine
