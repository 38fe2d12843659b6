#include "prp_merge.hpp"

#include <algorithm>
#include <cstring>

namespace valdrin::io {

namespace {

// A record's header: the stamp, the octets that follow, the direction. A
// size of SKIP marks the ring's unused end (the next record is at 0).
struct Header {
    std::int64_t t_ns;
    std::uint32_t size;
    std::uint32_t outgoing;
};
static_assert(sizeof(Header) == 16);
constexpr std::uint32_t SKIP = 0xFFFF'FFFF;
constexpr std::size_t ALIGN = 16;

constexpr std::size_t padded(std::size_t n) noexcept { return (n + ALIGN - 1) / ALIGN * ALIGN; }

Header header_at(const std::uint8_t* at) noexcept {
    Header header;
    std::memcpy(&header, at, sizeof header);
    return header;
}

}  // namespace

std::size_t prp_merge_bytes(std::int64_t window_ns) noexcept {
    constexpr std::int64_t longest_ns = 60'000'000'000;  // far beyond the largest room: no overflow below
    if (window_ns <= 0) return PRP_MERGE_MIN_BYTES;
    if (window_ns >= longest_ns) return PRP_MERGE_MAX_BYTES;
    const std::int64_t frames = window_ns * PRP_MERGE_FRAMES_PER_S / 1'000'000'000 + 1;
    const std::size_t bytes = static_cast<std::size_t>(frames) * PRP_MERGE_RECORD_BYTES;
    return std::clamp(bytes, PRP_MERGE_MIN_BYTES, PRP_MERGE_MAX_BYTES);
}

PrpMerge::PrpMerge(std::size_t bytes_per_lan) {
    const std::size_t capacity = padded(std::max(bytes_per_lan, 2 * sizeof(Header)));
    for (Ring& ring : lans_) {
        ring.bytes = std::make_unique<std::uint8_t[]>(capacity);  // zeroed: its pages are touched now
        ring.capacity = capacity;
    }
}

bool PrpMerge::store(const Frame& frame) noexcept {
    Ring& ring = lans_[prp::lan_index(frame.lan)];
    if (frame.octets.size() > ring.capacity - sizeof(Header)) return false;
    const std::size_t need = sizeof(Header) + padded(frame.octets.size());
    if (ring.used == 0) ring.read = ring.write = 0;  // all of it in one piece again
    // A record does not wrap: the end too short for it is skipped.
    const std::size_t skip = ring.capacity - ring.write < need ? ring.capacity - ring.write : 0;
    if (ring.used + skip + need > ring.capacity) return false;
    if (skip != 0) {  // at least a header's room: every offset is a multiple of 16
        const Header mark{.t_ns = 0, .size = SKIP, .outgoing = 0};
        std::memcpy(ring.bytes.get() + ring.write, &mark, sizeof mark);
        ring.write = 0;
    }
    const Header header{.t_ns = frame.t_ns,
                        .size = static_cast<std::uint32_t>(frame.octets.size()),
                        .outgoing = frame.outgoing ? 1u : 0u};
    std::uint8_t* at = ring.bytes.get() + ring.write;
    std::memcpy(at, &header, sizeof header);
    if (!frame.octets.empty()) std::memcpy(at + sizeof header, frame.octets.data(), frame.octets.size());
    ring.write += need;
    if (ring.write == ring.capacity) ring.write = 0;
    ring.used += skip + need;
    latest_ns_ = std::max(latest_ns_, frame.t_ns);
    return true;
}

bool PrpMerge::pop(std::int64_t through_ns, Frame& out) noexcept {
    Header heads[2]{};
    bool waiting[2]{};
    for (std::size_t lan = 0; lan < 2; ++lan) {
        Ring& ring = lans_[lan];
        if (ring.used == 0) continue;
        heads[lan] = header_at(ring.bytes.get() + ring.read);
        if (heads[lan].size == SKIP) {
            ring.used -= ring.capacity - ring.read;
            ring.read = 0;
            heads[lan] = header_at(ring.bytes.get());
        }
        waiting[lan] = true;
    }
    // The earlier stamp; LAN A's on a tie.
    const std::size_t lan = !waiting[0] ? 1 : !waiting[1] ? 0 : heads[1].t_ns < heads[0].t_ns ? 1 : 0;
    if (!waiting[lan] || heads[lan].t_ns > through_ns) return false;
    Ring& ring = lans_[lan];
    out = {.octets = {ring.bytes.get() + ring.read + sizeof(Header), heads[lan].size},
           .t_ns = heads[lan].t_ns,
           .outgoing = heads[lan].outgoing != 0,
           .lan = lan == prp::lan_index(prp::Lan::A) ? prp::Lan::A : prp::Lan::B};
    const std::size_t taken = sizeof(Header) + padded(heads[lan].size);
    ring.read += taken;
    if (ring.read == ring.capacity) ring.read = 0;
    ring.used -= taken;
    if (empty()) latest_ns_ = std::numeric_limits<std::int64_t>::min();
    return true;
}

}  // namespace valdrin::io
