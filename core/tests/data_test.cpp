#include "data.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::data {
namespace {

using test::cat;
using test::Octets;
using test::text_of;

using List = std::vector<Data>;

// Measures, then writes into a buffer of exactly the measured size.
std::expected<Octets, DataError> encode(const List& list) {
    auto size = measure_sequence(list);
    if (!size) return std::unexpected(size.error());
    Octets out(*size);
    ber::Writer writer(out);
    if (auto written = write_sequence(list, writer); !written) return std::unexpected(written.error());
    EXPECT_EQ(writer.pos(), out.size()) << "measured and written sizes differ";
    return out;
}

// A structure holding a structure ... `levels` deep, the innermost empty.
List nested(std::size_t levels) {
    List list(levels, Data::of_struct(1));
    list.back() = Data::of_struct(0);
    return list;
}

const Octets ab{0xA0};
const Octets five{0x05};
const Octets two_hundred(200, 0x5A);

TEST(WriteData, Encodings) {
    const struct { const char* why; List list; Octets octets; } cases[] = {
        {"int 0", {Data::of_int(0)}, {0x85, 0x01, 0x00}},
        {"int -1", {Data::of_int(-1)}, {0x85, 0x01, 0xFF}},
        {"int 127", {Data::of_int(127)}, {0x85, 0x01, 0x7F}},
        {"int 128", {Data::of_int(128)}, {0x85, 0x02, 0x00, 0x80}},
        {"int -128", {Data::of_int(-128)}, {0x85, 0x01, 0x80}},
        {"int -129", {Data::of_int(-129)}, {0x85, 0x02, 0xFF, 0x7F}},
        {"int min", {Data::of_int(INT64_MIN)}, {0x85, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {"int max", {Data::of_int(INT64_MAX)}, {0x85, 0x08, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"uint 0", {Data::of_uint(0)}, {0x86, 0x01, 0x00}},
        {"uint 255", {Data::of_uint(255)}, {0x86, 0x02, 0x00, 0xFF}},
        {"uint 2^56 - 1", {Data::of_uint(0xFFFFFFFFFFFFFF)}, {0x86, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"uint 2^64 - 1", {Data::of_uint(UINT64_MAX)}, {0x86, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"f32 1.0", {Data::of_f32(std::bit_cast<std::uint32_t>(1.0f))}, {0x87, 0x05, 0x08, 0x3F, 0x80, 0x00, 0x00}},
        {"f32 0.1", {Data::of_f32(std::bit_cast<std::uint32_t>(0.1f))}, {0x87, 0x05, 0x08, 0x3D, 0xCC, 0xCC, 0xCD}},
        {"f32 NaN pattern kept", {Data::of_f32(0x7FC00001)}, {0x87, 0x05, 0x08, 0x7F, 0xC0, 0x00, 0x01}},
        {"f64 1.0", {Data::of_f64(std::bit_cast<std::uint64_t>(1.0))}, {0x87, 0x09, 0x0B, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {"f64 0.1", {Data::of_f64(std::bit_cast<std::uint64_t>(0.1))},
         {0x87, 0x09, 0x0B, 0x3F, 0xB9, 0x99, 0x99, 0x99, 0x99, 0x99, 0x9A}},
        {"bool true", {Data::of_bool(true)}, {0x83, 0x01, 0xFF}},
        {"bool false", {Data::of_bool(false)}, {0x83, 0x01, 0x00}},
        {"bits", {Data::of_bits(3, ab)}, {0x84, 0x02, 0x03, 0xA0}},
        {"bits without octets", {Data::of_bits(0, {})}, {0x84, 0x01, 0x00}},
        {"octets, empty", {Data::of_octets({})}, {0x89, 0x00}},
        {"visible", {Data::of_visible(ab)}, {0x8A, 0x01, 0xA0}},
        {"mms is 8F, not 90", {Data::of_mms(ab)}, {0x8F, 0x01, 0xA0}},
        {"utc", {Data::of_utc({0x01020304, 0xABCDEF, 0x0A})}, {0x91, 0x08, 1, 2, 3, 4, 0xAB, 0xCD, 0xEF, 0x0A}},
        {"utc fraction clamped", {Data::of_utc({0, 0x1000000, 0})}, {0x91, 0x08, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}},
        {"utc fraction at the limit", {Data::of_utc({0, 0xFFFFFE, 0})}, {0x91, 0x08, 0, 0, 0, 0, 0xFF, 0xFF, 0xFE, 0}},
        {"btime", {Data::of_btime({1, 2, 3, 4, 5, 6})}, {0x8C, 0x06, 1, 2, 3, 4, 5, 6}},
        {"empty struct", {Data::of_struct(0)}, {0xA2, 0x00}},
        {"empty array", {Data::of_array(0)}, {0xA1, 0x00}},
        {"raw, two-octet tag", {Data::of_raw(0xBF21, five)}, {0xBF, 0x21, 0x01, 0x05}},
        {"raw, constructed tag", {Data::of_raw(0xA5, ab)}, {0xA5, 0x01, 0xA0}},
        {"raw, tag 0", {Data::of_raw(0, {})}, {0x00, 0x00}},
        {"struct of int and bool", {Data::of_struct(2), Data::of_int(7), Data::of_bool(true)},
         {0xA2, 0x06, 0x85, 0x01, 0x07, 0x83, 0x01, 0xFF}},
        {"members in pre-order, then a sibling",
         {Data::of_array(2), Data::of_struct(1), Data::of_bool(false), Data::of_struct(0), Data::of_int(1)},
         {0xA1, 0x07, 0xA2, 0x03, 0x83, 0x01, 0x00, 0xA2, 0x00, 0x85, 0x01, 0x01}},
        // long forms: the container's length counts the member's, 3 + 200
        {"octets of 200", {Data::of_octets(two_hundred)}, cat({{0x89, 0x81, 0xC8}, two_hundred})},
        {"struct around them", {Data::of_struct(1), Data::of_octets(two_hundred)},
         cat({{0xA2, 0x81, 0xCB, 0x89, 0x81, 0xC8}, two_hundred})},
    };
    for (const auto& c : cases) {
        auto octets = encode(c.list);
        ASSERT_TRUE(octets.has_value()) << c.why << ": " << text_of(octets.error());
        EXPECT_EQ(*octets, c.octets) << c.why;
    }
}

TEST(WriteData, Errors) {
    const struct { const char* why; List list; std::string message; } cases[] = {
        {"three members announced, two follow", {Data::of_struct(3), Data::of_int(1), Data::of_int(2)},
         "a structure or array lacks members"},
        {"an inner container runs out", {Data::of_array(2), Data::of_struct(2), Data::of_int(1), Data::of_int(2)},
         "a structure or array lacks members"},
        {"unused bits 8", {Data::of_bits(8, ab)}, "unused_bits must be 0..7, got 8"},
        {"unused bits 255 inside a struct", {Data::of_struct(1), Data::of_bits(255, {})},
         "unused_bits must be 0..7, got 255"},
        {"33 nested structures", nested(33), "structures and arrays nested deeper than 32"},
    };
    for (const auto& c : cases) {
        auto octets = encode(c.list);
        ASSERT_FALSE(octets.has_value()) << c.why;
        EXPECT_EQ(text_of(octets.error()), c.message) << c.why;
    }
}

TEST(WriteData, DepthLimitCountsContainersOnly) {
    EXPECT_TRUE(encode(nested(32)).has_value());
    List deepest = nested(32);
    deepest.back() = Data::of_struct(1);
    deepest.push_back(Data::of_int(5));  // a scalar below depth 31 is fine
    EXPECT_TRUE(encode(deepest).has_value());

    // The builder's check agrees with the encoder's: the innermost of n
    // containers sits at depth n - 1.
    for (std::size_t n = 1; n <= 40; ++n) {
        EXPECT_EQ(measure(nested(n), 0, 0).has_value(), !too_deep(n - 1)) << n;
    }
    // write_one measures a container itself, so it stops too.
    const List deep = nested(33);
    Octets buffer(256);
    ber::Writer writer(buffer);
    EXPECT_EQ(write_one(deep, 0, writer), std::unexpected(DataError{DataErrorKind::TooDeep}));
    EXPECT_EQ(writer.pos(), 0u);
}

TEST(WriteData, BufferOneOctetShort) {
    const List lists[] = {
        {Data::of_int(-129)},
        {Data::of_bits(1, ab)},
        {Data::of_octets(two_hundred)},
        {Data::of_struct(2), Data::of_utc({}), Data::of_visible(ab)},
    };
    for (const List& list : lists) {
        Octets buffer(measure_sequence(list).value() - 1);
        ber::Writer writer(buffer);
        auto written = write_sequence(list, writer);
        ASSERT_FALSE(written.has_value());
        EXPECT_EQ(text_of(written.error()), "buffer full");
    }
}

TEST(WriteData, BadUnusedBitsBeforeAnyOctet) {
    const List list{Data::of_bits(9, ab)};
    Octets buffer(8, 0xEE);
    ber::Writer writer(buffer);
    EXPECT_EQ(write_one(list, 0, writer), std::unexpected(DataError::bad_unused_bits(9)));
    EXPECT_EQ(buffer, Octets(8, 0xEE));
}

TEST(CheckSequence, Table) {
    const struct {
        const char* why;
        Octets input;
        std::size_t count;
        std::string message;  // empty when accepted
    } cases[] = {
        {"empty", {}, 0, ""},
        {"two scalars", {0x83, 0x01, 0xFF, 0x85, 0x01, 0x07}, 2, ""},
        {"members are not top-level", {0xA2, 0x03, 0x85, 0x01, 0x07, 0x83, 0x01, 0xFF}, 2, ""},
        {"scalar content is not examined", {0x85, 0x02, 0xA2, 0x05}, 1, ""},
        {"raw constructed content is not examined", {0xA3, 0x01, 0xFF}, 1, ""},
        // the member reaches past its structure
        {"member truncated", {0xA2, 0x02, 0x85, 0x05}, 0, "TLV 0x85 truncated: needs 5 bytes, 0 left"},
        // the structure reaches past the span
        {"structure truncated", {0xA2, 0x03, 0x85, 0x01}, 0, "TLV 0xA2 truncated: needs 3 bytes, 2 left"},
        // two levels down
        {"nested member truncated", {0xA1, 0x04, 0xA2, 0x02, 0x85, 0x05}, 0,
         "TLV 0x85 truncated: needs 5 bytes, 0 left"},
        // the top level is read first, so its fault wins
        {"top-level fault before a nested one", {0xA2, 0x02, 0x85, 0x05, 0x83}, 0, "missing length"},
        // a structure's members are read as a whole before theirs: the
        // sibling 83 without length wins over the member of the array
        {"sibling fault before a nephew's", {0xA2, 0x05, 0xA1, 0x02, 0x85, 0x05, 0x83}, 0, "missing length"},
        // only a member's tag is left
        {"member without length", {0xA1, 0x01, 0x83}, 0, "missing length"},
        // members are confined to their container, though they would fit in the span
        {"member reaching into the next value", {0xA2, 0x02, 0x85, 0x02, 0x89, 0x00}, 0,
         "TLV 0x85 truncated: needs 2 bytes, 0 left"},
        {"member of an array in a structure", {0xA2, 0x06, 0xA1, 0x02, 0x89, 0x01, 0x89, 0x00}, 0,
         "TLV 0x89 truncated: needs 1 bytes, 0 left"},
        {"member with a long form too long", {0xA1, 0x03, 0x89, 0x81, 0x01, 0x89, 0x01, 0x00}, 0,
         "TLV 0x89 truncated: needs 1 bytes, 0 left"},
        {"a second top-level value cut short", {0x83, 0x01, 0xFF, 0xA1, 0x05, 0x00}, 0,
         "TLV 0xA1 truncated: needs 5 bytes, 1 left"},
    };
    for (const auto& c : cases) {
        auto count = check_sequence(c.input);
        if (c.message.empty()) {
            ASSERT_TRUE(count.has_value()) << c.why << ": " << text_of(count.error());
            EXPECT_EQ(*count, c.count) << c.why;
        } else {
            ASSERT_FALSE(count.has_value()) << c.why;
            EXPECT_EQ(text_of(count.error()), c.message) << c.why;
        }
    }
}

TEST(CheckSequence, NoDepthLimit) {
    // 100000 structures, each the only member of the one before.
    constexpr std::size_t levels = 100000;
    Octets input;
    for (std::size_t i = 0; i < levels; ++i) {
        const Octets header = test::header4(0xA2, 6 * (levels - 1 - i));
        input.insert(input.end(), header.begin(), header.end());
    }
    EXPECT_EQ(check_sequence(input).value(), 1u);
    std::size_t seen = 0;
    for (Values values(input); auto value = values.next();) seen += value->kind == Kind::Struct;
    EXPECT_EQ(seen, levels);
}

// A value as one line, for comparing with a table.
std::string show(const Value& v) {
    std::string s(kind_name(v.kind));
    char number[64];
    switch (v.kind) {
        case Kind::Bool: return s + (v.boolean ? " true" : " false");
        case Kind::Int: std::snprintf(number, sizeof number, " %lld", static_cast<long long>(v.integer)); break;
        case Kind::Uint:
            std::snprintf(number, sizeof number, " %llu", static_cast<unsigned long long>(v.unsigned_integer));
            break;
        case Kind::F32: std::snprintf(number, sizeof number, " %08X", v.f32); break;
        case Kind::F64: std::snprintf(number, sizeof number, " %g", v.f64); break;
        case Kind::Utc:
            std::snprintf(number, sizeof number, " %u.%06X q%u", v.utc.seconds, v.utc.fraction, v.utc.quality);
            break;
        case Kind::Struct:
        case Kind::Array: std::snprintf(number, sizeof number, " %zu", v.members); break;
        case Kind::Raw: std::snprintf(number, sizeof number, " 0x%X", v.tag); break;
        case Kind::Bits: std::snprintf(number, sizeof number, " /%u", v.unused_bits); break;
        default: number[0] = 0;
    }
    s += number;
    if (v.kind == Kind::Raw || v.kind == Kind::Bits || !v.octets.empty()) {
        s += " [";
        for (std::uint8_t octet : v.octets) {
            std::snprintf(number, sizeof number, "%02X", octet);
            s += number;
        }
        s += "]";
    }
    return s;
}

std::vector<std::string> read_all(const Octets& input) {
    std::vector<std::string> shown;
    for (Values values(input); auto value = values.next();) shown.push_back(show(*value));
    return shown;
}

TEST(Values, Table) {
    const struct { const char* why; Octets input; std::vector<std::string> values; } cases[] = {
        {"a structure before its members", {0xA2, 0x03, 0x85, 0x01, 0x07, 0x83, 0x01, 0xFF},
         {"struct 1", "int 7", "bool true"}},
        {"empty array, then a sibling", {0xA1, 0x00, 0x83, 0x01, 0x01}, {"array 0", "bool true"}},
        {"members counted over the structure's content alone", {0xA2, 0x02, 0x83, 0x00, 0x83, 0x01, 0x01},
         {"struct 1", "bool false", "bool true"}},
        {"two levels", {0xA1, 0x06, 0xA2, 0x02, 0x85, 0x00, 0x85, 0x00}, {"array 2", "struct 1", "int 0", "int 0"}},
        {"constructed 0xA3 is raw, not stepped into", {0xA3, 0x02, 0x83, 0x00}, {"raw 0xA3 [8300]"}},
        {"int of 9 octets does not fit", {0x85, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {"raw 0x85 [00FFFFFFFFFFFFFFFF]"}},
        {"int sign octet dropped", {0x85, 0x02, 0xFF, 0x80}, {"int -128"}},
        {"int two sign octets dropped", {0x85, 0x03, 0xFF, 0xFF, 0x80}, {"int -128"}},
        {"int FF 7F keeps both octets", {0x85, 0x02, 0xFF, 0x7F}, {"int -129"}},
        {"int FF", {0x85, 0x01, 0xFF}, {"int -1"}},
        {"int 00 FF", {0x85, 0x02, 0x00, 0xFF}, {"int 255"}},
        {"int zero octets dropped", {0x85, 0x03, 0x00, 0x00, 0x05}, {"int 5"}},
        {"int of ten octets 00 ... 01", {0x85, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, {"int 1"}},
        {"int of ten octets 01 00 ...", {0x85, 0x0A, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {"raw 0x85 [01000000000000000000]"}},
        {"int 9 octets, one redundant", {0x85, 0x09, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, {"int -9223372036854775808"}},
        {"int empty", {0x85, 0x00}, {"int 0"}},
        {"uint empty", {0x86, 0x00}, {"uint 0"}},
        {"uint 9 octets", {0x86, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         {"uint 18446744073709551615"}},
        {"uint above 64 bits", {0x86, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, {"raw 0x86 [010000000000000000]"}},
        {"f32, exponent width ignored", {0x87, 0x05, 0x00, 0x3F, 0x80, 0x00, 0x00}, {"f32 3F800000"}},
        {"f64", {0x87, 0x09, 0x0B, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, {"f64 1"}},
        {"float of 4 octets", {0x87, 0x04, 0, 0, 0, 0}, {"raw 0x87 [00000000]"}},
        {"bool empty", {0x83, 0x00}, {"bool false"}},
        {"bool by its first octet", {0x83, 0x02, 0x00, 0xFF}, {"bool false"}},
        {"bits empty", {0x84, 0x00}, {"bits /0 []"}},
        {"bits count taken as is", {0x84, 0x02, 0x09, 0xA0}, {"bits /9 [A0]"}},
        {"visible strings", {0x1A, 0x01, 0x41, 0x80, 0x00, 0x8A, 0x01, 0x42},
         {"visible [41]", "visible", "visible [42]"}},
        {"octets and mms", {0x89, 0x01, 0x01, 0x8F, 0x01, 0x41}, {"octets [01]", "mms [41]"}},
        {"0x90 is not mms", {0x90, 0x01, 0x41}, {"raw 0x90 [41]"}},
        {"btime", {0x8C, 0x06, 1, 2, 3, 4, 5, 6}, {"btime [010203040506]"}},
        {"btime of 4 octets", {0x8C, 0x04, 1, 2, 3, 4}, {"raw 0x8C [01020304]"}},
        {"utc of 7 octets", {0x91, 0x07, 1, 2, 3, 4, 5, 6, 7}, {"raw 0x91 [01020304050607]"}},
        {"utc of 9 octets", {0x91, 0x09, 0, 0, 0, 1, 0xAB, 0xCD, 0xEF, 0x0A, 0x99}, {"utc 1.ABCDEF q10"}},
        {"high-number tag", {0xBF, 0x21, 0x01, 0x05}, {"raw 0xBF21 [05]"}},
        // the second value claims 5 octets, none follow
        {"malformed tail ends quietly", {0x83, 0x01, 0xFF, 0x85, 0x05}, {"bool true"}},
        // its member is cut short: not even the structure is yielded
        {"malformed member", {0xA2, 0x02, 0x85, 0x05}, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(read_all(c.input), c.values) << c.why;
}

TEST(Values, ReadsBackWhatWasWritten) {
    const Octets bits{0xF0, 0x0F};
    const List list{
        Data::of_struct(3),  Data::of_bool(true),  Data::of_bits(4, bits),
        Data::of_utc({1700000000, 0x123456, 0x8A}), Data::of_int(INT64_MIN), Data::of_uint(UINT64_MAX),
        Data::of_f32(std::bit_cast<std::uint32_t>(-2.5f)), Data::of_f64(std::bit_cast<std::uint64_t>(0.25)),
        Data::of_array(1), Data::of_raw(0x9C, bits),
    };
    const Octets encoded = encode(list).value();
    EXPECT_EQ(check_sequence(encoded).value(), 6u);
    EXPECT_EQ(read_all(encoded),
              (std::vector<std::string>{"struct 3", "bool true", "bits /4 [F00F]", "utc 1700000000.123456 q138",
                                        "int -9223372036854775808", "uint 18446744073709551615", "f32 C0200000",
                                        "f64 0.25", "array 1", "raw 0x9C [F00F]"}));
}

// --- The fast writer against the plain one -----------------------------------

// Random lists of values of every kind: nested containers (now and then
// deeper than MAX_DEPTH), payloads around the long-form lengths, raw tags
// of one to four octets, and now and then a bad unused-bit count or a
// container short of members.
class RandomLists {
public:
    explicit RandomLists(std::uint32_t seed) : rng_(seed) {}

    List next() {
        List list;
        const std::size_t top = below(8);
        for (std::size_t i = 0; i < top; ++i) append(list, 0, chance(12) ? 28 + below(8) : 0);
        if (chance(20) && !list.empty()) list.pop_back();  // may leave a container short
        return list;
    }

    // Appends one value at `depth` with its members; while `chain` is
    // deeper than `depth`, a container of one container.
    void append(List& list, std::size_t depth, std::size_t chain) {
        if (depth < chain) {
            list.push_back(chance(2) ? Data::of_struct(1) : Data::of_array(1));
            append(list, depth + 1, chain);
            return;
        }
        switch (below(14)) {
            case 0: list.push_back(Data::of_bool(chance(2))); break;
            case 1: list.push_back(Data::of_int(static_cast<std::int64_t>(number()))); break;
            case 2: list.push_back(Data::of_uint(number())); break;
            case 3: list.push_back(Data::of_f32(static_cast<std::uint32_t>(rng_()))); break;
            case 4: list.push_back(Data::of_f64(number())); break;
            case 5: list.push_back(Data::of_bits(static_cast<std::uint8_t>(chance(30) ? 8 + below(248) : below(8)), payload())); break;
            case 6: list.push_back(Data::of_octets(payload())); break;
            case 7: list.push_back(Data::of_visible(payload())); break;
            case 8: list.push_back(Data::of_mms(payload())); break;
            case 9: list.push_back(Data::of_utc({static_cast<std::uint32_t>(rng_()), static_cast<std::uint32_t>(rng_()),
                                                 static_cast<std::uint8_t>(rng_())}));
                break;
            case 10: list.push_back(Data::of_btime({1, 2, 3, 4, 5, static_cast<std::uint8_t>(rng_())})); break;
            case 11: {
                const Tag tags[] = {0x00, 0x90, 0xA3, 0xBF21, 0xBF8101, 0xBF818101, 0xFFFFFFFF};
                list.push_back(Data::of_raw(tags[below(std::size(tags))], payload()));
                break;
            }
            default: {
                const std::size_t members = depth > chain + 3 ? 0 : below(5);
                list.push_back(chance(2) ? Data::of_struct(members) : Data::of_array(members));
                for (std::size_t m = 0; m < members; ++m) append(list, depth + 1, 0);
            }
        }
    }

private:
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
    bool chance(std::size_t one_in) { return below(one_in) == 0; }

    std::uint64_t number() {
        const std::uint64_t edges[] = {0, 1, 127, 128, 255, 256, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                       0x7FFFFFFFFFFFFFFF, 0x8000000000000000, 0xFFFFFFFFFFFFFFFF};
        if (chance(2)) return edges[below(std::size(edges))] - chance(3);
        return rng_() >> below(64);
    }

    Bytes payload() {
        const std::size_t sizes[] = {0, 1, 2, 7, 8, 9, 16, 17, 127, 128, 255, 256, 300};
        Octets& octets = payloads_.emplace_back(sizes[below(std::size(sizes))]);
        for (std::uint8_t& octet : octets) octet = static_cast<std::uint8_t>(rng_());
        return octets;
    }

    std::mt19937_64 rng_;
    std::deque<Octets> payloads_;  // stable storage the lists point into
};

// The plain measure: every top-level value measured on its own.
std::expected<std::size_t, DataError> plain_measure(const List& list) {
    std::size_t length = 0;
    for (std::size_t index = 0; index < list.size();) {
        auto value = measure(list, index, 0);
        if (!value) return std::unexpected(value.error());
        length += ber::tlv_size(value->tag, value->length);
        index = value->next;
    }
    return length;
}

// Writes into a buffer of `size` octets, the container lengths from
// `lengths` (or none).
std::expected<Octets, DataError> table_encode(const List& list, std::size_t size, const ContainerLengths* lengths) {
    Octets out(size);
    ber::Writer writer(out);
    auto written = lengths ? write_sequence(list, *lengths, writer) : write_sequence(list, writer);
    if (!written) return std::unexpected(written.error());
    EXPECT_EQ(writer.pos(), size);
    return out;
}

TEST(WriteData, TableAndOneByOneWriteTheSame) {
    RandomLists lists(61850);
    std::size_t written = 0;
    std::size_t refused = 0;
    for (int n = 0; n < 3000; ++n) {
        const List list = lists.next();
        SCOPED_TRACE(n);
        ContainerLengths lengths;
        const auto expected = plain_measure(list);
        const auto measured = measure_sequence(list, lengths);
        ASSERT_EQ(measured, expected);
        ASSERT_EQ(measure_sequence(list), expected);

        // Where measuring fails, writing without a table fails alike.
        Octets plain(1 << 16);
        ber::Writer writer(plain);
        const auto plain_written = write_sequence(list, writer);
        if (!expected) {
            ++refused;
            ASSERT_EQ(plain_written, std::unexpected(expected.error()));
            ASSERT_EQ(table_encode(list, 1 << 16, nullptr), std::unexpected(expected.error()));
            continue;
        }
        ++written;
        ASSERT_TRUE(plain_written.has_value());
        plain.resize(writer.pos());
        ASSERT_EQ(plain.size(), *expected);
        EXPECT_EQ(table_encode(list, *expected, &lengths), plain);
        EXPECT_EQ(table_encode(list, *expected, nullptr), plain);

        // write_one, value by value.
        Octets one(*expected);
        ber::Writer one_writer(one);
        for (std::size_t index = 0; index < list.size();) index = write_one(list, index, one_writer).value();
        EXPECT_EQ(one, plain);

        // One octet short: refused, and nothing written past the end.
        if (!plain.empty()) {
            EXPECT_EQ(table_encode(list, *expected - 1, &lengths), std::unexpected(DataError{DataErrorKind::BufferFull}));
        }
    }
    // The seed gives both kinds in numbers.
    EXPECT_GT(written, 1000u);
    EXPECT_GT(refused, 300u);
}

TEST(WriteData, MoreContainersThanTheTableHolds) {
    // 200 structures, each holding an array of one int and a bool: the
    // table keeps 64 of the 400 containers, the rest are measured again.
    List list;
    for (int i = 0; i < 200; ++i) {
        list.insert(list.end(), {Data::of_struct(2), Data::of_array(1), Data::of_int(i * 1000), Data::of_bool(i % 3)});
    }
    ContainerLengths lengths;
    const std::size_t size = measure_sequence(list, lengths).value();
    EXPECT_EQ(lengths.count, ContainerLengths::CAPACITY);
    const Octets plain = encode(list).value();
    EXPECT_EQ(table_encode(list, size, &lengths), plain);
}

TEST(WriteData, TableOfAnotherListStaysInsideTheBuffer) {
    // Wrong octets, but never a write past the buffer (ASan watches).
    const List small{Data::of_struct(1), Data::of_bool(true)};
    const List large{Data::of_struct(2), Data::of_octets(two_hundred), Data::of_struct(0)};
    ContainerLengths lengths;
    const std::size_t size = measure_sequence(small, lengths).value();
    EXPECT_EQ(table_encode(large, size, &lengths), std::unexpected(DataError{DataErrorKind::BufferFull}));
}

}  // namespace
}  // namespace valdrin::data
