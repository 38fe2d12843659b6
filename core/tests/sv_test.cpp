#include "sv.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::sv {
namespace {

using test::cat;
using test::Octets;
using test::text_of;
using test::tlv;

// The fields of a well-formed ASDU, mandatory ones only.
const Octets sv_id = tlv(0x80, {'M', 'U', '1'});
const Octets smp_cnt = tlv(0x82, {0x01, 0x02});
const Octets conf_rev = tlv(0x83, {0x00, 0x00, 0x00, 0x07});
const Octets smp_synch = tlv(0x85, {0x02});
const Octets sample = tlv(0x87, {0xFF, 0xFF, 0xFF, 0xF6, 0x00, 0x00, 0x20, 0x00});
const Octets minimal_asdu = cat({sv_id, smp_cnt, conf_rev, smp_synch, sample});

Octets asdu(const Octets& content) { return tlv(0x30, content); }
Octets seq(const Octets& asdus) { return tlv(0xA2, asdus); }
Octets no_asdu(std::uint8_t n) { return tlv(0x80, {n}); }
Octets pdu(const Octets& content) { return tlv(0x60, content); }

struct Bad { const char* why; Octets input; std::string message; };

TEST(DecodePdu, MalformedInputs) {
    const Octets good = asdu(minimal_asdu);
    const Bad cases[] = {
        // the outer TLV
        {"empty input", {}, "missing tag"},
        {"another outer tag", {0x61, 0x00}, "expected tag 0x60, found 0x61"},
        {"outer TLV truncated", {0x60, 0x05, 0x80}, "TLV 0x60 truncated: needs 5 bytes, 1 left"},
        {"empty savPdu", {0x60, 0x00}, "SavPdu without noASDU"},
        // noASDU
        {"empty noASDU", {0x60, 0x02, 0x80, 0x00}, "empty INTEGER"},
        {"empty noASDU fails before a later valid one", {0x60, 0x05, 0x80, 0x00, 0x80, 0x01, 0x00},
         "empty INTEGER"},
        {"empty noASDU fails before a later bad seqASDU", {0x60, 0x06, 0x80, 0x00, 0xA2, 0x02, 0x31, 0x00},
         "empty INTEGER"},
        {"only an empty seqASDU", {0x60, 0x02, 0xA2, 0x00}, "SavPdu without noASDU"},
        {"noASDU counts an ASDU that is not there", {0x60, 0x03, 0x80, 0x01, 0x01},
         "noASDU=1 but 0 ASDUs present"},
        {"noASDU of ten octets", pdu(cat({tlv(0x80, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}), seq(good)})),
         "noASDU above 64 bits but 1 ASDUs present"},
        {"noASDU of nine octets above 64 bits", pdu(cat({tlv(0x80, {1, 0, 0, 0, 0, 0, 0, 0, 0})})),
         "noASDU above 64 bits but 0 ASDUs present"},
        {"noASDU of 2^64 - 1", pdu(cat({tlv(0x80, {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})})),
         "noASDU=18446744073709551615 but 0 ASDUs present"},
        {"the last noASDU counts", pdu(cat({no_asdu(1), seq(good), no_asdu(5)})),
         "noASDU=5 but 1 ASDUs present"},
        {"ASDUs of several seqASDU add up", pdu(cat({no_asdu(1), seq(good), seq(cat({good, good}))})),
         "noASDU=1 but 3 ASDUs present"},
        {"noASDU in high-number form is not noASDU", pdu(cat({{0x9F, 0x00, 0x01, 0x01}, seq(good)})),
         "SavPdu without noASDU"},
        // the elements of the savPdu and of a seqASDU
        {"element truncated", pdu(cat({no_asdu(0), {0xA1, 0x04, 0x00}})),
         "TLV 0xA1 truncated: needs 4 bytes, 1 left"},
        {"element with indefinite length", pdu(cat({no_asdu(0), {0x30, 0x80}})),
         "indefinite length is not supported"},
        {"seqASDU holding a 0x31 TLV", pdu(cat({no_asdu(1), seq({0x31, 0x00})})),
         "expected tag 0x30, found 0x31"},
        {"seqASDU holding a high-number tag", pdu(cat({no_asdu(1), seq({0x3F, 0x81, 0x00, 0x00})})),
         "expected tag 0x30, found 0x3F8100"},
        {"ASDU truncated inside its seqASDU", pdu(cat({no_asdu(1), seq({0x30, 0x09, 0x80, 0x00})})),
         "TLV 0x30 truncated: needs 9 bytes, 2 left"},
        {"a bad seqASDU is reported before the missing noASDU", pdu(seq({0x31, 0x00})),
         "expected tag 0x30, found 0x31"},
        // ASDU errors come before the count, the first bad ASDU decides
        {"bad ASDU with a wrong noASDU", pdu(cat({no_asdu(9), seq(asdu({}))})), "ASDU without svID"},
        {"first of two bad ASDUs",
         pdu(cat({no_asdu(2), seq(cat({asdu(cat({sv_id})), asdu(cat({sv_id, smp_cnt, conf_rev}))}))})),
         "ASDU without smpCnt"},
        {"bad ASDU in a later seqASDU", pdu(cat({no_asdu(2), seq(good), seq(asdu(cat({sv_id, smp_cnt})))})),
         "ASDU without confRev"},
        {"a 0x31 after a bad ASDU", pdu(cat({no_asdu(2), seq(cat({asdu({}), {0x31, 0x00}}))})),
         "ASDU without svID"},
    };
    for (const Bad& c : cases) {
        auto decoded = decode_pdu(c.input);
        ASSERT_FALSE(decoded.has_value()) << c.why;
        EXPECT_EQ(text_of(decoded.error()), c.message) << c.why;
    }
}

