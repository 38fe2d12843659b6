#include "overcurrent.hpp"

#include <cmath>
#include <utility>

namespace valdrin::protection {

std::expected<Overcurrent, SettingError> Overcurrent::make(const OvercurrentSettings& settings) {
    if (settings.window == 0) return std::unexpected(SettingError::WindowEmpty);
    if (settings.window > MAX_WINDOW) return std::unexpected(SettingError::WindowTooLong);
    if (settings.pickup == 0) return std::unexpected(SettingError::PickupZero);
    return Overcurrent(settings, std::vector<std::uint64_t>(settings.window, 0));
}

Overcurrent::Overcurrent(const OvercurrentSettings& settings, std::vector<std::uint64_t> squares) noexcept
    : settings_(settings), squares_(std::move(squares)) {
    // At most 2^64 * 2^16: well inside 128 bits.
    const auto pickup = static_cast<unsigned __int128>(settings.pickup);
    threshold_ = pickup * pickup * settings.window;
}

Decision Overcurrent::add(std::int32_t sample) noexcept {
    // |INT32_MIN|^2 = 2^62: fits in 64 bits unsigned.
    const auto magnitude = static_cast<std::uint64_t>(sample < 0 ? -static_cast<std::int64_t>(sample) : sample);
    const std::uint64_t square = magnitude * magnitude;
    sum_ -= squares_[next_];
    sum_ += square;
    squares_[next_] = square;
    next_ = next_ + 1 == squares_.size() ? 0 : next_ + 1;
    if (filled_ < squares_.size()) {
        ++filled_;
        if (filled_ < squares_.size()) return Decision::None;
    }
    if (sum_ > threshold_) {
        if (!picked_up_) {
            picked_up_ = true;
            above_ = 0;
        } else if (above_ < settings_.delay) {
            ++above_;
        }
        if (!tripped_ && above_ >= settings_.delay) {
            tripped_ = true;
            return Decision::Trip;
        }
        return Decision::None;
    }
    picked_up_ = false;
    if (tripped_) {
        tripped_ = false;
        return Decision::Reset;
    }
    return Decision::None;
}

void Overcurrent::clear() noexcept {
    for (std::uint64_t& square : squares_) square = 0;
    sum_ = 0;
    next_ = 0;
    filled_ = 0;
    above_ = 0;
    picked_up_ = false;
}

double Overcurrent::rms() const noexcept {
    if (filled_ < squares_.size()) return 0.0;
    return std::sqrt(static_cast<double>(sum_) / static_cast<double>(squares_.size()));
}

}  // namespace valdrin::protection
