// GOOSE control blocks: stNum and sqNum sequences, timeAllowedToLive
// supervision, configuration changes, publishing rules broken, the last
// frame.
#include <algorithm>
#include <cstring>
#include <limits>

#include "analysis.hpp"
#include "analysis_track.hpp"
#include "data.hpp"
#include "goose.hpp"

namespace valdrin::analysis {

namespace {

// Frames behind the newest, each continuing the one before, after which
// the sequence is taken as restarted (a publisher that rebooted).
constexpr std::uint64_t RESYNC_RUN = 3;

Malformed reason_of(goose::DecodeErrorKind kind) noexcept {
    switch (kind) {
    case goose::DecodeErrorKind::Ber: return Malformed::GooseBer;
    case goose::DecodeErrorKind::UnexpectedTag: return Malformed::GooseUnexpectedTag;
    case goose::DecodeErrorKind::MissingField: return Malformed::GooseMissingField;
    case goose::DecodeErrorKind::Above64Bits: return Malformed::GooseAbove64Bits;
    case goose::DecodeErrorKind::EmptyIntegerField: return Malformed::GooseEmptyIntegerField;
    case goose::DecodeErrorKind::AllData: return Malformed::GooseAllData;
    case goose::DecodeErrorKind::UtcTime: return Malformed::GooseUtcTime;
    case goose::DecodeErrorKind::NotConformant:
    case goose::DecodeErrorKind::Header: return Malformed::GooseOther;
    }
    return Malformed::GooseOther;
}

// How far `to` is ahead of `from`: 0 when equal, negative when behind. The
// 32-bit rollover (2^32 - 1 to 0, or to 1 as publishers that skip 0 do) is
// one step forward.
std::int64_t ahead(std::uint64_t from, std::uint64_t to) noexcept {
    constexpr std::uint64_t top = std::numeric_limits<std::uint32_t>::max();
    if (from == top && to <= 1) return 1;
    if (to >= from) return static_cast<std::int64_t>(std::min<std::uint64_t>(to - from, INT64_MAX));
    return -1;
}

// The sum, saturated.
std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    const unsigned __int128 sum = static_cast<unsigned __int128>(a) + b + c;
    return sum > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(sum);
}

// t + ms, saturated.
std::int64_t deadline(std::int64_t t_ns, std::uint64_t ms) noexcept {
    const __int128 at = static_cast<__int128>(t_ns) + static_cast<__int128>(ms) * 1'000'000;
    return at > INT64_MAX ? INT64_MAX : static_cast<std::int64_t>(at);
}

void copy_cut(Bytes from, std::vector<std::uint8_t>& pool, std::size_t i, std::size_t stride) noexcept {
    std::copy_n(from.begin(), std::min(from.size(), stride), pool.begin() + static_cast<std::ptrdiff_t>(i * stride));
}

// The newest in-order frame's allData: `size` octets at `at` in the
// block's kept frame, which holds those that fit; `hash` is of all of them
// when some did not fit.
struct NewestData {
    Bytes kept;
    std::size_t at;
    std::size_t size;
    std::uint64_t hash;
};

// Whether allData `now` equals the newest frame's; `now_hash` (the hash of
// `now`) is read only when the newest allData did not fit.
bool same_data(Bytes now, std::uint64_t now_hash, const NewestData& newest) noexcept {
    if (now.size() != newest.size) return false;
    const std::size_t fits = newest.kept.size() > newest.at ? std::min(now.size(), newest.kept.size() - newest.at) : 0;
    if (fits > 0 && std::memcmp(now.data(), newest.kept.data() + newest.at, fits) != 0) return false;
    // The octets beyond the kept frame are compared by hash only: a change
    // there could hide behind a collision, about one in 2^64.
    return fits == now.size() || now_hash == newest.hash;
}

// A hash of the types of allData's content, without its values: in
// pre-order, every member's kind (a raw one's tag) and every array's and
// structure's member count.
std::uint64_t types_of(Bytes all_data) noexcept {
    std::uint64_t h = 0;
    data::Values values(all_data);
    while (auto value = values.next()) {
        const std::uint64_t word = static_cast<std::uint64_t>(value->kind) | std::uint64_t{value->tag} << 8 |
                                   std::uint64_t{value->members} << 40;
        h = track::mix(h ^ word) * 0x9E3779B97F4A7C15ull;
    }
    return h;
}

}  // namespace

