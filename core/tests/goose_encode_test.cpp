#include "goose.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::goose {
namespace {

using test::Octets;
using test::text_of;

using data::Data;

GoosePdu minimal() { return GoosePdu{.gocb_ref = "A", .dat_set = "B"}; }

Octets encode(const GoosePdu& pdu) {
    const std::size_t size = pdu_len(pdu).value();
    Octets out(size);
    EXPECT_EQ(encode_pdu(pdu, out).value(), size);
    return out;
}

// The content of the field with `tag` in an encoded PDU.
Octets field(const Octets& pdu, Tag tag) {
    auto outer = ber::decode_tlv(pdu, 0).value();
    for (ber::Tlvs fields(outer.content); auto tlv = fields.next();) {
        if (tlv->value().tag == tag) return {tlv->value().content.begin(), tlv->value().content.end()};
    }
    ADD_FAILURE() << "no field 0x" << std::hex << tag;
    return {};
}

const Octets minimal_pdu{0x61, 0x27, 0x80, 0x01, 0x41, 0x81, 0x01, 0x00, 0x82, 0x01, 0x42, 0x84, 0x08,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x85, 0x01, 0x00, 0x86, 0x01,
                         0x00, 0x87, 0x01, 0x00, 0x88, 0x01, 0x00, 0x89, 0x01, 0x00, 0x8A, 0x01, 0x00,
                         0xAB, 0x00};

TEST(EncodePdu, MinimalPdu) {
    EXPECT_EQ(minimal_pdu.size(), 41u);
    EXPECT_EQ(encode(minimal()), minimal_pdu);

    GoosePdu with_go_id = minimal();
    with_go_id.go_id = "";
    Octets expected = minimal_pdu;
    expected[1] = 0x29;
    expected.insert(expected.begin() + 11, {0x83, 0x00});
    EXPECT_EQ(encode(with_go_id), expected);
}

TEST(EncodePdu, Fields) {
    const std::string long_ref(128, 'R');
    const Octets two_hundred(200, 0x5A);
    const Data values[] = {Data::of_struct(2), Data::of_bool(true), Data::of_int(-1), Data::of_octets(two_hundred)};
    const struct { const char* why; GoosePdu pdu; Tag tag; Octets content; } cases[] = {
        {"timeAllowedtoLive 2^32 - 1", {.gocb_ref = "A", .time_allowed_to_live = 4294967295}, 0x81,
         {0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"timeAllowedtoLive 128", {.gocb_ref = "A", .time_allowed_to_live = 128}, 0x81, {0x00, 0x80}},
        {"goID", {.gocb_ref = "A", .go_id = "G1"}, 0x83, {0x47, 0x31}},
        {"t, fraction clamped", {.gocb_ref = "A", .t = {0x5F5E1000, 0x1000000, 0x0A}}, 0x84,
         {0x5F, 0x5E, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0x0A}},
        {"stNum", {.gocb_ref = "A", .st_num = 0x01000000}, 0x85, {0x01, 0x00, 0x00, 0x00}},
        {"sqNum", {.gocb_ref = "A", .sq_num = 0x80000000}, 0x86, {0x00, 0x80, 0x00, 0x00, 0x00}},
        {"simulation", {.gocb_ref = "A", .simulation = true}, 0x87, {0xFF}},
        {"confRev", {.gocb_ref = "A", .conf_rev = 1}, 0x88, {0x01}},
        {"ndsCom", {.gocb_ref = "A", .nds_com = true}, 0x89, {0xFF}},
        {"numDatSetEntries not compared with allData", {.gocb_ref = "A", .num_dat_set_entries = 7}, 0x8A, {0x07}},
        {"allData", {.gocb_ref = "A", .all_data = std::span(values).first(3)}, 0xAB,
         {0xA2, 0x06, 0x83, 0x01, 0xFF, 0x85, 0x01, 0xFF}},
    };
    for (const auto& c : cases) EXPECT_EQ(field(encode(c.pdu), c.tag), c.content) << c.why;

    // Long forms: gocbRef 80 81 80; allData AB 81 D3 (8 + 203 octets); the
    // PDU 61 82 01 7A (131 + 33 + 214 octets).
    const GoosePdu big{.gocb_ref = long_ref, .all_data = values};
    const Octets pdu = encode(big);
    EXPECT_EQ(Octets(pdu.begin(), pdu.begin() + 7), (Octets{0x61, 0x82, 0x01, 0x7A, 0x80, 0x81, 0x80}));
    EXPECT_EQ(field(pdu, 0xAB).size(), 0xD3u);
    EXPECT_EQ(pdu.size(), 4u + 0x17A);
}

// A PDU whose size is exactly `size`, padded with one octet string.
struct Sized {
    Octets padding;
    Data value[1];
    GoosePdu pdu;

    explicit Sized(std::size_t size) {
        for (std::size_t k = size - 60;; ++k) {
            padding.assign(k, 0x00);
            value[0] = Data::of_octets(padding);
            pdu = GoosePdu{.gocb_ref = "A", .dat_set = "B", .all_data = value};
            if (pdu_len(pdu).value() >= size) break;
        }
        EXPECT_EQ(pdu_len(pdu).value(), size);
    }
};

TEST(EncodeFrame, ApduLengthLimit) {
    const ethernet::FrameHeader header{{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}, std::nullopt, 1};
    const Sized fits(65527);
    Octets frame(65527 + 22);
    EXPECT_EQ(encode_frame(fits.pdu, header, frame).value(), frame.size());
    EXPECT_EQ(Octets(frame.begin() + 16, frame.begin() + 18), (Octets{0xFF, 0xFF}));  // Length 65535

    const Sized too_long(65528);
    frame.resize(65528 + 22);
    auto failed = encode_frame(too_long.pdu, header, frame);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(text_of(failed.error()), "APDU too long: 65528 bytes");
    Octets pdu(65528);
    EXPECT_EQ(encode_pdu(too_long.pdu, pdu).value(), 65528u);
}

TEST(EncodeFrame, ChecksInOrder) {
    const Data bad_bits[] = {Data::of_bits(8, {})};
    const Data lacking[] = {Data::of_array(1)};
    const Sized too_long(65528);
    GoosePdu bad = too_long.pdu;  // its allData fails before its size is looked at
    bad.all_data = bad_bits;
    GoosePdu short_list = minimal();
    short_list.all_data = lacking;
    const struct {
        const char* why;
        GoosePdu pdu;
        std::optional<ethernet::Vlan> vlan;
        std::size_t capacity;
        std::string message;
    } cases[] = {
        {"data before everything", bad, ethernet::Vlan{4096, 8}, 0, "unused_bits must be 0..7, got 8"},
        {"lacking members", short_list, std::nullopt, 0, "a structure or array lacks members"},
        {"APDU length before VLAN", too_long.pdu, ethernet::Vlan{4096, 8}, 0, "APDU too long: 65528 bytes"},
        {"VLAN id before priority", minimal(), ethernet::Vlan{4096, 8}, 0, "VLAN id out of range: 4096"},
        {"priority before capacity", minimal(), ethernet::Vlan{4095, 8}, 0, "VLAN priority out of range: 8"},
        {"capacity, tagged", minimal(), ethernet::Vlan{4095, 7}, 41 + 26 - 1, "buffer too small: 67 octets needed"},
        {"capacity, untagged", minimal(), std::nullopt, 41 + 22 - 1, "buffer too small: 63 octets needed"},
    };
    for (const auto& c : cases) {
        Octets buffer(c.capacity, 0xEE);
        auto written = encode_frame(c.pdu, {{}, {}, c.vlan, 0}, buffer);
        ASSERT_FALSE(written.has_value()) << c.why;
        EXPECT_EQ(text_of(written.error()), c.message) << c.why;
        EXPECT_EQ(buffer, Octets(c.capacity, 0xEE)) << c.why << ": nothing written";
    }
}

TEST(EncodePdu, Errors) {
    // 33 structures, each the only member of the one before.
    std::vector<Data> deep(33, Data::of_struct(1));
    deep.back() = Data::of_struct(0);
    GoosePdu pdu = minimal();
    pdu.all_data = deep;
    EXPECT_EQ(text_of(pdu_len(pdu).error()), "structures and arrays nested deeper than 32");
    pdu.all_data = std::span(deep).subspan(1);  // 32 levels
    EXPECT_TRUE(pdu_len(pdu).has_value());

    // One octet short: the PDU size is reported and the buffer untouched.
    Octets buffer(40, 0xEE);
    auto written = encode_pdu(minimal(), buffer);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), (EncodeError{EncodeErrorKind::BufferTooSmall, 41}));
    EXPECT_EQ(text_of(written.error()), "buffer too small: 41 octets needed");
    EXPECT_EQ(buffer, Octets(40, 0xEE));
}

