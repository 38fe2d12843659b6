#include "ethernet.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "octets.hpp"

namespace valdrin::ethernet {

namespace {

// The 16-bit field at `at`, which the caller has checked lies inside `raw`.
constexpr std::uint16_t be16(Bytes raw, std::size_t at) noexcept { return octets::load_be16(raw.data() + at); }

Mac mac_at(Bytes raw, std::size_t at) noexcept {
    Mac mac;
    std::copy_n(raw.begin() + static_cast<std::ptrdiff_t>(at), mac.size(), mac.begin());
    return mac;
}

// TCI: priority in bits 15..13, DEI in bit 12, VLAN id in bits 11..0.
constexpr int PRIORITY_SHIFT = 13;
constexpr std::uint16_t VLAN_ID_MASK = 0x0FFF;
constexpr std::uint16_t MAX_VLAN_ID = 4095;
constexpr std::uint8_t MAX_PRIORITY = 7;

}  // namespace

std::optional<Frame> parse_frame(Bytes raw, std::uint16_t ethertype) noexcept {
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

std::expected<std::size_t, HeaderError> write_header(const FrameHeader& header, std::uint16_t ethertype,
                                                     std::size_t apdu_size, std::span<std::uint8_t> buffer) noexcept {
    // The Length field counts the APPID header too and has 16 bits.
    if (apdu_size > std::numeric_limits<std::uint16_t>::max() - APPID_HEADER_SIZE) {
        return std::unexpected(HeaderError{HeaderCheck::ApduTooLong, apdu_size});
    }
    if (header.vlan) {
        if (header.vlan->id > MAX_VLAN_ID) {
            return std::unexpected(HeaderError{HeaderCheck::VlanIdOutOfRange, header.vlan->id});
        }
        if (header.vlan->priority > MAX_PRIORITY) {
            return std::unexpected(HeaderError{HeaderCheck::VlanPriorityOutOfRange, header.vlan->priority});
        }
    }
    const std::size_t frame_size = header_size(header) + apdu_size;
    if (buffer.size() < frame_size) return std::unexpected(HeaderError{HeaderCheck::BufferTooSmall, frame_size});

    std::uint8_t* out = buffer.data();
    std::memcpy(out, header.dst_mac.data(), 6);
    std::memcpy(out + 6, header.src_mac.data(), 6);
    out += 12;
    if (header.vlan) {
        octets::store_be16(out, TPID);
        // DEI stays 0.
        const auto tci = static_cast<std::uint16_t>(header.vlan->priority << PRIORITY_SHIFT | header.vlan->id);
        octets::store_be16(out + 2, tci);
        out += TAG_SIZE;
    }
    octets::store_be16(out, ethertype);
    octets::store_be16(out + 2, header.app_id);
    octets::store_be16(out + 4, static_cast<std::uint16_t>(apdu_size + APPID_HEADER_SIZE));
    octets::store_be16(out + 6, 0);  // reserved1
    octets::store_be16(out + 8, 0);  // reserved2
    return frame_size;
}

}  // namespace valdrin::ethernet
