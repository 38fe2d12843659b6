// A live capture analysed as it arrives: the capture thread feeds every
// frame to the core's Analyzer, queues its events for a consumer and hands
// consistent snapshots of its counters to whoever asks. Nothing on the
// capture thread allocates, locks or waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "analysis.hpp"
#include "blocking.hpp"
#include "capture/capture.hpp"
#include "snapshot.hpp"
#include "spsc_queue.hpp"
#include "sv_engine/sequence_trigger.hpp"
#include "stored_event.hpp"
#include "sv_watch.hpp"

namespace valdrin::io {

// Events waiting for the consumer, at most; further ones are counted dropped.
inline constexpr std::size_t MONITOR_EVENTS = 4096;

// The capture a Monitor makes unless told otherwise: a V3 ring, whose
// blocks (handed over when full or after block_timeout_ms) cost one wake-up
// per block rather than one per frame, and hold about ten times more of
// these short frames than V2's 2 KiB slots in the same memory.
[[nodiscard]] inline CaptureOptions monitor_capture() {
    CaptureOptions options;
    options.ring.version = RingVersion::V3;
    return options;
}

// What a Monitor captures and how it analyses.
struct MonitorOptions {
    CaptureOptions capture = monitor_capture();
    analysis::Limits limits;
    // One SV stream watched beside the analysis (departures, overcurrent),
    // its events in the same queue.
    std::optional<analysis::SvWatchOptions> watch{};
    // The confRev every stream and block should carry (Analyzer::expect_conf_rev).
    std::optional<std::uint64_t> expected_conf_rev{};
    // A state sequence's trigger, handed every frame before the analysis.
    std::shared_ptr<sv_engine::SequenceTrigger> trigger{};
};

// One monitored interface. start/stop/snapshot/events may be called from
// any thread; events has one consumer at a time (others wait their turn).
class Monitor final : private FrameHandler {
public:
    // Allocates the analyzer, the snapshot storage, the event queue and the
    // watch; throws std::bad_alloc, std::length_error (limits too large) or
    // std::invalid_argument (a watch SvWatch::make refuses, its text).
    explicit Monitor(MonitorOptions options);
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Starts capturing; the capture's first failing step otherwise. The
    // counters go on from where an earlier run left them.
    [[nodiscard]] std::expected<void, CaptureError> start(Blocking& blocking);
    // Stops capturing; returns within the capture's idle interval. Idempotent.
    void stop(Blocking& blocking) noexcept;
    [[nodiscard]] bool running() const noexcept { return capture_.running(); }

    // Copies a consistent state into `out` (built with the same limits):
    // from the capture thread, waiting up to `timeout_ns`, while it runs,
    // else directly. False when the thread did not answer in time.
    [[nodiscard]] bool snapshot(analysis::Snapshot& out, std::int64_t timeout_ns, Blocking& blocking);
    // Moves up to out.size() waiting events into `out`, waiting up to
    // `timeout_ns` for the first; returns how many.
    [[nodiscard]] std::size_t events(std::span<analysis::StoredEvent> out, std::int64_t timeout_ns,
                                     Blocking& blocking);

    [[nodiscard]] CaptureStats stats() const noexcept { return capture_.stats(); }
    // Events the queue could not take because the consumer lagged.
    [[nodiscard]] std::uint64_t events_dropped() const noexcept { return queue_->dropped(); }
    // Why the last run ended by itself ("interface eth1 went away"), or empty.
    [[nodiscard]] std::string failure() const;
    // The text of a start() failure, e.g. "interface eth9: No such device (os error 19)".
    [[nodiscard]] std::string describe(const CaptureError& error) const { return capture_.describe(error); }
    [[nodiscard]] const analysis::Limits& limits() const noexcept { return limits_; }

private:
    // Pushes each event into the queue (a copy; the frame's octets die with the call).
    class QueueSink final : public analysis::EventSink {
    public:
        explicit QueueSink(Monitor& owner) noexcept : owner_(owner) {}
        void on(const analysis::Event& event) noexcept override;

    private:
        Monitor& owner_;
    };

    void on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept override;
    void on_idle(std::int64_t now_ns) noexcept override;

    analysis::Limits limits_;
    // How far behind the idle pass's clock the ring may still hold frames
    // (a V3 block's timeout plus a timer tick, the coalescing pause): TAL
    // expiries are judged that much in the past, so that a frame stamped in
    // time but still in an unfinished block does not count as late.
    std::int64_t tal_lag_ns_;
    analysis::Analyzer analyzer_;
    std::optional<analysis::SvWatch> watch_;
    std::shared_ptr<sv_engine::SequenceTrigger> trigger_;
    SnapshotHandoff<analysis::Snapshot> handoff_;
    std::unique_ptr<SpscQueue<analysis::StoredEvent, MONITOR_EVENTS>> queue_;
    analysis::StoredEvent scratch_;  // the capture thread's event being queued
    QueueSink sink_{*this};
    std::mutex control_;   // start, stop and the direct snapshot
    std::mutex consumer_;  // the queue's one consumer
    Capture capture_;      // last: its thread stops before the rest goes
};

}  // namespace valdrin::io
