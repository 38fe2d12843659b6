// A definite-time overcurrent element over one sampled channel: the RMS of
// a sliding window of samples (one nominal cycle), a pickup, a delay in
// samples, a reset when the RMS falls back. A pure function of the samples
// given, so that every decision falls on an exact sample; the window is
// allocated when the element is made, add() never allocates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <vector>

#include "enum_text.hpp"

namespace valdrin::protection {

// The largest RMS window accepted, in samples.
inline constexpr std::uint32_t MAX_WINDOW = 65'535;

// What make() refuses, in the order it checks.
enum class SettingError : std::uint8_t {
    WindowEmpty,    // a window of no samples
    WindowTooLong,  // above MAX_WINDOW
    PickupZero,     // a pickup of 0 would be exceeded by any signal
};

// The message of each SettingError, in enum order.
inline constexpr auto setting_error_texts = std::to_array<EnumText<SettingError>>({
    {SettingError::WindowEmpty, "the RMS window must hold at least one sample"},
    {SettingError::WindowTooLong, "the RMS window must hold at most 65535 samples"},
    {SettingError::PickupZero, "the pickup must be above 0"},
});
static_assert(rows_in_order(setting_error_texts, SettingError::PickupZero), "one row per SettingError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(SettingError error) noexcept {
    return text_of(setting_error_texts, error);
}

// The element's settings, in the channel's own counts and samples.
struct OvercurrentSettings {
    std::uint32_t window = 80;  // samples in the RMS window: one nominal cycle
    std::uint32_t pickup = 1;   // RMS above which the element picks up, in counts
    std::uint64_t delay = 0;    // samples after the pickup sample at which it trips
};

// What one sample decided.
enum class Decision : std::uint8_t { None, Trip, Reset };

class Overcurrent {
public:
    // Returns an element of `settings` with an empty window, or why they
    // are refused; throws std::bad_alloc.
    [[nodiscard]] static std::expected<Overcurrent, SettingError> make(const OvercurrentSettings& settings);

    // Takes the next sample. Once the window is full: the sample at which
    // the RMS has stayed above the pickup for `delay` samples after the one
    // where it rose above trips; the first sample whose RMS is at or below
    // the pickup after a trip resets (a pickup without a trip just drops).
    [[nodiscard]] Decision add(std::int32_t sample) noexcept;

    // Empties the window and drops the pickup (a gap in the samples); a
    // trip stays until a full window decides its reset, so that trips and
    // resets keep alternating.
    void clear() noexcept;

    // Returns whether the element is tripped (after a trip, before its reset).
    [[nodiscard]] bool tripped() const noexcept { return tripped_; }
    // Returns whether the RMS is above the pickup (false until the window is full).
    [[nodiscard]] bool picked_up() const noexcept { return picked_up_; }
    // Returns whether the window is full, so that samples decide.
    [[nodiscard]] bool ready() const noexcept { return filled_ == squares_.size(); }
    // Returns the RMS of the window in counts (0 until it is full).
    [[nodiscard]] double rms() const noexcept;
    // Returns the settings the element was made with.
    [[nodiscard]] const OvercurrentSettings& settings() const noexcept { return settings_; }

private:
    Overcurrent(const OvercurrentSettings& settings, std::vector<std::uint64_t> squares) noexcept;

    OvercurrentSettings settings_;
    std::vector<std::uint64_t> squares_;  // the window's squares, a ring
    unsigned __int128 sum_ = 0;           // exact: at most 2^62 * 65535
    unsigned __int128 threshold_ = 0;     // pickup^2 * window
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t above_ = 0;  // samples since the pickup sample
    bool picked_up_ = false;
    bool tripped_ = false;
};

}  // namespace valdrin::protection
