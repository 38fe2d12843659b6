// The redundancy formats of IEC 62439-3: PRP's Redundancy Control Trailer
// and supervision frame, and HSR's tag.
//
// A PRP frame is the ordinary frame with a 6-octet trailer at its end:
//
//   ... EtherType | LSDU ... [padding] | seq (16) | LAN id (4) LSDU size (12) | 88FB
//
// The LSDU size counts the octets from the first one after the EtherType
// (after the 802.1Q tag when there is one) through the trailer. A frame
// shorter than Ethernet's minimum of 60 octets (without the frame check
// sequence) is padded with zeros before the trailer, so that the trailer
// still ends the frame. LAN id 1010 marks LAN A's copy, 1011 LAN B's.
//
// A supervision frame goes to 01-15-4E-00-01-00 with EtherType 88FB:
//
//   path (4) version (12) | supervision seq (16) | TLV 20 or 21, 6: MAC |
//   [TLV 30, 6: RedBox MAC] | TLV 0, 0 | padding | trailer
//
// HSR inserts a tag after the source MAC (after the 802.1Q tag if any):
//
//   dst | src | [8100 TCI] | 892F | path (4) LSDU size (12) | seq (16) | EtherType | ...
//
// where the LSDU size counts from the path field to the frame's end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "enum_text.hpp"
#include "ethernet.hpp"

namespace valdrin::prp {

using ber::Bytes;
using ethernet::Mac;

// The trailer's suffix, which is also the supervision frame's EtherType.
inline constexpr std::uint16_t SUFFIX = 0x88FB;
inline constexpr std::uint16_t ETHERTYPE_SUPERVISION = 0x88FB;
inline constexpr std::uint16_t ETHERTYPE_HSR = 0x892F;
inline constexpr std::size_t TRAILER_SIZE = 6;
inline constexpr std::size_t HSR_TAG_SIZE = 6;
// Ethernet's shortest frame without its frame check sequence.
inline constexpr std::size_t MIN_FRAME_SIZE = 60;
// The LSDU size field has 12 bits.
inline constexpr std::size_t MAX_LSDU_SIZE = 0x0FFF;
// Where supervision frames go (the last octet may be configured; 00 by default).
inline constexpr Mac SUPERVISION_MAC = {0x01, 0x15, 0x4E, 0x00, 0x01, 0x00};
// The supervision TLVs: a node doing duplicate discard, one accepting
// duplicates, a RedBox's MAC, the end.
inline constexpr std::uint8_t TLV_DUPLICATE_DISCARD = 20;
inline constexpr std::uint8_t TLV_DUPLICATE_ACCEPT = 21;
inline constexpr std::uint8_t TLV_REDBOX = 30;
inline constexpr std::uint8_t TLV_END = 0;
// Path 0, version 1: what a PRP node writes.
inline constexpr std::uint16_t SUPERVISION_VERSION = 1;

// The two LANs, numbered as their identifiers' low bit.
enum class Lan : std::uint8_t { A = 0, B = 1 };
// 0 for A, 1 for B: where a LAN's entry is in a pair of per-LAN counts.
[[nodiscard]] constexpr std::size_t lan_index(Lan lan) noexcept { return static_cast<std::size_t>(lan); }
// The 4-bit identifier a node writes for `lan`: 1010 or 1011.
[[nodiscard]] constexpr std::uint8_t lan_id(Lan lan) noexcept { return lan == Lan::A ? 0xA : 0xB; }
// "A" or "B".
[[nodiscard]] constexpr std::string_view lan_name(Lan lan) noexcept { return lan == Lan::A ? "A" : "B"; }

// --- Errors -------------------------------------------------------------------

// Why a trailer, supervision frame or HSR tag cannot be read or written.
enum class Error : std::uint8_t {
    NoTrailer,            // the last six octets are not a trailer (suffix, LAN id 1010 or 1011)
    FrameTooShort,        // no Ethernet header in front of the trailer or tag
    LsduTooLarge,         // the LSDU size does not fit in 12 bits
    BufferTooSmall,       // the caller's buffer cannot hold what is written
    NotSupervision,       // another destination or EtherType than a supervision frame's
    SupervisionTooShort,  // the header or a TLV ends early
    SupervisionTlv,       // the first TLV is not 20 or 21 of length 6
    NotHsr,               // the EtherType is not 892F
};
// Each error and its whole message.
inline constexpr auto error_messages = std::to_array<EnumText<Error>>({
    {Error::NoTrailer, "no redundancy control trailer at the end of the frame"},
    {Error::FrameTooShort, "frame too short for an Ethernet header"},
    {Error::LsduTooLarge, "LSDU size above 4095 octets"},
    {Error::BufferTooSmall, "buffer too small for the frame"},
    {Error::NotSupervision, "not a supervision frame (destination or EtherType)"},
    {Error::SupervisionTooShort, "supervision frame ends inside its header or a TLV"},
    {Error::SupervisionTlv, "supervision frame's first TLV is not a node MAC (type 20 or 21, length 6)"},
    {Error::NotHsr, "no HSR tag (EtherType 892F)"},
});
static_assert(rows_in_order(error_messages, Error::NotHsr), "one row per Error, in order");

// The error's message, e.g. "LSDU size above 4095 octets".
[[nodiscard]] constexpr std::string_view message(Error error) noexcept { return text_of(error_messages, error); }

// --- The Redundancy Control Trailer ---------------------------------------------

// A trailer as read.
struct Trailer {
    std::uint16_t seq = 0;
    std::uint8_t lan_id = 0;      // 0xA or 0xB
    std::uint16_t lsdu_size = 0;  // as written, 12 bits
    friend bool operator==(const Trailer&, const Trailer&) = default;
};

// A PRP frame read: its trailer and the frame in front of it (padding
// included), a view into the input.
struct Tagged {
    Bytes frame;
    Trailer trailer;
    // The LAN the identifier names.
    [[nodiscard]] Lan lan() const noexcept { return trailer.lan_id == 0xA ? Lan::A : Lan::B; }
    // The LSDU size this frame should carry: from after the EtherType
    // (and 802.1Q tag) through the trailer.
    std::size_t expected_lsdu_size = 0;
    [[nodiscard]] bool size_ok() const noexcept { return trailer.lsdu_size == expected_lsdu_size; }
};

// The octets of the link header in front of the LSDU: 14, or 18 with an
// 802.1Q tag; 0 when `frame` is too short for either.
[[nodiscard]] std::size_t link_header_size(Bytes frame) noexcept;

// Reads the trailer that ends `frame` (from the destination MAC on, without
// the frame check sequence): NoTrailer when the last six octets are not
// one, FrameTooShort when no Ethernet header stands in front of it. A wrong
// LSDU size is no error: size_ok() tells.
[[nodiscard]] std::expected<Tagged, Error> read_trailer(Bytes frame) noexcept;

// The size of `frame_size` octets of frame with its padding and trailer:
// LsduTooLarge when the LSDU would not fit in 12 bits, FrameTooShort below
// a link header of `header_size` octets.
[[nodiscard]] std::expected<std::size_t, Error> trailed_size(std::size_t frame_size,
                                                             std::size_t header_size) noexcept;

// The six octets of the trailer of `seq`, `lan` and `lsdu_size` (at most
// MAX_LSDU_SIZE; higher bits are cut).
[[nodiscard]] constexpr std::array<std::uint8_t, TRAILER_SIZE> trailer_octets(std::uint16_t seq, Lan lan,
                                                                             std::size_t lsdu_size) noexcept {
    const auto id_size = static_cast<std::uint16_t>(lan_id(lan) << 12 | (lsdu_size & MAX_LSDU_SIZE));
    return {static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq),
            static_cast<std::uint8_t>(id_size >> 8), static_cast<std::uint8_t>(id_size),
            static_cast<std::uint8_t>(SUFFIX >> 8), static_cast<std::uint8_t>(SUFFIX & 0xFF)};
}

