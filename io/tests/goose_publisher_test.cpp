// Tests of the GOOSE publisher: refused configurations and values with
// their exact texts, the schedule as a receiver on the peer of a veth sees
// it (stNum, sqNum, TAL and t exactly, intervals from kernel stamps within
// loose bounds), a change cutting into the schedule, the wrap of the
// counters, prompt stop under a long T0, an interface that disappears, and
// the fault knobs. Frames go only to a veth in a namespace of the test's own.
#include "goose_engine/publisher.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "goose.hpp"
#include "netns.hpp"

namespace valdrin::io::goose_engine {
namespace {

using testing::add_veth;
using testing::eventually;
using testing::realtime_now;
using testing::Recorder;
namespace sch = goose::schedule;

constexpr std::int64_t ms = 1'000'000;
// How late a frame may arrive in these tests: about ten times what a loaded
// two-core machine shows (a wake-up delayed by other work), far below T0.
constexpr std::int64_t late_ms = 200;

// A template frame with `booleans` boolean values, stNum `st_num`.
std::vector<std::uint8_t> template_frame(std::uint32_t st_num = 1, std::size_t booleans = 1) {
    std::vector<data::Data> values(booleans, data::Data::of_bool(false));
    goose::GoosePdu pdu{.gocb_ref = "IED1LD0/LLN0$GO$gcb1", .time_allowed_to_live = 1, .dat_set = "IED1LD0/LLN0$ds1",
                        .go_id = "gcb1", .t = {0, 0, 0x0A}, .st_num = st_num, .conf_rev = 7,
                        .num_dat_set_entries = static_cast<std::uint32_t>(booleans), .all_data = values};
    ethernet::FrameHeader header{.dst_mac = {0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01}, .src_mac = {2, 0, 0, 0, 0, 1},
                                 .vlan = {}, .app_id = 0x0001};
    std::vector<std::uint8_t> frame(200);
    frame.resize(goose::encode_frame(pdu, header, frame).value());
    return frame;
}

Config config(std::string iface, std::int64_t t1, std::int64_t t0, std::uint32_t st_num = 1) {
    Config out;
    out.iface = std::move(iface);
    out.blocks.push_back(BlockConfig{.frame = template_frame(st_num), .timing = {t1, t0}, .capacity = 16});
    return out;
}

std::string refusal(Config c) {
    auto created = Publisher::create(std::move(c));
    return created ? std::string("accepted") : created.error().text;
}

TEST(GoosePublisher, RefusedConfigurations) {
    Config empty;
    empty.iface = "lo";
    EXPECT_EQ(refusal(empty), "no control blocks");
    Config bad = config("lo", ms, 1000 * ms);
    bad.blocks[0].frame.resize(10);
    EXPECT_EQ(refusal(bad), "block 0: bad template: not a GOOSE frame");
    EXPECT_EQ(refusal(config("lo", 2000 * ms, 1000 * ms)), "block 0: bad timing: min_time must not exceed max_time");
    EXPECT_EQ(refusal(config("lo", 0, 1000 * ms)), "block 0: bad timing: min_time must be positive");
    Config huge = config("lo", ms, 1000 * ms);
    huge.blocks[0].capacity = 70'000;
    EXPECT_EQ(refusal(huge), "block 0: capacity too large for a frame");
}

TEST(GoosePublisher, RefusedValuesAndStartFailures) {
    auto publisher = Publisher::create(config("no-such-if0", ms, 1000 * ms)).value();
    const std::uint8_t values[17] = {};
    EXPECT_EQ(publisher->publish(1, std::span(values, 3), 1).error(), PublishError::NoSuchBlock);
    EXPECT_EQ(publisher->publish(0, values, 1).error(), PublishError::TooLarge);
    EXPECT_TRUE(publisher->publish(0, std::span(values, 16), 1));
    Blocking blocking;
    auto started = publisher->start(blocking);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().error, StartError::Socket);
    EXPECT_EQ(publisher->stats().frames_sent, 0u);
}

struct Received {
    goose::ReceivedPdu pdu;
    std::int64_t at_ns;
};

std::vector<Received> decoded(const Recorder& recorder) {
    std::vector<Received> out;
    for (const auto& seen : recorder.seen) {
        auto frame = ethernet::parse_frame(seen.octets, ethernet::ETHERTYPE_GOOSE);
        EXPECT_TRUE(frame);
        if (!frame) continue;
        auto pdu = goose::decode_pdu_strict(frame->payload);
        EXPECT_TRUE(pdu) << "strict decoding";
        if (pdu) out.push_back({*pdu, seen.meta.timestamp_ns});
    }
    return out;
}

// The publisher's peer: the veth pair va-vb and a capture of vb (started
// by the test) recording what arrives there.
struct Peer {
    Recorder recorder;
    Capture capture{CaptureOptions{.interface = "vb"}, recorder};