TEST(DecodePdu, ErrorsCarryTheirValues) {
    EXPECT_EQ(decode_pdu(Octets{0x61, 0x00}).error(), SvError::unexpected_tag(0x60, 0x61));
    EXPECT_EQ(decode_pdu(Octets{0x60, 0x03, 0x80, 0x01, 0x01}).error(), SvError::asdu_count(0, 1));
    EXPECT_EQ(decode_pdu(Octets{0x60, 0x02, 0x80, 0x00}).error(),
              SvError::from(ber::BerError{ber::BerErrorKind::EmptyInteger}));
}

TEST(DecodeAsdu, MalformedContents) {
    const Bad cases[] = {
        // presence, in the order svID, smpCnt, confRev, smpSynch, sample
        {"empty ASDU", {}, "ASDU without svID"},
        {"svID missing", cat({smp_cnt, conf_rev, smp_synch, sample}), "ASDU without svID"},
        {"smpCnt missing and confRev too long: presence first",
         cat({sv_id, tlv(0x83, {0, 0, 7}), smp_synch, sample}), "ASDU without smpCnt"},
        {"confRev missing", cat({sv_id, smp_cnt, smp_synch, sample}), "ASDU without confRev"},
        {"smpSynch missing", cat({sv_id, smp_cnt, conf_rev, sample}), "ASDU without smpSynch"},
        {"sample missing", cat({sv_id, smp_cnt, conf_rev, smp_synch}), "ASDU without sample"},
        {"svID in constructed form is another element", cat({tlv(0xA0, {'M'}), smp_cnt, conf_rev, smp_synch, sample}),
         "ASDU without svID"},
        {"svID in high-number form is another element",
         cat({{0x9F, 0x20, 0x01, 'M'}, smp_cnt, conf_rev, smp_synch, sample}), "ASDU without svID"},
        {"smpCnt under another class", cat({sv_id, tlv(0x02, {0, 1}), conf_rev, smp_synch, sample}),
         "ASDU without smpCnt"},
        // refrTm, before the sizes
        {"refrTm of 7 octets", cat({minimal_asdu, tlv(0x84, {1, 2, 3, 4, 5, 6, 7})}),
         "TLV 0x84 truncated: needs 8 bytes, 7 left"},
        {"empty refrTm", cat({minimal_asdu, tlv(0x84, {})}), "TLV 0x84 truncated: needs 8 bytes, 0 left"},
        {"refrTm of 5 octets before a long smpCnt",
         cat({sv_id, tlv(0x82, {0, 0, 1}), conf_rev, tlv(0x84, {1, 2, 3, 4, 5}), smp_synch, sample}),
         "TLV 0x84 truncated: needs 8 bytes, 5 left"},
        // sizes, in the order smpCnt, confRev, smpSynch, smpRate, smpMod
        {"smpCnt of 3 octets", cat({sv_id, tlv(0x82, {0, 0, 1}), conf_rev, smp_synch, sample}),
         "smpCnt must be 2 bytes, got 3"},
        {"empty smpCnt", cat({sv_id, tlv(0x82, {}), conf_rev, smp_synch, sample}), "smpCnt must be 2 bytes, got 0"},
        {"smpCnt and confRev both wrong", cat({sv_id, tlv(0x82, {1}), tlv(0x83, {1}), smp_synch, sample}),
         "smpCnt must be 2 bytes, got 1"},
        {"confRev of 5 octets", cat({sv_id, smp_cnt, tlv(0x83, {0, 0, 0, 0, 1}), smp_synch, sample}),
         "confRev must be 4 bytes, got 5"},
        {"smpSynch of 2 octets", cat({sv_id, smp_cnt, conf_rev, {0x85, 0x02, 0x00, 0x01}, sample}),
         "smpSynch must be 1 bytes, got 2"},
        {"smpSynch wrong before smpRate", cat({minimal_asdu, tlv(0x86, {1}), tlv(0x85, {})}),
         "smpSynch must be 1 bytes, got 0"},
        {"smpRate of 4 octets", cat({minimal_asdu, tlv(0x86, {0, 0, 0x0F, 0xA0})}), "smpRate must be 2 bytes, got 4"},
        {"smpRate wrong before smpMod", cat({minimal_asdu, tlv(0x88, {1}), tlv(0x86, {1})}),
         "smpRate must be 2 bytes, got 1"},
        {"smpMod of 1 octet", cat({minimal_asdu, tlv(0x88, {1})}), "smpMod must be 2 bytes, got 1"},
        {"a later occurrence replaces a good one", cat({minimal_asdu, tlv(0x82, {1})}),
         "smpCnt must be 2 bytes, got 1"},
        // reading the TLVs
        {"field truncated", cat({sv_id, {0x82, 0x02, 0x01}}), "TLV 0x82 truncated: needs 2 bytes, 1 left"},
        {"tag without length", cat({minimal_asdu, {0x89}}), "missing length"},
    };
    for (const Bad& c : cases) {
        auto decoded = decode_asdu(c.input);
        ASSERT_FALSE(decoded.has_value()) << c.why;
        EXPECT_EQ(text_of(decoded.error()), c.message) << c.why;
        // The same ASDU inside a savPdu gives the same error.
        auto whole = decode_pdu(pdu(cat({no_asdu(1), seq(asdu(c.input))})));
        ASSERT_FALSE(whole.has_value()) << c.why;
        EXPECT_EQ(text_of(whole.error()), c.message) << c.why;
    }
}

