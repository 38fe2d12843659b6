#include "capture_file/file_reader.hpp"

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace valdrin::io {

std::expected<std::unique_ptr<FileSource>, int> FileSource::open(const char* path) {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return std::unexpected(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return std::unexpected(errno);
    if (S_ISDIR(info.st_mode)) return std::unexpected(EISDIR);
    const std::uint64_t size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (size) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::unique_ptr<FileSource>(new FileSource(std::move(fd), size));
}

std::int64_t FileSource::read(std::span<std::uint8_t> into) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd_.get(), into.data(), into.size());
        if (n >= 0) return n;
        if (errno != EINTR) return -errno;
    }
}

CaptureFileReader::Next CaptureFileReader::next() noexcept {
    if (os_error_) return Next::os_error;
    for (;;) {
        const capfile::Step step = parser_.next({buffer_.data() + begin_, end_ - begin_}, at_end_);
        begin_ += parser_.consumed();
        switch (step) {
        case capfile::Step::record: return Next::record;
        case capfile::Step::end: return Next::end;
        case capfile::Step::error: return Next::error;
        case capfile::Step::need_more:
            if (const int error = fill(parser_.wanted())) {
                os_error_ = error;
                return Next::os_error;
            }
            break;
        }
    }
}

int CaptureFileReader::fill(std::size_t wanted) noexcept {
    // The octets not yet parsed move to the front, then the rest of the buffer fills.
    if (begin_ != 0) {
        if (end_ > begin_) std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buffer_.size() < std::max(wanted, CHUNK)) {
        try {
            buffer_.resize(std::max(wanted, CHUNK));
        } catch (...) {
            return ENOMEM;
        }
    }
    while (end_ < wanted && !at_end_) {
        const std::int64_t n = source_.read({buffer_.data() + end_, buffer_.size() - end_});
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) at_end_ = true;
        end_ += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace valdrin::io