    Peer() { add_veth("va", "vb"); }
};

// The schedule after the start and after a change, seen on the peer: the
// exact fields, and each frame's arrival within [-1 ms, +late_ms] of its
// place in the schedule counted from the first frame of its state (late_ms
// is about ten times the lateness a loaded two-core machine shows; the
// schedule's accuracy is the benchmark's business).
TEST(GoosePublisher, ScheduleSeenOnThePeer) {
    VALDRIN_IN_NAMESPACE([&] {
        Peer peer;
        ASSERT_TRUE(peer.capture.start());
        auto& [recorder, capture] = peer;
        const sch::Timing timing{4 * ms, 64 * ms};
        auto publisher = Publisher::create(config("va", timing.min_time_ns, timing.max_time_ns, 5)).value();
        Blocking blocking;
        const std::int64_t before = realtime_now();
        ASSERT_TRUE(publisher->start(blocking));
        // Frames 0..5 at 0, 4, 12, 28, 60, 124 ms; the change; 0..4 again.
        ASSERT_TRUE(eventually([&] { return capture.stats().frames >= 6; }));
        const std::uint8_t changed[] = {0x83, 0x01, 0xFF};
        ASSERT_TRUE(publisher->publish(0, changed, 1));
        const auto changed_at = capture.stats().frames;  // a frame may be on its way: one more below
        ASSERT_TRUE(eventually([&] { return capture.stats().frames >= changed_at + 6; }));
        publisher->stop(blocking);
        const auto sent = publisher->stats().frames_sent;
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == sent; }));
        capture.stop();

        const auto frames = decoded(recorder);
        ASSERT_GE(frames.size(), 11u);
        std::size_t first = 0;  // the first frame of the current state
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const auto& pdu = frames[i].pdu;
            if (pdu.sq_num == 0) first = i;
            const std::uint64_t k = i - first;
            SCOPED_TRACE("frame " + std::to_string(i) + ", k " + std::to_string(k));
            EXPECT_EQ(pdu.st_num, first == 0 ? 5u : 6u);
            EXPECT_EQ(pdu.sq_num, k);
            EXPECT_EQ(pdu.time_allowed_to_live, sch::tal_ms(timing, k));
            EXPECT_EQ(pdu.conf_rev, 7u);
            EXPECT_EQ(pdu.t, frames[first].pdu.t);  // the instant of the change
            EXPECT_EQ(pdu.t.quality, 0x0A);
            const std::int64_t offset = frames[i].at_ns - frames[first].at_ns;
            EXPECT_GE(offset, static_cast<std::int64_t>(sch::offset_ns(timing, k)) - ms);
            EXPECT_LE(offset, static_cast<std::int64_t>(sch::offset_ns(timing, k)) + late_ms * ms);
            const std::uint8_t value = first == 0 ? 0x00 : 0xFF;
            ASSERT_EQ(pdu.all_data.size(), 3u);
            EXPECT_EQ(pdu.all_data[2], value);
        }
        EXPECT_NE(first, 0u);
        // t of each state is the instant of its change, within the run.
        const std::int64_t t0 = static_cast<std::int64_t>(frames[0].pdu.t.seconds) * 1'000'000'000;
        EXPECT_GE(t0 + 1'000'000'000, before);
        EXPECT_EQ(publisher->stats().frames_sent, frames.size());
        EXPECT_EQ(publisher->stats().send_errors, 0u);
    });
}

// stNum of the template at its largest: the change after it wraps to 1.
TEST(GoosePublisher, StNumWrapsToOne) {
    VALDRIN_IN_NAMESPACE([&] {
        Peer peer;
        ASSERT_TRUE(peer.capture.start());
        auto& [recorder, capture] = peer;
        auto publisher = Publisher::create(config("va", 500 * ms, 1000 * ms, UINT32_MAX)).value();
        EXPECT_FALSE(publisher->last_change(0).has_value());  // nothing sent yet
        Blocking blocking;
        ASSERT_TRUE(publisher->start(blocking));
        ASSERT_TRUE(eventually([&] { return publisher->stats().frames_sent == 1; }));
        const auto started = publisher->last_change(0);
        const std::uint8_t changed[] = {0x83, 0x01, 0xFF};
        ASSERT_TRUE(publisher->publish(0, changed, 1));
        ASSERT_TRUE(eventually([&] { return publisher->stats().frames_sent == 2; }));
        const auto change = publisher->last_change(0);
        publisher->stop(blocking);
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == 2; }));
        capture.stop();
        const auto frames = decoded(recorder);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].pdu.st_num, UINT32_MAX);
        EXPECT_EQ(frames[1].pdu.st_num, 1u);
        EXPECT_EQ(frames[1].pdu.sq_num, 0u);
        // The change went out at once, not at the next deadline (500 ms on).
        EXPECT_LT(frames[1].at_ns - frames[0].at_ns, 400 * ms);
        // Each state's first frame noted just before its send: at most the
        // peer's receive stamp, and not long before it.
        ASSERT_TRUE(started.has_value() && change.has_value());
        EXPECT_EQ(started->st_num, UINT32_MAX);
        EXPECT_EQ(change->st_num, 1u);
        for (const auto& [noted, frame] : {std::pair{*started, frames[0]}, std::pair{*change, frames[1]}}) {
            EXPECT_LE(noted.sent_ns, frame.at_ns);
            EXPECT_GT(noted.sent_ns, frame.at_ns - late_ms * ms);
        }
    });
}