bool inside(Bytes view, const Octets& input) {
    return view.data() >= input.data() && view.data() + view.size() <= input.data() + input.size();
}

Octets octets_of(Bytes view) { return {view.begin(), view.end()}; }

TEST(DecodeAsdu, EveryField) {
    const Octets content = cat({
        tlv(0x80, {'M', 'U', '0', '1'}),
        tlv(0x81, {'L', 'D', '/', 'L', 'L', 'N', '0', '$', 'P'}),
        tlv(0x82, {0xFF, 0xFE}),
        tlv(0x83, {0x80, 0x00, 0x00, 0x01}),
        tlv(0x84, {0x65, 0x43, 0x21, 0x0F, 0xAB, 0xCD, 0xEF, 0x0A, 0x77, 0x77}),  // 10 octets: first 8 read
        tlv(0x85, {0xFF}),                                                        // not range-checked
        tlv(0x86, {0x0F, 0xA0}),
        tlv(0x87, {}),                                                            // empty sample
        tlv(0x88, {0x00, 0x01}),
        tlv(0x89, {0x01, 0x02, 0x03}),
        tlv(0x8A, {0x99}),         // unknown context tag: skipped
        {0xBF, 0x22, 0x01, 0x00},  // high-number tag: skipped
    });
    auto decoded = decode_asdu(content);
    ASSERT_TRUE(decoded.has_value()) << text_of(decoded.error());
    const Asdu& a = *decoded;
    EXPECT_EQ(octets_of(a.sv_id), (Octets{'M', 'U', '0', '1'}));
    ASSERT_TRUE(a.dat_set);
    EXPECT_EQ(octets_of(*a.dat_set), (Octets{'L', 'D', '/', 'L', 'L', 'N', '0', '$', 'P'}));
    EXPECT_EQ(a.smp_cnt, 0xFFFE);
    EXPECT_EQ(a.conf_rev, 0x80000001u);
    EXPECT_EQ(a.refr_tm, (UtcTime{0x6543210F, 0xABCDEF, 0x0A}));
    EXPECT_EQ(a.smp_synch, 0xFF);
    EXPECT_EQ(a.smp_rate, 4000);
    EXPECT_TRUE(a.sample.empty());
    EXPECT_EQ(a.smp_mod, 1);
    ASSERT_TRUE(a.gm_identity);
    EXPECT_EQ(octets_of(*a.gm_identity), (Octets{1, 2, 3}));
    EXPECT_TRUE(inside(a.sv_id, content) && inside(*a.dat_set, content) && inside(*a.gm_identity, content));
}

