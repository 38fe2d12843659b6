#include "analysis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "analysis_track.hpp"

namespace valdrin::analysis {

// --- Malformed reasons --------------------------------------------------------

namespace {

// A frame of a GOOSE or SV EtherType that parse_frame refuses.
constexpr std::string_view HEADER_MESSAGE = "frame shorter than its header or its Length";

// Open addressing with linear probing; `same(entry)` compares the key
// octets of a candidate whose hash matches. Returns the entry, or the
// empty slot where the key belongs as -1 - slot.
template <class Slot, class Same>
std::ptrdiff_t probe(const std::vector<Slot>& slots, std::uint64_t hash, Same&& same) noexcept {
    const std::size_t mask = slots.size() - 1;
    const auto h32 = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (slot.entry == 0) return -1 - static_cast<std::ptrdiff_t>(i);
        if (slot.hash == h32 && same(static_cast<std::size_t>(slot.entry - 1))) return slot.entry - 1;
    }
}

// a * b, refusing limits whose storage cannot even be sized (construction
// is allowed to throw; nothing after it is).
std::size_t product(std::size_t a, std::size_t b) {
    std::size_t out;
    if (__builtin_mul_overflow(a, b, &out)) throw std::length_error("analysis limits too large");
    return out;
}

// Entries are numbered in 31 bits in the lookup slots.
const Limits& checked(const Limits& limits) {
    constexpr std::size_t most = std::numeric_limits<std::int32_t>::max() / 2;
    if (limits.sv_streams > most || limits.goose_blocks > most) throw std::length_error("analysis limits too large");
    return limits;
}

}  // namespace

std::string_view malformed_name(Malformed reason) noexcept {
    return text_of(malformed_names, reason);
}

std::string_view finding_name(FindingKind kind) noexcept { return text_of(finding_names, kind); }

// --- Intervals ----------------------------------------------------------------

double IntervalHistogram::quantile(double q) const noexcept {
    if (count() == 0) return 0;
    const std::size_t i = quantile_bucket(q);
    if (i == BUCKETS - 1) return static_cast<double>(max());
    return within(LogBuckets<SUB_BITS>::middle(i));
}

double LatencyHistogram::quantile(double q) const noexcept {
    if (count() == 0) return 0;
    const std::size_t i = quantile_bucket(q);
    if (i == 0) return static_cast<double>(min());
    if (i == 2 * SIDE - 1) return static_cast<double>(max());
    return within(i < SIDE ? -LogBuckets<SUB_BITS>::middle(SIDE - 1 - i) : LogBuckets<SUB_BITS>::middle(i - SIDE));
}

double IntervalHistogram::shown(double quantile) noexcept {
    if (quantile < 0) return -shown(-quantile);
    if (!(quantile > 0) || !std::isfinite(quantile)) return quantile;
    const int exponent = static_cast<int>(std::floor(std::log10(quantile)));
    const double scale = std::pow(10.0, QUANTILE_DIGITS - 1 - exponent);
    return std::round(quantile * scale) / scale;
}

// --- Snapshot -----------------------------------------------------------------

Snapshot::Snapshot(const Limits& limits)
    : limits_(checked(limits)),
      sv_(limits.sv_streams),
      sv_ids_(product(limits.sv_streams, limits.id_length)),
      sv_id_sizes_(limits.sv_streams),
      goose_(limits.goose_blocks),
      refs_(product(limits.goose_blocks, limits.id_length)),
      ref_sizes_(limits.goose_blocks),
      go_ids_(product(limits.goose_blocks, limits.id_length)),
      dat_sets_(product(limits.goose_blocks, limits.id_length)),
      frames_(product(limits.goose_blocks, limits.frame_length)) {}

Bytes Snapshot::frame(std::size_t i) const noexcept {
    const std::size_t stride = limits_.frame_length;
    return Bytes(frames_).subspan(i * stride, std::min(goose_[i].frame_size, stride));
}

