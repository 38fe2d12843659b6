// The 61869-9 names of Sampled Values profiles, F<rate>S<ASDUs>I<currents>U<voltages>
// (F4800S2I4U4: 4800 samples a second, 2 ASDUs a frame, 4 currents and 4
// voltages), read and written by one grammar, and the preferred profiles a
// stream is matched against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

#include "enum_text.hpp"

namespace valdrin::sv {

// A profile: what its name says.
struct Profile {
    std::uint32_t rate = 0;      // samples per second, 1 to 65536 (smpCnt has 16 bits)
    std::uint32_t asdus = 0;     // ASDUs per frame, dividing the rate
    std::uint32_t currents = 0;  // channels, currents first
    std::uint32_t voltages = 0;
    friend bool operator==(const Profile&, const Profile&) = default;
};

// What a name does not fit.
enum class ProfileError : std::uint8_t {
    Syntax,
    Rate,
    Asdus,
    AsdusDivide,
    Channels,
};
// Each error and its whole message.
inline constexpr auto profile_error_texts = std::to_array<EnumText<ProfileError>>({
    {ProfileError::Syntax, "not a profile name F<rate>S<ASDUs>I<currents>U<voltages> such as F4800S2I4U4"},
    {ProfileError::Rate, "the rate F must be from 1 to 65536 samples per second"},
    {ProfileError::Asdus, "the ASDUs per frame S must be from 1 to 255"},
    {ProfileError::AsdusDivide, "the ASDUs per frame S must divide the rate F"},
    {ProfileError::Channels, "the currents I and voltages U must number from 1 to 255 together"},
});
static_assert(rows_in_order(profile_error_texts, ProfileError::Channels), "one row per ProfileError, in order");

// The error's message.
[[nodiscard]] constexpr std::string_view profile_error_text(ProfileError error) noexcept {
    return text_of(profile_error_texts, error);
}

// Reads a name such as "F4800S2I4U4" (upper-case letters, decimal numbers
// without sign or leading zero), checked as ProfileError says.
[[nodiscard]] std::expected<Profile, ProfileError> parse_profile(std::string_view name) noexcept;

// The longest name profile_name writes: four letters, each with a 32-bit number of up to ten digits.
inline constexpr std::size_t PROFILE_NAME_SIZE = 4 * (1 + 10);

// A profile's name as text held by value.
struct ProfileName {
    std::array<char, PROFILE_NAME_SIZE> text{};
    std::size_t size = 0;
    [[nodiscard]] std::string_view view() const noexcept { return {text.data(), size}; }
};

// The name of `profile` (any numbers; each written in decimal).
[[nodiscard]] ProfileName profile_name(const Profile& profile) noexcept;

// The preferred profiles: 61869-9's for protection and quality, and the
// 9-2LE ones (80 and 256 samples a cycle at 50 and 60 Hz).
inline constexpr std::array<Profile, 6> PREFERRED_PROFILES{{
    {4800, 2, 4, 4},
    {14400, 6, 4, 4},
    {4000, 1, 4, 4},
    {4800, 1, 4, 4},
    {12800, 8, 4, 4},
    {15360, 8, 4, 4},
}};

// The preferred profile of `rate` samples a second, `asdus` a frame and
// `channels` channels (currents and voltages together); none when no
// preferred profile has all three.
[[nodiscard]] std::optional<Profile> match_profile(std::uint32_t rate, std::uint32_t asdus,
                                                   std::uint32_t channels) noexcept;

}  // namespace valdrin::sv
