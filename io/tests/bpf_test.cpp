// The capture's kernel filters instruction by instruction: the process bus
// program as it was written out by hand before it was generated, and the
// one that also passes PRP supervision and HSR frames, derived by hand
// from the jump rules (offsets count from the next instruction).
#include "capture/bpf.hpp"

#include <gtest/gtest.h>
#include <linux/if_packet.h>

#include <cstdint>
#include <tuple>
#include <vector>

namespace valdrin::io {
namespace {

using Code = std::vector<std::tuple<std::uint16_t, std::uint8_t, std::uint8_t, std::uint32_t>>;

constexpr std::uint16_t LDH = BPF_LD | BPF_H | BPF_ABS, LD = BPF_LD | BPF_W | BPF_ABS;
constexpr std::uint16_t JEQ = BPF_JMP | BPF_JEQ | BPF_K, RET = BPF_RET | BPF_K;
constexpr std::uint32_t TAG_PRESENT = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT);
constexpr std::uint32_t TPID = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TPID);
constexpr std::uint32_t PKTTYPE = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE);

Code code_of(std::span<const sock_filter> program) {
    Code out;
    for (const sock_filter& f : program) out.emplace_back(f.code, f.jt, f.jf, f.k);
    return out;
}

const Code PROCESS_BUS = {
    {LDH, 0, 0, 12},     {JEQ, 8, 0, 0x88B8}, {JEQ, 7, 0, 0x88BA},      {JEQ, 0, 5, 0x8100},
    {LD, 0, 0, TAG_PRESENT}, {JEQ, 0, 3, 0},  {LDH, 0, 0, 16},          {JEQ, 6, 0, 0x88B8},
    {JEQ, 5, 0, 0x88BA}, {RET, 0, 0, 0},      {LD, 0, 0, TAG_PRESENT},  {JEQ, 2, 0, 0},
    {LD, 0, 0, TPID},    {JEQ, 0, 1, 0x8100}, {RET, 0, 0, 0xFFFFFFFF},  {RET, 0, 0, 0},
};

const Code REDUNDANT = {
    {LDH, 0, 0, 12},        {JEQ, 12, 0, 0x88B8}, {JEQ, 11, 0, 0x88BA}, {JEQ, 10, 0, 0x88FB},
    {JEQ, 9, 0, 0x892F},    {JEQ, 0, 7, 0x8100},  {LD, 0, 0, TAG_PRESENT}, {JEQ, 0, 5, 0},
    {LDH, 0, 0, 16},        {JEQ, 8, 0, 0x88B8},  {JEQ, 7, 0, 0x88BA},  {JEQ, 6, 0, 0x88FB},
    {JEQ, 5, 0, 0x892F},    {RET, 0, 0, 0},       {LD, 0, 0, TAG_PRESENT}, {JEQ, 2, 0, 0},
    {LD, 0, 0, TPID},       {JEQ, 0, 1, 0x8100},  {RET, 0, 0, 0xFFFFFFFF}, {RET, 0, 0, 0},
};

// The incoming-only program: outgoing frames jump to the tail's last instruction, the drop.
Code incoming(const Code& tail) {
    Code out = {{LD, 0, 0, PKTTYPE}, {JEQ, static_cast<std::uint8_t>(tail.size() - 1), 0, PACKET_OUTGOING}};
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

TEST(ProcessBusFilter, EachProgramInstructionByInstruction) {
    struct Case {
        bool outgoing;
        bool redundancy;
        Code expected;
    };
    const Case cases[] = {
        {true, false, PROCESS_BUS},
        {false, false, incoming(PROCESS_BUS)},
        {true, true, REDUNDANT},
        {false, true, incoming(REDUNDANT)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(code_of(process_bus_filter(c.outgoing, c.redundancy)), c.expected)
            << "outgoing " << c.outgoing << ", redundancy " << c.redundancy;
    }
}

}  // namespace
}  // namespace valdrin::io
