#include "ber.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::ber {
namespace {

using test::Octets;
using test::text_of;

struct Bad { const char* why; Octets input; std::size_t pos; std::string message; };

TEST(DecodeTlv, MalformedInputs) {
    const Bad cases[] = {
        {"empty input", {}, 0, "missing tag"},
        {"position at the end", {0x04, 0x00}, 2, "missing tag"},
        {"position past the end", {0x04, 0x00}, 7, "missing tag"},
        {"tag without length", {0x04}, 0, "missing length"},
        {"high-number tag cut after its first octet", {0x1F}, 0, "truncated high-number tag"},
        {"high-number tag cut inside", {0x1F, 0x81}, 0, "truncated high-number tag"},
        {"high-number tag without length", {0x1F, 0x21}, 0, "missing length"},
        {"indefinite length", {0x30, 0x80}, 0, "indefinite length is not supported"},
        {"long-form length cut short", {0x04, 0x82, 0x01}, 0, "truncated long-form length"},
        {"content shorter than its length", {0x04, 0x05, 0x01, 0x02}, 0,
         "TLV 0x4 truncated: needs 5 bytes, 2 left"},
        {"constructed tag truncated", {0xA2, 0x03, 0x01}, 0,
         "TLV 0xA2 truncated: needs 3 bytes, 1 left"},
        {"long form truncated", {0x04, 0x81, 0x05, 0x01}, 0,
         "TLV 0x4 truncated: needs 5 bytes, 1 left"},
        {"high-number tag truncated", {0xBF, 0x21, 0x02, 0x00}, 0,
         "TLV 0xBF21 truncated: needs 2 bytes, 1 left"},
        {"nine-octet length saturates", {0x04, 0x89, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0,
         "TLV 0x4 truncated: needs 18446744073709551615 bytes, 0 left"},
        {"127 length octets saturate", [] {
             Octets o{0x04, 0xFF};
             o.resize(2 + 127, 0x7F);
             return o;
         }(), 0, "TLV 0x4 truncated: needs 18446744073709551615 bytes, 0 left"},
    };
    for (const Bad& c : cases) {
        auto tlv = decode_tlv(c.input, c.pos);
        ASSERT_FALSE(tlv.has_value()) << c.why;
        EXPECT_EQ(text_of(tlv.error()), c.message) << c.why;

        // The reader refuses the same TLV, stays where it was and says why.
        Reader reader(c.input, c.pos);
        EXPECT_FALSE(reader.next().has_value()) << c.why;
        EXPECT_EQ(reader.pos(), c.pos) << c.why;
        EXPECT_EQ(reader.error(), tlv.error()) << c.why;
        EXPECT_FALSE(reader.read(c.input.empty() ? 0 : c.input[0]).has_value()) << c.why;
        EXPECT_EQ(reader.pos(), c.pos) << c.why;
    }
}

struct Good { const char* why; Octets input; std::size_t pos; Tag tag; std::size_t length; std::size_t end; };

TEST(DecodeTlv, WellFormedInputs) {
    const Good cases[] = {
        {"short form", {0x04, 0x02, 0xAA, 0xBB}, 0, 0x04, 2, 4},
        {"at a position", {0x00, 0x04, 0x01, 0xAA, 0x99}, 1, 0x04, 1, 4},
        {"empty content", {0x80, 0x00}, 0, 0x80, 0, 2},
        {"two-octet tag, empty", {0x1F, 0x21, 0x00}, 0, 0x1F21, 0, 3},
        {"three-octet tag", {0xBF, 0x81, 0x05, 0x00}, 0, 0xBF8105, 0, 4},
        {"four-octet tag", {0xBF, 0x81, 0x82, 0x05, 0x00}, 0, 0xBF818205, 0, 5},
        {"five-octet tag saturates", {0xBF, 0x81, 0x82, 0x83, 0x05, 0x00}, 0, 0xFFFFFFFF, 0, 6},
        {"six-octet tag stays saturated", {0xBF, 0x81, 0x82, 0x83, 0x84, 0x05, 0x00}, 0, 0xFFFFFFFF, 0, 7},
        {"long form of a short length", {0x04, 0x81, 0x05, 1, 2, 3, 4, 5}, 0, 0x04, 5, 8},
        {"leading zero length octets", {0x04, 0x83, 0x00, 0x00, 0x01, 0x07}, 0, 0x04, 1, 6},
        {"trailing octets ignored", {0x04, 0x01, 0x07, 0x08}, 0, 0x04, 1, 3},
    };
    for (const Good& c : cases) {
        auto tlv = decode_tlv(c.input, c.pos);
        ASSERT_TRUE(tlv.has_value()) << c.why << ": " << text_of(tlv.error());
        EXPECT_EQ(tlv->tag, c.tag) << c.why;
        EXPECT_EQ(tlv->length, c.length) << c.why;
        EXPECT_EQ(tlv->end, c.end) << c.why;
        EXPECT_EQ(tlv->content.size(), c.length) << c.why;
        EXPECT_EQ(tlv->content.data(), c.input.data() + c.end - c.length) << c.why << ": a view";

        // The reader yields the same TLV and moves just past it.
        Reader reader(c.input, c.pos);
        auto read = reader.next();
        ASSERT_TRUE(read.has_value()) << c.why;
        EXPECT_EQ(read->tag, c.tag) << c.why;
        EXPECT_EQ(read->end, c.end) << c.why;
        EXPECT_EQ(read->content.data(), tlv->content.data()) << c.why;
        EXPECT_EQ(reader.pos(), c.end) << c.why;
        EXPECT_EQ(reader.rest().data(), c.input.data() + c.end) << c.why;
        EXPECT_EQ(reader.rest().size(), c.input.size() - c.end) << c.why;
    }
}

// A2 { 83 01 FF, A1 { 85 01 05 } } 86 01 07, then two octets outside
// the view the readers are given.
const Octets nested{0xA2, 0x08, 0x83, 0x01, 0xFF, 0xA1, 0x03, 0x85, 0x01, 0x05, 0x86, 0x01, 0x07, 0xEE, 0xEE};
const Bytes nested_view = Bytes(nested).first(nested.size() - 2);

TEST(Reader, YieldsSubViewsThatConfineTheMembers) {
    Reader top(nested_view);
    auto structure = top.next();
    ASSERT_TRUE(structure.has_value());
    EXPECT_EQ(structure->tag, 0xA2u);
    EXPECT_EQ(structure->content.data(), nested.data() + 2);
    EXPECT_EQ(structure->content.size(), 8u);
    EXPECT_EQ(top.rest().data(), nested.data() + 10);

    // Over the content: its two members and nothing of what follows it.
    Reader members(structure->content);
    auto first = members.next();
    auto second = members.next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->tag, 0x83u);
    EXPECT_EQ(second->tag, 0xA1u);
    EXPECT_EQ(second->content.data(), nested.data() + 7);
    EXPECT_TRUE(members.empty());
    EXPECT_TRUE(members.rest().empty());
    EXPECT_FALSE(members.next().has_value());
    EXPECT_EQ(members.error(), BerError{BerErrorKind::MissingTag});

    auto last = top.next();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->tag, 0x86u);
    EXPECT_TRUE(top.empty()) << "the view ends before the EE octets";

