#include "sv_engine/sequence.hpp"

#include <cmath>

#include "clock.hpp"
#include "octets.hpp"
#include "sv_engine/render.hpp"

namespace valdrin::io::sv_engine {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kRadiansPerDegree = 0.017453292519943295;
constexpr unsigned kPeriodBits = 48;
constexpr std::uint64_t kPeriodMask = (std::uint64_t{1} << kPeriodBits) - 1;

// The AC part of `channel` at θ = 2π × cycles.
double tones_at(const StateChannel& channel, double cycles) {
    double y = 0.0;
    for (const Tone& tone : channel.tones) {
        if (tone.amplitude == 0.0) continue;
        y += tone.amplitude * std::sin(tone.order * cycles * kTwoPi + tone.phase_deg * kRadiansPerDegree);
    }
    return y;
}

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// The end of a state begun at `start`: its first sample past its own
// samples, or never.
std::int64_t own_end(const State& state, std::int64_t start) {
    if (state.samples == 0 || state.samples >= static_cast<std::uint64_t>(kNever - start)) return kNever;
    return start + static_cast<std::int64_t>(state.samples);
}

}  // namespace

SequenceControl::SequenceControl(std::size_t states)
    : size_(states),
      starts_(new std::atomic<std::int64_t>[states]),
      sent_(new std::atomic<std::int64_t>[states]),
      endings_(new std::atomic<std::uint8_t>[states]) {
    for (std::size_t s = 0; s < states; ++s) {
        starts_[s].store(NOT_YET);
        sent_[s].store(NOT_YET);
        endings_[s].store(static_cast<std::uint8_t>(Ending::running));
    }
}

void SequenceControl::command(std::size_t state, std::uint64_t period) noexcept {
    const auto tag = static_cast<std::uint64_t>(state) + 1;
    command_.store(tag << kPeriodBits | (period & kPeriodMask));
}

std::optional<SequenceControl::Command> SequenceControl::read_command() const noexcept {
    const std::uint64_t word = command_.load();
    if (word == 0) return std::nullopt;
    return Command{static_cast<std::size_t>((word >> kPeriodBits) - 1), word & kPeriodMask};
}

SequenceCursor::SequenceCursor(const Sequence& sequence, const Stream& stream, std::int64_t rate)
    : sequence_(sequence), stream_(stream), rate_(rate), dc_(stream.waves.size(), 0.0) {
    const State& first = sequence.states.front();
    cycles_ = first.inception_deg ? *first.inception_deg / 360.0 : 0.0;
    cycles_ -= std::floor(cycles_);
}

double SequenceCursor::value(std::size_t state, std::size_t channel, std::int64_t n) const noexcept {
    const State& s = sequence_.states[state];
    const double t = static_cast<double>(n - start_) / static_cast<double>(rate_);
    double y = tones_at(s.channels[channel], cycles_ + s.frequency_hz * t);
    if (dc_[channel] != 0.0) y += dc_[channel] * std::exp(-t / s.tau_s);
    return y;
}

void SequenceCursor::advance(std::int64_t n, Ending ending, bool live) noexcept {
    const std::size_t next = current_ + 1;
    SequenceControl* const control = live ? sequence_.control.get() : nullptr;
    changed_ = true;
    if (next >= sequence_.states.size()) {
        // The last state stays: the stream goes on sending it.
        finished_ = true;
        if (control != nullptr) control->ending(current_).store(static_cast<std::uint8_t>(ending));
        return;
    }
    const State& old_state = sequence_.states[current_];
    const State& new_state = sequence_.states[next];
    const double t = static_cast<double>(n - start_) / static_cast<double>(rate_);
    double cycles = old_state.frequency_hz * t + cycles_;
    if (new_state.inception_deg) cycles = *new_state.inception_deg / 360.0;
    cycles -= std::floor(cycles);
    for (std::size_t j = 0; j < dc_.size(); ++j) {
        const StateChannel& channel = new_state.channels[j];
        dc_[j] = channel.dc_offset && new_state.tau_s > 0.0 ? value(current_, j, n) - tones_at(channel, cycles) : 0.0;
    }
    cycles_ = cycles;
    start_ = n;
    current_ = next;
    if (control != nullptr) {
        control->ending(next - 1).store(static_cast<std::uint8_t>(ending));
        control->start(next).store(n);
        began_ = next;
    }
}

