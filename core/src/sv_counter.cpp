// The smpCnt rule of one Sampled Values stream.
#include "sv_counter.hpp"

namespace valdrin::analysis {

namespace {

// A counter that falls from below this teaches no wrap: no sample rate is
// that small, and a late counter at a stream's start must not set one.
constexpr std::uint16_t MIN_WRAP_LEARNT = 16;

}  // namespace

SvPlace SvCounter::start(std::uint16_t c) noexcept {
    received_ = 1;
    first_ = newest_ = earliest_ = {SvOrder::Newest, c, 0};
    max_seen_ = c;
    set_bit(c);
    return newest_;
}

void SvCounter::learn_or_widen(std::uint16_t c) noexcept {
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
        clear(wrap_, c + 1 - wrap_, 65536);
        wrap_ = std::uint32_t{c} + 1;
    }
}

void SvCounter::clear(std::uint32_t from, std::uint32_t count, std::uint32_t wrap) noexcept {
    while (count > 0) {
        if ((from & 63) == 0 && count >= 64 && wrap - from >= 64) {
            bits_[from >> 6] = 0;
            from += 64;
            count -= 64;
        } else {
            bits_[from >> 6] &= ~(std::uint64_t{1} << (from & 63));
            ++from;
            --count;
        }
        if (from >= wrap) from = 0;
    }
}

}  // namespace valdrin::analysis
