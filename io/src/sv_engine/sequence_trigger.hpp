// The trigger of a state sequence, run where frames arrive: the capture
// thread hands it every frame; it follows each `until` condition through
// its block's GOOSE states and, when one rises while a state it ends is
// current, writes the command that ends that state at the first frame
// period due at or after the rise's kernel receive stamp plus the delay
// of the state that follows (after_trigger_ms). No interpreter, lock or
// allocation between the frame and the command: everything is sized when
// the trigger is made; the owner reads what it did through atomics, and
// takes every rise of every condition from a log, the one record of when
// a condition rose that the verdicts are made from.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "goose_condition.hpp"
#include "sv_engine/schedule.hpp"
#include "sv_engine/sequence.hpp"

namespace valdrin::io::sv_engine {

// How one state of the sequence may be ended by a trigger.
struct TriggerRule {
    std::optional<std::size_t> condition{};  // index into the trigger's conditions; none: not trigger-ended
    std::int64_t delay_ns = 0;                    // after the rise, >= 0: the next state's after_trigger_ms
};

class SequenceTrigger {
public:
    // A trigger for the states of `control` (one rule per state, each
    // condition index below conditions.size()), commanding by `schedule`.
    // Throws std::invalid_argument for rules that do not fit, bad_alloc.
    SequenceTrigger(std::shared_ptr<SequenceControl> control, Schedule schedule,
                    std::span<const goose::MemberCondition> conditions, std::vector<TriggerRule> rules);

    // Capture thread: one frame (from the destination MAC) and its kernel
    // receive stamp; a rise of a condition may end the current state.
    void add(std::span<const std::uint8_t> frame, std::int64_t stamp_ns) noexcept;
    // Capture thread, every idle pass: a rise seen before the current state
    // had been recorded as begun ends it now, if it came after its start.
    void poll() noexcept;

    // The rises a condition's log holds until the owner takes them; more
    // are counted as lost.
    static constexpr std::size_t RISES_KEPT = 4096;
    // The number of conditions.
    [[nodiscard]] std::size_t conditions() const noexcept { return trackers_.size(); }
    // Owner, one thread: moves the receive stamps of condition c's rises
    // logged since the last call into `out`, oldest first, as many as fit;
    // returns how many. c < conditions().
    [[nodiscard]] std::size_t take_rises(std::size_t c, std::span<std::int64_t> out) noexcept;
    // The rises of condition c the full log could not keep. c < conditions().
    [[nodiscard]] std::uint64_t rises_lost(std::size_t c) const noexcept { return logs_[c].lost.load(); }

    // What a fired_ns or commanded_ns not written yet holds.
    static constexpr std::int64_t NOT_YET = SequenceControl::NOT_YET;
    // The number of states.
    [[nodiscard]] std::size_t size() const noexcept { return rules_.size(); }
    // The receive stamp of the rise that ended state s, or NOT_YET; s < size().
    [[nodiscard]] std::int64_t fired_ns(std::size_t s) const noexcept { return fired_[s].load(); }
    // The real-time clock when state s's command was written, or NOT_YET; s < size().
    [[nodiscard]] std::int64_t commanded_ns(std::size_t s) const noexcept { return commanded_[s].load(); }

private:
    // The state the stream is in: the first that has not ended (size() past the last).
    std::size_t current() noexcept;
    // Ends the current state when its condition rose after its start.
    void try_fire() noexcept;
    // Capture thread: appends a rise of condition c to its log, or counts it lost.
    void log(std::size_t c, std::int64_t stamp_ns) noexcept;

    // One condition's rises, from the capture thread (head) to the owner (tail).
    struct RiseLog {
        std::unique_ptr<std::atomic<std::int64_t>[]> stamps{new std::atomic<std::int64_t>[RISES_KEPT]};
        std::atomic<std::uint64_t> head{0};
        std::atomic<std::uint64_t> tail{0};
        std::atomic<std::uint64_t> lost{0};
    };

    std::shared_ptr<SequenceControl> control_;
    Schedule schedule_;
    std::vector<goose::ConditionTracker> trackers_;
    std::vector<std::int64_t> last_rise_;  // per condition, the stamp of its latest rise (NOT_YET: none)
    std::vector<TriggerRule> rules_;
    std::size_t cursor_ = 0;  // the capture thread's: no state before it is current
    std::unique_ptr<std::atomic<std::int64_t>[]> fired_;
    std::unique_ptr<std::atomic<std::int64_t>[]> commanded_;
    std::unique_ptr<RiseLog[]> logs_;  // per condition
};

}  // namespace valdrin::io::sv_engine
