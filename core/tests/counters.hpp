// smpCnt sequences for the counter tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace valdrin::test {

// The counters [from, to).
inline std::vector<std::uint16_t> range(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint16_t> out;
    for (std::uint32_t c = from; c < to; ++c) out.push_back(static_cast<std::uint16_t>(c));
    return out;
}

// The sequences one after the other.
inline std::vector<std::uint16_t> join(std::initializer_list<std::vector<std::uint16_t>> parts) {
    std::vector<std::uint16_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace valdrin::test
