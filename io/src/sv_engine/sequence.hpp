// State sequences: one stream's samples taken from a list of precomputed
// states instead of its own waves. Each state gives every channel as a sum
// of tones on the state's reference angle θ (frequency, optional inception
// angle) and, for channels that ask for it, the decaying DC offset that
// keeps the channel continuous at the state's start. A state ends after
// its own number of samples, or earlier on a command the transmit thread
// reads once per period (the trigger seen by whoever watches the relay);
// either way exactly at a sample boundary. The states and their channels are
// built before the thread starts; the cursor below steps through them and
// allocates nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sv_engine/config.hpp"

namespace valdrin::io::sv_engine {

// One component of a channel: amplitude × sin(order × θ + phase), in the
// channel's own unit (the stream's wave turns it into counts).
struct Tone {
    double order = 1.0;
    double amplitude = 0.0;  // peak
    double phase_deg = 0.0;
};

// A channel of one state: its tones, and whether the state's start gives
// it the DC offset that carries its previous value on, decaying with the
// state's time constant.
struct StateChannel {
    std::vector<Tone> tones;
    bool dc_offset = false;
};

// One state. `samples` 0 means no end of its own (a trigger-ended state
// without a timeout, or a last state that lasts until stopped).
struct State {
    std::uint64_t samples = 0;
    bool trigger = false;                  // may end on a command
    double frequency_hz = 50.0;
    std::optional<double> inception_deg;   // θ at the first sample; absent: θ carries on
    double tau_s = 0.0;                    // time constant of the DC offsets, > 0 when used
    std::vector<StateChannel> channels;    // as many as the stream's waves
};

// How a state ended, as the control reports it.
enum class Ending : std::uint8_t {
    running = 0,   // not begun, or begun and not ended
    duration = 1,  // its samples ran out
    trigger = 2,   // a command ended it
    timeout = 3,   // a trigger-ended state whose samples ran out first
};

// What the transmit thread and its owner share while a sequence runs: the
// command (written by the owner, read once per period) and, per state, its
// first sample, the clock just after the frame carrying it was sent, and
// how it ended (written by the thread). Every field is an atomic of its own.
class SequenceControl {
public:
    // Room for `states` states, none begun.
    explicit SequenceControl(std::size_t states);

    // Asks the thread to end state `state` at the first sample of frame
    // period `period` (or of the first period it reads this in, if later).
    // A command for a state not current is ignored.
    void command(std::size_t state, std::uint64_t period) noexcept;

    // The command as the thread reads it: state and period, or nothing.
    struct Command {
        std::size_t state = 0;
        std::uint64_t period = 0;
    };
    // Returns the last command given, or nothing before the first.
    std::optional<Command> read_command() const noexcept;

    // What a start or sent_ns not written yet holds.
    static constexpr std::int64_t NOT_YET = std::numeric_limits<std::int64_t>::min();

    // The number of states, fixed at construction.
    std::size_t size() const noexcept { return size_; }
    // State s's first sample (absolute, from the start second), or NOT_YET; s < size().
    std::atomic<std::int64_t>& start(std::size_t s) noexcept { return starts_[s]; }
    // The real-time clock just after the frame carrying state s's first sample was sent, or NOT_YET.
    std::atomic<std::int64_t>& sent_ns(std::size_t s) noexcept { return sent_[s]; }
    // How state s ended, an Ending; Ending::running until it has.
    std::atomic<std::uint8_t>& ending(std::size_t s) noexcept { return endings_[s]; }

private:
    std::atomic<std::uint64_t> command_{0};  // (state + 1) << 48 | period; 0: none
    std::size_t size_;
    std::unique_ptr<std::atomic<std::int64_t>[]> starts_;
    std::unique_ptr<std::atomic<std::int64_t>[]> sent_;
    std::unique_ptr<std::atomic<std::uint8_t>[]> endings_;
};

// The states of one stream. The first state begins at sample 0 of the
// publisher's start second; absolute sample numbers count from there.
struct Sequence {
    std::uint64_t stream = 0;
    std::vector<State> states;  // at least one, each with the stream's channel count
    std::shared_ptr<SequenceControl> control;
};

// Steps through a sequence sample by sample: the current state, the sample
// it began at, θ in cycles at that sample and each channel's DC offset.
// Allocates in its constructor only.
class SequenceCursor {
public:
    // A cursor at the first state's first sample, for `stream` (the one the
    // sequence names) at `rate`; both outlive it. Throws only bad_alloc.
    SequenceCursor(const Sequence& sequence, const Stream& stream, std::int64_t rate);

    // Renders the stream's frame of frame period `period`, which carries
    // absolute samples period × asdus_per_frame, ... (samples first_smp, ...
    // of their UNIX second): smpCnt, values and qualities, as render() does.
    // The current state ends at the period's first sample when a command for
    // it names this period or an earlier one, and at its own last sample
    // otherwise; every start and ending goes to the control.
    void render_live(std::span<std::uint8_t> frame, std::int64_t first_smp, std::uint64_t period) noexcept;

    // Whether a command ending the current state at `period` or earlier
    // came after render_live(..., period) rendered that period without any
    // state beginning or ending in it: render_live for the same period then
    // renders the frame again, switching at its first sample (the frame of
    // a period is rendered a period ahead; the transmit thread asks this
    // just before sending it, so that a command given in between counts).
    [[nodiscard]] bool command_came(std::uint64_t period) const noexcept;

    // After the frame went: records the clock for a state that began in it.
    void after_send() noexcept;

    // As render_live, for a run already done: state s + 1 begins at
    // starts[s + 1] (NOT_YET or beyond the span: at its predecessor's own
    // end), and nothing is recorded. The cursor walks forward from where it
    // is, so periods go in increasing order.
    void render_replay(std::span<std::uint8_t> frame, std::int64_t first_smp, std::uint64_t period,
                       std::span<const std::int64_t> starts) noexcept;

private:
    struct Force {
        std::size_t state = 0;
        std::int64_t at = std::numeric_limits<std::int64_t>::max();
    };
    std::int64_t frame_samples() const noexcept {
        return static_cast<std::int64_t>(stream_.smp_cnt_offsets.size());
    }
    std::int64_t forced_end(Force force, std::span<const std::int64_t> starts) const noexcept;
    // Live when `starts` is empty (the command's `force` applies), a replay otherwise.
    void render(std::span<std::uint8_t> frame, std::int64_t first_smp, std::int64_t n0, Force force,
                std::span<const std::int64_t> starts) noexcept;
    double value(std::size_t state, std::size_t channel, std::int64_t n) const noexcept;
    void advance(std::int64_t n, Ending ending, bool live) noexcept;

    const Sequence& sequence_;
    const Stream& stream_;
    std::int64_t rate_;
    std::size_t current_ = 0;
    std::int64_t start_ = 0;      // the current state's first sample
    double cycles_ = 0.0;         // θ / 2π at start_, in [0, 1)
    std::vector<double> dc_;      // per channel, at start_
    bool finished_ = false;       // the last state's own samples ran out
    std::optional<std::size_t> began_;  // a state that began in the frame being sent
    bool changed_ = false;        // a state began or ended in the last live render
};

}  // namespace valdrin::io::sv_engine
