#include "bpf.hpp"

#include <linux/if_packet.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace valdrin::io {
namespace {

constexpr std::uint32_t GOOSE = 0x88B8;
constexpr std::uint32_t SV = 0x88BA;
constexpr std::uint32_t TPID = 0x8100;
constexpr std::uint32_t SUPERVISION = 0x88FB;
constexpr std::uint32_t HSR = 0x892F;

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

// The program's tail for the EtherTypes `types` (N of them); jump offsets
// count from the next instruction. The incoming-only program puts two
// instructions before it, sending outgoing frames to its final drop.
//   0         ldh [12]                  EtherType (or TPID when tagged in band)
//   1..N      jeq type -> accept_meta
//   N+1       jeq 8100  ?  : drop       a tag in band
//   N+2       ld  tag_present
//   N+3       jeq 0     ?  : drop       and one out of band: two tags
//   N+4       ldh [16]                  EtherType after the tag
//   N+5..2N+4 jeq type -> accept
//   2N+5      drop
//   2N+6      accept_meta: ld tag_present   untagged, or tagged out of band
//   2N+7      jeq 0 -> accept ; else check that the tag removed was 802.1Q
//   2N+8      ld tpid
//   2N+9      jeq 8100 -> accept : drop
//   2N+10     accept
//   2N+11     drop
template <std::size_t N>
constexpr std::array<sock_filter, 2 * N + 12> tail(const std::array<std::uint32_t, N>& types) {
    std::array<sock_filter, 2 * N + 12> code{};
    constexpr std::size_t drop = 2 * N + 5, accept_meta = 2 * N + 6, accept = 2 * N + 10;
    const auto to = [](std::size_t target, std::size_t from) { return static_cast<std::uint8_t>(target - from - 1); };
    code[0] = stmt(LDH_ABS, 12);
    for (std::size_t i = 0; i < N; ++i) {
        code[1 + i] = jump(JEQ, types[i], to(accept_meta, 1 + i), 0);
        code[N + 5 + i] = jump(JEQ, types[i], to(accept, N + 5 + i), 0);
    }
    code[N + 1] = jump(JEQ, TPID, 0, to(drop, N + 1));
    code[N + 2] = stmt(LD_ABS, AD_TAG_PRESENT);
    code[N + 3] = jump(JEQ, 0, 0, to(drop, N + 3));
    code[N + 4] = stmt(LDH_ABS, 16);
    code[drop] = stmt(RET, 0);
    code[accept_meta] = stmt(LD_ABS, AD_TAG_PRESENT);
    code[accept_meta + 1] = jump(JEQ, 0, to(accept, accept_meta + 1), 0);
    code[accept_meta + 2] = stmt(LD_ABS, AD_TPID);
    code[accept_meta + 3] = jump(JEQ, TPID, 0, 1);
    code[accept] = stmt(RET, 0xFFFFFFFF);
    code[accept + 1] = stmt(RET, 0);
    return code;
}

// The tail behind two instructions that send outgoing frames to its last, the drop.
template <std::size_t N>
constexpr std::array<sock_filter, N + 2> incoming(const std::array<sock_filter, N>& tail) {
    std::array<sock_filter, N + 2> code{stmt(LD_ABS, AD_PKTTYPE), jump(JEQ, PACKET_OUTGOING, N - 1, 0)};
    for (std::size_t i = 0; i < N; ++i) code[2 + i] = tail[i];
    return code;
}

constexpr std::array PROCESS_BUS{GOOSE, SV};
// With PRP's supervision frames and HSR-tagged frames.
constexpr std::array REDUNDANT{GOOSE, SV, SUPERVISION, HSR};

constexpr auto all_directions = tail(PROCESS_BUS);
constexpr auto incoming_only = incoming(all_directions);
constexpr auto redundant_all = tail(REDUNDANT);
constexpr auto redundant_incoming = incoming(redundant_all);

}  // namespace

std::span<const sock_filter> process_bus_filter(bool include_outgoing, bool redundancy) noexcept {
    if (redundancy) return include_outgoing ? std::span<const sock_filter>(redundant_all) : redundant_incoming;
    if (include_outgoing) return all_directions;
    return incoming_only;
}

}  // namespace valdrin::io
