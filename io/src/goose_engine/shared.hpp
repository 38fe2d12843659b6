// What the GOOSE publisher and its thread share: the configuration and the
// templates read from it, the mailboxes and fault knobs, the counters, the
// wake-up word, and the per-block state carried from run to run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "goose_engine/config.hpp"
#include "goose_engine/faults.hpp"
#include "goose_engine/mailbox.hpp"
#include "goose_schedule.hpp"

namespace valdrin::io::goose_engine {

// The last state change of a block whose first frame went to the kernel:
// written by the thread under a sequence count (odd while it writes), read
// by anyone who retries on a change.
struct ChangeRecord {
    std::atomic<std::uint32_t> seq{0};
    std::atomic<std::uint32_t> st_num{0};
    std::atomic<std::int64_t> sent_ns{0};  // the clock just before the send call
};

// The state a block left at its last state change, as it was sent: kept by
// the thread for the old_st knob, in storage sized at construction.
struct OlderState {
    std::vector<std::uint8_t> content;  // allData content: the block's capacity, `size` of it used
    std::size_t size = 0;
    std::uint32_t entries = 0;
    std::uint32_t st_num = 0;
    std::int64_t change_at = 0;  // the instant of that state's change (its t)
    bool kept = false;           // false until the block leaves a state
};

struct Shared {
    Config config;                                        // owns the template frames
    std::vector<goose::schedule::Template> templates;    // views into config's frames
    std::vector<std::unique_ptr<Mailbox>> mailboxes;
    std::unique_ptr<Faults[]> faults;
    std::unique_ptr<ChangeRecord[]> changes;
    std::vector<std::vector<std::uint8_t>> buffers;       // one frame buffer per block, the thread's
    std::vector<std::uint32_t> st_num;                    // the last stNum sent per block, the thread's
    std::vector<std::int64_t> change_at;                  // and the instant of its change, the thread's
    std::vector<OlderState> older;                        // per block, the thread's
    bool has_run = false;                                 // the thread's: a run has begun

    std::atomic<std::uint64_t> frames_sent{0};
    std::atomic<std::uint64_t> send_errors{0};
    std::atomic<std::uint64_t> late_frames{0};
    std::atomic<std::int64_t> max_lateness_ns{0};
    std::atomic<bool> stop{false};
    // Changed and woken on every publish() and stop(): the thread sleeps on it.
    std::atomic<std::uint32_t> wake{0};

    std::vector<std::int64_t> lateness;  // the first frames' lateness, the thread's
    std::size_t lateness_count = 0;
};

}  // namespace valdrin::io::goose_engine
