// The memory-mapped receive ring of an AF_PACKET socket, TPACKET_V2 (one
// slot per frame, each handed to user space at once) or TPACKET_V3 (frames
// packed into blocks, a block handed over when full or when its timeout
// expires).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "capture_error.hpp"

namespace valdrin::io {

enum class RingVersion : std::uint8_t { V2, V3 };

// The ring's shape. block_size is a multiple of the page size and of
// frame_size; V2 captures at most frame_size minus its headers (about 80
// octets) of each frame, V3 up to a whole block.
struct RingGeometry {
    RingVersion version = RingVersion::V2;
    std::uint32_t block_size = 1u << 16;
    std::uint32_t block_count = 64;
    std::uint32_t frame_size = 2048;
    std::uint32_t block_timeout_ms = 1;  // V3 only: a partly filled block waits this long
};

// The largest V3 block timeout accepted: beyond it a stop, and every frame,
// would wait too long.
inline constexpr std::uint32_t MAX_BLOCK_TIMEOUT_MS = 1000;

// A V3 ring of 4 MiB whose blocks hold about one block timeout of a busy
// link's frames (32 MB/s, some 150,000 SV frames a second): 64 KiB blocks
// for timeouts up to 2 ms, 128 KiB up to 4, 256 KiB up to 8, 512 KiB
// beyond. A busy link then wakes the reader about once per timeout rather
// than per small block (a block that fills just before the timeout leaves
// the next one closed by the timer soon after: two wake-ups), and a quiet
// one still leaves a reader that stalls block count times the timeout (at
// least 64 ms) before frames are dropped.
[[nodiscard]] constexpr RingGeometry v3_ring(std::uint32_t block_timeout_ms) noexcept {
    constexpr std::uint32_t ring_bytes = 1u << 22;
    constexpr std::uint32_t per_ms = 1u << 15;  // a busy link's octets per ms, about
    std::uint32_t block = 1u << 16;
    while (block < (1u << 19) && block / per_ms < block_timeout_ms) block *= 2;
    return {.version = RingVersion::V3,
            .block_size = block,
            .block_count = ring_bytes / block,
            .block_timeout_ms = block_timeout_ms};
}

// One frame in the ring, valid until RxRing::release().
struct RingFrame {
    const std::uint8_t* data = nullptr;  // from the destination MAC, as the socket saw it
    std::uint32_t captured = 0;          // octets at data
    std::uint32_t wire = 0;              // octets the frame had
    std::uint32_t status = 0;            // TP_STATUS_* flags
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    std::uint16_t vlan_tci = 0;   // valid with TP_STATUS_VLAN_VALID
    std::uint16_t vlan_tpid = 0;  // valid with TP_STATUS_VLAN_TPID_VALID
    std::uint8_t packet_type = 0;  // PACKET_HOST ... PACKET_OUTGOING
};

// The mapped ring of one socket; unmaps on destruction. Not thread-safe:
// one thread reads it.
class RxRing {
public:
    RxRing() noexcept = default;
    RxRing(RxRing&& other) noexcept { *this = static_cast<RxRing&&>(other); }
    RxRing& operator=(RxRing&& other) noexcept;
    RxRing(const RxRing&) = delete;
    RxRing& operator=(const RxRing&) = delete;
    ~RxRing();

    // Sets the socket `fd` to `geometry`'s version, creates its receive
    // ring and maps it; the step and errno of the first failure otherwise.
    [[nodiscard]] static std::expected<RxRing, CaptureError> map(
        int fd, const RingGeometry& geometry) noexcept;

    // Fills `out` with the oldest frame the kernel has handed over and
    // returns true; false when there is none. Each true is followed by one
    // release() before the next call.
    [[nodiscard]] bool next(RingFrame& out) noexcept;
    // Gives the frame of the last next() (for V3, its block when it was the
    // block's last) back to the kernel.
    void release() noexcept;

private:
    void unmap() noexcept;
    std::uint8_t* current() const noexcept;  // the current slot or block
    void advance() noexcept;                 // to the next one, round the ring
    bool next_v2(RingFrame& out) noexcept;
    bool next_v3(RingFrame& out) noexcept;

    std::uint8_t* base_ = nullptr;
    std::size_t bytes_ = 0;
    RingVersion version_ = RingVersion::V2;
    std::uint32_t unit_size_ = 0;   // V2: frame slot; V3: block
    std::uint32_t unit_count_ = 0;
    std::uint32_t unit_ = 0;        // the current slot or block
    // V3: the current block's frames left, and the offset of the next one.
    std::uint32_t left_ = 0;
    std::uint32_t offset_ = 0;
    std::uint32_t next_offset_ = 0;
    // V3: where the current block's frames end, and how far it is prefetched.
    std::uint32_t block_end_ = 0;
    std::uint32_t prefetched_ = 0;
};

}  // namespace valdrin::io
