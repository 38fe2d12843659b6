// PRP: the frames of LAN A and LAN B, each handed over by its own capture
// ring, put back into the order of their kernel stamps before the analysis,
// as one capture of both LANs would have them. A frame waits (copied) until
// both LANs have handed over everything stamped up to its stamp; then the
// waiting frames leave in stamp order. The room is allocated up front; when
// a LAN's room is full, the earliest waiting frames leave before their time
// (counted) rather than be dropped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>

#include "prp.hpp"

namespace valdrin::io {

// The frames per second per LAN a merge's room is sized for, and the
// octets a short frame (a 9-2LE SV frame, its tag and trailer) takes in it.
inline constexpr std::int64_t PRP_MERGE_FRAMES_PER_S = 300'000;
inline constexpr std::size_t PRP_MERGE_RECORD_BYTES = 160;
// A LAN's room, at least and at most.
inline constexpr std::size_t PRP_MERGE_MIN_BYTES = std::size_t{1} << 18;
inline constexpr std::size_t PRP_MERGE_MAX_BYTES = std::size_t{1} << 25;

// The room one LAN needs for the frames stamped within `window_ns` at
// PRP_MERGE_FRAMES_PER_S, within [PRP_MERGE_MIN_BYTES, PRP_MERGE_MAX_BYTES].
[[nodiscard]] std::size_t prp_merge_bytes(std::int64_t window_ns) noexcept;

// The waiting frames of two LANs, each LAN's in a byte ring of its own in
// the order its ring handed them over. Used by one thread.
class PrpMerge {
public:
    // One frame going in or coming out.
    struct Frame {
        std::span<const std::uint8_t> octets;
        std::int64_t t_ns = 0;
        bool outgoing = false;
        prp::Lan lan = prp::Lan::A;
    };

    // Allocates `bytes_per_lan` (rounded up to 16) for each LAN's frames;
    // throws std::bad_alloc.
    explicit PrpMerge(std::size_t bytes_per_lan);

    // Copies `frame` in. When its LAN's room is full, the earliest waiting
    // frames (of either LAN) first leave through `take`, counted early; a
    // frame larger than a whole LAN's room leaves at once after them, counted
    // early too.
    template <class Take>
    void add(const Frame& frame, Take&& take) noexcept {
        Frame out;
        while (!store(frame)) {
            const bool waiting = pop(std::numeric_limits<std::int64_t>::max(), out);
            early_.fetch_add(1, std::memory_order_relaxed);
            take(waiting ? out : frame);
            if (!waiting) return;
        }
    }
    // The waiting frames stamped at or before `through_ns` leave through
    // `take` in stamp order (LAN A's first on equal stamps).
    template <class Take>
    void release(std::int64_t through_ns, Take&& take) noexcept {
        Frame out;
        while (pop(through_ns, out)) take(out);
    }
    // Every waiting frame leaves through `take`, in stamp order.
    template <class Take>
    void drain(Take&& take) noexcept {
        release(std::numeric_limits<std::int64_t>::max(), take);
    }

    // Whether no frame waits.
    [[nodiscard]] bool empty() const noexcept { return lans_[0].used == 0 && lans_[1].used == 0; }
    // The latest stamp among the frames added since the merge was last
    // empty (the lowest int64 when none).
    [[nodiscard]] std::int64_t latest_ns() const noexcept { return latest_ns_; }
    // Frames that left before their time because their LAN's room was full
    // (perhaps out of stamp order); readable from any thread.
    [[nodiscard]] std::uint64_t early() const noexcept { return early_.load(std::memory_order_relaxed); }
    // The octets each LAN's room holds.
    [[nodiscard]] std::size_t bytes_per_lan() const noexcept { return lans_[0].capacity; }

private:
    // One LAN's frames: records (a header, then the octets, padded to 16)
    // one after the other, wrapping at the end.
    struct Ring {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t capacity = 0;
        std::size_t read = 0;   // the earliest record (or a skip to the start)
        std::size_t write = 0;  // where the next record goes
        std::size_t used = 0;   // octets between read and write, skips included
    };

    // Copies `frame` into its LAN's ring; false, nothing copied, when it does not fit.
    [[nodiscard]] bool store(const Frame& frame) noexcept;
    // The earliest waiting frame into `out`, removed, when stamped at or
    // before `through_ns`; its octets stay valid until the next store.
    [[nodiscard]] bool pop(std::int64_t through_ns, Frame& out) noexcept;

    Ring lans_[2];
    std::int64_t latest_ns_ = std::numeric_limits<std::int64_t>::min();
    std::atomic<std::uint64_t> early_{0};
};

}  // namespace valdrin::io
