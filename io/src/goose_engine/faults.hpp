// Fault injection knobs of one control block, set from any thread while the
// publisher runs and read by its thread frame by frame. One-shot knobs are
// counts the thread consumes; lasting ones hold until cleared.
#pragma once

#include <atomic>
#include <cstdint>

#include "prp_knobs.hpp"

namespace valdrin::io::goose_engine {

struct Faults {
    // The next frame's sqNum jumps ahead by this many (gaps a receiver counts
    // as lost frames); consumed by that frame.
    std::atomic<std::uint32_t> skip_sq{0};
    // This many of the next frames are each sent twice, identical
    // (duplicates).
    std::atomic<std::uint32_t> repeat{0};
    // Each of the next this many frames is preceded by a frame of the state
    // before the current one, as it was: its stNum, values and t (a stale
    // frame, out of order); the schedule itself goes on unchanged. Left
    // waiting until the block has had a state before its current one.
    std::atomic<std::uint32_t> old_st{0};
    // Frames due before this CLOCK_REALTIME instant (ns) are not sent, their
    // sqNums passed over: the time to live runs out at the receiver.
    std::atomic<std::int64_t> silent_until_ns{0};
    // While set: confRev + 1, simulation set, ndsCom set, and the first
    // allData member's tag changed (a BOOLEAN becomes an INTEGER, anything
    // else a BOOLEAN), respectively.
    std::atomic<bool> wrong_conf_rev{false};
    std::atomic<bool> simulation{false};
    std::atomic<bool> nds_com{false};
    std::atomic<bool> wrong_type{false};
    // PRP only (a publisher with LAN B): a LAN's copies dropped, lost at
    // random or delayed, numbers repeated, the trailer's fields wrong.
    PrpKnobs prp;
};

}  // namespace valdrin::io::goose_engine
