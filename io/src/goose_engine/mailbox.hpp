// A control block's latest values handed to the publisher thread: a triple
// buffer of allData contents, written under a producer-side lock and taken
// by the thread with one atomic exchange, never waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

namespace valdrin::io::goose_engine {

class Mailbox {
public:
    // Three slots of `capacity` octets; the thread's first slot holds `first`.
    Mailbox(std::size_t capacity, std::span<const std::uint8_t> first, std::uint32_t entries)
        : capacity_(capacity), storage_(3 * capacity) {
        std::memcpy(storage_.data(), first.data(), first.size());
        sizes_[0] = first.size();
        entries_[0] = entries;
    }

    // Returns the largest content put() takes.
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

    // Hands `content` (at most capacity() octets) and its entry count to the
    // thread, replacing values it has not taken yet. Any thread; the lock
    // orders producers only.
    void put(std::span<const std::uint8_t> content, std::uint32_t entries) {
        std::lock_guard producing(producers_);
        std::memcpy(slot(back_), content.data(), content.size());
        sizes_[back_] = content.size();
        entries_[back_] = entries;
        back_ = middle_.exchange(back_ | FRESH, std::memory_order_acq_rel) & INDEX_MASK;
    }

    // The thread's side: whether values were put since the last take.
    [[nodiscard]] bool has_new() const noexcept { return (middle_.load(std::memory_order_acquire) & FRESH) != 0; }

    // The thread's side: takes the newest values, if any were put since the
    // last take; returns whether it did.
    [[nodiscard]] bool take() noexcept {
        if ((middle_.load(std::memory_order_acquire) & FRESH) == 0) return false;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & INDEX_MASK;
        return true;
    }

    // The values the thread holds, valid until its next take().
    [[nodiscard]] std::span<const std::uint8_t> content() const noexcept {
        return {storage_.data() + front_ * capacity_, sizes_[front_]};
    }
    [[nodiscard]] std::uint32_t entries() const noexcept { return entries_[front_]; }

private:
    static constexpr std::uint8_t INDEX_MASK = 3;
    static constexpr std::uint8_t FRESH = 4;

    std::uint8_t* slot(std::uint8_t index) noexcept { return storage_.data() + index * capacity_; }

    std::size_t capacity_;
    std::vector<std::uint8_t> storage_;
    std::size_t sizes_[3]{};
    std::uint32_t entries_[3]{};
    std::uint8_t front_ = 0;                 // the thread's
    std::uint8_t back_ = 2;                  // the producers', under producers_
    std::atomic<std::uint8_t> middle_{1};    // index, plus `FRESH` when not taken
    std::mutex producers_;
};

}  // namespace valdrin::io::goose_engine
