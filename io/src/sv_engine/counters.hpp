// The SV publisher's statistics and stop flag, shared by the Publisher and
// its transmit thread. The thread is the only writer of the statistics.
#pragma once

#include <atomic>
#include <cstdint>

namespace valdrin::io::sv_engine {

// Cumulative over every run of one Publisher.
struct Counters {
    std::atomic<std::uint64_t> frames_sent{0};
    std::atomic<std::uint64_t> send_errors{0};
    std::atomic<std::uint64_t> late_frames{0};
    std::atomic<std::int64_t> max_lateness_ns{0};
    std::atomic<bool> stop{false};
};

}  // namespace valdrin::io::sv_engine
