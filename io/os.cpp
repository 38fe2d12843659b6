#include "os.hpp"

#include <unistd.h>

#include <cstring>

namespace valdrin::io {

std::string os_text(int error) {
    char buffer[256];
    // GNU strerror_r: returns the message, in `buffer` or a static string.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(error) + ")";
}

std::string os_error(std::string_view context, int error) {
    return std::string(context) + ": " + os_text(error);
}

void Fd::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace valdrin::io
