// What the core's tests share: octet strings built from TLVs, and the
// message of any error of the core as a std::string.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "ber.hpp"

namespace valdrin::test {

using Octets = std::vector<std::uint8_t>;

// The message `describe` composes for `error` (found by argument-dependent
// lookup in the error's own namespace).
template <class Error>
std::string text_of(const Error& error) {
    ber::Text text;
    describe(error, text);
    return std::string(text.view());
}

// A TLV with a one-octet tag, in short or long (81 nn, 82 nn nn) length form.
inline Octets tlv(std::uint8_t tag, const Octets& content) {
    Octets out{tag};
    const std::size_t n = content.size();
    if (n >= 0x100) out.insert(out.end(), {0x82, std::uint8_t(n >> 8), std::uint8_t(n)});
    else if (n >= 0x80) out.insert(out.end(), {0x81, std::uint8_t(n)});
    else out.push_back(std::uint8_t(n));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A tag and a length in the four-octet long form (84 nn nn nn nn).
inline Octets header4(std::uint8_t tag, std::size_t n) {
    return {tag, 0x84, std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
}

// The parts one after the other.
inline Octets cat(std::initializer_list<Octets> parts) {
    Octets out;
    for (const Octets& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

}  // namespace valdrin::test