    // A member longer than its content, though the octets after it would
    // hold it: truncated, the left count taken within the content alone.
    const Octets spill{0xA2, 0x02, 0x04, 0x03, 0x01, 0x02, 0x03};
    auto outer = decode_tlv(spill, 0);
    ASSERT_TRUE(outer.has_value());
    Reader inside(outer->content);
    EXPECT_FALSE(inside.next().has_value());
    EXPECT_EQ(inside.error(), BerError::truncated(0x04, 3, 0));
}

TEST(Reader, EnterWalksInPreOrder) {
    std::vector<Tag> tags;
    for (Reader walk(nested_view); !walk.empty();) {
        auto tlv = walk.next();
        ASSERT_TRUE(tlv.has_value());
        tags.push_back(tlv->tag);
        if (tlv->tag == 0xA1 || tlv->tag == 0xA2) walk.enter(*tlv);
    }
    EXPECT_EQ(tags, (std::vector<Tag>{0xA2, 0x83, 0xA1, 0x85, 0x86}));
}

TEST(Reader, ReadTakesOnlyTheTagAskedFor) {
    Reader reader(nested_view);
    EXPECT_FALSE(reader.read(0xA1).has_value());  // another tag: stays
    EXPECT_EQ(reader.pos(), 0u);
    auto structure = reader.read(0xA2);
    ASSERT_TRUE(structure.has_value());
    EXPECT_EQ(structure->end, 10u);
    EXPECT_EQ(reader.pos(), 10u);
    reader.finish();
    EXPECT_TRUE(reader.empty());
    EXPECT_FALSE(reader.read(0x86).has_value());  // nothing left
    EXPECT_TRUE(Reader().empty());
    EXPECT_TRUE(Reader(nested, 99).rest().empty());  // a start past the end
}

