#include "goose.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::goose {
namespace {

using test::cat;
using test::Octets;
using test::text_of;
using test::tlv;

using data::Data;
using data::Kind;

std::string str(Bytes octets) { return {octets.begin(), octets.end()}; }
Octets bytes(std::string_view text) { return {text.begin(), text.end()}; }

// The fields of a conformant PDU, each a whole TLV, by field number.
const Octets all_data_content{0xA2, 0x06, 0x83, 0x01, 0xFF, 0x84, 0x01, 0x00, 0x85, 0x01, 0x07};
std::vector<Octets> good_fields() {
    return {tlv(0x80, bytes("IED1/LLN0$GO$gcb1")), tlv(0x81, {0x07, 0xD0}), tlv(0x82, bytes("IED1/LLN0$DS1")),
            tlv(0x83, bytes("G1")), tlv(0x84, {0x65, 0x53, 0xF1, 0x00, 0x40, 0x00, 0x00, 0x0A}), tlv(0x85, {0x05}),
            tlv(0x86, {0x00, 0x80}), tlv(0x87, {0x00}), tlv(0x88, {0x01}), tlv(0x89, {0xFF}), tlv(0x8A, {0x02}),
            tlv(0xAB, all_data_content)};
}

Octets pdu_of(const std::vector<Octets>& fields) {
    Octets content;
    for (const Octets& field : fields) content.insert(content.end(), field.begin(), field.end());
    return tlv(0x61, content);
}

const Octets good = pdu_of(good_fields());

// The good PDU, or only its mandatory fields, with the fields numbered in
// `changes` replaced (dropped when the replacement is empty).
using Changes = std::initializer_list<std::pair<std::size_t, Octets>>;
Octets with(Changes changes, bool mandatory_only = false) {
    std::vector<Octets> fields = good_fields();
    if (mandatory_only) for (std::size_t n : {3, 7, 9, 11}) fields[n].clear();
    for (const auto& [number, field] : changes) fields[number] = field;
    return pdu_of(fields);
}
Octets with(std::size_t number, const Octets& replacement) { return with({{number, replacement}}); }
Octets without(std::size_t number) { return with(number, {}); }
Octets mandatory(Changes changes = {}) { return with(changes, true); }
Octets reversed() {
    std::vector<Octets> fields = good_fields();
    return pdu_of({fields.rbegin(), fields.rend()});
}
// The good PDU with allData holding `values`, numDatSetEntries `entries`.
Octets with_data(const Octets& values, std::uint8_t entries) {
    return with({{10, tlv(0x8A, {entries})}, {11, tlv(0xAB, values)}});
}
Octets plus(const Octets& pdu, const Octets& trailing) { return cat({pdu, trailing}); }

struct Bad { const char* why; Octets input; std::string message; };

TEST(DecodePdu, LenientFaults) {
    const Bad cases[] = {
        {"empty input", {}, "missing tag"},
        {"another outer tag", {0x60, 0x00}, "expected tag 0x61, found 0x60"},
        {"high-number outer tag", {0x7F, 0x21, 0x00}, "expected tag 0x61, found 0x7F21"},
        {"outer TLV truncated", {0x61, 0x05, 0x80}, "TLV 0x61 truncated: needs 5 bytes, 1 left"},
        {"outer indefinite length", {0x61, 0x80, 0x00, 0x00}, "indefinite length is not supported"},
        // the field reads past the PDU's content into the octets after it
        {"field confined to the PDU", {0x61, 0x02, 0x80, 0x03, 0x41, 0x42, 0x43},
         "TLV 0x80 truncated: needs 3 bytes, 0 left"},
        {"field tag cut short", {0x61, 0x02, 0x9F, 0x81}, "truncated high-number tag"},
        {"field without length", {0x61, 0x01, 0x80, 0x00}, "missing length"},
        {"empty PDU", {0x61, 0x00}, "missing mandatory GOOSE field gocbRef"},
        // presence, in the order of the mandatory fields
        {"gocbRef and stNum missing", pdu_of({good_fields()[1], good_fields()[2], good_fields()[4]}),
         "missing mandatory GOOSE field gocbRef"},
        {"timeAllowedtoLive missing", without(1), "missing mandatory GOOSE field timeAllowedtoLive"},
        {"datSet missing", without(2), "missing mandatory GOOSE field datSet"},
        {"only t missing", without(4), "missing mandatory GOOSE field t"},
        {"stNum missing", without(5), "missing mandatory GOOSE field stNum"},
        {"sqNum missing", without(6), "missing mandatory GOOSE field sqNum"},
        {"confRev missing", without(8), "missing mandatory GOOSE field confRev"},
        {"numDatSetEntries missing", without(10), "missing mandatory GOOSE field numDatSetEntries"},
        {"missing field before a bad number", pdu_of({tlv(0x80, {}), tlv(0x81, {})}),
         "missing mandatory GOOSE field datSet"},
        // field 128 in high-number form is no GOOSE field
        {"stNum in high-number form beyond 11", with(5, {0x9F, 0x81, 0x05, 0x01, 0x01}),
         "missing mandatory GOOSE field stNum"},
        // numbers and t, in the order timeAllowedtoLive, t, stNum, sqNum, confRev, numDatSetEntries
        {"empty timeAllowedtoLive", with(1, tlv(0x81, {})), "empty INTEGER (timeAllowedtoLive)"},
        {"stNum of ten octets", with(5, tlv(0x85, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0})), "stNum above 64 bits"},
        {"empty sqNum", with(6, tlv(0x86, {})), "empty INTEGER (sqNum)"},
        {"confRev of nine octets 01 00 ...", with(8, tlv(0x88, {1, 0, 0, 0, 0, 0, 0, 0, 0})), "confRev above 64 bits"},
        {"empty numDatSetEntries", with(10, tlv(0x8A, {})), "empty INTEGER (numDatSetEntries)"},
        {"t of 7 octets", with(4, tlv(0x84, {1, 2, 3, 4, 5, 6, 7})), "utc-time needs 8 bytes"},
        {"empty t", with(4, tlv(0x84, {})), "utc-time needs 8 bytes"},
        // first fault by the order of the checks
        {"timeAllowedtoLive before t", mandatory({{1, tlv(0x81, {})}, {4, tlv(0x84, {})}}),
         "empty INTEGER (timeAllowedtoLive)"},
        {"t before stNum", mandatory({{4, tlv(0x84, {1})}, {5, tlv(0x85, {})}}), "utc-time needs 8 bytes"},
        {"sqNum before confRev", mandatory({{6, tlv(0x86, {})}, {8, tlv(0x88, {})}}), "empty INTEGER (sqNum)"},
        {"numDatSetEntries before allData", mandatory({{10, tlv(0x8A, {})}, {11, tlv(0xAB, {0x85, 0x05})}}),
         "empty INTEGER (numDatSetEntries)"},
        // allData
        {"allData value truncated", with(11, tlv(0xAB, {0x85, 0x05})), "TLV 0x85 truncated: needs 5 bytes, 0 left"},
        {"allData member truncated", with(11, tlv(0xAB, {0x83, 0x01, 0xFF, 0xA2, 0x02, 0x85, 0x05})),
         "TLV 0x85 truncated: needs 5 bytes, 0 left"},
        {"allData member reaching past its structure", with(11, tlv(0xAB, {0xA2, 0x02, 0x85, 0x02, 0x89, 0x00})),
         "TLV 0x85 truncated: needs 2 bytes, 0 left"},
        // allData found by number: a primitive 8B is allData too
        {"primitive allData is still allData", with(11, tlv(0x8B, {0x85})), "missing length"},
    };
    for (const Bad& c : cases) {
        auto lenient = decode_pdu(c.input);
        ASSERT_FALSE(lenient.has_value()) << c.why;
        EXPECT_EQ(text_of(lenient.error()), c.message) << c.why;
        // The strict decoder reports a lenient fault unchanged, never a deviation.
        auto strict = decode_pdu_strict(c.input);
        ASSERT_FALSE(strict.has_value()) << c.why;
        EXPECT_EQ(strict.error(), lenient.error()) << c.why;
    }
}

