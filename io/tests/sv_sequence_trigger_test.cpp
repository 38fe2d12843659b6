// Tests of the sequence trigger the capture thread runs: a rise of the
// current state's condition after that state's start commands its end at
// the first frame period due at or after the rise's stamp plus the delay;
// a rise before the start, another block's frames, a repetition and a
// state that is not trigger-ended command nothing; a rise seen before the
// state was recorded as begun fires on the next poll; each state fires once;
// every rise is logged for the owner until taken.
#include "sv_engine/sequence_trigger.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace valdrin::io::sv_engine {
namespace {

// An untagged GOOSE frame, octet by octet: block "R/LLN0$GO$g", stNum
// `st`, sqNum `sq`, one BOOLEAN member `value`.
std::array<std::uint8_t, 74> trip_frame(std::uint8_t st, std::uint8_t sq, bool value, char last = 'g') {
    return {0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01, 0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7, 0x88, 0xB8,
            0x00, 0x01, 0x00, 0x3C, 0x00, 0x00, 0x00, 0x00,
            0x61, 0x32,
            0x80, 0x0B, 'R', '/', 'L', 'L', 'N', '0', '$', 'G', 'O', '$', static_cast<std::uint8_t>(last),
            0x81, 0x02, 0x07, 0xD0, 0x82, 0x04, 'R', '/', 'D', 'S',
            0x84, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x85, 0x01, st, 0x86, 0x01, sq, 0x88, 0x01, 0x01, 0x8A, 0x01, 0x01,
            0xAB, 0x03, 0x83, 0x01, static_cast<std::uint8_t>(value ? 0xFF : 0x00)};
}

// 4000 samples per second, one per frame: period k due at 1000 s + k × 250 µs.
constexpr Schedule SCHEDULE{.start_second = 1000, .rate = 4000, .asdus_per_frame = 1};
constexpr std::int64_t SECOND = 1'000'000'000;
constexpr std::int64_t T0 = 1000 * SECOND;

struct Rig {
    std::shared_ptr<SequenceControl> control = std::make_shared<SequenceControl>(3);
    SequenceTrigger trigger;

