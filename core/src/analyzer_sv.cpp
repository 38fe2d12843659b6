// Sampled Values streams: counting ASDUs by smpCnt, arrival intervals,
// configuration changes, and the values of the last cycle.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>

#include "analysis.hpp"
#include "analysis_track.hpp"

namespace valdrin::analysis {

namespace {

// reserved1 bit 15: the frame is a simulated one.
constexpr std::uint16_t SIMULATION_BIT = 0x8000;
// A counter that falls from below this teaches no wrap: no sample rate is
// that small, and a late counter at a stream's start must not set one.
constexpr std::uint16_t MIN_WRAP_LEARNT = 16;

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

std::int32_t be32(const std::uint8_t* p) noexcept {
    return static_cast<std::int32_t>(std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                                     std::uint32_t{p[2]} << 8 | p[3]);
}

using Bits = std::array<std::uint64_t, 65536 / 64>;

void set_bit(Bits& bits, std::uint32_t c) noexcept { bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
bool test_bit(const Bits& bits, std::uint32_t c) noexcept { return (bits[c >> 6] >> (c & 63)) & 1; }

// Clears `count` counters from `from` on, modulo `wrap`.
void clear_bits(Bits& bits, std::uint32_t from, std::uint32_t count, std::uint32_t wrap) noexcept {
    while (count > 0) {
        if ((from & 63) == 0 && count >= 64 && wrap - from >= 64) {
            bits[from >> 6] = 0;
            from += 64;
            count -= 64;
        } else {
            bits[from >> 6] &= ~(std::uint64_t{1} << (from & 63));
            ++from;
            --count;
        }
        if (from >= wrap) from = 0;
    }
}

// Counts counter `c` of stream `s`; true when it moved the newest forward
// (the first counter does too).
bool count_counter(SvStream& s, Bits& received, std::uint64_t& advanced, std::uint16_t& max_seen, bool& started,
                   std::uint16_t c) noexcept {
    if (!started) {
        started = true;
        s.smp_cnt = c;
        max_seen = c;
        set_bit(received, c);
        return true;
    }
    if (!s.wrap_learnt) {
        // The first fall by more than half of the largest counter: the
        // counter after that largest one was 0.
        if (c < s.smp_cnt && s.smp_cnt - c > max_seen / 2 && max_seen >= MIN_WRAP_LEARNT) {
            s.wrap = std::uint32_t{max_seen} + 1;
            s.wrap_learnt = true;
        } else if (c > max_seen) {
            max_seen = c;
        }
    }
    if (c >= s.wrap) {
        // A counter the learnt wrap does not hold: the wrap is at least one more.
        clear_bits(received, s.wrap, c + 1 - s.wrap, 65536);
        s.wrap = std::uint32_t{c} + 1;
    }
    const std::uint32_t wrap = s.wrap;
    const std::uint32_t newest = s.smp_cnt;
    const std::uint32_t ahead = (c + wrap - newest) % wrap;
    if (ahead == 0) {
        ++s.duplicated;
        return false;
    }
    if (ahead < wrap - wrap / 2) {
        if (ahead > 1) {
            s.lost += ahead - 1;
            clear_bits(received, (newest + 1) % wrap, ahead - 1, wrap);
        }
        set_bit(received, c);
        s.smp_cnt = c;
        advanced += ahead;
        return true;
    }
    if (test_bit(received, c)) {
        ++s.duplicated;
        return false;
    }
    set_bit(received, c);
    ++s.out_of_order;
    // Behind the first counter it was never counted lost.
    if (wrap - ahead < advanced && s.lost > 0) --s.lost;
    return false;
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
    if (n <= KEPT) {
        for (std::size_t a = 0; a < n; ++a) count_asdu(frame, kept[a], simulation, t_ns, sink);
    } else {
        for (sv::Asdus asdus(*pdu); auto asdu = asdus.next();) {
            count_asdu(frame, SvCounted::of(*asdu), simulation, t_ns, sink);
        }
    }
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
                s.intervals.add(static_cast<std::uint64_t>(t_ns) - static_cast<std::uint64_t>(s.last_ns));
            } else {
                ++s.backward_times;
            }
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
    }
    const bool first = s.asdus++ == 0;
    if (s.frames == 1) ++s.first_frame_asdus;

