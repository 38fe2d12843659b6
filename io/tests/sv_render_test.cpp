// Tests of the frame renderer: exact octets of whole frames, for the counter
// split, the synthesis and its rounding, the fault window and the playback,
// including instants whose products leave 64 bits.
#include "sv_engine/render.hpp"

#include "octets.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace valdrin::io::sv_engine {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint8_t kFill = 0xA5;  // template octets the renderer must keep

Wave constant(double offset, std::uint32_t quality = 0, double scale = 1.0) {
    return {.offset = offset, .scale = scale, .quality = quality};
}
Wave sine(double amplitude, double phase_deg, double frequency_hz, std::uint32_t quality = 0, double offset = 0,
          double scale = 1) {
    return {amplitude, phase_deg, frequency_hz, offset, scale, quality};
}

// A stream of `asdus` ASDUs, each a 2-octet counter, one spare octet, then its
// channels, between 3 leading and 3 trailing octets, all filled with kFill.
Stream make_stream(std::vector<Wave> waves, std::size_t asdus) {
    Stream st;
    const std::size_t stride = 3 + 8 * waves.size();
    st.frame.assign(6 + asdus * stride, kFill);
    for (std::size_t t = 0; t < asdus; ++t) {
        st.smp_cnt_offsets.push_back(3 + t * stride);
        st.sample_offsets.push_back(3 + t * stride + 3);
    }
    st.waves = std::move(waves);
    return st;
}

std::vector<std::uint8_t> run(const Stream& st, std::int64_t second, std::int64_t first_smp, std::int64_t rate) {
    std::vector<std::uint8_t> buf = st.frame;
    render(st, buf, second, first_smp, rate);
    return buf;
}

struct Channel { std::int32_t value; std::uint32_t quality; };



// The template with ASDU t's counter and channels set as given.
std::vector<std::uint8_t> expect(const Stream& st, const std::vector<std::uint16_t>& counters,
                                 const std::vector<std::vector<Channel>>& channels) {
    std::vector<std::uint8_t> buf = st.frame;
    for (std::size_t t = 0; t < counters.size(); ++t) {
        octets::store_be16(&buf[st.smp_cnt_offsets[t]], static_cast<std::uint16_t>(counters[t]));
        for (std::size_t j = 0; j < channels[t].size(); ++j) {
            octets::store_be32(&buf[st.sample_offsets[t] + 8 * j], static_cast<std::uint32_t>(channels[t][j].value));
            octets::store_be32(&buf[st.sample_offsets[t] + 8 * j + 4], channels[t][j].quality);
        }
    }
    return buf;
}

// --- Counters and the floor split of first_smp ---------------------------

struct SplitCase {
    std::int64_t rate;
    std::size_t asdus;
    std::int64_t second, first_smp;
    std::vector<std::pair<std::int64_t, std::int64_t>> instants;  // (S, s) per ASDU
};

// Each ASDU must carry its counter and the same samples as a one-ASDU frame
// rendered directly at its instant.
TEST(Render, SplitsFirstSampleByFloorDivision) {
    const std::vector<Wave> waves = {sine(1000, 0, 50, 1), sine(1e6, 17, 0.3, 2), sine(3e4, -45, 1234.5, 3)};
    const SplitCase cases[] = {
        {4000, 1, 10, 0, {{10, 0}}},
        {4000, 1, 10, 4000, {{11, 0}}},
        {4000, 1, 10, -1, {{9, 3999}}},
        {4000, 2, 10, 3999, {{10, 3999}, {11, 0}}},
        {4000, 3, 0, -2, {{-1, 3998}, {-1, 3999}, {0, 0}}},
        {4000, 1, 5, 3 * 4000 + 7, {{8, 7}}},
        {4000, 1, 5, -3 * 4000 - 7, {{1, 3993}}},
        {1, 3, -1, 0, {{-1, 0}, {0, 0}, {1, 0}}},
        {3, 4, 0, -4, {{-2, 2}, {-1, 0}, {-1, 1}, {-1, 2}}},
        {80000, 2, 0, 70000, {{0, 70000}, {0, 70001}}},
        {80000, 2, 7, 65535, {{7, 65535}, {7, 65536}}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "rate " << c.rate << " second " << c.second << " first_smp " << c.first_smp);
        const Stream st = make_stream(waves, c.asdus);
        const Stream one = make_stream(waves, 1);
        std::vector<std::uint8_t> want = st.frame;
        for (std::size_t t = 0; t < c.asdus; ++t) {
            const auto [sec, smp] = c.instants[t];
            const std::vector<std::uint8_t> single = run(one, sec, smp, c.rate);
            const auto at = static_cast<std::ptrdiff_t>(st.smp_cnt_offsets[t]);
            std::copy(single.begin() + 3, single.end() - 3, want.begin() + at);
        }
        EXPECT_EQ(run(st, c.second, c.first_smp, c.rate), want);
    }
}