TEST(EncodeFrame, ReadsBackAsTheSamePdu) {
    const Octets quality{0x00, 0x00};
    const Data values[] = {Data::of_struct(3), Data::of_bool(true), Data::of_bits(3, quality),
                           Data::of_utc({1700000000, 0x800000, 0x0A}), Data::of_f32(0x3F800000)};
    GoosePdu pdu{.gocb_ref = "IED1LD0/LLN0$GO$gcb1", .time_allowed_to_live = 2000, .dat_set = "IED1LD0/LLN0$ds1",
                 .go_id = "gcb1", .t = {1700000000, 0x400000, 0x0A}, .st_num = 3, .sq_num = 17,
                 .conf_rev = 1, .num_dat_set_entries = 2, .all_data = values};
    const Octets bare = encode(pdu);
    for (const auto& vlan : {std::optional<ethernet::Vlan>{}, std::optional(ethernet::Vlan{100, 4})}) {
        const ethernet::FrameHeader header{{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01}, {2, 0, 0, 0, 0, 9}, vlan, 0x0003};
        Octets frame(bare.size() + (vlan ? 26 : 22));
        ASSERT_EQ(encode_frame(pdu, header, frame).value(), frame.size());
        auto parsed = ethernet::parse_frame(frame, ethernet::ETHERTYPE_GOOSE);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(Octets(parsed->payload.begin(), parsed->payload.end()), bare);
        EXPECT_EQ(parsed->dst_mac, header.dst_mac);
        EXPECT_EQ(parsed->app_id, 0x0003);
        EXPECT_EQ(parsed->vlan_id, vlan ? std::optional<std::uint16_t>(100) : std::nullopt);
        EXPECT_EQ(data::check_sequence(field(bare, 0xAB)).value(), 2u);
    }
}