    const bool forward = count_counter(s, k.received, k.advanced, k.max_seen, k.started, asdu.smp_cnt);

    if (!first && asdu.conf_rev != s.conf_rev) {
        ++s.conf_rev_changes;
        Event event = event_of(EventKind::ConfRevChange, false, i, t_ns);
        event.old_value = s.conf_rev;
        event.new_value = asdu.conf_rev;
        sink.on(event);
    }
    s.conf_rev = asdu.conf_rev;
    if (!first && asdu.smp_synch != s.smp_synch) ++s.smp_synch_changes;
    s.smp_synch = asdu.smp_synch;
    s.has_smp_rate = asdu.has_smp_rate;
    s.smp_rate = asdu.smp_rate;
    s.has_smp_mod = asdu.has_smp_mod;
    s.smp_mod = asdu.smp_mod;

    const std::uint8_t* sample = asdu.sample().data();
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
            s.ring[s.ring_next] = values;
            s.ring_smp_cnt[s.ring_next] = asdu.smp_cnt;
            s.ring_next = (s.ring_next + 1) % RING;
            if (s.ring_size < RING) ++s.ring_size;
        }
    } else {
        s.le_layout = false;
        s.raw_total = static_cast<std::uint32_t>(std::min<std::size_t>(asdu.sample().size() / 4, UINT32_MAX));
        s.raw_count = std::min<std::uint32_t>(s.raw_total, RAW_VALUES);
        for (std::size_t v = 0; v < s.raw_count; ++v) s.raw[v] = be32(sample + 4 * v);
    }
}

// --- Figures ------------------------------------------------------------------

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::size_t samples_per_cycle(const SvStream& s, double rate, double nominal_hz) noexcept {
    double spc = 0;
    if (s.has_smp_rate && (!s.has_smp_mod || s.smp_mod == 0)) {
        spc = s.smp_rate;  // samples per nominal period
    } else if (s.has_smp_rate && s.smp_mod == 1) {
        spc = s.smp_rate / nominal_hz;  // samples per second
    } else if (s.wrap_learnt) {
        spc = s.wrap / nominal_hz;  // 9-2LE wraps each second
    } else if (std::isfinite(rate)) {
        spc = rate / nominal_hz;
    }
    if (!(spc >= 3.5 && spc < RING + 0.5)) return 0;
    return static_cast<std::size_t>(std::lround(spc));
}

// The frequency of `x` (samples at positions `at`, `fs` per second) from
// its zero crossings about its mean over the last whole cycles of `cycle`
// samples, with a hysteresis of a tenth of its peak against noise: the
// mean of the estimates from rising and from falling crossings (an offset
// of the mean moves the two kinds apart, not their spacing); NaN without
// two crossings of one kind.
double frequency(const double* x, const double* at, std::size_t n, std::size_t cycle, double fs) noexcept {
    const std::size_t whole = n / cycle * cycle;
    double mean = 0;
    for (std::size_t k = n - whole; k < n; ++k) mean += x[k];
    mean /= static_cast<double>(whole);
    double peak = 0;
    for (std::size_t k = 0; k < n; ++k) peak = std::max(peak, std::abs(x[k] - mean));
    if (peak == 0) return NaN;
    const double hysteresis = peak / 10;
    struct Crossings {
        bool armed = false;
        std::size_t count = 0;
        double first = 0;
        double last = 0;
        void add(double where) noexcept {
            if (count++ == 0) first = where;
            last = where;
            armed = false;
        }
        bool usable() const noexcept { return count >= 2 && last > first; }
        double periods_per_sample() const noexcept { return static_cast<double>(count - 1) / (last - first); }
    } rising, falling;
    for (std::size_t k = 1; k < n; ++k) {
        const double before = x[k - 1] - mean;
        const double now = x[k] - mean;
        if (before < -hysteresis) rising.armed = true;
        if (before > hysteresis) falling.armed = true;
        const bool up = before < 0 && now >= 0;
        const bool down = before >= 0 && now < 0;
        if (!(up && rising.armed) && !(down && falling.armed)) continue;
        const double where = at[k - 1] + (at[k] - at[k - 1]) * (before / (before - now));
        (up ? rising : falling).add(where);
    }
    if (rising.usable() && falling.usable()) {
        return fs * (rising.periods_per_sample() + falling.periods_per_sample()) / 2;
    }
    if (rising.usable()) return fs * rising.periods_per_sample();
    if (falling.usable()) return fs * falling.periods_per_sample();
    return NaN;
}

}  // namespace

