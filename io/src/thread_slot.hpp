// The one worker thread a publisher may run at a time: started, stopped and
// started again from any thread. The slot lock orders every start() and
// stop(), so that a start() cannot clear the stop flag before a stop() in
// another thread has seen its thread end.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "blocking.hpp"
#include "enum_text.hpp"
#include "failure.hpp"
#include "os_error.hpp"
#include "packet_socket.hpp"
#include "setup_report.hpp"

namespace valdrin::io {

// Why start() did not leave a thread running, in the order its steps run.
enum class StartError : std::uint8_t {
    AlreadyStarted,  // a thread of this slot runs
    Socket,          // the packet socket could not be opened (SocketFailure's text)
    NoThread,        // the thread could not be created (the OS text)
    Setup,           // the thread reported a failed set-up (its text)
    ThreadGone,      // the thread ended before reporting (the slot's own text)
};

// Per StartError: the whole message (already_started) or what the failure
// is, its message being the detail it carries.
inline constexpr auto start_error_texts = std::to_array<EnumText<StartError>>({
    {StartError::AlreadyStarted, "already started"},
    {StartError::Socket, "the packet socket could not be opened"},
    {StartError::NoThread, "the thread could not be created"},
    {StartError::Setup, "the thread's set-up failed"},
    {StartError::ThreadGone, "the thread ended during setup"},
});
static_assert(rows_in_order(start_error_texts, StartError::ThreadGone), "one row per StartError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(StartError error) noexcept {
    return text_of(start_error_texts, error);
}

// A failed start() and its complete message.
using StartFailure = Failure<StartError>;

class ThreadSlot {
public:
    // An empty slot whose threads poll `stop` and, if `wake` is given, sleep
    // on it (changed and woken on every stop); both outlive the slot.
    // `gone_text` is thread_gone's message, naming the slot's thread.
    ThreadSlot(std::string_view gone_text, std::atomic<bool>& stop,
               std::atomic<std::uint32_t>* wake = nullptr) noexcept
        : gone_text_(gone_text), stop_(stop), wake_(wake) {}
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Opens a packet socket on `iface` and runs `spawn(socket, reporter,
    // resume)`, which returns the started thread (or throws the
    // std::system_error of its creation), `resume` telling whether an earlier
    // thread of this slot reported success; then waits for the thread's
    // set-up report and keeps it running on success. Fails with
    // StartError's already_started, socket, no_thread, setup or thread_gone,
    // in that order of steps. The wait for the slot lock and for the report
    // run inside `blocking`'s hooks.
    template <class Spawn>
    [[nodiscard]] std::expected<void, StartFailure> start(Blocking& blocking, std::string_view iface, Spawn&& spawn);

    // Sets the stop flag and joins the thread, if one runs; the join runs
    // inside `blocking`'s hooks. The flag is set and the thread joined under
    // the lock start() takes, so that a start() in another thread cannot
    // clear the flag before this thread has been seen to stop.
    void stop(Blocking& blocking);

    // As stop(), with no hooks and the flag set before the lock is taken:
    // for the owner letting go, when no other caller is left. Throws what
    // locking or joining throws.
    void dispose();

private:
    // Sets the stop flag and wakes the thread.
    void signal_stop() noexcept;

    std::string_view gone_text_;
    std::atomic<bool>& stop_;
    std::atomic<std::uint32_t>* wake_;
    std::mutex lock_;  // guards thread_ and has_run_
    std::optional<std::thread> thread_;
    bool has_run_ = false;  // a thread of this slot reported success
};

template <class Spawn>
std::expected<void, StartFailure> ThreadSlot::start(Blocking& blocking, std::string_view iface, Spawn&& spawn) {
    // The failure with the OS's text, or with the error's own message.
    const auto failure_with = [](StartError error, std::string text) {
        return std::unexpected(StartFailure{error, std::move(text)});
    };
    const auto failure = [&](StartError error) { return failure_with(error, std::string(describe(error))); };
    std::unique_lock slot = lock_blocking(lock_, blocking);
    if (thread_) return failure(StartError::AlreadyStarted);
    auto socket = open_sending_socket(iface);
    if (!socket) return failure_with(StartError::Socket, std::move(socket.error().text));
    // No thread of this slot runs now: a stop() of an earlier run is over,
    // and this run starts afresh.
    stop_.store(false);
    auto report = std::make_shared<SetupReport>();
    std::thread thread;
    try {
        thread = spawn(std::move(*socket), Reporter(report), has_run_);
    } catch (const std::system_error& e) {
        // The thread's arguments, the socket among them, are gone.
        return failure_with(StartError::NoThread, os_text(e.code().value()));
    }
    std::string text;
    SetupReport::State outcome;
    {
        BlockingScope waiting(blocking);
        outcome = report->wait(text);
    }
    switch (outcome) {
        case SetupReport::State::Ok:
            thread_ = std::move(thread);
            has_run_ = true;
            return {};
        case SetupReport::State::Failed: {
            BlockingScope waiting(blocking);
            thread.join();  // it ends right after reporting
        }
            return failure_with(StartError::Setup, std::move(text));
        default:
            thread.detach();
            return failure_with(StartError::ThreadGone, std::string(gone_text_));
    }
}

}  // namespace valdrin::io
