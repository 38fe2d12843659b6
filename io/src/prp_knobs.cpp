#include "prp_knobs.hpp"

namespace valdrin::io {

bool take_one(std::atomic<std::uint32_t>& count) noexcept {
    std::uint32_t left = count.load();
    while (left != 0 && !count.compare_exchange_weak(left, left - 1)) {
    }
    return left != 0;
}

std::uint64_t Draws::next() noexcept {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

bool PrpKnobs::any() const noexcept {
    constexpr auto relaxed = std::memory_order_relaxed;
    bool on = repeat_seq.load(relaxed) != 0 || wrong_lan.load(relaxed) || bad_size.load(relaxed);
    for (std::size_t l = 0; l < 2; ++l) {
        on = on || drop[l].load(relaxed) != 0 || loss[l].load(relaxed) != 0 || delay_ns[l].load(relaxed) != 0;
    }
    return on;
}

PrpFrameFaults PrpKnobs::next_frame(Draws& draws) noexcept {
    PrpFrameFaults out{.wrong_lan = wrong_lan.load(), .bad_size = bad_size.load(), .repeat_seq = take_one(repeat_seq)};
    for (std::size_t l = 0; l < 2; ++l) {
        const std::uint32_t share = loss[l].load(std::memory_order_relaxed);
        out.skip[l] = take_one(drop[l]) || (share != 0 && draws.chance(share));
        out.delay_ns[l] = delay_ns[l].load(std::memory_order_relaxed);
    }
    return out;
}

}  // namespace valdrin::io