TEST(Render, CounterIsModulo65536) {
    const Stream st = make_stream({}, 3);
    EXPECT_EQ(run(st, 0, 70000, 80000), expect(st, {4464, 4465, 4466}, {{}, {}, {}}));
    EXPECT_EQ(run(st, 0, 65535, 80000), expect(st, {65535, 0, 1}, {{}, {}, {}}));
}

TEST(Render, SineContinuesAcrossSecond) {
    const Stream st = make_stream({sine(1000, 0, 50)}, 2);
    const std::vector<std::uint8_t> out = run(st, 1700000000, 3999, 4000);
    EXPECT_EQ(static_cast<std::int32_t>(octets::load_be32(&out[st.sample_offsets[0]])), -78);  // 1000 sin(-2π/80)
    EXPECT_EQ(static_cast<std::int32_t>(octets::load_be32(&out[st.sample_offsets[1]])), 0);
}

// --- Synthesis, rounding and saturation ------------------------------------

struct SampleCase { Wave wave; std::int64_t second, smp; std::int32_t value; };

TEST(Render, SynthesisesRoundsAndSaturates) {
    const std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
    const std::int32_t kBottom = std::numeric_limits<std::int32_t>::min();
    const SampleCase cases[] = {
        // 1000 sin(2π/80) = 78.46 at sample 1
        {sine(1000, 0, 50), 1700000000, 0, 0}, {sine(1000, 0, 50), 1700000000, 1, 78},
        {sine(1000, 0, 50), 1700000000, 20, 1000}, {sine(1000, 0, 50), 1700000000, 40, 0},
        {sine(1000, 0, 50), 1700000000, 60, -1000},
        // whole seconds keep a whole-hertz phase, however large or negative
        {sine(100, 90, 50), 0, 0, 100}, {sine(100, 90, 50), -5, 0, 100}, {sine(100, 90, 50), 1700000000, 0, 100},
        {sine(100, 90, 50), kMax, 0, 100}, {sine(100, 90, 50), kMin, 0, 100},
        // fmod keeps the sign: -π/2
        {sine(100, 0, 0.25), -1, 0, -100}, {sine(100, 0, 0.25), 3, 0, -100},
        {sine(100, 90, 50, 0, 10, 2), 0, 0, 220}, {sine(0, 90, 50, 0, 2.5), 0, 0, 2}, {sine(kNaN, 0, 0, 0, 7), 0, 0, 7},
        // rounding half to even, after scaling
        {constant(2.5), 0, 0, 2}, {constant(3.5), 0, 0, 4}, {constant(-2.5), 0, 0, -2}, {constant(-3.5), 0, 0, -4},
        {constant(0.5), 0, 0, 0}, {constant(1.25, 0, 2), 0, 0, 2}, {constant(1.75, 0, 2), 0, 0, 4},
        // saturation, NaN as 0
        {constant(1e12), 0, 0, kTop}, {constant(-1e12), 0, 0, kBottom}, {constant(kNaN), 0, 0, 0},
        {constant(kInf), 0, 0, kTop}, {constant(-kInf), 0, 0, kBottom}, {constant(1, 0, kNaN), 0, 0, 0},
        {constant(2147483645.5), 0, 0, 2147483646}, {constant(2147483646.5), 0, 0, 2147483646},
        {constant(2147483647.5), 0, 0, kTop}, {constant(-2147483647.5), 0, 0, kBottom},
        {constant(-2147483648.5), 0, 0, kBottom},
        // a zero amplitude is skipped, not 0 × NaN; so is a zero frequency's phase
        {sine(0, 0, kInf, 0, 2.5), 1, 0, 2}, {sine(1000, kNaN, 0, 0, 5), 1, 0, 5},
        {sine(kNaN, 0, 50), 0, 0, 0}, {sine(1, 0, kNaN), 0, 0, 0}, {sine(1, 0, kInf), 1, 0, 0},
    };
    for (const SampleCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "amplitude " << c.wave.amplitude << " frequency " << c.wave.frequency_hz
                                        << " offset " << c.wave.offset << " second " << c.second << " smp " << c.smp);
        Wave w = c.wave;
        w.quality = 0xC0FFEE01;
        const Stream st = make_stream({w}, 1);
        EXPECT_EQ(run(st, c.second, c.smp, 4000),
                  expect(st, {static_cast<std::uint16_t>(c.smp)}, {{{c.value, 0xC0FFEE01}}}));
    }
}

