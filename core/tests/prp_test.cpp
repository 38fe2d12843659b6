#include "prp.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::prp {
namespace {

using test::Octets;

const Mac dst{0x01, 0x0C, 0xCD, 0x04, 0x00, 0x01};
const Mac src{0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

// Destination and source, then `rest` from offset 12.
Octets frame(std::initializer_list<std::uint8_t> rest) {
    Octets out(dst.begin(), dst.end());
    out.insert(out.end(), src.begin(), src.end());
    out.insert(out.end(), rest);
    return out;
}

// Octets `rest` after `head`.
Octets concat(Octets head, const Octets& rest) {
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
}

// An SV frame of 70 octets (EtherType, APPID header, 54 octets of APDU):
// long enough to need no padding.
Octets sv70() {
    Octets out = frame({0x88, 0xBA, 0x40, 0x00, 0x00, 0x3E, 0x00, 0x00, 0x00, 0x00});
    out.resize(70, 0x5A);
    return out;
}

TEST(Messages, OneLinePerError) {
    EXPECT_EQ(message(Error::NoTrailer), "no redundancy control trailer at the end of the frame");
    EXPECT_EQ(message(Error::LsduTooLarge), "LSDU size above 4095 octets");
    EXPECT_EQ(message(Error::NotHsr), "no HSR tag (EtherType 892F)");
    EXPECT_EQ(message(static_cast<Error>(200)), "");
}

TEST(WriteTrailer, ExactOctets) {
    // 70 octets, LSDU from offset 14: 56 + 6 = 62 = 0x03E; LAN A: A03E.
    Octets buffer = sv70();
    buffer.resize(100, 0xEE);
    auto size = write_trailer(buffer, 70, 0x1234, Lan::A);
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 76U);
    EXPECT_EQ(Octets(buffer.begin() + 70, buffer.begin() + 76), (Octets{0x12, 0x34, 0xA0, 0x3E, 0x88, 0xFB}));
    EXPECT_EQ(buffer[76], 0xEE) << "nothing written past the trailer";

    // LAN B with an 802.1Q tag: the LSDU starts after the tag (offset 18).
    Octets tagged = frame({0x81, 0x00, 0x80, 0x05, 0x88, 0xBA, 0x40, 0x00});
    tagged.resize(80, 0x11);
    tagged.resize(90);
    size = write_trailer(tagged, 80, 0xFFFF, Lan::B);
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 86U);
    // 86 - 18 = 68 = 0x044
    EXPECT_EQ(Octets(tagged.begin() + 80, tagged.end() - 4), (Octets{0xFF, 0xFF, 0xB0, 0x44, 0x88, 0xFB}));
}

TEST(WriteTrailer, ShortFramePaddedBeforeTheTrailer) {
    // 20 octets: zeros up to 54, then the trailer ends a 60-octet frame;
    // LSDU 60 - 14 = 46 = 0x02E.
    Octets buffer = frame({0x88, 0xB8, 0x00, 0x01, 0x00, 0x08});
    buffer.resize(64, 0xEE);
    auto size = write_trailer(buffer, 20, 7, Lan::B);
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 60U);
    EXPECT_EQ(Octets(buffer.begin() + 20, buffer.begin() + 54), Octets(34, 0x00));
    EXPECT_EQ(Octets(buffer.begin() + 54, buffer.begin() + 60), (Octets{0x00, 0x07, 0xB0, 0x2E, 0x88, 0xFB}));
}

TEST(WriteTrailer, Refused) {
    Octets big(4096 + 14, 0);
    const struct { const char* why; Octets buffer; std::size_t frame_size; Error error; } cases[] = {
        // the frame claims more octets than the buffer has
        {"frame past the buffer", Octets(20), 21, Error::BufferTooSmall},
        // no room for the six trailer octets
        {"no room for the trailer", sv70(), 70, Error::BufferTooSmall},
        // a frame of 13 octets has no EtherType
        {"no link header", Octets(80), 13, Error::FrameTooShort},
        // 4096 + 6 octets of LSDU do not fit in 12 bits
        {"LSDU of 4102", concat(big, Octets(6)), big.size(), Error::LsduTooLarge},
    };
    for (const auto& c : cases) {
        Octets buffer = c.buffer;
        const Octets before = buffer;
        auto size = write_trailer(buffer, c.frame_size, 1, Lan::A);
        ASSERT_FALSE(size) << c.why;
        EXPECT_EQ(size.error(), c.error) << c.why;
        EXPECT_EQ(buffer, before) << c.why << ": nothing written";
    }
    // The largest LSDU that fits: 4095 octets.
    Octets largest(14 + 4089 + 6, 0);
    EXPECT_EQ(write_trailer(largest, 14 + 4089, 1, Lan::A).value(), largest.size());
}