void Analyzer::check_findings(std::size_t i, const goose::ReceivedPdu& pdu,
                              const std::optional<goose::Deviation>& deviation, Bytes raw, Order order,
                              std::int64_t t_ns, EventSink& sink) noexcept {
    GooseBlock& b = state_.goose_[i];
    GooseTrack& k = goose_tracks_[i];
    const auto found = [&](FindingKind kind, std::uint64_t old_value, std::uint64_t new_value, auto&& text) {
        const auto f = static_cast<std::size_t>(kind);
        if (b.findings[f]++ == 0) b.first_finding_ns[f] = t_ns;
        Event event = event_of(EventKind::Finding, true, i, t_ns);
        event.finding = kind;
        event.st_num = pdu.st_num;
        event.sq_num = pdu.sq_num;
        event.old_value = old_value;
        event.new_value = new_value;
        text(event.message);
        sink.on(event);
    };

    // Against the frame that arrived before: a smaller sqNum within the
    // same state with a new t is a publisher that restarted its sequence,
    // not a late frame (which keeps its state's t).
    if (order != Order::First && pdu.st_num == k.previous_st && pdu.sq_num < k.previous_sq &&
        !(pdu.t == k.previous_t)) {
        found(FindingKind::SqRestart, k.previous_sq, pdu.sq_num, [&](ber::Text& out) {
            out.append("sqNum ").append_decimal(k.previous_sq).append(" to ").append_decimal(pdu.sq_num);
            out.append(" within stNum ").append_decimal(pdu.st_num).append(" with a new t");
        });
    }
    k.previous_t = pdu.t;

    // allData is a view into `raw`; the block's kept frame is cut to
    // frame_length octets, so a long allData may not fit there.
    const Bytes data = pdu.all_data;
    const std::size_t data_at = data.empty() ? 0 : static_cast<std::size_t>(data.data() - raw.data());
    const std::size_t kept = state_.limits_.frame_length;
    const bool cut = data_at + data.size() > kept;
    const bool newest_cut = order == Order::InOrder && k.newest_data_at + k.newest_data_size > kept;
    const std::uint64_t hash = order != Order::OutOfOrder && (cut || newest_cut) ? track::hash_key(0, Mac{}, data) : 0;
    if (order == Order::InOrder) {
        const std::uint64_t st = pdu.st_num, newest_st = k.newest_st;
        const bool same_state = st == newest_st;
        const bool same_values =
            same_data(data, hash, {state_.frame(i), k.newest_data_at, k.newest_data_size, k.newest_data_hash});
        const bool same_t = pdu.t == k.newest_t;
        if (same_state && !same_values) {
            found(FindingKind::ValuesChangedWithoutStateChange, st, st, [&](ber::Text& out) {
                out.append("allData changed within stNum ").append_decimal(st);
            });
        }
        if (!same_state && same_values) {
            found(FindingKind::StateChangedWithoutValuesChange, newest_st, st, [&](ber::Text& out) {
                out.append("stNum ").append_decimal(newest_st).append(" to ").append_decimal(st);
                out.append(" with the same allData");
            });
        }
        if (same_state && !same_t) {
            found(FindingKind::TChangedWithoutStateChange, st, st, [&](ber::Text& out) {
                out.append("t changed within stNum ").append_decimal(st);
            });
        }
        if (!same_state && same_t) {
            found(FindingKind::TUnchangedAtStateChange, newest_st, st, [&](ber::Text& out) {
                out.append("stNum ").append_decimal(newest_st).append(" to ").append_decimal(st);
                out.append(" with the same t");
            });
        }
    }
    // An out-of-order frame is compared with nothing and becomes nothing
    // the next frame is compared with.
    if (order != Order::OutOfOrder) {
        const std::uint64_t types = types_of(data);
        if (order == Order::InOrder && pdu.conf_rev == k.newest_conf_rev) {
            if (pdu.entries != k.newest_entries) {
                found(FindingKind::EntriesChangedWithoutConfRev, k.newest_entries, pdu.entries, [&](ber::Text& out) {
                    out.append_decimal(k.newest_entries).append(" to ").append_decimal(pdu.entries);
                    out.append(" allData members within confRev ").append_decimal(pdu.conf_rev);
                });
            } else if (types != k.newest_types) {
                found(FindingKind::TypeChangedWithoutConfRev, pdu.conf_rev, pdu.conf_rev, [&](ber::Text& out) {
                    out.append("allData member types changed within confRev ").append_decimal(pdu.conf_rev);
                });
            }
        }
        k.newest_st = pdu.st_num;
        k.newest_t = pdu.t;
        k.newest_conf_rev = pdu.conf_rev;
        k.newest_entries = pdu.entries;
        k.newest_types = types;
        k.newest_data_at = data_at;
        k.newest_data_size = data.size();
        k.newest_data_hash = hash;
    }
    if (pdu.num_dat_set_entries != pdu.entries) {
        found(FindingKind::EntriesMismatch, pdu.num_dat_set_entries, pdu.entries, [&](ber::Text& out) {
            out.append("numDatSetEntries=").append_decimal(pdu.num_dat_set_entries).append(" but ");
            out.append_decimal(pdu.entries).append(" entries");
        });
    }
    if (deviation) {
        const auto d = static_cast<std::size_t>(deviation->kind);
        if (b.deviations[d]++ == 0) b.first_deviation_ns[d] = t_ns;
        b.last_deviation[d] = *deviation;
        found(FindingKind::StrictDeviation, 0, 0, [&](ber::Text& out) { goose::describe(*deviation, out); });
    }
}