// A T0 of a day: stop() and the destructor return at once; the deleted
// interface makes sends fail, counted, nothing crashes.
TEST(GoosePublisher, PromptStopAndVanishingInterface) {
    VALDRIN_IN_NAMESPACE([&] {
        add_veth("va", "vb");
        auto publisher = Publisher::create(config("va", 1000 * ms, sch::MAX_INTERVAL_NS)).value();
        Blocking blocking;
        ASSERT_TRUE(publisher->start(blocking));
        ASSERT_TRUE(eventually([&] { return publisher->stats().frames_sent == 1; }));
        const auto begin = std::chrono::steady_clock::now();
        publisher->stop(blocking);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));  // T0 is a day
        EXPECT_EQ(publisher->start(blocking).has_value(), true);  // a second run: stNum + 1
        EXPECT_EQ(publisher->start(blocking).error().error, StartError::AlreadyStarted);
        ASSERT_TRUE(eventually([&] { return publisher->stats().frames_sent == 2; }));
        ASSERT_TRUE(testing::shell("ip link del va"));
        const std::uint8_t changed[] = {0x83, 0x01, 0xFF};
        ASSERT_TRUE(publisher->publish(0, changed, 1));
        ASSERT_TRUE(eventually([&] { return publisher->stats().send_errors == 1; }));
        EXPECT_EQ(publisher->stats().frames_sent, 2u);
        publisher.reset();  // disposes promptly
    });
}

}  // namespace
}  // namespace valdrin::io::goose_engine

namespace valdrin::io::goose_engine {
namespace {

// Producers on four threads, and start/stop from a fifth, while the thread
// sends: every call returns, nothing is lost track of, and the values the
// thread takes are always one producer's whole (checked by the strict
// decoder in the Mailbox's triple buffer: allData either all 0x00 or all
// 0xFF booleans).
TEST(GoosePublisher, ConcurrentPublishAndStartStop) {
    VALDRIN_IN_NAMESPACE([&] {
        Peer peer;
        ASSERT_TRUE(peer.capture.start());
        auto& [recorder, capture] = peer;
        Config c;
        c.iface = "va";
        c.blocks.push_back(BlockConfig{.frame = template_frame(1, 8), .timing = {1 * ms, 20 * ms}, .capacity = 24});
        auto publisher = Publisher::create(std::move(c)).value();
        Blocking blocking;
        ASSERT_TRUE(publisher->start(blocking));
        std::atomic<bool> done{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&, p] {
                std::vector<std::uint8_t> values;
                for (int n = 0; n < 8; ++n) values.insert(values.end(), {0x83, 0x01, std::uint8_t(p % 2 ? 0xFF : 0x00)});
                for (int n = 0; n < 200; ++n) {
                    EXPECT_TRUE(publisher->publish(0, values, 8));
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            });
        }
        std::thread cycler([&] {
            while (!done.load()) {
                publisher->stop(blocking);
                EXPECT_TRUE(publisher->start(blocking));
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        for (auto& t : producers) t.join();
        done.store(true);
        cycler.join();
        publisher->stop(blocking);
        const auto sent = publisher->stats().frames_sent;
        ASSERT_TRUE(eventually([&] { return capture.stats().frames >= sent; }));
        capture.stop();
        const auto frames = decoded(recorder);
        ASSERT_GT(frames.size(), 10u);
        EXPECT_EQ(frames.size(), publisher->stats().frames_sent);
        for (const auto& f : frames) {
            ASSERT_EQ(f.pdu.all_data.size(), 24u);
            const std::uint8_t first = f.pdu.all_data[2];
            for (std::size_t j = 2; j < 24; j += 3) EXPECT_EQ(f.pdu.all_data[j], first);
        }
    });
}

}  // namespace
}  // namespace valdrin::io::goose_engine
