#include "monitor.hpp"

#include <algorithm>
#include <memory>
#include <limits>
#include <stdexcept>
#include <utility>

namespace valdrin::io {

namespace {

// Kernels whose block timer runs on jiffies retire a block up to a tick
// (4 ms at 250 Hz) after its timeout.
constexpr std::int64_t BLOCK_TIMER_SLACK_NS = 4'000'000;

// The V3 block timeout (when V3) with its slack, plus the coalescing pause,
// in ns, saturated.
std::int64_t ring_lag_ns(const CaptureOptions& capture) noexcept {
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    const std::int64_t block =
        capture.ring.version == RingVersion::V3
            ? static_cast<std::int64_t>(capture.ring.block_timeout_ms) * 1'000'000 + BLOCK_TIMER_SLACK_NS
            : 0;  // at most 2^32 ms: no overflow
    const std::int64_t pause = std::max<std::int64_t>(capture.coalesce_ns, 0);
    return pause > most - block ? most : block + pause;
}

// PRP: the kernel stamps a frame before it puts it in the ring (V2) or the
// open block (V3), in a softirq that interrupts, or a busy machine's
// scheduler, can delay: a frame waits this much beyond the ring's lag, so
// that one stamped just before a pass that found the ring empty, but not
// yet in it, still leaves in order. Within the 4 ms of a V3 block's slack,
// it is what a V2 ring's merge waits at all.
constexpr std::int64_t STAMP_TO_RING_NS = 1'000'000;

// The ring's lag and STAMP_TO_RING_NS, saturated: how long a merged frame waits.
std::int64_t merge_lag_ns(std::int64_t ring_lag_ns) noexcept {
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    return ring_lag_ns > most - STAMP_TO_RING_NS ? most : ring_lag_ns + STAMP_TO_RING_NS;
}

// PRP: stamps waiting in the merge this far ahead of the clock are not on
// it (the clock stepped back, or hardware stamps on the interface's own
// clock): the merge lets everything through rather than hold it.
constexpr std::int64_t STAMPS_OFF_CLOCK_NS = 1'000'000'000;

// PRP: the room of each LAN in the merge, for the frames stamped within two
// lags and the longest the analysing thread sleeps: a frame waits a lag
// after both LANs' last emptying passes, which are at most a sleep old.
std::unique_ptr<PrpMerge> make_merge(const MonitorOptions& options, std::int64_t lag_ns) {
    if (!options.prp_b) return nullptr;
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    const std::int64_t sleep_ns = idle_period_ns(options.capture);
    const std::int64_t window_ns = lag_ns > (most - sleep_ns) / 2 ? most : 2 * lag_ns + sleep_ns;
    return std::make_unique<PrpMerge>(prp_merge_bytes(window_ns));
}

std::optional<analysis::SvWatch> make_watch(std::optional<analysis::SvWatchOptions> options) {
    if (!options) return std::nullopt;
    auto made = analysis::SvWatch::make(std::move(*options));
    if (!made) throw std::invalid_argument(analysis::describe(made.error()));
    return std::move(*made);
}


// `capture`, with PRP's supervision and HSR frames too when `prp`, and
// the emptying passes reported for the merge.
CaptureOptions with_redundancy(CaptureOptions capture, bool prp) {
    capture.redundancy = capture.redundancy || prp;
    capture.report_drained = prp;
    return capture;
}

// LAN B's capture: LAN A's options on the other interface, its own thread name.
std::unique_ptr<Capture> lan_b_capture(const MonitorOptions& options, FrameHandler& handler) {
    if (!options.prp_b) return nullptr;
    CaptureOptions capture = with_redundancy(options.capture, true);
    capture.interface = *options.prp_b;
    capture.thread_name = "prp-capture-b";
    return std::make_unique<Capture>(std::move(capture), handler);
}

}  // namespace

Monitor::Monitor(MonitorOptions options)
    : limits_(options.limits),
      tal_lag_ns_(ring_lag_ns(options.capture)),
      merge_lag_ns_(merge_lag_ns(tal_lag_ns_)),
      analyzer_(options.limits),
      watch_(make_watch(std::move(options.watch))),
      receiver_(options.prp_b ? std::optional<prp::Receiver>(std::in_place) : std::nullopt),
      trigger_(std::move(options.trigger)),
      handoff_(options.limits, options.prp_b.has_value()),
      queue_(std::make_unique<SpscQueue<analysis::StoredEvent, MONITOR_EVENTS>>()),
      lan_b_queue_(options.prp_b ? std::make_unique<LanBQueue>() : nullptr),
      lan_b_(options.prp_b ? std::make_unique<LanB>(*this) : nullptr),
      merge_(make_merge(options, merge_lag_ns_)),
      capture_(with_redundancy(options.capture, options.prp_b.has_value()), *this),
      capture_b_(lan_b_ ? lan_b_capture(options, *lan_b_) : nullptr) {
    analyzer_.expect_conf_rev(options.expected_conf_rev);
}

Monitor::~Monitor() {
    // The capture threads read the analyzer and the queue: they end before
    // anything else goes.
    if (capture_b_) capture_b_->stop();
    capture_.stop();
}

std::expected<void, CaptureError> Monitor::start(Blocking& blocking) {
    auto lock = lock_blocking(control_, blocking);
    BlockingScope scope(blocking);  // start() waits for the threads' set-up
    failed_b_.store(false, std::memory_order_relaxed);
    if (auto started = capture_.start(); !started || !capture_b_) return started;
    if (auto started = capture_b_->start(); !started) {
        capture_.stop();
        failed_b_.store(true, std::memory_order_relaxed);
        return started;
    }
    return {};
}

void Monitor::stop(Blocking& blocking) noexcept {
    auto lock = lock_blocking(control_, blocking);
    BlockingScope scope(blocking);  // stop() joins the threads
    stop_locked();
}

void Monitor::stop_locked() noexcept {
    // LAN B first, so that the frames of its last block still reach the
    // analysing thread; what that thread left in the queue, and every frame
    // still waiting in the merge, is analysed here, in stamp order. Then
    // the input has ended: a copy still waiting for its twin counts as
    // lost on the other LAN.
    // A running capture is watched until its stop is asked for: frames
    // stamped before are handed over, later ones may not be. A copy that
    // came on one LAN after the other's watch ended is lost on neither.
    constexpr std::int64_t OPEN = std::numeric_limits<std::int64_t>::max();
    std::int64_t b_until = OPEN;
    if (capture_b_) {
        if (capture_b_->running()) b_until = static_cast<std::int64_t>(now_ns());
        capture_b_->stop();
    }
    const std::int64_t a_until = capture_.running() ? static_cast<std::int64_t>(now_ns()) : OPEN;
    capture_.stop();
    if (merge_) {
        take_lan_b();
        merge_->drain([this](const PrpMerge::Frame& f) { analyse(f); });
        released_ns_.reset();
        lan_b_drained_ns_.store(0, std::memory_order_relaxed);
    }
    if (receiver_) receiver_->finish(a_until, b_until);
}

bool Monitor::running() const noexcept {
    return capture_.running() && (!capture_b_ || capture_b_->running());
}

bool Monitor::snapshot(analysis::Snapshot& out, std::int64_t timeout_ns, Blocking& blocking) {
    auto lock = lock_blocking(control_, blocking);
    if (capture_.running()) {
        BlockingScope scope(blocking);
        if (handoff_.take_with([&](const MonitorSnapshot& state) { (void)state.analysis.copy_into(out); },
                               timeout_ns)) {
            return true;
        }
        // The thread ended while we waited: join it and read directly.
        if (capture_.running()) return false;
        stop_locked();
    }
    return analyzer_.snapshot(out);
}

bool Monitor::snapshot(MonitorSnapshot& out, std::int64_t timeout_ns, Blocking& blocking) {
    auto lock = lock_blocking(control_, blocking);
    const auto read = [&](const MonitorSnapshot& state) {
        (void)state.analysis.copy_into(out.analysis);
        if (state.receiver && out.receiver) state.receiver->copy_counts_into(*out.receiver);
    };
    if (capture_.running()) {
        BlockingScope scope(blocking);
        if (handoff_.take_with(read, timeout_ns)) return true;
        if (capture_.running()) return false;
    }
    // Not running (or ended while we waited): both threads joined, read directly.
    stop_locked();
    if (receiver_ && out.receiver) receiver_->copy_counts_into(*out.receiver);
    return analyzer_.snapshot(out.analysis);
}

std::optional<CaptureStats> Monitor::stats_b() const noexcept {
    if (!capture_b_) return std::nullopt;
    return capture_b_->stats();
}

std::uint64_t Monitor::lan_b_dropped() const noexcept {
    if (!lan_b_queue_) return 0;
    return lan_b_queue_->dropped() + lan_b_too_long_.load(std::memory_order_relaxed);
}

std::string Monitor::describe(const CaptureError& error) const {
    if (capture_b_ && failed_b_.load(std::memory_order_relaxed)) return capture_b_->describe(error);
    return capture_.describe(error);
}

std::size_t Monitor::events(std::span<analysis::StoredEvent> out, std::int64_t timeout_ns, Blocking& blocking) {
    if (out.empty()) return 0;
    auto lock = lock_blocking(consumer_, blocking);
    std::size_t n = 0;
    if (!queue_->try_pop(out[0])) {
        BlockingScope scope(blocking);
        if (!queue_->wait_pop(out[0], timeout_ns)) return 0;
    }
    n = 1;
    while (n < out.size() && queue_->try_pop(out[n])) ++n;
    return n;
}

std::string Monitor::failure() const {
    if (const CaptureError error = capture_.failure(); error.step != CaptureStep::None) {
        return capture_.describe(error);
    }
    if (!capture_b_) return {};
    const CaptureError error = capture_b_->failure();
    return error.step == CaptureStep::None ? std::string() : capture_b_->describe(error);
}

void Monitor::QueueSink::on(const analysis::Event& event) noexcept {
    analysis::StoredEvent::store(event, owner_.scratch_);
    owner_.queue_->push(owner_.scratch_);
}

void Monitor::LanB::on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept {
    if (frame.size() > PRP_MAX_FRAME) {
        owner_.lan_b_too_long_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Written in place, its octets only: a full queue counts it dropped.
    (void)owner_.lan_b_queue_->push_with([&](LanBFrame& slot) {
        slot.t_ns = meta.timestamp_ns;
        slot.size = static_cast<std::uint16_t>(frame.size());
        slot.outgoing = meta.outgoing();
        std::copy(frame.begin(), frame.end(), slot.octets.begin());
    });
}

void Monitor::LanB::on_drained(std::int64_t since_ns) noexcept {
    // After the pushes it covers: whoever reads it, then the queue, has them.
    owner_.lan_b_drained_ns_.store(since_ns, std::memory_order_release);
}

void Monitor::analyse(std::span<const std::uint8_t> frame, std::int64_t t_ns, bool outgoing, prp::Lan lan) noexcept {
    if (receiver_) {
        const auto passed = receiver_->add(frame, lan, t_ns);
        if (!passed) return;
        frame = *passed;
    }
    if (trigger_) trigger_->add(frame, t_ns);
    analyzer_.add(frame, t_ns, sink_);
    if (watch_) watch_->add(frame, t_ns, outgoing, sink_);
}

void Monitor::analyse(const PrpMerge::Frame& frame) noexcept {
    analyse(frame.octets, frame.t_ns, frame.outgoing, frame.lan);
}

void Monitor::merge(const PrpMerge::Frame& frame) noexcept {
    merge_->add(frame, [this](const PrpMerge::Frame& f) { analyse(f); });
}

void Monitor::take_lan_b() noexcept {
    // Each read where it lies in the queue (the merge copies its octets only).
    const auto take = [this](const LanBFrame& taken) {
        merge({.octets = std::span(taken.octets).first(taken.size),
               .t_ns = taken.t_ns,
               .outgoing = taken.outgoing,
               .lan = prp::Lan::B});
    };
    while (lan_b_queue_->try_take(take)) {
    }
}

void Monitor::release_merged(std::int64_t since_ns) noexcept {
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    // LAN B's mark before its queue, so that the frames it covers are in
    // the merge. A LAN B that has ended holds nothing back; one not yet
    // started holds everything (its ring may already hold frames).
    std::int64_t b_ns = lan_b_drained_ns_.load(std::memory_order_acquire);
    if (b_ns != 0 && !capture_b_->running()) b_ns = most;
    take_lan_b();
    // Both marks are CLOCK_REALTIME after 1970 (or 0) and the lag at most
    // INT64_MAX: no overflow.
    std::int64_t through = std::min(since_ns, b_ns) - merge_lag_ns_;
    // since_ns is positive and the latest stamp above it: no overflow.
    const std::int64_t latest_ns = merge_->latest_ns();
    if (latest_ns > since_ns && latest_ns - since_ns > STAMPS_OFF_CLOCK_NS) through = most;
    merge_->release(through, [this](const PrpMerge::Frame& f) { analyse(f); });
    if (through == most) through = since_ns - merge_lag_ns_;
    if (through > 0) released_ns_ = through;
}

void Monitor::on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept {
    if (merge_) {
        // LAN B's frames that arrived meanwhile go in first: the queue stays short.
        take_lan_b();
        merge({.octets = frame, .t_ns = meta.timestamp_ns, .outgoing = meta.outgoing(), .lan = prp::Lan::A});
        return;
    }
    analyse(frame, meta.timestamp_ns, meta.outgoing(), prp::Lan::A);
}

void Monitor::on_drained(std::int64_t since_ns) noexcept {
    if (merge_) release_merged(since_ns);
}

void Monitor::fill(MonitorSnapshot& storage) noexcept {
    (void)analyzer_.snapshot(storage.analysis);
    if (receiver_ && storage.receiver) receiver_->copy_counts_into(*storage.receiver);
}

void Monitor::on_idle(std::int64_t now_ns) noexcept {
    if (lan_b_queue_) take_lan_b();
    if (trigger_) trigger_->poll();
    // now_ns is positive (after 1970) and the lag at most INT64_MAX: no overflow.
    std::int64_t judged_ns = now_ns - tal_lag_ns_;
    // PRP: not beyond the frames the merge has let through (none judged
    // before its first release): those it holds are not late.
    if (merge_ && released_ns_) judged_ns = std::min(judged_ns, *released_ns_);
    if (!merge_ || released_ns_) {
        analyzer_.tick(judged_ns, sink_);
        // A copy that came on one LAN only is settled long after the lag.
        if (receiver_) receiver_->tick(judged_ns);
    }
    if (handoff_.pending()) handoff_.serve([&](MonitorSnapshot& storage) { fill(storage); });
}

}  // namespace valdrin::io