// --- Fault window ------------------------------------------------------------

struct FaultCase {
    std::int64_t cycle_s, offset_s, start_smp;
    std::optional<double> duration_s;
    std::int64_t rate;
    std::vector<std::pair<std::int64_t, std::string>> seconds;  // 'F' fault, 'N' normal
};

// One frame covers one whole second: its pattern tells which waves each
// sample came from.
TEST(Render, FaultWindow) {
    const FaultCase cases[] = {
        {10, 3, 0, 1.0, 4, {{3, "FFFF"}, {13, "FFFF"}, {23, "FFFF"}, {-7, "FFFF"}, {2, "NNNN"}, {4, "NNNN"}, {0, "NNNN"}}},
        {10, -7, 0, 1.0, 4, {{3, "FFFF"}, {-7, "FFFF"}, {4, "NNNN"}}},
        {10, 3, 2, 1.0, 4, {{3, "NNFF"}, {4, "FFNN"}, {5, "NNNN"}}},
        {0, 0, 0, 0.5, 4, {{0, "FFNN"}, {1, "FFNN"}, {-1, "FFNN"}, {99, "FFNN"}}},
        {-3, 5, 0, 0.5, 4, {{0, "FFNN"}, {7, "FFNN"}}},
        {2, 0, 0, std::nullopt, 4, {{0, "FFFF"}, {1, "NNNN"}, {2, "FFFF"}, {-1, "NNNN"}, {-2, "FFFF"}}},
        {1, 0, 0, std::nullopt, 5, {{0, "FFNNN"}, {-3, "FFNNN"}}},
        {2, 1, 2, 1.0, 4, {{1, "NNFF"}, {2, "FFNN"}, {3, "NNFF"}, {0, "FFNN"}}},
        {1, 0, 0, -1.0, 4, {{0, "NNNN"}}}, {1, 0, 0, 0.0, 4, {{0, "NNNN"}}}, {1, 0, 0, kNaN, 4, {{0, "NNNN"}}},
        {1, 0, 0, -kInf, 4, {{0, "NNNN"}}}, {1, 0, 0, kInf, 4, {{0, "FFFF"}}},
        {10, 0, 0, 1e300, 4, {{0, "FFFF"}, {5, "FFFF"}}}, {10, 0, 0, 100.0, 4, {{9, "FFFF"}}},
        // 1.5, 2.5 and 3.5 samples: 2, 2 and 4
        {1, 0, 0, 0.375, 4, {{0, "FFNN"}}}, {1, 0, 0, 0.625, 4, {{0, "FFNN"}}}, {1, 0, 0, 0.875, 4, {{0, "FFFF"}}},
        // the start sample clamped to the second
        {1, 0, -5, 0.25, 4, {{0, "FNNN"}}}, {1, 0, kMin, 0.25, 4, {{0, "FNNN"}}},
        {1, 0, 4, 0.25, 4, {{0, "NNNF"}}}, {1, 0, kMax, 0.25, 4, {{0, "NNNF"}}},
    };
    for (const FaultCase& c : cases) {
        Stream st = make_stream({constant(1, 0x11)}, static_cast<std::size_t>(c.rate));
        st.fault = Fault{{constant(2, 0x22)}, c.cycle_s, c.offset_s, c.start_smp, c.duration_s};
        for (const auto& [second, pattern] : c.seconds) {
            SCOPED_TRACE(testing::Message() << "cycle " << c.cycle_s << " offset " << c.offset_s << " start "
                                            << c.start_smp << " duration " << c.duration_s.value_or(-0.0) << " second "
                                            << second);
            std::vector<std::uint16_t> counters;
            std::vector<std::vector<Channel>> channels;
            for (std::size_t s = 0; s < pattern.size(); ++s) {
                counters.push_back(static_cast<std::uint16_t>(s));
                channels.push_back({pattern[s] == 'F' ? Channel{2, 0x22} : Channel{1, 0x11}});
            }
            EXPECT_EQ(run(st, second, 0, c.rate), expect(st, counters, channels));
        }
    }
}

