// Octet helpers under every format of valdrin_core: big-endian loads and
// stores of fixed and variable width, and saturating size arithmetic.
// Header-only and allocation-free; the pointer forms read or write exactly
// the octets their name says, which the caller has checked to exist.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

namespace valdrin::octets {

namespace detail {

// `value` in network order on this machine: swapped on a little-endian one.
template <std::unsigned_integral T>
constexpr T to_big(T value) noexcept {
    if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) return std::byteswap(value);
    return value;
}

// The `sizeof(T)` octets at `in`, big-endian; one unaligned load where it
// is not evaluated at compile time.
template <std::unsigned_integral T>
constexpr T load(const std::uint8_t* in) noexcept {
    if consteval {
        T value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>(value << 8 | in[i]);
        return value;
    } else {
        T value;
        std::memcpy(&value, in, sizeof value);
        return to_big(value);
    }
}

// Writes `value` big-endian into the `sizeof(T)` octets at `out`.
template <std::unsigned_integral T>
constexpr void store(std::uint8_t* out, T value) noexcept {
    if consteval {
        for (std::size_t i = sizeof(T); i-- > 0; value = static_cast<T>(value >> 8)) {
            out[i] = static_cast<std::uint8_t>(value);
        }
    } else {
        value = to_big(value);
        std::memcpy(out, &value, sizeof value);
    }
}

}  // namespace detail

// The two octets at `in` as a big-endian number.
[[nodiscard]] constexpr std::uint16_t load_be16(const std::uint8_t* in) noexcept {
    return detail::load<std::uint16_t>(in);
}
// The four octets at `in` as a big-endian number.
[[nodiscard]] constexpr std::uint32_t load_be32(const std::uint8_t* in) noexcept {
    return detail::load<std::uint32_t>(in);
}
// The eight octets at `in` as a big-endian number.
[[nodiscard]] constexpr std::uint64_t load_be64(const std::uint8_t* in) noexcept {
    return detail::load<std::uint64_t>(in);
}

// The four octets at `in` as a big-endian two's complement number.
[[nodiscard]] constexpr std::int32_t load_be_i32(const std::uint8_t* in) noexcept {
    return static_cast<std::int32_t>(load_be32(in));
}

// Writes `value` big-endian into the two octets at `out`.
constexpr void store_be16(std::uint8_t* out, std::uint16_t value) noexcept { detail::store(out, value); }
// Writes `value` big-endian into the four octets at `out`.
constexpr void store_be32(std::uint8_t* out, std::uint32_t value) noexcept { detail::store(out, value); }
// Writes `value` big-endian into the eight octets at `out`.
constexpr void store_be64(std::uint8_t* out, std::uint64_t value) noexcept { detail::store(out, value); }

// The octets of `in` as one big-endian number: 0 for none; of more than
// eight octets only the last eight count.
[[nodiscard]] constexpr std::uint64_t load_be(std::span<const std::uint8_t> in) noexcept {
    std::uint64_t value = 0;
    for (std::uint8_t octet : in) value = value << 8 | octet;
    return value;
}

// Writes the low `out.size()` octets of `value` big-endian into `out`
// (zeros in front of the eight value octets when `out` is longer).
constexpr void store_be(std::span<std::uint8_t> out, std::uint64_t value) noexcept {
    for (std::size_t i = out.size(); i-- > 0; value >>= 8) out[i] = static_cast<std::uint8_t>(value);
}

// a + b, or the largest T when the sum does not fit: a size that does not
// fit is as hopeless to write as the largest one, and capacity checks say so.
template <std::unsigned_integral T>
[[nodiscard]] constexpr T add_sat(T a, std::type_identity_t<T> b) noexcept {
    T sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<T>::max() : sum;
}

// a * b, or the largest T when the product does not fit.
template <std::unsigned_integral T>
[[nodiscard]] constexpr T mul_sat(T a, std::type_identity_t<T> b) noexcept {
    T product;
    return __builtin_mul_overflow(a, b, &product) ? std::numeric_limits<T>::max() : product;
}

}  // namespace valdrin::octets
