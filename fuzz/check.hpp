// What every fuzz target asserts: a property that fails aborts the run
// with its text, which libFuzzer reports as a finding with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "ber.hpp"

namespace valdrin::fuzz {

using ber::Bytes;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "property failed at %s:%d: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? void() : ::valdrin::fuzz::fail(#condition, __FILE__, __LINE__))

// `view` lies inside `input` (an empty view anywhere within or at its end).
inline bool inside(Bytes view, Bytes input) {
    const auto begin = reinterpret_cast<std::uintptr_t>(input.data());
    const auto end = begin + input.size();
    const auto at = reinterpret_cast<std::uintptr_t>(view.data());
    if (view.empty()) return view.data() == nullptr || (at >= begin && at <= end);
    return at >= begin && at <= end && view.size() <= end - at;
}

// An error's message: never empty, always within the text's capacity.
template <class Error, class Describe>
void check_message(const Error& error, Describe&& describe) {
    ber::Text text;
    describe(error, text);
    FUZZ_CHECK(!text.view().empty());
    FUZZ_CHECK(text.view().size() < ber::Text::CAPACITY);
}

}  // namespace valdrin::fuzz
