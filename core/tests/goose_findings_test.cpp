// GOOSE publishing rules: each frame against the newest in-order frame of
// its block, with frames made by the core's own encoder.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"

namespace valdrin::analysis {
namespace {

using test::Octets;

constexpr std::int64_t T0 = 1'700'000'000'000'000'000;
constexpr std::int64_t MS = 1'000'000;

// One frame of the block: stNum, sqNum, t's seconds, a BOOLEAN value (sent
// as an INTEGER when `as_int`), numDatSetEntries (-1: the members allData
// holds), goID, confRev and allData's member count (the BOOLEAN, 7, 8).
struct Sent {
    std::uint32_t st, sq, t_s;
    bool value;
    int entries = -1;
    std::string_view go_id = "G1";
    std::uint32_t conf_rev = 1;
    std::size_t members = 2;
    bool as_int = false;
};

Octets frame_of(const Sent& s) {
    const std::array<data::Data, 3> all{s.as_int ? data::Data::of_int(s.value) : data::Data::of_bool(s.value),
                                        data::Data::of_int(7), data::Data::of_int(8)};
    const data::DataList values = data::DataList(all).first(s.members);
    const goose::GoosePdu pdu{.gocb_ref = "IED1/LLN0$GO$gcb1",
                              .time_allowed_to_live = 2000,
                              .dat_set = "IED1/LLN0$DS1",
                              .go_id = s.go_id,
                              .t = {.seconds = s.t_s, .fraction = 0x100000, .quality = 0x0A},
                              .st_num = s.st,
                              .sq_num = s.sq,
                              .conf_rev = s.conf_rev,
                              .num_dat_set_entries =
                                  static_cast<std::uint32_t>(s.entries < 0 ? s.members : std::size_t(s.entries)),
                              .all_data = values};
    return test::goose_frame(pdu);
}

// `frame` with `extra` zero octets after its PDU, inside its Length.
Octets with_trailing(Octets frame, std::size_t extra) {
    frame.insert(frame.end(), extra, 0);
    const std::size_t length = (frame[16] << 8 | frame[17]) + extra;
    frame[16] = static_cast<std::uint8_t>(length >> 8);
    frame[17] = static_cast<std::uint8_t>(length);
    return frame;
}

struct Recorder final : EventSink {
    std::vector<Event> findings;
    void on(const Event& event) noexcept override {
        if (event.kind == EventKind::Finding) findings.push_back(event);
    }
};

using Counts = std::array<std::uint64_t, FINDING_KINDS>;

// In the order of FindingKind: values without state, state without values,
// t without state, t unchanged at a state, sqNum restarts, entries, strict,
// type without confRev, entries without confRev.
TEST(GooseFindings, CountsPerRule) {
    const struct {
        const char* why;
        std::vector<Sent> frames;
        Counts counts;
    } cases[] = {
        {"conforming: retransmissions keep t and values, state changes bring both new",
         {{1, 0, 10, false}, {1, 1, 10, false}, {2, 0, 20, true}, {2, 1, 20, true}, {3, 0, 30, false}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a value changes within a state", {{1, 0, 10, false}, {1, 1, 10, true}}, {1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"stNum advances over the same values", {{1, 0, 10, false}, {2, 0, 20, false}}, {0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"t advances on every heartbeat", {{1, 0, 10, false}, {1, 1, 11, false}, {1, 2, 12, false}},
         {0, 0, 2, 0, 0, 0, 0, 0, 0}},
        {"a state change keeps the old t", {{1, 0, 10, false}, {2, 0, 10, true}}, {0, 0, 0, 1, 0, 0, 0, 0, 0}},
        {"sqNum restarts with a new t: behind the newest, compared with nothing else",
         {{1, 5, 10, false}, {1, 0, 30, false}}, {0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {"a late retransmission (same t) is no restart", {{1, 5, 10, false}, {1, 3, 10, false}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"sqNum rolls over within a state", {{1, 0xFFFFFFFF, 10, false}, {1, 0, 10, false}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"the same frame again", {{1, 1, 10, true}, {1, 1, 10, true}}, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a late older state is compared with nothing", {{1, 0, 10, false}, {2, 0, 20, true}, {1, 1, 10, false}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"one stale frame: the frames after it are compared with the newest, not with it",
         {{1, 0, 10, false}, {2, 0, 20, true}, {3, 0, 30, false}, {1, 1, 10, false}, {3, 1, 30, false}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"numDatSetEntries says 3 for 2 members: also a strict deviation, the first frame too",
         {{1, 0, 10, false, 3}, {1, 1, 10, false, 3}}, {0, 0, 0, 0, 0, 2, 2, 0, 0}},
        {"goID outside VisibleString: strict only", {{1, 0, 10, false, -1, "G\x01"}}, {0, 0, 0, 0, 0, 0, 1, 0, 0}},
        {"a BOOLEAN sent as an INTEGER at a state change, kept so: once",
         {{1, 0, 10, false}, {2, 0, 20, true, -1, "G1", 1, 2, true}, {2, 1, 20, true, -1, "G1", 1, 2, true}},
         {0, 0, 0, 0, 0, 0, 0, 1, 0}},
        {"and back: twice", {{1, 0, 10, false}, {2, 0, 20, true, -1, "G1", 1, 2, true}, {3, 0, 30, false}},
         {0, 0, 0, 0, 0, 0, 0, 2, 0}},
        {"a third member at a state change, kept so: once",
         {{1, 0, 10, false}, {2, 0, 20, true, -1, "G1", 1, 3}, {2, 1, 20, true, -1, "G1", 1, 3}},
         {0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"a new type and a new member under a new confRev are no finding",
         {{1, 0, 10, false}, {2, 0, 20, true, -1, "G1", 2, 2, true}, {3, 0, 30, true, -1, "G1", 3, 3, true}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a stale frame of another type is compared with nothing",
         {{1, 0, 10, false}, {2, 0, 20, true}, {1, 1, 10, false, -1, "G1", 1, 2, true}, {2, 1, 20, true}},
         {0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"each fault once",
         {{1, 0, 10, false},
          {1, 1, 10, true},       // values within stNum 1
          {2, 3, 20, true},       // stNum 2 over the same values
          {2, 4, 21, true},       // t within stNum 2
          {2, 0, 22, true},       // sqNum restarts with a new t (behind: compared with nothing else)
          {3, 0, 21, false},      // stNum 3 keeps the newest in-order frame's t
          {3, 1, 21, false, 5},   // numDatSetEntries (and so strict)
          {4, 0, 23, true, -1, "G1", 1, 2, true},  // a member's type within confRev 1
          {5, 0, 24, true, -1, "G1", 1, 3, true}},  // a third member within confRev 1
         {1, 1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const auto& c : cases) {
        Analyzer analyzer(Limits{});
        Recorder events;
        std::int64_t at = T0;
        for (const Sent& s : c.frames) analyzer.add(frame_of(s), at += MS, events);
        ASSERT_EQ(analyzer.live().goose_count(), 1u) << c.why;
        const GooseBlock& b = analyzer.live().goose(0);
        EXPECT_EQ(b.frames, c.frames.size()) << c.why;
        EXPECT_EQ(b.findings, c.counts) << c.why;
        Counts from_events{};
        for (const Event& e : events.findings) ++from_events[static_cast<std::size_t>(e.finding)];
        EXPECT_EQ(from_events, c.counts) << c.why;
    }
}

TEST(GooseFindings, EventsTextsAndFirstTimes) {
    Analyzer analyzer(Limits{});
    Recorder events;
    analyzer.add(frame_of({4, 0, 10, false}), T0, events);
    analyzer.add(frame_of({4, 1, 10, true}), T0 + MS, events);
    analyzer.add(frame_of({4, 2, 10, false}), T0 + 2 * MS, events);
    analyzer.add(frame_of({5, 0, 10, false, 3}), T0 + 3 * MS, events);
    const struct {
        FindingKind kind;
        std::int64_t at;
        std::string_view text;
    } expected[] = {
        {FindingKind::ValuesChangedWithoutStateChange, T0 + MS, "allData changed within stNum 4"},
        {FindingKind::ValuesChangedWithoutStateChange, T0 + 2 * MS, "allData changed within stNum 4"},
        {FindingKind::StateChangedWithoutValuesChange, T0 + 3 * MS, "stNum 4 to 5 with the same allData"},
        {FindingKind::TUnchangedAtStateChange, T0 + 3 * MS, "stNum 4 to 5 with the same t"},
        {FindingKind::EntriesMismatch, T0 + 3 * MS, "numDatSetEntries=3 but 2 entries"},
        {FindingKind::StrictDeviation, T0 + 3 * MS, "numDatSetEntries=3 but 2 entries"},
    };
    ASSERT_EQ(events.findings.size(), std::size(expected));
    for (std::size_t n = 0; n < std::size(expected); ++n) {
        const Event& e = events.findings[n];
        EXPECT_EQ(e.finding, expected[n].kind) << n;
        EXPECT_EQ(e.time_ns, expected[n].at) << n;
        EXPECT_EQ(e.message.view(), expected[n].text) << n;
        EXPECT_TRUE(e.goose);
        EXPECT_EQ(std::string(e.id.begin(), e.id.end()), "IED1/LLN0$GO$gcb1");
    }
    const GooseBlock& b = analyzer.live().goose(0);
    EXPECT_EQ(b.first_finding_ns[static_cast<std::size_t>(FindingKind::ValuesChangedWithoutStateChange)], T0 + MS);
    EXPECT_EQ(b.first_finding_ns[static_cast<std::size_t>(FindingKind::SqRestart)], 0);
    EXPECT_EQ(finding_name(FindingKind::SqRestart), "sq_restarts");
    EXPECT_EQ(finding_name(FindingKind::StrictDeviation), "strict_deviations");
}

TEST(GooseFindings, TypeAndEntriesTexts) {
    Analyzer analyzer(Limits{});
    Recorder events;
    analyzer.add(frame_of({1, 0, 10, false, -1, "G1", 4}), T0, events);
    analyzer.add(frame_of({2, 0, 20, true, -1, "G1", 4, 2, true}), T0 + MS, events);
    analyzer.add(frame_of({3, 0, 30, true, -1, "G1", 4, 3, true}), T0 + 2 * MS, events);
    ASSERT_EQ(events.findings.size(), 2u);
    EXPECT_EQ(events.findings[0].finding, FindingKind::TypeChangedWithoutConfRev);
    EXPECT_EQ(events.findings[0].message.view(), "allData member types changed within confRev 4");
    EXPECT_EQ(events.findings[1].finding, FindingKind::EntriesChangedWithoutConfRev);
    EXPECT_EQ(events.findings[1].message.view(), "2 to 3 allData members within confRev 4");
    EXPECT_EQ(events.findings[1].old_value, 2u);
    EXPECT_EQ(events.findings[1].new_value, 3u);
    const GooseBlock& b = analyzer.live().goose(0);
    EXPECT_EQ(b.first_finding_ns[static_cast<std::size_t>(FindingKind::TypeChangedWithoutConfRev)], T0 + MS);
    EXPECT_EQ(b.first_finding_ns[static_cast<std::size_t>(FindingKind::EntriesChangedWithoutConfRev)], T0 + 2 * MS);
    EXPECT_EQ(finding_name(FindingKind::TypeChangedWithoutConfRev), "type_changed_without_conf_rev");
    EXPECT_EQ(finding_name(FindingKind::EntriesChangedWithoutConfRev), "entries_changed_without_conf_rev");
}

TEST(GooseFindings, DeviationsCountPerKindWithTheLastText) {
    Analyzer analyzer(Limits{});
    Recorder events;
    analyzer.add(with_trailing(frame_of({1, 0, 10, false}), 2), T0, events);
    analyzer.add(with_trailing(frame_of({1, 1, 10, false}), 3), T0 + MS, events);
    analyzer.add(frame_of({1, 2, 10, false, -1, "G\x7F"}), T0 + 2 * MS, events);
    analyzer.add(frame_of({1, 3, 10, false}), T0 + 3 * MS, events);  // conforming
    const GooseBlock& b = analyzer.live().goose(0);
    EXPECT_EQ(b.findings[static_cast<std::size_t>(FindingKind::StrictDeviation)], 3u);
    const auto trailing = static_cast<std::size_t>(goose::DeviationKind::TrailingOctets);
    const auto not_visible = static_cast<std::size_t>(goose::DeviationKind::NotVisibleString129);
    std::array<std::uint64_t, DEVIATION_KINDS> by{};
    by[trailing] = 2;
    by[not_visible] = 1;
    EXPECT_EQ(b.deviations, by);
    EXPECT_EQ(b.first_deviation_ns[trailing], T0);
    EXPECT_EQ(b.first_deviation_ns[not_visible], T0 + 2 * MS);
    ber::Text text;
    goose::describe(b.last_deviation[trailing], text);
    EXPECT_EQ(text.view(), "3 octets after the PDU");
    ASSERT_EQ(events.findings.size(), 3u);
    EXPECT_EQ(events.findings[0].message.view(), "2 octets after the PDU");
    EXPECT_EQ(events.findings[2].message.view(), "goID is not a VisibleString129");
}

// allData past the kept octets of the last frame: the part that fits is
// compared octet by octet, the rest by hash.
TEST(GooseFindings, AllDataLongerThanTheKeptFrame) {
    const auto frame = [](std::uint32_t sq, char last, std::size_t length) {
        std::string text(length, 'a');
        text.back() = last;
        const auto octets = Octets(text.begin(), text.end());
        const std::array<data::Data, 1> values{data::Data::of_visible(octets)};
        const goose::GoosePdu pdu{.gocb_ref = "GCB", .dat_set = "DS", .st_num = 1, .sq_num = sq,
                                  .num_dat_set_entries = 1, .all_data = values};
        return test::goose_frame(pdu);
    };
    const struct {
        const char* why;
        std::size_t frame_length;
        std::size_t value_length;
        char second;  // the value's last character in the second frame ('z' in the first)
        std::uint64_t values_changed;
    } cases[] = {
        {"kept whole, unchanged", 1518, 100, 'z', 0},
        {"kept whole, changed", 1518, 100, 'y', 1},
        {"cut inside allData, unchanged", 80, 100, 'z', 0},
        {"cut inside allData, changed past the cut", 80, 100, 'y', 1},
        {"cut before allData, changed", 20, 100, 'y', 1},
        {"cut before allData, unchanged", 20, 100, 'z', 0},
    };
    for (const auto& c : cases) {
        Analyzer analyzer(Limits{.frame_length = c.frame_length});
        NoEvents none;
        analyzer.add(frame(0, 'z', c.value_length), T0, none);
        analyzer.add(frame(1, c.second, c.value_length), T0 + MS, none);
        const GooseBlock& b = analyzer.live().goose(0);
        EXPECT_EQ(b.findings[static_cast<std::size_t>(FindingKind::ValuesChangedWithoutStateChange)],
                  c.values_changed)
            << c.why;
        EXPECT_EQ(b.findings[static_cast<std::size_t>(FindingKind::StrictDeviation)], 0u) << c.why;
    }
}

TEST(GooseFindings, KeptPerBlock) {
    // Two blocks interleaved: each frame is compared with its own block's.
    Analyzer analyzer(Limits{});
    NoEvents none;
    const Octets b1 = test::goose_frame(goose::GoosePdu{.gocb_ref = "OTHER", .dat_set = "DS", .st_num = 9});
    analyzer.add(frame_of({1, 0, 10, false}), T0, none);
    analyzer.add(b1, T0, none);
    analyzer.add(frame_of({1, 1, 10, false}), T0 + MS, none);
    analyzer.add(b1, T0 + MS, none);
    EXPECT_EQ(analyzer.live().goose(0).findings, Counts{});
    EXPECT_EQ(analyzer.live().goose(1).findings, Counts{});
    Snapshot copy(Limits{});
    ASSERT_TRUE(analyzer.snapshot(copy));
    EXPECT_EQ(copy.goose(1), analyzer.live().goose(1));
}

}  // namespace
}  // namespace valdrin::analysis