// --- Playback ------------------------------------------------------------------

struct PlaybackCase {
    std::optional<std::int64_t> period;
    std::int64_t start;
    std::vector<std::pair<std::int64_t, std::string>> seconds;  // row digit, or '-' for waves
};

// A playback of 4 rows of 2 channels at 20 samples/s, with and without
// qualities, with and without a fault window that is always open: recorded
// rows always win, and without qualities they carry the normal waves'.
TEST(Render, Playback) {
    const PlaybackCase cases[] = {
        {10, 0, {{0, "0123------0123------"}, {-1, "0123------0123------"}, {7, "0123------0123------"}}},
        {10, 3, {{0, "---0123------0123---"}}},
        {10, 5, {{-1, "-----0123------0123-"}}},
        {std::nullopt, 0, {{0, "0123----------------"}, {-1, "--------------------"}, {1, "--------------------"}}},
        {std::nullopt, 18, {{0, "------------------01"}, {1, "23------------------"}}},
        {3, 0, {{0, "01201201201201201201"}}},
        {7, 0, {{0, "0123---0123---0123--"}, {1, "-0123---0123---0123-"}}},
        {1, 0, {{0, "00000000000000000000"}}},
    };
    for (const PlaybackCase& c : cases) {
        for (const bool with_qualities : {false, true}) {
            for (const bool with_fault : {false, true}) {
                Stream st = make_stream({constant(7, 0x70), constant(8, 0x80)}, 20);
                st.playback = Playback{2, {100, -100, 101, -101, 102, -102, 103, -103}, std::nullopt, c.period, c.start};
                if (with_qualities) st.playback->qualities = {{0xA0, 0xB0, 0xA1, 0xB1, 0xA2, 0xB2, 0xA3, 0xB3}};
                if (with_fault) st.fault = Fault{{constant(9, 0x90), constant(10, 0xA0)}, 1, 0, 0, kInf};
                for (const auto& [second, pattern] : c.seconds) {
                    SCOPED_TRACE(testing::Message() << "period " << c.period.value_or(0) << " start " << c.start
                                                    << " qualities " << with_qualities << " fault " << with_fault
                                                    << " second " << second);
                    std::vector<std::uint16_t> counters;
                    std::vector<std::vector<Channel>> channels;
                    for (std::size_t s = 0; s < pattern.size(); ++s) {
                        counters.push_back(static_cast<std::uint16_t>(s));
                        const std::int32_t r = pattern[s] - '0';
                        if (pattern[s] == '-') {
                            channels.push_back(with_fault ? std::vector<Channel>{{9, 0x90}, {10, 0xA0}}
                                                          : std::vector<Channel>{{7, 0x70}, {8, 0x80}});
                        } else if (with_qualities) {
                            channels.push_back({{100 + r, 0xA0u + r}, {-100 - r, 0xB0u + r}});
                        } else {
                            channels.push_back({{100 + r, 0x70}, {-100 - r, 0x80}});
                        }
                    }
                    EXPECT_EQ(run(st, second, 0, 20), expect(st, counters, channels));
                }
            }
        }
    }
}

// --- Layout ----------------------------------------------------------------------

TEST(Render, StreamWithoutChannelsGetsOnlyCounters) {
    Stream st;
    st.frame.assign(8, kFill);
    st.smp_cnt_offsets = {1, 5};
    st.sample_offsets = {0, 8};
    EXPECT_EQ(run(st, 3, 0x1233, 0x20000),
              (std::vector<std::uint8_t>{kFill, 0x12, 0x33, kFill, kFill, 0x12, 0x34, kFill}));
}

