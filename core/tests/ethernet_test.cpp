#include "ethernet.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::ethernet {
namespace {

using test::Octets;

const Mac dst{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01};
const Mac src{0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7};

// Destination and source, then `rest` from offset 12.
Octets frame(std::initializer_list<std::uint8_t> rest) {
    Octets out(dst.begin(), dst.end());
    out.insert(out.end(), src.begin(), src.end());
    out.insert(out.end(), rest);
    return out;
}

TEST(ParseFrame, Absent) {
    const struct { const char* why; Octets raw; std::uint16_t ethertype; } cases[] = {
        {"13 octets", Octets(13, 0x00), ETHERTYPE_GOOSE},
        // nothing after the EtherType
        {"14 octets", frame({0x88, 0xB8}), ETHERTYPE_GOOSE},
        // three octets from the APPID on
        {"no room for the Length", frame({0x88, 0xB8, 0x00, 0x01, 0x00}), ETHERTYPE_GOOSE},
        // Length 8 but only 4 octets of APPID header
        {"APPID header cut short", frame({0x88, 0xB8, 0x00, 0x01, 0x00, 0x08}), ETHERTYPE_GOOSE},
        {"Length 7", frame({0x88, 0xB8, 0x00, 0x01, 0x00, 0x07, 0, 0, 0, 0}), ETHERTYPE_GOOSE},
        // Length 10, 9 octets from the APPID on
        {"Length past the end", frame({0x88, 0xB8, 0x00, 0x01, 0x00, 0x0A, 0, 0, 0, 0, 0x61}), ETHERTYPE_GOOSE},
        {"GOOSE asked for as SV", frame({0x88, 0xB8, 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 0}), ETHERTYPE_SV},
        {"SV asked for as GOOSE", frame({0x88, 0xBA, 0x40, 0x00, 0x00, 0x08, 0, 0, 0, 0}), ETHERTYPE_GOOSE},
        // TPID and TCI, then only one octet of EtherType
        {"tagged, 17 octets", frame({0x81, 0x00, 0xA0, 0x64, 0x88}), ETHERTYPE_GOOSE},
        // 88A8 is not a tag: it stands where the EtherType should
        {"TPID 88A8", frame({0x88, 0xA8, 0xA0, 0x64, 0x88, 0xB8, 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 0}),
         ETHERTYPE_GOOSE},
        {"TPID 9100", frame({0x91, 0x00, 0xA0, 0x64, 0x88, 0xB8, 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 0}),
         ETHERTYPE_GOOSE},
        // the inner TPID is read as the EtherType
        {"two tags", frame({0x81, 0x00, 0xA0, 0x64, 0x81, 0x00, 0x00, 0x05, 0x88, 0xB8, 0, 1, 0, 8, 0, 0, 0, 0}),
         ETHERTYPE_GOOSE},
    };
    for (const auto& c : cases) EXPECT_FALSE(parse_frame(c.raw, c.ethertype).has_value()) << c.why;
}

TEST(ParseFrame, Fields) {
    const struct {
        const char* why;
        Octets raw;
        Octets payload;
        std::optional<std::uint8_t> priority;
        std::optional<std::uint16_t> vlan_id;
    } cases[] = {
        {"Length 8: no APDU", frame({0x88, 0xB8, 0x12, 0x34, 0x00, 0x08, 0xAB, 0xCD, 0x00, 0x01}), {}, {}, {}},
        {"padding after the APDU ignored",
         frame({0x88, 0xB8, 0x12, 0x34, 0x00, 0x0A, 0xAB, 0xCD, 0x00, 0x01, 0x61, 0x00, 0x00, 0x00}), {0x61, 0x00},
         {}, {}},
        {"TCI A064", frame({0x81, 0x00, 0xA0, 0x64, 0x88, 0xB8, 0x12, 0x34, 0x00, 0x09, 0xAB, 0xCD, 0x00, 0x01, 0x55}),
         {0x55}, 5, 100},
        {"DEI ignored", frame({0x81, 0x00, 0xB0, 0x64, 0x88, 0xB8, 0x12, 0x34, 0x00, 0x08, 0xAB, 0xCD, 0x00, 0x01}),
         {}, 5, 100},
        {"TCI 1FFF", frame({0x81, 0x00, 0x1F, 0xFF, 0x88, 0xB8, 0x12, 0x34, 0x00, 0x08, 0xAB, 0xCD, 0x00, 0x01}),
         {}, 0, 4095},
    };
    for (const auto& c : cases) {
        auto parsed = parse_frame(c.raw, ETHERTYPE_GOOSE);
        ASSERT_TRUE(parsed.has_value()) << c.why;
        EXPECT_EQ(Octets(parsed->payload.begin(), parsed->payload.end()), c.payload) << c.why;
        EXPECT_EQ(parsed->app_id, 0x1234) << c.why;
        EXPECT_EQ(parsed->reserved1, 0xABCD) << c.why;
        EXPECT_EQ(parsed->reserved2, 0x0001) << c.why;
        EXPECT_EQ(parsed->dst_mac, dst) << c.why;
        EXPECT_EQ(parsed->src_mac, src) << c.why;
        EXPECT_EQ(parsed->ethertype, ETHERTYPE_GOOSE) << c.why;
        EXPECT_EQ(parsed->vlan_priority, c.priority) << c.why;
        EXPECT_EQ(parsed->vlan_id, c.vlan_id) << c.why;
    }
    const Octets sv = frame({0x88, 0xBA, 0x40, 0x00, 0x00, 0x08, 0, 0, 0, 0});
    EXPECT_EQ(parse_frame(sv, ETHERTYPE_SV)->app_id, 0x4000);
}

TEST(WriteHeader, Octets) {
    Octets buffer(26 + 2, 0xEE);
    const FrameHeader tagged{dst, src, Vlan{100, 5}, 0x3001};
    ASSERT_EQ(write_header(tagged, ETHERTYPE_GOOSE, 2, buffer).value(), 28u);
    EXPECT_EQ(Octets(buffer.begin() + 12, buffer.end()),
              (Octets{0x81, 0x00, 0xA0, 0x64, 0x88, 0xB8, 0x30, 0x01, 0x00, 0x0A, 0, 0, 0, 0, 0xEE, 0xEE}));

    const FrameHeader untagged{dst, src, std::nullopt, 0x3001};
    ASSERT_EQ(write_header(untagged, ETHERTYPE_GOOSE, 2, buffer).value(), 24u);
    EXPECT_EQ(Octets(buffer.begin(), buffer.begin() + 22), frame({0x88, 0xB8, 0x30, 0x01, 0x00, 0x0A, 0, 0, 0, 0}));

    // The EtherType is the caller's: SV here, after the tag as before.
    ASSERT_EQ(write_header(tagged, ETHERTYPE_SV, 2, buffer).value(), 28u);
    EXPECT_EQ(Octets(buffer.begin() + 12, buffer.begin() + 26),
              (Octets{0x81, 0x00, 0xA0, 0x64, 0x88, 0xBA, 0x30, 0x01, 0x00, 0x0A, 0, 0, 0, 0}));
}

TEST(WriteHeader, ChecksInOrder) {
    struct Case {
        const char* why;
        std::optional<Vlan> vlan;
        std::size_t apdu_size;
        std::size_t capacity;
        HeaderError error;
    };
    constexpr std::size_t big = 1 << 17;
    const Case cases[] = {
        {"APDU too long before the VLAN", Vlan{4096, 8}, 65528, big, {HeaderCheck::ApduTooLong, 65528}},
        {"APDU too long, no room either", std::nullopt, 70000, 0, {HeaderCheck::ApduTooLong, 70000}},
        {"id before priority", Vlan{4096, 8}, 10, big, {HeaderCheck::VlanIdOutOfRange, 4096}},
        {"id 65535", Vlan{65535, 0}, 10, big, {HeaderCheck::VlanIdOutOfRange, 65535}},
        {"priority before capacity", Vlan{4095, 8}, 10, 0, {HeaderCheck::VlanPriorityOutOfRange, 8}},
        {"one octet short, tagged", Vlan{4095, 7}, 10, 35, {HeaderCheck::BufferTooSmall, 36}},
        {"one octet short, untagged", std::nullopt, 65527, 65548, {HeaderCheck::BufferTooSmall, 65549}},
    };
    for (const auto& c : cases) {
        Octets buffer(c.capacity, 0xEE);
        auto written = write_header({dst, src, c.vlan, 1}, ETHERTYPE_GOOSE, c.apdu_size, buffer);
        ASSERT_FALSE(written.has_value()) << c.why;
        EXPECT_EQ(written.error(), c.error) << c.why;
        EXPECT_EQ(buffer, Octets(c.capacity, 0xEE)) << c.why << ": nothing written";
    }
}

TEST(WriteHeader, ReadBackByParseFrame) {
    const std::optional<Vlan> vlans[] = {std::nullopt, Vlan{0, 0}, Vlan{4095, 7}, Vlan{100, 5}};
    const std::pair<std::uint16_t, std::uint16_t> ethertypes[] = {
        {ETHERTYPE_GOOSE, ETHERTYPE_SV}, {ETHERTYPE_SV, ETHERTYPE_GOOSE}};  // written, and the other one
    for (const auto& [ethertype, other] : ethertypes) {
        for (const auto& vlan : vlans) {
            for (std::size_t apdu_size : {0u, 1u, 300u, 65527u}) {
                const FrameHeader header{dst, src, vlan, 0xBEEF};
                Octets buffer(header_size(header) + apdu_size);
                for (std::size_t i = 0; i < apdu_size; ++i) buffer[header_size(header) + i] = std::uint8_t(i * 7);
                ASSERT_EQ(write_header(header, ethertype, apdu_size, buffer).value(), buffer.size());

                EXPECT_FALSE(parse_frame(buffer, other).has_value());
                auto parsed = parse_frame(buffer, ethertype);
                ASSERT_TRUE(parsed.has_value());
                EXPECT_EQ(parsed->ethertype, ethertype);
                EXPECT_EQ(parsed->dst_mac, dst);
                EXPECT_EQ(parsed->src_mac, src);
                EXPECT_EQ(parsed->app_id, 0xBEEF);
                EXPECT_EQ(parsed->reserved1, 0);
                EXPECT_EQ(parsed->reserved2, 0);
                EXPECT_EQ(parsed->vlan_id, vlan ? std::optional(vlan->id) : std::nullopt);
                EXPECT_EQ(parsed->vlan_priority, vlan ? std::optional(vlan->priority) : std::nullopt);
                EXPECT_EQ(parsed->payload.data(), buffer.data() + header_size(header));
                EXPECT_EQ(parsed->payload.size(), apdu_size);
            }
        }
    }
}

}  // namespace
}  // namespace valdrin::ethernet
