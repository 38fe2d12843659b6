#include "monitor.hpp"

namespace valdrin::io {

Monitor::Monitor(MonitorOptions options)
    : limits_(options.limits),
      analyzer_(options.limits),
      handoff_(options.limits),
      queue_(std::make_unique<SpscQueue<analysis::StoredEvent, MONITOR_EVENTS>>()),
      capture_(std::move(options.capture), *this) {}

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
    if (error.step == CaptureStep::none) return {};
    return capture_.describe(error);
}

void Monitor::QueueSink::on(const analysis::Event& event) noexcept {
    analysis::StoredEvent::store(event, owner_.scratch_);
    owner_.queue_->push(owner_.scratch_);
}

void Monitor::on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept {
    analyzer_.add(frame, meta.timestamp_ns, sink_);
}

void Monitor::on_idle(std::int64_t now_ns) noexcept {
    analyzer_.tick(now_ns, sink_);
    if (handoff_.pending()) {
        handoff_.serve([&](analysis::Snapshot& storage) { (void)analyzer_.snapshot(storage); });
    }
}

}  // namespace valdrin::io
