// The one-shot report a worker thread gives its starter once it has set
// itself up: success, an error text, or nothing at all when it ended first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace valdrin::io {

// The report, shared by the starter (who waits) and the thread's Reporter.
class SetupReport {
public:
    enum class State { Pending, Ok, Failed, Gone };

    // Blocks until the thread has reported or is gone; returns the outcome
    // and, for `failed`, the error text in `text`.
    State wait(std::string& text);
    // Records the first outcome and wakes the waiter; later ones are ignored.
    void report(State state, std::string text = {});

private:
    std::mutex lock_;
    std::condition_variable changed_;
    State state_ = State::Pending;
    std::string text_;
};

// The reporting end, held by the thread: reports `gone` if destroyed before
// it reported anything.
class Reporter {
public:
    explicit Reporter(std::shared_ptr<SetupReport> report) : report_(std::move(report)) {}
    Reporter(Reporter&&) noexcept = default;
    Reporter(const Reporter&) = delete;
    ~Reporter();
    // Reports success; the report is let go of.
    void ok();
    // Reports failure with the message `text`; the report is let go of.
    void failed(std::string text);

private:
    std::shared_ptr<SetupReport> report_;
};

// Pins the calling thread to `cpu` and raises it to SCHED_FIFO at
// `priority`, each if given, then reports. Returns false when the thread is
// to end: after reporting the failure, or unreported (its end reads as
// "gone") for a CPU no cpu_set_t can hold.
[[nodiscard]] bool set_up_thread(std::optional<std::uint64_t> cpu, std::optional<std::int32_t> priority,
                                 Reporter& reporter);

}  // namespace valdrin::io