// How often a node sends its supervision frame on each LAN, by default.
inline constexpr std::int64_t SUPERVISION_INTERVAL_NS = 2'000'000'000;

// Appends the padding and a trailer of `seq` and `lan` to the frame in
// `buffer`'s first `frame_size` octets; returns the new frame size
// (trailed_size). Errors as trailed_size, and BufferTooSmall; nothing is
// written on an error.
[[nodiscard]] std::expected<std::size_t, Error> write_trailer(std::span<std::uint8_t> buffer, std::size_t frame_size,
                                                              std::uint16_t seq, Lan lan) noexcept;

// --- Supervision frames -----------------------------------------------------------

// A supervision frame as read.
struct Supervision {
    std::uint8_t path = 0;
    std::uint16_t version = 0;
    std::uint16_t seq = 0;          // the supervision sequence number (not the trailer's)
    std::uint8_t tlv_type = 0;      // 20 (duplicate discard) or 21 (duplicate accept)
    Mac node{};                     // the MAC the frame names
    std::optional<Mac> redbox;      // TLV 30, when present
};

// The size of the supervision frame write_supervision writes, trailer and padding included.
inline constexpr std::size_t SUPERVISION_FRAME_SIZE = MIN_FRAME_SIZE;

// Reads `frame` (its trailer already taken off, or none) as a supervision
// frame: NotSupervision for another destination prefix 01-15-4E-00-01 or
// EtherType, SupervisionTooShort or SupervisionTlv for a malformed one.
[[nodiscard]] std::expected<Supervision, Error> read_supervision(Bytes frame) noexcept;

// Writes the supervision frame of node `mac` (duplicate discard, source
// `mac`, supervision sequence `sup_seq`) with its trailer of `seq` and
// `lan` into `buffer`; returns SUPERVISION_FRAME_SIZE, or BufferTooSmall.
[[nodiscard]] std::expected<std::size_t, Error> write_supervision(std::span<std::uint8_t> buffer, const Mac& mac,
                                                                  std::uint16_t sup_seq, std::uint16_t seq,
                                                                  Lan lan) noexcept;

// --- HSR --------------------------------------------------------------------------

// An HSR tag as read.
struct HsrTag {
    std::uint8_t path = 0;
    std::uint16_t lsdu_size = 0;
    std::uint16_t seq = 0;
    std::uint16_t ethertype = 0;  // the frame's own EtherType, after the tag
    std::size_t at = 0;           // the offset of the tag's EtherType 892F
    std::size_t expected_lsdu_size = 0;  // from the path field to the frame's end
    [[nodiscard]] bool size_ok() const noexcept { return lsdu_size == expected_lsdu_size; }
};

// Reads the HSR tag of `frame`: NotHsr when its EtherType (after one
// 802.1Q tag) is not 892F, FrameTooShort when the tag is cut.
[[nodiscard]] std::expected<HsrTag, Error> read_hsr(Bytes frame) noexcept;

// Writes `frame` without its HSR `tag` (as read_hsr found it) into
// `buffer`; returns the octets written (6 fewer), or BufferTooSmall.
[[nodiscard]] std::expected<std::size_t, Error> untag_hsr(Bytes frame, const HsrTag& tag,
                                                          std::span<std::uint8_t> buffer) noexcept;

}  // namespace valdrin::prp
