// Writing Data values: one measuring walk over the flat pre-order list,
// then one writer that puts every octet straight into its place.
#include <algorithm>
#include <cstring>

#include "data.hpp"
#include "octets.hpp"

namespace valdrin::data {

namespace {

// Lengths add up saturating (octets::add_sat): a sum that does not fit is
// as hopeless to write as SIZE_MAX, and the capacity checks say so.

// The context tag of each kind, in the order of Kind; a raw value brings
// its own.
constexpr Tag tags[] = {0x83, 0x85, 0x86, 0x87, 0x87, 0x84, 0x89, 0x8A, 0x8F, 0x91, 0x8C, 0xA2, 0xA1, 0};
static_assert(std::size(tags) == static_cast<std::size_t>(Kind::Raw) + 1, "one tag per Kind");

constexpr DataError lacks_members{DataErrorKind::LacksMembers};
constexpr DataError buffer_full{DataErrorKind::BufferFull};

// Minimal INTEGER content sizes, as ber::Integer builds them.
constexpr std::size_t unsigned_size(std::uint64_t value) noexcept { return ber::Integer::unsigned_size(value); }
constexpr std::size_t signed_size(std::int64_t value) noexcept { return ber::Integer::signed_size(value); }

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
    if (value.kind == Kind::Bits) return octets::add_sat(value.octets.size(), 1);
    return value.octets.size();  // octets, visible, mms, raw
}

// The whole TLV of each kind whose size is fixed, in the order of Kind (a
// one-octet tag and length before the content); 0 for the others.
constexpr auto fixed_tlv_sizes = [] {
    std::array<std::uint8_t, std::size(fixed_lengths)> sizes{};
    for (std::size_t i = 0; i < sizes.size(); ++i) sizes[i] = fixed_lengths[i] == 0 ? 0 : fixed_lengths[i] + 2;
    return sizes;
}();

// The whole TLV of a scalar whose unused-bit count, if any, is valid; the
// integers, the usual case here, straight away.
constexpr std::size_t scalar_tlv_size(const Data& value) noexcept {
    if (value.kind == Kind::Int) return 2 + signed_size(value.integer);
    if (value.kind == Kind::Uint) return 2 + unsigned_size(value.unsigned_integer);
    return ber::tlv_size(tag_of(value), scalar_length(value));
}

// The eight UtcTime octets at `out`.
void place_utc(std::uint8_t* out, const UtcTime& time) noexcept {
    octets::store_be32(out, time.seconds);
    // Fraction and quality: the clamped 24 bits, then the quality octet.
    octets::store_be32(out + 4, std::min<std::uint32_t>(time.fraction, 0xFFFFFF) << 8 | time.quality);
}

}  // namespace

std::array<std::uint8_t, 8> utc_octets(const UtcTime& time) noexcept {
    std::array<std::uint8_t, 8> octets;
    place_utc(octets.data(), time);
    return octets;
}

namespace {

// What one measuring pass found: the encoded size of the values it walked
// (whole TLVs) and the index just past them.
struct Walked {
    std::size_t length;
    std::size_t next;
};

// Measures in one pass, in pre-order from `index` (inside the list or at its
// end), every value to the end of the list or (One) the value at `index`
// with its members, a top-level container being at `depth`. The length of
// every structure and array met goes into `lengths`, in pre-order.
template <bool One>
std::expected<Walked, DataError> walk(DataList list, std::size_t index, std::size_t depth,
                                      ContainerLengths& lengths) noexcept {
    // A container being measured waits on `outer` with the content
    // measured before it, the members it still expects and its entry in
    // the table; the innermost one is kept in locals, the walked values
    // themselves being the outermost level.
    struct Open {
        std::size_t length;
        std::size_t left;
        std::size_t slot;
    };
    std::array<Open, MAX_DEPTH> outer;
    std::size_t open = 0;
    std::size_t length = 0;  // content of the innermost container so far, or of the walk
    std::size_t left = 0;    // members the innermost container still expects (unused at the top)
    std::size_t slot = 0;    // its entry in the table
    std::size_t containers = 0;
    const Data* const begin = list.data();
    const Data* value = begin + index;
    const Data* const end = begin + list.size();
    while (value != end) {
        const Data& data = *value++;
        std::size_t size = fixed_tlv_sizes[static_cast<std::size_t>(data.kind)];
        if (size == 0) {
            if (is_container(data.kind)) {
                if (too_deep(depth + open)) return std::unexpected(DataError{DataErrorKind::TooDeep});
                outer[open++] = {length, left, slot};
                length = 0;
                left = data.members;
                slot = containers++;
                if (left != 0) continue;
                goto close;  // an empty one closes at once
            }
            if (data.kind == Kind::Bits && data.unused_bits > 7) {
                return std::unexpected(DataError::bad_unused_bits(data.unused_bits));
            }
            size = scalar_tlv_size(data);
        }
        length = octets::add_sat(length, size);
        if (open == 0) {
            if constexpr (One) break;
            continue;
        }
        if (--left != 0) continue;
    close:
        // Close every container whose last member came; each closed one is
        // a member of the one around it. Structure and array tags take one
        // octet.
        do {
            if (slot < lengths.CAPACITY) lengths.length[slot] = length;
            const std::size_t whole = ber::tlv_size(0xA2, length);
            const Open& around = outer[--open];
            length = octets::add_sat(around.length, whole);
            left = around.left;
            slot = around.slot;
        } while (open > 0 && --left == 0);
        if (One && open == 0) break;
    }
    // The list ended inside a container.
    if (open > 0) return std::unexpected(lacks_members);
    lengths.count = std::min(containers, lengths.CAPACITY);
    return Walked{length, static_cast<std::size_t>(value - begin)};
}

}  // namespace

