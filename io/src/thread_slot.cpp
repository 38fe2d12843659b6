#include "thread_slot.hpp"

#include "futex.hpp"

namespace valdrin::io {

void ThreadSlot::signal_stop() noexcept {
    stop_.store(true);
    if (wake_ != nullptr) futex_change_and_wake(*wake_);
}

void ThreadSlot::stop(Blocking& blocking) {
    std::unique_lock slot = lock_blocking(lock_, blocking);
    signal_stop();
    std::optional<std::thread> thread;
    thread.swap(thread_);
    if (thread) {
        BlockingScope joining(blocking);
        thread->join();
    }
}

void ThreadSlot::dispose() {
    signal_stop();
    std::lock_guard slot(lock_);
    if (thread_) {
        thread_->join();
        thread_.reset();
    }
}

}  // namespace valdrin::io