TEST(ReadTrailer, RoundTrip) {
    for (std::size_t size : {14U, 20U, 54U, 55U, 70U, 1500U}) {
        for (Lan lan : {Lan::A, Lan::B}) {
            Octets buffer = frame({0x88, 0xBA});
            buffer.resize(size + 70, 0);
            auto written = write_trailer(buffer, size, static_cast<std::uint16_t>(size * 7), lan);
            ASSERT_TRUE(written);
            auto tagged = read_trailer(Bytes(buffer).first(*written));
            ASSERT_TRUE(tagged) << size;
            EXPECT_EQ(tagged->frame.size(), *written - 6) << size;
            EXPECT_EQ(tagged->trailer.seq, static_cast<std::uint16_t>(size * 7));
            EXPECT_EQ(tagged->lan(), lan);
            EXPECT_TRUE(tagged->size_ok()) << size;
        }
    }
}

TEST(ReadTrailer, Fields) {
    // LSDU 0x03E written for a frame whose LSDU is 62: right; then the same
    // trailer on a frame one octet longer: wrong size, still read.
    Octets ok = concat(sv70(), {0xAB, 0xCD, 0xB0, 0x3E, 0x88, 0xFB});
    auto tagged = read_trailer(ok);
    ASSERT_TRUE(tagged);
    EXPECT_EQ(tagged->trailer, (Trailer{0xABCD, 0xB, 0x03E}));
    EXPECT_EQ(tagged->lan(), Lan::B);
    EXPECT_EQ(tagged->frame.data(), ok.data());
    EXPECT_EQ(tagged->frame.size(), 70U);
    EXPECT_TRUE(tagged->size_ok());

    Octets longer = sv70();
    longer.push_back(0x00);
    longer = concat(longer, {0xAB, 0xCD, 0xB0, 0x3E, 0x88, 0xFB});
    tagged = read_trailer(longer);
    ASSERT_TRUE(tagged);
    EXPECT_EQ(tagged->expected_lsdu_size, 63U);
    EXPECT_FALSE(tagged->size_ok());
}

TEST(ReadTrailer, Absent) {
    const struct { const char* why; Octets raw; Error error; } cases[] = {
        {"five octets", Octets{0x00, 0x01, 0xA0, 0x10, 0x88}, Error::NoTrailer},
        // a plain SV frame: its last octets are APDU
        {"no suffix", sv70(), Error::NoTrailer},
        // suffix right, LAN id 1100
        {"LAN id C", concat(sv70(), {0x00, 0x01, 0xC0, 0x3E, 0x88, 0xFB}), Error::NoTrailer},
        // LAN id 0000: the trailer of no LAN
        {"LAN id 0", concat(sv70(), {0x00, 0x01, 0x00, 0x3E, 0x88, 0xFB}), Error::NoTrailer},
        // suffix 88FA
        {"suffix off by one", concat(sv70(), {0x00, 0x01, 0xA0, 0x3E, 0x88, 0xFA}), Error::NoTrailer},
        // a trailer after only 10 octets: no EtherType in front of it
        {"no header", concat(Octets(10, 0), {0x00, 0x01, 0xA0, 0x06, 0x88, 0xFB}), Error::FrameTooShort},
        // an 802.1Q TPID whose TCI is cut by the trailer
        {"tag cut", concat(frame({0x81, 0x00, 0x00}), {0x00, 0x01, 0xA0, 0x06, 0x88, 0xFB}), Error::FrameTooShort},
    };
    for (const auto& c : cases) {
        auto tagged = read_trailer(c.raw);
        ASSERT_FALSE(tagged) << c.why;
        EXPECT_EQ(tagged.error(), c.error) << c.why;
    }
}

TEST(Supervision, ExactOctets) {
    Octets buffer(64, 0xEE);
    auto size = write_supervision(buffer, src, 0x0102, 0x0304, Lan::A);
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, 60U);
    const Octets expected = concat(
        {
            0x01, 0x15, 0x4E, 0x00, 0x01, 0x00,  // destination
            0x02, 0x00, 0x00, 0x00, 0x00, 0x07,  // source
            0x88, 0xFB,                          // EtherType
            0x00, 0x01,                          // path 0, version 1
            0x01, 0x02,                          // supervision sequence
            20, 6, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07,  // TLV 20: the node
            0, 0,                                // TLV 0
        },
        concat(Octets(26, 0x00),  // padding to 54
               {0x03, 0x04, 0xA0, 0x2E, 0x88, 0xFB}));  // trailer: LSDU 46
    EXPECT_EQ(Octets(buffer.begin(), buffer.begin() + 60), expected);
    Octets short_buffer(59);
    EXPECT_EQ(write_supervision(short_buffer, src, 0, 0, Lan::A).error(), Error::BufferTooSmall) << "59 octets";

    auto tagged = read_trailer(Bytes(buffer).first(60));
    ASSERT_TRUE(tagged);
    auto read = read_supervision(tagged->frame);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->path, 0);
    EXPECT_EQ(read->version, 1);
    EXPECT_EQ(read->seq, 0x0102);
    EXPECT_EQ(read->tlv_type, 20);
    EXPECT_EQ(read->node, src);
    EXPECT_FALSE(read->redbox);
}

