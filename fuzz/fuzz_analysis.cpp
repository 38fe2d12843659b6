// The stream analysis on arbitrary frame sequences. The input is a list of
// records, each an operation octet and its operands:
//   op % 6 == 0: a raw frame: 2 octets of time step (us), 1 octet length, frame
//   op % 6 == 1: an SV frame of 1 to 8 ASDUs synthesised from 5 octets
//   op % 6 == 2: a GOOSE frame synthesised from 6 octets
//   op % 6 == 3: an SV link header followed by the given APDU (1 octet length)
//   op % 6 == 4: tick, 2 octets of time step (ms)
//   op % 6 == 5: snapshot and compare with the live state
// then finish. The limits are small so that streams and blocks overflow.
// Checked: the totals add up, counters stay within what the frames allow,
// the events agree with the counters, a snapshot equals the live state, and
// the derived figures are finite or NaN.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "analysis.hpp"
#include "check.hpp"
#include "goose.hpp"

using namespace valdrin;
using fuzz::Bytes;
using analysis::Analyzer;
using analysis::Event;
using analysis::EventKind;
using analysis::Limits;
using analysis::Snapshot;

namespace {

constexpr Limits LIMITS{.sv_streams = 3, .goose_blocks = 3, .id_length = 16, .frame_length = 64};

struct Counting final : analysis::EventSink {
    std::array<std::uint64_t, static_cast<std::size_t>(EventKind::Finding) + 1> by_kind{};
    std::array<std::uint64_t, analysis::FINDING_KINDS> by_finding{};
    void on(const Event& event) noexcept override {
        ++by_kind[static_cast<std::size_t>(event.kind)];
        if (event.kind == EventKind::DecodeFailure) FUZZ_CHECK(!event.message.view().empty());
        if (event.kind == EventKind::Finding) {
            FUZZ_CHECK(event.goose && !event.message.view().empty());
            ++by_finding[static_cast<std::size_t>(event.finding)];
        }
    }
    std::uint64_t of(EventKind kind) const { return by_kind[static_cast<std::size_t>(kind)]; }
};

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t u8() noexcept {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    std::uint16_t u16() noexcept { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
    Bytes take(std::size_t size) noexcept {
        size = size < n ? size : n;
        Bytes out(p, size);
        p += size;
        n -= size;
        return out;
    }
};

void put(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> octets) {
    out.insert(out.end(), octets);
}
void put_tlv(std::vector<std::uint8_t>& out, std::uint8_t tag, Bytes content) {
    put(out, {tag, static_cast<std::uint8_t>(content.size())});
    out.insert(out.end(), content.begin(), content.end());
}

std::vector<std::uint8_t> link(std::uint16_t ethertype, std::uint16_t app_id, std::uint8_t mac_last,
                               std::size_t apdu_size, std::uint16_t reserved1) {
    const std::size_t length = apdu_size + 8;
    return {0x01, 0x0C, 0xCD, 0x04, 0x00, mac_last, 0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7,
            static_cast<std::uint8_t>(ethertype >> 8), static_cast<std::uint8_t>(ethertype),
            static_cast<std::uint8_t>(app_id >> 8), static_cast<std::uint8_t>(app_id),
            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(reserved1 >> 8), static_cast<std::uint8_t>(reserved1), 0, 0};
}

// 5 octets: stream (2 bits svID, 1 bit APPID, 1 bit simulation, 3 bits ASDUs
// - 1, 1 bit layout), smpCnt (2), confRev/smpSynch (1), value seed (1).
std::vector<std::uint8_t> sv_frame(Reader& in) {
    const std::uint8_t how = in.u8();
    std::uint16_t count = in.u16();
    const std::uint8_t rev = in.u8();
    const std::uint8_t seed = in.u8();
    const std::size_t asdus = (how >> 4 & 7) + 1;
    // Small counters wrap at 4000 as a 9-2LE stream does.
    if (count >= 0xF000) count = static_cast<std::uint16_t>(count % 4000);
    std::vector<std::uint8_t> seq;
    for (std::size_t a = 0; a < asdus; ++a) {
        std::vector<std::uint8_t> asdu;
        const char id[] = {'M', 'U', static_cast<char>('0' + (how & 3))};
        put_tlv(asdu, 0x80, Bytes(reinterpret_cast<const std::uint8_t*>(id), 3));
        const auto c = static_cast<std::uint16_t>(count + a);
        put(asdu, {0x82, 2, static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)});
        put(asdu, {0x83, 4, 0, 0, 0, static_cast<std::uint8_t>(rev >> 4)});
        put(asdu, {0x85, 1, static_cast<std::uint8_t>(rev & 3)});
        std::array<std::uint8_t, 64> sample{};
        const std::size_t size = how & 0x80 ? 12 : 64;
        for (std::size_t k = 0; k < size; ++k) sample[k] = static_cast<std::uint8_t>(seed * (k + 1) + c * 37);
        put_tlv(asdu, 0x87, Bytes(sample.data(), size));
        put_tlv(seq, 0x30, asdu);
    }
    std::vector<std::uint8_t> content{0x80, 0x01, static_cast<std::uint8_t>(asdus), 0xA2, 0x81,
                                      static_cast<std::uint8_t>(seq.size())};
    content.insert(content.end(), seq.begin(), seq.end());
    std::vector<std::uint8_t> apdu{0x60, 0x81, static_cast<std::uint8_t>(content.size())};
    apdu.insert(apdu.end(), content.begin(), content.end());
    std::vector<std::uint8_t> frame = link(0x88BA, how & 4 ? 0x4001 : 0x4000, 1, apdu.size(), how & 8 ? 0x8000 : 0);
    frame.insert(frame.end(), apdu.begin(), apdu.end());
    return frame;
}

// 7 octets: block and flags (1), stNum (1), sqNum (2), TAL in ms (1),
// confRev (1), and for the findings (1): t's seconds (bits 0-1), a BOOLEAN
// value (bit 2), numDatSetEntries (bits 3-4), a second value (bit 5), the
// first value an INTEGER instead (bit 6).
std::vector<std::uint8_t> goose_frame(Reader& in) {
    const std::uint8_t how = in.u8();
    const std::uint8_t st = in.u8();
    const std::uint16_t sq = in.u16();
    const std::uint8_t tal = in.u8();
    const std::uint8_t rev = in.u8();
    const std::uint8_t values = in.u8();
    const bool as_int = (values & 64) != 0;
    const std::array<data::Data, 2> all_data{
        as_int ? data::Data::of_int((values & 4) != 0) : data::Data::of_bool((values & 4) != 0), data::Data::of_int(st)};
    const char* refs[] = {"LD/LLN0$GO$a", "LD/LLN0$GO$b", "LD/LLN0$GO$c", "LD/LLN0$GO$d_longer_than_16"};
    const goose::GoosePdu pdu{.gocb_ref = refs[how & 3],
                              .time_allowed_to_live = tal,
                              .dat_set = "LD/LLN0$DS",
                              .go_id = how & 4 ? std::optional<std::string_view>("G") : std::nullopt,
                              .t = {.seconds = values & 3u},
                              .st_num = how & 0x80 ? 0xFFFFFFFFu - st : st,
                              .sq_num = how & 0x40 ? 0xFFFFFFFFu - sq : sq,
                              .simulation = (how & 8) != 0,
                              .conf_rev = rev,
                              .nds_com = (how & 16) != 0,
                              .num_dat_set_entries = (values >> 3) & 3u,
                              .all_data = data::DataList(all_data).first(values & 32 ? 2 : 1)};
    const ethernet::FrameHeader header{{0x01, 0x0C, 0xCD, 0x01, 0x00, 0x01}, {}, std::nullopt,
                                       static_cast<std::uint16_t>(how & 32 ? 2 : 1)};
    std::vector<std::uint8_t> frame(512);
    auto size = goose::encode_frame(pdu, header, frame);
    FUZZ_CHECK(size.has_value());
    frame.resize(*size);
    return frame;
}

bool same_snapshot(const Snapshot& a, const Snapshot& b) {
    if (!(a.totals() == b.totals()) || a.sv_count() != b.sv_count() || a.goose_count() != b.goose_count()) {
        return false;
    }
    for (std::size_t k = 0; k < analysis::MALFORMED_KINDS; ++k) {
        const auto reason = static_cast<analysis::Malformed>(k);
        if (a.malformed_message(reason) != b.malformed_message(reason)) return false;
    }
    auto equal = [](Bytes x, Bytes y) { return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin()); };
    for (std::size_t i = 0; i < a.sv_count(); ++i) {
        if (!(a.sv(i) == b.sv(i)) || !equal(a.sv_id(i), b.sv_id(i))) return false;
    }
    for (std::size_t i = 0; i < a.goose_count(); ++i) {
        if (!(a.goose(i) == b.goose(i)) || !equal(a.gocb_ref(i), b.gocb_ref(i)) || !equal(a.go_id(i), b.go_id(i)) ||
            !equal(a.dat_set(i), b.dat_set(i)) || !equal(a.frame(i), b.frame(i))) {
            return false;
        }
    }
    return true;
}