TEST(Reader, ReadShortTakesOnlyTheShortFormOfItsTag) {
    // A size of 255 stands for read_short(tag) without a size.
    constexpr std::size_t ANY = 255;
    const struct { const char* why; Octets input; std::uint8_t tag; std::size_t size; bool taken; } cases[] = {
        {"short form of the tag", {0x82, 0x02, 0x01, 0x02, 0x83}, 0x82, ANY, true},
        {"the size asked for", {0x82, 0x02, 0x01, 0x02}, 0x82, 2, true},
        {"empty content", {0x81, 0x00}, 0x81, 0, true},
        {"another size", {0x82, 0x02, 0x01, 0x02}, 0x82, 1, false},
        {"another tag", {0x82, 0x02, 0x01, 0x02}, 0x83, ANY, false},
        {"long form of the same length", {0x82, 0x81, 0x02, 0x01, 0x02}, 0x82, ANY, false},
        {"long form, the size asked for", {0x82, 0x81, 0x02, 0x01, 0x02}, 0x82, 2, false},
        {"content past the end", {0x87, 0x05, 0x01}, 0x87, ANY, false},
        {"content past the end, sized", {0x87, 0x05, 0x01}, 0x87, 5, false},
        {"only the tag", {0x87}, 0x87, ANY, false},
        {"nothing", {}, 0x80, 0, false},
    };
    for (const auto& c : cases) {
        Reader reader(c.input);
        const auto content = c.size == ANY ? reader.read_short(c.tag) : reader.read_short(c.tag, c.size);
        ASSERT_EQ(content.has_value(), c.taken) << c.why;
        // Where it takes a TLV, it is the one next() reads; else it stays.
        Reader general(c.input);
        if (c.taken) {
            const auto tlv = general.next();
            ASSERT_TRUE(tlv.has_value()) << c.why;
            EXPECT_EQ(content->data(), tlv->content.data()) << c.why;
            EXPECT_EQ(content->size(), tlv->length) << c.why;
            EXPECT_EQ(reader.pos(), general.pos()) << c.why;
        } else {
            EXPECT_EQ(reader.pos(), 0u) << c.why;
        }
    }
    EXPECT_FALSE(Reader(nested, 99).read_short(0x86).has_value()) << "a start past the end";
}

