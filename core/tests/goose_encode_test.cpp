#include "goose.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace valdrin::goose {
namespace {

using data::Data;
using Octets = std::vector<std::uint8_t>;

std::string text_of(const EncodeError& error) {
    ber::Text text;
    describe(error, text);
    return std::string(text.view());
}

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
    struct Case {
        const char* why;
        GoosePdu pdu;
        Tag tag;
        Octets content;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) EXPECT_EQ(field(encode(c.pdu), c.tag), c.content) << c.why;

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
    struct Case {
        const char* why;
        GoosePdu pdu;
        std::optional<ethernet::Vlan> vlan;
        std::size_t capacity;
        std::string message;
    };
    const Case cases[] = {
        {"data before everything", bad, ethernet::Vlan{4096, 8}, 0, "unused_bits must be 0..7, got 8"},
        {"lacking members", short_list, std::nullopt, 0, "a structure or array lacks members"},
        {"APDU length before VLAN", too_long.pdu, ethernet::Vlan{4096, 8}, 0, "APDU too long: 65528 bytes"},
        {"VLAN id before priority", minimal(), ethernet::Vlan{4096, 8}, 0, "VLAN id out of range: 4096"},
        {"priority before capacity", minimal(), ethernet::Vlan{4095, 8}, 0, "VLAN priority out of range: 8"},
        {"capacity, tagged", minimal(), ethernet::Vlan{4095, 7}, 41 + 26 - 1, "buffer too small: 67 octets needed"},
        {"capacity, untagged", minimal(), std::nullopt, 41 + 22 - 1, "buffer too small: 63 octets needed"},
    };
    for (const Case& c : cases) {
        Octets buffer(c.capacity, 0xEE);
        auto written = encode_frame(c.pdu, {{}, {}, c.vlan, 0}, buffer);
        ASSERT_FALSE(written.has_value()) << c.why;
        EXPECT_EQ(text_of(written.error()), c.message) << c.why;
        EXPECT_EQ(buffer, Octets(c.capacity, 0xEE)) << c.why << ": nothing written";
    }
}

TEST(EncodePdu, Errors) {
    const Data deep[33] = {
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1), Data::of_struct(1),
        Data::of_struct(1), Data::of_struct(1), Data::of_struct(0)};
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

}  // namespace
}  // namespace valdrin::goose
