// IEC 61850 MMS Data values as GOOSE carries them: measuring, writing,
// validating and reading back.
//
// A list of values to write is flat and in pre-order: a structure or array
// record holds the number of its direct members, and those members follow it
// at once, each with its own members before the next sibling starts. The
// octet payloads are views into storage that the list's builder owns.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "ber.hpp"
#include "octets.hpp"

namespace valdrin::data {

using ber::Bytes;
using ber::Tag;

// Structures and arrays nest at most this deep: a top-level container is at
// depth 0, its container members at depth 1, and a container at depth 32 is
// refused. Scalars are not counted.
inline constexpr std::size_t MAX_DEPTH = 32;

// Whether a structure or array at `depth` (0 for a top-level value) is
// nested too deep to be written. A builder that flattens nested containers
// checks it before descending into one, so that no input, not even one
// that contains itself, takes it deeper than the encoder would accept.
[[nodiscard]] constexpr bool too_deep(std::size_t depth) noexcept { return depth >= MAX_DEPTH; }

// The fourteen kinds of value, in the order of every per-kind table.
enum class Kind : std::uint8_t {
    Bool,
    Int,
    Uint,
    F32,
    F64,
    Bits,
    Octets,
    Visible,
    Mms,
    Utc,
    Btime,
    Struct,
    Array,
    Raw,
};

// The kind's lower-case name: "bool", "int", ..., "raw".
[[nodiscard]] std::string_view kind_name(Kind kind) noexcept;

// An IEC 61850 UtcTime: seconds since 1970, a fraction of a second of which
// 24 bits are carried, and the time-quality octet.
struct UtcTime {
    std::uint32_t seconds = 0;
    std::uint32_t fraction = 0;
    std::uint8_t quality = 0;
    friend bool operator==(const UtcTime&, const UtcTime&) = default;
};

// The eight UtcTime octets: seconds big-endian, the fraction clamped to
// 0xFFFFFF in three octets, the quality.
[[nodiscard]] std::array<std::uint8_t, 8> utc_octets(const UtcTime& time) noexcept;

// One record of a list of values to write. Only the fields of its kind are
// meaningful; the factories set them.
struct Data {
    Kind kind = Kind::Bool;
    bool boolean = false;                  // bool
    std::uint8_t unused_bits = 0;          // bits
    std::array<std::uint8_t, 6> btime{};   // btime, written as stored
    Tag tag = 0;                           // raw
    std::uint32_t f32 = 0;                 // f32: the IEEE single pattern
    std::uint64_t f64 = 0;                 // f64: the IEEE double pattern
    std::int64_t integer = 0;              // int
    std::uint64_t unsigned_integer = 0;    // uint
    std::size_t members = 0;               // struct, array: direct members
    UtcTime utc{};                         // utc
    Bytes octets{};                        // bits, octets, visible, mms, raw

    // A record of each kind with the fields of that kind; the octet views are
    // kept as given, not copied.
    static constexpr Data of_bool(bool value) noexcept { return {.kind = Kind::Bool, .boolean = value}; }
    static constexpr Data of_int(std::int64_t value) noexcept { return {.kind = Kind::Int, .integer = value}; }
    static constexpr Data of_uint(std::uint64_t value) noexcept {
        return {.kind = Kind::Uint, .unsigned_integer = value};
    }
    static constexpr Data of_f32(std::uint32_t pattern) noexcept { return {.kind = Kind::F32, .f32 = pattern}; }
    static constexpr Data of_f64(std::uint64_t pattern) noexcept { return {.kind = Kind::F64, .f64 = pattern}; }
    static constexpr Data of_bits(std::uint8_t unused_bits, Bytes octets) noexcept {
        return {.kind = Kind::Bits, .unused_bits = unused_bits, .octets = octets};
    }
    static constexpr Data of_octets(Bytes octets) noexcept { return {.kind = Kind::Octets, .octets = octets}; }
    static constexpr Data of_visible(Bytes octets) noexcept { return {.kind = Kind::Visible, .octets = octets}; }
    static constexpr Data of_mms(Bytes octets) noexcept { return {.kind = Kind::Mms, .octets = octets}; }
    static constexpr Data of_utc(UtcTime time) noexcept { return {.kind = Kind::Utc, .utc = time}; }
    static constexpr Data of_btime(std::array<std::uint8_t, 6> octets) noexcept {
        return {.kind = Kind::Btime, .btime = octets};
    }
    static constexpr Data of_struct(std::size_t members) noexcept { return {.kind = Kind::Struct, .members = members}; }
    static constexpr Data of_array(std::size_t members) noexcept { return {.kind = Kind::Array, .members = members}; }
    static constexpr Data of_raw(Tag tag, Bytes octets) noexcept {
        return {.kind = Kind::Raw, .tag = tag, .octets = octets};
    }
};

// A flat pre-order list of values, owned by its builder.
using DataList = std::span<const Data>;

// Why a list cannot be measured or written; describe() holds the texts.
enum class DataErrorKind : std::uint8_t {
    LacksMembers,
    TooDeep,
    BadUnusedBits,
    BufferFull,
};

// A list of values that cannot be measured or written; only BadUnusedBits
// carries data.
struct DataError {
    DataErrorKind kind;
    std::uint8_t unused_bits = 0;