void Analyzer::check_tal(std::size_t i, std::int64_t now_ns, EventSink& sink) noexcept {
    GooseBlock& b = state_.goose_[i];
    GooseTrack& k = goose_tracks_[i];
    if (b.frames == 0 || k.expiry_counted || now_ns <= k.deadline_ns) return;
    k.expiry_counted = true;
    ++b.tal_expired;
    Event event = event_of(EventKind::TalExpired, true, i, k.deadline_ns);
    event.time_allowed_to_live = b.time_allowed_to_live;
    sink.on(event);
}

void Analyzer::add_goose(const ethernet::Frame& frame, Bytes raw, std::int64_t t_ns, EventSink& sink) noexcept {
    // The strict decoder reads the PDU as the lenient one does, then checks
    // its encoding: one pass for a conforming frame; a frame that departs
    // is read again leniently (GOOSE is rare beside SV; neither decoder
    // allocates or throws).
    std::optional<goose::Deviation> deviation;
    auto pdu = goose::decode_pdu_strict(frame.payload);
    if (!pdu && pdu.error().kind == goose::DecodeErrorKind::NotConformant) {
        deviation = pdu.error().deviation;
        pdu = goose::decode_pdu(frame.payload);
    }
    if (!pdu) {
        ber::Text text;
        goose::describe(pdu.error(), text);
        malformed(reason_of(pdu.error().kind), true, text, raw, t_ns, sink);
        return;
    }
    ++state_.totals_.goose_frames;
    bool added = false;
    const std::ptrdiff_t entry = find_goose(frame.app_id, frame.dst_mac, pdu->gocb_ref, added);
    if (entry < 0) {
        ++state_.totals_.goose_untracked;
        return;
    }
    const auto i = static_cast<std::size_t>(entry);
    GooseBlock& b = state_.goose_[i];
    GooseTrack& k = goose_tracks_[i];
    b.src_mac = frame.src_mac;  // the link of its last frame
    b.vlan_id = frame.vlan_id ? *frame.vlan_id : -1;
    b.vlan_priority = frame.vlan_priority ? *frame.vlan_priority : -1;
    const std::uint64_t st = pdu->st_num;
    const std::uint64_t sq = pdu->sq_num;

    if (added) {
        b.first_ns = t_ns;
        b.last_change_ns = t_ns;
        b.st_num = st;
        b.sq_num = sq;
        Event event = event_of(EventKind::GooseBlockSeen, true, i, t_ns);
        event.st_num = st;
        event.sq_num = sq;
        event.frame = raw;
        sink.on(event);
    } else {
        check_tal(i, t_ns, sink);
    }
    const Order order = added ? Order::First : count_sequence(i, *pdu, raw, t_ns, sink);
    check_findings(i, *pdu, deviation, raw, order, t_ns, sink);
    k.previous_st = st;
    k.previous_sq = sq;

    ++b.frames;
    b.last_ns = t_ns;
    b.conf_rev = pdu->conf_rev;
    b.simulation = pdu->simulation;
    b.nds_com = pdu->nds_com;
    b.time_allowed_to_live = pdu->time_allowed_to_live;
    k.deadline_ns = deadline(t_ns, pdu->time_allowed_to_live);
    k.expiry_counted = false;
    track::count_unexpected_conf_rev(b, expected_conf_rev_, pdu->conf_rev, t_ns);
    if (order == Order::OutOfOrder) return;  // the newest in-order frame stays the one kept

    const std::size_t ids = state_.limits_.id_length;
    b.has_go_id = pdu->go_id.has_value();
    const Bytes go_id = pdu->go_id.value_or(Bytes{});
    b.go_id_size = go_id.size();
    copy_cut(go_id, state_.go_ids_, i, ids);
    b.dat_set_size = pdu->dat_set.size();
    copy_cut(pdu->dat_set, state_.dat_sets_, i, ids);
    b.frame_size = raw.size();
    copy_cut(raw, state_.frames_, i, state_.limits_.frame_length);
}

