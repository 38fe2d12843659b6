// What the GOOSE benchmarks share: timing helpers and the typical data set
// of 30 entries (ten structures of stVal, q and t; ten floats; ten integers).
#pragma once

#include <bit>
#include <chrono>
#include <cstdint>
#include <vector>

#include "data.hpp"

namespace bench {

constexpr int kRepetitions = 21;  // interleaved; the best of each resists a busy machine

// Keeps the compiler from dropping or folding work on `p`.
template <typename T>
void escape(T* p) {
    asm volatile("" : : "g"(p) : "memory");
}

inline double now_ns() {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Quality: 13 bits in two octets, 3 unused; good, but the second validity
// bit pattern varies so that not every entry is alike.
inline const std::uint8_t kQuality[2][2] = {{0x00, 0x00}, {0x40, 0x00}};

inline std::vector<valdrin::data::Data> all_data() {
    using valdrin::data::Data;
    std::vector<Data> list;
    for (std::uint32_t i = 0; i < 10; ++i) {
        list.push_back(Data::of_struct(3));
        list.push_back(Data::of_bool(i % 2 == 0));
        list.push_back(Data::of_bits(3, kQuality[i % 2]));
        list.push_back(Data::of_utc({1700000000 + i, 0x35C28F * i & 0xFFFFFF, 0x0A}));
    }
    for (int i = 0; i < 10; ++i) list.push_back(Data::of_f32(std::bit_cast<std::uint32_t>(230.5f + 1.25f * i)));
    for (std::int64_t i = 0; i < 10; ++i) list.push_back(Data::of_int(i * 1000 - 3000));
    return list;
}

}  // namespace bench
