// Tests of state sequences: the exact samples of time-ended states switched
// inside a frame, a command ending a trigger-ended state at its period (and
// ignored for another state), a timeout, the DC offset carried over, and a
// replay giving the live run's octets from its recorded starts.
#include "sv_engine/sequence.hpp"

#include "octets.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace valdrin::io::sv_engine {
namespace {

constexpr std::int64_t kRate = 4000;

// One channel of `asdus` ASDUs per frame: counter at 0, the channel at 2 (+10 per ASDU).
Stream one_channel(std::size_t asdus, double scale = 1.0) {
    Stream st;
    st.frame.assign(10 * asdus, 0);
    for (std::size_t t = 0; t < asdus; ++t) {
        st.smp_cnt_offsets.push_back(10 * t);
        st.sample_offsets.push_back(10 * t + 2);
    }
    st.waves = {Wave{.scale = scale, .quality = 0x2000}};
    return st;
}

// A state whose one channel is the constant `value` (a tone of order 0 at 90°).
State constant(double value, std::uint64_t samples, bool trigger = false) {
    State s;
    s.samples = samples;
    s.trigger = trigger;
    s.channels = {StateChannel{{Tone{0.0, value, 90.0}}, false}};
    return s;
}

Sequence sequence_of(std::vector<State> states) {
    Sequence seq;
    seq.control = std::make_shared<SequenceControl>(states.size());
    seq.states = std::move(states);
    return seq;
}

// The channel's values of frame periods 0 .. periods - 1, live.
std::vector<std::int32_t> live(const Sequence& seq, const Stream& st, std::uint64_t periods,
                               std::uint64_t command_before = UINT64_MAX, std::size_t state = 0,
                               std::uint64_t period = 0) {
    SequenceCursor cursor(seq, st, kRate);
    std::vector<std::int32_t> values;
    std::vector<std::uint8_t> frame = st.frame;
    for (std::uint64_t k = 0; k < periods; ++k) {
        if (k == command_before) seq.control->command(state, period);
        const auto apf = static_cast<std::int64_t>(st.smp_cnt_offsets.size());
        cursor.render_live(frame, static_cast<std::int64_t>(k) * apf % kRate, k);
        cursor.after_send();
        for (std::size_t t = 0; t < st.sample_offsets.size(); ++t) {
            values.push_back(static_cast<std::int32_t>(octets::load_be32(&frame[st.sample_offsets[t]])));
            EXPECT_EQ(octets::load_be32(&frame[st.sample_offsets[t] + 4]), 0x2000u);
            EXPECT_EQ(octets::load_be16(&frame[st.smp_cnt_offsets[t]]), (k * apf + t) % kRate);
        }
    }
    return values;
}

TEST(Sequence, TimeEndedStatesSwitchInsideAFrameAndTheLastOneStays) {
    const Stream st = one_channel(2);
    const Sequence seq = sequence_of({constant(1, 3), constant(2, 2), constant(3, 1)});
    EXPECT_EQ(live(seq, st, 5), (std::vector<std::int32_t>{1, 1, 1, 2, 2, 3, 3, 3, 3, 3}));
    SequenceControl& c = *seq.control;
    EXPECT_EQ(c.start(0).load(), 0);
    EXPECT_EQ(c.start(1).load(), 3);
    EXPECT_EQ(c.start(2).load(), 5);
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_EQ(c.ending(s).load(), static_cast<std::uint8_t>(Ending::duration));
        EXPECT_NE(c.sent_ns(s).load(), SequenceControl::NOT_YET);
    }
}

TEST(Sequence, ACommandEndsItsStateAtItsPeriodAndOnlyThatState) {
    const Stream st = one_channel(2);
    {
        const Sequence seq = sequence_of({constant(1, 0, true), constant(2, 0)});
        // Given before period 1 for period 3: samples 0-5 the first state, from 6 the second.
        EXPECT_EQ(live(seq, st, 5, 1, 0, 3), (std::vector<std::int32_t>{1, 1, 1, 1, 1, 1, 2, 2, 2, 2}));
        EXPECT_EQ(seq.control->start(1).load(), 6);
        EXPECT_EQ(seq.control->ending(0).load(), static_cast<std::uint8_t>(Ending::trigger));
    }
    {
        // Read late (at period 4 for period 2): the switch comes at the period it is read in.
        const Sequence seq = sequence_of({constant(1, 0, true), constant(2, 0)});
        EXPECT_EQ(live(seq, st, 6, 4, 0, 2), (std::vector<std::int32_t>{1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2}));
    }
    {
        // A command for a state not current is ignored.
        const Sequence seq = sequence_of({constant(1, 0, true), constant(2, 0, true)});
        EXPECT_EQ(live(seq, st, 3, 0, 1, 0), (std::vector<std::int32_t>{1, 1, 1, 1, 1, 1}));
        EXPECT_EQ(seq.control->start(1).load(), SequenceControl::NOT_YET);
    }
}

