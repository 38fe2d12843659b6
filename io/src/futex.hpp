// Waiting on a 32-bit atomic word with a time bound, and waking its
// waiters: the Linux futex, private to the process. std::atomic::wait has
// no time bound, which the consumers here need.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "clock.hpp"

namespace valdrin::io {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

namespace detail {

// FUTEX_WAIT or FUTEX_WAIT_BITSET `op` on `word` while it holds `expected`.
inline void futex_wait_op(std::atomic<std::uint32_t>& word, int op, std::uint32_t expected, const timespec& ts,
                          std::uint32_t bitset) noexcept {
    // The atomic holds exactly one uint32_t (asserted above).
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, expected, &ts, nullptr, bitset);
}

}  // namespace detail

// Sleeps while `word` holds `expected`, at most `timeout_ns` (>= 0); returns
// on a wake-up, a change, a signal or the timeout alike: callers recheck.
inline void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                       std::int64_t timeout_ns) noexcept {
    detail::futex_wait_op(word, FUTEX_WAIT_PRIVATE, expected, timespec_of(timeout_ns), 0);
}

// Sleeps while `word` holds `expected`, until the absolute CLOCK_REALTIME
// instant `deadline` (ns; before 1970 counts as 1970); returns on a
// wake-up, a change, a signal or the deadline alike: callers recheck.
inline void futex_wait_until_instant(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                                     Nanos deadline) noexcept {
    detail::futex_wait_op(word, FUTEX_WAIT_BITSET_PRIVATE | FUTEX_CLOCK_REALTIME, expected,
                          timespec_of(deadline < 0 ? 0 : deadline), FUTEX_BITSET_MATCH_ANY);
}

// Wakes every thread sleeping on `word`; never blocks.
inline void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE,
            std::numeric_limits<int>::max(), nullptr, nullptr, 0);
}

// Changes `word` and wakes every thread sleeping on it; never blocks.
inline void futex_change_and_wake(std::atomic<std::uint32_t>& word) noexcept {
    word.fetch_add(1, std::memory_order_release);
    futex_wake_all(word);
}

// Waits until `done()` holds or `timeout_ns` have passed, sleeping on
// `word` between checks; returns whether `done()` held. `word` must change
// (and be woken) whenever `done()` may have become true.
template <class Done>
[[nodiscard]] bool futex_wait_until(std::atomic<std::uint32_t>& word, std::int64_t timeout_ns,
                                    Done&& done) noexcept {
    const std::int64_t deadline = monotonic_ns() + (timeout_ns > 0 ? timeout_ns : 0);
    for (;;) {
        const std::uint32_t seen = word.load(std::memory_order_acquire);
        if (done()) return true;
        const std::int64_t left = deadline - monotonic_ns();
        if (left <= 0) return false;
        futex_wait(word, seen, left);
    }
}

}  // namespace valdrin::io
