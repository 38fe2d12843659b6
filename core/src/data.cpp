#include "data.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace valdrin::data {

namespace {

constexpr std::size_t max_size = std::numeric_limits<std::size_t>::max();

// Lengths add up saturating: a sum that does not fit is as hopeless to
// write as SIZE_MAX, and the capacity checks of the callers say so.
constexpr std::size_t add(std::size_t a, std::size_t b) noexcept {
    std::size_t sum;
    return __builtin_add_overflow(a, b, &sum) ? max_size : sum;
}

constexpr std::size_t tlv_size(Tag tag, std::size_t length) noexcept {
    return add(ber::tag_size(tag) + ber::length_size(length), length);
}

// The context tag of each kind, in the order of Kind; a raw value brings
// its own.
constexpr Tag tags[] = {0x83, 0x85, 0x86, 0x87, 0x87, 0x84, 0x89, 0x8A, 0x8F, 0x91, 0x8C, 0xA2, 0xA1, 0};
static_assert(std::size(tags) == static_cast<std::size_t>(Kind::Raw) + 1, "one tag per Kind");

constexpr std::string_view kind_names[] = {
    "bool", "int", "uint", "f32", "f64", "bits", "octets", "visible", "mms", "utc", "btime", "struct", "array", "raw",
};
static_assert(std::size(kind_names) == static_cast<std::size_t>(Kind::Raw) + 1, "one name per Kind");

// The fixed texts, in the order of DataErrorKind; TooDeep and BadUnusedBits
// are followed by their number.
constexpr std::string_view messages[] = {
    "a structure or array lacks members",
    "structures and arrays nested deeper than ",
    "unused_bits must be 0..7, got ",
    "buffer full",
};
static_assert(std::size(messages) == static_cast<std::size_t>(DataErrorKind::BufferFull) + 1,
              "one message per DataErrorKind");

constexpr DataError lacks_members{DataErrorKind::LacksMembers};
constexpr DataError buffer_full{DataErrorKind::BufferFull};

// Minimal INTEGER content sizes, as ber::Integer builds them: one octet
// more than the significant bits need, so that the sign bit is right.
constexpr std::size_t unsigned_size(std::uint64_t value) noexcept {
    return 1 + static_cast<std::size_t>(std::bit_width(value)) / 8;
}
constexpr std::size_t signed_size(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    const std::size_t size = unsigned_size(value < 0 ? ~bits : bits);
    return size > 8 ? 8 : size;
}

constexpr bool is_container(Kind kind) noexcept { return kind == Kind::Struct || kind == Kind::Array; }

constexpr Tag tag_of(const Data& value) noexcept {
    return value.kind == Kind::Raw ? value.tag : tags[static_cast<std::size_t>(value.kind)];
}

// The content length of the kinds whose length is fixed, in the order of
// Kind; 0 for the others.
constexpr std::uint8_t fixed_lengths[] = {1, 0, 0, 5, 9, 0, 0, 0, 0, 8, 6, 0, 0, 0};
static_assert(std::size(fixed_lengths) == static_cast<std::size_t>(Kind::Raw) + 1, "one length per Kind");

// The content length of a scalar whose unused-bit count, if any, is valid.
constexpr std::size_t scalar_length(const Data& value) noexcept {
    if (const std::size_t fixed = fixed_lengths[static_cast<std::size_t>(value.kind)]) return fixed;
    if (value.kind == Kind::Int) return signed_size(value.integer);
    if (value.kind == Kind::Uint) return unsigned_size(value.unsigned_integer);
    if (value.kind == Kind::Bits) return add(value.octets.size(), 1);
    return value.octets.size();  // octets, visible, mms, raw
}

void put32(std::uint8_t* out, std::uint32_t value) noexcept {
    value = std::byteswap(value);
    std::memcpy(out, &value, sizeof value);
}

void put64(std::uint8_t* out, std::uint64_t value) noexcept {
    value = std::byteswap(value);
    std::memcpy(out, &value, sizeof value);
}

// The low `size` octets of `value`, big-endian.
void put_be(std::uint8_t* out, std::uint64_t value, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * (size - 1 - i)));
}

