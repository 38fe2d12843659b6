// Frame rendering: sample counters, synthesised or recorded samples and their
// quality words written in place into a copy of a stream's template.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "sv_engine/config.hpp"

namespace valdrin::io::sv_engine {

// Writes into `frame` (a copy of stream.frame, same length, owned by the
// caller) the smpCnt of every ASDU and the value and quality of every
// channel, for the samples first_smp, first_smp + 1, ... of UNIX second
// `second` at `rate` samples per second; first_smp may be any value and is
// carried into neighbouring seconds. Touches no other octet, allocates
// nothing and cannot fail on a stream that passed construction.
void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate) noexcept;

// The samples of one stream's own waves, remembered by sample index for the
// whole-second phase they were computed for. A sample depends on its second
// only through that phase, fmod(f × S, 1), which is the same every second
// for whole-hertz frequencies; the transmit thread then copies samples
// instead of computing sin for every one. Owned by the caller, one per
// stream, allocated before use.
class SampleCache {
public:
    // An inactive cache: rendering with it computes every sample.
    SampleCache() = default;
    // A cache for `stream` at `rate`; inactive when the stream has no
    // channels, or its table of rate × channels samples would exceed
    // MAX_ENTRIES or cannot be allocated.
    SampleCache(const Stream& stream, std::int64_t rate) noexcept;

    static constexpr std::size_t MAX_ENTRIES = std::size_t{1} << 20;
    bool active() const noexcept { return !values_.empty(); }

private:
    friend struct CacheAccess;

    std::vector<std::int32_t> values_;        // rate rows of one sample per channel
    std::vector<std::uint64_t> filled_;       // per row: the generation it holds
    std::vector<double> cycles_;              // whole-second phase of each wave
    std::vector<double> next_cycles_;         // scratch for a new second
    std::uint64_t generation_ = 1;            // bumped whenever cycles_ changes
    __int128 second_ = 0;
    bool has_second_ = false;
};

// As render above, with the same result, taking the stream's own samples
// from `cache` where it holds them and remembering the ones it computes.
void render(const Stream& stream, std::span<std::uint8_t> frame, std::int64_t second,
            std::int64_t first_smp, std::int64_t rate, SampleCache& cache) noexcept;

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

}  // namespace valdrin::io::sv_engine
