// The capture's throughput, CPU cost and latency on a veth pair in a
// network namespace of the benchmark's own (needs root). A sender thread
// sends a bounded number of SV frames on one end; the capture reads the
// other and counts. Prints, for V2 waking per frame, V2 pausing 100 us
// after each pass with frames (coalesce_ns), and V3 with a 1 ms block
// timeout:
//   - a blast: frames offered and received per second, kernel drops, and
//     the capture thread's CPU time per frame;
//   - paced runs at SV rates: latency from the kernel's stamp to the
//     handler (median, p99, max) and drops.
// Usage: capture_bench [blast_frames [rt_priority]]   (default 300000, none)
// With a priority the capture thread runs SCHED_FIFO, as a deployment would.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.hpp"
#include "clock.hpp"
#include "fd.hpp"

namespace {

using namespace valdrin::io;

std::optional<int> priority;  // of the capture thread, from the command line

std::int64_t now(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

// A 9-2LE-sized SV frame: 1 ASDU of 8 channels, about 120 octets.
std::vector<std::uint8_t> sv_frame() {
    std::vector<std::uint8_t> frame{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01, 0x02, 0x00, 0x00,
                                    0x00, 0x00, 0x01, 0x88, 0xBA, 0x40, 0x00};
    frame.resize(122, 0x5A);
    return frame;
}

class Counter final : public FrameHandler {
public:
    explicit Counter(std::size_t capacity) { latencies.reserve(capacity); }
    void on_frame(std::span<const std::uint8_t>, const FrameMeta& meta) noexcept override {
        if (latencies.size() < latencies.capacity()) {
            // Within capacity: no allocation.
            latencies.push_back(now(CLOCK_REALTIME) - meta.timestamp_ns);
        }
        ++frames;
        if (frames == 1) first_frame_ns = now(CLOCK_MONOTONIC);
        last_frame_ns = now(CLOCK_MONOTONIC);
    }
    void on_idle(std::int64_t) noexcept override {
        const std::int64_t cpu = now(CLOCK_THREAD_CPUTIME_ID);
        if (cpu_start < 0) cpu_start = cpu;
        cpu_last = cpu;
    }
    std::vector<std::int64_t> latencies;
    std::uint64_t frames = 0;
    std::int64_t first_frame_ns = 0;
    std::int64_t last_frame_ns = 0;
    std::int64_t cpu_start = -1;
    std::int64_t cpu_last = 0;
};

// Sends `count` frames on `interface`, as fast as the socket takes them in
// batches of 64 (period 0), or one every `period_ns`; stops after `limit_s`.
// Returns the frames sent.
std::uint64_t send_frames(const char* interface, std::uint64_t count, std::int64_t period_ns,
                          int limit_s) {
    const Fd socket_fd(socket(AF_PACKET, SOCK_RAW, 0));
    const int fd = socket_fd.get();
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(interface));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("sender");
        std::exit(1);
    }
    std::vector<std::uint8_t> frame = sv_frame();
    std::vector<iovec> scatter(64, iovec{frame.data(), frame.size()});
    std::vector<mmsghdr> messages(64);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &scatter[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const std::int64_t start = now(CLOCK_MONOTONIC);
    const std::int64_t deadline = start + limit_s * NS_PER_S;
    std::uint64_t sent = 0;
    while (sent < count && now(CLOCK_MONOTONIC) < deadline) {
        if (period_ns == 0) {
            const auto n = static_cast<unsigned>(std::min<std::uint64_t>(64, count - sent));
            const int r = sendmmsg(fd, messages.data(), n, 0);
            if (r > 0) sent += static_cast<std::uint64_t>(r);
            continue;
        }
        const std::int64_t due = start + static_cast<std::int64_t>(sent) * period_ns;
        const timespec at{static_cast<time_t>(due / NS_PER_S), static_cast<long>(due % NS_PER_S)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        if (send(fd, frame.data(), frame.size(), 0) > 0) ++sent;
    }
    return sent;
}

// A ring version and how the thread waits.
struct Setting {
    const char* name;
    RingVersion version;
    std::int64_t coalesce_ns;
};

constexpr Setting settings[] = {
    {"V2", RingVersion::V2, 0},
    {"V2+100us", RingVersion::V2, 100'000},
    {"V3 1ms", RingVersion::V3, 0},
};

CaptureOptions options_of(const Setting& setting) {
    CaptureOptions options;
    options.interface = "vb";
    options.ring.version = setting.version;
    if (setting.version == RingVersion::V3) {
        options.ring.block_size = 1u << 17;  // 32 blocks of 128 KiB, 1 ms timeout
        options.ring.block_count = 32;
    }
    options.coalesce_ns = setting.coalesce_ns;
    options.rt_priority = priority;
    return options;
}

// Waits until the capture has seen `sent` frames (or dropped the rest),
// at most 2 s, then stops it.
void settle(Capture& capture, std::uint64_t sent) {
    const std::int64_t deadline = now(CLOCK_MONOTONIC) + 2 * NS_PER_S;
    while (now(CLOCK_MONOTONIC) < deadline) {
        const CaptureStats s = capture.stats();
        if (s.frames + s.kernel_drops >= sent) break;
        usleep(1000);
    }
    usleep(20'000);  // a few idle passes: final CPU reading
    capture.stop();
}

void blast(const Setting& setting, std::uint64_t count) {
    Counter counter(0);
    Capture capture(options_of(setting), counter);
    if (auto started = capture.start(); !started) {
        std::printf("start: %s\n", capture.describe(started.error()).c_str());
        std::exit(1);
    }
    usleep(10'000);
    const std::int64_t t0 = now(CLOCK_MONOTONIC);
    const std::uint64_t sent = send_frames("va", count, 0, 10);
    const std::int64_t t1 = now(CLOCK_MONOTONIC);
    settle(capture, sent);
    const CaptureStats s = capture.stats();
    const double offered = static_cast<double>(sent) * 1e9 / static_cast<double>(t1 - t0);
    const double span = static_cast<double>(
        std::max<std::int64_t>(counter.last_frame_ns - counter.first_frame_ns, 1));
    const double received = static_cast<double>(counter.frames) * 1e9 / span;
    const double cpu = counter.frames ? static_cast<double>(counter.cpu_last - counter.cpu_start) /
                                            static_cast<double>(counter.frames)
                                      : 0.0;
    std::printf("%-10s blast: sent %llu at %.0f frames/s; received %llu at %.0f frames/s; "
                "kernel drops %llu, freezes %llu; capture CPU %.0f ns/frame\n",
                setting.name, static_cast<unsigned long long>(sent), offered,
                static_cast<unsigned long long>(counter.frames), received,
                static_cast<unsigned long long>(s.kernel_drops),
                static_cast<unsigned long long>(s.ring_freezes), cpu);
}

void paced(const Setting& setting, std::int64_t rate, std::uint64_t count) {
    Counter counter(count);
    Capture capture(options_of(setting), counter);
    if (auto started = capture.start(); !started) {
        std::printf("start: %s\n", capture.describe(started.error()).c_str());
        std::exit(1);
    }
    usleep(10'000);
    const std::uint64_t sent = send_frames("va", count, NS_PER_S / rate, 10);
    settle(capture, sent);
    auto& l = counter.latencies;
    std::sort(l.begin(), l.end());
    const auto at = [&](double q) {
        if (l.empty()) return 0.0;
        const auto i = static_cast<std::size_t>(q * static_cast<double>(l.size()));
        return static_cast<double>(l[std::min(l.size() - 1, i)]) / 1e3;
    };
    const double cpu = counter.frames ? static_cast<double>(counter.cpu_last - counter.cpu_start) /
                                            static_cast<double>(counter.frames)
                                      : 0.0;
    std::printf("%-10s %6lld frames/s: %llu sent, %llu received, %llu dropped; stamp->handler "
                "median %.1f us, p99 %.1f us, max %.1f us; capture CPU %.0f ns/frame\n",
                setting.name, static_cast<long long>(rate),
                static_cast<unsigned long long>(sent),
                static_cast<unsigned long long>(counter.frames),
                static_cast<unsigned long long>(capture.stats().kernel_drops), at(0.5), at(0.99),
                l.empty() ? 0.0 : static_cast<double>(l.back()) / 1e3, cpu);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t blast_frames = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 300'000;
    if (argc > 2) priority = std::atoi(argv[2]);
    const std::string policy = priority ? "SCHED_FIFO " + std::to_string(*priority) : "SCHED_OTHER";
    std::printf("capture thread: %s\n", policy.c_str());
    if (geteuid() != 0) {
        std::puts("capture_bench needs root (a network namespace and a veth pair)");
        return 1;
    }
    // Everything happens in a namespace of our own: no frame reaches a real
    // interface, and the veth pair goes with the namespace at exit.
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return 1;
    }
    if (std::system("ip link add va type veth peer name vb && ip link set va up && "
                    "ip link set vb up") != 0) {
        return 1;
    }
    usleep(100'000);  // carrier
    for (const Setting& setting : settings) blast(setting, blast_frames);
    for (const Setting& setting : settings) {
        paced(setting, 4'000, 8'000);    // one 80-samples-per-cycle stream at 50 Hz
        paced(setting, 14'400, 14'400);  // 288 samples per cycle at 50 Hz
        paced(setting, 50'000, 50'000);  // a dozen streams
    }
    return 0;
}
