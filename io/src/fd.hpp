// The owner of an open file descriptor: sockets, eventfds, anything that
// close() ends.
#pragma once

namespace valdrin::io {

// An open file descriptor, closed when its owner lets go of it.
class Fd {
public:
    Fd() noexcept = default;
    // Takes ownership of `fd` (negative: none).
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }

    // Returns the descriptor, still owned by this object (-1 for none).
    [[nodiscard]] int get() const noexcept { return fd_; }
    // Returns the descriptor and hands its ownership to the caller.
    [[nodiscard]] int release() noexcept;
    // Closes the descriptor, if any.
    void close() noexcept;

private:
    int fd_ = -1;
};

}  // namespace valdrin::io