std::expected<Measured, DataError> measure(DataList list, std::size_t index, std::size_t depth) noexcept {
    // An index past the end: a container announced more members than follow.
    if (index >= list.size()) return std::unexpected(lacks_members);
    const Data& value = list[index];
    if (is_container(value.kind)) {
        ContainerLengths lengths;
        auto walked = walk<true>(list, index, depth, lengths);
        if (!walked) return std::unexpected(walked.error());
        return Measured{lengths.length[0], tag_of(value), walked->next};  // its own length comes first
    }
    if (value.kind == Kind::Bits && value.unused_bits > 7) {
        return std::unexpected(DataError::bad_unused_bits(value.unused_bits));
    }
    return Measured{scalar_length(value), tag_of(value), index + 1};
}

std::expected<std::size_t, DataError> measure_sequence(DataList list) noexcept {
    ContainerLengths lengths;
    return measure_sequence(list, lengths);
}

std::expected<std::size_t, DataError> measure_sequence(DataList list, ContainerLengths& lengths) noexcept {
    auto walked = walk<false>(list, 0, 0, lengths);
    if (!walked) return std::unexpected(walked.error());
    return walked->length;
}

namespace {

// Writes into `writer`: one capacity check per value, then every octet of
// it straight into place. Writes one value with its members (One) or every
// value to the end of the list, from `index`; returns the index where it
// stopped. Containers take their lengths from `lengths` (their pre-order
// number counted from the start of the list, so only when writing from
// index 0) and are measured when the table has none.
template <bool One>
std::expected<std::size_t, DataError> write_values(DataList list, std::size_t index, ber::Writer& writer,
                                                 const ContainerLengths& lengths) noexcept {
    // The position is kept here rather than in the writer, whose members
    // every octet store could otherwise overwrite as far as the compiler
    // knows; it goes back to the writer on the way out.
    const std::span<std::uint8_t> room = writer.room();
    std::uint8_t* const first = room.data();
    std::uint8_t* at = first;
    std::uint8_t* const end = first + room.size();
    const auto fits = [&](std::size_t size) noexcept { return size <= static_cast<std::size_t>(end - at); };
    const auto done = [&](auto result) noexcept {
        writer.advance(static_cast<std::size_t>(at - first));
        return result;
    };
    std::array<std::size_t, MAX_DEPTH> outer;  // members still to write, for the containers around
    std::size_t open = 0;
    std::size_t left = 0;
    std::size_t slot = 0;  // pre-order number of the next container
    const Data* const begin = list.data();
    const Data* const last = begin + list.size();
    const Data* value = begin + std::min(index, list.size());
    for (;;) {
        if (value == last) {
            if (One || open > 0) return done(std::unexpected(lacks_members));
            break;
        }
        const Data& data = *value++;
        switch (data.kind) {
            case Kind::Bool:
                if (!fits(3)) return done(std::unexpected(buffer_full));
                at[0] = 0x83;
                at[1] = 1;
                at[2] = data.boolean ? 0xFF : 0x00;
                at += 3;
                break;
            case Kind::Utc:
                if (!fits(10)) return done(std::unexpected(buffer_full));
                at[0] = 0x91;
                at[1] = 8;
                place_utc(at + 2, data.utc);
                at += 10;
                break;
            case Kind::F32:
                if (!fits(7)) return done(std::unexpected(buffer_full));
                at[0] = 0x87;
                at[1] = 5;
                at[2] = 0x08;  // exponent width of an IEEE single
                octets::store_be32(at + 3, data.f32);
                at += 7;
                break;
            case Kind::Int: {
                const std::size_t length = signed_size(data.integer);
                if (!fits(2 + length)) return done(std::unexpected(buffer_full));
                at[0] = 0x85;
                at[1] = static_cast<std::uint8_t>(length);
                octets::store_be({at + 2, length}, static_cast<std::uint64_t>(data.integer));
                at += 2 + length;
                break;
            }
            case Kind::Uint: {
                const std::size_t length = unsigned_size(data.unsigned_integer);
                if (!fits(2 + length)) return done(std::unexpected(buffer_full));
                at[0] = 0x86;
                at[1] = static_cast<std::uint8_t>(length);
                if (length == 9) {  // a leading 00 before a top bit that is set
                    at[2] = 0;
                    octets::store_be64(at + 3, data.unsigned_integer);
                } else {
                    octets::store_be({at + 2, length}, data.unsigned_integer);
                }
                at += 2 + length;
                break;
            }
            case Kind::F64:
                if (!fits(11)) return done(std::unexpected(buffer_full));
                at[0] = 0x87;
                at[1] = 9;
                at[2] = 0x0B;  // exponent width of an IEEE double
                octets::store_be64(at + 3, data.f64);
                at += 11;
                break;
            case Kind::Btime:
                if (!fits(8)) return done(std::unexpected(buffer_full));
                at[0] = 0x8C;
                at[1] = 6;
                std::memcpy(at + 2, data.btime.data(), data.btime.size());
                at += 8;
                break;
            case Kind::Bits: {
                if (data.unused_bits > 7) return done(std::unexpected(DataError::bad_unused_bits(data.unused_bits)));
                const std::size_t size = data.octets.size();
                if (size < 0x7F && fits(3 + size)) {  // the common short form
                    at[0] = 0x84;
                    at[1] = static_cast<std::uint8_t>(size + 1);
                    at[2] = data.unused_bits;
                    ber::copy_octets(at + 3, data.octets.data(), size);
                    at += 3 + size;
                    break;
                }
                const std::size_t length = octets::add_sat(size, 1);
                if (!fits(ber::tlv_size(0x84, length))) return done(std::unexpected(buffer_full));
                at = ber::place_header(at, 0x84, length);
                *at++ = data.unused_bits;
                ber::copy_octets(at, data.octets.data(), size);
                at += size;
                break;
            }
            case Kind::Octets:
            case Kind::Visible:
            case Kind::Mms:
            case Kind::Raw: {
                const Tag tag = tag_of(data);
                const std::size_t length = data.octets.size();
                if (!fits(ber::tlv_size(tag, length))) return done(std::unexpected(buffer_full));
                at = ber::place_header(at, tag, length);
                ber::copy_octets(at, data.octets.data(), length);
                at += length;
                break;
            }
            case Kind::Struct:
            case Kind::Array: {
                std::size_t length;
                if (slot < lengths.count) {
                    length = lengths.length[slot];
                } else {
                    auto measured = measure(list, static_cast<std::size_t>(value - 1 - begin), 0);
                    if (!measured) return done(std::unexpected(measured.error()));
                    length = measured->length;
                }
                ++slot;
                if (!fits(ber::header_size(tag_of(data), length))) return done(std::unexpected(buffer_full));
                at = ber::place_header(at, tag_of(data), length);
                if (data.members > 0) {
                    // Measuring refused anything deeper, so this holds
                    // unless the table belongs to another list.
                    if (open == outer.size()) return done(std::unexpected(DataError{DataErrorKind::TooDeep}));
                    outer[open++] = left;
                    left = data.members;
                    continue;
                }
                break;
            }
            default: return done(std::unexpected(buffer_full));  // no such kind
        }
        // Close every container whose last member this was.
        while (open > 0 && --left == 0) left = outer[--open];
        if (One && open == 0) break;
    }
    return done(std::expected<std::size_t, DataError>(static_cast<std::size_t>(value - begin)));
}

constexpr ContainerLengths no_lengths{};

}  // namespace

std::expected<std::size_t, DataError> write_one(DataList list, std::size_t index, ber::Writer& writer) noexcept {
    return write_values<true>(list, index, writer, no_lengths);
}

std::expected<void, DataError> write_sequence(DataList list, ber::Writer& writer) noexcept {
    return write_sequence(list, no_lengths, writer);
}

std::expected<void, DataError> write_sequence(DataList list, const ContainerLengths& lengths,
                                              ber::Writer& writer) noexcept {
    if (list.empty()) return {};
    if (auto end = write_values<false>(list, 0, writer, lengths); !end) return std::unexpected(end.error());
    return {};
}

}  // namespace valdrin::data