std::int64_t SequenceCursor::forced_end(Force force, std::span<const std::int64_t> starts) const noexcept {
    if (!starts.empty()) {
        const std::size_t next = current_ + 1;
        return next < starts.size() && starts[next] != SequenceControl::NOT_YET ? starts[next] : kNever;
    }
    return force.state == current_ ? force.at : kNever;
}

void SequenceCursor::render(std::span<std::uint8_t> frame, std::int64_t first_smp, std::int64_t n0, Force force,
                            std::span<const std::int64_t> starts) noexcept {
    const bool live = starts.empty();
    std::uint8_t* const out = frame.data();
    const std::size_t channels = stream_.waves.size();
    std::int64_t smp = first_smp;
    for (std::size_t t = 0; t < stream_.smp_cnt_offsets.size(); ++t, ++smp) {
        if (smp >= rate_) smp -= rate_;
        const std::int64_t n = n0 + static_cast<std::int64_t>(t);
        // Every state that ends at or before n, each at its own boundary.
        while (!finished_) {
            const State& state = sequence_.states[current_];
            const std::int64_t end = own_end(state, start_);
            const std::int64_t forced = forced_end(force, starts);
            if (forced <= n && forced < end) {
                advance(std::max(forced, start_), Ending::trigger, live);
            } else if (end <= n) {
                advance(end, state.trigger ? Ending::timeout : Ending::duration, live);
            } else {
                break;
            }
        }
        octets::store_be16(out + stream_.smp_cnt_offsets[t], static_cast<std::uint16_t>(smp));
        std::uint8_t* const samples = out + stream_.sample_offsets[t];
        for (std::size_t j = 0; j < channels; ++j) {
            const Wave& wave = stream_.waves[j];
            const std::int32_t x = to_sample(value(current_, j, n) * wave.scale);
            octets::store_be32(samples + 8 * j, static_cast<std::uint32_t>(x));
            octets::store_be32(samples + 8 * j + 4, wave.quality);
        }
    }
}

void SequenceCursor::render_live(std::span<std::uint8_t> frame, std::int64_t first_smp,
                                 std::uint64_t period) noexcept {
    SequenceControl& control = *sequence_.control;
    if (control.start(0).load() == SequenceControl::NOT_YET) {
        control.start(0).store(start_);
        began_ = 0;
    }
    const std::int64_t n0 = static_cast<std::int64_t>(period) * frame_samples();
    changed_ = false;
    Force force;
    if (const auto command = control.read_command(); command && command->period <= period) {
        force = {command->state, n0};
    }
    render(frame, first_smp, n0, force, {});
}

bool SequenceCursor::command_came(std::uint64_t period) const noexcept {
    if (changed_ || finished_) return false;
    const auto command = sequence_.control->read_command();
    return command && command->state == current_ && command->period <= period;
}

void SequenceCursor::after_send() noexcept {
    if (!began_) return;
    sequence_.control->sent_ns(*began_).store(static_cast<std::int64_t>(now_ns()));
    began_.reset();
}

void SequenceCursor::render_replay(std::span<std::uint8_t> frame, std::int64_t first_smp, std::uint64_t period,
                                   std::span<const std::int64_t> starts) noexcept {
    static constexpr std::int64_t none[] = {SequenceControl::NOT_YET};
    render(frame, first_smp, static_cast<std::int64_t>(period) * frame_samples(), Force{},
           starts.empty() ? std::span<const std::int64_t>(none) : starts);
}

}  // namespace valdrin::io::sv_engine
