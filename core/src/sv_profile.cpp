// The names of Sampled Values profiles.
#include "sv_profile.hpp"

namespace valdrin::sv {

namespace {

// A decimal number of at most six digits, no leading zero, at `at`;
// advances past it. None when there is none.
std::optional<std::uint32_t> number(std::string_view name, std::size_t& at) noexcept {
    constexpr std::size_t MOST_DIGITS = 6;
    const std::size_t from = at;
    std::uint32_t value = 0;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') {
        if (at - from == MOST_DIGITS) return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(name[at] - '0');
        ++at;
    }
    if (at == from || (name[from] == '0' && at - from > 1)) return std::nullopt;
    return value;
}

// Appends `letter` and `value` in decimal to `out`.
void write(ProfileName& out, char letter, std::uint32_t value) noexcept {
    std::array<char, 10> digits{};
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    out.text[out.size++] = letter;
    while (n > 0) out.text[out.size++] = digits[--n];
}

}  // namespace

std::expected<Profile, ProfileError> parse_profile(std::string_view name) noexcept {
    constexpr std::string_view LETTERS = "FSIU";
    std::array<std::uint32_t, 4> values{};
    std::size_t at = 0;
    for (std::size_t part = 0; part < LETTERS.size(); ++part) {
        if (at >= name.size() || name[at] != LETTERS[part]) return std::unexpected(ProfileError::Syntax);
        ++at;
        const auto value = number(name, at);
        if (!value) return std::unexpected(ProfileError::Syntax);
        values[part] = *value;
    }
    if (at != name.size()) return std::unexpected(ProfileError::Syntax);
    const Profile profile{values[0], values[1], values[2], values[3]};
    if (profile.rate < 1 || profile.rate > 65536) return std::unexpected(ProfileError::Rate);
    if (profile.asdus < 1 || profile.asdus > 255) return std::unexpected(ProfileError::Asdus);
    if (profile.rate % profile.asdus != 0) return std::unexpected(ProfileError::AsdusDivide);
    const std::uint32_t channels = profile.currents + profile.voltages;
    if (channels < 1 || channels > 255) return std::unexpected(ProfileError::Channels);
    return profile;
}

ProfileName profile_name(const Profile& profile) noexcept {
    ProfileName out;
    write(out, 'F', profile.rate);
    write(out, 'S', profile.asdus);
    write(out, 'I', profile.currents);
    write(out, 'U', profile.voltages);
    return out;
}

std::optional<Profile> match_profile(std::uint32_t rate, std::uint32_t asdus, std::uint32_t channels) noexcept {
    for (const Profile& p : PREFERRED_PROFILES) {
        if (p.rate == rate && p.asdus == asdus && p.currents + p.voltages == channels) return p;
    }
    return std::nullopt;
}

}  // namespace valdrin::sv
