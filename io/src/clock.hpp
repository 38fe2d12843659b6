// CLOCK_REALTIME in nanoseconds since 1970, and absolute sleeps on it that a
// stop flag can cut short; CLOCK_MONOTONIC for intervals.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace valdrin::io {

using Nanos = __int128;  // wide enough for any product of seconds and rates
inline constexpr std::int64_t NS_PER_S = 1'000'000'000;

// Longest single sleep of sleep_until_unless_stopped: a far-off instant is
// slept towards in slices of this length, so that a stop request is seen
// promptly.
inline constexpr std::int64_t SLEEP_SLICE_NS = 50'000'000;

// Returns `ns` as a timespec, tv_nsec in [0, 1e9) (floored, also before
// 1970); `ns` lies within the range of time_t.
[[nodiscard]] constexpr timespec timespec_of(Nanos ns) noexcept {
    Nanos seconds = ns / NS_PER_S;
    Nanos rest = ns % NS_PER_S;
    if (rest < 0) {
        rest += NS_PER_S;
        seconds -= 1;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest)};
}

// Returns the current CLOCK_REALTIME time in ns.
Nanos now_ns() noexcept;

// Returns the current CLOCK_MONOTONIC time in ns (since boot: fits 64 bits).
[[nodiscard]] std::int64_t monotonic_ns() noexcept;

// Sleeps until absolute CLOCK_REALTIME time `t` (ns), which lies within the
// range of time_t; an interrupted sleep goes on, other failures return.
void sleep_until(Nanos t) noexcept;

// Sleeps until `t`; when it lies further ahead than one slice, sleeps in
// slices and gives up as soon as `stop` is set. Returns false when stopped.
bool sleep_until_unless_stopped(Nanos t, const std::atomic<bool>& stop) noexcept;

}  // namespace valdrin::io
