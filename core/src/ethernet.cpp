#include "ethernet.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "octets.hpp"

namespace valdrin::ethernet {

namespace {

using detail::PRIORITY_SHIFT;
constexpr std::uint16_t MAX_VLAN_ID = 4095;
constexpr std::uint8_t MAX_PRIORITY = 7;

}  // namespace

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
