// The transmit thread: socket set-up, CPU pinning and real-time priority,
// then one period after another: render every stream, sleep until the
// period's absolute time, send all frames with one sendmmsg, count.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config.hpp"
#include "counters.hpp"

namespace valdrin::engine {

// "<context>: <strerror(errno)> (os error <errno>)", for the calling
// thread's errno; called right after the failed system call.
std::string os_error(std::string_view context);
// "<strerror(n)> (os error <n>)".
std::string os_text(int error);

// An open file descriptor, closed when its owner lets go of it.
class Socket {
public:
    Socket() noexcept = default;
    explicit Socket(int fd) noexcept : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    int get() const noexcept { return fd_; }
    int release() noexcept;
    void close() noexcept;

private:
    int fd_ = -1;
};

// Opens an AF_PACKET socket for sending only, bound to interface `index`;
// on failure returns none and sets `error` to the OS text with its context.
std::optional<Socket> open_packet_socket(unsigned index, std::string& error);

// The thread's one-shot set-up report: success, an error text, or nothing
// at all when the thread ended before reporting.
class SetupReport {
public:
    enum class State { pending, ok, failed, gone };

    // Blocks until the thread has reported or is gone; returns the outcome
    // and, for `failed`, the error text in `text`.
    State wait(std::string& text);
    void report(State state, std::string text = {});

private:
    std::mutex lock_;
    std::condition_variable changed_;
    State state_ = State::pending;
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
    void ok();
    void failed(std::string text);

private:
    std::shared_ptr<SetupReport> report_;
};

// The body of the thread "sv-engine": set-up, report, then pace and send
// until the stop flag is seen. Holds `config` and `counters` for its life
// and closes `socket` when it ends. The first frame carries start_second,
// or, when `resume` (a run after a stop), the first period not yet due.
void transmit(std::shared_ptr<const Config> config, std::shared_ptr<Counters> counters,
              Socket socket, Reporter reporter, bool resume) noexcept;

}  // namespace valdrin::engine
