// The GOOSE publisher's configuration: the interface, and per control block
// its template frame, its timing and the largest allData it accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "goose_schedule.hpp"

namespace valdrin::io::goose_engine {

// One control block.
struct BlockConfig {
    // A whole GOOSE frame (from the destination MAC on) as the package's
    // encoder writes it: header and fixed fields, t's quality octet, the
    // first stNum and the first values; its sqNum, t and TAL are replaced.
    std::vector<std::uint8_t> frame;
    goose::schedule::Timing timing;
    // The largest allData content publish() accepts, in octets; at least
    // the template's.
    std::size_t capacity = 0;
};

// The publisher's configuration, immutable once the publisher has it.
struct Config {
    std::string iface;
    std::optional<std::string> prp_iface_b;    // PRP: LAN B's interface, `iface` being LAN A
    std::vector<BlockConfig> blocks;
    std::optional<std::uint64_t> cpu;          // pin the thread to this CPU
    std::optional<std::int32_t> rt_priority;   // SCHED_FIFO priority
    std::size_t lateness_log = 0;              // lateness of the first N frames kept, for benchmarks
};

}  // namespace valdrin::io::goose_engine
