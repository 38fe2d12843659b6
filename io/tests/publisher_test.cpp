// Tests of the SV publisher's lifecycle: the exact failure of every start()
// step, start/stop/start with the resumed run skipping the periods already
// past, the blocking hooks around every wait (the binding's interpreter lock
// rides on them), a stop() racing a start(), and prompt disposal. Frames go
// only to lo, in runs bounded to a fraction of a second.
#include "sv_engine/publisher.hpp"

#include "skip.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <ostream>
#include <memory>
#include <string>
#include <thread>

namespace valdrin::io::sv_engine {
namespace {

using Clock = std::chrono::steady_clock;

// Threads of this process named like the transmit thread.
int transmit_threads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "sv-engine") ++count;
    }
    return count;
}

double unix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A publisher of one 60-octet stream of one channel, `asdus` ASDUs per frame.
std::shared_ptr<Config> config(std::string iface, std::int64_t start_second, std::int64_t rate = 4000,
                               std::int64_t asdus = 1) {
    auto out = std::make_shared<Config>();
    out->iface = std::move(iface);
    out->rate = rate;
    out->asdus_per_frame = asdus;
    out->start_second = start_second;
    Stream stream;
    stream.frame.assign(60, 0);
    for (std::int64_t i = 0; i < asdus; ++i) {
        stream.smp_cnt_offsets.push_back(20 + 10 * static_cast<std::uint64_t>(i));
        stream.sample_offsets.push_back(22);
    }
    stream.waves.push_back(Wave{.amplitude = 100.0, .frequency_hz = 50.0});
    out->streams.push_back(std::move(stream));
    return out;
}

std::int64_t far_future() { return static_cast<std::int64_t>(unix_now()) + 1'000'000; }

// Counts the hook calls and checks that they alternate, enter first.
class CountingBlocking : public Blocking {
public:
    void enter() noexcept override {
        if (inside_) nested_ = true;
        inside_ = true;
        ++entered;
    }
    void leave() noexcept override {
        if (!inside_) nested_ = true;
        inside_ = false;
        ++left;
    }
    bool balanced() const { return !nested_ && !inside_ && entered == left; }

    int entered = 0;
    int left = 0;

private:
    bool inside_ = false;
    bool nested_ = false;
};

bool is_root() { return geteuid() == 0; }

#define REQUIRE_ROOT()                                                     \
    if (!is_root()) VALDRIN_SKIP_OR_FAIL("AF_PACKET sockets need CAP_NET_RAW")

struct FailureCase {
    const char* why;
    std::string iface;
    std::optional<std::uint64_t> cpu;
    std::optional<std::int32_t> rt_priority;
    StartError error;
    const char* text;
    int hook_pairs;  // the report wait, and the join of a thread that reported
};

// A row as test listings name it: by its reason, not its octets.
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.why; }

class StartFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(StartFailures, ExactErrorAndNoThreadLeft) {
    const FailureCase& c = GetParam();
    if (c.cpu || c.rt_priority) REQUIRE_ROOT();
    auto cfg = config(c.iface, far_future());
    cfg->cpu = c.cpu;
    cfg->rt_priority = c.rt_priority;
    Publisher publisher(cfg);
    CountingBlocking hooks;
    auto started = publisher.start(hooks);
    ASSERT_FALSE(started) << c.why;
    EXPECT_EQ(started.error().error, c.error) << c.why;
    EXPECT_EQ(started.error().text, c.text) << c.why;
    EXPECT_EQ(hooks.entered, c.hook_pairs) << c.why;
    EXPECT_TRUE(hooks.balanced()) << c.why;
    if (c.error == StartError::ThreadGone) {
        // Detached: give it the moment it needs to end.
        for (int i = 0; i < 100 && transmit_threads() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(transmit_threads(), 0) << c.why;
    EXPECT_EQ(publisher.stats().frames_sent, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Publisher, StartFailures,
    testing::Values(
        FailureCase{"a NUL cannot reach if_nametoindex", std::string("lo\0x", 4), {}, {}, StartError::Socket,
                    "bad interface name", 0},
        FailureCase{"no such interface", "valdrin-none0", {}, {}, StartError::Socket,
                    "interface valdrin-none0: No such device (os error 19)", 0},
        FailureCase{"the empty name", "", {}, {}, StartError::Socket, "interface : No such device (os error 19)", 0},
        FailureCase{"a CPU beyond cpu_set_t ends the thread unreported", "lo", 1024, {}, StartError::ThreadGone,
                    "the engine thread ended during setup", 1},
        FailureCase{"a CPU the machine lacks", "lo", 1023, {}, StartError::Setup,
                    "pin to CPU 1023: Invalid argument (os error 22)", 2},
        FailureCase{"a priority above SCHED_FIFO's range", "lo", {}, 200, StartError::Setup,
                    "SCHED_FIFO priority 200: Invalid argument (os error 22)", 2}));

TEST(Publisher, StopWithoutStartTouchesNothing) {
    Publisher publisher(config("valdrin-none0", 0));
    CountingBlocking hooks;
    publisher.stop(hooks);
    publisher.stop(hooks);
    EXPECT_EQ(hooks.entered, 0);  // nothing to join, nobody holding the lock
    const Stats stats = publisher.stats();
    EXPECT_EQ(stats.frames_sent + stats.send_errors + stats.late_frames, 0u);
    EXPECT_EQ(stats.max_lateness_ns, 0);
}

TEST(Publisher, StartStopStartWithHooksAroundEveryWait) {
    REQUIRE_ROOT();
    Publisher publisher(config("lo", far_future()));
    CountingBlocking hooks;
    ASSERT_TRUE(publisher.start(hooks));
    EXPECT_EQ(hooks.entered, 1);  // the report
    EXPECT_EQ(transmit_threads(), 1);

    auto again = publisher.start(hooks);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().error, StartError::AlreadyStarted);
    EXPECT_EQ(again.error().text, "already started");
    EXPECT_EQ(hooks.entered, 1);

    const auto began = Clock::now();
    publisher.stop(hooks);  // a far first period is slept in slices: prompt
    EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));
    EXPECT_EQ(hooks.entered, 2);  // the join
    EXPECT_EQ(transmit_threads(), 0);

    ASSERT_TRUE(publisher.start(hooks));  // the stop flag is cleared for the new run
    EXPECT_EQ(transmit_threads(), 1);
    publisher.stop(hooks);
    EXPECT_EQ(hooks.entered, 4);
    EXPECT_TRUE(hooks.balanced());
    EXPECT_EQ(transmit_threads(), 0);
    EXPECT_EQ(publisher.stats().frames_sent, 0u);
}

TEST(Publisher, ResumedRunSkipsThePeriodsAlreadyPast) {
    REQUIRE_ROOT();
    // 1000 frames per second on lo from the current whole second: the first
    // run catches up from there; the second, after a pause, must start at the
    // first period not yet due instead of sending the pause's backlog.
    constexpr double frames_per_s = 1000;
    const auto start_second = static_cast<std::int64_t>(std::floor(unix_now()));
    Publisher publisher(config("lo", start_second, 4000, 4));
    Blocking none;
    // Polled: a loaded machine may run the thread late, never skipping frames.
    const auto sent_at_least = [&](std::uint64_t frames) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (publisher.stats().frames_sent < frames && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return publisher.stats().frames_sent >= frames;
    };
    ASSERT_TRUE(publisher.start(none));
    ASSERT_TRUE(sent_at_least(50));
    publisher.stop(none);
    const double first_end = unix_now();
    const std::uint64_t first = publisher.stats().frames_sent;
    EXPECT_GE(first, 50u);
    EXPECT_LE(first, (first_end - start_second) * frames_per_s + 2);

    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // 400 periods missed
    const double second_begin = unix_now();
    ASSERT_TRUE(publisher.start(none));
    ASSERT_TRUE(sent_at_least(first + 50));
    publisher.stop(none);
    const double second_end = unix_now();
    const std::uint64_t second = publisher.stats().frames_sent - first;
    EXPECT_GE(second, 50u);
    EXPECT_LE(second, (second_end - second_begin) * frames_per_s + 2) << "the pause's backlog was sent";
    EXPECT_EQ(publisher.stats().send_errors, 0u);
}

