// The PRP fault knobs of one sender of frames (an SV stream, a GOOSE
// control block) on a doubly attached node: set from any thread, read by
// the sending thread frame by frame as the PrpFrameFaults of send_frame.
// One-shot knobs are counts the thread consumes; lasting ones hold until
// cleared. Nothing here allocates or locks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "clock.hpp"
#include "prp_sender.hpp"

namespace valdrin::io {

// The longest delay of one LAN's copies: the senders size the room their
// waiting copies take for it.
inline constexpr std::int64_t MAX_PRP_DELAY_NS = 10 * NS_PER_S / 1000;

// Takes one from the one-shot count knob `count` if it is above 0 (any
// thread may set it meanwhile); whether it did.
[[nodiscard]] bool take_one(std::atomic<std::uint32_t>& count) noexcept;

// A small pseudo-random source (splitmix64) for the loss knobs: a state
// word, no allocation, no system call.
class Draws {
public:
    explicit Draws(std::uint64_t seed = 0) noexcept : state_(seed) {}
    // The next 64 random bits.
    [[nodiscard]] std::uint64_t next() noexcept;
    // True with a chance of `percent` in 100 (0 never, 100 always).
    [[nodiscard]] bool chance(std::uint32_t percent) noexcept { return next() % 100 < percent; }

private:
    std::uint64_t state_;
};

// One sender's PRP knobs; per LAN, index 0 is LAN A and 1 LAN B.
struct PrpKnobs {
    std::array<std::atomic<std::uint32_t>, 2> drop{};       // the next N frames not sent on the LAN
    std::array<std::atomic<std::uint32_t>, 2> loss{};       // percent of the frames not sent on it, drawn
    std::array<std::atomic<std::int64_t>, 2> delay_ns{};    // its copies leave this much after the other's
    std::atomic<std::uint32_t> repeat_seq{0};               // the next N frames repeat the previous number
    std::atomic<bool> wrong_lan{false};                     // each copy carries the other LAN's identifier
    std::atomic<bool> bad_size{false};                      // the LSDU size one too large

    // Whether any knob is set (a frame then leaves through send_frame).
    [[nodiscard]] bool any() const noexcept;
    // The faults of the next frame: the counts consumed, the losses drawn from `draws`.
    [[nodiscard]] PrpFrameFaults next_frame(Draws& draws) noexcept;
};

}  // namespace valdrin::io
