// An enum and its texts: one constexpr table whose rows each hold a value
// beside its whole text, checked against the enum at compile time and read
// by one lookup.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace valdrin {

// One row: an enum value and its text.
template <class Enum>
struct EnumText {
    Enum value;
    std::string_view text;
};

// True when row i of `table` holds the value numbered i and the last row
// holds `last`: every value up to `last` has its row, and a lookup is an index.
template <class Row, std::size_t N, class Enum>
[[nodiscard]] constexpr bool rows_in_order(const std::array<Row, N>& table, Enum last) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(table[i].value) != i) return false;
    }
    return N > 0 && table[N - 1].value == last;
}

// Returns the text of `value` in `table`, "" for a value outside it.
template <class Enum, std::size_t N>
[[nodiscard]] constexpr std::string_view text_of(const std::array<EnumText<Enum>, N>& table, Enum value) noexcept {
    const auto i = static_cast<std::size_t>(value);
    return i < N ? table[i].text : std::string_view{};
}

}  // namespace valdrin
