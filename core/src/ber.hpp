// ASN.1 BER tag-length-value reading and writing: the primitives under every
// codec of valdrin_core. Nothing here allocates: the writer copies into a
// buffer its caller owns and sized, the reader returns views into its input.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

namespace valdrin::ber {

// A tag as its identifier octets stand on the wire, read big-endian: 0x61,
// 0xA2, 0xBF21. Class and constructed bit are not split off.
using Tag = std::uint32_t;
using Bytes = std::span<const std::uint8_t>;

// A message built without allocating: fixed capacity, silently cut when
// full (no message of this library comes near it).
class Text {
public:
    static constexpr std::size_t capacity = 256;

    Text& append(std::string_view text) noexcept;
    // Appends `value` in decimal.
    Text& append_decimal(std::uint64_t value) noexcept;
    // Appends `value` in upper-case hexadecimal without leading zeros.
    Text& append_hex(std::uint64_t value) noexcept;
    std::string_view view() const noexcept { return {buffer_.data(), size_}; }

private:
    std::array<char, capacity> buffer_{};
    std::size_t size_ = 0;
};

enum class BerErrorKind : std::uint8_t {
    MissingTag,
    TruncatedHighNumberTag,
    MissingLength,
    IndefiniteLength,
    TruncatedLongFormLength,
    Truncated,
    EmptyInteger,
    IntegerAbove64Bits,
};

// A malformed TLV or INTEGER; only Truncated carries data.
struct BerError {
    BerErrorKind kind;
    Tag tag = 0;
    std::size_t needs = 0;
    std::size_t left = 0;

    static constexpr BerError truncated(Tag tag, std::size_t needs, std::size_t left) noexcept {
        return {BerErrorKind::Truncated, tag, needs, left};
    }
    friend bool operator==(const BerError&, const BerError&) = default;
};

// Appends the error's message, e.g. "TLV 0x4 truncated: needs 5 bytes, 2 left".
void describe(const BerError& error, Text& out) noexcept;

// One TLV read from an input; `content` is a view into that input.
struct Tlv {
    Bytes content;
    std::size_t length;
    std::size_t end;  // just past the content: where the next TLV starts
    Tag tag;
};

// Reads the TLV at `pos` the general way, every form; decode_tlv calls it
// for all but the common form, which it reads inline.
[[nodiscard]] std::expected<Tlv, BerError> decode_tlv_general(Bytes input, std::size_t pos) noexcept;

// Reads the TLV at `pos` of `input`, which ends where its enclosing
// structure ends; returns a view into `input`, or the first fault.
[[nodiscard]] inline std::expected<Tlv, BerError> decode_tlv(Bytes input, std::size_t pos) noexcept {
    const std::size_t n = input.size();
    // One-octet tag and short length: the common case.
    if (pos < n && n - pos >= 2 && (input[pos] & 0x1F) != 0x1F && input[pos + 1] < 0x80) {
        const std::size_t length = input[pos + 1];
        const std::size_t start = pos + 2;
        if (length > n - start) {
            return std::unexpected(BerError::truncated(input[pos], length, n - start));
        }
        return Tlv{input.subspan(start, length), length, start + length, input[pos]};
    }
    return decode_tlv_general(input, pos);
}

// Reads INTEGER content octets as an unsigned magnitude (FF is 255),
// accepting any number of leading 00 octets.
[[nodiscard]] std::expected<std::uint64_t, BerError> decode_unsigned(Bytes content) noexcept;

// The consecutive TLVs of an input: each step yields the next TLV, or the
// error at a malformed one, after which the iteration ends.
class Tlvs {
public:
    explicit Tlvs(Bytes input, std::size_t start = 0) noexcept : input_(input), pos_(start) {}

    // The next item, or nothing at the end.
    [[nodiscard]] std::optional<std::expected<Tlv, BerError>> next() noexcept;
    // The number of items left: well-formed TLVs plus one for a malformed tail.
    [[nodiscard]] std::size_t count() noexcept;

private:
    Bytes input_;
    std::size_t pos_;
};

// The content octets of an INTEGER in minimal form.
struct Integer {
    std::size_t start = 8;
    std::array<std::uint8_t, 9> octets{};  // octets[0] is always 00

    // 1 to 9 octets, with a leading 00 when the top bit would be set.
    static Integer from_unsigned(std::uint64_t value) noexcept {
        Integer integer;
        integer.set_unsigned(value);
        return integer;
    }
    // 1 to 8 octets of two's complement.
    static Integer from_signed(std::int64_t value) noexcept {
        Integer integer;
        integer.set_bits(static_cast<std::uint64_t>(value), signed_size(value));
        return integer;
    }
    // Makes this from_unsigned(value) in place, sparing a copy.
    void set_unsigned(std::uint64_t value) noexcept { set_bits(value, unsigned_size(value)); }
    Bytes as_slice() const noexcept { return Bytes(octets).subspan(start); }