// The two outputs of the writing code, with one interface: the inline
// Cursor, and a ber::Writer, one call per piece. A small TLV is built in the
// room that `slot` gives and then committed.
class CursorOut {
public:
    explicit CursorOut(Cursor& cursor) noexcept : cursor_(cursor) {}
    bool put_header(Tag tag, std::size_t length) noexcept { return cursor_.put_header(tag, length); }
    bool put_bytes(Bytes octets) noexcept { return cursor_.put_bytes(octets); }
    std::uint8_t* slot(std::size_t size) noexcept { return cursor_.take(size); }
    bool commit() noexcept { return true; }

private:
    Cursor& cursor_;
};

class WriterOut {
public:
    explicit WriterOut(ber::Writer& writer) noexcept : writer_(writer) {}
    bool put_header(Tag tag, std::size_t length) noexcept { return writer_.put_header(tag, length).has_value(); }
    bool put_bytes(Bytes octets) noexcept { return writer_.put_bytes(octets).has_value(); }
    std::uint8_t* slot(std::size_t size) noexcept {
        size_ = size;
        return tlv_;
    }
    bool commit() noexcept { return writer_.put_bytes({tlv_, size_}).has_value(); }

private:
    ber::Writer& writer_;
    std::uint8_t tlv_[11];  // a tag, a one-octet length, at most 9 content octets
    std::size_t size_ = 0;
};

// Writes a TLV of a one-octet tag and `length` (at most 9) content octets
// that `fill` writes.
template <typename Out, typename Fill>
bool put_small(Out& out, Tag tag, std::size_t length, Fill fill) noexcept {
    std::uint8_t* tlv = out.slot(2 + length);
    if (tlv == nullptr) return false;
    tlv[0] = static_cast<std::uint8_t>(tag);
    tlv[1] = static_cast<std::uint8_t>(length);
    fill(tlv + 2);
    return out.commit();
}

}  // namespace

std::string_view kind_name(Kind kind) noexcept { return kind_names[static_cast<std::size_t>(kind)]; }

std::array<std::uint8_t, 8> utc_octets(const UtcTime& time) noexcept {
    std::array<std::uint8_t, 8> octets;
    put32(octets.data(), time.seconds);
    // Fraction and quality: the clamped 24 bits, then the quality octet.
    put32(octets.data() + 4, std::min<std::uint32_t>(time.fraction, 0xFFFFFF) << 8 | time.quality);
    return octets;
}

void describe(const DataError& error, ber::Text& out) noexcept {
    out.append(messages[static_cast<std::size_t>(error.kind)]);
    if (error.kind == DataErrorKind::TooDeep) out.append_decimal(MAX_DEPTH);
    if (error.kind == DataErrorKind::BadUnusedBits) out.append_decimal(error.unused_bits);
}

// --- Writing ------------------------------------------------------------------

namespace {

// A structure or array being measured: its tag, the content measured so
// far and the members still to come.
struct Open {
    Tag tag;
    std::size_t length;
    std::size_t members;
};

// Measures the container at `index`, at `depth`, walking its descendants in
// pre-order with a stack of at most MAX_DEPTH open containers; the
// innermost one is kept apart from the stack.
std::expected<Measured, DataError> measure_container(DataList list, std::size_t index, std::size_t depth) noexcept {
    std::array<Open, MAX_DEPTH> outer;
    std::size_t open = 0;  // containers in `outer`
    const Data& first = list[index];
    Open top{tag_of(first), 0, first.members};
    if (too_deep(depth)) return std::unexpected(DataError{DataErrorKind::TooDeep});
    std::size_t i = index + 1;
    for (;;) {
        // Close every container whose last member came; each closed one is
        // a member of the one around it.
        while (top.members == 0) {
            if (open == 0) return Measured{top.length, top.tag, i};
            const Open done = top;
            top = outer[--open];
            top.length = add(top.length, tlv_size(done.tag, done.length));
            --top.members;
        }
        if (i >= list.size()) return std::unexpected(lacks_members);
        const Data& value = list[i++];
        if (is_container(value.kind)) {
            if (too_deep(depth + open + 1)) return std::unexpected(DataError{DataErrorKind::TooDeep});
            outer[open++] = top;
            top = {tag_of(value), 0, value.members};
            continue;
        }
        if (value.kind == Kind::Bits && value.unused_bits > 7) {
            return std::unexpected(DataError::bad_unused_bits(value.unused_bits));
        }
        top.length = add(top.length, tlv_size(tag_of(value), scalar_length(value)));
        --top.members;
    }
}

}  // namespace