TEST(DecodeAsdu, OptionalFieldsAbsentAndLastOccurrenceWins) {
    const Octets content = cat({minimal_asdu, tlv(0x82, {0x00, 0x09}), tlv(0x80, {'X'})});
    auto decoded = decode_asdu(content);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->smp_cnt, 9);
    EXPECT_EQ(octets_of(decoded->sv_id), (Octets{'X'}));
    EXPECT_EQ(decoded->conf_rev, 7u);
    EXPECT_EQ(decoded->smp_synch, 2);
    EXPECT_EQ(octets_of(decoded->sample), (Octets{0xFF, 0xFF, 0xFF, 0xF6, 0x00, 0x00, 0x20, 0x00}));
    EXPECT_FALSE(decoded->dat_set || decoded->refr_tm || decoded->smp_rate || decoded->smp_mod ||
                 decoded->gm_identity);
}

TEST(DecodeAsdu, OtherLayoutsReadTheSameAsTheUsualOrder) {
    // The usual order is read field by field while it holds; what breaks it
    // is read the general way, and the result is the same.
    const Octets long_smp_cnt = {0x82, 0x81, 0x02, 0x01, 0x02};
    const Octets refr_tm = tlv(0x84, {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x0A});
    const struct { const char* why; Octets content; } cases[] = {
        {"usual order", minimal_asdu},
        {"smpCnt in the long length form", cat({sv_id, long_smp_cnt, conf_rev, smp_synch, sample})},
        {"fields in reverse order", cat({sample, smp_synch, conf_rev, smp_cnt, sv_id})},
        {"an unknown element first", cat({tlv(0x8A, {}), minimal_asdu})},
        {"an unknown element between", cat({sv_id, smp_cnt, tlv(0xA0, {1}), conf_rev, smp_synch, sample})},
        {"refrTm in its place", cat({sv_id, smp_cnt, conf_rev, refr_tm, smp_synch, sample})},
        {"refrTm after the sample", cat({minimal_asdu, refr_tm})},
    };
    for (const auto& c : cases) {
        auto decoded = decode_asdu(c.content);
        ASSERT_TRUE(decoded.has_value()) << c.why << ": " << text_of(decoded.error());
        EXPECT_EQ(octets_of(decoded->sv_id), (Octets{'M', 'U', '1'})) << c.why;
        EXPECT_EQ(decoded->smp_cnt, 0x0102) << c.why;
        EXPECT_EQ(decoded->conf_rev, 7u) << c.why;
        EXPECT_EQ(decoded->smp_synch, 2) << c.why;
        EXPECT_EQ(decoded->sample.size(), 8u) << c.why;
        EXPECT_EQ(decoded->refr_tm.has_value(), std::string(c.why).starts_with("refrTm")) << c.why;
        if (decoded->refr_tm) {
            EXPECT_EQ(*decoded->refr_tm, (UtcTime{1, 0x123456, 0x0A})) << c.why;
        }
    }
    // A field that breaks the order in a form of another size keeps its fault.
    const struct { const char* why; Octets content; std::string message; } bad[] = {
        {"refrTm of 7 octets in its place",
         cat({sv_id, smp_cnt, conf_rev, tlv(0x84, {0, 0, 0, 1, 0, 0, 0}), smp_synch, sample}),
         "TLV 0x84 truncated: needs 8 bytes, 7 left"},
        {"smpCnt of 3 octets", cat({sv_id, tlv(0x82, {0, 1, 2}), conf_rev, smp_synch, sample}),
         "smpCnt must be 2 bytes, got 3"},
        {"a later short smpSynch wins", cat({minimal_asdu, tlv(0x85, {})}), "smpSynch must be 1 bytes, got 0"},
        {"a truncated TLV after the usual fields", cat({minimal_asdu, {0x88, 0x02, 0x00}}),
         "TLV 0x88 truncated: needs 2 bytes, 1 left"},
    };
    for (const auto& c : bad) {
        auto decoded = decode_asdu(c.content);
        ASSERT_FALSE(decoded.has_value()) << c.why;
        EXPECT_EQ(text_of(decoded.error()), c.message) << c.why;
    }
}

