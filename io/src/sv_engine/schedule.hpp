// The SV publisher's schedule: which samples frame period k carries and the
// instant it is due. The one rule the transmit thread paces by and the
// binding lists a publisher's frames with.
#pragma once

#include <cstdint>
#include <limits>

#include "clock.hpp"
#include "sv_engine/config.hpp"

namespace valdrin::io::sv_engine {

// Frame period k: every stream's frame carrying samples first_smp,
// first_smp + 1, ... of UNIX second `second`, due at the first one's instant.
struct Period {
    Nanos second = 0;
    std::int64_t first_smp = 0;
    Nanos due_ns = 0;  // CLOCK_REALTIME ns since 1970
};

// The periods of one publisher: rate >= 1 samples per second,
// asdus_per_frame >= 1 dividing it, period 0 carrying sample 0 of
// start_second.
struct Schedule {
    std::int64_t start_second = 0;
    std::int64_t rate = 1;
    std::int64_t asdus_per_frame = 1;

    // Returns the schedule `config` publishes by.
    static constexpr Schedule of(const Config& config) noexcept {
        return {config.start_second, config.rate, config.asdus_per_frame};
    }

    // Returns the nominal length of a frame period, rounded down to the ns
    // (a period's instants, each rounded down, lie this far apart or 1 ns more).
    constexpr Nanos frame_period_ns() const noexcept {
        return static_cast<Nanos>(asdus_per_frame) * NS_PER_S / rate;
    }

    // Returns the instant of sample `smp` (0 <= smp < rate) of second
    // `second`: the second plus smp / rate, rounded down to the ns.
    constexpr Nanos instant(Nanos second, std::int64_t smp) const noexcept {
        return second * NS_PER_S + static_cast<Nanos>(smp) * NS_PER_S / rate;
    }

    // Returns period k: its samples and its instant, computed afresh from k.
    constexpr Period period(std::uint64_t k) const noexcept {
        const std::uint64_t per_second = static_cast<std::uint64_t>(rate / asdus_per_frame);
        const Nanos second = start_second + static_cast<Nanos>(k / per_second);
        const std::int64_t first_smp = static_cast<std::int64_t>(k % per_second) * asdus_per_frame;
        return {second, first_smp, instant(second, first_smp)};
    }

    // Returns the first period due at or after `t` (0 for any t up to
    // start_second), saturated to the largest period number.
    constexpr std::uint64_t first_due_from(Nanos t) const noexcept {
        constexpr std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
        const Nanos elapsed = t - static_cast<Nanos>(start_second) * NS_PER_S;
        if (elapsed <= 0) return 0;
        // Within one or two periods of the answer, then walked to it.
        const Nanos per_second = rate / asdus_per_frame;
        const Nanos estimate = elapsed / NS_PER_S * per_second + elapsed % NS_PER_S * per_second / NS_PER_S;
        if (estimate >= static_cast<Nanos>(last)) return last;
        auto k = static_cast<std::uint64_t>(estimate);
        while (k > 0 && period(k - 1).due_ns >= t) --k;
        while (k < last && period(k).due_ns < t) ++k;
        return k;
    }
};

}  // namespace valdrin::io::sv_engine
