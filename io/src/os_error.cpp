#include "os_error.hpp"

#include <cerrno>
#include <cstring>

namespace valdrin::io {

std::string os_text(int error) {
    char buffer[256];
    // GNU strerror_r: returns the message, in `buffer` or a static string.
    const char* message = strerror_r(error, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(error) + ")";
}

std::string os_error(std::string_view context) {
    const int error = errno;  // before building the text can touch it
    return os_error(context, error);
}

std::string os_error(std::string_view context, int error) {
    return std::string(context) + ": " + os_text(error);
}

}  // namespace valdrin::io
