#include "prp_receiver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::prp {
namespace {

using test::Octets;

const Mac dst{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01};
const Mac node_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
constexpr std::int64_t MS = 1'000'000;

// An SV frame of APPID `app_id` from `src`, 70 octets, its last octet `mark`.
Octets sv(std::uint16_t app_id, std::uint8_t mark, const Mac& src = node_mac) {
    Octets out(dst.begin(), dst.end());
    out.insert(out.end(), src.begin(), src.end());
    out.insert(out.end(), {0x88, 0xBA, std::uint8_t(app_id >> 8), std::uint8_t(app_id), 0x00, 0x38, 0, 0, 0, 0});
    out.resize(69, 0x5A);
    out.push_back(mark);
    return out;
}

// `frame` with the trailer of `seq` and `lan` (the size written right).
Octets trailed(Octets frame, std::uint16_t seq, Lan lan) {
    const std::size_t size = frame.size();
    frame.resize(size + 70);
    frame.resize(write_trailer(frame, size, seq, lan).value());
    return frame;
}

// The frames a Receiver passed on, as octet strings.
struct Passed {
    Receiver receiver;
    std::vector<Octets> frames;
    void add(const Octets& frame, Lan lan, std::int64_t t_ns) {
        auto out = receiver.add(frame, lan, t_ns);
        if (out) frames.emplace_back(out->begin(), out->end());
    }
};

TEST(Receiver, BothLansDeliver) {
    Passed p;
    for (std::uint16_t seq = 0; seq < 5; ++seq) {
        const Octets f = sv(0x4000, static_cast<std::uint8_t>(seq));
        p.add(trailed(f, seq, Lan::A), Lan::A, seq * MS);
        p.add(trailed(f, seq, Lan::B), Lan::B, seq * MS + 300'000);  // B 300 us later
    }
    p.receiver.finish();
    ASSERT_EQ(p.frames.size(), 5U) << "one copy of each";
    for (std::uint16_t seq = 0; seq < 5; ++seq) EXPECT_EQ(p.frames[seq], sv(0x4000, static_cast<std::uint8_t>(seq)));
    ASSERT_EQ(p.receiver.flow_count(), 1U);
    const Flow& f = p.receiver.flow(0);
    EXPECT_EQ(f.app_id, 0x4000);
    EXPECT_EQ(f.ethertype, 0x88BA);
    EXPECT_EQ(f.src_mac, node_mac);
    EXPECT_EQ(f.frames, (std::array<std::uint64_t, 2>{5, 5}));
    EXPECT_EQ(f.lost, (std::array<std::uint64_t, 2>{0, 0}));
    EXPECT_EQ(f.skew.count(), 5U);
    EXPECT_EQ(f.skew.min(), 300'000);
    EXPECT_EQ(f.skew.max(), 300'000);
    EXPECT_EQ(f.skew.quantile(0.5), 300'000.0);
    EXPECT_EQ(p.receiver.totals().discarded, 5U);
    EXPECT_EQ(p.receiver.node(0).frames, (std::array<std::uint64_t, 2>{5, 5}));
}

// At the end, a copy waiting for its twin counts as lost on the other LAN
// only while that LAN was still watched: a capture of LAN B stopped first
// is not a loss on LAN B of what LAN A went on receiving.
TEST(Receiver, FinishCountsLossOnlyWhileTheOtherLanWasWatched) {
    constexpr std::int64_t OPEN = std::numeric_limits<std::int64_t>::max();
    const struct {
        std::int64_t a_until;
        std::int64_t b_until;
        std::array<std::uint64_t, 2> lost;
        const char* why;
    } cases[] = {
        {OPEN, OPEN, {1, 7}, "both watched to the end: every copy without its twin is a loss (2 and 5-10 on B)"},
        {OPEN, 5 * MS, {1, 2}, "B watched to 5 ms: A's copies of 6-10 ms are lost on neither"},
        {OPEN, 6 * MS, {1, 3}, "a copy stamped at the end of B's watch is still B's loss"},
        {OPEN, 0, {1, 0}, "B never watched: no loss on B"},
        {2 * MS, OPEN, {0, 7}, "A watched to 2 ms: B's copy of 3 ms is lost on neither"},
    };
    for (const auto& c : cases) {
        Passed p;
        // Numbers 0 to 10 on A at (k) ms, but for 3, which only B carries;
        // B carries 0 to 4 at (k) ms + 100 us but for 2, and nothing after.
        for (std::uint16_t seq = 0; seq <= 10; ++seq) {
            const Octets f = sv(0x4000, static_cast<std::uint8_t>(seq));
            if (seq != 3) p.add(trailed(f, seq, Lan::A), Lan::A, seq * MS);
            if (seq <= 4 && seq != 2) p.add(trailed(f, seq, Lan::B), Lan::B, seq * MS + 100'000);
        }
        p.receiver.finish(c.a_until, c.b_until);
        ASSERT_EQ(p.frames.size(), 11U) << c.why;
        EXPECT_EQ(p.receiver.flow(0).lost, c.lost) << c.why;
    }
}

// A lossy LAN A and a LAN B two frames behind: every frame passes exactly
// once, the late copy of a frame A lost included (the case a receiver that
// keeps only the newest number gets wrong), and the losses are counted on
// the right LAN.
TEST(Receiver, LossyAndLateLan) {
    Passed p;
    const std::uint16_t seqs[] = {65534, 65535, 0, 1, 2};  // across the wrap
    const bool a_lost[] = {false, true, false, true, false};
    // Arrival order: A0 A1? A2, then B0, A3?, B1, A4, B2, B3, B4.
    struct Arrival { int i; Lan lan; };
    const Arrival order[] = {{0, Lan::A}, {1, Lan::A}, {2, Lan::A}, {0, Lan::B}, {3, Lan::A}, {1, Lan::B},
                             {4, Lan::A}, {2, Lan::B}, {3, Lan::B}, {4, Lan::B}};
    std::int64_t t = 0;
    for (const Arrival& a : order) {
        t += MS;
        if (a.lan == Lan::A && a_lost[a.i]) continue;
        p.add(trailed(sv(0x4001, static_cast<std::uint8_t>(a.i)), seqs[a.i], a.lan), a.lan, t);
    }
    p.receiver.finish();
    ASSERT_EQ(p.frames.size(), 5U);
    std::vector<std::uint8_t> marks;
    for (const Octets& f : p.frames) marks.push_back(f.back());
    EXPECT_EQ(marks, (std::vector<std::uint8_t>{0, 2, 1, 4, 3})) << "in arrival order of the first copies";
    const Flow& f = p.receiver.flow(0);
    EXPECT_EQ(f.frames, (std::array<std::uint64_t, 2>{3, 5}));
    EXPECT_EQ(f.lost, (std::array<std::uint64_t, 2>{2, 0})) << "lost on A: came on B only";
    EXPECT_EQ(f.skew.count(), 3U);
}

// A copy of the counts, as a monitor's snapshot takes it: equal to the
// receiver's, and left alone by what the receiver counts afterwards.
TEST(Receiver, CopiesItsCounts) {
    Passed p;
    const Mac other{0x02, 0x00, 0x00, 0x00, 0x00, 0x08};
    for (std::uint16_t seq = 0; seq < 4; ++seq) {
        p.add(trailed(sv(0x4000, 0), seq, Lan::A), Lan::A, seq * MS);
        if (seq != 2) p.add(trailed(sv(0x4000, 0), seq, Lan::B), Lan::B, seq * MS + 100'000);
        p.add(trailed(sv(0x4002, 0, other), seq, Lan::B), Lan::B, seq * MS);
    }
    p.receiver.finish();
    Receiver copy;
    p.receiver.copy_counts_into(copy);
    p.add(trailed(sv(0x4003, 0), 9, Lan::A), Lan::A, 10 * MS);  // after the copy
    ASSERT_EQ(copy.flow_count(), 2U);
    ASSERT_EQ(copy.node_count(), 2U);
    EXPECT_EQ(copy.flow(0).frames, (std::array<std::uint64_t, 2>{4, 3}));
    EXPECT_EQ(copy.flow(0).lost, (std::array<std::uint64_t, 2>{0, 1}));
    EXPECT_EQ(copy.flow(0).skew.count(), 3U);
    EXPECT_EQ(copy.flow(0).skew.max(), 100'000);
    EXPECT_EQ(copy.flow(1).app_id, 0x4002);
    EXPECT_EQ(copy.flow(1).lost, (std::array<std::uint64_t, 2>{4, 0}));
    EXPECT_EQ(copy.node(1).mac, other);
    EXPECT_EQ(copy.totals().frames, (std::array<std::uint64_t, 2>{4, 7}));
    EXPECT_EQ(copy.totals().discarded, 3U);
    EXPECT_EQ(p.receiver.flow_count(), 3U) << "the receiver went on";
}

TEST(Receiver, Marks) {
    Passed p;
    const Octets f = sv(0x4002, 1);
    // LAN B's identifier on LAN A; then LAN A's on LAN A with a wrong size.
    p.add(trailed(f, 10, Lan::B), Lan::A, 1 * MS);
    Octets bad = trailed(f, 11, Lan::A);
    bad[bad.size() - 3] ^= 0x01;  // the LSDU size's low bit
    p.add(bad, Lan::A, 2 * MS);
    // The same number twice on LAN B: the repeat is not passed on.
    p.add(trailed(f, 12, Lan::B), Lan::B, 3 * MS);
    p.add(trailed(f, 12, Lan::B), Lan::B, 4 * MS);
    // No trailer on each LAN: passed on, counted.
    p.add(f, Lan::A, 5 * MS);
    p.add(f, Lan::B, 6 * MS);
    p.add(f, Lan::B, 7 * MS);
    p.receiver.finish();
    const Flow& flow = p.receiver.flow(0);
    EXPECT_EQ(flow.wrong_lan, (std::array<std::uint64_t, 2>{1, 0}));
    EXPECT_EQ(flow.bad_size, (std::array<std::uint64_t, 2>{1, 0}));
    EXPECT_EQ(flow.repeated, 1U);
    EXPECT_EQ(flow.frames, (std::array<std::uint64_t, 2>{3, 4}));
    EXPECT_EQ(p.receiver.totals().untrailed, (std::array<std::uint64_t, 2>{1, 2}));
    EXPECT_EQ(p.frames.size(), 6U) << "10, 11, 12 and three untrailed";
    // 10 and 11 came on A only, 12 on B only.
    EXPECT_EQ(flow.lost, (std::array<std::uint64_t, 2>{1, 2}));
}

TEST(Receiver, SupervisionPerNodeAndLan) {
    Passed p;
    Octets buffer(60);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(write_supervision(buffer, node_mac, static_cast<std::uint16_t>(i), 100, Lan::A));
        p.add(buffer, Lan::A, (i + 1) * 2000 * MS);
    }
    ASSERT_TRUE(write_supervision(buffer, node_mac, 3, 101, Lan::B));
    p.add(buffer, Lan::B, 7000 * MS);
    // A supervision frame with a broken TLV: counted, not passed on.
    buffer[18] = 99;
    p.add(trailed(Octets(buffer.begin(), buffer.begin() + 28), 102, Lan::B), Lan::B, 8000 * MS);
    EXPECT_TRUE(p.frames.empty());
    ASSERT_EQ(p.receiver.node_count(), 1U);
    const Node& n = p.receiver.node(0);
    EXPECT_EQ(n.mac, node_mac);
    EXPECT_EQ(n.supervision, (std::array<std::uint64_t, 2>{3, 1}));
    EXPECT_EQ(n.last_supervision_ns, (std::array<std::int64_t, 2>{6000 * MS, 7000 * MS}));
    EXPECT_EQ(p.receiver.totals().bad_supervision, (std::array<std::uint64_t, 2>{0, 1}));
    EXPECT_EQ(p.receiver.flow_count(), 0U) << "supervision frames are no stream";
}

TEST(Receiver, HsrPassesUntagged) {
    Passed p;
    const Octets inner = sv(0x4003, 9);
    // The tag after the source MAC; LSDU = 6 + 56 = 62.
    Octets hsr(inner.begin(), inner.begin() + 12);
    hsr.insert(hsr.end(), {0x89, 0x2F, 0x00, 0x3E, 0x00, 0x05});
    hsr.insert(hsr.end(), inner.begin() + 12, inner.end());
    p.add(hsr, Lan::A, MS);
    hsr[14] = 0x10;  // the other path, same number
    p.add(hsr, Lan::B, 2 * MS);
    hsr[15] = 0x3F;  // LSDU off by one, next number
    hsr[17] = 0x06;
    p.add(hsr, Lan::B, 3 * MS);
    ASSERT_EQ(p.frames.size(), 2U);
    EXPECT_EQ(p.frames[0], inner);
    const ReceiverTotals& t = p.receiver.totals();
    EXPECT_EQ(t.hsr, (std::array<std::uint64_t, 2>{1, 2}));
    EXPECT_EQ(t.hsr_bad_size, (std::array<std::uint64_t, 2>{0, 1}));
    EXPECT_EQ(t.discarded, 1U);
    EXPECT_EQ(p.receiver.flow(0).skew.max(), MS);
}

TEST(Receiver, ForgetsOldNumbers) {
    ReceiverLimits limits;
    limits.window = 4;
    Passed p{Receiver(limits), {}};
    const Octets f = sv(0x4004, 0);
    // A restarted node sends number 0 again after more than 400 ms: new.
    p.add(trailed(f, 0, Lan::A), Lan::A, 0);
    p.add(trailed(f, 0, Lan::A), Lan::A, 401 * MS);
    // Number 1, then 5 (the same slot of a 4-wide window), then 1's copy on
    // B: 1's entry was settled (lost on B) and its late copy passes.
    p.add(trailed(f, 1, Lan::A), Lan::A, 402 * MS);
    p.add(trailed(f, 5, Lan::A), Lan::A, 403 * MS);
    p.add(trailed(f, 1, Lan::B), Lan::B, 404 * MS);
    EXPECT_EQ(p.frames.size(), 5U);
    EXPECT_EQ(p.receiver.flow(0).lost, (std::array<std::uint64_t, 2>{0, 3}))
        << "0 forgotten, then 1 and 5 each pushed out of slot 1 having come on A only";
    // tick settles what is older than 400 ms: the second 0 (401 ms), not 1 on B (404 ms).
    p.receiver.tick(803 * MS);
    EXPECT_EQ(p.receiver.flow(0).lost, (std::array<std::uint64_t, 2>{0, 4}));
    p.receiver.tick(805 * MS);
    EXPECT_EQ(p.receiver.flow(0).lost, (std::array<std::uint64_t, 2>{1, 4}));
}

TEST(Receiver, Limits) {
    ReceiverLimits limits;
    limits.nodes = 1;
    limits.flows = 1;
    Passed p{Receiver(limits), {}};
    const Mac other{0x02, 0, 0, 0, 0, 8};
    p.add(trailed(sv(0x4005, 0), 0, Lan::A), Lan::A, 0);
    p.add(trailed(sv(0x4006, 0, other), 0, Lan::A), Lan::A, 0);
    p.add(trailed(sv(0x4006, 0, other), 0, Lan::B), Lan::B, 0);
    EXPECT_EQ(p.frames.size(), 3U) << "an untracked node's copies all pass";
    EXPECT_EQ(p.receiver.totals().nodes_untracked, 2U);
    EXPECT_EQ(p.receiver.totals().flows_untracked, 2U);
}

TEST(SkewHistogram, SignedQuantiles) {
    SkewHistogram h;
    EXPECT_EQ(h.quantile(0.5), 0.0);
    // -200 us, -100 us, 0, 100 us, 300 us: nearest rank.
    for (std::int64_t v : {300'000, -100'000, 0, -200'000, 100'000}) h.add(v);
    EXPECT_EQ(h.min(), -200'000);
    EXPECT_EQ(h.max(), 300'000);
    // Each within its bucket's 1.6 % (of 2^-6 relative width).
    const struct { double q; double value; } cases[] = {
        {0, -200'000}, {0.2, -200'000}, {0.4, -100'000}, {0.6, 0}, {0.8, 100'000}, {1, 300'000}};
    for (const auto& c : cases) EXPECT_NEAR(h.quantile(c.q), c.value, std::abs(c.value) * 0.016) << c.q;
    EXPECT_GE(h.quantile(0), -200'000.0) << "kept within min";
    EXPECT_LE(h.quantile(1), 300'000.0) << "kept within max";
    // Extremes do not overflow; they share the outermost buckets.
    h.add(std::numeric_limits<std::int64_t>::min());
    h.add(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(h.min(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(h.max(), std::numeric_limits<std::int64_t>::max());
    EXPECT_LT(h.quantile(0), -1e11);
    EXPECT_GT(h.quantile(1), 1e11);
}

}  // namespace
}  // namespace valdrin::prp
