// PrpSender over Unix datagram socket pairs in place of the two LANs'
// packet sockets: the exact octets of every message each LAN gets.
#include "prp_sender.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

namespace valdrin::io {
namespace {

using Octets = std::vector<std::uint8_t>;

// A connected pair: what is sent on `send` is read from `receive`.
struct Pair {
    Fd send;
    Fd receive;
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds) != 0) throw std::runtime_error("socketpair");
        send = Fd(fds[0]);
        receive = Fd(fds[1]);
    }
    // Every datagram waiting, in order.
    std::vector<Octets> read_all() const {
        std::vector<Octets> out;
        std::array<std::uint8_t, 2048> buffer;
        for (ssize_t n; (n = recv(receive.get(), buffer.data(), buffer.size(), 0)) >= 0;) {
            out.emplace_back(buffer.begin(), buffer.begin() + n);
        }
        return out;
    }
};

// A frame of `size` octets from `src_last` (the source MAC's last octet),
// EtherType 88BA, filled with `fill`.
Octets frame(std::size_t size, std::uint8_t src_last, std::uint8_t fill) {
    Octets out(size, fill);
    const std::uint8_t head[14] = {0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01, 0x02, 0, 0, 0, 0, src_last, 0x88, 0xBA};
    std::copy(std::begin(head), std::end(head), out.begin());
    return out;
}

