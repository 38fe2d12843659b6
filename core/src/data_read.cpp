// Reading Data values back: checking an allData content and walking its
// values in pre-order, every TLV read by ber::Reader.
#include <array>
#include <bit>

#include "data.hpp"
#include "octets.hpp"

namespace valdrin::data {

namespace {

using ber::Reader;

constexpr bool is_container_tag(Tag tag) noexcept { return tag == 0xA1 || tag == 0xA2; }

// Reads `content` as a complete sequence of TLVs confined to it; returns
// their number or the first fault.
std::expected<std::size_t, ber::BerError> count_members(Bytes content) noexcept {
    std::size_t count = 0;
    for (Reader members(content); !members.empty(); ++count) {
        if (!members.next()) return std::unexpected(members.error());
    }
    return count;
}

// check_sequence as its contract states it, in two passes: the top-level
// TLVs first, then, in pre-order, the members of each structure or array
// as a whole before any of theirs. It fixes which fault comes first.
std::expected<std::size_t, ber::BerError> check_in_order(Bytes values) noexcept {
    auto top_level = count_members(values);
    if (!top_level) return top_level;
    for (Reader walk(values); !walk.empty();) {
        auto tlv = walk.next();
        if (!tlv) return std::unexpected(walk.error());
        if (!is_container_tag(tlv->tag)) continue;
        if (auto members = count_members(tlv->content); !members) return members;
        walk.enter(*tlv);
    }
    return top_level;
}

Value raw(Tag tag, Bytes content) noexcept { return {.kind = Kind::Raw, .tag = tag, .octets = content}; }

Value read_int(Bytes content) noexcept {
    Bytes octets = content;
    if (octets.empty()) return {.kind = Kind::Int};
    // Redundant sign octets: 00 before a clear top bit, FF before a set one.
    while (octets.size() > 1 &&
           ((octets[0] == 0x00 && octets[1] < 0x80) || (octets[0] == 0xFF && octets[1] >= 0x80))) {
        octets = octets.subspan(1);
    }
    if (octets.size() > 8) return raw(0x85, content);
    // Sign-extended: the value octets moved to the top, shifted back down.
    const std::size_t shift = 64 - 8 * octets.size();
    return {.kind = Kind::Int, .integer = static_cast<std::int64_t>(octets::load_be(octets) << shift) >> shift};
}

Value read_uint(Bytes content) noexcept {
    Bytes octets = content;
    while (!octets.empty() && octets[0] == 0x00) octets = octets.subspan(1);
    if (octets.size() > 8) return raw(0x86, content);
    return {.kind = Kind::Uint, .unsigned_integer = octets::load_be(octets)};
}

// A scalar by its tag; the length decides between a value and raw octets
// where the kind has a fixed size.
Value read_scalar(Tag tag, Bytes c) noexcept {
    switch (tag) {
        case 0x1A:
        case 0x80:
        case 0x8A: return {.kind = Kind::Visible, .octets = c};
        case 0x83: return {.kind = Kind::Bool, .boolean = !c.empty() && c[0] != 0x00};
        case 0x84:
            if (c.empty()) return {.kind = Kind::Bits};
            return {.kind = Kind::Bits, .unused_bits = c[0], .octets = c.subspan(1)};
        case 0x85: return read_int(c);
        case 0x86: return read_uint(c);
        case 0x87:
            // The first octet, the exponent width, is not looked at.
            if (c.size() == 5) return {.kind = Kind::F32, .f32 = octets::load_be32(c.data() + 1)};
            if (c.size() == 9) {
                return {.kind = Kind::F64, .f64 = std::bit_cast<double>(octets::load_be64(c.data() + 1))};
            }
            return raw(tag, c);
        case 0x89: return {.kind = Kind::Octets, .octets = c};
        case 0x8C:
            if (c.size() == 6) return {.kind = Kind::Btime, .octets = c};
            return raw(tag, c);
        case 0x8F: return {.kind = Kind::Mms, .octets = c};
        case 0x91:
            if (c.size() < 8) return raw(tag, c);
            return {.kind = Kind::Utc, .utc = read_utc(c)};
        default: return raw(tag, c);
    }
}

}  // namespace

std::expected<std::size_t, ber::BerError> check_sequence(Bytes values) noexcept {
    // One pre-order pass first, reading each TLV once within the structure
    // or array around it. It is the answer whenever every TLV reads; on a
    // fault, or nesting deeper than its room, the two passes of
    // check_in_order find the fault that comes first.
    constexpr std::size_t room = 32;
    std::array<std::size_t, room> ends;  // of the views around the innermost open container, outermost first
    std::size_t open = 0;
    std::size_t count = 0;
    Reader walk(values);  // over `values` up to the end of the innermost open container
    for (;;) {
        if (walk.empty()) {
            if (open == 0) return count;
            walk = Reader(values.first(ends[--open]), walk.pos());
            continue;
        }
        auto tlv = walk.next();
        if (!tlv) break;
        if (open == 0) ++count;
        if (is_container_tag(tlv->tag)) {  // its members next, confined to it
            if (open == room) break;
            ends[open++] = walk.input().size();
            walk = Reader(values.first(tlv->end), tlv->end - tlv->length);
        }
    }
    return check_in_order(values);
}

std::optional<Value> Values::next() noexcept {
    if (reader_.empty()) return std::nullopt;
    auto tlv = reader_.next();
    if (!tlv) {
        reader_.finish();
        return std::nullopt;
    }
    const Tag tag = tlv->tag;
    const Bytes content = tlv->content;
    if (!is_container_tag(tag)) return read_scalar(tag, content);
    auto members = count_members(content);
    if (!members) {
        reader_.finish();
        return std::nullopt;
    }
    reader_.enter(*tlv);
    return Value{.kind = tag == 0xA2 ? Kind::Struct : Kind::Array, .members = *members};
}

}  // namespace valdrin::data
