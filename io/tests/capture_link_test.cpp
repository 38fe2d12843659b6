// Failures of a capture: set-up steps refused (reported by start() in the
// OS's words), the interface going down and up, and going away.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "capture/capture.hpp"
#include "netns.hpp"

namespace valdrin::io {
namespace {

using testing::add_veth;
using testing::eventually;
using testing::make_frame;
using testing::Recorder;
using testing::Sender;
using testing::shell;

// Removes CAP_NET_RAW from the calling process's effective set.
bool drop_net_raw() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

struct BadSetup {
    const char* why;
    std::string interface;
    std::optional<unsigned> cpu;
    std::optional<int> priority;
    bool without_net_raw;
    RingGeometry ring;
    CaptureStep step;
    const char* text;
};

class BadSetupTest : public ::testing::TestWithParam<BadSetup> {};

TEST_P(BadSetupTest, StartReportsTheFailingStepInTheOsWords) {
    const BadSetup p = GetParam();
    VALDRIN_IN_NAMESPACE([&] {
        if (p.without_net_raw) {
            ASSERT_TRUE(drop_net_raw());
        }
        Recorder recorder;
        CaptureOptions options{.interface = p.interface};
        options.cpu = p.cpu;
        options.rt_priority = p.priority;
        options.ring = p.ring;
        Capture capture(options, recorder);
        const auto started = capture.start();
        ASSERT_FALSE(started.has_value());
        EXPECT_EQ(started.error().step, p.step);
        EXPECT_EQ(capture.describe(started.error()), p.text);
        EXPECT_FALSE(capture.running());
        // Nothing is left behind: a good start works afterwards when the
        // fault was in the options' interface only.
        capture.stop();
    });
}

const RingGeometry good{};
const RingGeometry odd_slots{
    .version = RingVersion::V2, .block_size = 4096, .block_count = 4, .frame_size = 1536};

INSTANTIATE_TEST_SUITE_P(
    Steps, BadSetupTest,
    ::testing::Values(
        BadSetup{"no_interface", "eth9", {}, {}, false, good, CaptureStep::Interface,
                 "interface eth9: No such device (os error 19)"},
        BadSetup{"empty_name", "", {}, {}, false, good, CaptureStep::InterfaceName,
                 "bad interface name"},
        BadSetup{"name_too_long", "sixteen-octets-x", {}, {}, false, good,
                 CaptureStep::InterfaceName, "bad interface name"},
        BadSetup{"no_cap_net_raw", "lo", {}, {}, true, good, CaptureStep::Socket,
                 "AF_PACKET socket: Operation not permitted (os error 1)"},
        BadSetup{"slots_not_dividing_blocks", "lo", {}, {}, false, odd_slots, CaptureStep::RxRing,
                 "PACKET_RX_RING: Invalid argument (os error 22)"},
        BadSetup{"no_such_cpu", "lo", 1000u, {}, false, good, CaptureStep::Pin,
                 "pin to CPU 1000: Invalid argument (os error 22)"},
        BadSetup{"cpu_beyond_cpu_set", "lo", 1024u, {}, false, good, CaptureStep::CpuOutOfRange,
                 "CPU number out of range 1024"},
        BadSetup{"priority_out_of_range", "lo", {}, 100, false, good, CaptureStep::Priority,
                 "SCHED_FIFO priority 100: Invalid argument (os error 22)"}),
    [](const auto& info) { return std::string(info.param.why); });

TEST(CaptureLinkTest, RemovedInterfaceEndsTheRunWithAnError) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        Recorder recorder;
        Capture capture({.interface = "vb"}, recorder);
        ASSERT_TRUE(capture.start().has_value());
        ASSERT_TRUE(shell("ip link del va"));  // takes its peer vb along
        ASSERT_TRUE(capture.wait_ended(2'000'000'000));
        EXPECT_FALSE(capture.running());
        const CaptureError failure = capture.failure();
        EXPECT_EQ(failure.step, CaptureStep::InterfaceGone);
        EXPECT_EQ(capture.describe(failure), "interface vb went away");
        EXPECT_EQ(capture.stats().link_downs, 1u);
        capture.stop();
        EXPECT_EQ(capture.failure().step, CaptureStep::InterfaceGone);  // still readable
        // A new start finds no interface.
        const auto again = capture.start();
        ASSERT_FALSE(again.has_value());
        EXPECT_EQ(capture.describe(again.error()), "interface vb: No such device (os error 19)");
    });
}

TEST(CaptureLinkTest, LinkDownAndUpKeepsCapturing) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        Recorder recorder;
        Capture capture({.interface = "vb"}, recorder);
        ASSERT_TRUE(capture.start().has_value());
        Sender sender("va");
        sender.send(make_frame(0x88BA, std::nullopt, 30, 1));
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == 1; }));

        ASSERT_TRUE(shell("ip link set vb down"));
        ASSERT_TRUE(eventually([&] { return !capture.stats().link_up; }));
        // Several idle passes while down.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(capture.running());
        ASSERT_TRUE(shell("ip link set vb up"));
        ASSERT_TRUE(eventually([&] { return capture.stats().link_up; }));
        // veth carries again once both ends are up and the carrier is on.
        ASSERT_TRUE(eventually([&] { return shell("ip link show vb | grep -q LOWER_UP"); }));
        sender.send(make_frame(0x88BA, std::nullopt, 30, 2));
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == 2; }));
        capture.stop();

        EXPECT_EQ(capture.failure(), CaptureError{});
        EXPECT_EQ(capture.stats().link_downs, 1u);
        ASSERT_EQ(recorder.seen.size(), 2u);
        EXPECT_EQ(recorder.seen[1].octets[14], 2);
    });
}

// Bound while down, the socket hears nothing until the interface comes up;
// the capture waits for it instead of failing.
TEST(CaptureLinkTest, StartedOnADownInterfaceCapturesOnceItIsUp) {
    VALDRIN_IN_NAMESPACE([] {
        add_veth("va", "vb");
        ASSERT_TRUE(shell("ip link set vb down"));
        Recorder recorder;
        Capture capture({.interface = "vb"}, recorder);
        ASSERT_TRUE(capture.start().has_value());
        EXPECT_FALSE(capture.stats().link_up);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(capture.running());
        ASSERT_TRUE(shell("ip link set vb up"));
        ASSERT_TRUE(eventually([&] { return capture.stats().link_up; }));
        ASSERT_TRUE(eventually([&] { return shell("ip link show vb | grep -q LOWER_UP"); }));
        Sender sender("va");
        sender.send(make_frame(0x88B8, std::nullopt, 30, 1));
        ASSERT_TRUE(eventually([&] { return capture.stats().frames == 1; }));
        capture.stop();
        EXPECT_EQ(capture.stats().link_downs, 0u);  // never seen up before
        EXPECT_EQ(capture.failure(), CaptureError{});
    });
}

}  // namespace
}  // namespace valdrin::io
