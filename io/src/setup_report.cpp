#include "setup_report.hpp"

#include <utility>

#include "rt_thread.hpp"

namespace valdrin::io {

SetupReport::State SetupReport::wait(std::string& text) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return state_ != State::Pending; });
    text = text_;
    return state_;
}

void SetupReport::report(State state, std::string text) {
    {
        std::lock_guard guard(lock_);
        if (state_ != State::Pending) return;  // one shot
        state_ = state;
        text_ = std::move(text);
    }
    changed_.notify_all();
}

Reporter::~Reporter() {
    if (report_) report_->report(SetupReport::State::Gone);
}

void Reporter::ok() {
    report_->report(SetupReport::State::Ok);
    report_.reset();
}

void Reporter::failed(std::string text) {
    report_->report(SetupReport::State::Failed, std::move(text));
    report_.reset();
}

bool set_up_thread(std::optional<std::uint64_t> cpu, std::optional<std::int32_t> priority, Reporter& reporter) {
    if (cpu) {
        auto pinned = pin_to_cpu(*cpu);
        if (!pinned) {
            if (pinned.error().error != SchedError::CpuOutOfRange) reporter.failed(std::move(pinned.error().text));
            return false;
        }
    }
    if (priority) {
        auto raised = set_fifo_priority(*priority);
        if (!raised) {
            reporter.failed(std::move(raised.error().text));
            return false;
        }
    }
    reporter.ok();
    return true;
}

}  // namespace valdrin::io
