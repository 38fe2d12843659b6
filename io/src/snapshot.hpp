// A snapshot hand-off between a real-time thread, which owns some state,
// and a consumer that wants a consistent copy of it. The consumer asks and
// waits with a time bound; the owning thread, at its next loop pass, copies
// its state into storage allocated up front and publishes it. Neither side
// allocates or locks. Once the owning thread has been joined, its owner
// reads the state directly instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "futex.hpp"

namespace valdrin::io {

// Hands copies of a `State` from one producer thread to one consumer. The
// state need be neither default-constructible nor copy-assignable: take_with
// lets the consumer copy it by its own means.
template <class State>
class SnapshotHandoff {
public:
    // Constructs the storage from `args` (none: value-initialised); whatever
    // the state allocates, it allocates here, up front.
    template <class... Args>
        requires std::is_constructible_v<State, Args...>
    explicit SnapshotHandoff(Args&&... args) noexcept(
        std::is_nothrow_constructible_v<State, Args...>)
        : storage_(std::forward<Args>(args)...) {}
    SnapshotHandoff(const SnapshotHandoff&) = delete;
    SnapshotHandoff& operator=(const SnapshotHandoff&) = delete;

    // Consumer: asks for a snapshot, waits up to `timeout_ns` for it and
    // copies it into `out`; false on timeout (the request stays pending and
    // a later take waits for a fresh copy).
    [[nodiscard]] bool take(State& out, std::int64_t timeout_ns) noexcept(
        std::is_nothrow_copy_assignable_v<State>)
        requires std::is_copy_assignable_v<State>
    {
        return take_with(
            [&](const State& served) noexcept(std::is_nothrow_copy_assignable_v<State>) {
                out = served;
            },
            timeout_ns);
    }

    // Consumer: like take, but once served calls `read(const State&)` once
    // with the published storage (valid during the call only) instead of
    // copy-assigning; `read` is not called on timeout.
    template <class Read>
    [[nodiscard]] bool take_with(Read&& read, std::int64_t timeout_ns) noexcept(
        noexcept(read(std::declval<const State&>()))) {
        const std::uint32_t wanted = requested_.fetch_add(1, std::memory_order_acq_rel) + 1;
        const bool served = futex_wait_until(served_, timeout_ns, [&] {
            return static_cast<std::int32_t>(served_.load(std::memory_order_acquire) - wanted) >= 0;
        });
        // No request is pending now, so the producer leaves the storage be.
        if (served) read(std::as_const(storage_));
        return served;
    }

    // Producer: whether a request waits; cheap enough for every loop pass.
    [[nodiscard]] bool pending() const noexcept {
        return requested_.load(std::memory_order_acquire) !=
               served_.load(std::memory_order_relaxed);
    }

    // Producer: when a request waits, lets `fill(State&)` write the storage,
    // publishes it and wakes the consumer. `fill` must not allocate.
    template <class Fill>
    void serve(Fill&& fill) noexcept {
        const std::uint32_t wanted = requested_.load(std::memory_order_acquire);
        if (wanted == served_.load(std::memory_order_relaxed)) return;
        fill(storage_);
        served_.store(wanted, std::memory_order_release);
        futex_wake_all(served_);
    }

private:
    std::atomic<std::uint32_t> requested_{0};
    std::atomic<std::uint32_t> served_{0};  // futex word
    State storage_;
};

}  // namespace valdrin::io