std::expected<Measured, DataError> measure(DataList list, std::size_t index, std::size_t depth) noexcept {
    // An index past the end: a container announced more members than follow.
    if (index >= list.size()) return std::unexpected(lacks_members);
    const Data& value = list[index];
    if (is_container(value.kind)) return measure_container(list, index, depth);
    if (value.kind == Kind::Bits && value.unused_bits > 7) {
        return std::unexpected(DataError::bad_unused_bits(value.unused_bits));
    }
    return Measured{scalar_length(value), tag_of(value), index + 1};
}

std::expected<std::size_t, DataError> measure_sequence(DataList list) noexcept {
    std::size_t length = 0;
    for (std::size_t index = 0; index < list.size();) {
        const Data& scalar = list[index];
        if (!is_container(scalar.kind) && (scalar.kind != Kind::Bits || scalar.unused_bits <= 7)) {
            length = add(length, tlv_size(tag_of(scalar), scalar_length(scalar)));
            ++index;
            continue;
        }
        auto value = measure(list, index, 0);
        if (!value) return std::unexpected(value.error());
        length = add(length, tlv_size(value->tag, value->length));
        index = value->next;
    }
    return length;
}

namespace {

// Writes one value with its members (`one`), or every value to the end of
// the list, from `index`; returns the index where it stopped. Each
// container is measured for its length as it is met, which also keeps the
// nesting below MAX_DEPTH.
template <typename Out>
std::expected<std::size_t, DataError> write_values(DataList list, std::size_t index, Out out, bool one) noexcept {
    // Members still to write: `left` for the innermost open container,
    // `outer` for those around it.
    std::array<std::size_t, MAX_DEPTH> outer;
    std::size_t open = 0;
    std::size_t left = 0;
    std::size_t i = index;
    do {
        if (i >= list.size()) return std::unexpected(lacks_members);
        const Data& value = list[i];
        bool written = true;
        switch (value.kind) {
            case Kind::Struct:
            case Kind::Array: {
                auto measured = measure(list, i, 0);
                if (!measured) return std::unexpected(measured.error());
                written = out.put_header(measured->tag, measured->length);
                if (written && value.members > 0) {
                    // The outermost open container was measured with all of
                    // its descendants, so this cannot overflow.
                    if (open == outer.size()) return std::unexpected(DataError{DataErrorKind::TooDeep});
                    outer[open++] = left;
                    left = value.members;
                    ++i;
                    continue;
                }
                break;
            }
            case Kind::Bits:
                if (value.unused_bits > 7) return std::unexpected(DataError::bad_unused_bits(value.unused_bits));
                written = out.put_header(tag_of(value), add(value.octets.size(), 1)) &&
                          out.put_bytes({&value.unused_bits, 1}) && out.put_bytes(value.octets);
                break;
            case Kind::Octets:
            case Kind::Visible:
            case Kind::Mms:
            case Kind::Raw:
                written = out.put_header(tag_of(value), value.octets.size()) && out.put_bytes(value.octets);
                break;
            case Kind::Bool:
                written = put_small(out, tag_of(value), 1, [&](std::uint8_t* c) { c[0] = value.boolean ? 0xFF : 0; });
                break;
            case Kind::Int: {
                const std::size_t length = signed_size(value.integer);
                written = put_small(out, tag_of(value), length, [&](std::uint8_t* c) {
                    put_be(c, static_cast<std::uint64_t>(value.integer), length);
                });
                break;
            }
            case Kind::Uint: {
                // Nine octets: a leading 00 before a top bit that is set.
                const std::size_t length = unsigned_size(value.unsigned_integer);
                written = put_small(out, tag_of(value), length, [&](std::uint8_t* c) {
                    c[0] = 0;
                    put_be(c + (length == 9), value.unsigned_integer, length - (length == 9));
                });
                break;
            }
            case Kind::F32:
                written = put_small(out, tag_of(value), 5, [&](std::uint8_t* c) {
                    c[0] = 0x08;  // exponent width of an IEEE single
                    put32(c + 1, value.f32);
                });
                break;
            case Kind::F64:
                written = put_small(out, tag_of(value), 9, [&](std::uint8_t* c) {
                    c[0] = 0x0B;  // exponent width of an IEEE double
                    put64(c + 1, value.f64);
                });
                break;
            case Kind::Utc:
                written = put_small(out, tag_of(value), 8, [&](std::uint8_t* c) {
                    const auto octets = utc_octets(value.utc);
                    std::memcpy(c, octets.data(), octets.size());
                });
                break;
            case Kind::Btime:
                written = put_small(out, tag_of(value), 6, [&](std::uint8_t* c) {
                    std::memcpy(c, value.btime.data(), value.btime.size());
                });
                break;
        }
        if (!written) return std::unexpected(buffer_full);
        ++i;
        // Close every container whose last member this was.
        while (open > 0 && --left == 0) left = outer[--open];
    } while (open > 0 || (!one && i < list.size()));
    return i;
}

}  // namespace

