#include "prp.hpp"

#include <algorithm>
#include <cstring>

#include "octets.hpp"

namespace valdrin::prp {

namespace {

using octets::load_be16;
using octets::store_be16;

constexpr std::uint16_t SIZE_MASK = 0x0FFF;
constexpr int ID_SHIFT = 12;
// Supervision: path/version, sequence, TLV 20 (2 + 6), TLV 0 (2).
constexpr std::size_t SUPERVISION_BODY = 2 + 2 + 8 + 2;

}  // namespace

std::size_t link_header_size(Bytes frame) noexcept {
    using ethernet::UNTAGGED_SIZE, ethernet::TAG_SIZE;
    if (frame.size() < UNTAGGED_SIZE) return 0;
    if (load_be16(frame.data() + 12) != ethernet::TPID) return UNTAGGED_SIZE;
    return frame.size() < UNTAGGED_SIZE + TAG_SIZE ? 0 : UNTAGGED_SIZE + TAG_SIZE;
}

std::expected<Tagged, Error> read_trailer(Bytes frame) noexcept {
    const std::size_t n = frame.size();
    if (n < TRAILER_SIZE) return std::unexpected(Error::NoTrailer);
    const std::uint8_t* t = frame.data() + n - TRAILER_SIZE;
    const std::uint16_t id_size = load_be16(t + 2);
    const auto id = static_cast<std::uint8_t>(id_size >> ID_SHIFT);
    if (load_be16(t + 4) != SUFFIX || (id != 0xA && id != 0xB)) return std::unexpected(Error::NoTrailer);
    const std::size_t header = link_header_size(frame.first(n - TRAILER_SIZE));
    if (header == 0) return std::unexpected(Error::FrameTooShort);
    return Tagged{
        .frame = frame.first(n - TRAILER_SIZE),
        .trailer = {load_be16(t), id, static_cast<std::uint16_t>(id_size & SIZE_MASK)},
        .expected_lsdu_size = n - header,
    };
}

std::expected<std::size_t, Error> trailed_size(std::size_t frame_size, std::size_t header_size) noexcept {
    if (frame_size < header_size || header_size < ethernet::UNTAGGED_SIZE) {
        return std::unexpected(Error::FrameTooShort);
    }
    const std::size_t size = std::max(frame_size + TRAILER_SIZE, MIN_FRAME_SIZE);
    if (size - header_size > MAX_LSDU_SIZE) return std::unexpected(Error::LsduTooLarge);
    return size;
}

std::expected<std::size_t, Error> write_trailer(std::span<std::uint8_t> buffer, std::size_t frame_size,
                                                std::uint16_t seq, Lan lan) noexcept {
    if (frame_size > buffer.size()) return std::unexpected(Error::BufferTooSmall);
    const std::size_t header = link_header_size(Bytes(buffer.data(), frame_size));
    auto size = trailed_size(frame_size, header);
    if (!size) return size;
    if (*size > buffer.size()) return std::unexpected(Error::BufferTooSmall);
    std::uint8_t* t = buffer.data() + *size - TRAILER_SIZE;
    std::fill(buffer.data() + frame_size, t, std::uint8_t{0});
    const auto trailer = trailer_octets(seq, lan, *size - header);
    std::copy(trailer.begin(), trailer.end(), t);
    return size;
}

std::expected<Supervision, Error> read_supervision(Bytes frame) noexcept {
    const std::size_t header = link_header_size(frame);
    if (header == 0 || !std::equal(SUPERVISION_MAC.begin(), SUPERVISION_MAC.end() - 1, frame.begin()) ||
        load_be16(frame.data() + header - 2) != ETHERTYPE_SUPERVISION) {
        return std::unexpected(Error::NotSupervision);
    }
    Bytes body = frame.subspan(header);
    if (body.size() < 6) return std::unexpected(Error::SupervisionTooShort);
    const std::uint16_t path_version = load_be16(body.data());
    Supervision out{
        .path = static_cast<std::uint8_t>(path_version >> ID_SHIFT),
        .version = static_cast<std::uint16_t>(path_version & SIZE_MASK),
        .seq = load_be16(body.data() + 2),
        .tlv_type = body[4],
        .node = {},
        .redbox = std::nullopt,
    };
    if ((out.tlv_type != TLV_DUPLICATE_DISCARD && out.tlv_type != TLV_DUPLICATE_ACCEPT) || body[5] != 6) {
        return std::unexpected(Error::SupervisionTlv);
    }
    if (body.size() < 12) return std::unexpected(Error::SupervisionTooShort);
    std::memcpy(out.node.data(), body.data() + 6, 6);
    // An optional RedBox TLV; anything else after the node's TLV is left unread.
    if (body.size() >= 20 && body[12] == TLV_REDBOX && body[13] == 6) {
        out.redbox.emplace();
        std::memcpy(out.redbox->data(), body.data() + 14, 6);
    }
    return out;
}

std::expected<std::size_t, Error> write_supervision(std::span<std::uint8_t> buffer, const Mac& mac,
                                                    std::uint16_t sup_seq, std::uint16_t seq, Lan lan) noexcept {
    if (buffer.size() < SUPERVISION_FRAME_SIZE) return std::unexpected(Error::BufferTooSmall);
    std::uint8_t* out = buffer.data();
    std::memcpy(out, SUPERVISION_MAC.data(), 6);
    std::memcpy(out + 6, mac.data(), 6);
    store_be16(out + 12, ETHERTYPE_SUPERVISION);
    std::uint8_t* body = out + ethernet::UNTAGGED_SIZE;
    store_be16(body, SUPERVISION_VERSION);  // path 0
    store_be16(body + 2, sup_seq);
    body[4] = TLV_DUPLICATE_DISCARD;
    body[5] = 6;
    std::memcpy(body + 6, mac.data(), 6);
    body[12] = TLV_END;
    body[13] = 0;
    return write_trailer(buffer, ethernet::UNTAGGED_SIZE + SUPERVISION_BODY, seq, lan);
}

std::expected<HsrTag, Error> read_hsr(Bytes frame) noexcept {
    const std::size_t header = link_header_size(frame);
    if (header == 0 || load_be16(frame.data() + header - 2) != ETHERTYPE_HSR) return std::unexpected(Error::NotHsr);
    if (frame.size() < header + HSR_TAG_SIZE) return std::unexpected(Error::FrameTooShort);
    const std::uint8_t* tag = frame.data() + header;
    const std::uint16_t path_size = load_be16(tag);
    return HsrTag{
        .path = static_cast<std::uint8_t>(path_size >> ID_SHIFT),
        .lsdu_size = static_cast<std::uint16_t>(path_size & SIZE_MASK),
        .seq = load_be16(tag + 2),
        .ethertype = load_be16(tag + 4),
        .at = header - 2,
        .expected_lsdu_size = frame.size() - header,
    };
}

std::expected<std::size_t, Error> untag_hsr(Bytes frame, const HsrTag& tag, std::span<std::uint8_t> buffer) noexcept {
    if (tag.at + 2 + HSR_TAG_SIZE > frame.size()) return std::unexpected(Error::FrameTooShort);
    const std::size_t size = frame.size() - HSR_TAG_SIZE;
    if (buffer.size() < size) return std::unexpected(Error::BufferTooSmall);
    // The link header up to the tag's EtherType, then the frame's own
    // EtherType and everything after it.
    std::memcpy(buffer.data(), frame.data(), tag.at);
    std::memcpy(buffer.data() + tag.at, frame.data() + tag.at + HSR_TAG_SIZE, frame.size() - tag.at - HSR_TAG_SIZE);
    return size;
}

}  // namespace valdrin::prp