// A bounded run sends exactly its periods, here a backlog from a past
// second (sent back to back, so the run is short), and its thread ends on
// its own; a resumed run past the bound sends nothing.
TEST(Publisher, BoundedRunSendsExactlyItsPeriodsThenEnds) {
    REQUIRE_ROOT();
    struct Case {
        std::uint64_t periods;
        std::int64_t asdus;
    };
    for (const Case c : {Case{0, 1}, Case{1, 1}, Case{1000, 4}, Case{4001, 1}}) {
        auto bounded = config("lo", static_cast<std::int64_t>(std::floor(unix_now())) - 3, 4000, c.asdus);
        bounded->periods = c.periods;
        Publisher publisher(bounded);
        Blocking none;
        ASSERT_TRUE(publisher.start(none));
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (transmit_threads() > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(transmit_threads(), 0) << c.periods << " periods: the thread did not end";
        EXPECT_EQ(publisher.stats().frames_sent, c.periods);
        EXPECT_EQ(publisher.stats().send_errors, 0u);
        publisher.stop(none);
        ASSERT_TRUE(publisher.start(none));  // resumes past the bound
        publisher.stop(none);
        EXPECT_EQ(publisher.stats().frames_sent, c.periods) << "a resumed run went past the bound";
    }
}

// The thread that calls start() learns from its hooks when start() holds the
// lock and waits for the report; it then lets another thread call stop(),
// which must wait for the lock through its own hooks and then stop the run
// start() made: never a thread left running, nor a stop flag cleared under a
// stop() that has not joined yet.
class StopDuringStart : public Blocking {
public:
    explicit StopDuringStart(Publisher& publisher) : publisher_(publisher) {}
    void enter() noexcept override {
        if (std::exchange(spawned_, true)) return;
        stopper_ = std::thread([this] {
            struct Signal : Blocking {
                std::promise<void>& waiting;
                explicit Signal(std::promise<void>& p) : waiting(p) {}
                int entered = 0;
                void enter() noexcept override {
                    if (entered++ == 0) waiting.set_value();
                }
            } signal(stop_waiting_);
            publisher_.stop(signal);
        });
    }
    void leave() noexcept override {
        if (left_++ == 0) {
            // Still inside start(), holding the lock: stop() cannot have it.
            stop_seen_ = stop_waiting_.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        }
    }
    void join() {
        if (stopper_.joinable()) stopper_.join();
    }

    bool stop_seen_ = false;

private:
    Publisher& publisher_;
    std::thread stopper_;
    std::promise<void> stop_waiting_;
    bool spawned_ = false;
    int left_ = 0;
};

TEST(Publisher, StopWaitsForARunningStartAndStopsItsRun) {
    REQUIRE_ROOT();
    for (int round = 0; round < 5; ++round) {
        Publisher publisher(config("lo", far_future()));
        StopDuringStart hooks(publisher);
        ASSERT_TRUE(publisher.start(hooks));
        hooks.join();
        EXPECT_TRUE(hooks.stop_seen_) << "stop() took the lock while start() held it";
        EXPECT_EQ(transmit_threads(), 0) << "round " << round;
        Blocking none;
        ASSERT_TRUE(publisher.start(none)) << "the slot must be free again";
        publisher.stop(none);
    }
}

TEST(Publisher, DestructionStopsAndJoinsPromptly) {
    REQUIRE_ROOT();
    {
        Publisher publisher(config("lo", far_future()));
        Blocking none;
        ASSERT_TRUE(publisher.start(none));
        EXPECT_EQ(transmit_threads(), 1);
        const auto began = Clock::now();
        publisher.dispose();
        EXPECT_LT(Clock::now() - began, std::chrono::milliseconds(500));
        EXPECT_EQ(transmit_threads(), 0);
    }
    {
        auto publisher = std::make_unique<Publisher>(config("lo", far_future()));
        Blocking none;
        ASSERT_TRUE(publisher->start(none));
        publisher.reset();  // the destructor disposes of a running publisher
        EXPECT_EQ(transmit_threads(), 0);
    }
}

}  // namespace
}  // namespace valdrin::io::sv_engine
