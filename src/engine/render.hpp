// Frame rendering: sample counters, synthesised or recorded samples and their
// quality words written in place into a copy of a stream's template.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "config.hpp"

namespace valdrin::engine {

// Writes into `frame` (a copy of stream.frame, same length, owned by the
// caller) the smpCnt of every ASDU and the value and quality of every
// channel, for the samples first_smp, first_smp + 1, ... of UNIX second
// `second` at `rate` samples per second; first_smp may be any value and is
// carried into neighbouring seconds. Touches no other octet, allocates
// nothing and cannot fail on a stream that passed construction.
void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate) noexcept;

// Returns `y` rounded to the nearest integer, ties to even, saturated to the
// INT32 range; NaN gives 0. The renderer's last step for every sample, shared
// with the benchmark so that both do the same work.
inline std::int32_t to_sample(double y) noexcept {
    if (std::isnan(y)) {
        return 0;
    }
    if (y >= 2147483647.0) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (y <= -2147483648.0) {
        return std::numeric_limits<std::int32_t>::min();
    }
    // Inside (-2^31, 2^31 - 1) the rounded value fits. rint follows the
    // rounding mode, which stays at its default, to nearest even; unlike
    // nearbyint it is expanded inline.
    return static_cast<std::int32_t>(std::rint(y));
}

}  // namespace valdrin::engine