std::expected<std::size_t, DataError> write_one(DataList list, std::size_t index, ber::Writer& writer) noexcept {
    return write_values(list, index, WriterOut(writer), true);
}

std::expected<std::size_t, DataError> write_one(DataList list, std::size_t index, Cursor& cursor) noexcept {
    return write_values(list, index, CursorOut(cursor), true);
}

std::expected<void, DataError> write_sequence(DataList list, ber::Writer& writer) noexcept {
    if (list.empty()) return {};
    if (auto end = write_values(list, 0, WriterOut(writer), false); !end) return std::unexpected(end.error());
    return {};
}

std::expected<void, DataError> write_sequence(DataList list, Cursor& cursor) noexcept {
    if (list.empty()) return {};
    if (auto end = write_values(list, 0, CursorOut(cursor), false); !end) return std::unexpected(end.error());
    return {};
}

// --- Reading ------------------------------------------------------------------

namespace {

constexpr bool is_container_tag(Tag tag) noexcept { return tag == 0xA1 || tag == 0xA2; }

// The start of a TLV's content in the input it was read from.
constexpr std::size_t content_start(const ber::Tlv& tlv) noexcept { return tlv.end - tlv.length; }

// Reads `content` as a complete sequence of TLVs confined to it; returns
// their number or the first fault.
std::expected<std::size_t, ber::BerError> count_members(Bytes content) noexcept {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < content.size(); ++count) {
        auto tlv = ber::decode_tlv(content, pos);
        if (!tlv) return std::unexpected(tlv.error());
        pos = tlv->end;
    }
    return count;
}

std::uint64_t big_endian(Bytes octets) noexcept {
    std::uint64_t value = 0;
    for (std::uint8_t octet : octets) value = value << 8 | octet;
    return value;
}

Value raw(const ber::Tlv& tlv) noexcept { return {.kind = Kind::Raw, .tag = tlv.tag, .octets = tlv.content}; }

