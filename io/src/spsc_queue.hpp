// A bounded single-producer, single-consumer queue of fixed-size records,
// for a real-time thread handing events to a slower consumer. The producer
// never blocks, allocates or locks: a full queue drops the record and
// counts it. The consumer takes records without waiting, or waits with a
// time bound on a futex (no spinning).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "futex.hpp"

namespace valdrin::io {

// Records of type `Record`, at most `Capacity` (a power of two) queued.
// The storage lives inside the object: create large queues on the heap.
template <class Record, std::size_t Capacity>
class SpscQueue {
    static_assert(std::is_trivially_copyable_v<Record>, "records are copied as octets");
    static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "a power of two");

public:
    // Producer: appends a copy of `record`; returns false and counts a drop
    // when the queue is full.
    bool push(const Record& record) noexcept {
        return push_with([&](Record& slot) { slot = record; });
    }

    // Producer: appends the record `write(Record&)` fills in place (only
    // what it writes changes from the slot's last record); returns false and
    // counts a drop, without calling it, when the queue is full.
    template <class Write>
    bool push_with(Write&& write) noexcept {
        const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == Capacity) {
            dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            return false;
        }
        write(slots_[tail & (Capacity - 1)]);
        // Sequentially consistent with the consumer's flag and its read of
        // the tail: either it sees the new tail, or this thread sees it
        // waiting and wakes it.
        tail_.store(tail + 1, std::memory_order_seq_cst);
        if (waiting_.load(std::memory_order_seq_cst)) {
            signal_.fetch_add(1, std::memory_order_release);
            futex_wake_all(signal_);
        }
        return true;
    }

    // Consumer: moves the oldest record into `out`; false when empty.
    [[nodiscard]] bool try_pop(Record& out) noexcept {
        return try_take([&](const Record& record) { out = record; });
    }

    // Consumer: hands the oldest record to `read(const Record&)` where it
    // lies, then removes it; false, without calling it, when empty.
    template <class Read>
    [[nodiscard]] bool try_take(Read&& read) noexcept {
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_seq_cst)) return false;
        read(static_cast<const Record&>(slots_[head & (Capacity - 1)]));
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer: like try_pop, but waits up to `timeout_ns` for a record.
    [[nodiscard]] bool wait_pop(Record& out, std::int64_t timeout_ns) noexcept {
        if (try_pop(out)) return true;
        waiting_.store(true, std::memory_order_seq_cst);
        const bool got = futex_wait_until(signal_, timeout_ns, [&] { return try_pop(out); });
        waiting_.store(false, std::memory_order_relaxed);
        return got;
    }

    // Records dropped because the queue was full, since construction.
    [[nodiscard]] std::uint64_t dropped() const noexcept {
        return dropped_.load(std::memory_order_relaxed);
    }
    // Records accepted by push, since construction.
    [[nodiscard]] std::uint64_t pushed() const noexcept {
        return tail_.load(std::memory_order_relaxed);
    }
    [[nodiscard]] static constexpr std::size_t capacity() noexcept { return Capacity; }

private:
    static constexpr std::size_t LINE = 64;
    alignas(LINE) std::atomic<std::uint64_t> head_{0};      // consumer's
    alignas(LINE) std::atomic<std::uint64_t> tail_{0};      // producer's
    std::atomic<std::uint64_t> dropped_{0};                 // producer's
    alignas(LINE) std::atomic<bool> waiting_{false};        // consumer sleeps
    std::atomic<std::uint32_t> signal_{0};                  // futex word
    alignas(LINE) std::array<Record, Capacity> slots_{};
};

}  // namespace valdrin::io
