// The SV fault knobs' state machine without a socket: what each frame
// becomes under the one-shot knobs, and the fields the lasting ones write
// into a rendered frame and give back when cleared.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sv_engine/faults.hpp"
#include "sv_engine/render.hpp"

namespace {

using namespace valdrin::io::sv_engine;
using valdrin::io::PrpFrameFaults;

// One untagged frame of one ASDU: svID "MU01", smpCnt, confRev 3, smpSynch 1,
// one channel (value, quality), laid out as the package's encoder writes it.
Stream one_asdu_stream() {
    const std::vector<std::uint8_t> asdu = {0x80, 4, 'M', 'U', '0', '1', 0x82, 2, 0, 0, 0x83, 4, 0, 0, 0, 3,
                                            0x85, 1, 1, 0x87, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> pdu = {0x60, static_cast<std::uint8_t>(asdu.size() + 7), 0x80, 1, 1, 0xA2,
                                     static_cast<std::uint8_t>(asdu.size() + 2), 0x30,
                                     static_cast<std::uint8_t>(asdu.size())};
    for (const std::uint8_t octet : asdu) pdu.push_back(octet);
    Stream stream;
    stream.frame = {0x01, 0x0C, 0xCD, 0x04, 0, 1, 0, 0, 0, 0, 0, 2, 0x88, 0xBA, 0x40, 0x00,
                    0, static_cast<std::uint8_t>(pdu.size() + 8), 0, 0, 0, 0};
    const std::size_t asdu_at = stream.frame.size() + 9;
    for (const std::uint8_t octet : pdu) stream.frame.push_back(octet);
    stream.smp_cnt_offsets = {asdu_at + 8};
    stream.sample_offsets = {asdu_at + 21};
    stream.waves = {Wave{0.0, 0.0, 0.0, 7.0, 1.0, 0}};
    return stream;
}

Config config_of(const Stream& stream) {
    Config config;
    config.rate = 4000;
    config.streams = {stream};
    return config;
}

TEST(SvFaults, FieldsAreFoundInTheTemplate) {
    const Stream stream = one_asdu_stream();
    const Fields fields = Fields::of(stream);
    ASSERT_TRUE(fields.reserved1.has_value());
    EXPECT_EQ(*fields.reserved1, 18u);  // after MACs, EtherType, APPID and Length
    EXPECT_EQ(fields.conf_rev, std::vector<std::size_t>{stream.smp_cnt_offsets[0] + 4});
    EXPECT_EQ(fields.smp_synch, std::vector<std::size_t>{stream.smp_cnt_offsets[0] + 10});
}

struct PlanCase {
    const char* why;
    Knob knob;
    std::int64_t value;
    std::vector<int> copies;  // per frame: frames that leave then (a held frame counts when it leaves)
};

class OneShot : public testing::TestWithParam<PlanCase> {};

TEST_P(OneShot, FramesLeaveAsTheKnobSays) {
    const PlanCase& c = GetParam();
    const Stream stream = one_asdu_stream();
    Faults faults(config_of(stream));
    FrameFaults frame(stream, faults.fields(0));
    ASSERT_TRUE(faults.set(0, c.knob, c.value, 0).has_value());
    std::vector<int> seen;
    for (std::size_t k = 0; k < c.copies.size(); ++k) {
        const Emission e = frame.plan(faults.knobs(0), 1000 + static_cast<valdrin::io::Nanos>(k));
        if (e.release_held) frame.set_holding(false);
        if (e.hold) frame.set_holding(true);
        seen.push_back(e.copies + (e.release_held ? 1 : 0));
    }
    EXPECT_EQ(seen, c.copies) << c.why;
}

INSTANTIATE_TEST_SUITE_P(Knobs, OneShot, testing::Values(
    PlanCase{"drop 2: two frames not sent, then on", Knob::Drop, 2, {0, 0, 1, 1}},
    PlanCase{"duplicate 2: two frames twice", Knob::Duplicate, 2, {2, 2, 1, 1}},
    PlanCase{"swap: the first held, then sent after the second", Knob::Swap, 1, {0, 2, 1, 1}},
    PlanCase{"silence 1 ns from 1000: the frame due at 1000 not sent", Knob::Silence, 1001, {0, 1, 1}}));

TEST(SvFaults, LastingKnobsWriteTheirFieldsAndGiveThemBack) {
    const Stream stream = one_asdu_stream();
    Faults faults(config_of(stream));
    FrameFaults frame_faults(stream, faults.fields(0));
    std::vector<std::uint8_t> frame = stream.frame;
    const std::size_t cnt = stream.smp_cnt_offsets[0];
    const auto rendered = [&](std::int64_t smp) {
        render(stream, frame, 1'700'000'000, smp, 4000);
        frame_faults.edit(faults.knobs(0), stream, frame, smp, 4000);
        return frame;
    };
    ASSERT_TRUE(faults.set(0, Knob::ConfRev, 9, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::SmpSynch, 0, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::Simulation, 1, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::Jump, 5, 0).has_value());
    const std::uint64_t first_channel = 0;
    ASSERT_TRUE(faults.set_quality(0, 0x801, {&first_channel, 1}).has_value());
    std::vector<std::uint8_t> out = rendered(3998);
    EXPECT_EQ(out[18], 0x80);                                   // reserved1's simulation bit
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + cnt, out.begin() + cnt + 2),
              (std::vector<std::uint8_t>{0, 3}));               // (3998 + 5) mod 4000
    EXPECT_EQ(out[cnt + 7], 9);                                 // confRev
    EXPECT_EQ(out[cnt + 10], 0);                                // smpSynch
    EXPECT_EQ(out[stream.sample_offsets[0] + 7], 0x01);         // quality 0x801
    EXPECT_EQ(out[stream.sample_offsets[0] + 6], 0x08);
    for (Knob knob : {Knob::ConfRev, Knob::SmpSynch, Knob::Simulation, Knob::Quality}) {
        ASSERT_TRUE(faults.clear(0, knob).has_value());
    }
    out = rendered(10);
    EXPECT_EQ(out[18], 0x00);
    EXPECT_EQ(out[cnt + 1], 15);                                // the jump stays
    EXPECT_EQ(out[cnt + 7], 3);
    EXPECT_EQ(out[cnt + 10], 1);
    EXPECT_EQ(out[stream.sample_offsets[0] + 7], 0x00);
}

TEST(SvFaults, IdleKnobsLeaveTheFrameAloneUntilOneIsSet) {
    const Stream stream = one_asdu_stream();
    Faults faults(config_of(stream));
    FrameFaults frame_faults(stream, faults.fields(0));
    StreamKnobs& knobs = faults.knobs(0);
    std::vector<std::uint8_t> frame = stream.frame;
    const auto emitted = [&](std::int64_t smp) {
        render(stream, frame, 1'700'000'000, smp, 4000);
        return frame_faults.apply(knobs, stream, frame, smp, 4000, 1000 + smp).copies;
    };
    // Values written behind the setters' back are not read while nothing armed the stream.
    knobs.drop.store(1);
    knobs.delay_ns.store(5);
    EXPECT_EQ(emitted(0), 1);
    EXPECT_EQ(frame_faults.delay_ns(knobs), 0);
    // A refused set arms nothing.
    ASSERT_FALSE(faults.set(0, Knob::Duplicate, 0, 0).has_value());
    EXPECT_EQ(emitted(1), 1);
    // The first accepted set: every knob is read from the next frame on.
    ASSERT_TRUE(faults.set(0, Knob::ConfRev, 9, 0).has_value());
    EXPECT_EQ(emitted(2), 0);  // the drop written before
    EXPECT_EQ(frame[stream.smp_cnt_offsets[0] + 7], 9);
    EXPECT_EQ(frame_faults.delay_ns(knobs), 5);
    EXPECT_EQ(emitted(3), 1);
}

TEST(SvFaults, ErrorsAreValues) {
    const Stream stream = one_asdu_stream();
    Faults faults(config_of(stream));
    EXPECT_EQ(faults.set(1, Knob::Drop, 1, 0).error(), FaultError::NoStream);
    EXPECT_EQ(faults.set(0, Knob::Drop, 0, 0).error(), FaultError::OutOfRange);
    EXPECT_EQ(faults.set(0, Knob::Delay, MAX_DELAY_NS + 1, 0).error(), FaultError::OutOfRange);
    EXPECT_EQ(faults.clear(0, Knob::Swap).error(), FaultError::NotLasting);
    const std::uint64_t beyond = 1;
    EXPECT_EQ(faults.set_quality(0, 1, {&beyond, 1}).error(), FaultError::NoChannel);
    EXPECT_EQ(describe(FaultError::NoChannel), "no such channel in the stream");
}

TEST(SvFaults, PrpKnobsNeedLanBAndADelayOfAtMost10Ms) {
    const Stream stream = one_asdu_stream();
    EXPECT_EQ(Faults(config_of(stream)).set(0, Knob::PrpDropA, 1, 0).error(), FaultError::NoPrp);
    EXPECT_EQ(Faults(config_of(stream)).clear(0, Knob::PrpWrongLan).error(), FaultError::NoPrp);
    Config config = config_of(stream);
    config.prp_iface_b = "wa";
    Faults faults(config);
    EXPECT_EQ(faults.set(0, Knob::PrpLossA, 101, 0).error(), FaultError::OutOfRange);
    // Longer than a frame period (250 µs), up to 10 ms.
    EXPECT_EQ(faults.set(0, Knob::PrpDelayB, 10'000'001, 0).error(), FaultError::OutOfRange);
    EXPECT_TRUE(faults.set(0, Knob::PrpDelayB, 10'000'000, 0).has_value());
    EXPECT_TRUE(faults.knobs(0).prp_armed());
    EXPECT_TRUE(faults.clear(0, Knob::PrpDelayB).has_value());
    EXPECT_FALSE(faults.knobs(0).prp_armed());
}

TEST(SvFaults, PrpFrameConsumesCountsAndDrawsLosses) {
    const Stream stream = one_asdu_stream();
    Config config = config_of(stream);
    config.prp_iface_b = "wa";
    Faults faults(config);
    StreamKnobs& k = faults.knobs(0);
    FrameFaults frame(stream, faults.fields(0));
    ASSERT_TRUE(faults.set(0, Knob::PrpDropB, 2, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::PrpRepeatSeq, 1, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::PrpDelayA, 1000, 0).has_value());
    ASSERT_TRUE(faults.set(0, Knob::PrpBadSize, 1, 0).has_value());
    // Per copy: (skip A, skip B, repeat); the lasting knobs on every copy.
    const std::array<std::array<bool, 3>, 3> expected = {{{false, true, true}, {false, true, false}, {}}};
    for (const auto& want : expected) {
        const PrpFrameFaults f = frame.prp_frame(k);
        EXPECT_EQ((std::array{f.skip[0], f.skip[1], f.repeat_seq}), want);
        EXPECT_EQ(f.delay_ns, (std::array<std::int64_t, 2>{1000, 0}));
        EXPECT_TRUE(f.bad_size && !f.wrong_lan);
    }
    // 10 % on LAN A over 100 000 copies: about 10 000 (a binomial's sigma is 95), none on B.
    ASSERT_TRUE(faults.set(0, Knob::PrpLossA, 10, 0).has_value());
    std::array<int, 2> lost{};
    for (int n = 0; n < 100'000; ++n) {
        const PrpFrameFaults f = frame.prp_frame(k);
        lost[0] += f.skip[0];
        lost[1] += f.skip[1];
    }
    EXPECT_NEAR(lost[0], 10'000, 500);
    EXPECT_EQ(lost[1], 0);
}

TEST(SvFaults, DrawsHitTheirShare) {
    // Each share over 200 000 draws within 5 sigma of its expectation; 0 and 100 exact.
    for (const std::uint32_t percent : {0U, 1U, 5U, 50U, 99U, 100U}) {
        valdrin::io::Draws draws(percent);
        int hits = 0;
        for (int n = 0; n < 200'000; ++n) hits += draws.chance(percent);
        const double expected = 2000.0 * percent;
        const double sigma = std::sqrt(200'000 * (percent / 100.0) * (1 - percent / 100.0));
        EXPECT_NEAR(hits, expected, 5 * sigma + 0.5) << percent << " %";
    }
}

}  // namespace
