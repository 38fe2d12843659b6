// PrpMerge: the order frames of two LANs leave in, its room and what a
// full room does, without sockets.
#include "prp_merge.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace valdrin::io {
namespace {

using prp::Lan;

// One step: a frame in (its LAN, stamp, octets, each octet `id`), a release
// through a stamp, or the drain at a stop.
struct Step {
    enum Kind { Add, Release, Drain } kind;
    Lan lan = Lan::A;
    std::int64_t t_ns = 0;
    std::size_t size = 0;
    std::uint8_t id = 0;
};
Step add(Lan lan, std::int64_t t_ns, std::uint8_t id, std::size_t size = 60) {
    return {.kind = Step::Add, .lan = lan, .t_ns = t_ns, .size = size, .id = id};
}
Step release(std::int64_t t_ns) { return {.kind = Step::Release, .t_ns = t_ns}; }
Step drain() { return {.kind = Step::Drain}; }

// What left: the frame's id (its octets all equal it, checked), in order.
struct Case {
    const char* reason;
    std::size_t room;
    std::vector<Step> steps;
    std::vector<int> left;  // ids in the order they left
    std::uint64_t early;
};

std::vector<int> run(const Case& c, PrpMerge& merge) {
    std::vector<int> left;
    const auto take = [&](const PrpMerge::Frame& frame) {
        ASSERT_FALSE(frame.octets.empty()) << c.reason;
        for (const std::uint8_t octet : frame.octets) ASSERT_EQ(octet, frame.octets[0]) << c.reason;
        left.push_back(frame.octets[0]);
    };
    for (const Step& step : c.steps) {
        std::vector<std::uint8_t> octets(step.size, step.id);
        switch (step.kind) {
            case Step::Add:
                merge.add({.octets = octets, .t_ns = step.t_ns, .outgoing = false, .lan = step.lan}, take);
                break;
            case Step::Release:
                merge.release(step.t_ns, take);
                break;
            case Step::Drain:
                merge.drain(take);
                break;
        }
    }
    return left;
}

// A 60-octet frame takes 80 octets (16 of header); a 256-octet room holds three.
const std::vector<Case> CASES = {
    {"a frame only on LAN B, handed over after LAN A's later ones, leaves between them", 1 << 16,
     {add(Lan::A, 10, 1), add(Lan::A, 30, 3), add(Lan::B, 20, 2), release(40)}, {1, 2, 3}, 0},
    {"frames stamped after the release point wait for a later one", 1 << 16,
     {add(Lan::A, 10, 1), add(Lan::B, 20, 2), add(Lan::A, 30, 3), release(20), release(29), release(30)},
     {1, 2, 3}, 0},
    {"a release before every waiting stamp lets nothing through", 1 << 16,
     {add(Lan::B, 20, 2), add(Lan::A, 30, 3), release(19)}, {}, 0},
    {"equal stamps: LAN A's first, each LAN's in the order they came", 1 << 16,
     {add(Lan::B, 10, 1), add(Lan::A, 10, 2), add(Lan::B, 10, 3), add(Lan::A, 10, 4), drain()}, {2, 4, 1, 3}, 0},
    {"each LAN keeps the order its ring handed over, even when its stamps go back", 1 << 16,
     {add(Lan::A, 30, 1), add(Lan::A, 10, 2), add(Lan::B, 20, 3), drain()}, {3, 1, 2}, 0},
    {"the stop's drain: everything waiting, in stamp order", 1 << 16,
     {add(Lan::B, 20, 2), add(Lan::A, 10, 1), add(Lan::B, 40, 4), add(Lan::A, 30, 3), drain()}, {1, 2, 3, 4}, 0},
    {"LAN A's room full: the earliest waiting frame (LAN B's) leaves early, then LAN A's", 256,
     {add(Lan::B, 5, 1), add(Lan::A, 10, 2), add(Lan::A, 20, 3), add(Lan::A, 30, 4), add(Lan::A, 40, 5), drain()},
     {1, 2, 3, 4, 5}, 2},
    {"a full LAN leaves only as much early as the new frame needs", 256,
     {add(Lan::A, 10, 1), add(Lan::A, 20, 2), add(Lan::A, 30, 3), add(Lan::A, 40, 4), release(100)}, {1, 2, 3, 4}, 1},
    {"one LAN's room full does not touch the other's", 256,
     {add(Lan::A, 10, 1), add(Lan::A, 20, 2), add(Lan::A, 30, 3), add(Lan::B, 15, 4), add(Lan::B, 25, 5),
      add(Lan::B, 35, 6), drain()},
     {1, 4, 2, 5, 3, 6}, 0},
    {"a frame larger than a whole room leaves at once, after the frames waiting", 256,
     {add(Lan::B, 50, 1), add(Lan::A, 10, 2, 300), add(Lan::A, 60, 3), drain()}, {1, 2, 3}, 2},
    {"a record does not wrap: the room's end is skipped, the octets intact", 256,
     {add(Lan::A, 1, 1, 80), add(Lan::A, 2, 2, 80), release(1), add(Lan::A, 3, 3, 80), add(Lan::B, 4, 4, 200),
      drain()},
     {1, 2, 3, 4}, 0},
    {"after the skip, the room at the start fills up to the reader", 256,
     {add(Lan::A, 1, 1, 80), add(Lan::A, 2, 2, 80), release(1), add(Lan::A, 3, 3, 80), add(Lan::A, 4, 4, 80),
      drain()},
     {1, 2, 3, 4}, 1},
};

TEST(PrpMerge, LeavesInStampOrder) {
    for (const Case& c : CASES) {
        PrpMerge merge(c.room);
        EXPECT_EQ(run(c, merge), c.left) << c.reason;
        EXPECT_EQ(merge.early(), c.early) << c.reason;
    }
}

TEST(PrpMerge, LatestStampForgottenOnceEmpty) {
    PrpMerge merge(1 << 16);
    std::vector<std::uint8_t> octets(60, 7);
    const auto ignore = [](const PrpMerge::Frame&) {};
    EXPECT_EQ(merge.latest_ns(), std::numeric_limits<std::int64_t>::min());
    merge.add({.octets = octets, .t_ns = 50, .outgoing = true, .lan = Lan::B}, ignore);
    merge.add({.octets = octets, .t_ns = 30, .outgoing = false, .lan = Lan::A}, ignore);
    EXPECT_EQ(merge.latest_ns(), 50);
    std::vector<bool> outgoing;
    merge.drain([&](const PrpMerge::Frame& f) { outgoing.push_back(f.outgoing); });
    EXPECT_EQ(outgoing, (std::vector<bool>{false, true}));  // the direction travels with the frame
    EXPECT_TRUE(merge.empty());
    EXPECT_EQ(merge.latest_ns(), std::numeric_limits<std::int64_t>::min());
}

TEST(PrpMerge, RoomForTheWindowAtTheLineRate) {
    const struct {
        const char* reason;
        std::int64_t window_ns;
        std::size_t bytes;
    } rows[] = {
        {"no window: the least room", 0, 1 << 18},
        {"a negative window: the least room", -5, 1 << 18},
        {"the command's default (10 ms blocks): 2 x 15 + 10 ms, 12001 frames of 160 octets", 40'000'000, 12001 * 160},
        {"a second: capped at 32 MiB", 1'000'000'000, 1 << 25},
        {"the longest lag, saturated", std::numeric_limits<std::int64_t>::max(), 1 << 25},
    };
    for (const auto& row : rows) EXPECT_EQ(prp_merge_bytes(row.window_ns), row.bytes) << row.reason;
}

}  // namespace
}  // namespace valdrin::io