std::vector<Asdu> all_asdus(const SavPdu& accepted) {
    std::vector<Asdu> out;
    Asdus asdus(accepted);
    while (auto a = asdus.next()) out.push_back(*a);
    EXPECT_FALSE(asdus.next().has_value()) << "stays ended";
    return out;
}

TEST(DecodePdu, AcceptedInputs) {
    const Octets one = asdu(cat({sv_id, tlv(0x82, {0x00, 0x01}), conf_rev, smp_synch, sample}));
    const Octets two = asdu(cat({sv_id, tlv(0x82, {0x00, 0x02}), conf_rev, smp_synch, sample}));
    struct Good {
        const char* why;
        Octets input;
        std::size_t count;
        std::optional<Octets> security;
        std::vector<std::uint16_t> smp_cnts;
    };
    const Good cases[] = {
        {"noASDU 0 and nothing else", {0x60, 0x03, 0x80, 0x01, 0x00}, 0, std::nullopt, {}},
        {"empty seqASDU contributes nothing", pdu(cat({no_asdu(0), seq({})})), 0, std::nullopt, {}},
        {"two ASDUs in one seqASDU", pdu(cat({no_asdu(2), seq(cat({one, two}))})), 2, std::nullopt, {1, 2}},
        {"two seqASDU elements", pdu(cat({no_asdu(2), seq(one), seq(two)})), 2, std::nullopt, {1, 2}},
        {"noASDU after the ASDUs, with leading zeros", pdu(cat({seq(two), tlv(0x80, {0, 0, 1})})), 1,
         std::nullopt, {2}},
        {"noASDU of nine octets with a leading zero", pdu(cat({tlv(0x80, {0, 0, 0, 0, 0, 0, 0, 0, 1}), seq(one)})),
         1, std::nullopt, {1}},
        {"the last noASDU counts", pdu(cat({no_asdu(7), no_asdu(1), seq(one)})), 1, std::nullopt, {1}},
        {"security kept, last one counts",
         pdu(cat({tlv(0xA1, {1}), no_asdu(1), seq(one), tlv(0xA1, {0xDE, 0xAD})})), 1, Octets{0xDE, 0xAD}, {1}},
        {"empty security", pdu(cat({no_asdu(0), tlv(0xA1, {})})), 0, Octets{}, {}},
        {"other elements skipped", pdu(cat({tlv(0x81, {}), no_asdu(1), tlv(0xA3, {0x31, 0x00}), seq(two),
                                            {0xBF, 0x80, 0x01, 0x00}})),
         1, std::nullopt, {2}},
        {"octets after the savPdu ignored", cat({pdu(cat({no_asdu(1), seq(one)})), {0x00, 0xFF, 0x30}}), 1,
         std::nullopt, {1}},
        {"long-form lengths", cat({{0x60, 0x82, 0x00, static_cast<std::uint8_t>(3 + 3 + one.size())},
                                   no_asdu(1), {0xA2, 0x81, static_cast<std::uint8_t>(one.size())}, one}),
         1, std::nullopt, {1}},
    };
    for (const Good& c : cases) {
        auto decoded = decode_pdu(c.input);
        ASSERT_TRUE(decoded.has_value()) << c.why << ": " << text_of(decoded.error());
        EXPECT_EQ(decoded->asdu_count, c.count) << c.why;
        EXPECT_TRUE(inside(decoded->content, c.input)) << c.why;
        EXPECT_EQ(decoded->security.has_value(), c.security.has_value()) << c.why;
        if (decoded->security && c.security) {
            EXPECT_EQ(octets_of(*decoded->security), *c.security) << c.why;
            EXPECT_TRUE(inside(*decoded->security, c.input)) << c.why;
        }
        std::vector<std::uint16_t> counts;
        for (const Asdu& a : all_asdus(*decoded)) {
            counts.push_back(a.smp_cnt);
            EXPECT_TRUE(inside(a.sample, c.input)) << c.why;
        }
        EXPECT_EQ(counts, c.smp_cnts) << c.why;
    }
}

