#include "monitor.hpp"

#include <algorithm>
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

std::optional<analysis::SvWatch> make_watch(std::optional<analysis::SvWatchOptions> options) {
    if (!options) return std::nullopt;
    auto made = analysis::SvWatch::make(std::move(*options));
    if (!made) throw std::invalid_argument(analysis::describe(made.error()));
    return std::move(*made);
}

}  // namespace

Monitor::Monitor(MonitorOptions options)
    : limits_(options.limits),
      tal_lag_ns_(ring_lag_ns(options.capture)),
      analyzer_(options.limits),
      watch_(make_watch(std::move(options.watch))),
      trigger_(std::move(options.trigger)),
      handoff_(options.limits),
      queue_(std::make_unique<SpscQueue<analysis::StoredEvent, MONITOR_EVENTS>>()),
      capture_(std::move(options.capture), *this) {
    analyzer_.expect_conf_rev(options.expected_conf_rev);
}

Monitor::~Monitor() {
    // The capture thread reads the analyzer: it ends before anything else goes.
    capture_.stop();
}

std::expected<void, CaptureError> Monitor::start(Blocking& blocking) {
    auto lock = lock_blocking(control_, blocking);
    BlockingScope scope(blocking);  // start() waits for the thread's set-up
    return capture_.start();
}

void Monitor::stop(Blocking& blocking) noexcept {
    auto lock = lock_blocking(control_, blocking);
    BlockingScope scope(blocking);  // stop() joins the thread
    capture_.stop();
}

bool Monitor::snapshot(analysis::Snapshot& out, std::int64_t timeout_ns, Blocking& blocking) {
    auto lock = lock_blocking(control_, blocking);
    if (capture_.running()) {
        BlockingScope scope(blocking);
        if (handoff_.take_with([&](const analysis::Snapshot& state) { (void)state.copy_into(out); }, timeout_ns)) {
            return true;
        }
        // The thread ended while we waited: join it and read directly.
        if (capture_.running()) return false;
        capture_.stop();
    }
    return analyzer_.snapshot(out);
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
    const CaptureError error = capture_.failure();
    if (error.step == CaptureStep::None) return {};
    return capture_.describe(error);
}

void Monitor::QueueSink::on(const analysis::Event& event) noexcept {
    analysis::StoredEvent::store(event, owner_.scratch_);
    owner_.queue_->push(owner_.scratch_);
}

void Monitor::on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept {
    if (trigger_) trigger_->add(frame, meta.timestamp_ns);
    analyzer_.add(frame, meta.timestamp_ns, sink_);
    if (watch_) watch_->add(frame, meta.timestamp_ns, meta.outgoing(), sink_);
}

void Monitor::on_idle(std::int64_t now_ns) noexcept {
    // now_ns is positive (after 1970) and the lag at most INT64_MAX: no overflow.
    if (trigger_) trigger_->poll();
    analyzer_.tick(now_ns - tal_lag_ns_, sink_);
    if (handoff_.pending()) {
        handoff_.serve([&](analysis::Snapshot& storage) { (void)analyzer_.snapshot(storage); });
    }
}

}  // namespace valdrin::io
