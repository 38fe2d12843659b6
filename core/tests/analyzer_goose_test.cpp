#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "frames.hpp"

namespace valdrin::analysis {
namespace {

using test::Octets;

// Keeps every event but findings (goose_findings_test.cpp has those: these
// frames keep t and values over state changes), with copies of its views.
struct Recorder final : EventSink {
    std::vector<Event> events;
    std::vector<Octets> frames;
    void on(const Event& event) noexcept override {
        if (event.kind == EventKind::Finding) return;
        events.push_back(event);
        frames.emplace_back(event.frame.begin(), event.frame.end());
    }
    std::vector<Event> of(EventKind kind) const {
        std::vector<Event> out;
        std::ranges::copy_if(events, std::back_inserter(out), [&](const Event& e) { return e.kind == kind; });
        return out;
    }
};

constexpr std::int64_t T0 = 1'700'000'000'000'000'000;
constexpr std::int64_t MS = 1'000'000;

goose::GoosePdu pdu(std::uint64_t st, std::uint64_t sq, std::uint32_t tal_ms = 1000) {
    return {.gocb_ref = "IED1/LLN0$GO$gcb1",
            .time_allowed_to_live = tal_ms,
            .dat_set = "IED1/LLN0$DS1",
            .go_id = "G1",
            .st_num = static_cast<std::uint32_t>(st),
            .sq_num = static_cast<std::uint32_t>(sq),
            .conf_rev = 1};
}

// One frame of the block: stNum, sqNum, receive time (ms after T0), TAL (ms).
struct Sent {
    std::uint64_t st, sq;
    std::int64_t at_ms;
    std::uint32_t tal_ms = 1000;
};

TEST(GooseCounters, Sequences) {
    const struct {
        const char* why;
        std::vector<Sent> frames;
        std::optional<std::int64_t> tick_ms, finish_ms;
        std::uint64_t state_changes, lost, duplicated, out_of_order, resyncs, tal_expired;
        std::uint64_t st, sq;
    } cases[] = {
        {"steady repetition", {{1, 0, 0}, {1, 1, 10}, {1, 2, 20}}, {}, {}, 0, 0, 0, 0, 0, 0, 1, 2},
        {"a state change", {{1, 5, 0}, {2, 0, 10}, {2, 1, 20}}, {}, {}, 1, 0, 0, 0, 0, 0, 2, 1},
        {"two state changes", {{1, 5, 0}, {2, 0, 10}, {3, 0, 20}}, {}, {}, 2, 0, 0, 0, 0, 0, 3, 0},
        {"an sqNum gap of two", {{1, 0, 0}, {1, 3, 10}}, {}, {}, 0, 2, 0, 0, 0, 0, 1, 3},
        {"an stNum jump of three: two states lost", {{1, 0, 0}, {4, 0, 10}}, {}, {}, 1, 2, 0, 0, 0, 0, 4, 0},
        {"a new state first seen at sqNum 9: its frames 0 to 8 lost", {{1, 7, 0}, {2, 9, 10}}, {}, {}, 1, 9, 0, 0, 0,
         0, 2, 9},
        {"the state change missed: st 1 sq 0-3, then st 2 sq 5-7 loses five",
         {{1, 0, 0}, {1, 1, 10}, {1, 2, 20}, {1, 3, 30}, {2, 5, 40}, {2, 6, 50}, {2, 7, 60}}, {}, {}, 1, 5, 0, 0, 0, 0,
         2, 7},
        {"a state skipped and the next first seen at sqNum 2", {{1, 0, 0}, {3, 2, 10}}, {}, {}, 1, 3, 0, 0, 0, 0, 3,
         2},
        {"one stale frame is out of order, nothing else", {{1, 0, 0}, {2, 0, 10}, {1, 1, 20}, {2, 1, 30}}, {}, {}, 1,
         0, 0, 1, 0, 0, 2, 1},
        {"the newest again", {{1, 1, 0}, {1, 1, 10}}, {}, {}, 0, 0, 1, 0, 0, 0, 1, 1},
        {"an sqNum behind", {{1, 3, 0}, {1, 2, 10}}, {}, {}, 0, 0, 0, 1, 0, 0, 1, 3},
        {"an stNum behind", {{2, 0, 0}, {1, 7, 10}}, {}, {}, 0, 0, 0, 1, 0, 0, 2, 0},
        {"a late frame fills the gap it left: out of order, not lost", {{1, 0, 0}, {1, 2, 10}, {1, 1, 20}}, {}, {},
         0, 0, 0, 1, 0, 0, 1, 2},
        {"a late frame fills one of two gaps", {{1, 0, 0}, {1, 3, 10}, {1, 1, 20}}, {}, {}, 0, 1, 0, 1, 0, 0, 1, 3},
        {"the same late frame twice fills its gap once", {{1, 0, 0}, {1, 2, 10}, {1, 1, 20}, {1, 1, 30}}, {}, {}, 0,
         0, 0, 2, 0, 0, 1, 2},
        {"a new state's first frame, late, was not lost", {{1, 0, 0}, {2, 1, 10}, {2, 0, 20}}, {}, {}, 1, 0, 0, 1, 0,
         0, 2, 1},
        {"a gap left 64 back is filled, 65 back is not",
         {{1, 0, 0}, {1, 66, 10}, {1, 2, 20}, {1, 1, 30}}, {}, {}, 0, 64, 0, 2, 0, 0, 1, 66},
        {"a late frame of the state before fills nothing", {{1, 0, 0}, {1, 2, 10}, {2, 0, 20}, {1, 1, 30}}, {}, {}, 1,
         1, 0, 1, 0, 0, 2, 0},
        {"two late frames in a row stay late", {{1, 5, 0}, {1, 2, 10}, {1, 3, 20}, {1, 6, 30}}, {}, {}, 0, 0, 0, 2,
         0, 0, 1, 6},
        {"a restarted publisher: taken back on the third frame",
         {{9, 100, 0}, {1, 0, 10}, {1, 1, 20}, {1, 2, 30}, {1, 3, 40}}, {}, {}, 0, 0, 0, 2, 1, 0, 1, 3},
        {"sqNum rolls over to 0", {{1, 4294967295, 0}, {1, 0, 10}}, {}, {}, 0, 0, 0, 0, 0, 0, 1, 0},
        {"sqNum rolls over to 1", {{1, 4294967295, 0}, {1, 1, 10}}, {}, {}, 0, 0, 0, 0, 0, 0, 1, 1},
        {"next frame after the TAL", {{1, 0, 0, 100}, {1, 1, 50, 100}, {1, 2, 151, 100}}, {}, {}, 0, 0, 0, 0, 0, 1,
         1, 2},
        {"next frame exactly at the TAL", {{1, 0, 0, 100}, {1, 1, 100, 100}}, {}, {}, 0, 0, 0, 0, 0, 0, 1, 1},
        {"the TAL of the last frame counts, not the first", {{1, 0, 0, 1000}, {1, 1, 10, 20}, {1, 2, 40}}, {}, {},
         0, 0, 0, 0, 0, 1, 1, 2},
        {"expired by the end", {{1, 0, 0, 100}}, {}, 101, 0, 0, 0, 0, 0, 1, 1, 0},
        {"not expired at the end", {{1, 0, 0, 100}}, {}, 100, 0, 0, 0, 0, 0, 0, 1, 0},
        {"a tick and the late frame count once", {{1, 0, 0, 100}, {1, 1, 300, 100}}, 150, {}, 0, 0, 0, 0, 0, 1, 1,
         1},
        {"a tick, the end and no frame count once", {{1, 0, 0, 100}}, 150, 400, 0, 0, 0, 0, 0, 1, 1, 0},
    };
    for (const auto& c : cases) {
        Analyzer analyzer(Limits{});
        Recorder events;
        bool ticked = false;  // once, before the first frame after it
        for (const Sent& f : c.frames) {
            if (c.tick_ms && !ticked && *c.tick_ms < f.at_ms) {
                analyzer.tick(T0 + *c.tick_ms * MS, events);
                ticked = true;
            }
            analyzer.add(test::goose_frame(pdu(f.st, f.sq, f.tal_ms)), T0 + f.at_ms * MS, events);
        }
        if (c.tick_ms && !ticked) analyzer.tick(T0 + *c.tick_ms * MS, events);
        if (c.finish_ms) analyzer.finish(T0 + *c.finish_ms * MS, events);
        ASSERT_EQ(analyzer.live().goose_count(), 1u) << c.why;
        const GooseBlock& b = analyzer.live().goose(0);
        EXPECT_EQ(b.frames, c.frames.size()) << c.why;
        EXPECT_EQ(b.state_changes, c.state_changes) << c.why;
        EXPECT_EQ(b.lost, c.lost) << c.why;
        EXPECT_EQ(b.duplicated, c.duplicated) << c.why;
        EXPECT_EQ(b.out_of_order, c.out_of_order) << c.why;
        EXPECT_EQ(b.resyncs, c.resyncs) << c.why;
        EXPECT_EQ(b.tal_expired, c.tal_expired) << c.why;
        EXPECT_EQ(b.st_num, c.st) << c.why;
        EXPECT_EQ(b.sq_num, c.sq) << c.why;
        // One event per state change and per expiry; the block's first frame is "seen".
        EXPECT_EQ(events.of(EventKind::GooseStateChange).size(), c.state_changes) << c.why;
        EXPECT_EQ(events.of(EventKind::TalExpired).size(), c.tal_expired) << c.why;
        EXPECT_EQ(events.of(EventKind::GooseBlockSeen).size(), 1u) << c.why;
    }
}

TEST(GooseCounters, EventsCarryTheFrameAndTheExpiryInstant) {
    Analyzer analyzer(Limits{});
    Recorder events;
    const Octets first = test::goose_frame(pdu(1, 0, 200));
    const Octets change = test::goose_frame(pdu(2, 0, 200));
    analyzer.add(first, T0, events);
    analyzer.add(change, T0 + 5 * MS, events);
    analyzer.tick(T0 + 300 * MS, events);
    ASSERT_EQ(events.events.size(), 3u);
    EXPECT_EQ(events.events[0].kind, EventKind::GooseBlockSeen);
    EXPECT_EQ(events.frames[0], first);
    EXPECT_EQ(events.events[1].kind, EventKind::GooseStateChange);
    EXPECT_EQ(events.frames[1], change);
    EXPECT_EQ(events.events[1].st_num, 2u);
    EXPECT_EQ(events.events[1].time_ns, T0 + 5 * MS);
    EXPECT_EQ(std::string(events.events[1].id.begin(), events.events[1].id.end()), "IED1/LLN0$GO$gcb1");
    EXPECT_TRUE(events.events[1].goose);
    EXPECT_EQ(events.events[2].kind, EventKind::TalExpired);
    EXPECT_EQ(events.events[2].time_ns, T0 + 205 * MS);  // when it ran out, not the tick
    EXPECT_EQ(events.events[2].time_allowed_to_live, 200u);
    EXPECT_EQ(analyzer.live().goose(0).last_change_ns, T0 + 5 * MS);
}

TEST(GooseCounters, FieldsChangesAndKeptOctets) {
    Analyzer analyzer(Limits{.goose_blocks = 4, .id_length = 12, .frame_length = 40});
    Recorder events;
    goose::GoosePdu p = pdu(1, 0);
    p.gocb_ref = "GCB";
    p.dat_set = "LD/LLN0$DataSet1";  // 16 octets: cut to 12
    analyzer.add(test::goose_frame(p), T0, events);
    p.sq_num = 1;
    p.conf_rev = 2;
    p.simulation = true;
    p.nds_com = true;
    p.go_id = std::nullopt;
    const Octets last = test::goose_frame(p);
    analyzer.add(last, T0 + MS, events);
    analyzer.add(test::goose_frame(p), T0 + 2 * MS, events);

    const Snapshot& live = analyzer.live();
    const GooseBlock& b = live.goose(0);
    EXPECT_EQ(b.conf_rev, 2u);
    EXPECT_EQ(b.conf_rev_changes, 1u);
    EXPECT_TRUE(b.simulation && b.nds_com);
    EXPECT_EQ(b.simulation_changes, 1u);
    EXPECT_EQ(b.nds_com_changes, 1u);
    EXPECT_FALSE(b.has_go_id);
    EXPECT_EQ(b.dat_set_size, 16u);
    EXPECT_EQ(std::string(live.dat_set(0).begin(), live.dat_set(0).end()), "LD/LLN0$Data");
    EXPECT_EQ(b.frame_size, last.size());
    EXPECT_EQ(Octets(live.frame(0).begin(), live.frame(0).end()), Octets(last.begin(), last.begin() + 40));
    EXPECT_EQ(events.of(EventKind::ConfRevChange).size(), 1u);
    ASSERT_EQ(events.of(EventKind::SimulationChange).size(), 1u);
    EXPECT_EQ(events.of(EventKind::SimulationChange)[0].new_value, 1u);
    ASSERT_EQ(events.of(EventKind::NdsComChange).size(), 1u);
    EXPECT_EQ(events.of(EventKind::NdsComChange)[0].old_value, 0u);
    EXPECT_EQ(events.of(EventKind::NdsComChange)[0].new_value, 1u);
    EXPECT_EQ(events.of(EventKind::NdsComChange)[0].time_ns, T0 + MS);

    // Blocks by key: the same gocbRef under another APPID or destination.
    ethernet::Mac other = test::GOOSE_DST;
    other[5] = 9;
    analyzer.add(test::goose_frame(p, 0x0002), T0, events);
    analyzer.add(test::goose_frame(p, 0x0001, other), T0, events);
    EXPECT_EQ(live.goose_count(), 3u);
    EXPECT_EQ(live.goose(2).dst_mac, other);
    EXPECT_EQ(live.goose(0).frames, 3u);
}

TEST(GooseCounters, EveryUnexpectedConfRevIsCounted) {
    const struct {
        const char* why;
        std::optional<std::uint64_t> expected;
        std::vector<std::uint32_t> conf_revs;  // of frames 1 ms apart
        std::uint64_t unexpected, first;
        std::int64_t first_ms;
    } cases[] = {
        {"2 then 1 under 1: the earlier frames count though the last is 1", 1, {2, 2, 1, 1}, 2, 2, 0},
        {"1 then 3 then 1 under 1", 1, {1, 3, 1}, 1, 3, 1},
        {"every frame as expected", 1, {1, 1}, 0, 0, 0},
        {"nothing expected: nothing counted", std::nullopt, {2, 1}, 0, 0, 0},
        {"two other values: the first kept", 5, {1, 2, 5}, 2, 1, 0},
    };
    for (const auto& c : cases) {
        Analyzer analyzer(Limits{});
        analyzer.expect_conf_rev(c.expected);
        NoEvents none;
        for (std::size_t n = 0; n < c.conf_revs.size(); ++n) {
            goose::GoosePdu p = pdu(1, n);
            p.conf_rev = c.conf_revs[n];
            analyzer.add(test::goose_frame(p), T0 + static_cast<std::int64_t>(n) * MS, none);
        }
        const GooseBlock& b = analyzer.live().goose(0);
        EXPECT_EQ(b.unexpected_conf_rev, c.unexpected) << c.why;
        EXPECT_EQ(b.first_unexpected_conf_rev, c.first) << c.why;
        EXPECT_EQ(b.first_unexpected_conf_rev_ns, c.unexpected ? T0 + c.first_ms * MS : 0) << c.why;
    }
}

TEST(GooseCounters, AStaleFrameIsNotKeptAsTheNewest) {
    Analyzer analyzer(Limits{});
    NoEvents none;
    const Octets newest = test::goose_frame(pdu(2, 0));
    analyzer.add(test::goose_frame(pdu(1, 0)), T0, none);
    analyzer.add(newest, T0 + MS, none);
    analyzer.add(test::goose_frame(pdu(1, 1, 500)), T0 + 2 * MS, none);
    const GooseBlock& b = analyzer.live().goose(0);
    EXPECT_EQ(b.out_of_order, 1u);
    EXPECT_EQ(b.frames, 3u);
    EXPECT_EQ(b.last_ns, T0 + 2 * MS);
    EXPECT_EQ(b.time_allowed_to_live, 500u);  // its TAL is the last one heard
    EXPECT_EQ(Octets(analyzer.live().frame(0).begin(), analyzer.live().frame(0).end()), newest);
}

TEST(GooseCounters, BlocksBeyondTheLimitsAreCountedUntracked) {
    Analyzer analyzer(Limits{.goose_blocks = 1, .id_length = 20});
    NoEvents none;
    goose::GoosePdu p = pdu(1, 0);
    analyzer.add(test::goose_frame(p), T0, none);
    p.gocb_ref = "IED2/LLN0$GO$gcb1";
    analyzer.add(test::goose_frame(p), T0, none);
    p.gocb_ref = "IED1/LLN0$GO$gcb1_too_long";
    analyzer.add(test::goose_frame(p), T0, none);
    EXPECT_EQ(analyzer.live().goose_count(), 1u);
    EXPECT_EQ(analyzer.live().totals().goose_untracked, 2u);
    EXPECT_EQ(analyzer.live().totals().goose_frames, 3u);
}

TEST(Totals, MalformedAndOtherFrames) {
    const Octets sv_ok = test::sv_frame(1);
    const Octets goose_ok = test::goose_frame(pdu(1, 1));
    const auto sv_with = [](const Octets& apdu) {
        return test::cat({test::link_header(ethernet::ETHERTYPE_SV, 0x4000, test::SV_DST, apdu.size()), apdu});
    };
    const auto goose_with = [](const Octets& apdu) {
        return test::cat({test::link_header(ethernet::ETHERTYPE_GOOSE, 1, test::GOOSE_DST, apdu.size()), apdu});
    };
    Octets cut_length = sv_ok;
    cut_length[17] = static_cast<std::uint8_t>(cut_length[17] + 1);  // Length one past the end
    Octets arp = sv_ok;
    arp[12] = 0x08;
    arp[13] = 0x06;
    const struct {
        const char* why;
        Octets frame;
        std::optional<Malformed> reason;  // none: counted as other
        std::string message;
    } cases[] = {
        {"ARP", arp, {}, ""},
        {"shorter than an EtherType", Octets(13, 0xFF), {}, ""},
        {"tagged, cut in the tag", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x81, 0x00, 0x80}, {}, ""},
        {"SV Length past the end", cut_length, Malformed::SvHeader, "frame shorter than its header or its Length"},
        {"SV another outer tag", sv_with({0x61, 0x00}), Malformed::SvUnexpectedTag, "expected tag 0x60, found 0x61"},
        {"SV without noASDU", sv_with({0x60, 0x00}), Malformed::SvMissingNoAsdu, "SavPdu without noASDU"},
        {"SV ASDU count", sv_with({0x60, 0x03, 0x80, 0x01, 0x01}), Malformed::SvAsduCount,
         "noASDU=1 but 0 ASDUs present"},
        {"SV truncated", sv_with({0x60, 0x05, 0x80}), Malformed::SvBer, "TLV 0x60 truncated: needs 5 bytes, 1 left"},
        {"GOOSE without an APDU", goose_with({}), Malformed::GooseBer, "missing tag"},
        {"GOOSE another outer tag", goose_with({0x60, 0x00}), Malformed::GooseUnexpectedTag,
         "expected tag 0x61, found 0x60"},
        {"GOOSE without fields", goose_with({0x61, 0x00}), Malformed::GooseMissingField,
         "missing mandatory GOOSE field gocbRef"},
    };
    Analyzer analyzer(Limits{});
    Recorder events;
    std::uint64_t other = 0;
    std::array<std::uint64_t, MALFORMED_KINDS> by{};
    for (const auto& c : cases) {
        const std::size_t before = events.events.size();
        analyzer.add(c.frame, T0, events);
        if (!c.reason) {
            ++other;
            EXPECT_EQ(events.events.size(), before) << c.why;
            continue;
        }
        ++by[static_cast<std::size_t>(*c.reason)];
        ASSERT_EQ(events.events.size(), before + 1) << c.why;
        const Event& e = events.events.back();
        EXPECT_EQ(e.kind, EventKind::DecodeFailure) << c.why;
        EXPECT_EQ(e.reason, *c.reason) << c.why;
        EXPECT_EQ(e.message.view(), c.message) << c.why;
        EXPECT_EQ(events.frames.back(), c.frame) << c.why;
        EXPECT_EQ(analyzer.live().malformed_message(*c.reason), c.message) << c.why;
    }
    analyzer.add(sv_ok, T0, events);
    analyzer.add(goose_ok, T0, events);
    const Totals& t = analyzer.live().totals();
    EXPECT_EQ(t.frames, std::size(cases) + 2);
    EXPECT_EQ(t.other, other);
    EXPECT_EQ(t.malformed, std::size(cases) - other);
    EXPECT_EQ(t.malformed_by, by);
    EXPECT_EQ(t.sv_frames, 1u);
    EXPECT_EQ(t.goose_frames, 1u);
    EXPECT_EQ(malformed_name(Malformed::SvBadLength), "SV bad length");
}

}  // namespace
}  // namespace valdrin::analysis