TEST(Asdus, StopsAtTheFirstFaultOfUncheckedOctets) {
    // Content decode_pdu would refuse: a good ASDU, a bad one, a good one.
    const Octets good = asdu(minimal_asdu);
    const Octets content = cat({seq(cat({good, asdu({}), good}))});
    EXPECT_EQ(all_asdus(SavPdu{content, std::nullopt, 3}).size(), 1u);
    const Octets wrong_tag = cat({seq(good), seq(cat({{0x31, 0x00}, good}))});
    EXPECT_EQ(all_asdus(SavPdu{wrong_tag, std::nullopt, 2}).size(), 1u);
    const Octets truncated = cat({seq(good), {0xA2, 0x05}});
    EXPECT_EQ(all_asdus(SavPdu{truncated, std::nullopt, 2}).size(), 1u);
}

TEST(DecodePdu, EveryOneOctetChangeIsDecodedSafely) {
    // A property over all 256 values at every position of a two-ASDU PDU
    // with every field: an accepted variant yields exactly its ASDU count,
    // and every view stays inside the input.
    const Octets full = asdu(cat({sv_id, tlv(0x81, {'D'}), smp_cnt, conf_rev, tlv(0x84, {1, 2, 3, 4, 5, 6, 7, 8}),
                                  smp_synch, tlv(0x86, {0, 80}), sample, tlv(0x88, {0, 1}), tlv(0x89, {9})}));
    const Octets original = pdu(cat({no_asdu(2), tlv(0xA1, {0x55}), seq(cat({full, full}))}));
    ASSERT_TRUE(decode_pdu(original).has_value());
    std::size_t accepted = 0;
    for (std::size_t at = 0; at < original.size(); ++at) {
        for (int value = 0; value < 256; ++value) {
            Octets input = original;
            input[at] = static_cast<std::uint8_t>(value);
            auto decoded = decode_pdu(input);
            if (!decoded) {
                EXPECT_FALSE(text_of(decoded.error()).empty());
                continue;
            }
            ++accepted;
            ASSERT_TRUE(inside(decoded->content, input));
            const auto asdus = all_asdus(*decoded);
            ASSERT_EQ(asdus.size(), decoded->asdu_count) << "octet " << at << " = " << value;
            for (const Asdu& a : asdus) {
                EXPECT_TRUE(inside(a.sv_id, input) && inside(a.sample, input));
            }
        }
    }
    EXPECT_GT(accepted, original.size());  // at least the unchanged value everywhere
}

