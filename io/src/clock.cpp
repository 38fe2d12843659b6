#include "clock.hpp"

#include <time.h>

#include <cerrno>

namespace valdrin::io {

Nanos now_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<Nanos>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

std::int64_t monotonic_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

void sleep_until(Nanos t) noexcept {
    const timespec ts = timespec_of(t);
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool sleep_until_unless_stopped(Nanos t, const std::atomic<bool>& stop) noexcept {
    Nanos now = now_ns();
    while (t - now > SLEEP_SLICE_NS) {
        sleep_until(now + SLEEP_SLICE_NS);
        if (stop.load()) return false;
        now = now_ns();
    }
    if (t > now) sleep_until(t);
    return true;
}

}  // namespace valdrin::io
