// A live capture analysed as it arrives: the capture thread feeds every
// frame to the core's Analyzer, queues its events for a consumer and hands
// consistent snapshots of its counters to whoever asks. Nothing on the
// capture thread allocates, locks or waits.
#pragma once

#include <array>
#include <atomic>
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
#include "prp_merge.hpp"
#include "prp_receiver.hpp"
#include "snapshot.hpp"
#include "spsc_queue.hpp"
#include "sv_engine/sequence_trigger.hpp"
#include "stored_event.hpp"
#include "sv_watch.hpp"

namespace valdrin::io {

// Events waiting for the consumer, at most; further ones are counted dropped.
inline constexpr std::size_t MONITOR_EVENTS = 4096;
// PRP: LAN B's frames waiting for the analysing thread, at most; further
// ones are counted dropped (CaptureStats::queue_drops of LAN B).
inline constexpr std::size_t PRP_LAN_B_FRAMES = 1024;
// PRP: the longest LAN B frame handed over (longer ones are counted dropped).
inline constexpr std::size_t PRP_MAX_FRAME = 2032;

// The capture a Monitor makes unless told otherwise: a V3 ring, whose
// blocks (handed over when full or after block_timeout_ms) cost one wake-up
// per block rather than one per frame, and hold about ten times more of
// these short frames than V2's 2 KiB slots in the same memory.
[[nodiscard]] inline CaptureOptions monitor_capture() {
    CaptureOptions options;
    options.ring = v3_ring(RingGeometry{}.block_timeout_ms);
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
    // PRP: capture.interface is LAN A, this LAN B (same capture options).
    // Both LANs' frames are merged in the order of their stamps (PrpMerge,
    // which holds each back for the ring's lag: events come that much
    // later), then pass through a receiving node's duplicate discard
    // (prp::Receiver) before the analysis.
    std::optional<std::string> prp_b{};
    // A state sequence's trigger, handed every frame before the analysis.
    std::shared_ptr<sv_engine::SequenceTrigger> trigger{};
};

// What a Monitor hands to a snapshot's reader: the analysis and, with PRP,
// the receiver's counts.
struct MonitorSnapshot {
    MonitorSnapshot(const analysis::Limits& limits, bool prp) : analysis(limits) {
        if (prp) receiver.emplace();
    }
    analysis::Snapshot analysis;
    std::optional<prp::Receiver> receiver;
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
    // With PRP, the frames still waiting for their twin count as lost on the
    // other LAN.
    void stop(Blocking& blocking) noexcept;
    // Whether capturing (with PRP: on both LANs).
    [[nodiscard]] bool running() const noexcept;

    // Copies a consistent state into `out` (built with the same limits):
    // from the capture thread, waiting up to `timeout_ns`, while it runs,
    // else directly. False when the thread did not answer in time.
    [[nodiscard]] bool snapshot(analysis::Snapshot& out, std::int64_t timeout_ns, Blocking& blocking);
    // The same, with the PRP receiver's counts into out.receiver (made with
    // the default limits) when this Monitor has two LANs.
    [[nodiscard]] bool snapshot(MonitorSnapshot& out, std::int64_t timeout_ns, Blocking& blocking);
    // Moves up to out.size() waiting events into `out`, waiting up to
    // `timeout_ns` for the first; returns how many.
    [[nodiscard]] std::size_t events(std::span<analysis::StoredEvent> out, std::int64_t timeout_ns,
                                     Blocking& blocking);

    [[nodiscard]] CaptureStats stats() const noexcept { return capture_.stats(); }
    // PRP: LAN B's capture counters (none without PRP), and its frames
    // that the hand-over to the analysing thread could not take.
    [[nodiscard]] std::optional<CaptureStats> stats_b() const noexcept;
    [[nodiscard]] std::uint64_t lan_b_dropped() const noexcept;
    // PRP: frames analysed before their hold-back ended, perhaps out of
    // stamp order, because the merge's room was full (0 without PRP).
    [[nodiscard]] std::uint64_t merged_early() const noexcept { return merge_ ? merge_->early() : 0; }
    [[nodiscard]] bool redundant() const noexcept { return capture_b_ != nullptr; }
    // Events the queue could not take because the consumer lagged.
    [[nodiscard]] std::uint64_t events_dropped() const noexcept { return queue_->dropped(); }
    // Why the last run ended by itself ("interface eth1 went away"), or empty.
    [[nodiscard]] std::string failure() const;
    // The text of a start() failure, e.g. "interface eth9: No such device (os error 19)".
    // With PRP, the interface named is LAN B's when its capture failed last.
    [[nodiscard]] std::string describe(const CaptureError& error) const;
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

