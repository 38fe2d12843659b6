// The link layer shared by GOOSE and Sampled Values: Ethernet II header,
// optional IEEE 802.1Q tag, EtherType and the APPID header.
//
//   destination MAC (6) | source MAC (6) | [TPID 8100 (2) | TCI (2)] |
//   EtherType (2) | APPID (2) | Length (2) | reserved1 (2) | reserved2 (2) | APDU
//
// Length counts from the APPID field to the end of the APDU. Octets after
// the APDU (padding, a frame check sequence) do not belong to the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>

#include "ber.hpp"
#include "octets.hpp"

namespace valdrin::ethernet {

using ber::Bytes;
// A MAC address, octets in wire order.
using Mac = std::array<std::uint8_t, 6>;

// The EtherTypes of GOOSE and SV, and the 802.1Q tag protocol identifier.
inline constexpr std::uint16_t ETHERTYPE_GOOSE = 0x88B8;
inline constexpr std::uint16_t ETHERTYPE_SV = 0x88BA;
inline constexpr std::uint16_t TPID = 0x8100;

// The APPID header: APPID, Length, reserved1, reserved2.
inline constexpr std::size_t APPID_HEADER_SIZE = 8;
// Destination, source and EtherType.
inline constexpr std::size_t UNTAGGED_SIZE = 14;
// The 802.1Q tag: TPID and TCI.
inline constexpr std::size_t TAG_SIZE = 4;

// A received frame of the EtherType asked for; a view into the input.
struct Frame {
    Bytes payload;  // the APDU: Length minus 8 octets, possibly none
    std::uint16_t app_id;
    std::uint16_t reserved1;
    std::uint16_t reserved2;
    Mac dst_mac;
    Mac src_mac;
    std::uint16_t ethertype;
    // Both present exactly when the frame carries an 802.1Q tag; the DEI bit
    // is not reported.
    std::optional<std::uint8_t> vlan_priority;
    std::optional<std::uint16_t> vlan_id;
};

// The EtherType of `raw`, which starts at the destination MAC: the one
// after an 802.1Q tag when it is tagged (0 when too short for either).
[[nodiscard]] inline std::uint16_t ethertype_of(Bytes raw) noexcept;

// Reads `raw`, which starts at the destination MAC, as a frame of
// `ethertype`; nothing when it is too short, of another EtherType, or its
// Length is below 8 or points past the end.
[[nodiscard]] inline std::optional<Frame> parse_frame(Bytes raw, std::uint16_t ethertype) noexcept;

namespace detail {

// The 16-bit field at `at`, which the caller has checked lies inside `raw`.
constexpr std::uint16_t be16(Bytes raw, std::size_t at) noexcept { return octets::load_be16(raw.data() + at); }

// The six octets at `at`, which the caller has checked lie inside `raw`.
inline Mac mac_at(Bytes raw, std::size_t at) noexcept {
    Mac mac;
    std::memcpy(mac.data(), raw.data() + at, mac.size());
    return mac;
}

// TCI: priority in bits 15..13, DEI in bit 12, VLAN id in bits 11..0.
inline constexpr int PRIORITY_SHIFT = 13;
inline constexpr std::uint16_t VLAN_ID_MASK = 0x0FFF;

}  // namespace detail

inline std::uint16_t ethertype_of(Bytes raw) noexcept {
    using namespace detail;
    if (raw.size() < UNTAGGED_SIZE) return 0;
    const std::uint16_t type = be16(raw, 12);
    if (type != TPID) return type;
    // Only one tag, and only 8100: 88A8 and 9100 read as an EtherType.
    return raw.size() < UNTAGGED_SIZE + TAG_SIZE ? 0 : be16(raw, 16);
}

// Inline: the analyzer reads every frame's header through it.
inline std::optional<Frame> parse_frame(Bytes raw, std::uint16_t ethertype) noexcept {
    using namespace detail;
    const std::size_t n = raw.size();
    if (n < UNTAGGED_SIZE) return std::nullopt;

    std::size_t h = UNTAGGED_SIZE;
    std::optional<std::uint8_t> priority;
    std::optional<std::uint16_t> vlan_id;
    if (be16(raw, 12) == TPID) {
        // Only one tag, and only 8100: 88A8 and 9100 read as an EtherType.
        if (n < UNTAGGED_SIZE + TAG_SIZE) return std::nullopt;
        const std::uint16_t tci = be16(raw, 14);
        priority = static_cast<std::uint8_t>(tci >> PRIORITY_SHIFT);
        vlan_id = static_cast<std::uint16_t>(tci & VLAN_ID_MASK);
        h += TAG_SIZE;
    }
    if (be16(raw, h - 2) != ethertype) return std::nullopt;

    // From the APPID on: APPID, Length, reserved1, reserved2, APDU.
    const std::size_t r = n - h;
    if (r < 4) return std::nullopt;
    const std::size_t length = be16(raw, h + 2);
    if (r < APPID_HEADER_SIZE || length < APPID_HEADER_SIZE || length > r) return std::nullopt;

    return Frame{
        .payload = raw.subspan(h + APPID_HEADER_SIZE, length - APPID_HEADER_SIZE),
        .app_id = be16(raw, h),
        .reserved1 = be16(raw, h + 4),
        .reserved2 = be16(raw, h + 6),
        .dst_mac = mac_at(raw, 0),
        .src_mac = mac_at(raw, 6),
        .ethertype = ethertype,
        .vlan_priority = priority,
        .vlan_id = vlan_id,
    };
}

// An 802.1Q tag to write: id 0 to 4095, priority 0 to 7.
struct Vlan {
    std::uint16_t id = 0;
    std::uint8_t priority = 0;
};

// The link header of a frame to write.
struct FrameHeader {
    Mac dst_mac{};
    Mac src_mac{};
    std::optional<Vlan> vlan;
    std::uint16_t app_id = 0;
};

// The octets in front of the APDU: 22, or 26 with a VLAN tag.
[[nodiscard]] constexpr std::size_t header_size(const FrameHeader& header) noexcept {
    return UNTAGGED_SIZE + (header.vlan ? TAG_SIZE : 0) + APPID_HEADER_SIZE;
}

// The checks of header writing, in the order they run. The GOOSE encoder
// reports each as the EncodeError of the same name, which holds the texts.
enum class HeaderCheck : std::uint8_t {
    ApduTooLong,             // value: the APDU size
    VlanIdOutOfRange,        // value: the id
    VlanPriorityOutOfRange,  // value: the priority
    BufferTooSmall,          // value: the frame size
};

// A header that cannot be written: the check that failed and its number.
struct HeaderError {
    HeaderCheck check;
    std::uint64_t value;
    friend bool operator==(const HeaderError&, const HeaderError&) = default;
};

// Checks that a frame of `ethertype` (ETHERTYPE_GOOSE, ETHERTYPE_SV) with
// an APDU of `apdu_size` octets can be written into `buffer`, then writes
// its header there, all but the APDU; returns the frame size. Nothing is
// written when a check fails.
[[nodiscard]] std::expected<std::size_t, HeaderError> write_header(const FrameHeader& header,
                                                                   std::uint16_t ethertype, std::size_t apdu_size,
                                                                   std::span<std::uint8_t> buffer) noexcept;

}  // namespace valdrin::ethernet
