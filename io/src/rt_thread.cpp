#include "rt_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstdint>

#include "os_error.hpp"

namespace valdrin::io {

void prepare_thread(const char* name) noexcept {
    pthread_setname_np(pthread_self(), name);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

std::string describe(const SchedFault& fault) {
    const std::string number = fault.error == SchedError::Priority ? std::to_string(fault.priority)
                                                                   : std::to_string(fault.cpu);
    std::string text = std::string(describe(fault.error)) + " " + number;
    if (fault.error == SchedError::CpuOutOfRange) return text;
    return os_error(text, fault.os_error);
}

std::expected<void, SchedFault> try_pin_to_cpu(std::uint64_t cpu) noexcept {
    if (cpu > MAX_CPU) {
        return std::unexpected(SchedFault{.error = SchedError::CpuOutOfRange, .cpu = cpu});
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<std::size_t>(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
        return std::unexpected(SchedFault{.error = SchedError::Pin, .cpu = cpu, .os_error = errno});
    }
    return {};
}

std::expected<void, SchedFault> try_set_fifo_priority(std::int32_t priority) noexcept {
    sched_param param{};
    param.sched_priority = priority;
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error != 0) {
        return std::unexpected(
            SchedFault{.error = SchedError::Priority, .priority = priority, .os_error = error});
    }
    return {};
}

namespace {

std::expected<void, SchedFailure> with_text(const std::expected<void, SchedFault>& done) {
    if (done) return {};
    return std::unexpected(SchedFailure{done.error().error, describe(done.error())});
}

}  // namespace

std::expected<void, SchedFailure> pin_to_cpu(std::uint64_t cpu) { return with_text(try_pin_to_cpu(cpu)); }

std::expected<void, SchedFailure> set_fifo_priority(std::int32_t priority) {
    return with_text(try_set_fifo_priority(priority));
}

}  // namespace valdrin::io