// Overlapping fields are written in order: counter of ASDU 0, its channel,
// counter of ASDU 1, its channel.
TEST(Render, OverlappingFieldsFollowRenderingOrder) {
    Stream st;
    st.frame.assign(18, kFill);
    st.smp_cnt_offsets = {2, 6};
    st.sample_offsets = {0, 9};
    st.waves = {constant(0x01020304, 0x0A0B0C0D)};
    EXPECT_EQ(run(st, 0, 0x1234, 0x20000),
              (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B, 0x12, 0x35, kFill, 0x01,
                                         0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0D, kFill}));
}

// A buffer that held another frame is rewritten completely.
TEST(Render, ReusedBufferMatchesFreshCopy) {
    Stream st = make_stream({sine(1000, 30, 50, 5), constant(3, 6)}, 4);
    st.fault = Fault{{constant(1, 1), constant(2, 2)}, 2, 0, 0, std::nullopt};
    st.playback = Playback{2, {1, 2, 3, 4}, std::nullopt, 8, 0};
    std::vector<std::uint8_t> buf = st.frame;
    for (std::int64_t second = -2; second < 3; ++second) {
        for (std::int64_t first = -3; first < 9; ++first) {
            render(st, buf, second, first, 4);
            EXPECT_EQ(buf, run(st, second, first, 4)) << second << " " << first;
        }
    }
}

// --- Instants beyond 64-bit products -------------------------------------------

struct WideCase {
    std::int64_t rate;
    std::size_t asdus;
    std::int64_t second, first_smp;
    std::vector<std::uint16_t> counters;
};

// Counters stay mathematically right; a 50 Hz wave at phase 90° gives its
// amplitude at sample 0 of any second, whatever its size.
TEST(Render, WideInstantsKeepExactCounters) {
    const WideCase cases[] = {
        {1, 3, kMax, kMax, {0, 0, 0}},
        {2, 3, kMax, kMax, {1, 0, 1}},
        {3, 2, kMin, kMin, {1, 2}},
        {7, 2, 0, kMin, {6, 0}},
        {80000, 2, kMax, kMax, {55807, 55808}},
        {kMax, 2, kMin, kMin, {65534, 0}},
        {kMax, 2, kMax, kMax, {0, 1}},
        {kMax, 1, 0, kMax - 1, {65534}},
    };
    for (const WideCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "rate " << c.rate << " second " << c.second << " first_smp " << c.first_smp);
        Stream st = make_stream({sine(100, 90, 50, 9)}, c.asdus);
        std::vector<std::vector<Channel>> channels;
        std::vector<std::uint8_t> got = run(st, c.second, c.first_smp, c.rate);
        for (std::size_t t = 0; t < c.asdus; ++t) {
            // only sample 0 has a known value: take the others as rendered
            const auto value = static_cast<std::int32_t>(octets::load_be32(&got[st.sample_offsets[t]]));
            channels.push_back({{c.counters[t] == 0 ? 100 : value, 9}});
        }
        EXPECT_EQ(got, expect(st, c.counters, channels));
    }
}

// A second beyond 64 bits goes to the nearest double: 2^64 - 2 and -2^64
// give a quarter cycle of 2^-66 Hz either way.
TEST(Render, WideSecondRoundsToNearestDouble) {
    const Stream st = make_stream({sine(100, 0, 0x1p-66, 4)}, 1);
    EXPECT_EQ(run(st, kMax, kMax, 1), expect(st, {0}, {{{100, 4}}}));
    EXPECT_EQ(run(st, kMin, kMin, 1), expect(st, {0}, {{{-100, 4}}}));
}

struct WideFaultCase {
    std::int64_t rate, cycle_s, offset_s, start_smp;
    std::optional<double> duration_s;
    std::int64_t second, first_smp;
    char expected;  // 'F' fault, 'N' normal
};