void Snapshot::copy_to(Snapshot& out) const noexcept {
    out.totals_ = totals_;
    out.messages_ = messages_;
    out.sv_count_ = sv_count_;
    out.goose_count_ = goose_count_;
    const std::size_t ids = limits_.id_length;
    std::copy_n(sv_.begin(), sv_count_, out.sv_.begin());
    std::copy_n(sv_id_sizes_.begin(), sv_count_, out.sv_id_sizes_.begin());
    std::copy_n(sv_ids_.begin(), sv_count_ * ids, out.sv_ids_.begin());
    std::copy_n(goose_.begin(), goose_count_, out.goose_.begin());
    std::copy_n(ref_sizes_.begin(), goose_count_, out.ref_sizes_.begin());
    std::copy_n(refs_.begin(), goose_count_ * ids, out.refs_.begin());
    std::copy_n(go_ids_.begin(), goose_count_ * ids, out.go_ids_.begin());
    std::copy_n(dat_sets_.begin(), goose_count_ * ids, out.dat_sets_.begin());
    std::copy_n(frames_.begin(), goose_count_ * limits_.frame_length, out.frames_.begin());
}

// --- Analyzer -----------------------------------------------------------------

Analyzer::Analyzer(const Limits& limits)
    : state_(limits),
      sv_tracks_(limits.sv_streams),
      goose_tracks_(limits.goose_blocks),
      sv_slots_(track::slots_for(limits.sv_streams)),
      goose_slots_(track::slots_for(limits.goose_blocks)) {}

Analyzer::~Analyzer() = default;

bool Snapshot::copy_into(Snapshot& out) const noexcept {
    if (!(out.limits_ == limits_)) return false;
    copy_to(out);
    return true;
}

bool Analyzer::snapshot(Snapshot& out) const noexcept {
    track::settle_streaming_stores();  // the copy may be handed to another thread
    return state_.copy_into(out);
}

void Analyzer::add(Bytes raw, std::int64_t t_ns, EventSink& sink) noexcept {
    Totals& totals = state_.totals_;
    if (totals.frames++ == 0) totals.first_ns = t_ns;
    totals.last_ns = t_ns;
    ++frame_seq_;
    const std::uint16_t type = ethernet::ethertype_of(raw);
    const bool goose = type == ethernet::ETHERTYPE_GOOSE;
    if (!goose && type != ethernet::ETHERTYPE_SV) {
        ++totals.other;
        return;
    }
    auto frame = ethernet::parse_frame(raw, type);
    if (!frame) {
        ber::Text text;
        text.append(HEADER_MESSAGE);
        malformed(goose ? Malformed::GooseHeader : Malformed::SvHeader, goose, text, raw, t_ns, sink);
    } else if (goose) {
        add_goose(*frame, raw, t_ns, sink);
    } else {
        add_sv(*frame, raw, t_ns, sink);
    }
}

void Analyzer::malformed(Malformed reason, bool goose, const ber::Text& message, Bytes raw, std::int64_t t_ns,
                         EventSink& sink) noexcept {
    const auto r = static_cast<std::size_t>(reason);
    ++state_.totals_.malformed;
    ++state_.totals_.malformed_by[r];
    state_.messages_[r] = message;
    Event event{.kind = EventKind::DecodeFailure, .goose = goose, .time_ns = t_ns};
    event.frame = raw;
    event.reason = reason;
    event.message = message;
    if (raw.size() >= ethernet::UNTAGGED_SIZE) std::copy_n(raw.begin(), 6, event.dst_mac.begin());
    sink.on(event);
}

void Analyzer::tick(std::int64_t now_ns, EventSink& sink) noexcept {
    for (std::size_t i = 0; i < state_.goose_count_; ++i) check_tal(i, now_ns, sink);
    for (std::size_t i = 0; i < state_.sv_count_; ++i) check_silence(i, now_ns);
}