TEST(DecodeUnsigned, Table) {
    const struct { Octets content; std::optional<std::uint64_t> value; std::string message; } cases[] = {
        {{}, std::nullopt, "empty INTEGER"},
        {Octets(20, 0x00), 0, ""},
        {{0xFF}, 255, ""},
        {{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFFFFFFFFF, ""},
        {{0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}, 0x8000000000000000, ""},
        {{0x01, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt, "INTEGER above 64 bits"},
        {{0x01, 0x02}, 0x0102, ""},
    };
    for (const auto& c : cases) {
        auto value = decode_unsigned(c.content);
        if (c.value) {
            ASSERT_TRUE(value.has_value());
            EXPECT_EQ(*value, *c.value);
        } else {
            ASSERT_FALSE(value.has_value());
            EXPECT_EQ(text_of(value.error()), c.message);
        }
    }
}

TEST(Tlvs, CountsWellFormedItemsAndOneMalformedTail) {
    const Octets two{0x80, 0x00, 0x81, 0x05, 0x01};  // the second is truncated
    EXPECT_EQ(Tlvs(two).count(), 2u);
    const Octets three{0x80, 0x00, 0x81, 0x01, 0x07, 0x82, 0x00};
    EXPECT_EQ(Tlvs(three).count(), 3u);
    EXPECT_EQ(Tlvs(three, 2).count(), 2u);
    EXPECT_EQ(Tlvs({}).count(), 0u);

    Tlvs items(two);
    auto first = items.next();
    ASSERT_TRUE(first && first->has_value());
    auto second = items.next();
    ASSERT_TRUE(second && !second->has_value());
    EXPECT_EQ(second->error(), BerError::truncated(0x81, 5, 1));
    EXPECT_FALSE(items.next().has_value());
}

Octets bytes_of(const Integer& integer) {
    auto slice = integer.as_slice();
    return {slice.begin(), slice.end()};
}

TEST(Integer, MinimalForms) {
    const std::pair<Integer, Octets> cases[] = {
        {Integer::from_unsigned(0), {0x00}},
        {Integer::from_unsigned(127), {0x7F}},
        {Integer::from_unsigned(128), {0x00, 0x80}},
        {Integer::from_unsigned(256), {0x01, 0x00}},
        {Integer::from_unsigned(0x8000000000000000), {0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}},
        {Integer::from_unsigned(0xFFFFFFFFFFFFFFFF), {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {Integer::from_signed(0), {0x00}},
        {Integer::from_signed(-1), {0xFF}},
        {Integer::from_signed(-128), {0x80}},
        {Integer::from_signed(-129), {0xFF, 0x7F}},
        {Integer::from_signed(128), {0x00, 0x80}},
        {Integer::from_signed(INT64_MIN), {0x80, 0, 0, 0, 0, 0, 0, 0}},
        {Integer::from_signed(INT64_MAX), {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& [integer, octets] : cases) EXPECT_EQ(bytes_of(integer), octets);
}

TEST(Integer, SignedFormsReadBackByTheirSign) {
    // A property over powers of two and their neighbours: the minimal form
    // is the shortest whose sign extension gives the value back.
    for (int shift = 0; shift < 63; ++shift) {
        for (std::int64_t delta : {-1, 0, 1}) {
            for (std::int64_t sign : {1, -1}) {
                const std::int64_t v = sign * ((std::int64_t{1} << shift) + delta);
                const Octets form = bytes_of(Integer::from_signed(v));
                std::int64_t back = static_cast<std::int8_t>(form[0]);
                for (std::size_t i = 1; i < form.size(); ++i) {
                    back = static_cast<std::int64_t>(static_cast<std::uint64_t>(back) << 8 | form[i]);
                }
                EXPECT_EQ(back, v);
                if (form.size() > 1) {  // not shorter: the first octet is needed
                    const bool redundant = (form[0] == 0x00 && form[1] < 0x80) ||
                                           (form[0] == 0xFF && form[1] >= 0x80);
                    EXPECT_FALSE(redundant) << v;
                }
            }
        }
    }
}

struct Written { const char* why; Tag tag; std::size_t length; Octets octets; };

TEST(Writer, HeadersAndLengthForms) {
    const Written cases[] = {
        {"short length", 0xAB, 127, {0xAB, 0x7F}},
        {"first long length", 0x61, 128, {0x61, 0x81, 0x80}},
        {"tag 0, length 0", 0x00, 0, {0x00, 0x00}},
        {"255", 0x04, 255, {0x04, 0x81, 0xFF}},
        {"256", 0x04, 256, {0x04, 0x82, 0x01, 0x00}},
        {"65536", 0x04, 65536, {0x04, 0x83, 0x01, 0x00, 0x00}},
        {"two-octet tag", 0xBF21, 1, {0xBF, 0x21, 0x01}},
        {"four-octet tag", 0xBF818205, 0, {0xBF, 0x81, 0x82, 0x05, 0x00}},
    };
    for (const Written& c : cases) {
        std::uint8_t buffer[16] = {};
        Writer writer(buffer);
        ASSERT_TRUE(writer.put_header(c.tag, c.length).has_value()) << c.why;
        EXPECT_EQ(Octets(buffer, buffer + writer.pos()), c.octets) << c.why;
        EXPECT_EQ(writer.pos(), tlv_size(c.tag, c.length) - c.length) << c.why;
    }
}

TEST(Writer, StopsAtCapacityAfterTheFittingPieces) {
    std::uint8_t buffer[2] = {};
    Writer writer(buffer);
    const std::uint8_t content[] = {1, 2, 3};
    EXPECT_EQ(writer.put_tlv(0x04, content), std::unexpected(WriteFull{}));
    EXPECT_EQ(writer.pos(), 2u);  // tag and length went in
    EXPECT_EQ(buffer[0], 0x04);
    EXPECT_EQ(buffer[1], 0x03);

    std::uint8_t two[2] = {};
    Writer header(two);
    EXPECT_EQ(header.put_header(0x61, 128), std::unexpected(WriteFull{}));  // 61 81 | 80
    EXPECT_EQ(header.pos(), 2u);

    std::uint8_t none[1] = {};
    Writer at_end(none, 1);
    EXPECT_EQ(at_end.put_header(0x04, 0), std::unexpected(WriteFull{}));
    Writer past_end(none, 5);
    EXPECT_EQ(past_end.put_tlv(0x04, {}), std::unexpected(WriteFull{}));
}

TEST(Writer, TlvReadsBack) {
    for (std::size_t length : {0u, 1u, 127u, 128u, 255u, 256u, 70000u}) {
        std::vector<std::uint8_t> content(length, 0x5A);
        std::vector<std::uint8_t> buffer(tlv_size(0x89, length));
        Writer writer(buffer);
        ASSERT_TRUE(writer.put_tlv(0x89, content).has_value());
        ASSERT_EQ(writer.pos(), buffer.size());
        auto tlv = decode_tlv(buffer, 0);
        ASSERT_TRUE(tlv.has_value());
        EXPECT_EQ(tlv->tag, 0x89u);
        EXPECT_EQ(tlv->length, length);
        EXPECT_EQ(tlv->end, buffer.size());
    }
}

}  // namespace
}  // namespace valdrin::ber
