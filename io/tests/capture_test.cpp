// The capture on lo and on a veth pair, each test in a network namespace of
// its own: what the handler sees (octets, order, direction, stamps), the
// kernel's drop count, and start/stop.
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/capture.hpp"
#include "netns.hpp"

namespace valdrin::io {
namespace {

using testing::add_tag;
using testing::add_veth;
using testing::eventually;
using testing::make_frame;
using testing::realtime_now;
using testing::Recorder;
using testing::Sender;

constexpr std::uint16_t goose = 0x88B8;
constexpr std::uint16_t sv = 0x88BA;

struct Sent {
    std::vector<std::uint8_t> frame;
    bool passes;
    const char* why;
};

// The traffic every delivery test sends, each frame with its fate.
std::vector<Sent> mixed_traffic() {
    auto truncated = make_frame(sv, std::nullopt, 0);
    truncated.push_back(0x40);  // an APPID's first octet, nothing more
    auto service_tagged = make_frame(sv, 0x0005, 40);
    service_tagged[12] = 0x88;  // TPID 88A8: an 802.1ad tag, not 802.1Q
    service_tagged[13] = 0xA8;
    return {
        {make_frame(sv, std::nullopt, 100, 1), true, "SV untagged"},
        {make_frame(goose, 0x8005, 60, 2), true, "GOOSE tagged, priority 4, VLAN 5"},
        {make_frame(0x0800, std::nullopt, 40), false, "IPv4"},
        {make_frame(sv, 0x0FFF, 200, 3), true, "SV tagged, VLAN 4095"},
        {make_frame(0x88B9, std::nullopt, 40), false, "the EtherType between GOOSE and SV"},
        {make_frame(0x0806, std::nullopt, 28), false, "ARP"},
        {truncated, true, "SV EtherType, then one octet: the decoder's business"},
        {make_frame(0x0800, 0x0005, 40), false, "IPv4 tagged"},
        {add_tag(make_frame(sv, 0x0007, 40), 0x0009), false, "SV behind two tags"},
        {service_tagged, false, "SV behind an 802.1ad tag"},
        {make_frame(goose, 0x0000, 30, 4), true, "GOOSE priority-tagged, VLAN 0"},
        {make_frame(0x88BB, std::nullopt, 40), false, "the EtherType after SV"},
        {make_frame(goose, std::nullopt, 1400, 5), true, "GOOSE untagged, long"},
    };
}

struct Delivery {
    const char* name;
    RingVersion version;
    bool veth;      // capture on vb, send on va; else both on lo
    bool outgoing;  // lo only: the frames leaving too, each before its arrival
    Timestamps stamps = Timestamps::Software;  // veth has no hardware clock: software anyway
    std::int64_t coalesce_ns = 0;
};

class DeliveryTest : public ::testing::TestWithParam<Delivery> {};

// Leaving frames keep their tag in band; arriving ones reach packet sockets
// untagged, the tag out of band, and the capture puts it back: the filter's
// two tag paths and the restoration, for both ring versions.
TEST_P(DeliveryTest, HandsOverExactlyTheProcessBusFramesAsSent) {
    const Delivery p = GetParam();
    VALDRIN_IN_NAMESPACE([&] {
        if (p.veth) add_veth("va", "vb");
        Recorder recorder;
        CaptureOptions options{.interface = p.veth ? "vb" : "lo"};
        options.ring.version = p.version;
        options.include_outgoing = p.outgoing;
        options.timestamps = p.stamps;
        options.coalesce_ns = p.coalesce_ns;
        Capture capture(options, recorder);
        ASSERT_TRUE(capture.start().has_value());
        Sender sender(p.veth ? "va" : "lo");
        const auto traffic = mixed_traffic();
        struct Expected {
            const Sent* sent;
            bool outgoing;
        };
        std::vector<Expected> expected;
        const std::int64_t before = realtime_now();
        for (const Sent& s : traffic) {
            sender.send(s.frame);
            if (!s.passes) continue;
            if (p.outgoing) expected.push_back({&s, true});
            expected.push_back({&s, false});
        }
        ASSERT_TRUE(eventually([&] { return capture.stats().frames >= expected.size(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nothing more comes
        const std::int64_t after = realtime_now();
        capture.stop();

        ASSERT_EQ(recorder.seen.size(), expected.size());
        std::int64_t previous = before;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const Sent& s = *expected[i].sent;
            SCOPED_TRACE(std::string(s.why) + (expected[i].outgoing ? ", leaving" : ", arriving"));
            const Recorder::Seen& seen = recorder.seen[i];
            EXPECT_EQ(seen.octets, s.frame);
            EXPECT_EQ(seen.meta.captured_length, s.frame.size());
            EXPECT_EQ(seen.meta.wire_length, s.frame.size());
            EXPECT_EQ(seen.meta.tag_restored, !expected[i].outgoing && s.frame[12] == 0x81);
            EXPECT_EQ(seen.meta.packet_type,
                      expected[i].outgoing ? PacketType::Outgoing : PacketType::Multicast);
            // Arrival stamps begin a little after the first socket asks for
            // them (the kernel switches them on from a work queue); until
            // then the ring's copy time stands in. Both are CLOCK_REALTIME.
            EXPECT_NE(seen.meta.stamp, StampSource::Hardware);
            EXPECT_GE(seen.meta.timestamp_ns, previous);
            EXPECT_LE(seen.meta.timestamp_ns, after);
            previous = seen.meta.timestamp_ns;
        }
        const CaptureStats stats = capture.stats();
        EXPECT_EQ(stats.frames, expected.size());
        EXPECT_EQ(stats.kernel_packets, expected.size());
        EXPECT_EQ(stats.kernel_drops, 0u);
        EXPECT_TRUE(stats.link_up);
        EXPECT_EQ(capture.failure(), CaptureError{});
    });
}

INSTANTIATE_TEST_SUITE_P(
    Rings, DeliveryTest,
    ::testing::Values(Delivery{"v2_lo", RingVersion::V2, false, false},
                      Delivery{"v3_lo", RingVersion::V3, false, false},
                      Delivery{"v2_lo_both_directions", RingVersion::V2, false, true},
                      Delivery{"v3_lo_both_directions", RingVersion::V3, false, true},
                      Delivery{"v2_veth", RingVersion::V2, true, false},
                      Delivery{"v3_veth", RingVersion::V3, true, false},
                      Delivery{"v2_veth_hardware_stamps_asked", RingVersion::V2, true, false,
                               Timestamps::Hardware},
                      Delivery{"v2_veth_coalescing", RingVersion::V2, true, false,
                               Timestamps::Software, 500'000}),
    [](const auto& info) { return std::string(info.param.name); });

// A slow handler and a ring of two 4 KiB blocks (four V2 slots): the kernel
// drops, and the drop count accounts for every frame the handler did not
// see. A V3 ring freezes when its blocks are all in user space.
class DropTest : public ::testing::TestWithParam<RingVersion> {};

TEST_P(DropTest, DropsOfAFullRingAreCountedExactly) {
    const RingVersion version = GetParam();
    VALDRIN_IN_NAMESPACE([&] {
        add_veth("va", "vb");
        Recorder recorder;
        recorder.sleep_per_frame_ns = 2'000'000;
        CaptureOptions options{.interface = "vb"};
        options.ring = {
            .version = version, .block_size = 4096, .block_count = 2, .frame_size = 2048};
        Capture capture(options, recorder);
        ASSERT_TRUE(capture.start().has_value());
        Sender sender("va");
        constexpr std::uint64_t sent = 200;
        for (std::uint64_t k = 0; k < sent; ++k) {
            sender.send(make_frame(sv, std::nullopt, 80, static_cast<std::uint8_t>(k)));
        }
        ASSERT_TRUE(eventually([&] {
            const CaptureStats s = capture.stats();
            return s.frames + s.kernel_drops == sent;
        }, 5000));
        capture.stop();
        const CaptureStats stats = capture.stats();
        EXPECT_GT(stats.kernel_drops, 0u);
        EXPECT_EQ(stats.kernel_packets, sent);
        EXPECT_EQ(stats.frames, recorder.seen.size());
        if (version == RingVersion::V3) {
            EXPECT_GT(stats.ring_freezes, 0u);
        } else {
            EXPECT_EQ(stats.ring_freezes, 0u);
        }
        // What arrived came in the order sent (the payload's first octet).
        for (std::size_t i = 1; i < recorder.seen.size(); ++i) {
            EXPECT_LT(recorder.seen[i - 1].octets[14], recorder.seen[i].octets[14]);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Rings, DropTest, ::testing::Values(RingVersion::V2, RingVersion::V3),
                         [](const auto& info) {
                             return std::string(info.param == RingVersion::V3 ? "v3" : "v2");
                         });

// The live threads of this process with name `name`.
int threads_named(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    return count;
}

// Each row: a block timeout, the block size and count of its V3 ring, why.
struct RingRow {
    std::uint32_t timeout_ms;
    std::uint32_t block_size;
    std::uint32_t block_count;
    const char* why;
};

TEST(RingTest, AV3RingsBlocksHoldAboutATimeoutOfABusyLink) {
    constexpr RingRow rows[] = {
        {1, 65536, 64, "the Monitor's default: 64 blocks, 64 ms before a stalled reader drops"},
        {2, 65536, 64, "2 ms of 32 MB/s fill 64 KiB"},
        {3, 131072, 32, "3 ms no longer fit: 128 KiB"},
        {4, 131072, 32, "4 ms fill 128 KiB"},
        {5, 262144, 16, "beyond 4 ms: 256 KiB"},
        {8, 262144, 16, "8 ms fill 256 KiB"},
        {10, 524288, 8, "valdrin monitor's timeout: 512 KiB (256 KiB filled in 8 ms, woke it twice per timeout)"},
        {MAX_BLOCK_TIMEOUT_MS, 524288, 8, "never larger than 512 KiB"},
    };
    for (const RingRow& row : rows) {
        const RingGeometry ring = v3_ring(row.timeout_ms);
        EXPECT_EQ(ring.version, RingVersion::V3) << row.why;
        EXPECT_EQ(ring.block_timeout_ms, row.timeout_ms) << row.why;
        EXPECT_EQ(ring.block_size, row.block_size) << row.why;
        EXPECT_EQ(ring.block_count, row.block_count) << row.why;
        EXPECT_EQ(ring.block_size % ring.frame_size, 0u) << row.why;  // as RxRing::map requires
        EXPECT_GE(std::uint64_t{ring.block_count} * row.timeout_ms, 64u) << row.why;
    }
}

TEST(CaptureTest, StartsAgainAfterStopAndRefusesASecondStart) {
    VALDRIN_IN_NAMESPACE([] {
        Recorder recorder;
        Capture capture({.interface = "lo"}, recorder);
        Sender sender("lo");
        for (std::uint8_t run = 0; run < 3; ++run) {
            ASSERT_TRUE(capture.start().has_value());
            EXPECT_TRUE(capture.running());
            EXPECT_EQ(threads_named("frame-capture"), 1);
            const auto busy = capture.start();
            ASSERT_FALSE(busy.has_value());
            EXPECT_EQ(capture.describe(busy.error()),
                      "capture thread: Device or resource busy (os error 16)");
            sender.send(make_frame(sv, std::nullopt, 20, run));
            ASSERT_TRUE(eventually([&] { return capture.stats().frames == run + 1u; }));
            capture.stop();
            EXPECT_FALSE(capture.running());
            EXPECT_EQ(threads_named("frame-capture"), 0);
            capture.stop();  // idempotent
        }
        sender.send(make_frame(sv, std::nullopt, 20, 9));  // nobody listens
        ASSERT_EQ(recorder.seen.size(), 3u);
        for (std::uint8_t run = 0; run < 3; ++run) EXPECT_EQ(recorder.seen[run].octets[14], run);
        EXPECT_EQ(capture.stats().kernel_drops, 0u);
    });
}

// V2 slots of 256 octets hold the headers and about 170 octets of frame:
// a longer one arrives cut, its length on the wire intact.
TEST(CaptureTest, AFrameLongerThanItsSlotArrivesTruncatedWithItsWireLength) {
    VALDRIN_IN_NAMESPACE([] {
        Recorder recorder;
        CaptureOptions options{.interface = "lo"};
        options.ring = {
            .version = RingVersion::V2, .block_size = 4096, .block_count = 4, .frame_size = 256};
        Capture capture(options, recorder);
        ASSERT_TRUE(capture.start().has_value());
        Sender sender("lo");
        const auto frame = make_frame(goose, 0x2003, 1000, 3);
        sender.send(frame);
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == 1; }));
        capture.stop();
        ASSERT_EQ(recorder.seen.size(), 1u);
        const auto& seen = recorder.seen[0];
        EXPECT_EQ(seen.meta.wire_length, frame.size());
        EXPECT_EQ(seen.meta.captured_length, seen.octets.size());
        ASSERT_LT(seen.octets.size(), 256u);
        ASSERT_GT(seen.octets.size(), 18u);
        // The tag restored, then the frame's first octets.
        EXPECT_TRUE(std::equal(seen.octets.begin(), seen.octets.end(), frame.begin()));
    });
}

// Records, from the capture thread, where and how it runs.
class Placement final : public FrameHandler {
public:
    void on_frame(std::span<const std::uint8_t>, const FrameMeta&) noexcept override {}
    void on_idle(std::int64_t) noexcept override {
        cpu.store(sched_getcpu());
        policy.store(sched_getscheduler(0));
    }
    std::atomic<int> cpu{-1};
    std::atomic<int> policy{-1};
};

// Disposal of a running capture stops it too.
TEST(CaptureTest, RunsPinnedAtARealTimePriorityWhenAskedAndStopsWhenDisposed) {
    VALDRIN_IN_NAMESPACE([] {
        Placement placement;
        {
            CaptureOptions options{.interface = "lo"};
            options.cpu = 0;
            options.rt_priority = 10;
            Capture capture(options, placement);
            ASSERT_TRUE(capture.start().has_value());
            ASSERT_TRUE(eventually([&] { return placement.policy.load() != -1; }));
            EXPECT_EQ(threads_named("frame-capture"), 1);
        }
        EXPECT_EQ(threads_named("frame-capture"), 0);
        EXPECT_EQ(placement.cpu.load(), 0);
        EXPECT_EQ(placement.policy.load(), SCHED_FIFO);
    });
}

// A handler that stops its own capture on the first frame.
class Stopper final : public FrameHandler {
public:
    void on_frame(std::span<const std::uint8_t>, const FrameMeta&) noexcept override {
        ++frames;
        capture->stop();
    }
    void on_idle(std::int64_t) noexcept override {}
    Capture* capture = nullptr;
    int frames = 0;
};

TEST(CaptureTest, AHandlerMayStopItsOwnCapture) {
    for (const auto version : {RingVersion::V2, RingVersion::V3}) {
        SCOPED_TRACE(version == RingVersion::V3 ? "v3" : "v2");
        VALDRIN_IN_NAMESPACE([&] {
            Stopper stopper;
            CaptureOptions options{.interface = "lo"};
            options.ring.version = version;
            Capture capture(options, stopper);
            stopper.capture = &capture;
            ASSERT_TRUE(capture.start().has_value());
            Sender sender("lo");
            sender.send(make_frame(sv, std::nullopt, 20));
            ASSERT_TRUE(capture.wait_ended(2'000'000'000));
            EXPECT_FALSE(capture.running());
            EXPECT_EQ(capture.failure(), CaptureError{});
            capture.stop();  // joins
            EXPECT_EQ(stopper.frames, 1);
            ASSERT_TRUE(capture.start().has_value());  // and it starts again
        });
    }
}

// A stop right after the last frame has arrived (a V2 capture beside it is
// the witness): the V3 block still open holds it, and the stop waits, a
// block timeout at most, for the kernel to retire that block instead of
// losing its frames.
TEST(CaptureTest, AStopHandsOverTheFramesOfTheOpenBlock) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        Recorder witness_frames;
        Capture witness(CaptureOptions{.interface = "vb"}, witness_frames);
        Recorder recorder;
        CaptureOptions options{.interface = "vb"};
        options.ring.version = RingVersion::V3;
        options.ring.block_timeout_ms = 40;  // far longer than sending takes
        Capture capture(options, recorder);
        ASSERT_TRUE(witness.start().has_value());
        ASSERT_TRUE(capture.start().has_value());
        Sender sender("va");
        constexpr std::size_t frames = 25;
        for (std::size_t i = 0; i < frames; ++i) sender.send(make_frame(sv, std::nullopt, 60, 1));
        ASSERT_TRUE(eventually([&] { return witness.stats().frames >= frames; }));
        const auto begin = std::chrono::steady_clock::now();
        capture.stop();
        const auto took = std::chrono::steady_clock::now() - begin;
        witness.stop();
        EXPECT_EQ(recorder.seen.size(), frames);
        EXPECT_EQ(capture.stats().frames, frames);
        // Bounded by the block timeout, with room for a loaded machine's
        // scheduling: this catches a stop that waits for traffic, not jitter.
        EXPECT_LT(took, std::chrono::milliseconds(40 + 1000));
    });
}

// Holds the first frame it is handed until released, then counts every
// frame at once: the capture thread sits in its first batch while the rest
// fill the ring.
class HeldHandler final : public FrameHandler {
public:
    void on_frame(std::span<const std::uint8_t>, const FrameMeta&) noexcept override {
        if (frames == 0) {
            while (!released.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // Time for the stop that follows the release to be asked for; were
            // it later, the loop would take every frame itself and the stop
            // would find the ring empty (the test still holds, testing less).
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ++frames;
    }
    void on_idle(std::int64_t) noexcept override {}

    std::atomic<bool> released{false};
    std::size_t frames = 0;
};

// A V2 stop while the handler is behind (every frame already in the ring, as
// a witness capture beside it shows): the stop hands over what the ring holds
// instead of leaving it uncounted, neither frame nor drop. The handler is
// held rather than slowed frame by frame, so that a loaded machine cannot
// stretch the hand-over past the stop's bound (100 ms).
TEST(CaptureTest, AV2StopHandsOverTheFramesTheRingHolds) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        Recorder witness_frames;
        Capture witness(CaptureOptions{.interface = "vb"}, witness_frames);
        HeldHandler held;
        CaptureOptions options{.interface = "vb"};
        options.ring.version = RingVersion::V2;
        Capture capture(options, held);
        ASSERT_TRUE(witness.start().has_value());
        ASSERT_TRUE(capture.start().has_value());
        Sender sender("va");
        // More than a hand-over batch (256), fewer than the ring's 2048 slots.
        constexpr std::size_t frames = 600;
        for (std::size_t i = 0; i < frames; ++i) sender.send(make_frame(sv, std::nullopt, 60, 1));
        ASSERT_TRUE(eventually([&] { return witness.stats().frames >= frames; }));
        held.released.store(true, std::memory_order_release);
        capture.stop();
        witness.stop();
        EXPECT_EQ(held.frames, frames);
        EXPECT_EQ(capture.stats().frames, frames);
        EXPECT_EQ(capture.stats().kernel_drops, 0u);
    });
}

TEST(CaptureTest, IdlesWithoutTrafficAndStopsPromptly) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        Recorder recorder;
        CaptureOptions options{.interface = "vb"};
        options.ring.version = RingVersion::V3;  // a block timeout must not delay the stop
        Capture capture(options, recorder);
        ASSERT_TRUE(capture.start().has_value());
        // A 2 ms idle interval: without traffic on_idle comes again and again.
        ASSERT_TRUE(eventually([&] { return recorder.idle_calls.load() >= 5; }));
        const auto begin = std::chrono::steady_clock::now();
        capture.stop();
        const auto took = std::chrono::steady_clock::now() - begin;
        // Loose bound: the eventfd wakes the poll at once; this only
        // catches a stop that waits for traffic or a long timeout.
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        // on_idle has the real-time clock (within a second, loosely).
        EXPECT_NEAR(static_cast<double>(recorder.last_idle_ns),
                    static_cast<double>(realtime_now()), 1e9);
        EXPECT_TRUE(recorder.seen.empty());
    });
}

}  // namespace
}  // namespace valdrin::io
