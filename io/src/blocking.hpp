// What a caller does while an io call waits for another thread: the Python
// binding lets go of the interpreter lock, so that the thread waited for,
// or the one holding a lock, can get on.
#pragma once

#include <mutex>

namespace valdrin::io {

// Hooks called around every blocking wait of an io call, never nested; the
// defaults do nothing (for callers that hold no lock of their own).
class Blocking {
public:
    virtual ~Blocking() = default;
    // Called before the wait begins.
    virtual void enter() noexcept {}
    // Called after the wait is over, before the call goes on.
    virtual void leave() noexcept {}
};

// Calls enter() on construction and leave() on destruction.
class BlockingScope {
public:
    explicit BlockingScope(Blocking& blocking) noexcept : blocking_(blocking) { blocking_.enter(); }
    ~BlockingScope() { blocking_.leave(); }
    BlockingScope(const BlockingScope&) = delete;
    BlockingScope& operator=(const BlockingScope&) = delete;

private:
    Blocking& blocking_;
};

// Returns `mutex` locked; only when another thread holds it is the wait for
// it wrapped in `blocking`'s hooks, so that an uncontended lock costs no
// hook call.
[[nodiscard]] inline std::unique_lock<std::mutex> lock_blocking(std::mutex& mutex, Blocking& blocking) {
    std::unique_lock lock(mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        BlockingScope scope(blocking);
        lock.lock();
    }
    return lock;
}

}  // namespace valdrin::io