    // States: 0 time-ended, 1 ended by the trip, 2 begun `delay_ns` after it.
    explicit Rig(std::int64_t delay_ns)
        : trigger(control, SCHEDULE,
                  std::vector{*goose::MemberCondition::make("R/LLN0$GO$g", 0, goose::ConditionValue::of_bool(true))},
                  {TriggerRule{}, TriggerRule{0, delay_ns}, TriggerRule{}}) {}
    // What the transmit thread records when state 0 ends at sample `n`.
    void begin_state_1(std::int64_t n) {
        control->ending(0).store(static_cast<std::uint8_t>(Ending::duration));
        control->start(1).store(n);
    }
    void add(std::uint8_t st, bool value, std::int64_t stamp, std::uint8_t sq = 0) {
        const auto frame = trip_frame(st, sq, value);
        trigger.add(frame, stamp);
    }
};

TEST(SequenceTrigger, CommandsTheFirstPeriodDueAfterTheRisePlusTheDelay) {
    struct Row {
        const char* why;
        std::int64_t delay_ns;
        std::int64_t rise_ns;  // after T0
        std::uint64_t period;
    };
    const Row rows[] = {
        {"no delay, 1 ns past period 200's instant", 0, 50'000'001, 201},
        {"no delay, on period 200's instant", 0, 50'000'000, 200},
        {"50 ms later", 50'000'000, 50'000'001, 401},
        {"a delay ending inside a period", 1'100'000, 50'000'000, 205},
    };
    for (const Row& row : rows) {
        Rig rig(row.delay_ns);
        rig.begin_state_1(120);  // 30 ms
        rig.add(1, false, T0 + 40'000'000);
        EXPECT_FALSE(rig.control->read_command().has_value()) << row.why;
        rig.add(2, true, T0 + row.rise_ns);
        const auto command = rig.control->read_command();
        ASSERT_TRUE(command.has_value()) << row.why;
        EXPECT_EQ(command->state, 1u) << row.why;
        EXPECT_EQ(command->period, row.period) << row.why;
        EXPECT_EQ(rig.trigger.fired_ns(1), T0 + row.rise_ns) << row.why;
        EXPECT_NE(rig.trigger.commanded_ns(1), SequenceTrigger::NOT_YET) << row.why;
        EXPECT_EQ(rig.trigger.fired_ns(0), SequenceTrigger::NOT_YET) << row.why;
    }
}

TEST(SequenceTrigger, CommandsNothingForWhatIsNoRiseInTheCurrentState) {
    Rig rig(0);
    // A rise while the time-ended state 0 runs: nothing to end.
    rig.add(1, false, T0 + 1'000'000);
    rig.add(2, true, T0 + 2'000'000);
    rig.trigger.poll();
    EXPECT_FALSE(rig.control->read_command().has_value());
    // State 1 began at 30 ms, after that rise: it does not count for it.
    rig.begin_state_1(120);
    rig.trigger.poll();
    EXPECT_FALSE(rig.control->read_command().has_value());
    // Repetitions of the held state, another block rising, a fall.
    rig.add(2, true, T0 + 40'000'000, 1);
    const auto other = trip_frame(1, 0, true, 'h');
    rig.trigger.add(other, T0 + 41'000'000);
    rig.add(3, false, T0 + 42'000'000);
    EXPECT_FALSE(rig.control->read_command().has_value());
    EXPECT_EQ(rig.trigger.fired_ns(1), SequenceTrigger::NOT_YET);
    // The next rise ends state 1, once: a later rise changes nothing.
    rig.add(4, true, T0 + 43'000'000);
    ASSERT_TRUE(rig.control->read_command().has_value());
    EXPECT_EQ(rig.control->read_command()->period, 172u);
    rig.add(5, false, T0 + 44'000'000);
    rig.add(6, true, T0 + 45'000'000);
    EXPECT_EQ(rig.control->read_command()->period, 172u);
    EXPECT_EQ(rig.trigger.fired_ns(1), T0 + 43'000'000);
}

TEST(SequenceTrigger, ARiseBeforeTheStartWasRecordedFiresOnThePoll) {
    Rig rig(0);
    rig.add(1, false, T0 + 20'000'000);
    rig.add(2, true, T0 + 31'000'000);  // state 1 began at 30 ms, not yet recorded
    EXPECT_FALSE(rig.control->read_command().has_value());
    rig.begin_state_1(120);
    rig.trigger.poll();
    ASSERT_TRUE(rig.control->read_command().has_value());
    EXPECT_EQ(rig.control->read_command()->period, 124u);
    EXPECT_EQ(rig.trigger.fired_ns(1), T0 + 31'000'000);
}

TEST(SequenceTrigger, LogsEveryRiseOfEveryConditionUntilTakenAndCountsWhatAFullLogLoses) {
    Rig rig(0);
    std::array<std::int64_t, 3> out{};
    EXPECT_EQ(rig.trigger.take_rises(0, out), 0u);
    rig.add(1, true, T0 + 1, 3);  // first seen in mid-state: no rise
    rig.add(2, false, T0 + 2);
    rig.add(3, true, T0 + 3);     // a rise, in a time-ended state: logged all the same
    rig.add(3, true, T0 + 4, 1);  // its repetition
    rig.add(4, false, T0 + 5);
    rig.add(5, true, T0 + 6);
    ASSERT_EQ(rig.trigger.take_rises(0, out), 2u);
    EXPECT_EQ(out[0], T0 + 3);
    EXPECT_EQ(out[1], T0 + 6);
    EXPECT_EQ(rig.trigger.take_rises(0, out), 0u);  // taken once
    // Rises never taken fill the log; the one after is lost, counted.
    for (std::size_t i = 0; i <= SequenceTrigger::RISES_KEPT; ++i) {
        const auto st = static_cast<std::uint8_t>(6 + 2 * i);
        rig.add(st, false, T0 + 10);
        rig.add(static_cast<std::uint8_t>(st + 1), true, T0 + 11 + static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(rig.trigger.rises_lost(0), 1u);
    std::size_t taken = 0;
    std::int64_t last = 0;
    for (std::size_t n; (n = rig.trigger.take_rises(0, out)) != 0; taken += n) last = out[n - 1];
    EXPECT_EQ(taken, SequenceTrigger::RISES_KEPT);
    EXPECT_EQ(last, T0 + 11 + static_cast<std::int64_t>(SequenceTrigger::RISES_KEPT) - 1);  // the oldest kept
}

TEST(SequenceTrigger, RefusesRulesThatDoNotFit) {
    const auto control = std::make_shared<SequenceControl>(2);
    const std::vector<goose::MemberCondition> none;
    EXPECT_THROW(SequenceTrigger(control, SCHEDULE, none, {TriggerRule{}}), std::invalid_argument);
    EXPECT_THROW(SequenceTrigger(control, SCHEDULE, none, {TriggerRule{}, TriggerRule{0, 0}}), std::invalid_argument);
    EXPECT_THROW(SequenceTrigger(control, SCHEDULE, none, {TriggerRule{}, TriggerRule{std::nullopt, -1}}),
                 std::invalid_argument);
    EXPECT_THROW(SequenceTrigger(nullptr, SCHEDULE, none, {}), std::invalid_argument);
}

}  // namespace
}  // namespace valdrin::io::sv_engine