    // The number of content octets of the minimal unsigned form of `value`:
    // one more than its significant bits need, so that the top bit of the
    // first octet is clear (1 to 9).
    static constexpr std::size_t unsigned_size(std::uint64_t value) noexcept {
        return 1 + static_cast<std::size_t>(std::bit_width(value)) / 8;
    }
    // The number of content octets of the minimal two's complement form of
    // `value` (1 to 8).
    static constexpr std::size_t signed_size(std::int64_t value) noexcept {
        const auto bits = static_cast<std::uint64_t>(value);
        const std::size_t size = unsigned_size(value < 0 ? ~bits : bits);
        return size > 8 ? 8 : size;
    }

private:
    // The last `size` octets of the nine: 00 and `bits` big-endian.
    void set_bits(std::uint64_t bits, std::size_t size) noexcept {
        octets[0] = 0;
        const std::uint64_t big_endian = std::byteswap(bits);
        std::memcpy(octets.data() + 1, &big_endian, sizeof big_endian);
        start = 9 - size;
    }
};

// The number of identifier octets `put_header` writes for `tag` (1 to 4).
[[nodiscard]] constexpr std::size_t tag_size(Tag tag) noexcept {
    return tag > 0xFFFFFF ? 4 : tag > 0xFFFF ? 3 : tag > 0xFF ? 2 : 1;
}
// The number of length octets written for `length` (1 to 9).
[[nodiscard]] constexpr std::size_t length_size(std::size_t length) noexcept {
    // Long form: one octet for the count, then the octets the value needs.
    return length < 0x80 ? 1 : 1 + (static_cast<std::size_t>(std::bit_width(std::uint64_t{length})) + 7) / 8;
}
// The size of a whole TLV with `length` content octets.
[[nodiscard]] constexpr std::size_t tlv_size(Tag tag, std::size_t length) noexcept {
    return tag_size(tag) + length_size(length) + length;
}

// Copies `size` octets from `from` to `to` (not overlapping); a few fixed
// moves for the short payloads of typical values instead of a call.
inline void copy_octets(std::uint8_t* to, const std::uint8_t* from, std::size_t size) noexcept {
    if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size >= 8) {  // two eight-octet moves that may overlap
        std::memcpy(to, from, 8);
        std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size > 0) {  // 1 to 3: first, middle and last
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// Writes the identifier octets of `tag` and the length octets of `length`
// at `out`, which the caller has checked to hold tag_size(tag) +
// length_size(length) octets; returns where the content starts.
inline std::uint8_t* place_header(std::uint8_t* out, Tag tag, std::size_t length) noexcept {
    if (tag <= 0xFF && length < 0x80) {  // the common case: one octet each
        out[0] = static_cast<std::uint8_t>(tag);
        out[1] = static_cast<std::uint8_t>(length);
        return out + 2;
    }
    for (std::size_t i = tag_size(tag); i-- > 0;) *out++ = static_cast<std::uint8_t>(tag >> (8 * i));
    if (length < 0x80) {
        *out++ = static_cast<std::uint8_t>(length);
        return out;
    }
    // Long form: 0x80 plus the count, then the count octets big-endian.
    const std::size_t count = length_size(length) - 1;
    *out++ = static_cast<std::uint8_t>(0x80 + count);
    for (std::size_t i = count; i-- > 0;) *out++ = static_cast<std::uint8_t>(std::uint64_t{length} >> (8 * i));
    return out;
}

// The writer has no room for the next octets.
struct WriteFull {
    friend bool operator==(WriteFull, WriteFull) = default;
};

// A cursor appending TLVs to a caller-owned buffer of fixed capacity. Each
// piece is checked to fit before it is written; after a failure the buffer
// is abandoned.
class Writer {
public:
    explicit Writer(std::span<std::uint8_t> buffer, std::size_t pos = 0) noexcept
        : buffer_(buffer), pos_(pos) {}

    // Writes the identifier octets of `tag` and the length octets of
    // `length`; the content follows with later writes.
    [[nodiscard]] std::expected<void, WriteFull> put_header(Tag tag, std::size_t length) noexcept;
    // Writes a TLV of the one-octet tag (low 8 bits of `tag`) and `content`.
    [[nodiscard]] std::expected<void, WriteFull> put_tlv(Tag tag, Bytes content) noexcept;
    // Writes `octets` as they are.
    [[nodiscard]] std::expected<void, WriteFull> put_bytes(Bytes octets) noexcept;

    std::size_t pos() const noexcept { return pos_; }

    // Reserves the next `size` octets for the caller to write and returns
    // where they start; nullptr when they do not fit.
    [[nodiscard]] std::uint8_t* take(std::size_t size) noexcept {
        if (pos_ > buffer_.size() || size > buffer_.size() - pos_) return nullptr;
        std::uint8_t* out = buffer_.data() + pos_;
        pos_ += size;
        return out;
    }
    // The octets not yet written, for a writer of many small pieces that
    // checks its own room and then reports what it wrote with advance().
    [[nodiscard]] std::span<std::uint8_t> room() const noexcept {
        return buffer_.subspan(std::min(pos_, buffer_.size()));
    }
    // Moves past the first `size` octets of room() (at most all of them).
    void advance(std::size_t size) noexcept { pos_ += std::min(size, room().size()); }

private:
    std::expected<void, WriteFull> put_length(std::size_t length) noexcept;

    std::span<std::uint8_t> buffer_;
    std::size_t pos_;
};

}  // namespace valdrin::ber