Octets concat(Octets a, const Octets& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(PrpSender, BothLansOneCounterPerNodeAndSupervision) {
    Pair a, b;
    // Two frames of node ...01, one of node ...02; the last is short.
    std::vector<Octets> frames = {frame(100, 1, 0x11), frame(100, 2, 0x22), frame(30, 1, 0x33)};
    std::vector<std::span<std::uint8_t>> spans(frames.begin(), frames.end());
    const int b_fd = b.send.release();
    PrpSender sender(spans, Fd(b_fd));

    constexpr std::int64_t T0 = 1'700'000'000'000'000'000;
    PrpSent sent = sender.send(a.send.get(), T0);
    EXPECT_EQ(sent.frames, 6U);
    EXPECT_EQ(sent.supervision, 4U) << "one per node and LAN at the first send";
    EXPECT_EQ(sent.failed, 0U);
    const std::vector<Octets> on_a = a.read_all();
    const std::vector<Octets> on_b = b.read_all();
    ASSERT_EQ(on_a.size(), 5U);
    ASSERT_EQ(on_b.size(), 5U);
    // LSDU 100 - 14 + 6 = 92 = 0x05C; the short frame padded to 54: 46 = 0x02E.
    EXPECT_EQ(on_a[0], concat(frames[0], {0x00, 0x00, 0xA0, 0x5C, 0x88, 0xFB}));
    EXPECT_EQ(on_b[0], concat(frames[0], {0x00, 0x00, 0xB0, 0x5C, 0x88, 0xFB}));
    EXPECT_EQ(on_a[1], concat(frames[1], {0x00, 0x00, 0xA0, 0x5C, 0x88, 0xFB})) << "node 02's first number";
    EXPECT_EQ(on_a[2], concat(concat(frames[2], Octets(24, 0)), {0x00, 0x01, 0xA0, 0x2E, 0x88, 0xFB}));
    EXPECT_EQ(on_b[2], concat(concat(frames[2], Octets(24, 0)), {0x00, 0x01, 0xB0, 0x2E, 0x88, 0xFB}));
    // Supervision: node 01 (its next number, 2) then node 02 (1), each naming its MAC.
    std::array<std::uint8_t, 60> written{};
    ASSERT_TRUE(prp::write_supervision(written, {0x02, 0, 0, 0, 0, 1}, 0, 2, prp::Lan::A));
    EXPECT_EQ(on_a[3], Octets(written.begin(), written.end()));
    ASSERT_TRUE(prp::write_supervision(written, {0x02, 0, 0, 0, 0, 2}, 0, 1, prp::Lan::B));
    EXPECT_EQ(on_b[4], Octets(written.begin(), written.end()));

    // 1.9 s later: no supervision; the numbers go on (node 01: 3 and 4, node 02: 2).
    sent = sender.send(a.send.get(), T0 + 1'900'000'000);
    EXPECT_EQ(sent.supervision, 0U);
    const std::vector<Octets> next = a.read_all();
    ASSERT_EQ(next.size(), 3U);
    EXPECT_EQ(Octets(next[0].end() - 6, next[0].end() - 4), (Octets{0x00, 0x03}));
    EXPECT_EQ(Octets(next[1].end() - 6, next[1].end() - 4), (Octets{0x00, 0x02}));
    EXPECT_EQ(Octets(next[2].end() - 6, next[2].end() - 4), (Octets{0x00, 0x04}));
    EXPECT_EQ(b.read_all().size(), 3U);
    // 2 s after the first: supervision again, sequence 1 of supervision.
    sent = sender.send(a.send.get(), T0 + 2'000'000'000);
    EXPECT_EQ(sent.supervision, 4U);
    const std::vector<Octets> third = a.read_all();
    ASSERT_EQ(third.size(), 5U);
    EXPECT_EQ(third[3][16], 0x00);
    EXPECT_EQ(third[3][17], 0x01) << "the supervision sequence number";
}

TEST(PrpSender, RefusesFramesNoTrailerFits) {
    std::vector<Octets> frames = {frame(100, 1, 0), Octets(13, 0)};
    std::vector<std::span<std::uint8_t>> spans(frames.begin(), frames.end());
    try {
        PrpSender sender(spans, Fd());
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "frame 1: frame too short for an Ethernet header");
    }
}

TEST(PrpSender, CountsWhatALanDoesNotTake) {
    Pair a;
    std::vector<Octets> frames = {frame(100, 1, 0)};
    std::vector<std::span<std::uint8_t>> spans(frames.begin(), frames.end());
    PrpSender sender(spans, Fd());  // LAN B: no socket, every send fails
    const PrpSent sent = sender.send(a.send.get(), 0);
    EXPECT_EQ(sent.frames, 1U);
    EXPECT_EQ(sent.supervision, 1U);
    EXPECT_EQ(sent.failed, 2U) << "LAN B's frame and supervision frame";
}

TEST(PrpSender, FramesOfAnySizeShareTheNodeCounterWithSupervision) {
    Pair a, b;
    const std::array<prp::Mac, 3> nodes = {prp::Mac{0x02, 0, 0, 0, 0, 1}, prp::Mac{0x02, 0, 0, 0, 0, 2},
                                           prp::Mac{0x02, 0, 0, 0, 0, 1}};  // the third is the first again
    const int b_fd = b.send.release();
    PrpSender sender(nodes, Fd(b_fd));
    EXPECT_EQ(sender.next_supervision_ns(), 0) << "due at once";

    constexpr std::int64_t T0 = 1'700'000'000'000'000'000;
    PrpSent sent = sender.supervise(a.send.get(), T0);
    EXPECT_EQ(sent.supervision, 4U) << "two nodes, two LANs";
    EXPECT_EQ(sender.next_supervision_ns(), T0 + 2'000'000'000);
    std::array<std::uint8_t, 60> written{};
    ASSERT_TRUE(prp::write_supervision(written, nodes[1], 0, 0, prp::Lan::B));
    const std::vector<Octets> sup_b = b.read_all();
    ASSERT_EQ(sup_b.size(), 2U);
    EXPECT_EQ(sup_b[1], Octets(written.begin(), written.end()));
    EXPECT_EQ(a.read_all().size(), 2U);
    EXPECT_EQ(sender.supervise(a.send.get(), T0 + 1'999'999'999).supervision, 0U) << "not yet due";

    // Node 01's frames: its numbers go on from the supervision frame's (0).
    const Octets big = frame(120, 1, 0x44), small = frame(20, 1, 0x55);
    sent = sender.send_frame(a.send.get(), 0, big);
    EXPECT_EQ(sent.frames, 2U);
    sent = sender.send_frame(a.send.get(), 0, small);
    EXPECT_EQ(sent.frames, 2U);
    // LSDU 120 - 14 + 6 = 112 = 0x070; the small one padded to 54: 46 = 0x02E.
    const std::vector<Octets> on_a = a.read_all(), on_b = b.read_all();
    ASSERT_EQ(on_a.size(), 2U);
    ASSERT_EQ(on_b.size(), 2U);
    EXPECT_EQ(on_a[0], concat(big, {0x00, 0x01, 0xA0, 0x70, 0x88, 0xFB}));
    EXPECT_EQ(on_b[0], concat(big, {0x00, 0x01, 0xB0, 0x70, 0x88, 0xFB}));
    EXPECT_EQ(on_a[1], concat(concat(small, Octets(34, 0)), {0x00, 0x02, 0xA0, 0x2E, 0x88, 0xFB}));
    EXPECT_EQ(on_b[1], concat(concat(small, Octets(34, 0)), {0x00, 0x02, 0xB0, 0x2E, 0x88, 0xFB}));

    // A frame no trailer fits, and a node that is not there: failed on both LANs, nothing sent.
    struct Case {
        std::size_t node;
        Octets octets;
        const char* why;
    };
    for (const Case& c : {Case{0, Octets(13, 0), "shorter than a header"}, Case{2, big, "no third node"}}) {
        sent = sender.send_frame(a.send.get(), c.node, c.octets);
        EXPECT_EQ(sent.frames, 0U) << c.why;
        EXPECT_EQ(sent.failed, 2U) << c.why;
    }
    EXPECT_TRUE(a.read_all().empty());
    // The failures used no number: node 01's next frame is 3.
    (void)sender.send_frame(a.send.get(), 0, big);
    EXPECT_EQ(a.read_all().at(0), concat(big, {0x00, 0x03, 0xA0, 0x70, 0x88, 0xFB}));
}

TEST(PrpSender, FrameFaultsAlterTheTrailerOrLeaveALanOut) {
    const Octets big = frame(120, 1, 0x66);
    // Each case after one plain frame (number 0), its trailers on A and B (empty: not sent).
    struct Case {
        PrpFrameFaults faults;
        Octets on_a;
        Octets on_b;
        std::uint64_t frames;
        const char* why;
    };
    const Case cases[] = {
        {{.skip = {true, false}}, {}, {0x00, 0x01, 0xB0, 0x70, 0x88, 0xFB}, 1, "LAN B only"},
        {{.skip = {false, true}}, {0x00, 0x01, 0xA0, 0x70, 0x88, 0xFB}, {}, 1, "LAN A only"},
        {{.wrong_lan = true}, {0x00, 0x01, 0xB0, 0x70, 0x88, 0xFB}, {0x00, 0x01, 0xA0, 0x70, 0x88, 0xFB}, 2,
         "identifiers swapped"},
        {{.bad_size = true}, {0x00, 0x01, 0xA0, 0x71, 0x88, 0xFB}, {0x00, 0x01, 0xB0, 0x71, 0x88, 0xFB}, 2,
         "size 113 for 112"},
        {{.repeat_seq = true}, {0x00, 0x00, 0xA0, 0x70, 0x88, 0xFB}, {0x00, 0x00, 0xB0, 0x70, 0x88, 0xFB}, 2,
         "number 0 again"},
    };
    for (const Case& c : cases) {
        Pair a, b;
        const int b_fd = b.send.release();
        const std::array<prp::Mac, 1> nodes = {prp::Mac{0x02, 0, 0, 0, 0, 1}};
        PrpSender sender(nodes, Fd(b_fd));
        (void)sender.send_frame(a.send.get(), 0, big);
        (void)a.read_all(), (void)b.read_all();
        const PrpSent sent = sender.send_frame(a.send.get(), 0, big, c.faults);
        EXPECT_EQ(sent.frames, c.frames) << c.why;
        EXPECT_EQ(sent.failed, 0U) << c.why;
        const std::vector<Octets> on[2] = {a.read_all(), b.read_all()};
        const Octets* expected[2] = {&c.on_a, &c.on_b};
        for (std::size_t l = 0; l < 2; ++l) {
            if (expected[l]->empty()) {
                EXPECT_TRUE(on[l].empty()) << c.why;
            } else {
                ASSERT_EQ(on[l].size(), 1U) << c.why;
                EXPECT_EQ(on[l][0], concat(big, *expected[l])) << c.why;
            }
        }
        // The counter: a repeat left it where it was (next 1), any other case moved it on (next 2).
        (void)sender.send_frame(a.send.get(), 0, big);
        const Octets next = a.read_all().at(0);
        EXPECT_EQ(Octets(next.end() - 6, next.end() - 4), (Octets{0x00, std::uint8_t(c.faults.repeat_seq ? 1 : 2)}))
            << c.why;
    }
}

TEST(PrpSender, ADelayedLansCopyWaitsWithTheSameNumber) {
    Pair a, b;
    const int b_fd = b.send.release();
    const std::array<prp::Mac, 1> nodes = {prp::Mac{0x02, 0, 0, 0, 0, 1}};
    PrpSender sender(nodes, Fd(b_fd));
    sender.reserve_waiting(2, 120);
    Octets first = frame(120, 1, 0x11), second = frame(120, 1, 0x22), third = frame(120, 1, 0x33);
    constexpr std::int64_t T0 = 1'000'000;
    const PrpFrameFaults late_b{.delay_ns = {0, 300'000}};
    PrpSent sent = sender.send_frame(a.send.get(), 0, first, late_b, T0);
    EXPECT_EQ((std::pair{sent.frames, sent.seq}), (std::pair{std::uint64_t{1}, std::uint16_t{0}})) << "A now";
    sent = sender.send_frame(a.send.get(), 0, second, late_b, T0 + 100'000);
    EXPECT_EQ(sent.seq, 1U);
    EXPECT_EQ(a.read_all().size(), 2U);
    EXPECT_TRUE(b.read_all().empty());
    EXPECT_EQ(sender.waiting(), 2U);
    EXPECT_EQ(sender.next_waiting_ns(), T0 + 300'000);

    // Due by T0 + 300 µs: the first's copy only, with its number.
    EXPECT_EQ(sender.send_waiting(a.send.get(), T0 + 299'999).frames, 0U);
    EXPECT_EQ(sender.send_waiting(a.send.get(), T0 + 300'000).frames, 1U);
    std::vector<Octets> on_b = b.read_all();
    ASSERT_EQ(on_b.size(), 1U);
    EXPECT_EQ(on_b[0], concat(first, {0x00, 0x00, 0xB0, 0x70, 0x88, 0xFB}));
    EXPECT_EQ(sender.next_waiting_ns(), T0 + 400'000);

    // The rooms (two) full: the third's copy waits, a fourth frame's leaves at once.
    sent = sender.send_frame(a.send.get(), 0, third, late_b, T0 + 200'000);
    EXPECT_EQ(sent.frames, 1U);
    sent = sender.send_frame(a.send.get(), 0, first, late_b, T0 + 200'000);
    EXPECT_EQ(sent.frames, 2U) << "no room";
    EXPECT_EQ(b.read_all().at(0), concat(first, {0x00, 0x03, 0xB0, 0x70, 0x88, 0xFB}));
    // The caller writes its buffers again: the waiting copies keep the octets they had.
    std::fill(second.begin() + 30, second.end(), 0xEE);
    std::fill(third.begin() + 30, third.end(), 0xEE);
    const Octets second_then = frame(120, 1, 0x22), third_then = frame(120, 1, 0x33);
    EXPECT_EQ(sender.next_waiting_ns(), T0 + 400'000);
    EXPECT_EQ(sender.send_waiting(a.send.get(), T0 + 500'000).frames, 2U);
    on_b = b.read_all();
    ASSERT_EQ(on_b.size(), 2U);
    EXPECT_EQ(on_b[0], concat(second_then, {0x00, 0x01, 0xB0, 0x70, 0x88, 0xFB}));
    EXPECT_EQ(on_b[1], concat(third_then, {0x00, 0x02, 0xB0, 0x70, 0x88, 0xFB}));
    EXPECT_EQ(sender.waiting(), 0U);
    EXPECT_EQ(sender.next_waiting_ns(), INT64_MAX);
    (void)a.read_all();

    // Both LANs delayed, and faults kept for the waiting copies: the number is taken now.
    sent = sender.send_frame(a.send.get(), 0, first,
                             {.wrong_lan = true, .bad_size = true, .delay_ns = {50, 100}}, T0);
    EXPECT_EQ((std::pair{sent.frames, sent.seq}), (std::pair{std::uint64_t{0}, std::uint16_t{4}}));
    EXPECT_EQ(sender.send_waiting(a.send.get(), T0 + 100).frames, 2U);
    EXPECT_EQ(a.read_all().at(0), concat(first, {0x00, 0x04, 0xB0, 0x71, 0x88, 0xFB}));
    EXPECT_EQ(b.read_all().at(0), concat(first, {0x00, 0x04, 0xA0, 0x71, 0x88, 0xFB}));
}

}  // namespace
}  // namespace valdrin::io