TEST(Supervision, RedBoxAndRefused) {
    const Mac redbox{0x02, 0xBB, 0, 0, 0, 1};
    Octets head = {0x01, 0x15, 0x4E, 0x00, 0x01, 0x2A, 0x02, 0xBB, 0, 0, 0, 1, 0x88, 0xFB};
    // Duplicate accept (21), then the RedBox TLV, then the end.
    Octets body = {0x00, 0x01, 0x00, 0x09, 21, 6, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07, 30, 6,
                   0x02, 0xBB, 0, 0, 0, 1, 0, 0};
    auto read = read_supervision(concat(head, body));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->tlv_type, 21);
    EXPECT_EQ(read->node, src);
    EXPECT_EQ(read->redbox, redbox);

    const struct { const char* why; Octets raw; Error error; } cases[] = {
        // an SV destination
        {"destination", concat(frame({0x88, 0xFB}), body), Error::NotSupervision},
        {"EtherType 88FA", concat({0x01, 0x15, 0x4E, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0x88, 0xFA}, body),
         Error::NotSupervision},
        // five octets of body
        {"header cut", concat(head, {0x00, 0x01, 0x00, 0x09, 20}), Error::SupervisionTooShort},
        // the node's MAC ends after three octets
        {"TLV cut", concat(head, {0x00, 0x01, 0x00, 0x09, 20, 6, 1, 2, 3}), Error::SupervisionTooShort},
        // TLV 30 first
        {"TLV type", concat(head, {0x00, 0x01, 0x00, 0x09, 30, 6, 1, 2, 3, 4, 5, 6}), Error::SupervisionTlv},
        // TLV 20 of length 4
        {"TLV length", concat(head, {0x00, 0x01, 0x00, 0x09, 20, 4, 1, 2, 3, 4, 5, 6}), Error::SupervisionTlv},
    };
    for (const auto& c : cases) {
        auto r = read_supervision(c.raw);
        ASSERT_FALSE(r) << c.why;
        EXPECT_EQ(r.error(), c.error) << c.why;
    }
}

TEST(Hsr, ReadAndUntag) {
    // HSR tag: path 1, LSDU 0x014 (20: tag 6 + SV header 8 + 6 octets), seq 0x0A0B, SV.
    const Octets hsr = frame({0x89, 0x2F, 0x10, 0x14, 0x0A, 0x0B, 0x88, 0xBA,  //
                              0x40, 0x00, 0x00, 0x0E, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6});
    auto tag = read_hsr(hsr);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->path, 1);
    EXPECT_EQ(tag->lsdu_size, 0x14);
    EXPECT_EQ(tag->seq, 0x0A0B);
    EXPECT_EQ(tag->ethertype, 0x88BA);
    EXPECT_EQ(tag->at, 12U);
    EXPECT_TRUE(tag->size_ok());

    Octets out(hsr.size() - 6);
    auto size = untag_hsr(hsr, *tag, out);
    ASSERT_TRUE(size);
    EXPECT_EQ(*size, hsr.size() - 6);
    EXPECT_EQ(out, frame({0x88, 0xBA, 0x40, 0x00, 0x00, 0x0E, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6}));
    Octets one_short(hsr.size() - 7);
    EXPECT_EQ(untag_hsr(hsr, *tag, one_short).error(), Error::BufferTooSmall);

    // Behind an 802.1Q tag, the tag kept; LSDU 0x010 for 16 octets is wrong (14 follow).
    const Octets tagged = frame({0x81, 0x00, 0x80, 0x05, 0x89, 0x2F, 0xA0, 0x10, 0x00, 0x01, 0x88, 0xB8,
                                 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 0});
    tag = read_hsr(tagged);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->at, 16U);
    EXPECT_EQ(tag->path, 0xA);
    EXPECT_EQ(tag->expected_lsdu_size, 14U);
    EXPECT_FALSE(tag->size_ok());
    Octets untagged(tagged.size() - 6);
    ASSERT_TRUE(untag_hsr(tagged, *tag, untagged));
    EXPECT_EQ(untagged, frame({0x81, 0x00, 0x80, 0x05, 0x88, 0xB8, 0x00, 0x01, 0x00, 0x08, 0, 0, 0, 0}));

    // Refused: another EtherType, and a tag cut after its sequence number.
    EXPECT_EQ(read_hsr(sv70()).error(), Error::NotHsr);
    EXPECT_EQ(read_hsr(frame({0x89, 0x2F, 0x10, 0x14, 0x0A, 0x0B})).error(), Error::FrameTooShort);
}

}  // namespace
}  // namespace valdrin::prp
