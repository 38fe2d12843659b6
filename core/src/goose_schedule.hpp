// The GOOSE publisher's pure parts: the retransmission schedule after a
// state change, the counter wrap rules, and the encoding of one frame of a
// control block from its fixed fields and its allData octets, already
// encoded, into a buffer the caller sized.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "enum_text.hpp"
#include "goose.hpp"

namespace valdrin::goose::schedule {

// --- Timing -----------------------------------------------------------------

// Longest T0 and T1 accepted: one day, so that any frame index times T0
// fits 128 bits with room to spare.
inline constexpr std::int64_t MAX_INTERVAL_NS = 86'400LL * 1'000'000'000LL;

// The retransmission timing of one control block. After a change, frame 0
// goes out at once; the gap after frame k is min(T1 * 2^k, T0).
struct Timing {
    std::int64_t min_time_ns = 0;     // T1, the first gap
    std::int64_t max_time_ns = 0;     // T0, the heartbeat
    std::uint32_t tal_factor = 2;     // timeAllowedtoLive = factor x the next gap
    std::uint32_t fixed_tal_ms = 0;   // when not 0, every frame's timeAllowedtoLive
};

// Why a Timing cannot be used, in the order check() tests.
enum class TimingError : std::uint8_t {
    MinTimeNotPositive,
    MaxTimeNotPositive,
    MinAboveMax,
    TooLong,
    TalFactorZero,
};

// The message of each TimingError, in enum order.
inline constexpr auto timing_error_texts = std::to_array<EnumText<TimingError>>({
    {TimingError::MinTimeNotPositive, "min_time must be positive"},
    {TimingError::MaxTimeNotPositive, "max_time must be positive"},
    {TimingError::MinAboveMax, "min_time must not exceed max_time"},
    {TimingError::TooLong, "max_time must not exceed one day"},
    {TimingError::TalFactorZero, "tal_factor must be positive"},
});
static_assert(rows_in_order(timing_error_texts, TimingError::TalFactorZero), "one row per TimingError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(TimingError error) noexcept {
    return text_of(timing_error_texts, error);
}

// Returns the first rule `timing` breaks, or nothing.
[[nodiscard]] std::expected<void, TimingError> check(const Timing& timing) noexcept;

// Returns the gap between frame `k` and frame k+1 of a checked `timing`, ns.
[[nodiscard]] std::int64_t gap_ns(const Timing& timing, std::uint64_t k) noexcept;

// Returns when frame `k` is due after the change, ns from the change
// instant (0 for k = 0), for a checked `timing`; exact, never wraps.
[[nodiscard]] __int128 offset_ns(const Timing& timing, std::uint64_t k) noexcept;

// Returns frame k's timeAllowedtoLive in ms: the fixed value, or the factor
// times the gap after it rounded up to a whole ms, saturated to 32 bits.
[[nodiscard]] std::uint32_t tal_ms(const Timing& timing, std::uint64_t k) noexcept;

// Returns the counter after `value`: 32-bit wrap, resuming at 1 so that 0
// only ever means "first".
[[nodiscard]] constexpr std::uint32_t next_counter(std::uint32_t value) noexcept {
    return value == UINT32_MAX ? 1 : value + 1;
}

// Returns the counter `steps` next_counter() steps after `value`, at once.
[[nodiscard]] constexpr std::uint32_t advance_counter(std::uint32_t value, std::uint32_t steps) noexcept {
    std::uint64_t sum = std::uint64_t{value} + steps;
    if (sum > UINT32_MAX) sum -= UINT32_MAX;  // past 2^32 - 1 comes 1
    return static_cast<std::uint32_t>(sum);
}

// Returns the UtcTime of a CLOCK_REALTIME instant (ns since 1970, not
// negative) with the quality octet `quality`: 24 fraction bits, truncated.
[[nodiscard]] data::UtcTime utc_of(__int128 ns, std::uint8_t quality) noexcept;

// --- Frames -----------------------------------------------------------------

// What stays the same in every frame of a block; views the caller owns.
struct Fixed {
    ethernet::FrameHeader header{};
    std::string_view gocb_ref{};
    std::string_view dat_set{};
    std::optional<std::string_view> go_id{};
    std::uint32_t conf_rev = 0;
    bool simulation = false;
    bool nds_com = false;
};

// What changes from frame to frame; all_data is the content of allData
// (the encoded Data values), viewed.
struct Varying {
    std::uint32_t tal_ms = 0;
    data::UtcTime t{};
    std::uint32_t st_num = 0;
    std::uint32_t sq_num = 0;
    std::uint32_t num_dat_set_entries = 0;
    Bytes all_data{};
};

// Returns the size of the frame of `fixed` and `varying`, unpadded.
[[nodiscard]] std::expected<std::size_t, EncodeError> frame_size(const Fixed& fixed, const Varying& varying) noexcept;

// Writes that frame at the start of `buffer`, the PDU header re-encoded
// from the parts; returns its size. Allocates nothing.
[[nodiscard]] std::expected<std::size_t, EncodeError> write_frame(const Fixed& fixed, const Varying& varying,
                                                                  std::span<std::uint8_t> buffer) noexcept;

// A block's template read back from a whole frame: its fixed fields and
// first values (views into the frame), t's quality octet and its
// stNum/sqNum/timeAllowedtoLive as written.
struct Template {
    Fixed fixed;
    Varying varying;
};

// Why a frame is no template.
enum class TemplateError : std::uint8_t {
    NotGoose,       // no GOOSE Ethernet frame
    NotConformant,  // the strict decoder refuses its PDU
    Above32Bits,    // a counter does not fit 32 bits
};

// The message of each TemplateError, in enum order.
inline constexpr auto template_error_texts = std::to_array<EnumText<TemplateError>>({
    {TemplateError::NotGoose, "not a GOOSE frame"},
    {TemplateError::NotConformant, "the template's PDU is not conformant"},
    {TemplateError::Above32Bits, "a counter of the template exceeds 32 bits"},
});
static_assert(rows_in_order(template_error_texts, TemplateError::Above32Bits), "one row per TemplateError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(TemplateError error) noexcept {
    return text_of(template_error_texts, error);
}

// Reads `frame` (from the destination MAC on) as a block's template.
[[nodiscard]] std::expected<Template, TemplateError> read_template(Bytes frame) noexcept;

}  // namespace valdrin::goose::schedule
