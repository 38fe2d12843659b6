#include "goose_condition.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::goose {
namespace {

using test::cat;
using test::Octets;
using test::tlv;

constexpr std::string_view REF = "RELAY1LD0/LLN0$GO$trip";

Octets text(std::string_view s) { return {s.begin(), s.end()}; }

// A whole untagged GOOSE frame of block `ref`, stNum and sqNum below 128,
// carrying `all_data` (the content of allData) with `entries` values.
Octets frame(std::string_view ref, std::uint8_t st_num, std::uint8_t sq_num, const Octets& all_data,
             std::uint8_t entries = 1) {
    const Octets pdu = tlv(0x61, cat({tlv(0x80, text(ref)), tlv(0x81, {0x07, 0xD0}), tlv(0x82, text("R/DS")),
                                      tlv(0x84, Octets(8, 0)), tlv(0x85, {st_num}), tlv(0x86, {sq_num}),
                                      tlv(0x88, {0x01}), tlv(0x8A, {entries}), tlv(0xAB, all_data)}));
    const std::size_t length = 8 + pdu.size();
    const Octets header{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01, 0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7, 0x88, 0xB8,
                        0x00, 0x01, std::uint8_t(length >> 8), std::uint8_t(length), 0x00, 0x00, 0x00, 0x00};
    return cat({header, pdu});
}

const Octets TRUE_{0x83, 0x01, 0xFF};
const Octets FALSE_{0x83, 0x01, 0x00};

MemberCondition condition(std::size_t member, ConditionValue value, std::string_view ref = REF) {
    auto made = MemberCondition::make(ref, member, value);
    EXPECT_TRUE(made.has_value());
    return *made;
}

TEST(MemberCondition, RefusesWhatCannotBeACondition) {
    struct Row {
        std::string ref;
        ConditionValue value;
        const char* message;
    };
    const Row rows[] = {
        {"", ConditionValue::of_bool(true), "the condition's gocbRef is empty"},
        {std::string(130, 'A'), ConditionValue::of_bool(true), "the condition's gocbRef is longer than 129 characters"},
        {"R/LLN0$GO$g", ConditionValue::of_real(std::nan("")), "the condition's value is not a finite number"},
        {"R/LLN0$GO$g", ConditionValue::of_real(-HUGE_VAL), "the condition's value is not a finite number"},
    };
    for (const Row& row : rows) {
        auto made = MemberCondition::make(row.ref, 0, row.value);
        ASSERT_FALSE(made.has_value()) << row.message;
        EXPECT_EQ(describe(made.error()), row.message);
    }
    // 129 characters is the most a gocbRef has, and fits.
    auto longest = MemberCondition::make(std::string(129, 'A'), 3, ConditionValue::of_int(1));
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(longest->gocb_ref(), std::string(129, 'A'));
    EXPECT_EQ(longest->member(), 3u);
}

// One literal frame, octet by octet: tagged (VLAN 5, priority 4), block
// "R/LLN0$GO$g", stNum 2, one BOOLEAN TRUE.
TEST(MemberCondition, ReadsALiteralTaggedFrame) {
    const Octets wire{
        0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01, 0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7,  // MACs
        0x81, 0x00, 0x80, 0x05, 0x88, 0xB8, 0x00, 0x01, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x00,  // tag .. reserved
        0x61, 0x32,                                                                  // goosePdu
        0x80, 0x0B, 'R', '/', 'L', 'L', 'N', '0', '$', 'G', 'O', '$', 'g',          // gocbRef
        0x81, 0x02, 0x07, 0xD0, 0x82, 0x04, 'R', '/', 'D', 'S',                      // TAL, datSet
        0x84, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                  // t
        0x85, 0x01, 0x02, 0x86, 0x01, 0x00, 0x88, 0x01, 0x01, 0x8A, 0x01, 0x01,      // stNum sqNum confRev entries
        0xAB, 0x03, 0x83, 0x01, 0xFF,                                                // allData
    };
    const auto pdu = pdu_of_frame(wire);
    ASSERT_TRUE(pdu.has_value());
    EXPECT_EQ(pdu->st_num, 2u);
    const MemberCondition trip = condition(0, ConditionValue::of_bool(true), "R/LLN0$GO$g");
    EXPECT_TRUE(trip.names(*pdu));
    EXPECT_TRUE(trip.holds(*pdu));
    EXPECT_FALSE(condition(0, ConditionValue::of_bool(true), "R/LLN0$GO$h").names(*pdu));
    EXPECT_FALSE(condition(0, ConditionValue::of_bool(true), "R/LLN0$GO$").names(*pdu));
    // Cut short, or of the SV EtherType, it is no GOOSE PDU at all.
    EXPECT_FALSE(pdu_of_frame(Octets(wire.begin(), wire.end() - 1)).has_value());
    Octets sv = wire;
    sv[17] = 0xBA;
    EXPECT_FALSE(pdu_of_frame(sv).has_value());
}

TEST(MemberCondition, ComparesMembersByKind) {
    const Octets f32_1_5{0x87, 0x05, 0x08, 0x3F, 0xC0, 0x00, 0x00};
    const Octets f32_2{0x87, 0x05, 0x08, 0x40, 0x00, 0x00, 0x00};
    const Octets f64_minus_3{0x87, 0x09, 0x0B, 0xC0, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const Octets int_7{0x85, 0x01, 0x07};
    const Octets int_minus_1{0x85, 0x01, 0xFF};
    const Octets uint_255{0x86, 0x02, 0x00, 0xFF};
    const Octets structure{0xA2, 0x06, 0x83, 0x01, 0xFF, 0x83, 0x01, 0xFF};
    struct Row {
        const char* why;
        Octets all_data;
        std::size_t member;
        ConditionValue value;
        bool holds;
    };
    const Row rows[] = {
        {"bool true == true", TRUE_, 0, ConditionValue::of_bool(true), true},
        {"bool false == true", FALSE_, 0, ConditionValue::of_bool(true), false},
        {"bool false == false", FALSE_, 0, ConditionValue::of_bool(false), true},
        {"a bool is no number", TRUE_, 0, ConditionValue::of_int(1), false},
        {"a number is no bool", int_7, 0, ConditionValue::of_bool(true), false},
        {"int == int", int_7, 0, ConditionValue::of_int(7), true},
        {"int == the same real", int_7, 0, ConditionValue::of_real(7.0), true},
        {"int != a fraction", int_7, 0, ConditionValue::of_real(7.5), false},
        {"negative int", int_minus_1, 0, ConditionValue::of_int(-1), true},
        {"unsigned == int", uint_255, 0, ConditionValue::of_int(255), true},
        {"unsigned is never negative", uint_255, 0, ConditionValue::of_int(-1), false},
        {"unsigned == real", uint_255, 0, ConditionValue::of_real(255.0), true},
        {"float32 == real", f32_1_5, 0, ConditionValue::of_real(1.5), true},
        {"float32 1.5 != int 1", f32_1_5, 0, ConditionValue::of_int(1), false},
        {"float32 2.0 == int 2", f32_2, 0, ConditionValue::of_int(2), true},
        {"float64 -3.0 == int -3", f64_minus_3, 0, ConditionValue::of_int(-3), true},
        {"the second member after a structure", cat({structure, FALSE_}), 1, ConditionValue::of_bool(false), true},
        {"a structure's own members are not top-level", cat({structure, FALSE_}), 1, ConditionValue::of_bool(true),
         false},
        {"a structure equals no value", cat({structure, FALSE_}), 0, ConditionValue::of_bool(true), false},
        {"a member past the last", TRUE_, 1, ConditionValue::of_bool(true), false},
        {"no allData", {}, 0, ConditionValue::of_bool(true), false},
    };
    for (const Row& row : rows) {
        const Octets octets = frame(REF, 1, 0, row.all_data, 2);  // the decoded PDU views it
        const auto pdu = pdu_of_frame(octets);
        ASSERT_TRUE(pdu.has_value()) << row.why;
        EXPECT_EQ(condition(row.member, row.value).holds(*pdu), row.holds) << row.why;
    }
}

// Frames of one block and another, in order, and whether each is a rise.
struct Step {
    const char* why;
    std::string_view ref;
    std::uint8_t st_num;
    std::uint8_t sq_num;
    Octets all_data;
    bool rise;
};

void run_steps(ConditionTracker& tracker, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        EXPECT_EQ(tracker.add_frame(frame(step.ref, step.st_num, step.sq_num, step.all_data, 2)), step.rise)
            << step.why;
    }
}

TEST(ConditionTracker, RisesOnceOnTheNewStateThatFirstHolds) {
    ConditionTracker tracker(condition(0, ConditionValue::of_bool(true)));
    run_steps(tracker, {
        {"another block that holds", "RELAY2LD0/LLN0$GO$trip", 1, 0, TRUE_, false},
        {"ours, first seen from its start, not holding", REF, 1, 0, FALSE_, false},
        {"a repetition (same stNum) is no new state, whatever it carries", REF, 1, 1, TRUE_, false},
        {"the new state that holds", REF, 2, 0, TRUE_, true},
        {"its repetition", REF, 2, 1, TRUE_, false},
        {"a new state still holding", REF, 3, 0, TRUE_, false},
        {"another member changing", REF, 4, 0, cat({TRUE_, TRUE_}), false},
        {"the condition falls", REF, 5, 0, FALSE_, false},
        {"and rises again", REF, 6, 0, TRUE_, true},
        {"stNum wrapping to a number seen before is a new state", REF, 2, 0, FALSE_, false},
        {"rising after the wrap", REF, 3, 0, TRUE_, true},
    });
    EXPECT_TRUE(tracker.held());
}

TEST(ConditionTracker, ABlockFirstSeenInMidStateDoesNotRise) {
    ConditionTracker holding(condition(0, ConditionValue::of_bool(true)));
    run_steps(holding, {
        {"first seen at sqNum 3, holding: when it began is not known", REF, 7, 3, TRUE_, false},
        {"a new state still holding", REF, 8, 0, TRUE_, false},
        {"falls", REF, 9, 0, FALSE_, false},
        {"rises", REF, 10, 0, TRUE_, true},
    });
    ConditionTracker not_holding(condition(0, ConditionValue::of_bool(true)));
    run_steps(not_holding, {
        {"first seen at sqNum 3, not holding", REF, 7, 3, FALSE_, false},
        {"the next state holds", REF, 8, 0, TRUE_, true},
    });
    ConditionTracker first_from_start(condition(0, ConditionValue::of_bool(true)));
    run_steps(first_from_start, {{"first seen at sqNum 0, holding: a rise", REF, 1, 0, TRUE_, true}});
}

TEST(ConditionTracker, IgnoresWhatIsNoGoose) {
    ConditionTracker tracker(condition(0, ConditionValue::of_bool(true)));
    Octets broken = frame(REF, 1, 0, TRUE_);
    broken[22] = 0x62;  // not a goosePdu
    EXPECT_FALSE(tracker.add_frame(broken));
    EXPECT_FALSE(tracker.add_frame({}));
    EXPECT_FALSE(tracker.add_frame(Octets(13, 0x88)));
    EXPECT_FALSE(tracker.held());
    EXPECT_TRUE(tracker.add_frame(frame(REF, 1, 0, TRUE_)));  // nothing before it counted
}

}  // namespace
}  // namespace valdrin::goose