TEST(DecodePdu, ErrorsCarryTheirValues) {
    EXPECT_EQ(decode_pdu(Octets{0x60, 0x00}).error(), DecodeError::unexpected_tag(0x60));
    EXPECT_EQ(decode_pdu(without(4)).error(), DecodeError::of_field(DecodeErrorKind::MissingField, Field::T));
    EXPECT_EQ(decode_pdu(Octets{}).error(), DecodeError::from(ber::BerError{ber::BerErrorKind::MissingTag}));
    EXPECT_EQ(decode_pdu(with(11, tlv(0xAB, {0x85, 0x05}))).error(),
              DecodeError::all_data(ber::BerError::truncated(0x85, 5, 0)));
    EXPECT_EQ(decode_pdu_strict(plus(good, {0, 0})).error(), DecodeError::not_conformant(Deviation::trailing_octets(2)));
    EXPECT_EQ(text_of(DecodeError{DecodeErrorKind::Header}), "GOOSE header too short or with an inconsistent Length");
}

// Every field of a decoded PDU on one line; allData by its size.
std::string summary(const ReceivedPdu& p) {
    char t[40];
    std::snprintf(t, sizeof t, "%08X.%06X/%02X", p.t.seconds, p.t.fraction, p.t.quality);
    return "ref=" + str(p.gocb_ref) + " ttl=" + std::to_string(p.time_allowed_to_live) + " ds=" + str(p.dat_set) +
           " id=" + (p.go_id ? "'" + str(*p.go_id) + "'" : "-") + " t=" + t + " st=" + std::to_string(p.st_num) +
           " sq=" + std::to_string(p.sq_num) + " sim=" + std::to_string(p.simulation) +
           " rev=" + std::to_string(p.conf_rev) + " nds=" + std::to_string(p.nds_com) +
           " n=" + std::to_string(p.num_dat_set_entries) + " entries=" + std::to_string(p.entries) +
           " data=" + std::to_string(p.all_data.size());
}

