// Texts for failed system calls, in the one form every io error uses.
#pragma once

#include <string>
#include <string_view>

namespace valdrin::io {

// Returns "<strerror(error)> (os error <error>)".
std::string os_text(int error);

// Returns "<context>: <strerror(errno)> (os error <errno>)" for the calling
// thread's errno; to be called right after the failed system call.
std::string os_error(std::string_view context);

// Returns "<context>: <strerror(error)> (os error <error>)" for an error
// number kept from earlier (a thread records the number, the text is made
// when asked for).
std::string os_error(std::string_view context, int error);

}  // namespace valdrin::io
