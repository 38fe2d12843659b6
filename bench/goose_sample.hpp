// What the GOOSE benchmarks share: timing helpers, the typical data set of
// 30 entries (ten structures of stVal, q and t; ten floats; ten integers)
// and the PDU and link header around it.
#pragma once

#include <bit>
#include <chrono>
#include <cstdint>
#include <vector>

#include "data.hpp"
#include "ethernet.hpp"
#include "goose.hpp"

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

// The typical PDU around `values` (from all_data, which must outlive it).
inline valdrin::goose::GoosePdu sample_pdu(const std::vector<valdrin::data::Data>& values) {
    return {.gocb_ref = "IED1CTRL/LLN0$GO$gcbStatus",
            .time_allowed_to_live = 2000,
            .dat_set = "IED1CTRL/LLN0$StatusDs",
            .go_id = "IED1_Status",
            .t = {1700000000, 0x400000, 0x0A},
            .st_num = 12,
            .sq_num = 3456,
            .conf_rev = 1,
            .num_dat_set_entries = 30,
            .all_data = values};
}

// Its link header: a GOOSE multicast address, VLAN 1 with priority 4.
inline const valdrin::ethernet::FrameHeader kHeader{{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01},
                                                    {0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7},
                                                    valdrin::ethernet::Vlan{1, 4},
                                                    0x0001};

}  // namespace bench
