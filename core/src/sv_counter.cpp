// The smpCnt rule of one Sampled Values stream.
#include "sv_counter.hpp"

namespace valdrin::analysis {

namespace {

// A counter that falls from below this teaches no wrap: no sample rate is
// that small, and a late counter at a stream's start must not set one.
constexpr std::uint16_t MIN_WRAP_LEARNT = 16;

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

}  // namespace

SvPlace SvCounter::add(std::uint16_t c) noexcept {
    if (received_ == 0) {
        received_ = 1;
        newest_ = earliest_ = {SvOrder::Newest, c, 0};
        max_seen_ = c;
        set_bit(bits_, c);
        return newest_;
    }
    if (!wrap_learnt_) {
        // The first fall by more than half of the largest counter: the
        // counter after that largest one was 0.
        if (c < newest_.smp_cnt && newest_.smp_cnt - c > max_seen_ / 2 && max_seen_ >= MIN_WRAP_LEARNT) {
            wrap_ = std::uint32_t{max_seen_} + 1;
            wrap_learnt_ = true;
        } else if (c > max_seen_) {
            max_seen_ = c;
        }
    }
    if (c >= wrap_) {
        // A counter the wrap does not hold: the wrap is at least one more.
        // Every wrap passed so far skipped the counters from the old wrap
        // to this one; as indices move up with the wider wrap, the span
        // grows by them and they count as lost.
        clear_bits(bits_, wrap_, c + 1 - wrap_, 65536);
        wrap_ = std::uint32_t{c} + 1;
    }
    const std::uint32_t newest = newest_.smp_cnt;
    const std::uint32_t ahead = (c + wrap_ - newest) % wrap_;
    if (ahead == 0) {
        ++duplicated_;
        return {SvOrder::Duplicate, newest_.smp_cnt, newest_.lap};
    }
    if (ahead < wrap_ - wrap_ / 2) {
        if (ahead > 1) clear_bits(bits_, (newest + 1) % wrap_, ahead - 1, wrap_);
        set_bit(bits_, c);
        ++received_;
        const bool wrapped = c < newest && newest_.lap < MAX_LAP;
        newest_ = {SvOrder::Newest, c, newest_.lap + (wrapped ? 1 : 0)};
        return newest_;
    }
    const bool wrapped = c > newest && newest_.lap > -MAX_LAP;
    SvPlace place{SvOrder::Late, c, newest_.lap - (wrapped ? 1 : 0)};
    if (test_bit(bits_, c)) {
        ++duplicated_;
        place.order = SvOrder::Duplicate;
        return place;
    }
    set_bit(bits_, c);
    ++received_;
    ++out_of_order_;
    // Behind the earliest: the counters between it and this one were never
    // received, and count as lost from now on.
    if (index(place) < index(earliest_)) earliest_ = place;
    return place;
}

}  // namespace valdrin::analysis
