#include "rt_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <cerrno>

#include "os_error.hpp"

namespace valdrin::io {

void prepare_thread(const char* name) noexcept {
    pthread_setname_np(pthread_self(), name);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

std::expected<void, SchedFailure> pin_to_cpu(std::uint64_t cpu) {
    if (cpu >= CPU_SETSIZE) {
        return std::unexpected(SchedFailure{SchedError::cpu_out_of_range,
                                            std::string(describe(SchedError::cpu_out_of_range)) + " " +
                                                std::to_string(cpu)});
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        const int error = errno;  // before building the text can touch it
        return std::unexpected(SchedFailure{
            SchedError::pin,
            std::string(describe(SchedError::pin)) + " " + std::to_string(cpu) + ": " + os_text(error)});
    }
    return {};
}

std::expected<void, SchedFailure> set_fifo_priority(std::int32_t priority) {
    sched_param param{};
    param.sched_priority = priority;
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0) {
        return std::unexpected(SchedFailure{SchedError::priority, std::string(describe(SchedError::priority)) +
                                                                       " " + std::to_string(priority) + ": " +
                                                                       os_text(error)});
    }
    return {};
}

}  // namespace valdrin::io