void Analyzer::finish(std::int64_t end_ns, EventSink& sink) noexcept {
    tick(end_ns, sink);
    state_.totals_.finished = true;
    state_.totals_.end_ns = end_ns;
}

Event Analyzer::event_of(EventKind kind, bool goose, std::size_t i, std::int64_t t_ns) const noexcept {
    Event event{.kind = kind, .goose = goose, .time_ns = t_ns, .index = i};
    if (goose) {
        event.app_id = state_.goose_[i].app_id;
        event.dst_mac = state_.goose_[i].dst_mac;
        event.id = state_.gocb_ref(i);
    } else {
        event.app_id = state_.sv_[i].app_id;
        event.dst_mac = state_.sv_[i].dst_mac;
        event.id = state_.sv_id(i);
    }
    return event;
}

std::ptrdiff_t Analyzer::find_sv(std::uint16_t app_id, const Mac& mac, Bytes id, bool& added) noexcept {
    added = false;
    const std::size_t stride = state_.limits_.id_length;
    if (id.size() > stride) return -1;
    const auto same = [&](std::size_t e) {
        const SvStream& s = state_.sv_[e];
        return s.app_id == app_id && track::same_mac(s.dst_mac, mac) &&
               track::same_octets(id, state_.sv_ids_.data() + e * stride, state_.sv_id_sizes_[e]);
    };
    std::int32_t& recent = sv_recent_[app_id & 0xFF];
    if (recent > 0 && same(static_cast<std::size_t>(recent - 1))) return recent - 1;
    const std::uint64_t hash = track::hash_key(app_id, mac, id);
    const std::ptrdiff_t found = probe(sv_slots_, hash, same);
    if (found >= 0) {
        recent = static_cast<std::int32_t>(found + 1);
        return found;
    }
    const std::size_t e = state_.sv_count_;
    if (e == state_.limits_.sv_streams) return -1;
    const auto slot = static_cast<std::size_t>(-1 - found);
    sv_slots_[slot] = {static_cast<std::int32_t>(e + 1), static_cast<std::uint32_t>(hash >> 32)};
    state_.sv_[e].app_id = app_id;
    state_.sv_[e].dst_mac = mac;
    state_.sv_id_sizes_[e] = id.size();
    std::copy(id.begin(), id.end(), state_.sv_ids_.begin() + static_cast<std::ptrdiff_t>(e * stride));
    ++state_.sv_count_;
    added = true;
    recent = static_cast<std::int32_t>(e + 1);
    return static_cast<std::ptrdiff_t>(e);
}

std::ptrdiff_t Analyzer::find_goose(std::uint16_t app_id, const Mac& mac, Bytes ref, bool& added) noexcept {
    added = false;
    const std::size_t stride = state_.limits_.id_length;
    if (ref.size() > stride) return -1;
    const std::uint64_t hash = track::hash_key(app_id, mac, ref);
    const std::ptrdiff_t found = probe(goose_slots_, hash, [&](std::size_t e) {
        const GooseBlock& b = state_.goose_[e];
        return b.app_id == app_id && b.dst_mac == mac &&
               track::same_octets(ref, state_.refs_.data() + e * stride, state_.ref_sizes_[e]);
    });
    if (found >= 0) return found;
    const std::size_t e = state_.goose_count_;
    if (e == state_.limits_.goose_blocks) return -1;
    const auto slot = static_cast<std::size_t>(-1 - found);
    goose_slots_[slot] = {static_cast<std::int32_t>(e + 1), static_cast<std::uint32_t>(hash >> 32)};
    state_.goose_[e].app_id = app_id;
    state_.goose_[e].dst_mac = mac;
    state_.ref_sizes_[e] = ref.size();
    std::copy(ref.begin(), ref.end(), state_.refs_.begin() + static_cast<std::ptrdiff_t>(e * stride));
    ++state_.goose_count_;
    added = true;
    return static_cast<std::ptrdiff_t>(e);
}

}  // namespace valdrin::analysis