const std::string good_summary =
    "ref=IED1/LLN0$GO$gcb1 ttl=2000 ds=IED1/LLN0$DS1 id='G1' t=6553F100.400000/0A st=5 sq=128 sim=0 rev=1 nds=1 "
    "n=2 entries=2 data=11";

// The good PDU's summary with the key=value items of `changes` in place of its own.
std::string changed(const std::string& changes) {
    std::string out = " " + good_summary;
    for (std::size_t at = 0; at < changes.size();) {
        const std::size_t end = std::min(changes.find(' ', at), changes.size());
        const std::string item = changes.substr(at, end - at);
        const std::size_t from = out.find(" " + item.substr(0, item.find('=') + 1)) + 1;
        out.replace(from, std::min(out.find(' ', from), out.size()) - from, item);
        at = end + 1;
    }
    return out.substr(1);
}

TEST(DecodePdu, ReadsEveryField) {
    const ReceivedPdu pdu = decode_pdu(good).value();
    EXPECT_EQ(summary(pdu), good_summary);
    EXPECT_EQ(Octets(pdu.all_data.begin(), pdu.all_data.end()), all_data_content);
    EXPECT_EQ(pdu.gocb_ref.data(), good.data() + 4);  // views into the input, not copies
    const ReceivedPdu strict = decode_pdu_strict(good).value();
    EXPECT_EQ(summary(strict), good_summary);
    EXPECT_EQ(strict.all_data.data(), pdu.all_data.data());
}

