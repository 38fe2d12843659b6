// Small OS helpers of the capture side: error texts and an fd owner.
// The publisher's thread has its own copies (src/engine/transmit.hpp); the
// two are meant to become one when both live in io/.
#pragma once

#include <string>
#include <string_view>

namespace valdrin::io {

// Returns "<strerror(error)> (os error <error>)".
[[nodiscard]] std::string os_text(int error);

// Returns "<context>: <strerror(error)> (os error <error>)".
[[nodiscard]] std::string os_error(std::string_view context, int error);

// An open file descriptor, closed when its owner lets go of it.
class Fd {
public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }

    // The descriptor, -1 when none is held.
    [[nodiscard]] int get() const noexcept { return fd_; }
    // Gives the descriptor up to the caller, who then closes it.
    [[nodiscard]] int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor, if any.
    void close() noexcept;

private:
    int fd_ = -1;
};

}  // namespace valdrin::io