Value read_int(const ber::Tlv& tlv) noexcept {
    Bytes octets = tlv.content;
    if (octets.empty()) return {.kind = Kind::Int};
    // Redundant sign octets: 00 before a clear top bit, FF before a set one.
    while (octets.size() > 1 &&
           ((octets[0] == 0x00 && octets[1] < 0x80) || (octets[0] == 0xFF && octets[1] >= 0x80))) {
        octets = octets.subspan(1);
    }
    if (octets.size() > 8) return raw(tlv);
    std::uint64_t bits = octets[0] >= 0x80 ? ~std::uint64_t{0} : 0;
    for (std::uint8_t octet : octets) bits = bits << 8 | octet;
    return {.kind = Kind::Int, .integer = static_cast<std::int64_t>(bits)};
}

Value read_uint(const ber::Tlv& tlv) noexcept {
    Bytes octets = tlv.content;
    while (!octets.empty() && octets[0] == 0x00) octets = octets.subspan(1);
    if (octets.size() > 8) return raw(tlv);
    return {.kind = Kind::Uint, .unsigned_integer = big_endian(octets)};
}

// A scalar by its tag; the length decides between a value and raw octets
// where the kind has a fixed size.
Value read_scalar(const ber::Tlv& tlv) noexcept {
    const Bytes c = tlv.content;
    switch (tlv.tag) {
        case 0x1A:
        case 0x80:
        case 0x8A: return {.kind = Kind::Visible, .octets = c};
        case 0x83: return {.kind = Kind::Bool, .boolean = !c.empty() && c[0] != 0x00};
        case 0x84:
            if (c.empty()) return {.kind = Kind::Bits};
            return {.kind = Kind::Bits, .unused_bits = c[0], .octets = c.subspan(1)};
        case 0x85: return read_int(tlv);
        case 0x86: return read_uint(tlv);
        case 0x87:
            // The first octet, the exponent width, is not looked at.
            if (c.size() == 5) return {.kind = Kind::F32, .f32 = static_cast<std::uint32_t>(big_endian(c.subspan(1)))};
            if (c.size() == 9) return {.kind = Kind::F64, .f64 = std::bit_cast<double>(big_endian(c.subspan(1)))};
            return raw(tlv);
        case 0x89: return {.kind = Kind::Octets, .octets = c};
        case 0x8C:
            if (c.size() == 6) return {.kind = Kind::Btime, .octets = c};
            return raw(tlv);
        case 0x8F: return {.kind = Kind::Mms, .octets = c};
        case 0x91:
            if (c.size() < 8) return raw(tlv);
            return {.kind = Kind::Utc,
                    .utc = {static_cast<std::uint32_t>(big_endian(c.first(4))),
                            static_cast<std::uint32_t>(big_endian(c.subspan(4, 3))), c[7]}};
        default: return raw(tlv);
    }
}

}  // namespace

std::expected<std::size_t, ber::BerError> check_sequence(Bytes values) noexcept {
    auto top_level = count_members(values);
    if (!top_level) return top_level;
    // Pre-order without recursion: a container's content is checked as a
    // whole, then the walk steps into it and visits its members next.
    for (std::size_t pos = 0; pos < values.size();) {
        auto tlv = ber::decode_tlv(values, pos);
        if (!tlv) return std::unexpected(tlv.error());
        if (!is_container_tag(tlv->tag)) {
            pos = tlv->end;
            continue;
        }
        if (auto members = count_members(tlv->content); !members) return members;
        pos = content_start(*tlv);
    }
    return top_level;
}

std::optional<Value> Values::next() noexcept {
    if (pos_ >= input_.size()) return std::nullopt;
    auto tlv = ber::decode_tlv(input_, pos_);
    if (!tlv) {
        pos_ = input_.size();
        return std::nullopt;
    }
    if (!is_container_tag(tlv->tag)) {
        pos_ = tlv->end;
        return read_scalar(*tlv);
    }
    auto members = count_members(tlv->content);
    if (!members) {
        pos_ = input_.size();
        return std::nullopt;
    }
    pos_ = content_start(*tlv);
    return Value{.kind = tlv->tag == 0xA2 ? Kind::Struct : Kind::Array, .members = *members};
}

}  // namespace valdrin::data