// Accepted leniently: the summary differs from the good PDU's by `changes`.
TEST(DecodePdu, LenientReadings) {
    std::vector<Octets> twice = good_fields();
    twice.push_back(tlv(0x85, {0x09}));
    const struct { const char* why; Octets input; std::string changes; } cases[] = {
        {"fields in reverse order", reversed(), ""},
        {"two octets after the PDU are ignored", plus(good, {0x00, 0x00}), ""},
        {"the later of two stNum fields counts", pdu_of(twice), "st=9"},
        {"stNum of nine octets", with(5, tlv(0x85, {0, 0, 0, 0, 0, 0, 0, 0, 1})), "st=1"},
        {"the sign bit is not looked at", with(5, tlv(0x85, {0xFF})), "st=255"},
        {"00 and eight FF", with(1, tlv(0x81, {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
         "ttl=18446744073709551615"},
        {"many leading zero octets", with(8, tlv(0x88, Octets(20, 0x00))), "rev=0"},
        {"t of 9 octets: the first 8", with(4, tlv(0x84, {0, 0, 0, 1, 0xAB, 0xCD, 0xEF, 0x0A, 0x99})),
         "t=00000001.ABCDEF/0A"},
        {"no goID", without(3), "id=-"},
        {"empty goID is present", with(3, tlv(0x83, {})), "id=''"},
        {"empty gocbRef", with(0, tlv(0x80, {})), "ref="},
        {"no simulation, no ndsCom, no allData", mandatory(), "id=- nds=0 entries=0 data=0"},
        {"empty simulation is false", with(7, tlv(0x87, {})), ""},
        {"simulation 01 is true", with(7, tlv(0x87, {0x01})), "sim=1"},
        {"simulation by its first octet", with(7, tlv(0x87, {0x00, 0xFF})), ""},
        {"ndsCom 00 is false", with(9, tlv(0x89, {0x00})), "nds=0"},
        {"numDatSetEntries not compared", with(10, tlv(0x8A, {0x03})), "n=3"},
        {"empty allData", with(11, tlv(0xAB, {})), "entries=0 data=0"},
        // class and constructed bit are ignored: A0 is gocbRef, 01 is timeAllowedtoLive
        {"constructed gocbRef", with(0, tlv(0xA0, bytes("X"))), "ref=X"},
        {"universal BOOLEAN as field 1", with(1, tlv(0x01, {0x09})), "ttl=9"},
        // high-number form: the number is built from the octets after the first
        {"9F 05 is stNum", with(5, {0x9F, 0x05, 0x01, 0x2A}), "st=42"},
        {"9F 80 05 is stNum too", with(5, {0x9F, 0x80, 0x05, 0x01, 0x2A}), "st=42"},
    };
    for (const auto& c : cases) {
        auto pdu = decode_pdu(c.input);
        ASSERT_TRUE(pdu.has_value()) << c.why << ": " << text_of(pdu.error());
        EXPECT_EQ(summary(*pdu), changed(c.changes)) << c.why;
    }

    // Identifiers whose numbers are beyond the table: 0x2000000 before a
    // step saturates, 0x1FFFFFF * 128 + 127 is 0xFFFFFFFF, five identifier
    // octets saturate in the tag too. A 32-bit product would wrap to 0
    // and take gocbRef.
    for (const Octets& identifier : {Octets{0x9F, 0x90, 0x80, 0x80, 0x80, 0x00}, Octets{0x9F, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F},
                                     Octets{0x80 | 0x1F, 0x8C, 0x00}, Octets{0x8C}}) {
        std::vector<Octets> fields = good_fields();
        fields.push_back(cat({identifier, {0x01, 'X'}}));
        const Octets input = pdu_of(fields);
        EXPECT_EQ(summary(decode_pdu(input).value()), good_summary);
        EXPECT_EQ(decode_pdu_strict(input).error().kind, DecodeErrorKind::NotConformant);
    }
}

TEST(DecodePduStrict, Deviations) {
    std::vector<Octets> repeated = good_fields();
    repeated.insert(repeated.begin() + 6, tlv(0x85, {0x05}));
    std::vector<Octets> swapped = good_fields();
    std::swap(swapped[3], swapped[4]);
    std::vector<Octets> beyond = good_fields();
    beyond.push_back(tlv(0x8C, {0x00}));
    const Bad cases[] = {
        {"two octets after the PDU", plus(good, {0x00, 0x00}), "2 octets after the PDU"},
        {"trailing octets before anything else", plus(reversed(), {0x00}), "1 octets after the PDU"},
        // tags and order
        {"fields in reverse order", reversed(), "field [10] after [11]"},
        {"repeated stNum", pdu_of(repeated), "field [5] after [5]"},
        {"goID after t", pdu_of(swapped), "field [3] after [4]"},
        {"universal BOOLEAN", with(1, tlv(0x01, {0x09})), "tag 0x1 is not a GOOSE field"},
        {"constructed gocbRef", with(0, tlv(0xA0, bytes("X"))), "tag 0xA0 is not a GOOSE field"},
        {"application-class field", with(2, tlv(0x42, bytes("DS"))), "tag 0x42 is not a GOOSE field"},
        {"primitive allData", with(11, tlv(0x8B, {})), "tag 0x8B is not a GOOSE field"},
        {"constructed stNum", with(5, tlv(0xA5, {0x05})), "tag 0xA5 is not a GOOSE field"},
        {"stNum in high-number form", with(5, {0x9F, 0x05, 0x01, 0x05}), "tag 0x9F05 is not a GOOSE field"},
        // a field beyond the table, which the lenient decoder skips
        {"field [12]", pdu_of(beyond), "tag 0x8C is not a GOOSE field"},
        // VisibleString129: gocbRef, datSet, goID
        {"gocbRef holding 7F", with(0, tlv(0x80, {'A', 0x7F})), "gocbRef is not a VisibleString129"},
        {"datSet of 130 octets", with(2, tlv(0x82, Octets(130, 'D'))), "datSet is not a VisibleString129"},
        {"goID holding 1F", with(3, tlv(0x83, {0x1F})), "goID is not a VisibleString129"},
        {"goID holding 80", with(3, tlv(0x83, {0x80})), "goID is not a VisibleString129"},
        {"gocbRef before datSet", with({{0, tlv(0x80, {0x00})}, {2, tlv(0x82, {0x00})}, {3, {}}, {7, {}}, {9, {}}}),
         "gocbRef is not a VisibleString129"},
        {"empty gocbRef", with(0, tlv(0x80, {})), "empty gocbRef"},
        {"a bad datSet before the empty gocbRef", with({{0, tlv(0x80, {})}, {2, tlv(0x82, {0x7F})}}),
         "datSet is not a VisibleString129"},
        // t
        {"t of 9 octets", with(4, tlv(0x84, {0, 0, 0, 1, 0, 0, 0, 0, 0})), "t of 9 octets"},
        // the 32-bit checks, on the encoding's length
        {"stNum of nine octets", with(5, tlv(0x85, {0, 0, 0, 0, 0, 0, 0, 0, 1})), "stNum above 32 bits"},
        {"confRev 00 00 00 00 00 01", with(8, tlv(0x88, {0, 0, 0, 0, 0, 1})), "confRev above 32 bits"},
        {"timeAllowedtoLive of five octets without 00", with(1, tlv(0x81, {1, 0, 0, 0, 0})),
         "timeAllowedtoLive above 32 bits"},
        {"numDatSetEntries of six octets", with(10, tlv(0x8A, {0, 0, 0, 0, 0, 2})), "numDatSetEntries above 32 bits"},
        {"sqNum before confRev", with({{6, tlv(0x86, {0, 0, 0, 0, 0, 1})}, {8, tlv(0x88, {0, 0, 0, 0, 0, 1})}}),
         "sqNum above 32 bits"},
        {"t before the numbers", with({{4, tlv(0x84, {0, 0, 0, 1, 0, 0, 0, 0, 0})}, {1, tlv(0x81, {0, 0, 0, 0, 0, 1})}}),
         "t of 9 octets"},
        // booleans
        {"simulation of 2 octets", with(7, tlv(0x87, {0x00, 0x00})), "simulation of 2 octets"},
        {"empty ndsCom", with(9, tlv(0x89, {})), "ndsCom of 0 octets"},
        // allData and its count
        {"no allData", without(11), "no allData"},
        {"numDatSetEntries 3 with two values", with(10, tlv(0x8A, {0x03})), "numDatSetEntries=3 but 2 entries"},
        {"count before the values", with_data({0x85, 0x00}, 2), "numDatSetEntries=2 but 1 entries"},
        // the Data values, in a flat walk
        {"primitive 0x82", with_data({0x82, 0x00}, 1), "allData tag 0x82 is not a Data"},
        {"constructed 0xA3", with_data({0xA3, 0x00}, 1), "allData tag 0xA3 is not a Data"},
        {"universal BOOLEAN", with_data({0x01, 0x01, 0xFF}, 1), "allData tag 0x1 is not a Data"},
        {"application-class structure", with_data({0x62, 0x00}, 1), "allData tag 0x62 is not a Data"},
        {"high-number tag", with_data({0xBF, 0x21, 0x00}, 1), "allData tag 0xBF21 is not a Data"},
        {"inside a structure", with_data({0xA2, 0x02, 0xA0, 0x00}, 1), "allData tag 0xA0 is not a Data"},
        {"BOOLEAN of 2 octets", with_data({0x83, 0x02, 0x00, 0xFF}, 1), "allData value 0x83 of 2 octets"},
        {"empty BOOLEAN", with_data({0x83, 0x00}, 1), "allData value 0x83 of 0 octets"},
        {"floating point of 4 octets", with_data({0x87, 0x04, 0, 0, 0, 0}, 1), "allData value 0x87 of 4 octets"},
        {"binary time of 5 octets", with_data({0x8C, 0x05, 0, 0, 0, 0, 0}, 1), "allData value 0x8C of 5 octets"},
        {"UtcTime of 9 octets", with_data({0x91, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1),
         "allData value 0x91 of 9 octets"},
        {"BIT STRING 84 01 08", with_data({0x84, 0x01, 0x08}, 1), "allData BIT STRING without a valid unused-bits octet"},
        {"empty BIT STRING", with_data({0x84, 0x00}, 1), "allData BIT STRING without a valid unused-bits octet"},
        {"empty unsigned", with_data({0x86, 0x00}, 1), "empty allData INTEGER"},
        {"visible string holding 0A", with_data({0x8A, 0x02, 'A', 0x0A}, 1), "allData VisibleString outside its alphabet"},
        {"the walk is flat", with_data({0xA2, 0x03, 0x83, 0x01, 0x00, 0x85, 0x00}, 2), "empty allData INTEGER"},
        {"first bad value decides", with_data({0xA1, 0x02, 0x86, 0x00, 0x83, 0x00}, 2), "empty allData INTEGER"},
    };
    for (const Bad& c : cases) {
        ASSERT_TRUE(decode_pdu(c.input).has_value()) << c.why << ": accepted leniently";
        auto strict = decode_pdu_strict(c.input);
        ASSERT_FALSE(strict.has_value()) << c.why;
        EXPECT_EQ(text_of(strict.error()), "not conformant: " + c.message) << c.why;
    }
}

TEST(DecodePduStrict, ConformantEdges) {
    Octets printable;
    for (int c = 0x20; c <= 0x7E; ++c) printable.push_back(std::uint8_t(c));
    const std::pair<const char*, Octets> cases[] = {
        {"the good PDU", good},
        {"no goID, no simulation, no ndsCom", with({{3, {}}, {7, {}}, {9, {}}})},
        {"datSet of 129 octets", with(2, tlv(0x82, Octets(129, 'D')))},
        {"every printable octet", with(0, tlv(0x80, printable))},
        {"empty datSet and goID", with({{2, tlv(0x82, {})}, {3, tlv(0x83, {})}})},
        {"00 FF FF FF FF", with(5, tlv(0x85, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}))},
        {"redundant zeros within five octets", with(6, tlv(0x86, {0x00, 0x00, 0x00, 0x00, 0x01}))},
        {"simulation 01", with(7, tlv(0x87, {0x01}))},
        {"empty allData, numDatSetEntries 0", with_data({}, 0)},
        {"every other Data form", with_data({0x80, 0x00, 0x84, 0x01, 0x07, 0x87, 0x09, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0,
                                             0x8C, 0x04, 0, 0, 0, 0, 0x8C, 0x06, 0, 0, 0, 0, 0, 0, 0x88, 0x00, 0x89,
                                             0x00, 0x8B, 0x00, 0x8D, 0x00, 0x8F, 0x01, 0x0A, 0x90, 0x00, 0x92, 0x00,
                                             0x9E, 0x01, 0xFF, 0x8A, 0x00, 0x85, 0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0},
                                            15)},
        {"nested empty containers", with_data({0xA1, 0x04, 0xA2, 0x02, 0xA1, 0x00}, 1)},
        {"lengths in long form", with_data(cat({tlv(0xA2, tlv(0x89, Octets(300, 0x55))), tlv(0x89, Octets(130, 1))}), 2)},
    };
    for (const auto& [why, input] : cases) {
        auto strict = decode_pdu_strict(input);
        EXPECT_TRUE(strict.has_value()) << why << ": " << text_of(strict.error());
    }
}

TEST(DecodePduStrict, DeepNestingIsWalkedWithoutRecursion) {
    // 100000 structures, each the only member of the one before, around an
    // empty integer at the bottom.
    constexpr std::size_t levels = 100000;
    Octets values;
    for (std::size_t i = 0; i < levels; ++i) {
        const Octets header = test::header4(0xA2, 6 * (levels - 1 - i) + 2);
        values.insert(values.end(), header.begin(), header.end());
    }
    values.insert(values.end(), {0x85, 0x00});
    std::vector<Octets> fields = good_fields();
    fields[10] = tlv(0x8A, {0x01});
    fields[11] = cat({test::header4(0xAB, values.size()), values});
    Octets content;
    for (const Octets& field : fields) content.insert(content.end(), field.begin(), field.end());
    const Octets pdu = cat({test::header4(0x61, content.size()), content});
    EXPECT_EQ(decode_pdu(pdu).value().entries, 1u);
    EXPECT_EQ(text_of(decode_pdu_strict(pdu).error()), "not conformant: empty allData INTEGER");
}

// Every PDU with one octet changed, or cut short, decodes or fails without
// reading outside it; a strict accept is a lenient accept of the same PDU.
TEST(DecodePdu, MutationsKeepTheDecodersConsistent) {
    std::size_t strict_accepts = 0;
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (int octet = 0; octet < 256; octet += 3) {
            Octets input = good;
            input[at] = static_cast<std::uint8_t>(octet);
            const auto lenient = decode_pdu(input);
            const auto strict = decode_pdu_strict(input);
            if (!strict) {
                EXPECT_FALSE(text_of(strict.error()).empty());
                if (!lenient) {
                    EXPECT_EQ(strict.error(), lenient.error());
                }
                continue;
            }
            ++strict_accepts;
            ASSERT_TRUE(lenient.has_value());
            EXPECT_EQ(summary(*strict), summary(*lenient));
            EXPECT_EQ(strict->all_data.data(), lenient->all_data.data());
            EXPECT_EQ(strict->entries, strict->num_dat_set_entries);
        }
    }
    EXPECT_GT(strict_accepts, good.size());
    for (std::size_t size = 0; size < good.size(); ++size) {
        // A heap copy of exactly `size` octets, so that a read past it is caught.
        const Octets cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(decode_pdu(cut).has_value()) << size;
        EXPECT_FALSE(decode_pdu_strict(cut).has_value()) << size;
    }
}

// --- Round trip through the encoder ----------------------------------------

struct Source { std::vector<std::string> texts; std::vector<Octets> payloads; std::vector<Data> values; GoosePdu pdu; };

// A random conformant PDU: printable texts, random numbers, random values
// nested up to four levels.
void random_pdu(std::mt19937_64& rng, Source& s) {
    auto below = [&](std::uint64_t n) { return static_cast<std::size_t>(rng() % n); };
    auto text = [&](std::size_t min, std::size_t max) {
        std::string t(min + below(max - min + 1), ' ');
        for (char& c : t) c = static_cast<char>(0x20 + below(95));
        return t;
    };
    auto payload = [&](std::size_t max) -> Bytes {
        Octets& p = s.payloads.emplace_back(below(max + 1));
        for (auto& o : p) o = static_cast<std::uint8_t>(rng());
        return p;
    };
    s.texts = {text(1, 129), text(0, 129), text(0, 129)};
    s.payloads.clear();
    s.payloads.reserve(400);
    s.values.clear();
    std::size_t top = 0;
    // Members still to add at each open level; a value is added to the innermost.
    std::vector<std::size_t> open;
    const std::size_t wanted = below(12);
    while (top < wanted || !open.empty()) {
        if (open.empty()) ++top;
        else --open.back();
        const std::size_t pick = below(open.size() < 4 ? 14 : 12);
        auto add = [&](Data d) { s.values.push_back(d); };
        switch (pick) {
            case 0: add(Data::of_bool(rng() & 1)); break;
            case 1: add(Data::of_int(static_cast<std::int64_t>(rng()) >> below(64))); break;
            case 2: add(Data::of_uint(rng() >> below(64))); break;
            case 3: add(Data::of_f32(static_cast<std::uint32_t>(rng()))); break;
            case 4: add(Data::of_f64(0x3FF0000000000000u + (rng() >> 12))); break;
            case 5: add(Data::of_bits(below(8), payload(4))); break;
            case 6: add(Data::of_octets(payload(200))); break;
            case 7: {
                const std::string t = text(0, 40);
                add(Data::of_visible(s.payloads.emplace_back(t.begin(), t.end())));
                break;
            }
            case 8: add(Data::of_mms(payload(20))); break;
            case 9: add(Data::of_utc({static_cast<std::uint32_t>(rng()), static_cast<std::uint32_t>(rng() >> 40),
                                      static_cast<std::uint8_t>(rng())}));
                break;
            case 10: add(Data::of_btime({1, 2, 3, 4, 5, static_cast<std::uint8_t>(rng())})); break;
            case 11: add(Data::of_raw(0x9C, payload(3))); break;
            default: {
                const std::size_t members = below(4);
                add(pick == 12 ? Data::of_struct(members) : Data::of_array(members));
                open.push_back(members);
            }
        }
        while (!open.empty() && open.back() == 0) open.pop_back();
    }
    std::optional<std::string_view> go_id;
    if (rng() & 1) go_id = s.texts[2];
    auto u32 = [&] { return static_cast<std::uint32_t>(rng() >> below(64)); };
    s.pdu = GoosePdu{.gocb_ref = s.texts[0], .time_allowed_to_live = u32(), .dat_set = s.texts[1], .go_id = go_id,
                     .t = {u32(), u32(), static_cast<std::uint8_t>(rng())}, .st_num = u32(), .sq_num = u32(),
                     .simulation = (rng() & 1) != 0, .conf_rev = u32(), .nds_com = (rng() & 1) != 0,
                     .num_dat_set_entries = static_cast<std::uint32_t>(top), .all_data = s.values};
}

Octets octets_of(Bytes view) { return {view.begin(), view.end()}; }

// The value read back from what `d` was written as.
void expect_same(const Data& d, const data::Value& v) {
    ASSERT_EQ(v.kind, d.kind);
    switch (d.kind) {
        case Kind::Bool: EXPECT_EQ(v.boolean, d.boolean); break;
        case Kind::Int: EXPECT_EQ(v.integer, d.integer); break;
        case Kind::Uint: EXPECT_EQ(v.unsigned_integer, d.unsigned_integer); break;
        case Kind::F32: EXPECT_EQ(v.f32, d.f32); break;
        case Kind::F64: EXPECT_EQ(std::bit_cast<std::uint64_t>(v.f64), d.f64); break;
        case Kind::Btime: EXPECT_EQ(octets_of(v.octets), Octets(d.btime.begin(), d.btime.end())); break;
        case Kind::Utc:
            EXPECT_EQ(v.utc, (data::UtcTime{d.utc.seconds, std::min<std::uint32_t>(d.utc.fraction, 0xFFFFFF), d.utc.quality}));
            break;
        case Kind::Struct:
        case Kind::Array: EXPECT_EQ(v.members, d.members); break;
        case Kind::Bits:
            EXPECT_EQ(v.unused_bits, d.unused_bits);
            EXPECT_EQ(octets_of(v.octets), octets_of(d.octets));
            break;
        case Kind::Raw: EXPECT_EQ(v.tag, d.tag); [[fallthrough]];
        default: EXPECT_EQ(octets_of(v.octets), octets_of(d.octets));
    }
}

TEST(DecodePdu, RoundTripThroughTheEncoder) {
    std::mt19937_64 rng(20240611);
    Source s;
    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE(round);
        random_pdu(rng, s);
        Octets encoded(pdu_len(s.pdu).value());
        ASSERT_EQ(encode_pdu(s.pdu, encoded).value(), encoded.size());
        const GoosePdu& e = s.pdu;
        char t[40];
        std::snprintf(t, sizeof t, "%08X.%06X/%02X", e.t.seconds, std::min<std::uint32_t>(e.t.fraction, 0xFFFFFF),
                      e.t.quality);
        const std::string n = std::to_string(e.num_dat_set_entries);
        const std::string expected =
            "ref=" + std::string(e.gocb_ref) + " ttl=" + std::to_string(e.time_allowed_to_live) +
            " ds=" + std::string(e.dat_set) + " id=" + (e.go_id ? "'" + std::string(*e.go_id) + "'" : "-") + " t=" + t +
            " st=" + std::to_string(e.st_num) + " sq=" + std::to_string(e.sq_num) + " sim=" +
            std::to_string(e.simulation) + " rev=" + std::to_string(e.conf_rev) + " nds=" + std::to_string(e.nds_com) +
            " n=" + n + " entries=" + n + " data=" + std::to_string(data::measure_sequence(s.values).value());
        EXPECT_EQ(summary(decode_pdu_strict(encoded).value()), expected);
        const ReceivedPdu p = decode_pdu(encoded).value();
        EXPECT_EQ(summary(p), expected);
        std::size_t i = 0;
        for (data::Values values(p.all_data); auto value = values.next(); ++i) {
            ASSERT_LT(i, s.values.size());
            expect_same(s.values[i], *value);
        }
        EXPECT_EQ(i, s.values.size());
    }
}

}  // namespace
}  // namespace valdrin::goose
