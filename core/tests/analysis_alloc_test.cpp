// The analyzer's real-time promise, checked: once built, add, tick,
// finish, snapshot and figures allocate nothing. This test binary's
// operator new counts every allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Out of line, so that the compiler does not pair malloc and free across them.
[[gnu::noinline]] void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace valdrin::analysis {
namespace {

using test::Octets;

struct Counting final : EventSink {
    std::size_t events = 0;
    void on(const Event&) noexcept override { ++events; }
};

TEST(RealTime, NothingAllocatesAfterConstruction) {
    // Every path: new streams and blocks, overflow, changes, state changes,
    // TAL expiry, malformed and other frames.
    std::vector<Octets> frames;
    for (std::uint16_t c = 0; c < 600; ++c) {
        frames.push_back(test::sv_frame({test::SvAsdu{.sv_id = c % 5 == 0 ? "MU02" : "MU01",
                                                      .smp_cnt = static_cast<std::uint16_t>(c * 7 % 4000),
                                                      .conf_rev = c / 300u,
                                                      .sample = test::le_sample({c, -c, 3 * c})}},
                                        0x4000, test::SV_DST, c % 100 == 0 ? 0x8000 : 0));
    }
    frames.push_back(test::sv_frame({test::SvAsdu{.sv_id = "MU03"}}));  // beyond the limits
    for (std::uint32_t st = 1; st < 5; ++st) {
        frames.push_back(test::goose_frame({.gocb_ref = "IED1/LLN0$GO$gcb1", .time_allowed_to_live = 10,
                                            .dat_set = "DS", .st_num = st, .sq_num = st % 2}));
    }
    frames.push_back(Octets{0x60, 0x00});
    Octets broken = test::sv_frame(1);
    broken.resize(30);
    frames.push_back(broken);

    const Limits limits{.sv_streams = 2, .goose_blocks = 2};
    Analyzer analyzer(limits);
    Snapshot copy(limits);
    Counting sink;
    const std::size_t before = allocations.load();
    ASSERT_GT(before, 0u);  // the counting works: building the frames allocated
    std::int64_t t = 1'700'000'000'000'000'000;
    for (const Octets& frame : frames) {
        analyzer.add(frame, t += 20'000'000, sink);
        analyzer.tick(t + 5'000'000, sink);
    }
    analyzer.finish(t + 100'000'000, sink);
    ASSERT_TRUE(analyzer.snapshot(copy));
    const SvFigures f = figures(copy.sv(0));
    EXPECT_EQ(allocations.load(), before);

    EXPECT_TRUE(f.values);
    EXPECT_EQ(copy.totals().sv_untracked, 1u);
    EXPECT_EQ(copy.totals().malformed, 1u);
    EXPECT_EQ(copy.totals().other, 1u);
    EXPECT_GT(copy.goose(0).tal_expired, 0u);
    EXPECT_GT(sink.events, 10u);
}

}  // namespace
}  // namespace valdrin::analysis