    // One LAN B frame on its way to the analysing thread (LAN A's).
    struct LanBFrame {
        std::int64_t t_ns = 0;
        std::uint16_t size = 0;
        bool outgoing = false;
        std::array<std::uint8_t, PRP_MAX_FRAME> octets{};
    };
    using LanBQueue = SpscQueue<LanBFrame, PRP_LAN_B_FRAMES>;
    // LAN B's capture thread: copies each frame into the queue.
    class LanB final : public FrameHandler {
    public:
        explicit LanB(Monitor& owner) noexcept : owner_(owner) {}
        void on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept override;
        void on_idle(std::int64_t) noexcept override {}
        // Publishes how far LAN B's frames are all in the queue.
        void on_drained(std::int64_t since_ns) noexcept override;

    private:
        Monitor& owner_;
    };

    void on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept override;
    void on_idle(std::int64_t now_ns) noexcept override;
    // PRP: LAN A's frames are all handed over up to since_ns less the lag.
    void on_drained(std::int64_t since_ns) noexcept override;
    // Stops both captures (control_ held) and analyses every frame still
    // queued or waiting in the merge.
    void stop_locked() noexcept;
    // One frame into the analysis: through the receiver with PRP.
    void analyse(std::span<const std::uint8_t> frame, std::int64_t t_ns, bool outgoing, prp::Lan lan) noexcept;
    // PRP: a frame the merge lets through into the analysis.
    void analyse(const PrpMerge::Frame& frame) noexcept;
    // PRP: one frame into the merge (an earlier one analysed when it is full).
    void merge(const PrpMerge::Frame& frame) noexcept;
    // PRP: the LAN B frames waiting in the queue into the merge (its one consumer).
    void take_lan_b() noexcept;
    // PRP: the merged frames that both LANs have handed over into the
    // analysis, `since_ns` being the start of LAN A's last emptying pass.
    void release_merged(std::int64_t since_ns) noexcept;
    void fill(MonitorSnapshot& storage) noexcept;

    analysis::Limits limits_;
    // How far behind the idle pass's clock the ring may still hold frames
    // (a V3 block's timeout plus a timer tick, the coalescing pause): TAL
    // expiries are judged that much in the past, so that a frame stamped in
    // time but still in an unfinished block does not count as late.
    std::int64_t tal_lag_ns_;
    // PRP: how long after its stamp a frame waits in the merge for both
    // LANs' emptying passes: the ring's lag and the stamp's way to the ring.
    std::int64_t merge_lag_ns_;
    analysis::Analyzer analyzer_;
    std::optional<analysis::SvWatch> watch_;
    std::optional<prp::Receiver> receiver_;  // PRP: the receiving node
    std::shared_ptr<sv_engine::SequenceTrigger> trigger_;
    SnapshotHandoff<MonitorSnapshot> handoff_;
    std::unique_ptr<SpscQueue<analysis::StoredEvent, MONITOR_EVENTS>> queue_;
    analysis::StoredEvent scratch_;  // the capture thread's event being queued
    QueueSink sink_{*this};
    std::mutex control_;   // start, stop and the direct snapshot
    std::mutex consumer_;  // the queue's one consumer
    std::unique_ptr<LanBQueue> lan_b_queue_;
    std::unique_ptr<LanB> lan_b_;
    // PRP: both LANs' frames on their way to the analysis in stamp order.
    std::unique_ptr<PrpMerge> merge_;
    // LAN B's last emptying pass began here (CLOCK_REALTIME; 0 before the
    // first): its frames stamped before this less the lag are all queued.
    std::atomic<std::int64_t> lan_b_drained_ns_{0};
    // The analysing thread's: the merge has released every frame stamped
    // up to here; the ticks go no further (none before the first release).
    std::optional<std::int64_t> released_ns_;
    std::atomic<std::uint64_t> lan_b_too_long_{0};
    std::atomic<bool> failed_b_{false};  // the last start failed on LAN B
    Capture capture_;      // last: its thread stops before the rest goes
    std::unique_ptr<Capture> capture_b_;  // PRP: LAN B
};

}  // namespace valdrin::io
