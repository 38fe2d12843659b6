// A failed io call: what failed, as a value of the call's error enum, and the
// complete message to show for it (OS texts and names included).
#pragma once

#include <string>

namespace valdrin::io {

template <class Error>
struct Failure {
    Error error;
    std::string text;
};

}  // namespace valdrin::io