SvFigures figures(const SvStream& s, double nominal_hz) noexcept {
    SvFigures out;
    if (s.intervals.count() > 0) {
        out.interval_min_us = static_cast<double>(s.intervals.min()) / 1e3;
        out.interval_median_us = s.intervals.quantile(0.5) / 1e3;
        out.interval_p99_us = s.intervals.quantile(0.99) / 1e3;
        out.interval_max_us = static_cast<double>(s.intervals.max()) / 1e3;
    } else {
        out.interval_min_us = out.interval_median_us = out.interval_p99_us = out.interval_max_us = NaN;
    }
    out.asdu_rate = NaN;
    if (s.frames > 1 && s.last_ns > s.first_ns) {
        // The difference first: the times themselves exceed a double's precision.
        const auto span = static_cast<double>(static_cast<std::uint64_t>(s.last_ns) - static_cast<std::uint64_t>(s.first_ns));
        out.asdu_rate = static_cast<double>(s.asdus - s.first_frame_asdus) * 1e9 / span;
    }
    for (ChannelFigures& c : out.channels) c = {NaN, NaN, NaN, NaN};
    if (!(nominal_hz > 0)) return out;
    const std::size_t n = samples_per_cycle(s, out.asdu_rate, nominal_hz);
    out.samples_per_cycle = n;
    if (!s.le_layout || n == 0 || s.ring_size < n) return out;
    out.values = true;

    // Oldest first: all samples kept, positions unwrapped from the counters
    // so that a lost sample leaves its gap.
    const std::size_t size = s.ring_size;
    const std::size_t oldest = (s.ring_next + RING - size) % RING;
    std::array<double, RING> at{};
    for (std::size_t k = 1; k < size; ++k) {
        const std::uint32_t before = s.ring_smp_cnt[(oldest + k - 1) % RING];
        const std::uint32_t now = s.ring_smp_cnt[(oldest + k) % RING];
        at[k] = at[k - 1] + static_cast<double>((now + s.wrap - before) % s.wrap);
    }
    out.contiguous = at[size - 1] - at[size - n] == static_cast<double>(n - 1);

    // The cycle: the last n samples, each at its counter's angle.
    std::array<double, RING> cosines{};
    std::array<double, RING> sines{};
    const std::size_t start = size - n;
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint16_t count = s.ring_smp_cnt[(oldest + start + k) % RING];
        const double angle = 2 * std::numbers::pi * static_cast<double>(count % n) / static_cast<double>(n);
        cosines[k] = std::cos(angle);
        sines[k] = std::sin(angle);
    }
    const double fs = static_cast<double>(n) * nominal_hz;
    std::array<double, RING> x{};
    for (std::size_t c = 0; c < CHANNELS; ++c) {
        const double scale = channel_scale(c);
        for (std::size_t k = 0; k < size; ++k) x[k] = s.ring[(oldest + k) % RING][c] * scale;
        double squares = 0;
        double re = 0;
        double im = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const double v = x[start + k];
            squares += v * v;
            re += v * cosines[k];
            im -= v * sines[k];
        }
        const double norm = std::numbers::sqrt2 / static_cast<double>(n);
        ChannelFigures& f = out.channels[c];
        f.rms = std::sqrt(squares / static_cast<double>(n));
        f.magnitude = std::hypot(re, im) * norm;
        f.angle_deg = std::atan2(im, re) * 180 / std::numbers::pi;
        if (f.angle_deg <= -180) f.angle_deg += 360;
        f.frequency_hz = frequency(x.data(), at.data(), size, n, fs);
    }
    return out;
}

}  // namespace valdrin::analysis
