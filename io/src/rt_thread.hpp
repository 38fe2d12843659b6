// Scheduling of the calling thread: its name, timer slack, CPU and
// real-time priority.
#pragma once

#include <sched.h>

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "enum_text.hpp"
#include "failure.hpp"

namespace valdrin::io {

// Names the calling thread (at most 15 characters are kept) and asks for the
// least timer slack: without SCHED_FIFO the default 50 µs would delay every
// wake-up.
void prepare_thread(const char* name) noexcept;

// Why the calling thread could not be scheduled as asked.
enum class SchedError : std::uint8_t {
    CpuOutOfRange,  // the CPU number does not fit a cpu_set_t
    Pin,            // sched_setaffinity failed
    Priority,       // pthread_setschedparam(SCHED_FIFO) failed
};

// Per SchedError: the message's context, before the number and OS text.
inline constexpr auto sched_error_texts = std::to_array<EnumText<SchedError>>({
    {SchedError::CpuOutOfRange, "CPU number out of range"},
    {SchedError::Pin, "pin to CPU"},
    {SchedError::Priority, "SCHED_FIFO priority"},
});
static_assert(rows_in_order(sched_error_texts, SchedError::Priority), "one row per SchedError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(SchedError error) noexcept {
    return text_of(sched_error_texts, error);
}

// A failure as a value, for a thread that must not allocate: the kind, the
// CPU or the priority asked for, and the error number (0 for out of range).
struct SchedFault {
    SchedError error = SchedError::Pin;
    std::uint64_t cpu = 0;       // cpu_out_of_range, pin
    std::int32_t priority = 0;   // priority
    int os_error = 0;

    friend bool operator==(const SchedFault&, const SchedFault&) = default;
};

// Returns the fault's complete message: "pin to CPU <n>: <OS text>",
// "SCHED_FIFO priority <p>: <OS text>" or "CPU number out of range <n>".
[[nodiscard]] std::string describe(const SchedFault& fault);

// A failure and its complete message, describe(SchedFault)'s.
using SchedFailure = Failure<SchedError>;

// The largest CPU number a thread can be pinned to: the last of a cpu_set_t.
inline constexpr std::uint64_t MAX_CPU = CPU_SETSIZE - 1;

// Pins the calling thread to CPU `cpu`; allocates nothing.
[[nodiscard]] std::expected<void, SchedFault> try_pin_to_cpu(std::uint64_t cpu) noexcept;

// Gives the calling thread SCHED_FIFO at `priority`; allocates nothing.
[[nodiscard]] std::expected<void, SchedFault> try_set_fifo_priority(std::int32_t priority) noexcept;

// Pins the calling thread to CPU `cpu`; the failure with its message.
[[nodiscard]] std::expected<void, SchedFailure> pin_to_cpu(std::uint64_t cpu);

// Gives the calling thread SCHED_FIFO at `priority`; the failure with its
// message.
[[nodiscard]] std::expected<void, SchedFailure> set_fifo_priority(std::int32_t priority);

}  // namespace valdrin::io
