#include "octets.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace valdrin::octets {
namespace {

using Octets = std::vector<std::uint8_t>;

// Both ways of evaluating: at compile time the loads and stores take a
// portable path of their own.
static_assert(load_be16(std::array<std::uint8_t, 2>{0x88, 0xB8}.data()) == 0x88B8);
static_assert(load_be32(std::array<std::uint8_t, 4>{0x01, 0x02, 0x03, 0x04}.data()) == 0x01020304);
static_assert([] {
    std::array<std::uint8_t, 8> out{};
    store_be64(out.data(), 0x0102030405060708);
    return out == std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8};
}());

TEST(Octets, FixedWidthLoadsAndStores) {
    const Octets octets{0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10, 0xEE};
    EXPECT_EQ(load_be16(octets.data()), 0xFEDCu);
    EXPECT_EQ(load_be32(octets.data() + 1), 0xDCBA9876u);  // unaligned
    EXPECT_EQ(load_be64(octets.data()), 0xFEDCBA9876543210u);

    Octets out(11, 0xEE);
    store_be16(out.data() + 1, 0x88BA);
    EXPECT_EQ(out, (Octets{0xEE, 0x88, 0xBA, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    store_be32(out.data() + 1, 0x0000FFFF);
    EXPECT_EQ(out, (Octets{0xEE, 0x00, 0x00, 0xFF, 0xFF, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    store_be64(out.data() + 3, 0x8000000000000001);
    EXPECT_EQ(out, (Octets{0xEE, 0x00, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0x01}));
}

TEST(Octets, VariableWidth) {
    const struct { const char* why; Octets octets; std::uint64_t value; } cases[] = {
        {"no octets", {}, 0},
        {"one", {0xFF}, 0xFF},
        {"three, as a UtcTime fraction", {0x12, 0x34, 0x56}, 0x123456},
        {"leading zeros", {0x00, 0x00, 0x01}, 1},
        {"eight", {0x80, 0, 0, 0, 0, 0, 0, 0x01}, 0x8000000000000001},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(load_be(c.octets), c.value) << c.why;
        Octets out(c.octets.size(), 0xEE);
        store_be(out, c.value);
        EXPECT_EQ(out, c.octets) << c.why << ": stored back";
    }
    // Only the last eight of more count; a longer store puts zeros in front.
    EXPECT_EQ(load_be(Octets{0xAA, 1, 2, 3, 4, 5, 6, 7, 8}), 0x0102030405060708u);
    Octets ten(10, 0xEE);
    store_be(ten, 0x0102030405060708);
    EXPECT_EQ(ten, (Octets{0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
    // A shorter store keeps the low octets.
    Octets two(2, 0xEE);
    store_be(two, 0xAABBCC);
    EXPECT_EQ(two, (Octets{0xBB, 0xCC}));
}

TEST(Octets, RoundTripsEveryWidth) {
    // Every octet different, rotated through all positions.
    for (int shift = 0; shift < 64; shift += 4) {
        const std::uint64_t value = std::rotl(std::uint64_t{0x0123456789ABCDEF}, shift);
        std::array<std::uint8_t, 8> out{};
        store_be64(out.data(), value);
        EXPECT_EQ(load_be64(out.data()), value);
        EXPECT_EQ(load_be(out), value);
        store_be32(out.data(), static_cast<std::uint32_t>(value));
        EXPECT_EQ(load_be32(out.data()), static_cast<std::uint32_t>(value));
        store_be16(out.data(), static_cast<std::uint16_t>(value));
        EXPECT_EQ(load_be16(out.data()), static_cast<std::uint16_t>(value));
    }
}

TEST(Octets, SaturatingArithmetic) {
    constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
    const struct { const char* why; std::size_t a, b, sum, product; } cases[] = {
        {"small", 3, 4, 7, 12},
        {"zero", 0, max, max, 0},
        {"sum just fits", max - 1, 1, max, max - 1},
        {"sum one over", max, 1, max, max},
        {"both large", max / 2 + 1, max / 2 + 1, max, max},
        {"product just fits", max / 256, 256, max / 256 + 256, max / 256 * 256},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(add_sat(c.a, c.b), c.sum) << c.why;
        EXPECT_EQ(mul_sat(c.a, c.b), c.product) << c.why;
    }
    // 32 bits saturate at their own maximum: the width of a BER tag.
    EXPECT_EQ(mul_sat(std::uint32_t{0x01000000}, 256), 0xFFFFFFFFu);
    EXPECT_EQ(add_sat(mul_sat(std::uint32_t{0x00FFFFFF}, 256), 0xFF), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace valdrin::octets
