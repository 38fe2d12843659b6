// The real-time hand-off pieces: the SPSC queue and the snapshot.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <type_traits>
#include <vector>

#include "snapshot.hpp"
#include "spsc_queue.hpp"

namespace valdrin::io {
namespace {

struct Record {
    std::uint64_t sequence;
    std::uint64_t check;  // a function of sequence: a torn copy shows
};

constexpr std::uint64_t check_of(std::uint64_t sequence) {
    return sequence * 0x9E3779B97F4A7C15ull;
}

TEST(SpscQueueTest, AFullQueueDropsAndCountsAndAnEmptyOneTimesOut) {
    SpscQueue<Record, 4> queue;
    for (std::uint64_t k = 0; k < 6; ++k) EXPECT_EQ(queue.push({k, check_of(k)}), k < 4);
    EXPECT_EQ(queue.pushed(), 4u);
    EXPECT_EQ(queue.dropped(), 2u);
    Record out{};
    for (std::uint64_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(queue.try_pop(out));
        EXPECT_EQ(out.sequence, k);
    }
    EXPECT_FALSE(queue.try_pop(out));
    EXPECT_FALSE(queue.wait_pop(out, 1'000'000));
    EXPECT_TRUE(queue.push({9, check_of(9)}));  // room again after the pops
    ASSERT_TRUE(queue.wait_pop(out, 0));
    EXPECT_EQ(out.sequence, 9u);
}

TEST(SpscQueueTest, RecordsWrittenAndReadInPlace) {
    SpscQueue<Record, 2> queue;
    int writes = 0;
    const auto write = [&](std::uint64_t k) {
        return queue.push_with([&](Record& slot) {
            ++writes;
            slot.sequence = k;  // check left as the slot had it
        });
    };
    EXPECT_TRUE(write(1));
    EXPECT_TRUE(write(2));
    EXPECT_FALSE(write(3));  // full: dropped, the writer not called
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(queue.dropped(), 1u);
    std::vector<std::uint64_t> read;
    const auto take = [&](const Record& record) { read.push_back(record.sequence); };
    EXPECT_TRUE(queue.try_take(take));
    EXPECT_TRUE(write(4));  // the slot just read is the next written
    EXPECT_TRUE(queue.try_take(take));
    EXPECT_TRUE(queue.try_take(take));
    EXPECT_FALSE(queue.try_take(take));  // empty: the reader not called
    EXPECT_EQ(read, (std::vector<std::uint64_t>{1, 2, 4}));
    Record out{};
    EXPECT_TRUE(queue.push({5, check_of(5)}));
    ASSERT_TRUE(queue.try_pop(out));
    EXPECT_EQ(out.check, check_of(5));
}

// A producer that never waits, a consumer that sometimes dawdles and
// sometimes sleeps on the queue: every record arrives once, in order,
// intact, or is counted as dropped.
TEST(SpscQueueTest, TwoThreadsLoseNothingUncounted) {
    constexpr std::uint64_t total = 300'000;
    auto queue = std::make_unique<SpscQueue<Record, 64>>();
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (std::uint64_t k = 0; k < total; ++k) {
            queue->push({k, check_of(k)});
            if (k % 4096 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        done.store(true);
    });
    std::uint64_t consumed = 0;
    std::uint64_t gaps = 0;
    std::uint64_t next = 0;
    bool ordered = true;
    bool intact = true;
    Record out{};
    for (;;) {
        if (!queue->wait_pop(out, 5'000'000)) {
            if (done.load() && !queue->try_pop(out)) break;
            if (!done.load()) continue;
        }
        intact = intact && out.check == check_of(out.sequence);
        ordered = ordered && out.sequence >= next;
        gaps += out.sequence - next;
        next = out.sequence + 1;
        ++consumed;
        if (consumed % 1000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    producer.join();
    gaps += total - next;
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(intact);
    EXPECT_EQ(consumed + queue->dropped(), total);
    EXPECT_EQ(gaps, queue->dropped());
    EXPECT_EQ(queue->pushed(), consumed);
    EXPECT_GT(consumed, 0u);
}

struct State {
    std::array<std::uint64_t, 32> words{};  // all equal in a consistent copy
};

TEST(SnapshotHandoffTest, CopiesAreConsistentAndFresh) {
    SnapshotHandoff<State> handoff;
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        State state;
        while (!stop.load()) {
            for (auto& word : state.words) ++word;  // one loop pass of work
            if (handoff.pending()) handoff.serve([&](State& out) noexcept { out = state; });
        }
    });
    std::uint64_t previous = 0;
    for (int i = 0; i < 2000; ++i) {
        State copy;
        ASSERT_TRUE(handoff.take(copy, 2'000'000'000));
        for (auto word : copy.words) ASSERT_EQ(word, copy.words[0]);
        EXPECT_GT(copy.words[0], previous);  // taken after the request: newer
        previous = copy.words[0];
    }
    stop.store(true);
    owner.join();
}

TEST(SnapshotHandoffTest, TimesOutWithoutAnOwnerAndServesTheLateRequestLater) {
    SnapshotHandoff<State> handoff;
    State copy;
    EXPECT_FALSE(handoff.take(copy, 1'000'000));
    EXPECT_TRUE(handoff.pending());
    State state;
    state.words.fill(7);
    handoff.serve([&](State& out) noexcept { out = state; });  // the late one
    EXPECT_FALSE(handoff.pending());
    state.words.fill(8);
    std::thread owner([&] {
        while (!handoff.pending()) std::this_thread::yield();
        handoff.serve([&](State& out) noexcept { out = state; });
    });
    ASSERT_TRUE(handoff.take(copy, 2'000'000'000));
    owner.join();
    EXPECT_EQ(copy.words[5], 8u);
}

// A state sized at run time, as a stream table is: built with its size,
// neither default-constructible nor assignable, copied into a buffer of the
// same size by a member function that does not allocate.
class Table {
public:
    explicit Table(std::size_t size) : words_(size) {}
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    void copy_into(Table& out) const noexcept {
        std::copy(words_.begin(), words_.end(), out.words_.begin());
    }
    void bump() noexcept {
        for (auto& word : words_) ++word;
    }
    [[nodiscard]] const std::vector<std::uint64_t>& words() const noexcept { return words_; }

private:
    std::vector<std::uint64_t> words_;
};

static_assert(!std::is_default_constructible_v<Table> && !std::is_copy_assignable_v<Table>);

TEST(SnapshotHandoffTest, TakeWithCopiesAStateBuiltFromArgumentsWithoutAllocating) {
    constexpr std::size_t size = 100;
    SnapshotHandoff<Table> handoff(size);
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        Table state(size);
        while (!stop.load()) {
            state.bump();
            handoff.serve([&](Table& out) noexcept { state.copy_into(out); });
        }
    });
    Table copy(size);
    const std::uint64_t* const buffer = copy.words().data();
    std::uint64_t previous = 0;
    for (int i = 0; i < 2000; ++i) {
        int reads = 0;
        ASSERT_TRUE(handoff.take_with(
            [&](const Table& served) noexcept {
                ++reads;
                served.copy_into(copy);
            },
            2'000'000'000));
        ASSERT_EQ(reads, 1);
        for (auto word : copy.words()) ASSERT_EQ(word, copy.words()[0]);
        EXPECT_GT(copy.words()[0], previous);
        previous = copy.words()[0];
    }
    stop.store(true);
    owner.join();
    EXPECT_EQ(copy.words().data(), buffer);  // copied in place
}

TEST(SnapshotHandoffTest, TakeWithDoesNotReadOnTimeout) {
    SnapshotHandoff<Table> handoff(std::size_t{4});
    int reads = 0;
    EXPECT_FALSE(handoff.take_with([&](const Table&) noexcept { ++reads; }, 1'000'000));
    EXPECT_EQ(reads, 0);
    EXPECT_TRUE(handoff.pending());
}

}  // namespace
}  // namespace valdrin::io