    // A bits value with `count` unused bits, above 7.
    static constexpr DataError bad_unused_bits(std::uint8_t count) noexcept {
        return {DataErrorKind::BadUnusedBits, count};
    }
    friend bool operator==(const DataError&, const DataError&) = default;
};

// Appends the error's message, e.g. "unused_bits must be 0..7, got 8".
void describe(const DataError& error, ber::Text& out) noexcept;

// --- Writing ------------------------------------------------------------------

// The size of one value's TLV without its identifier and length octets.
struct Measured {
    std::size_t length;  // content octets
    Tag tag;
    std::size_t next;  // just past the value's last descendant
};

// Measures the value at `index` of `list`, a container being at `depth`
// (0 for a top-level value), with all its members.
[[nodiscard]] std::expected<Measured, DataError> measure(DataList list, std::size_t index,
                                                         std::size_t depth) noexcept;

// The encoded size of every top-level value of `list` together, each
// measured at depth 0: the content length of an allData that holds them.
[[nodiscard]] std::expected<std::size_t, DataError> measure_sequence(DataList list) noexcept;

// The content lengths of a list's structures and arrays in pre-order, as
// one measuring pass finds them, so that writing need not measure any
// container again. The first `CAPACITY` are kept; the writer measures any
// further one when it meets it.
struct ContainerLengths {
    static constexpr std::size_t CAPACITY = 64;

    std::size_t count = 0;  // entries of `length` that hold a measured length
    // Only the first `count` entries are set; the rest stay uninitialised,
    // which spares clearing the table for every encoding.
    std::array<std::size_t, CAPACITY> length;
};

// measure_sequence that also records the length of every structure and
// array of `list` in `lengths`, for write_sequence.
[[nodiscard]] std::expected<std::size_t, DataError> measure_sequence(DataList list,
                                                                     ContainerLengths& lengths) noexcept;

// Writes the value at `index` with all its members; returns the index just
// past its last descendant. Each value is checked to fit before any of its
// octets is written.
[[nodiscard]] std::expected<std::size_t, DataError> write_one(DataList list, std::size_t index,
                                                              ber::Writer& writer) noexcept;

// Writes every top-level value of `list` in order.
[[nodiscard]] std::expected<void, DataError> write_sequence(DataList list, ber::Writer& writer) noexcept;
// The same, taking the container lengths from `lengths`, which
// measure_sequence filled for this very list (a table of another list
// gives wrong octets, never a write outside the writer's buffer).
[[nodiscard]] std::expected<void, DataError> write_sequence(DataList list, const ContainerLengths& lengths,
                                                            ber::Writer& writer) noexcept;

// --- Reading ------------------------------------------------------------------

// Checks that `values` (an allData content) is a sequence of well-formed
// TLVs, structures and arrays holding complete TLVs at every level; returns
// the number of top-level values or the first fault.
[[nodiscard]] std::expected<std::size_t, ber::BerError> check_sequence(Bytes values) noexcept;

// The UtcTime in the first eight of `octets`, which has at least eight:
// the inverse of utc_octets for a fraction of 24 bits.
[[nodiscard]] inline UtcTime read_utc(Bytes octets) noexcept {
    // Seconds, then the 24 bits of the fraction, then the quality octet.
    return {octets::load_be32(octets.data()), octets::load_be32(octets.data() + 3) & 0xFFFFFF, octets[7]};
}

// One value read back; its octets are views into the encoded span. Only the
// fields of its kind are meaningful.
struct Value {
    Kind kind = Kind::Raw;
    bool boolean = false;                // bool
    std::uint8_t unused_bits = 0;        // bits
    Tag tag = 0;                         // raw
    std::uint32_t f32 = 0;               // f32: the IEEE single pattern
    double f64 = 0;                      // f64
    std::int64_t integer = 0;            // int
    std::uint64_t unsigned_integer = 0;  // uint
    std::size_t members = 0;             // struct, array: direct members
    UtcTime utc{};                       // utc
    Bytes octets{};                      // bits (after the count), octets, visible, mms, btime (6), raw
};

// The values of an encoded span in pre-order: a structure or array comes
// before its members. Malformed input ends the iteration without an error;
// callers validate the span with check_sequence first.
class Values {
public:
    // The values of `input` from `start` on; `input` must outlive the walk.
    explicit Values(Bytes input, std::size_t start = 0) noexcept : reader_(input, start) {}

    // The next value, or nothing at the end.
    [[nodiscard]] std::optional<Value> next() noexcept;

private:
    ber::Reader reader_;
};

}  // namespace valdrin::data
