// Sampled Values streams: counting ASDUs by smpCnt, arrival intervals,
// configuration changes, and the values of the last cycle.
#include <algorithm>
#include <bit>

#include "analysis.hpp"
#include "analysis_track.hpp"

namespace valdrin::analysis {

namespace {

// reserved1 bit 15: the frame is a simulated one.
constexpr std::uint16_t SIMULATION_BIT = 0x8000;

Malformed reason_of(sv::SvErrorKind kind) noexcept {
    switch (kind) {
    case sv::SvErrorKind::Ber: return Malformed::SvBer;
    case sv::SvErrorKind::UnexpectedTag: return Malformed::SvUnexpectedTag;
    case sv::SvErrorKind::MissingField: return Malformed::SvMissingField;
    case sv::SvErrorKind::BadLength: return Malformed::SvBadLength;
    case sv::SvErrorKind::MissingNoAsdu: return Malformed::SvMissingNoAsdu;
    case sv::SvErrorKind::AsduCount: return Malformed::SvAsduCount;
    }
    return Malformed::SvBer;
}

// The stream's counters as its counter rule has them after an ASDU.
void take_counts(SvStream& s, const SvCounter& counter) noexcept {
    s.smp_cnt = counter.newest().smp_cnt;
    s.wrap = counter.wrap();
    s.wrap_learnt = counter.wrap_learnt();
    s.lost = counter.lost();
    s.duplicated = counter.duplicated();
    s.out_of_order = counter.out_of_order();
}

}  // namespace

void Analyzer::add_sv(const ethernet::Frame& frame, Bytes raw, std::int64_t t_ns, EventSink& sink) noexcept {
    // One pass over the savPdu: its first ASDUs are kept while the rest is
    // checked, and counted only once the whole frame decoded. A frame of
    // more ASDUs is walked again for them.
    constexpr std::size_t KEPT = 32;
    std::array<SvCounted, KEPT> kept;  // only the first min(n, KEPT) are written and read
    std::size_t n = 0;
    auto pdu = sv::decode_pdu_each(frame.payload, [&](const sv::Asdu& asdu) noexcept {
        if (n < KEPT) kept[n] = SvCounted::of(asdu);
        ++n;
    });
    if (!pdu) {
        ber::Text text;
        sv::describe(pdu.error(), text);
        malformed(reason_of(pdu.error().kind), false, text, raw, t_ns, sink);
        return;
    }
    ++state_.totals_.sv_frames;
    const bool simulation = (frame.reserved1 & SIMULATION_BIT) != 0;
    last_entry_ = NO_LOOKUP;
    std::uint16_t last_smp_cnt = 0;
    if (n <= KEPT) {
        for (std::size_t a = 0; a < n; ++a) count_asdu(frame, kept[a], simulation, t_ns, sink);
        if (n > 0) last_smp_cnt = kept[n - 1].smp_cnt;
    } else {
        for (sv::Asdus asdus(*pdu); auto asdu = asdus.next();) {
            count_asdu(frame, SvCounted::of(*asdu), simulation, t_ns, sink);
            last_smp_cnt = asdu->smp_cnt;
        }
    }
    if (n > 0 && last_entry_ >= 0) count_latency(static_cast<std::size_t>(last_entry_), last_smp_cnt, t_ns);
}

void Analyzer::count_latency(std::size_t i, std::uint16_t smp_cnt, std::int64_t t_ns) noexcept {
    SvStream& s = state_.sv_[i];
    if (!s.wrap_learnt) return;
    constexpr std::int64_t SECOND = 1'000'000'000;
    // smp_cnt < wrap <= 65536: the product stays below 2^46.
    const std::int64_t instant = std::int64_t{smp_cnt} * SECOND / std::int64_t{s.wrap};
    std::int64_t latency = (t_ns % SECOND + SECOND) % SECOND - instant;
    if (latency >= SECOND / 2) {
        latency -= SECOND;
    } else if (latency < -SECOND / 2) {
        latency += SECOND;
    }
    s.latency.add(latency);
}

void Analyzer::check_silence(std::size_t i, std::int64_t now_ns) noexcept {
    SvStream& s = state_.sv_[i];
    if (s.frames == 0 || now_ns <= s.last_ns) return;
    const auto silence = static_cast<std::uint64_t>(now_ns) - static_cast<std::uint64_t>(s.last_ns);
    if (!sv_tracks_[i].outage(silence)) return;
    if (!s.silent) ++s.outages;
    s.silent = true;
    s.longest_outage_ns = std::max(s.longest_outage_ns, silence);
}

// Inlined into add_sv: one call less per ASDU.
[[gnu::always_inline]] inline void Analyzer::count_asdu(const ethernet::Frame& frame, const SvCounted& asdu,
                                                        bool simulation, std::int64_t t_ns, EventSink& sink) noexcept {
    Totals& totals = state_.totals_;
    ++totals.sv_asdus;
    // The ASDUs of a frame are nearly always of one stream: the last
    // lookup is tried first.
    if (last_entry_ == NO_LOOKUP || !std::ranges::equal(asdu.sv_id(), last_id_)) {
        last_id_ = asdu.sv_id();
        // find_sv's first test here, sparing the call when it holds: the
        // stream last found for this APPID's low octet.
        const std::int32_t recent = sv_recent_[frame.app_id & 0xFF];
        const auto r = static_cast<std::size_t>(recent - 1);
        const std::size_t stride = state_.limits_.id_length;
        if (recent > 0 && state_.sv_[r].app_id == frame.app_id &&
            track::same_mac(state_.sv_[r].dst_mac, frame.dst_mac) &&
            track::same_octets(last_id_, state_.sv_ids_.data() + r * stride, state_.sv_id_sizes_[r])) {
            last_entry_ = recent - 1;
        } else {
            bool added = false;
            last_entry_ = find_sv(frame.app_id, frame.dst_mac, last_id_, added);
            if (added) sink.on(event_of(EventKind::SvStreamSeen, false, static_cast<std::size_t>(last_entry_), t_ns));
        }
    }
    if (last_entry_ < 0) {
        ++totals.sv_untracked;
        return;
    }
    SvStream& link = state_.sv_[static_cast<std::size_t>(last_entry_)];
    link.src_mac = frame.src_mac;  // the link of its last frame
    link.vlan_id = frame.vlan_id ? *frame.vlan_id : -1;
    link.vlan_priority = frame.vlan_priority ? *frame.vlan_priority : -1;
    add_asdu(static_cast<std::size_t>(last_entry_), asdu, simulation, t_ns, sink);
}

void Analyzer::add_asdu(std::size_t i, const SvCounted& asdu, bool simulation, std::int64_t t_ns,
                        EventSink& sink) noexcept {
    SvStream& s = state_.sv_[i];
    SvTrack& k = sv_tracks_[i];
    if (k.frame_seq != frame_seq_) {  // its first ASDU in this frame
        k.frame_seq = frame_seq_;
        if (s.frames == 0) {
            s.first_ns = t_ns;
        } else {
            if (t_ns >= s.last_ns) {
                const std::uint64_t gap = static_cast<std::uint64_t>(t_ns) - static_cast<std::uint64_t>(s.last_ns);
                s.intervals.add(gap);
                if (k.outage(gap)) [[unlikely]] {
                    if (!s.silent) ++s.outages;
                    s.longest_outage_ns = std::max(s.longest_outage_ns, gap);
                } else {
                    k.usual_sum_ns += gap;
                    ++k.usual_count;
                }
            } else {
                ++s.backward_times;
            }
            s.silent = false;
            if (simulation != s.simulation) {
                ++s.simulation_changes;
                Event event = event_of(EventKind::SimulationChange, false, i, t_ns);
                event.old_value = s.simulation;
                event.new_value = simulation;
                sink.on(event);
            }
        }
        s.simulation = simulation;
        s.last_ns = t_ns;
        ++s.frames;
        s.frame_asdus = 0;
    }
    ++s.frame_asdus;
    const bool first = s.asdus++ == 0;
    if (s.frames == 1) ++s.first_frame_asdus;

    const bool forward = k.counter.add(asdu.smp_cnt).order == SvOrder::Newest;
    take_counts(s, k.counter);

    if (!first && asdu.conf_rev != s.conf_rev) {
        ++s.conf_rev_changes;
        Event event = event_of(EventKind::ConfRevChange, false, i, t_ns);
        event.old_value = s.conf_rev;
        event.new_value = asdu.conf_rev;
        sink.on(event);
    }
    s.conf_rev = asdu.conf_rev;
    track::count_unexpected_conf_rev(s, expected_conf_rev_, asdu.conf_rev, t_ns);
    if (!first && asdu.smp_synch != s.smp_synch) ++s.smp_synch_changes;
    s.smp_synch = asdu.smp_synch;
    s.has_smp_rate = asdu.has_smp_rate;
    s.smp_rate = asdu.smp_rate;
    s.has_smp_mod = asdu.has_smp_mod;
    s.smp_mod = asdu.smp_mod;

    const std::uint8_t* sample = asdu.sample().data();
    s.sample_octets = static_cast<std::uint32_t>(std::min<std::size_t>(asdu.sample().size(), UINT32_MAX));
    if (asdu.sample().size() == LE_SAMPLE_SIZE) {
        const bool was_le = s.le_layout && !first;
        if (!s.le_layout) s.ring_size = 0;
        s.le_layout = true;
        // Each channel's value and quality as one big-endian 64-bit word.
        std::array<std::int32_t, CHANNELS> values;
        std::array<std::uint32_t, CHANNELS> quality;
        std::uint32_t changed = 0;  // quality rarely changes: all channels tested at once
        for (std::size_t c = 0; c < CHANNELS; ++c) {
            const std::uint64_t word = std::byteswap(track::load64(sample + 8 * c));
            values[c] = static_cast<std::int32_t>(static_cast<std::uint32_t>(word >> 32));
            quality[c] = static_cast<std::uint32_t>(word);
            changed |= quality[c] ^ s.quality[c];
        }
        if (was_le && changed != 0) [[unlikely]] {
            for (std::size_t c = 0; c < CHANNELS; ++c) s.quality_changes[c] += quality[c] != s.quality[c];
        }
        s.quality = quality;
        // Only samples that moved the counter forward: a repeated or late
        // one would put its instant twice or out of place in the cycle.
        if (forward) {
            track::store_streaming(s.ring[s.ring_next], values);
            s.ring_smp_cnt[s.ring_next] = asdu.smp_cnt;
            s.ring_next = (s.ring_next + 1) % RING;
            if (s.ring_size < RING) ++s.ring_size;
        }
    } else {
        s.le_layout = false;
        s.raw_total = static_cast<std::uint32_t>(std::min<std::size_t>(asdu.sample().size() / 4, UINT32_MAX));
        s.raw_count = std::min<std::uint32_t>(s.raw_total, RAW_VALUES);
        for (std::size_t v = 0; v < s.raw_count; ++v) s.raw[v] = octets::load_be_i32(sample + 4 * v);
    }
}

}  // namespace valdrin::analysis
