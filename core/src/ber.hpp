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

#include "octets.hpp"

namespace valdrin::ber {

// A tag as its identifier octets stand on the wire, read big-endian: 0x61,
// 0xA2, 0xBF21. Class and constructed bit are not split off.
using Tag = std::uint32_t;
// A read-only view of octets that someone else owns.
using Bytes = std::span<const std::uint8_t>;

// A message built without allocating: fixed capacity, silently cut when
// full (no message of this library comes near it).
class Text {
public:
    // The most characters a message holds.
    static constexpr std::size_t CAPACITY = 256;

    // Appends `text`, cut at the capacity; returns this text.
    Text& append(std::string_view text) noexcept;
    // Appends `value` in decimal.
    Text& append_decimal(std::uint64_t value) noexcept;
    // Appends `value` in upper-case hexadecimal without leading zeros.
    Text& append_hex(std::uint64_t value) noexcept;
    // The message so far, a view into this text.
    std::string_view view() const noexcept { return {buffer_.data(), size_}; }

private:
    std::array<char, CAPACITY> buffer_{};
    std::size_t size_ = 0;
};

// The faults of a TLV or INTEGER, in the order decode_tlv can meet them
// (the INTEGER ones last); describe() holds their texts.
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

    // A TLV of `tag` whose `needs` content octets exceed the `left` there are.
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

// Reads the TLV at `pos` the general way, every form; Reader::next calls it
// for all but the common form, which it reads inline.
[[nodiscard]] std::expected<Tlv, BerError> decode_tlv_general(Bytes input, std::size_t pos) noexcept;

// A view of encoded octets that reads TLVs off its front, moving past each
// one it reads: the one reader under every decoder of valdrin_core. A TLV's
// content is a sub-view of the same octets, and a Reader over it reads the
// members confined to it; nothing is copied or allocated.
class Reader {
public:
    // A reader over no octets.
    constexpr Reader() noexcept = default;
    // A reader over `input`, which ends where its enclosing structure ends,
    // starting at `start` (at or past the end: nothing to read).
    constexpr explicit Reader(Bytes input, std::size_t start = 0) noexcept : input_(input), pos_(start) {}

    // Whether nothing is left to read.
    [[nodiscard]] constexpr bool empty() const noexcept { return pos_ >= input_.size(); }
    // The index in input() of the next octet to read.
    [[nodiscard]] constexpr std::size_t pos() const noexcept { return pos_; }
    // The whole view this reader reads, in which Tlv::end counts.
    [[nodiscard]] constexpr Bytes input() const noexcept { return input_; }
    // The octets not yet read: a sub-view of input().
    [[nodiscard]] constexpr Bytes rest() const noexcept { return input_.subspan(std::min(pos_, input_.size())); }

