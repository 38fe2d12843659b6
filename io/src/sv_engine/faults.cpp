#include "sv_engine/faults.hpp"

#include <algorithm>

#include "ethernet.hpp"
#include "lateness.hpp"
#include "octets.hpp"

namespace valdrin::io::sv_engine {

namespace {

// ASDU fields as the template holds them right after smpCnt's content:
// confRev (tag 0x83, 4 octets), then smpSynch (tag 0x85, 1 octet).
constexpr std::uint8_t TAG_CONF_REV = 0x83;
constexpr std::uint8_t TAG_SMP_SYNCH = 0x85;
constexpr std::size_t SMP_CNT_SIZE = 2;
constexpr std::size_t CONF_REV_SIZE = 4;
constexpr std::uint16_t SIMULATION_BIT = 0x8000;

// Whether `frame` holds a TLV header of `tag` and `size` at `at`, followed
// by its content.
bool holds(const std::vector<std::uint8_t>& frame, std::size_t at, std::uint8_t tag, std::size_t size) {
    return at + 2 + size <= frame.size() && frame[at] == tag && frame[at + 1] == size;
}

}  // namespace

Fields Fields::of(const Stream& stream) {
    Fields fields;
    const ethernet::Bytes raw{stream.frame.data(), stream.frame.size()};
    if (const auto frame = ethernet::parse_frame(raw, ethernet::ETHERTYPE_SV)) {
        // reserved1 lies 4 octets after the APPID, 8 before the APDU.
        fields.reserved1 = static_cast<std::size_t>(frame->payload.data() - raw.data()) - 4;
    }
    std::vector<std::size_t> conf_rev;
    std::vector<std::size_t> smp_synch;
    for (const std::uint64_t smp_cnt : stream.smp_cnt_offsets) {
        const std::size_t c = static_cast<std::size_t>(smp_cnt) + SMP_CNT_SIZE;
        const std::size_t s = c + 2 + CONF_REV_SIZE;
        if (!holds(stream.frame, c, TAG_CONF_REV, CONF_REV_SIZE) || !holds(stream.frame, s, TAG_SMP_SYNCH, 1)) {
            return fields;  // another layout: neither knob applies
        }
        conf_rev.push_back(c + 2);
        smp_synch.push_back(s + 2);
    }
    fields.conf_rev = std::move(conf_rev);
    fields.smp_synch = std::move(smp_synch);
    return fields;
}

// --- Setting, from any thread -------------------------------------------------

Faults::Faults(const Config& config)
    : knobs_(std::make_unique<StreamKnobs[]>(config.streams.size())),
      count_(config.streams.size()),
      prp_(config.prp_iface_b.has_value()) {
    fields_.reserve(count_);
    channels_.reserve(count_);
    for (std::size_t i = 0; i < count_; ++i) {
        const Stream& stream = config.streams[i];
        fields_.push_back(Fields::of(stream));
        channels_.push_back(stream.waves.size());
        knobs_[i].quality = std::make_unique<std::atomic<std::uint32_t>[]>(stream.waves.size());
    }
}

std::expected<void, FaultError> Faults::set(std::size_t stream, Knob knob, std::int64_t value, Nanos now) noexcept {
    if (stream >= count_) return std::unexpected(FaultError::NoStream);
    const KnobRow& row = KNOBS[static_cast<std::size_t>(knob)];
    const std::int64_t low = row.kind == KnobKind::Count ? 1 : 0;
    if (knob == Knob::Quality || value < low || value > row.max) return std::unexpected(FaultError::OutOfRange);
    if (needs_prp(knob) && !prp_) return std::unexpected(FaultError::NoPrp);
    StreamKnobs& k = knobs_[stream];
    const Fields& fields = fields_[stream];
    const auto count = static_cast<std::uint32_t>(value);
    switch (knob) {
        case Knob::Drop: k.drop.store(count); break;
        case Knob::Duplicate: k.duplicate.store(count); break;
        case Knob::Swap: k.swap.fetch_add(1); break;
        case Knob::Jump: k.jump.fetch_add(count); break;
        case Knob::Silence: k.silent_until_ns.store(saturate(now + value)); break;
        case Knob::SmpSynch:
            if (fields.smp_synch.empty()) return std::unexpected(FaultError::NoField);
            k.smp_synch.store(static_cast<std::int32_t>(value));
            break;
        case Knob::ConfRev:
            if (fields.conf_rev.empty()) return std::unexpected(FaultError::NoField);
            k.conf_rev.store(value);
            break;
        case Knob::Simulation:
            if (!fields.reserved1) return std::unexpected(FaultError::NoField);
            k.simulation.store(value != 0);
            break;
        case Knob::Delay: k.delay_ns.store(value); break;
        case Knob::PrpDropA: k.prp.drop[0].store(count); break;
        case Knob::PrpDropB: k.prp.drop[1].store(count); break;
        case Knob::PrpLossA: k.prp.loss[0].store(count); break;
        case Knob::PrpLossB: k.prp.loss[1].store(count); break;
        case Knob::PrpDelayA: k.prp.delay_ns[0].store(value); break;
        case Knob::PrpDelayB: k.prp.delay_ns[1].store(value); break;
        case Knob::PrpRepeatSeq: k.prp.repeat_seq.store(count); break;
        case Knob::PrpWrongLan: k.prp.wrong_lan.store(value != 0); break;
        case Knob::PrpBadSize: k.prp.bad_size.store(value != 0); break;
        case Knob::Quality: break;  // refused above
    }
    k.armed.store(true, std::memory_order_release);
    return {};
}

std::expected<void, FaultError> Faults::set_quality(std::size_t stream, std::uint32_t mask,
                                                    std::span<const std::uint64_t> channels) noexcept {
    if (stream >= count_) return std::unexpected(FaultError::NoStream);
    const std::size_t n = channels_[stream];
    for (const std::uint64_t channel : channels) {
        if (channel >= n) return std::unexpected(FaultError::NoChannel);
    }
    StreamKnobs& k = knobs_[stream];
    for (std::size_t j = 0; j < n; ++j) {
        const bool chosen = channels.empty() || std::ranges::find(channels, j) != channels.end();
        k.quality[j].store(chosen ? mask : 0);
    }
    k.quality_on.store(mask != 0);
    k.armed.store(true, std::memory_order_release);
    return {};
}

std::expected<void, FaultError> Faults::clear(std::size_t stream, Knob knob) noexcept {
    if (stream >= count_) return std::unexpected(FaultError::NoStream);
    if (!lasting(KNOBS[static_cast<std::size_t>(knob)].kind)) return std::unexpected(FaultError::NotLasting);
    if (needs_prp(knob) && !prp_) return std::unexpected(FaultError::NoPrp);
    StreamKnobs& k = knobs_[stream];
    switch (knob) {
        case Knob::Quality: return set_quality(stream, 0, {});
        case Knob::SmpSynch: k.smp_synch.store(-1); break;
        case Knob::ConfRev: k.conf_rev.store(-1); break;
        case Knob::Simulation: k.simulation.store(false); break;
        case Knob::Delay: k.delay_ns.store(0); break;
        case Knob::PrpLossA: k.prp.loss[0].store(0); break;
        case Knob::PrpLossB: k.prp.loss[1].store(0); break;
        case Knob::PrpDelayA: k.prp.delay_ns[0].store(0); break;
        case Knob::PrpDelayB: k.prp.delay_ns[1].store(0); break;
        case Knob::PrpWrongLan: k.prp.wrong_lan.store(false); break;
        case Knob::PrpBadSize: k.prp.bad_size.store(false); break;
        default: break;  // one-shot knobs refused above
    }
    k.armed.store(true, std::memory_order_release);
    return {};
}

// --- Applying, in the transmit thread ----------------------------------------

namespace {

// A seed for a stream's draws from its template (streams differ in APPID,
// svID or destination): FNV-1a.
std::uint64_t seed_of(const std::vector<std::uint8_t>& frame) noexcept {
    std::uint64_t hash = 0xCBF29CE484222325;
    for (const std::uint8_t octet : frame) hash = (hash ^ octet) * 0x100000001B3;
    return hash;
}

}  // namespace

FrameFaults::FrameFaults(const Stream& stream, const Fields& fields)
    : fields_(&fields), held_(stream.frame.size()), draws_(seed_of(stream.frame)) {}

PrpFrameFaults FrameFaults::prp_frame(StreamKnobs& knobs) noexcept { return knobs.prp.next_frame(draws_); }

Emission FrameFaults::plan(StreamKnobs& knobs, Nanos due_ns) noexcept {
    Emission out;
    out.release_held = holding_;
    if (due_ns < knobs.silent_until_ns.load() || take_one(knobs.drop)) {
        out.copies = 0;
        return out;
    }
    if (take_one(knobs.duplicate)) out.copies = 2;
    // A swap holds this frame back for the next; one already held leaves now.
    if (!holding_ && take_one(knobs.swap)) {
        out.hold = true;
        out.copies = 0;
    }
    return out;
}

void FrameFaults::edit(StreamKnobs& knobs, const Stream& stream, std::span<std::uint8_t> frame,
                       std::int64_t first_smp, std::int64_t rate) noexcept {
    std::uint8_t* const out = frame.data();
    // A load first: the exchange, a locked instruction, only when there is a jump.
    if (knobs.jump.load(std::memory_order_relaxed) != 0) {
        jump_ = (jump_ + knobs.jump.exchange(0)) % rate;
    }
    if (jump_ != 0) {
        std::int64_t smp = ((first_smp % rate) + rate) % rate;
        for (const std::uint64_t at : stream.smp_cnt_offsets) {
            const std::int64_t shifted = (smp + jump_) % rate;
            octets::store_be16(out + at, static_cast<std::uint16_t>(shifted));
            if (++smp == rate) smp = 0;
        }
    }
    // render() wrote every quality word afresh: a mask only ever adds bits.
    if (knobs.quality_on.load()) {
        for (std::size_t t = 0; t < stream.sample_offsets.size(); ++t) {
            for (std::size_t j = 0; j < stream.waves.size(); ++j) {
                const std::uint32_t mask = knobs.quality[j].load(std::memory_order_relaxed);
                if (mask == 0) continue;
                std::uint8_t* const word = out + stream.sample_offsets[t] + 8 * j + 4;
                octets::store_be32(word, octets::load_be32(word) | mask);
            }
        }
    }
    const Fields& fields = *fields_;
    if (const std::int64_t v = knobs.smp_synch.load(); v != smp_synch_) {
        smp_synch_ = v;
        for (const std::size_t at : fields.smp_synch) {
            out[at] = v < 0 ? stream.frame[at] : static_cast<std::uint8_t>(v);
        }
    }
    if (const std::int64_t v = knobs.conf_rev.load(); v != conf_rev_) {
        conf_rev_ = v;
        for (const std::size_t at : fields.conf_rev) {
            const std::uint32_t own = octets::load_be32(stream.frame.data() + at);
            octets::store_be32(out + at, v < 0 ? own : static_cast<std::uint32_t>(v));
        }
    }
    if (const bool v = knobs.simulation.load(); v != simulation_ && fields.reserved1) {
        simulation_ = v;
        const std::size_t at = *fields.reserved1;
        const std::uint16_t own = octets::load_be16(stream.frame.data() + at);
        octets::store_be16(out + at, v ? static_cast<std::uint16_t>(own | SIMULATION_BIT) : own);
    }
}

}  // namespace valdrin::io::sv_engine
