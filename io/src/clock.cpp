#include "clock.hpp"

#include <time.h>

#include <cerrno>

namespace valdrin::io {

Nanos now_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<Nanos>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

std::int64_t monotonic_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

void sleep_until(Nanos t) noexcept {
    Nanos seconds = t / ns_per_s;
    Nanos rest = t % ns_per_s;
    if (rest < 0) {  // floor, also before 1970
        rest += ns_per_s;
        seconds -= 1;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest);
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

bool sleep_until_unless_stopped(Nanos t, const std::atomic<bool>& stop) noexcept {
    Nanos now = now_ns();
    while (t - now > sleep_slice_ns) {
        sleep_until(now + sleep_slice_ns);
        if (stop.load()) return false;
        now = now_ns();
    }
    if (t > now) sleep_until(t);
    return true;
}

}  // namespace valdrin::io
