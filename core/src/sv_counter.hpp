// The smpCnt rule of one Sampled Values stream: the counter's wrap learnt
// from the stream itself, where each ASDU's sample sits on the unwrapped
// counter, and which samples were lost, repeated or late. The Analyzer
// counts every stream with it; the export and the figures lay samples out
// with it, so that all of them agree on what was lost.
#pragma once

#include <array>
#include <cstdint>

namespace valdrin::analysis {

// What an ASDU's smpCnt is to the counters of its stream before it.
enum class SvOrder : std::uint8_t {
    Newest,     // ahead of the newest (or the stream's first): a new sample
    Late,       // behind the newest and not received before: a new sample, out of order
    Duplicate,  // a sample received before: the newest again, or one within the last wrap / 2
};

// Where an ASDU's sample sits: its counter and the laps of the wrap before
// it, lap 0 holding the stream's first sample (a late sample before that
// one may be in lap -1). A duplicate sits where the sample it repeats does.
struct SvPlace {
    SvOrder order = SvOrder::Newest;
    std::uint16_t smp_cnt = 0;
    std::int64_t lap = 0;
    friend bool operator==(const SvPlace&, const SvPlace&) = default;
};

// One stream's counter rule, fed the smpCnt of each of its ASDUs in arrival
// order. The wrap (the counter after wrap - 1 is 0) is 65536 until the
// first fall by more than half of the largest counter so far (from 16 up),
// which sets it to that largest + 1 (9-2LE counters wrap each second, at
// the sample rate); a later counter at or above it widens it to that
// counter + 1. A counter fewer than wrap - wrap / 2 ahead of the newest
// (integer halves) moves the newest forward; one further ahead is taken as
// behind it, late or repeated. A sample's index is lap * wrap + smp_cnt
// under the wrap as it stands, so the samples after a wrap move up when
// the wrap widens: the counters passed over under the smaller wrap become
// lost ones.
class SvCounter {
public:
    // Places the smpCnt of the stream's next ASDU. Inline: the analysis
    // calls it once per ASDU.
    [[nodiscard]] SvPlace add(std::uint16_t smp_cnt) noexcept;

    // The sample index of `place` (of this stream) under the wrap as it stands.
    [[nodiscard]] std::int64_t index(const SvPlace& place) const noexcept {
        return place.lap * static_cast<std::int64_t>(wrap_) + place.smp_cnt;
    }
    // Samples from the earliest received to the newest (0 before the first).
    [[nodiscard]] std::uint64_t span() const noexcept {
        return received_ == 0 ? 0 : static_cast<std::uint64_t>(index(newest_) - index(earliest_)) + 1;
    }
    // Samples of that span never received.
    [[nodiscard]] std::uint64_t lost() const noexcept { return span() - received_; }
    // ASDUs that repeated a sample received before.
    [[nodiscard]] std::uint64_t duplicated() const noexcept { return duplicated_; }
    // Samples received behind the newest (counted in the span, not lost).
    [[nodiscard]] std::uint64_t out_of_order() const noexcept { return out_of_order_; }
    // Distinct samples received.
    [[nodiscard]] std::uint64_t received() const noexcept { return received_; }
    // The wrap as it stands: the counter after wrap - 1 is 0.
    [[nodiscard]] std::uint32_t wrap() const noexcept { return wrap_; }
    // Whether the wrap was learnt from a fall (else it is 65536 or widened from it).
    [[nodiscard]] bool wrap_learnt() const noexcept { return wrap_learnt_; }
    // The place of the stream's first sample, of the newest and of the earliest received.
    [[nodiscard]] const SvPlace& first() const noexcept { return first_; }
    [[nodiscard]] const SvPlace& newest() const noexcept { return newest_; }
    [[nodiscard]] const SvPlace& earliest() const noexcept { return earliest_; }

private:
    // The first ASDU, and a counter the wrap does not hold: out of line, rare.
    SvPlace start(std::uint16_t smp_cnt) noexcept;
    void learn_or_widen(std::uint16_t smp_cnt) noexcept;
    // Clears `count` bits from counter `from` on, modulo `wrap`.
    void clear(std::uint32_t from, std::uint32_t count, std::uint32_t wrap) noexcept;
    void set_bit(std::uint32_t c) noexcept { bits_[c >> 6] |= std::uint64_t{1} << (c & 63); }
    [[nodiscard]] bool test_bit(std::uint32_t c) const noexcept { return (bits_[c >> 6] >> (c & 63)) & 1; }

    // Laps stop here: 2^40 laps take 2^41 ASDUs or more, so an index
    // (|lap| * 65536 + smp_cnt) always fits its 64 bits.
    static constexpr std::int64_t MAX_LAP = std::int64_t{1} << 40;

    std::uint32_t wrap_ = 65536;
    bool wrap_learnt_ = false;
    std::uint16_t max_seen_ = 0;  // largest counter before the wrap was learnt
    std::uint64_t received_ = 0;
    std::uint64_t duplicated_ = 0;
    std::uint64_t out_of_order_ = 0;
    SvPlace first_{};
    SvPlace newest_{};
    SvPlace earliest_{};
    // Bit c: counter c was received within the last wrap / 2 counters.
    // Indexed by the counter itself, so a newly learnt wrap needs no move.
    std::array<std::uint64_t, 65536 / 64> bits_{};
};

inline SvPlace SvCounter::add(std::uint16_t c) noexcept {
    if (received_ == 0) return start(c);
    if (!wrap_learnt_ || c >= wrap_) learn_or_widen(c);
    const std::uint32_t newest = newest_.smp_cnt;
    const std::uint32_t ahead = (c + wrap_ - newest) % wrap_;
    if (ahead == 0) {
        ++duplicated_;
        return {SvOrder::Duplicate, newest_.smp_cnt, newest_.lap};
    }
    if (ahead < wrap_ - wrap_ / 2) {
        if (ahead > 1) clear((newest + 1) % wrap_, ahead - 1, wrap_);
        set_bit(c);
        ++received_;
        const bool wrapped = c < newest && newest_.lap < MAX_LAP;
        newest_ = {SvOrder::Newest, c, newest_.lap + (wrapped ? 1 : 0)};
        return newest_;
    }
    const bool wrapped = c > newest && newest_.lap > -MAX_LAP;
    SvPlace place{SvOrder::Late, c, newest_.lap - (wrapped ? 1 : 0)};
    if (test_bit(c)) {
        ++duplicated_;
        place.order = SvOrder::Duplicate;
        return place;
    }
    set_bit(c);
    ++received_;
    ++out_of_order_;
    // Behind the earliest: the counters between it and this one were never
    // received, and count as lost from now on.
    if (index(place) < index(earliest_)) earliest_ = place;
    return place;
}

}  // namespace valdrin::analysis
