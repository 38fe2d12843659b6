// The SV publisher: one immutable Config, its counters, and at most one
// transmit thread at a time, started, stopped and started again (resuming
// at the first period not yet due) from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "blocking.hpp"
#include "failure.hpp"
#include "sv_engine/config.hpp"
#include "sv_engine/counters.hpp"
#include "sv_engine/faults.hpp"
#include "thread_slot.hpp"

namespace valdrin::io::sv_engine {

// Why start() failed: the slot's errors, shared by every publisher.
using io::StartError;
using io::StartFailure;

// A snapshot of the counters, each read on its own.
struct Stats {
    std::uint64_t frames_sent = 0;
    std::uint64_t send_errors = 0;
    std::uint64_t late_frames = 0;
    std::int64_t max_lateness_ns = 0;
};

class Publisher {
public:
    // A stopped publisher of `config`, which it shares with its threads.
    explicit Publisher(std::shared_ptr<const Config> config);
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;
    // Stops and joins a running thread as dispose() does.
    ~Publisher();

    // Returns the configuration, immutable for the publisher's life.
    const Config& config() const noexcept { return *config_; }

    // Opens a packet socket on the configured interface and starts the
    // transmit thread, waiting for its set-up report; on success the thread
    // sends until stop(). A wait for another caller inside start() or stop(),
    // and the wait for the report, run inside `blocking`'s hooks.
    [[nodiscard]] std::expected<void, StartFailure> start(Blocking& blocking);

    // Sets the stop flag and joins the thread, if one runs; the join runs
    // inside `blocking`'s hooks. The flag is set and the thread joined under
    // the lock start() takes, so that a start() in another thread cannot
    // clear the flag before this thread has been seen to stop.
    void stop(Blocking& blocking);

    // As stop(), with no hooks and the flag set before the lock is taken:
    // for the owner letting go of the publisher, when no other caller is
    // left. Throws what locking or joining throws.
    void dispose();

    // Returns the counters as they are now, each read on its own.
    Stats stats() const noexcept;

    // Returns the fault knobs of every stream, set from any thread and read
    // by the transmit thread frame by frame.
    Faults& faults() noexcept { return *faults_; }

private:
    std::shared_ptr<const Config> config_;
    std::shared_ptr<Counters> counters_;
    std::shared_ptr<Faults> faults_;
    ThreadSlot slot_;  // polls counters_->stop; a thread that reported success resumes
};

}  // namespace valdrin::io::sv_engine