TEST(Render, WideFaultWindow) {
    constexpr std::int64_t k62 = std::int64_t{1} << 62;
    const WideFaultCase cases[] = {
        // A cycle of 2^63-1 seconds at 1 sample/s: the window is its first
        // 2^62-1 samples.
        {1, kMax, 0, 0, std::nullopt, kMax, 0, 'F'},
        {1, kMax, 0, 0, std::nullopt, kMax - 1, 0, 'N'},
        {1, kMax, 0, 0, std::nullopt, k62 - 2, 0, 'F'},
        {1, kMax, 0, 0, std::nullopt, k62 - 1, 0, 'N'},
        {1, kMax, 0, 0, std::nullopt, -1, 0, 'N'},
        {1, kMax, 0, 0, std::nullopt, kMin, 0, 'N'},
        {1, kMax, 0, 0, std::nullopt, kMin + 1, 0, 'F'},
        {1, kMax, 0, 0, std::nullopt, kMax, kMax, 'F'},  // S = 2^64 - 2 = 2 cycles
        // offset_s INT64_MIN is 2^63-2 modulo the cycle.
        {1, kMax, kMin, 0, std::nullopt, kMax - 1, 0, 'F'},
        {1, kMax, kMin, 0, std::nullopt, kMax, 0, 'F'},
        {1, kMax, kMin, 0, std::nullopt, kMax - 2, 0, 'N'},
        // The duration saturates to 2^63-1 samples before it is limited to
        // the cycle of 2^64-2 samples.
        {2, kMax, 0, 0, 1e300, k62 - 1, 0, 'F'},
        {2, kMax, 0, 0, 1e300, k62 - 1, 1, 'N'},
        // rate 2^63-1: one second is 2^63 samples after rounding, saturated.
        {kMax, 1, 0, 0, 1.0, 12345, kMax - 1, 'F'},
        {kMax, 2, 0, 0, 1.0, 0, kMax - 1, 'F'},
        {kMax, 2, 0, 0, 1.0, 1, 0, 'N'},
        {kMax, 2, 0, 0, 1.0, kMin, 0, 'F'},
        {kMax, 2, 0, 0, 1.0, kMax, kMax - 1, 'N'},
        // Half a second is 2^62 samples; the window opens at sample 2^63-2.
        {kMax, 1, 0, kMax, 0.5, 0, kMax - 1, 'F'},
        {kMax, 1, 0, kMax, 0.5, 0, 0, 'F'},
        {kMax, 1, 0, kMax, 0.5, 0, k62 - 2, 'F'},
        {kMax, 1, 0, kMax, 0.5, 0, k62 - 1, 'N'},
        {kMax, kMax, kMin, kMin, std::nullopt, kMin, kMin, 'N'},
    };
    for (const WideFaultCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "rate " << c.rate << " cycle " << c.cycle_s << " offset " << c.offset_s
                                        << " start " << c.start_smp << " second " << c.second << " first_smp "
                                        << c.first_smp);
        Stream st = make_stream({constant(1, 0x11)}, 1);
        st.fault = Fault{{constant(2, 0x22)}, c.cycle_s, c.offset_s, c.start_smp, c.duration_s};
        const std::vector<std::uint8_t> got = run(st, c.second, c.first_smp, c.rate);
        const std::size_t at = st.sample_offsets[0];
        EXPECT_EQ(got[at + 3], c.expected == 'F' ? 2 : 1);
        EXPECT_EQ(got[at + 7], c.expected == 'F' ? 0x22 : 0x11);
    }
}

struct WidePlaybackCase {
    std::int64_t rate;
    std::optional<std::int64_t> period;
    std::int64_t start, second, first_smp;
    std::string rows;  // per ASDU: row digit, or '-' for waves
};

TEST(Render, WidePlayback) {
    const WidePlaybackCase cases[] = {
        {1, std::nullopt, kMin, 0, 0, "-"},  // row 2^63
        {1, 3, kMin, 0, 0, "2"},             // 2^63 mod 3
        {1, std::nullopt, kMax, 0, 0, "-"},
        {1, 4, kMax, 0, 0, "1"},  // -(2^63-1) mod 4
        {kMax, std::nullopt, kMax, 1, 0, "0"},
        {kMax, std::nullopt, kMax, 2, kMin + 2, "123-"},  // absolute sample 2^63
        {kMax, 7, kMin, kMax, kMax, "1"},  // (2^63-1)^2 + 2^63-1 + 2^63 mod 7
        {kMax, 5, kMin, kMax, kMax, "-"},  // the same mod 5 is 4, past the rows
        {kMax, kMax, 0, kMin, kMin, "-"},  // row 2^63-2
        {kMax, kMax, 0, kMin, kMin + 1, "0"},
    };
    for (const WidePlaybackCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "rate " << c.rate << " start " << c.start << " second " << c.second
                                        << " first_smp " << c.first_smp);
        Stream st = make_stream({constant(7, 0x70)}, c.rows.size());
        st.playback = Playback{1, {100, 101, 102, 103}, std::nullopt, c.period, c.start};
        const std::vector<std::uint8_t> got = run(st, c.second, c.first_smp, c.rate);
        for (std::size_t t = 0; t < c.rows.size(); ++t) {
            const std::size_t at = st.sample_offsets[t];
            EXPECT_EQ(got[at + 3], c.rows[t] == '-' ? 7 : 100 + (c.rows[t] - '0')) << "ASDU " << t;
        }
    }
}


