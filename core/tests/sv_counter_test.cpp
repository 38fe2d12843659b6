#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "counters.hpp"
#include "sv_counter.hpp"

namespace valdrin::analysis {
namespace {

using test::join;
using test::range;

constexpr SvOrder NEWEST = SvOrder::Newest;
constexpr SvOrder LATE = SvOrder::Late;
constexpr SvOrder DUPLICATE = SvOrder::Duplicate;

// Each ASDU's order and index (under the wrap at the end), counted from the
// index of the stream's first sample.
TEST(SvCounter, PlacesEachAsdu) {
    const struct {
        const char* why;
        std::vector<std::uint16_t> counters;
        std::vector<SvOrder> orders;
        std::vector<std::int64_t> indices;
    } cases[] = {
        {"in order", {7, 8, 9}, {NEWEST, NEWEST, NEWEST}, {0, 1, 2}},
        {"a gap leaves its indices empty", {7, 10, 11}, {NEWEST, NEWEST, NEWEST}, {0, 3, 4}},
        {"the newest again sits on it", {7, 8, 8}, {NEWEST, NEWEST, DUPLICATE}, {0, 1, 1}},
        {"late into a gap, then again", {7, 10, 9, 9}, {NEWEST, NEWEST, LATE, DUPLICATE}, {0, 3, 2, 2}},
        {"late behind the first", {7, 8, 5}, {NEWEST, NEWEST, LATE}, {0, 1, -2}},
        {"reordered pair across the 4000 wrap", {3997, 3998, 0, 3999, 1},
         {NEWEST, NEWEST, NEWEST, LATE, NEWEST}, {0, 1, 3, 2, 4}},
        {"behind the first before any wrap is known: lap -1 of 65536", {100, 65535}, {NEWEST, LATE}, {0, -101}},
    };
    for (const auto& c : cases) {
        SvCounter counter;
        std::vector<SvPlace> places;
        for (std::uint16_t smp_cnt : c.counters) places.push_back(counter.add(smp_cnt));
        std::vector<SvOrder> orders;
        std::vector<std::int64_t> indices;
        const std::int64_t origin = counter.index({NEWEST, c.counters[0], 0});
        for (const SvPlace& place : places) {
            orders.push_back(place.order);
            indices.push_back(counter.index(place) - origin);
        }
        EXPECT_EQ(orders, c.orders) << c.why;
        EXPECT_EQ(indices, c.indices) << c.why;
    }
}

// A widened wrap moves the samples after each wrap passed under the smaller
// one, and the counters passed over become lost: the figures agree with the
// indices of the places.
TEST(SvCounter, WidenedWrapMovesLaterLaps) {
    const struct {
        const char* why;
        std::vector<std::uint16_t> counters;
        std::uint32_t wrap;
        std::uint64_t span, lost;
        SvPlace last;
        std::int64_t last_index;  // from the first sample's
    } cases[] = {
        {"learnt at 3999 and widened at once", join({range(3990, 3999), {0}, range(3999, 4000)}), 4000, 11, 0,
         {LATE, 3999, 0}, 9},
        {"3999 after a whole second under 3999", join({range(0, 3999), range(0, 3999), {3999}}), 4000, 8000, 1,
         {NEWEST, 3999, 1}, 7999},
        {"3999 twice late in a row is one late, one duplicate", join({range(0, 3999), {0, 1, 3999, 3999}}), 4000,
         4002, 0, {DUPLICATE, 3999, 0}, 3999},
        {"no fall: the wrap stays 65536", {0, 30000}, 65536, 30001, 29999, {NEWEST, 30000, 0}, 30000},
        {"more than half of 65536 ahead is behind", {0, 40000}, 65536, 25537, 25535, {LATE, 40000, -1}, -25536},
    };
    for (const auto& c : cases) {
        SvCounter counter;
        SvPlace last;
        for (std::uint16_t smp_cnt : c.counters) last = counter.add(smp_cnt);
        EXPECT_EQ(counter.wrap(), c.wrap) << c.why;
        EXPECT_EQ(counter.span(), c.span) << c.why;
        EXPECT_EQ(counter.lost(), c.lost) << c.why;
        EXPECT_EQ(last, c.last) << c.why;
        EXPECT_EQ(counter.index(last) - counter.index({NEWEST, c.counters[0], 0}), c.last_index) << c.why;
    }
}

// Lost, late and repeated samples of random streams, against a count of
// distinct sample numbers: the stream is numbers 0.. wrapping at 4000,
// each sent with some lost, repeated or swapped with the next.
TEST(SvCounter, AgreesWithDistinctSamplesOfRandomStreams) {
    std::uint64_t seed = 12345;
    auto next = [&seed](std::uint64_t bound) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return (seed >> 33) % bound;
    };
    for (int run = 0; run < 50; ++run) {
        std::vector<std::int64_t> numbers;  // sample numbers in arrival order
        const std::int64_t start = static_cast<std::int64_t>(next(4000));
        for (std::int64_t n = start; n < start + 12000; ++n) {
            const std::uint64_t roll = next(100);
            if (roll < 3) continue;                  // lost
            numbers.push_back(n);
            if (roll < 5) numbers.push_back(n);      // repeated
        }
        for (std::size_t i = 1; i + 1 < numbers.size(); i += 1 + next(200)) std::swap(numbers[i], numbers[i + 1]);
        SvCounter counter;
        std::vector<bool> seen(16000, false);
        std::uint64_t distinct = 0, repeats = 0;
        std::int64_t low = numbers[0], high = numbers[0];
        for (std::int64_t n : numbers) {
            const SvPlace place = counter.add(static_cast<std::uint16_t>(n % 4000));
            const auto k = static_cast<std::size_t>(n - start);
            EXPECT_EQ(place.order == DUPLICATE, seen[k]) << run << " at " << n;
            if (seen[k]) ++repeats;
            else ++distinct;
            seen[k] = true;
            low = std::min(low, n);
            high = std::max(high, n);
        }
        // Every counter 0..3999 arrived at least once before the first wrap was
        // crossed twice: the wrap is 4000 and indices are sample numbers.
        ASSERT_EQ(counter.wrap(), 4000u) << run;
        EXPECT_EQ(counter.index(counter.newest()) - counter.index(counter.earliest()), high - low) << run;
        EXPECT_EQ(counter.duplicated(), repeats) << run;
        EXPECT_EQ(counter.received(), distinct) << run;
        EXPECT_EQ(counter.lost(), static_cast<std::uint64_t>(high - low + 1) - distinct) << run;
    }
}

}  // namespace
}  // namespace valdrin::analysis
