// The figures a transmit thread keeps of its own timing: instants and
// lateness in 64-bit ns, and the largest lateness, raised without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

#include "clock.hpp"

namespace valdrin::io {

// Returns `value` limited to the range of int64.
[[nodiscard]] constexpr std::int64_t saturate(Nanos value) noexcept {
    constexpr Nanos lo = std::numeric_limits<std::int64_t>::min();
    constexpr Nanos hi = std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value < lo ? lo : value > hi ? hi : value);
}

// Raises `max` to `value` when `value` is larger; lock-free, for one writer
// or many.
inline void raise_max(std::atomic<std::int64_t>& max, std::int64_t value) noexcept {
    std::int64_t seen = max.load();
    while (value > seen && !max.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace valdrin::io
