#include "sv_engine/publisher.hpp"

#include <system_error>
#include <utility>

#include "os_error.hpp"
#include "packet_socket.hpp"
#include "setup_report.hpp"
#include "sv_engine/transmit.hpp"

namespace valdrin::io::sv_engine {

namespace {

std::unexpected<StartFailure> failure(StartError error, std::string text) {
    return std::unexpected(StartFailure{error, std::move(text)});
}

std::unexpected<StartFailure> failure(StartError error) { return failure(error, std::string(describe(error))); }

}  // namespace

Publisher::Publisher(std::shared_ptr<const Config> config)
    : config_(std::move(config)), counters_(std::make_shared<Counters>()) {}

Publisher::~Publisher() {
    try {
        dispose();
    } catch (...) {
        // Only an owner that skipped dispose() gets here; a thread that could
        // not be joined ends the process in its destructor, as it must.
    }
}

std::expected<void, StartFailure> Publisher::start(Blocking& blocking) {
    std::unique_lock slot = lock_blocking(slot_lock_, blocking);
    if (thread_) return failure(StartError::already_started);
    auto socket = open_sending_socket(config_->iface);
    if (!socket) return failure(StartError::socket, std::move(socket.error().text));
    // No thread of this publisher runs now: a stop() of an earlier run is
    // over, and this run starts afresh.
    counters_->stop.store(false);
    const bool resume = has_run_;
    auto report = std::make_shared<SetupReport>();
    std::thread thread;
    try {
        thread = std::thread(transmit, config_, counters_, std::move(*socket), Reporter(report), resume);
    } catch (const std::system_error& e) {
        // The thread's arguments, the socket among them, are gone.
        return failure(StartError::no_thread, os_text(e.code().value()));
    }
    std::string text;
    SetupReport::State outcome;
    {
        BlockingScope waiting(blocking);
        outcome = report->wait(text);
    }
    switch (outcome) {
        case SetupReport::State::ok:
            thread_ = std::move(thread);
            has_run_ = true;
            return {};
        case SetupReport::State::failed: {
            BlockingScope waiting(blocking);
            thread.join();  // it ends right after reporting
        }
            return failure(StartError::setup, std::move(text));
        default:
            thread.detach();
            return failure(StartError::thread_gone);
    }
}

void Publisher::stop(Blocking& blocking) {
    std::unique_lock slot = lock_blocking(slot_lock_, blocking);
    counters_->stop.store(true);
    std::optional<std::thread> thread;
    thread.swap(thread_);
    if (thread) {
        BlockingScope joining(blocking);
        thread->join();
    }
}

void Publisher::dispose() {
    counters_->stop.store(true);
    std::lock_guard slot(slot_lock_);
    if (thread_) {
        thread_->join();
        thread_.reset();
    }
}

Stats Publisher::stats() const noexcept {
    const Counters& counters = *counters_;
    return {
        .frames_sent = counters.frames_sent.load(),
        .send_errors = counters.send_errors.load(),
        .late_frames = counters.late_frames.load(),
        .max_lateness_ns = counters.max_lateness_ns.load(),
    };
}

}  // namespace valdrin::io::sv_engine