TEST(DecodePduEach, SameResultAsDecodePduAndTheAsdusOfAsdus) {
    const Octets one = asdu(minimal_asdu);
    const Octets other = asdu(cat({tlv(0x80, {'B'}), smp_cnt, conf_rev, smp_synch, sample}));
    const struct { const char* why; Octets input; std::size_t visited; } cases[] = {
        {"one ASDU", pdu(cat({no_asdu(1), seq(one)})), 1},
        {"two seqASDU in order", pdu(cat({no_asdu(3), seq(cat({one, other})), seq(one)})), 3},
        {"noASDU after the ASDUs", pdu(cat({seq(cat({other, one})), no_asdu(2)})), 2},
        {"noASDU of two octets", pdu(cat({tlv(0x80, {0, 1}), seq(one)})), 1},
        // Faults found after some ASDUs decoded: those were visited.
        {"a count that differs", pdu(cat({no_asdu(3), seq(cat({one, other}))})), 2},
        {"no noASDU", pdu(seq(one)), 1},
        {"a bad second ASDU", pdu(cat({no_asdu(2), seq(cat({one, asdu({})}))})), 1},
        {"a truncated element at the end", pdu(cat({no_asdu(1), seq(one), {0xA1, 0x05}})), 1},
        {"not a savPdu", {0x61, 0x00}, 0},
    };
    for (const auto& c : cases) {
        std::vector<Asdu> visited;
        auto each = decode_pdu_each(c.input, [&](const Asdu& a) { visited.push_back(a); });
        auto once = decode_pdu(c.input);
        ASSERT_EQ(each.has_value(), once.has_value()) << c.why;
        EXPECT_EQ(visited.size(), c.visited) << c.why;
        if (!once) {
            EXPECT_EQ(each.error(), once.error()) << c.why;
            continue;
        }
        EXPECT_EQ(each->content.data(), once->content.data()) << c.why;
        EXPECT_EQ(each->asdu_count, once->asdu_count) << c.why;
        const std::vector<Asdu> iterated = all_asdus(*once);
        ASSERT_EQ(visited.size(), iterated.size()) << c.why;
        for (std::size_t i = 0; i < visited.size(); ++i) {
            EXPECT_EQ(visited[i].sv_id.data(), iterated[i].sv_id.data()) << c.why << " ASDU " << i;
            EXPECT_EQ(visited[i].sample.data(), iterated[i].sample.data()) << c.why << " ASDU " << i;
            EXPECT_EQ(visited[i].smp_cnt, iterated[i].smp_cnt) << c.why << " ASDU " << i;
        }
    }
}

}  // namespace
}  // namespace valdrin::sv
