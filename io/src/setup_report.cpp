#include "setup_report.hpp"

namespace valdrin::io {

SetupReport::State SetupReport::wait(std::string& text) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return state_ != State::pending; });
    text = text_;
    return state_;
}

void SetupReport::report(State state, std::string text) {
    {
        std::lock_guard guard(lock_);
        if (state_ != State::pending) return;  // one shot
        state_ = state;
        text_ = std::move(text);
    }
    changed_.notify_all();
}

Reporter::~Reporter() {
    if (report_) report_->report(SetupReport::State::gone);
}

void Reporter::ok() {
    report_->report(SetupReport::State::ok);
    report_.reset();
}

void Reporter::failed(std::string text) {
    report_->report(SetupReport::State::failed, std::move(text));
    report_.reset();
}

}  // namespace valdrin::io
