// An analysis event that owns its octets: a fixed-size copy of an Event, so
// that events can wait in a queue after the frame they came from is gone.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "analysis.hpp"

namespace valdrin::analysis {

// The longest svID or gocbRef kept (longer ones are untracked anyway).
inline constexpr std::size_t STORED_ID = 255;
// The longest frame kept: a full Ethernet frame with an 802.1Q tag, no FCS.
inline constexpr std::size_t STORED_FRAME = 1518;

// One Event with copies of its id and frame octets (cut to the sizes above;
// the full sizes say whether they were cut).
struct StoredEvent {
    Event event{};  // id and frame are empty views: the octets are below
    std::uint16_t id_size = 0;
    std::uint16_t frame_size = 0;
    std::uint32_t frame_full_size = 0;
    std::array<std::uint8_t, STORED_ID> id{};
    std::array<std::uint8_t, STORED_FRAME> frame{};

    // The copy of `from`; never allocates.
    static void store(const Event& from, StoredEvent& out) noexcept {
        out.event = from;
        out.event.id = {};
        out.event.frame = {};
        out.id_size = static_cast<std::uint16_t>(std::min(from.id.size(), STORED_ID));
        std::copy_n(from.id.data(), out.id_size, out.id.data());
        out.frame_size = static_cast<std::uint16_t>(std::min(from.frame.size(), STORED_FRAME));
        out.frame_full_size = static_cast<std::uint32_t>(std::min<std::size_t>(from.frame.size(), UINT32_MAX));
        std::copy_n(from.frame.data(), out.frame_size, out.frame.data());
    }
    // The id octets kept.
    [[nodiscard]] Bytes id_octets() const noexcept { return Bytes(id).first(id_size); }
    // The frame octets kept.
    [[nodiscard]] Bytes frame_octets() const noexcept { return Bytes(frame).first(frame_size); }
};

}  // namespace valdrin::analysis
