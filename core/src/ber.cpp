#include "ber.hpp"

#include <algorithm>
#include <cstring>

#include "enum_text.hpp"

namespace valdrin::ber {

// --- Text ---------------------------------------------------------------------

Text& Text::append(std::string_view text) noexcept {
    const std::size_t n = std::min(text.size(), CAPACITY - size_);
    std::memcpy(buffer_.data() + size_, text.data(), n);
    size_ += n;
    return *this;
}

Text& Text::append_decimal(std::uint64_t value) noexcept {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[sizeof digits - ++n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return append({digits + sizeof digits - n, n});
}

Text& Text::append_hex(std::uint64_t value) noexcept {
    static constexpr char hex[] = "0123456789ABCDEF";
    char digits[16];
    std::size_t n = 0;
    do {
        digits[sizeof digits - ++n] = hex[value & 0xF];
        value >>= 4;
    } while (value != 0);
    return append({digits + sizeof digits - n, n});
}

// --- Errors -------------------------------------------------------------------

namespace {

// The fixed texts, in the order of BerErrorKind; Truncated is composed.
constexpr auto messages = std::to_array<EnumText<BerErrorKind>>({
    {BerErrorKind::MissingTag, "missing tag"},
    {BerErrorKind::TruncatedHighNumberTag, "truncated high-number tag"},
    {BerErrorKind::MissingLength, "missing length"},
    {BerErrorKind::IndefiniteLength, "indefinite length is not supported"},
    {BerErrorKind::TruncatedLongFormLength, "truncated long-form length"},
    {BerErrorKind::Truncated, "TLV truncated"},
    {BerErrorKind::EmptyInteger, "empty INTEGER"},
    {BerErrorKind::IntegerAbove64Bits, "INTEGER above 64 bits"},
});
static_assert(rows_in_order(messages, BerErrorKind::IntegerAbove64Bits), "one row per BerErrorKind, in order");

}  // namespace

void describe(const BerError& error, Text& out) noexcept {
    if (error.kind != BerErrorKind::Truncated) {
        out.append(text_of(messages, error.kind));
        return;
    }
    out.append("TLV 0x").append_hex(error.tag).append(" truncated: needs ");
    out.append_decimal(error.needs).append(" bytes, ").append_decimal(error.left).append(" left");
}

// --- Reading ------------------------------------------------------------------

std::expected<Tlv, BerError> decode_tlv_general(Bytes input, std::size_t pos) noexcept {
    const std::size_t n = input.size();
    if (pos >= n) return std::unexpected(BerError{BerErrorKind::MissingTag});

    std::size_t at = pos;
    Tag tag = input[at++];
    if ((tag & 0x1F) == 0x1F) {  // high-number form: octets up to one with bit 8 clear
        for (;;) {
            if (at >= n) return std::unexpected(BerError{BerErrorKind::TruncatedHighNumberTag});
            const std::uint8_t octet = input[at++];
            tag = octets::add_sat(octets::mul_sat(tag, 256), octet);  // 0xFFFFFFFF past four octets
            if ((octet & 0x80) == 0) break;
        }
    }

    if (at >= n) return std::unexpected(BerError{BerErrorKind::MissingLength});
    const std::uint8_t first = input[at++];
    std::uint64_t length = first;
    if (first == 0x80) return std::unexpected(BerError{BerErrorKind::IndefiniteLength});
    if (first > 0x80) {
        const std::size_t count = first - 0x80;
        if (count > n - at) return std::unexpected(BerError{BerErrorKind::TruncatedLongFormLength});
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = octets::add_sat(octets::mul_sat(length, 256), input[at++]);
    }
    const std::size_t left = n - at;
    if (length > left) return std::unexpected(BerError::truncated(tag, length, left));
    const auto size = static_cast<std::size_t>(length);
    return Tlv{input.subspan(at, size), size, at + size, tag};
}

std::optional<std::expected<Tlv, BerError>> Tlvs::next() noexcept {
    if (reader_.empty()) return std::nullopt;
    if (auto tlv = reader_.next()) return *tlv;
    const BerError error = reader_.error();
    reader_.finish();  // a malformed TLV is the last item
    return std::unexpected(error);
}

std::size_t Tlvs::count() noexcept {
    std::size_t n = 0;
    while (next()) ++n;
    return n;
}

// --- Writing ------------------------------------------------------------------

std::expected<void, WriteFull> Writer::put_bytes(Bytes octets) noexcept {
    if (octets.size() > buffer_.size() - std::min(pos_, buffer_.size())) {
        return std::unexpected(WriteFull{});
    }
    if (!octets.empty()) std::memcpy(buffer_.data() + pos_, octets.data(), octets.size());
    pos_ += octets.size();
    return {};
}

std::expected<void, WriteFull> Writer::put_length(std::size_t length) noexcept {
    if (length < 0x80) {
        const std::uint8_t octet = static_cast<std::uint8_t>(length);
        return put_bytes({&octet, 1});
    }
    const std::size_t count = length_size(length) - 1;
    const std::uint8_t first = static_cast<std::uint8_t>(0x80 + count);
    if (auto written = put_bytes({&first, 1}); !written) return written;
    std::uint8_t value[8];
    octets::store_be({value, count}, length);
    return put_bytes({value, count});
}

std::expected<void, WriteFull> Writer::put_header(Tag tag, std::size_t length) noexcept {
    const std::size_t size = tag_size(tag);
    std::uint8_t identifier[4];
    octets::store_be({identifier, size}, tag);
    if (auto written = put_bytes({identifier, size}); !written) return written;
    return put_length(length);
}

std::expected<void, WriteFull> Writer::put_tlv(Tag tag, Bytes content) noexcept {
    const std::uint8_t octet = static_cast<std::uint8_t>(tag);
    if (auto written = put_bytes({&octet, 1}); !written) return written;
    if (auto written = put_length(content.size()); !written) return written;
    return put_bytes(content);
}

}  // namespace valdrin::ber