TEST(Sequence, ATriggerEndedStateTimesOutAfterItsSamples) {
    const Stream st = one_channel(1);
    const Sequence seq = sequence_of({constant(1, 4, true), constant(2, 0)});
    EXPECT_EQ(live(seq, st, 6), (std::vector<std::int32_t>{1, 1, 1, 1, 2, 2}));
    EXPECT_EQ(seq.control->ending(0).load(), static_cast<std::uint8_t>(Ending::timeout));
}

TEST(Sequence, ACommandAfterItsPeriodWasRenderedSwitchesThatFrameOnASecondRender) {
    const Stream st = one_channel(2);
    const Sequence seq = sequence_of({constant(1, 0, true), constant(2, 0), constant(3, 0)});
    SequenceCursor cursor(seq, st, kRate);
    std::vector<std::uint8_t> frame = st.frame;
    const auto first_value = [&] { return static_cast<std::int32_t>(octets::load_be32(&frame[2])); };
    cursor.render_live(frame, 0, 0);
    cursor.render_live(frame, 2, 1);
    EXPECT_FALSE(cursor.command_came(1));     // no command
    seq.control->command(1, 1);
    EXPECT_FALSE(cursor.command_came(1));     // a command for another state
    seq.control->command(0, 2);
    EXPECT_FALSE(cursor.command_came(1));     // for a later period
    seq.control->command(0, 1);
    ASSERT_TRUE(cursor.command_came(1));
    cursor.render_live(frame, 2, 1);
    EXPECT_EQ(first_value(), 2);
    EXPECT_EQ(seq.control->start(1).load(), 2);  // the period's first sample
    EXPECT_FALSE(cursor.command_came(1));     // rendered with the switch
    cursor.render_live(frame, 4, 2);
    EXPECT_FALSE(cursor.command_came(2));     // the command's state has ended
    EXPECT_EQ(first_value(), 2);
}

TEST(Sequence, TheDcOffsetCarriesTheValueOnAndDecays) {
    const Stream st = one_channel(1, 1000.0);
    State fault;
    fault.channels = {StateChannel{{}, true}};
    fault.tau_s = 0.01;  // 40 samples
    const Sequence seq = sequence_of({constant(5.0, 2), fault});
    const std::vector<std::int32_t> values = live(seq, st, 43);
    EXPECT_EQ(values[1], 5000);
    EXPECT_EQ(values[2], 5000);                                          // no step at the start
    EXPECT_EQ(values[42], static_cast<std::int32_t>(std::rint(5000.0 / std::exp(1.0))));  // one τ on
}

TEST(Sequence, AReplayFromTheRecordedStartsGivesTheLiveOctets) {
    const Stream st = one_channel(4);
    State a = constant(1, 0, true);
    a.channels[0].tones = {Tone{1.0, 100.0, 30.0}};
    State b = constant(0, 7);
    b.frequency_hz = 60.0;
    b.channels[0] = StateChannel{{Tone{1.0, 50.0, -10.0}, Tone{3.0, 5.0, 0.0}}, true};
    b.tau_s = 0.002;
    const Sequence seq = sequence_of({a, b, constant(9, 0)});
    std::vector<std::vector<std::uint8_t>> sent;
    {
        SequenceCursor cursor(seq, st, kRate);
        std::vector<std::uint8_t> frame = st.frame;
        for (std::uint64_t k = 0; k < 12; ++k) {
            if (k == 2) seq.control->command(0, 5);
            cursor.render_live(frame, static_cast<std::int64_t>(4 * k), k);
            sent.push_back(frame);
        }
    }
    const std::vector<std::int64_t> starts = {0, seq.control->start(1).load(), seq.control->start(2).load()};
    EXPECT_EQ(starts, (std::vector<std::int64_t>{0, 20, 27}));
    SequenceCursor replay(seq, st, kRate);
    std::vector<std::uint8_t> frame = st.frame;
    for (std::uint64_t k = 0; k < 12; ++k) {
        replay.render_replay(frame, static_cast<std::int64_t>(4 * k), k, starts);
        EXPECT_EQ(frame, sent[k]) << "period " << k;
    }
}

}  // namespace
}  // namespace valdrin::io::sv_engine