// Figures are computed only when asked: they cost more than the rest.
void check(const Analyzer& analyzer, const Counting& events, bool with_figures,
           std::optional<std::uint64_t> expected) {
    const Snapshot& live = analyzer.live();
    const analysis::Totals& t = live.totals();
    FUZZ_CHECK(t.frames == t.other + t.malformed + t.sv_frames + t.goose_frames);
    std::uint64_t by = 0;
    for (std::uint64_t n : t.malformed_by) by += n;
    FUZZ_CHECK(by == t.malformed);
    FUZZ_CHECK(events.of(EventKind::DecodeFailure) == t.malformed);
    FUZZ_CHECK(events.of(EventKind::SvStreamSeen) == live.sv_count());
    FUZZ_CHECK(events.of(EventKind::GooseBlockSeen) == live.goose_count());
    FUZZ_CHECK(live.sv_count() <= LIMITS.sv_streams && live.goose_count() <= LIMITS.goose_blocks);

    std::uint64_t asdus = 0;
    std::uint64_t conf_revs = 0;
    std::uint64_t simulations = 0;
    std::uint64_t nds_coms = 0;
    // Counted against the expected confRev only, never the expected one.
    const auto unexpected_ok = [&](const auto& entry, std::uint64_t units) {
        if (!expected) return entry.unexpected_conf_rev == 0;
        return entry.unexpected_conf_rev <= units &&
               (entry.unexpected_conf_rev == 0 ||
                (entry.first_unexpected_conf_rev != *expected && entry.first_unexpected_conf_rev_ns >= entry.first_ns &&
                 entry.first_unexpected_conf_rev_ns <= entry.last_ns));
    };
    for (std::size_t i = 0; i < live.sv_count(); ++i) {
        const analysis::SvStream& s = live.sv(i);
        asdus += s.asdus;
        conf_revs += s.conf_rev_changes;
        simulations += s.simulation_changes;
        FUZZ_CHECK(s.frames >= 1 && s.asdus >= s.frames);
        FUZZ_CHECK(s.duplicated + s.out_of_order < s.asdus);
        // Each ASDU moves the newest at most half a wrap: lost cannot exceed that, nor wrap below zero.
        FUZZ_CHECK(s.lost <= s.asdus * 32768);
        FUZZ_CHECK(s.wrap >= 1 && s.wrap <= 65536 && s.smp_cnt < s.wrap);
        FUZZ_CHECK(s.intervals.count() + s.backward_times == s.frames - 1);
        // One latency at most per frame, within half a second; an outage is a gap between frames or a silence.
        FUZZ_CHECK(s.latency.count() <= s.frames);
        FUZZ_CHECK(s.latency.count() == 0 || (s.latency.min() >= -500'000'000 && s.latency.max() < 500'000'000));
        FUZZ_CHECK(s.outages <= s.frames && s.frame_asdus >= 1 && s.frame_asdus <= s.asdus);
        FUZZ_CHECK(s.ring_size <= analysis::RING && s.raw_count <= analysis::RAW_VALUES);
        FUZZ_CHECK(unexpected_ok(s, s.asdus));
        for (double nominal : {50.0, 60.0}) {
            if (!with_figures) break;
            const analysis::SvFigures f = analysis::figures(s, nominal);
            FUZZ_CHECK(f.samples_per_cycle <= analysis::RING);
            for (const analysis::ChannelFigures& c : f.channels) {
                FUZZ_CHECK(std::isnan(c.angle_deg) || (c.angle_deg > -180 && c.angle_deg <= 180));
                FUZZ_CHECK(std::isnan(c.rms) || (c.rms >= 0 && std::isfinite(c.rms)));
                FUZZ_CHECK(!f.values || std::isfinite(c.rms));
            }
            FUZZ_CHECK(std::isnan(f.interval_median_us) ||
                       (f.interval_min_us <= f.interval_median_us && f.interval_median_us <= f.interval_p99_us &&
                        f.interval_p99_us <= f.interval_max_us));
        }
    }
    FUZZ_CHECK(asdus + t.sv_untracked == t.sv_asdus);

    std::uint64_t frames = 0;
    std::uint64_t changes = 0;
    std::uint64_t expired = 0;
    std::array<std::uint64_t, analysis::FINDING_KINDS> findings{};
    for (std::size_t i = 0; i < live.goose_count(); ++i) {
        const analysis::GooseBlock& b = live.goose(i);
        frames += b.frames;
        changes += b.state_changes;
        expired += b.tal_expired;
        conf_revs += b.conf_rev_changes;
        simulations += b.simulation_changes;
        nds_coms += b.nds_com_changes;
        FUZZ_CHECK(b.frames >= 1);
        FUZZ_CHECK(unexpected_ok(b, b.frames));
        FUZZ_CHECK(b.state_changes + b.duplicated + b.out_of_order + b.resyncs < b.frames);
        FUZZ_CHECK(b.tal_expired <= b.frames);
        FUZZ_CHECK(b.lost < (std::uint64_t{1} << 40) * b.frames);
        FUZZ_CHECK(live.frame(i).size() <= LIMITS.frame_length && live.dat_set(i).size() <= LIMITS.id_length);
        // Each finding counts a frame at most once; the first frame has
        // nothing to be compared with.
        std::uint64_t deviations = 0;
        for (std::size_t f = 0; f < analysis::FINDING_KINDS; ++f) {
            FUZZ_CHECK(b.findings[f] <= b.frames);
            if (b.findings[f] > 0) FUZZ_CHECK(b.first_finding_ns[f] >= b.first_ns && b.first_finding_ns[f] <= b.last_ns);
            findings[f] += b.findings[f];
        }
        for (std::uint64_t n : b.deviations) deviations += n;
        FUZZ_CHECK(deviations == b.findings[static_cast<std::size_t>(analysis::FindingKind::StrictDeviation)]);
        for (std::size_t f = 0; f < static_cast<std::size_t>(analysis::FindingKind::EntriesMismatch); ++f) {
            FUZZ_CHECK(b.findings[f] < b.frames);
        }
        for (auto kind : {analysis::FindingKind::TypeChangedWithoutConfRev,
                          analysis::FindingKind::EntriesChangedWithoutConfRev}) {
            FUZZ_CHECK(b.findings[static_cast<std::size_t>(kind)] < b.frames);
        }
        // Findings compare in-order frames only: a stale frame adds none of
        // these, so together they cannot outnumber the in-order frames.
        FUZZ_CHECK(b.findings[static_cast<std::size_t>(analysis::FindingKind::TypeChangedWithoutConfRev)] +
                       b.findings[static_cast<std::size_t>(analysis::FindingKind::EntriesChangedWithoutConfRev)] <
                   b.frames - b.out_of_order);
    }
    FUZZ_CHECK(events.by_finding == findings);
    FUZZ_CHECK(frames + t.goose_untracked == t.goose_frames);
    FUZZ_CHECK(events.of(EventKind::GooseStateChange) == changes);
    FUZZ_CHECK(events.of(EventKind::TalExpired) == expired);
    FUZZ_CHECK(events.of(EventKind::ConfRevChange) == conf_revs);
    FUZZ_CHECK(events.of(EventKind::SimulationChange) == simulations);
    FUZZ_CHECK(events.of(EventKind::NdsComChange) == nds_coms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Analyzer analyzer(LIMITS);
    // A confRev expected or not, taken from the input's size so that the
    // corpus keeps its meaning.
    const std::optional<std::uint64_t> expected =
        size % 3 == 0 ? std::nullopt : std::optional<std::uint64_t>(size % 5);
    analyzer.expect_conf_rev(expected);
    Snapshot copy(LIMITS);
    Counting events;
    Reader in{data, size};
    std::int64_t t = 1'700'000'000'000'000'000;
    std::uint64_t added = 0;
    while (in.n > 0) {
        const std::uint8_t op = in.u8();
        switch (op % 6) {
        case 0: {
            t += in.u16() * 1000;
            const Bytes frame = in.take(in.u8());
            analyzer.add(frame, t, events);
            ++added;
            break;
        }
        case 1:
        case 2: {
            t += (op >> 3) * 50'000;
            const std::vector<std::uint8_t> frame = op % 6 == 1 ? sv_frame(in) : goose_frame(in);
            analyzer.add(frame, t, events);
            ++added;
            break;
        }
        case 3: {
            const Bytes apdu = in.take(in.u8());
            std::vector<std::uint8_t> frame = link(0x88BA, 0x4000, 2, apdu.size(), 0);
            frame.insert(frame.end(), apdu.begin(), apdu.end());
            t += 250'000;
            analyzer.add(frame, t, events);
            ++added;
            break;
        }
        case 4:
            t += std::int64_t{in.u16()} * 1'000'000;
            analyzer.tick(t, events);
            break;
        case 5:
            FUZZ_CHECK(analyzer.snapshot(copy));
            FUZZ_CHECK(same_snapshot(copy, analyzer.live()));
            check(analyzer, events, true, expected);
            break;
        }
        check(analyzer, events, false, expected);
    }
    analyzer.finish(t, events);
    FUZZ_CHECK(analyzer.live().totals().frames == added && analyzer.live().totals().finished);
    check(analyzer, events, true, expected);
    FUZZ_CHECK(analyzer.snapshot(copy) && same_snapshot(copy, analyzer.live()));
    Snapshot other(Limits{.sv_streams = 1, .goose_blocks = 1});
    FUZZ_CHECK(!analyzer.snapshot(other));
    return 0;
}