Analyzer::Order Analyzer::count_sequence(std::size_t i, const goose::ReceivedPdu& pdu, Bytes raw, std::int64_t t_ns,
                                         EventSink& sink) noexcept {
    GooseBlock& b = state_.goose_[i];
    GooseTrack& k = goose_tracks_[i];
    // A change of a flag or of confRev between frames in arrival order.
    const auto changed = [&](EventKind kind, std::uint64_t& changes, std::uint64_t old_value, std::uint64_t new_value) {
        if (old_value == new_value) return;
        ++changes;
        Event event = event_of(kind, true, i, t_ns);
        event.old_value = old_value;
        event.new_value = new_value;
        sink.on(event);
    };
    changed(EventKind::ConfRevChange, b.conf_rev_changes, b.conf_rev, pdu.conf_rev);
    changed(EventKind::SimulationChange, b.simulation_changes, b.simulation, pdu.simulation);
    changed(EventKind::NdsComChange, b.nds_com_changes, b.nds_com, pdu.nds_com);

    const std::uint64_t st = pdu.st_num;
    const std::uint64_t sq = pdu.sq_num;
    const std::int64_t states = ahead(b.st_num, st);
    const std::int64_t steps = states == 0 ? ahead(b.sq_num, sq) : 0;
    if (states > 0) {
        // A new state. Its sqNums start at 0: the states skipped and the
        // frames of this one before its first seen were lost (the change
        // itself among them when sqNum > 0).
        ++b.state_changes;
        b.lost = saturated_sum(b.lost, static_cast<std::uint64_t>(states - 1), sq);
        k.missing = track::low_bits(sq);
        b.st_num = st;
        b.sq_num = sq;
        b.last_change_ns = t_ns;
        k.behind_run = 0;
        Event event = event_of(EventKind::GooseStateChange, true, i, t_ns);
        event.st_num = st;
        event.sq_num = sq;
        event.frame = raw;
        sink.on(event);
        return Order::InOrder;
    }
    if (states == 0 && steps >= 0) {
        if (steps > 0) {
            b.lost += static_cast<std::uint64_t>(steps - 1);
            k.missing = (steps >= 64 ? 0 : k.missing << steps) | track::low_bits(static_cast<std::uint64_t>(steps - 1));
            b.sq_num = sq;
        } else {
            ++b.duplicated;
        }
        k.behind_run = 0;
        return Order::InOrder;
    }
    // Behind the newest: late, or a restarted sequence when several frames
    // in a row carry on from each other back there.
    const bool continues = k.behind_run > 0 && ((st == k.previous_st && ahead(k.previous_sq, sq) == 1) ||
                                                 ahead(k.previous_st, st) == 1);
    k.behind_run = continues ? k.behind_run + 1 : 1;
    if (k.behind_run < RESYNC_RUN) {
        ++b.out_of_order;
        // Late, of the newest state: when counted lost, it was not.
        const std::uint64_t behind = states == 0 && sq < b.sq_num ? b.sq_num - sq : 0;
        if (behind >= 1 && behind <= 64 && (k.missing >> (behind - 1) & 1) != 0 && b.lost != 0) {
            k.missing &= ~(std::uint64_t{1} << (behind - 1));
            --b.lost;
        }
        return Order::OutOfOrder;
    }
    ++b.resyncs;
    b.st_num = st;
    b.sq_num = sq;
    k.behind_run = 0;
    k.missing = 0;
    return Order::First;
}

}  // namespace valdrin::analysis