// The cache is an optimisation only: a cached render must give the same
// octets as a fresh one for every instant, whatever order instants come in.
TEST(SampleCache, CachedFramesEqualFreshOnes) {
    // Whole-hertz waves give every second the same phase, so rows are reused;
    // 50.5 Hz and 0.25 Hz change it from second to second.
    const std::vector<Wave> whole = {sine(1000, 0, 50, 1), sine(800, -120, 150, 2), constant(7.5, 3),
                                     sine(3e9, 30, 60, 4), sine(100, 90, 1, 5)};
    const std::vector<Wave> broken = {sine(1000, 0, 50, 1), sine(800, -120, 50.5, 2), constant(7.5, 3),
                                      sine(3e9, 30, 60, 4), sine(100, 90, 0.25, 5)};
    const Fault fault{{sine(5000, 0, 50), constant(-3), constant(1), sine(1, 0, 1), constant(kNaN)}, 3, 1, 7, 0.01};
    const Playback playback{5, std::vector<std::int32_t>(5 * 3, 42), std::nullopt, 61, 0};

    for (int variant = 0; variant < 6; ++variant) {
        Stream st = make_stream(variant % 2 == 0 ? whole : broken, 2);
        if (variant >= 2) st.fault = fault;
        if (variant >= 4) st.playback = playback;
        for (const std::int64_t rate : {std::int64_t{4000}, std::int64_t{4800}, std::int64_t{80}}) {
            SampleCache cache(st, rate);
            ASSERT_TRUE(cache.active());
            std::vector<std::uint8_t> cached = st.frame;
            // Walk a few seconds in order, then jump around (backwards, far
            // ahead, mid-frame second changes with an odd first sample).
            std::vector<std::pair<std::int64_t, std::int64_t>> instants;
            for (std::int64_t second = 1'700'000'000; second < 1'700'000'003; ++second) {
                for (std::int64_t smp = 0; smp < rate; smp += 2) instants.emplace_back(second, smp);
            }
            for (const std::int64_t smp : {rate - 1, std::int64_t{-1}, std::int64_t{3}, 5 * rate + 1}) {
                instants.emplace_back(1'700'000'001, smp);
                instants.emplace_back(-5, smp);
                instants.emplace_back(INT64_MAX, smp);
            }
            for (const auto& [second, smp] : instants) {
                render(st, cached, second, smp, rate, cache);
                ASSERT_EQ(cached, run(st, second, smp, rate))
                    << "variant " << variant << " rate " << rate << " at " << second << "/" << smp;
            }
        }
    }
}

TEST(SampleCache, StaysInactiveWhenItWouldNotHelpOrFit) {
    EXPECT_FALSE(SampleCache().active());
    EXPECT_FALSE(SampleCache(make_stream({}, 1), 4000).active());
    EXPECT_FALSE(SampleCache(make_stream({sine(1, 0, 50)}, 1), 0).active());
    const auto too_many = static_cast<std::int64_t>(SampleCache::MAX_ENTRIES / 2 + 1);
    EXPECT_FALSE(SampleCache(make_stream({sine(1, 0, 50), sine(1, 0, 50)}, 1), too_many).active());

    // An inactive cache renders like no cache at all.
    Stream st = make_stream({sine(1000, 0, 50)}, 1);
    SampleCache none;
    std::vector<std::uint8_t> buf = st.frame;
    render(st, buf, 12, 34, 4000, none);
    EXPECT_EQ(buf, run(st, 12, 34, 4000));
}

}  // namespace
}  // namespace valdrin::io::sv_engine