// The PDU as the plain ber::Writer path writes it, piece by piece.
Octets reference(const GoosePdu& pdu) {
    const auto text = [](std::string_view value) {
        return Bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
    };
    const auto integer = [](std::uint32_t value) { return ber::Integer::from_unsigned(value); };
    const std::uint8_t booleans[2] = {0x00, 0xFF};
    Octets content(1 << 16);
    ber::Writer w(content);
    bool ok = w.put_tlv(0x80, text(pdu.gocb_ref)).has_value();
    ok = ok && w.put_tlv(0x81, integer(pdu.time_allowed_to_live).as_slice());
    ok = ok && w.put_tlv(0x82, text(pdu.dat_set));
    if (pdu.go_id) ok = ok && w.put_tlv(0x83, text(*pdu.go_id));
    ok = ok && w.put_tlv(0x84, data::utc_octets(pdu.t));
    ok = ok && w.put_tlv(0x85, integer(pdu.st_num).as_slice());
    ok = ok && w.put_tlv(0x86, integer(pdu.sq_num).as_slice());
    ok = ok && w.put_tlv(0x87, Bytes(&booleans[pdu.simulation], 1));
    ok = ok && w.put_tlv(0x88, integer(pdu.conf_rev).as_slice());
    ok = ok && w.put_tlv(0x89, Bytes(&booleans[pdu.nds_com], 1));
    ok = ok && w.put_tlv(0x8A, integer(pdu.num_dat_set_entries).as_slice());
    ok = ok && w.put_header(0xAB, data::measure_sequence(pdu.all_data).value());
    ok = ok && data::write_sequence(pdu.all_data, w).has_value();
    EXPECT_TRUE(ok);
    content.resize(w.pos());
    Octets out(content.size() + 8);
    ber::Writer o(out);
    EXPECT_TRUE(o.put_header(0x61, content.size()) && o.put_bytes(content));
    out.resize(o.pos());
    return out;
}

TEST(EncodePdu, SameOctetsAsThePlainWriter) {
    std::mt19937 rng(88);
    const auto below = [&](std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng); };
    const auto number = [&] {
        const std::uint32_t edges[] = {0, 1, 127, 128, 255, 256, 0x7FFFFF, 0x800000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
        return below(2) ? edges[below(std::size(edges))] : static_cast<std::uint32_t>(rng()) >> below(32);
    };
    const std::size_t text_sizes[] = {0, 1, 26, 127, 128, 255, 256, 300};
    std::deque<std::string> texts;
    const auto some_text = [&] {
        std::string& text = texts.emplace_back(text_sizes[below(std::size(text_sizes))], 'x');
        for (char& c : text) c = static_cast<char>('!' + below(94));
        return std::string_view(text);
    };
    const Octets quality{0x40, 0x00};
    const Octets long_octets(150, 0x77);
    for (int n = 0; n < 1500; ++n) {
        SCOPED_TRACE(n);
        // Data sets of structures of stVal, q and t, with floats, integers
        // and now and then a long octet string or an empty structure.
        std::vector<Data> values;
        for (std::uint32_t i = below(40); i > 0; --i) {
            switch (below(6)) {
                case 0:
                    values.insert(values.end(), {Data::of_struct(3), Data::of_bool(below(2)),
                                                 Data::of_bits(3, quality), Data::of_utc({number(), number(), 0x0A})});
                    break;
                case 1: values.push_back(Data::of_f32(number())); break;
                case 2: values.push_back(Data::of_int(static_cast<std::int32_t>(number()))); break;
                case 3: values.push_back(Data::of_uint(number())); break;
                case 4: values.push_back(Data::of_octets(long_octets)); break;
                default: values.insert(values.end(), {Data::of_array(1), Data::of_struct(0)});
            }
        }
        GoosePdu pdu{.gocb_ref = some_text(), .time_allowed_to_live = number(), .dat_set = some_text(),
                     .t = {number(), number(), static_cast<std::uint8_t>(number())}, .st_num = number(),
                     .sq_num = number(), .simulation = below(2) == 1, .conf_rev = number(), .nds_com = below(2) == 1,
                     .num_dat_set_entries = number(), .all_data = values};
        if (below(2)) pdu.go_id = some_text();
        const Octets expected = reference(pdu);
        EXPECT_EQ(pdu_len(pdu).value(), expected.size());
        EXPECT_EQ(encode(pdu), expected);
        auto fields = Fields::of(pdu);
        ASSERT_TRUE(fields.has_value());
        EXPECT_EQ(1 + ber::length_size(fields->content_len(pdu)) + fields->content_len(pdu), expected.size());
    }
}

}  // namespace
}  // namespace valdrin::goose
