// The GOOSE publisher's schedule (tables, a reason per row), its counter
// wrap, and the per-frame encoder: exact octets, and random frames read
// back by the strict decoder without a deviation.
#include "goose_schedule.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bytes_for_tests.hpp"

namespace valdrin::goose::schedule {
namespace {

using test::Octets;
constexpr std::int64_t ms = 1'000'000;

TEST(Timing, Check) {
    const struct { const char* why; Timing timing; std::optional<TimingError> error; } cases[] = {
        {"T1 below T0", {2 * ms, 1000 * ms}, std::nullopt},
        {"T1 equal to T0: a heartbeat only", {5 * ms, 5 * ms}, std::nullopt},
        {"zero T1", {0, 1000 * ms}, TimingError::MinTimeNotPositive},
        {"negative T1", {-1, 1000 * ms}, TimingError::MinTimeNotPositive},
        {"zero T0", {1, 0}, TimingError::MaxTimeNotPositive},
        {"T1 above T0", {2000 * ms, 1000 * ms}, TimingError::MinAboveMax},
        {"T0 above a day", {ms, MAX_INTERVAL_NS + 1}, TimingError::TooLong},
        {"T0 of a day", {ms, MAX_INTERVAL_NS}, std::nullopt},
        {"factor 0 without a fixed TAL", {ms, 8 * ms, 0, 0}, TimingError::TalFactorZero},
        {"factor 0 with a fixed TAL", {ms, 8 * ms, 0, 100}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto checked = check(c.timing);
        if (c.error) {
            ASSERT_FALSE(checked) << c.why;
            EXPECT_EQ(checked.error(), *c.error) << c.why;
        } else {
            EXPECT_TRUE(checked) << c.why;
        }
    }
    EXPECT_EQ(describe(TimingError::MinAboveMax), "min_time must not exceed max_time");
}

TEST(Timing, Table) {
    const Timing t1_1_t0_1000{1 * ms, 1000 * ms};
    const Timing t1_3_t0_20{3 * ms, 20 * ms, 3};
    const Timing fixed{1 * ms, 1000 * ms, 2, 777};
    const Timing one_ns{1, MAX_INTERVAL_NS};
    const struct { const char* why; Timing timing; std::uint64_t k; __int128 offset; std::int64_t gap; std::uint32_t tal; } rows[] = {
        {"the change frame goes at once", t1_1_t0_1000, 0, 0, 1 * ms, 2},
        {"first retransmission after T1", t1_1_t0_1000, 1, 1 * ms, 2 * ms, 4},
        {"gaps double", t1_1_t0_1000, 2, 3 * ms, 4 * ms, 8},
        {"512 ms is the last doubled gap", t1_1_t0_1000, 9, 511 * ms, 512 * ms, 1024},
        {"1024 ms would exceed T0: capped", t1_1_t0_1000, 10, 1023 * ms, 1000 * ms, 2000},
        {"then every T0", t1_1_t0_1000, 12, 3023 * ms, 1000 * ms, 2000},
        {"T0 not a power-of-two multiple of T1", t1_3_t0_20, 2, 9 * ms, 12 * ms, 36},
        {"the capped gap is T0 itself", t1_3_t0_20, 3, 21 * ms, 20 * ms, 60},
        {"the heartbeat follows", t1_3_t0_20, 5, 61 * ms, 20 * ms, 60},
        {"a fixed TAL ignores the gap", fixed, 10, 1023 * ms, 1000 * ms, 777},
        {"TAL rounds up to whole ms", one_ns, 3, 7, 8, 1},
        {"a far index does not wrap", t1_1_t0_1000, UINT64_MAX, 1023 * ms + static_cast<__int128>(UINT64_MAX - 10) * 1000 * ms, 1000 * ms, 2000},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(offset_ns(row.timing, row.k) == row.offset) << row.why;
        EXPECT_EQ(gap_ns(row.timing, row.k), row.gap) << row.why;
        EXPECT_EQ(tal_ms(row.timing, row.k), row.tal) << row.why;
        EXPECT_TRUE(offset_ns(row.timing, row.k) + gap_ns(row.timing, row.k) ==
                    offset_ns(row.timing, row.k == UINT64_MAX ? row.k : row.k + 1) ||
                    row.k == UINT64_MAX) << row.why;
    }
    // A TAL saturates at 32 bits: a day times four billion.
    EXPECT_EQ(tal_ms(Timing{MAX_INTERVAL_NS, MAX_INTERVAL_NS, UINT32_MAX}, 0), UINT32_MAX);
}

TEST(Counters, Wrap) {
    EXPECT_EQ(next_counter(0), 1u);      // first frame to second
    EXPECT_EQ(next_counter(41), 42u);
    EXPECT_EQ(next_counter(UINT32_MAX), 1u);  // 0 stays "first"
    const struct { const char* why; std::uint32_t value, steps, result; } rows[] = {
        {"no step", 7, 0, 7},
        {"from the first frame", 0, 3, 3},
        {"to the top", UINT32_MAX - 2, 2, UINT32_MAX},
        {"over the top: 1 follows 2^32 - 1", UINT32_MAX - 2, 3, 1},
        {"from the top", UINT32_MAX, 2, 2},
        {"the longest skip comes round", UINT32_MAX, UINT32_MAX, UINT32_MAX},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(advance_counter(row.value, row.steps), row.result) << row.why;
        std::uint32_t stepped = row.value;
        if (row.steps < 10) {
            for (std::uint32_t n = 0; n < row.steps; ++n) stepped = next_counter(stepped);
            EXPECT_EQ(stepped, row.result) << row.why << " (step by step)";
        }
    }
}

TEST(Utc, Of) {
    EXPECT_EQ(utc_of(0, 0x0A), (data::UtcTime{0, 0, 0x0A}));
    // Half a second is 0x800000 in 24 bits.
    EXPECT_EQ(utc_of(1'700'000'000'500'000'000LL, 0), (data::UtcTime{1'700'000'000, 0x800000, 0}));
    // The last ns of a second truncates to 0xFFFFFF.
    EXPECT_EQ(utc_of(999'999'999, 0).fraction, 0xFFFFFFu);
    EXPECT_EQ(utc_of(-5, 0), (data::UtcTime{0, 0, 0}));
}

Fixed fixed_fields() {
    Fixed fixed;
    fixed.header = {.dst_mac = {0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01},
                    .src_mac = {0x02, 0, 0, 0, 0, 0x01},
                    .vlan = {},
                    .app_id = 0x1234};
    fixed.gocb_ref = "G";
    fixed.dat_set = "D";
    fixed.conf_rev = 1;
    return fixed;
}

TEST(WriteFrame, ExactOctets) {
    const Octets all_data{0x83, 0x01, 0xFF};  // one boolean TRUE
    const Varying varying{.tal_ms = 2000, .t = {0x01020304, 0x800000, 0x0A}, .st_num = 0x80,
                          .sq_num = 0, .num_dat_set_entries = 1, .all_data = all_data};
    Octets frame(frame_size(fixed_fields(), varying).value());
    ASSERT_EQ(write_frame(fixed_fields(), varying, frame).value(), frame.size());
    const Octets pdu{0x61, 0x2C,
                     0x80, 0x01, 'G',
                     0x81, 0x02, 0x07, 0xD0,  // 2000
                     0x82, 0x01, 'D',
                     0x84, 0x08, 0x01, 0x02, 0x03, 0x04, 0x80, 0x00, 0x00, 0x0A,
                     0x85, 0x02, 0x00, 0x80,  // 128 needs a leading zero
                     0x86, 0x01, 0x00,
                     0x87, 0x01, 0x00,
                     0x88, 0x01, 0x01,
                     0x89, 0x01, 0x00,
                     0x8A, 0x01, 0x01,
                     0xAB, 0x03, 0x83, 0x01, 0xFF};
    Octets expected{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01, 0x02, 0, 0, 0, 0, 0x01, 0x88, 0xB8,
                    0x12, 0x34, 0x00, static_cast<std::uint8_t>(8 + pdu.size()), 0, 0, 0, 0};
    expected.insert(expected.end(), pdu.begin(), pdu.end());
    EXPECT_EQ(frame, expected);

    // Too small a buffer: the size needed, nothing more.
    Octets small(frame.size() - 1);
    auto refused = write_frame(fixed_fields(), varying, small);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, EncodeErrorKind::BufferTooSmall);
}

TEST(WriteFrame, RandomFramesDecodeStrictly) {
    std::mt19937_64 random(61850);
    const std::string names[] = {"", "IED1LD0/LLN0$GO$gcb01", std::string(129, 'x')};  // the longest VisibleString129
    for (int i = 0; i < 2000; ++i) {
        Fixed fixed = fixed_fields();
        fixed.gocb_ref = names[1 + random() % 2];
        fixed.dat_set = names[1 + random() % 2];
        if (random() % 2) fixed.go_id = names[random() % 3];
        if (random() % 2) fixed.header.vlan = ethernet::Vlan{static_cast<std::uint16_t>(random() % 4096), 4};
        fixed.conf_rev = static_cast<std::uint32_t>(random());
        fixed.simulation = random() % 2;
        fixed.nds_com = random() % 2;
        // n booleans as allData
        const std::size_t n = random() % 100;
        Octets all_data;
        for (std::size_t j = 0; j < n; ++j) all_data.insert(all_data.end(), {0x83, 0x01, 0x00});
        const auto counter = [&] { return static_cast<std::uint32_t>(random() >> (random() % 64)); };
        const Varying varying{.tal_ms = counter(), .t = utc_of(random() >> 2, 0x0A), .st_num = counter(),
                              .sq_num = counter(), .num_dat_set_entries = static_cast<std::uint32_t>(n),
                              .all_data = all_data};
        Octets frame(frame_size(fixed, varying).value());
        ASSERT_EQ(write_frame(fixed, varying, frame).value(), frame.size());
        auto back = read_template(frame);
        ASSERT_TRUE(back) << describe(back.error());
        EXPECT_EQ(back->fixed.gocb_ref, fixed.gocb_ref);
        EXPECT_EQ(back->fixed.go_id, fixed.go_id);
        EXPECT_EQ(back->fixed.conf_rev, fixed.conf_rev);
        EXPECT_EQ(back->fixed.simulation, fixed.simulation);
        EXPECT_EQ(back->fixed.nds_com, fixed.nds_com);
        EXPECT_EQ(back->fixed.header.vlan.has_value(), fixed.header.vlan.has_value());
        EXPECT_EQ(back->varying.tal_ms, varying.tal_ms);
        EXPECT_EQ(back->varying.st_num, varying.st_num);
        EXPECT_EQ(back->varying.sq_num, varying.sq_num);
        EXPECT_EQ(back->varying.t, varying.t);
        EXPECT_EQ(Octets(back->varying.all_data.begin(), back->varying.all_data.end()), all_data);
    }
}

TEST(ReadTemplate, Refusals) {
    const Octets short_frame(10, 0);
    EXPECT_EQ(read_template(short_frame).error(), TemplateError::NotGoose);
    // A frame whose PDU declares two entries but carries one.
    const Octets all_data{0x83, 0x01, 0xFF};
    const Varying varying{.tal_ms = 1, .num_dat_set_entries = 2, .all_data = all_data};
    Octets frame(frame_size(fixed_fields(), varying).value());
    ASSERT_TRUE(write_frame(fixed_fields(), varying, frame));
    EXPECT_EQ(read_template(frame).error(), TemplateError::NotConformant);
}

}  // namespace
}  // namespace valdrin::goose::schedule
