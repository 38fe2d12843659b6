// The GOOSE publisher's timing, in a network namespace of the benchmark's
// own (needs root), frames sent on a veth whose peer nobody reads:
//   1. T1 = 1 ms, T0 = 1 s: 100 state changes 50 ms apart (6 frames each at
//      0, 1, 3, 7, 15, 31 ms), the timing error of every frame (send time
//      minus its deadline) as median, p99 and max, while the SV engine sends
//      one 4000 frames/s stream in the same process; the SV engine's own
//      lateness beside it;
//   2. T0 = 1 s (T1 = T0: heartbeats only, every block due at the same
//      instant, the worst case): for growing block counts, the timing error
//      over 3 s, and the most blocks whose every frame stayed within 1% of T0.
// Usage: goose_publish_bench [rt_priority]   (default none)
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clock.hpp"
#include "goose.hpp"
#include "goose_engine/publisher.hpp"
#include "sv_engine/publisher.hpp"

using namespace valdrin;
using io::goose_engine::Publisher;

namespace {

constexpr std::int64_t ms = 1'000'000;

std::vector<std::uint8_t> template_frame(std::size_t index) {
    const data::Data values[] = {data::Data::of_bool(false), data::Data::of_int(0)};
    const std::string ref = "IED1LD0/LLN0$GO$gcb" + std::to_string(index);
    goose::GoosePdu pdu{.gocb_ref = ref, .time_allowed_to_live = 1, .dat_set = "IED1LD0/LLN0$DS1", .go_id = {},
                        .t = {0, 0, 0x0A}, .st_num = 1, .conf_rev = 1, .num_dat_set_entries = 2, .all_data = values};
    ethernet::FrameHeader header{.dst_mac = {0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01}, .src_mac = {2, 0, 0, 0, 0, 1},
                                 .vlan = {}, .app_id = static_cast<std::uint16_t>(index)};
    std::vector<std::uint8_t> frame(256);
    frame.resize(goose::encode_frame(pdu, header, frame).value());
    return frame;
}

struct Summary {
    double median_us, p99_us, max_us;
};

Summary summarise(std::vector<std::int64_t> lateness) {
    if (lateness.empty()) return {0, 0, 0};
    std::sort(lateness.begin(), lateness.end());
    const auto at = [&](double q) { return lateness[static_cast<std::size_t>(q * static_cast<double>(lateness.size() - 1))] / 1e3; };
    return {at(0.5), at(0.99), lateness.back() / 1e3};
}

std::shared_ptr<io::sv_engine::Config> sv_config(std::optional<std::int32_t> priority) {
    auto config = std::make_shared<io::sv_engine::Config>();
    config->iface = "va";
    config->rate = 4000;
    config->asdus_per_frame = 1;
    config->start_second = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch()).count() + 1;
    config->rt_priority = priority;
    io::sv_engine::Stream stream;
    stream.frame.assign(120, 0);
    stream.smp_cnt_offsets = {40};
    stream.sample_offsets = {50};
    stream.waves.push_back({.amplitude = 100.0, .frequency_hz = 50.0});
    config->streams.push_back(std::move(stream));
    return config;
}

void state_changes(std::optional<std::int32_t> priority) {
    io::goose_engine::Config config;
    config.iface = "va";
    config.rt_priority = priority;
    config.lateness_log = 1000;
    config.blocks.push_back({.frame = template_frame(1), .timing = {1 * ms, 1000 * ms}, .capacity = 64});
    auto publisher = Publisher::create(std::move(config)).value();
    io::sv_engine::Publisher sv(sv_config(priority));
    io::Blocking blocking;
    if (!sv.start(blocking)) std::puts("SV engine did not start");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the SV start second
    if (!publisher->start(blocking)) {
        std::puts("GOOSE publisher did not start");
        return;
    }
    const std::uint8_t values[2][6] = {{0x83, 0x01, 0xFF, 0x85, 0x01, 0x01}, {0x83, 0x01, 0x00, 0x85, 0x01, 0x02}};
    for (int change = 0; change < 100; ++change) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)publisher->publish(0, values[change % 2], 2);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    publisher->stop(blocking);
    sv.stop(blocking);
    const auto log = publisher->lateness_log();
    const Summary goose = summarise(log);
    const auto gs = publisher->stats();
    const auto ss = sv.stats();
    std::printf("T1 = 1 ms, 100 state changes: %zu GOOSE frames, timing error median %.1f us, p99 %.1f us, "
                "max %.1f us, late %llu, send errors %llu\n",
                log.size(), goose.median_us, goose.p99_us, goose.max_us,
                static_cast<unsigned long long>(gs.late_frames), static_cast<unsigned long long>(gs.send_errors));
    std::printf("  SV engine in the same run (4000 frames/s): %llu frames, late %llu, max lateness %.1f us\n",
                static_cast<unsigned long long>(ss.frames_sent), static_cast<unsigned long long>(ss.late_frames),
                ss.max_lateness_ns / 1e3);
}

// Returns whether every frame of `blocks` heartbeat blocks stayed within 1% of T0.
bool heartbeats(std::size_t blocks, std::optional<std::int32_t> priority) {
    io::goose_engine::Config config;
    config.iface = "va";
    config.rt_priority = priority;
    config.lateness_log = blocks * 4;
    for (std::size_t i = 0; i < blocks; ++i) {
        config.blocks.push_back({.frame = template_frame(i), .timing = {1000 * ms, 1000 * ms}, .capacity = 16});
    }
    auto publisher = Publisher::create(std::move(config)).value();
    io::Blocking blocking;
    if (!publisher->start(blocking)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // frames at 0, 1 and 2 s
    publisher->stop(blocking);
    const auto log = publisher->lateness_log();
    const Summary s = summarise(log);
    const auto stats = publisher->stats();
    const bool kept = s.max_us < 10'000.0 && stats.send_errors == 0 && log.size() == 3 * blocks;
    std::printf("T0 = 1 s, %6zu blocks: %7zu frames, timing error median %9.1f us, p99 %9.1f us, max %9.1f us, "
                "send errors %llu: %s\n",
                blocks, log.size(), s.median_us, s.p99_us, s.max_us, static_cast<unsigned long long>(stats.send_errors),
                kept ? "on schedule" : "not kept");
    return kept;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::int32_t> priority;
    if (argc > 1) priority = std::atoi(argv[1]);
    if (geteuid() != 0) {
        std::puts("goose_publish_bench needs root (a network namespace and a veth pair)");
        return 1;
    }
    // Everything happens in a namespace of our own: no frame reaches a real
    // interface, and the veth pair goes with the namespace at exit.
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return 1;
    }
    if (std::system("ip link add va type veth peer name vb && ip link set va up && ip link set vb up") != 0) return 1;
    usleep(100'000);
    std::printf("threads: %s\n", priority ? ("SCHED_FIFO " + std::to_string(*priority)).c_str() : "SCHED_OTHER");
    state_changes(priority);
    std::size_t most = 0;
    for (std::size_t blocks : {100, 500, 1000, 2000, 4000, 16000}) {
        if (!heartbeats(blocks, priority)) break;
        most = blocks;
    }
    std::printf("most blocks one thread keeps within 1%% of T0 = 1 s (of those tried): %zu\n", most);
    return 0;
}
