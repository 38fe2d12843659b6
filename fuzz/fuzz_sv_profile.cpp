// Profile names on arbitrary text. Checked: a name that reads gives back
// the same text when written (one spelling per profile), and its numbers
// keep the grammar's bounds; one that does not read has a message.
#include <string_view>

#include "check.hpp"
#include "sv_profile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto profile = valdrin::sv::parse_profile(text);
    if (!profile) {
        FUZZ_CHECK(!valdrin::sv::profile_error_text(profile.error()).empty());
        return 0;
    }
    FUZZ_CHECK(valdrin::sv::profile_name(*profile).view() == text);
    FUZZ_CHECK(profile->rate >= 1 && profile->rate <= 65536 && profile->asdus >= 1 && profile->rate % profile->asdus == 0);
    FUZZ_CHECK(profile->currents + profile->voltages >= 1 && profile->currents + profile->voltages <= 255);
    return 0;
}
