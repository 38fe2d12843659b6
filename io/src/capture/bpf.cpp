#include "bpf.hpp"

#include <linux/if_packet.h>

#include <array>
#include <cstdint>

namespace valdrin::io {
namespace {

constexpr std::uint32_t GOOSE = 0x88B8;
constexpr std::uint32_t SV = 0x88BA;
constexpr std::uint32_t TPID = 0x8100;

constexpr sock_filter stmt(std::uint16_t code, std::uint32_t k) { return {code, 0, 0, k}; }
constexpr sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return {code, jt, jf, k};
}

constexpr std::uint16_t LDH_ABS = BPF_LD | BPF_H | BPF_ABS;
constexpr std::uint16_t LD_ABS = BPF_LD | BPF_W | BPF_ABS;
constexpr std::uint16_t JEQ = BPF_JMP | BPF_JEQ | BPF_K;
constexpr std::uint16_t RET = BPF_RET | BPF_K;
// Ancillary loads: the packet type, and the tag the kernel moved out of
// the frame (a received tagged frame reaches packet sockets untagged, its
// tag in the socket buffer's metadata; a sent one keeps it in band).
constexpr std::uint32_t AD_PKTTYPE = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE);
constexpr std::uint32_t AD_TAG_PRESENT =
    static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT);
constexpr std::uint32_t AD_TPID = static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TPID);

// Jump offsets count from the next instruction. Both programs end in the
// same 16 instructions; the incoming-only one first sends outgoing frames
// to the final drop.
//   k+0  ldh [12]                      EtherType (or TPID when tagged in band)
//   k+1  jeq GOOSE -> accept_meta
//   k+2  jeq SV    -> accept_meta
//   k+3  jeq 8100  ?  : drop           a tag in band
//   k+4  ld  tag_present
//   k+5  jeq 0     ?  : drop           and one out of band: two tags
//   k+6  ldh [16]                      EtherType after the tag
//   k+7  jeq GOOSE -> accept
//   k+8  jeq SV    -> accept : drop
//   k+9  drop
//   k+10 accept_meta: ld tag_present   untagged, or tagged out of band
//   k+11 jeq 0 -> accept ; else check that the tag removed was 802.1Q
//   k+12 ld tpid
//   k+13 jeq 8100 -> accept : drop
//   k+14 accept
//   k+15 drop
#define VALDRIN_PROCESS_BUS_TAIL                                                        \
    stmt(LDH_ABS, 12), jump(JEQ, GOOSE, 8, 0), jump(JEQ, SV, 7, 0), jump(JEQ, TPID, 0, 5), \
        stmt(LD_ABS, AD_TAG_PRESENT), jump(JEQ, 0, 0, 3), stmt(LDH_ABS, 16),               \
        jump(JEQ, GOOSE, 6, 0), jump(JEQ, SV, 5, 0), /* drop */ stmt(RET, 0),              \
        /* accept_meta */ stmt(LD_ABS, AD_TAG_PRESENT), jump(JEQ, 0, 2, 0),                \
        stmt(LD_ABS, AD_TPID), jump(JEQ, TPID, 0, 1), /* accept */ stmt(RET, 0xFFFFFFFF),  \
        stmt(RET, 0)

constexpr std::array all_directions{VALDRIN_PROCESS_BUS_TAIL};
// From instruction 1, the jump to the tail's last one, the drop.
constexpr auto LAST = static_cast<std::uint8_t>(all_directions.size() - 1);
constexpr std::array incoming_only{stmt(LD_ABS, AD_PKTTYPE),
                                   jump(JEQ, PACKET_OUTGOING, LAST, 0),
                                   VALDRIN_PROCESS_BUS_TAIL};
#undef VALDRIN_PROCESS_BUS_TAIL

}  // namespace

std::span<const sock_filter> process_bus_filter(bool include_outgoing) noexcept {
    if (include_outgoing) return all_directions;
    return incoming_only;
}

}  // namespace valdrin::io