    // Reads the TLV at the position and moves past it; returns a view into
    // input(), or nothing when it is malformed, the position unchanged.
    [[nodiscard]] std::optional<Tlv> next() noexcept;
    // The first fault of the TLV at the position (MissingTag when empty):
    // why next() returned nothing. Over a well-formed TLV it has no
    // meaning, and says MissingTag.
    [[nodiscard]] BerError error() const noexcept;
    // Reads the next TLV when it is well-formed and of `tag`, moving past
    // it; otherwise returns nothing and stays where it is.
    [[nodiscard]] std::optional<Tlv> read(Tag tag) noexcept;
    // Reads the next TLV when it has the one-octet `tag` (not of the
    // high-number form) and a short-form length, moving past it; returns
    // its content, or nothing and stays where it is. The cheap test for a
    // field where a fixed layout puts it.
    [[nodiscard]] std::optional<Bytes> read_short(std::uint8_t tag) noexcept;
    // As read_short(tag), for a content of exactly `size` octets (below 128).
    [[nodiscard]] std::optional<Bytes> read_short(std::uint8_t tag, std::size_t size) noexcept;
    // Moves to the start of the content of `tlv`, the TLV this reader has
    // just read, so that its members come next within the same view: a
    // pre-order walk without a stack.
    constexpr void enter(const Tlv& tlv) noexcept { pos_ = std::min(tlv.end - tlv.length, input_.size()); }
    // Moves to the end: nothing more is read.
    constexpr void finish() noexcept { pos_ = input_.size(); }

private:
    Bytes input_{};
    std::size_t pos_ = 0;
};

// The fast path is inline and yields a plain optional, never an expected:
// the compiler keeps its numbers in registers at every caller, where a
// union of TLV and error would live in memory. Faults are rare, and
// error() finds them again from the unchanged position.
inline std::optional<Tlv> Reader::next() noexcept {
    const std::size_t n = input_.size();
    const std::size_t at = pos_;
    std::size_t start;
    std::size_t length;
    Tag tag;
    // One-octet tag and short length, the form of nearly every TLV.
    if (at < n && n - at >= 2 && (input_[at] & 0x1F) != 0x1F && input_[at + 1] < 0x80) [[likely]] {
        tag = input_[at];
        length = input_[at + 1];
        start = at + 2;
        if (length > n - start) [[unlikely]] return std::nullopt;
    } else {
        auto tlv = decode_tlv_general(input_, at);
        if (!tlv) return std::nullopt;
        tag = tlv->tag;
        length = tlv->length;
        start = tlv->end - tlv->length;
    }
    pos_ = start + length;
    return Tlv{input_.subspan(start, length), length, pos_, tag};
}

inline BerError Reader::error() const noexcept {
    auto tlv = decode_tlv_general(input_, pos_);
    return tlv ? BerError{BerErrorKind::MissingTag} : tlv.error();
}

inline std::optional<Tlv> Reader::read(Tag tag) noexcept {
    const std::size_t at = pos_;
    auto tlv = next();
    if (tlv && tlv->tag != tag) {
        pos_ = at;
        return std::nullopt;
    }
    return tlv;
}

inline std::optional<Bytes> Reader::read_short(std::uint8_t tag) noexcept {
    const std::size_t n = input_.size();
    const std::size_t at = pos_;
    // The tag first: where a field is absent, one test says so.
    if (at >= n || input_[at] != tag || n - at < 2 || input_[at + 1] >= 0x80) return std::nullopt;
    const std::size_t length = input_[at + 1];
    if (length > n - at - 2) return std::nullopt;
    pos_ = at + 2 + length;
    return input_.subspan(at + 2, length);
}

inline std::optional<Bytes> Reader::read_short(std::uint8_t tag, std::size_t size) noexcept {
    const std::size_t n = input_.size();
    const std::size_t at = pos_;
    // The tag first, then tag and length octets as one 16-bit word.
    if (size >= 0x80 || at >= n || input_[at] != tag || n - at < 2 + size ||
        octets::load_be16(input_.data() + at) != (std::uint32_t{tag} << 8 | size)) {
        return std::nullopt;
    }
    pos_ = at + 2 + size;
    return input_.subspan(at + 2, size);
}

// Reads the TLV at `pos` of `input`, which ends where its enclosing
// structure ends; returns a view into `input`, or the first fault.
[[nodiscard]] inline std::expected<Tlv, BerError> decode_tlv(Bytes input, std::size_t pos) noexcept {
    Reader reader(input, pos);
    if (auto tlv = reader.next()) return *tlv;
    return std::unexpected(reader.error());
}

// Reads INTEGER content octets as an unsigned magnitude (FF is 255),
// accepting any number of leading 00 octets. Inline: the decoders read
// several numbers in every PDU.
[[nodiscard]] inline std::expected<std::uint64_t, BerError> decode_unsigned(Bytes content) noexcept {
    if (content.empty()) return std::unexpected(BerError{BerErrorKind::EmptyInteger});
    std::size_t i = 0;
    while (i < content.size() && content[i] == 0) ++i;
    if (content.size() - i > 8) return std::unexpected(BerError{BerErrorKind::IntegerAbove64Bits});
    return octets::load_be(content.subspan(i));
}

// The consecutive TLVs of an input: each step yields the next TLV, or the
// error at a malformed one, after which the iteration ends.
class Tlvs {
public:
    // The TLVs of `input` from `start` on; `input` must outlive the iteration.
    explicit Tlvs(Bytes input, std::size_t start = 0) noexcept : reader_(input, start) {}

    // The next item, or nothing at the end.
    [[nodiscard]] std::optional<std::expected<Tlv, BerError>> next() noexcept;
    // The number of items left: well-formed TLVs plus one for a malformed tail.
    [[nodiscard]] std::size_t count() noexcept;

private:
    Reader reader_;
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
    // The content octets, a view into this record.
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
        octets::store_be64(octets.data() + 1, bits);
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
// The number of identifier and length octets written for `tag` and `length`.
[[nodiscard]] constexpr std::size_t header_size(Tag tag, std::size_t length) noexcept {
    return tag_size(tag) + length_size(length);
}
// The size of a whole TLV with `length` content octets; the largest size_t
// when that does not fit, which no buffer holds.
[[nodiscard]] constexpr std::size_t tlv_size(Tag tag, std::size_t length) noexcept {
    return octets::add_sat(header_size(tag, length), length);
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
    const std::size_t identifier = tag_size(tag);
    octets::store_be({out, identifier}, tag);
    out += identifier;
    if (length < 0x80) {
        *out++ = static_cast<std::uint8_t>(length);
        return out;
    }
    // Long form: 0x80 plus the count, then the count octets big-endian.
    const std::size_t count = length_size(length) - 1;
    *out++ = static_cast<std::uint8_t>(0x80 + count);
    octets::store_be({out, count}, length);
    return out + count;
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
    // A writer into `buffer`, which the caller owns and keeps alive, from `pos` on.
    explicit Writer(std::span<std::uint8_t> buffer, std::size_t pos = 0) noexcept
        : buffer_(buffer), pos_(pos) {}

    // Writes the identifier octets of `tag` and the length octets of
    // `length`; the content follows with later writes.
    [[nodiscard]] std::expected<void, WriteFull> put_header(Tag tag, std::size_t length) noexcept;
    // Writes a TLV of the one-octet tag (low 8 bits of `tag`) and `content`.
    [[nodiscard]] std::expected<void, WriteFull> put_tlv(Tag tag, Bytes content) noexcept;
    // Writes `octets` as they are.
    [[nodiscard]] std::expected<void, WriteFull> put_bytes(Bytes octets) noexcept;

    // The index of the next octet to write.
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
