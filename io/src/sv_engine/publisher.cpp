#include "sv_engine/publisher.hpp"

#include <optional>
#include <thread>
#include <utility>

#include "packet_socket.hpp"
#include "sv_engine/transmit.hpp"

namespace valdrin::io::sv_engine {

Publisher::Publisher(std::shared_ptr<const Config> config)
    : config_(std::move(config)),
      counters_(std::make_shared<Counters>()),
      faults_(std::make_shared<Faults>(*config_)),
      slot_("the engine thread ended during setup", counters_->stop) {}

Publisher::~Publisher() {
    try {
        dispose();
    } catch (...) {
        // Only an owner that skipped dispose() gets here; a thread that could
        // not be joined ends the process in its destructor, as it must.
    }
}

std::expected<void, StartFailure> Publisher::start(Blocking& blocking) {
    // PRP: LAN B's socket, opened first; LAN A's is the slot's own.
    std::optional<Socket> lan_b;
    if (config_->prp_iface_b) {
        auto socket = open_sending_socket(*config_->prp_iface_b);
        if (!socket) return std::unexpected(StartFailure{StartError::Socket, "LAN B: " + socket.error().text});
        lan_b.emplace(std::move(*socket));
    }
    return slot_.start(blocking, config_->iface, [&](Socket socket, Reporter reporter, bool resume) {
        return std::thread(transmit, config_, counters_, faults_, std::move(socket), std::move(lan_b),
                           std::move(reporter), resume);
    });
}

void Publisher::stop(Blocking& blocking) { slot_.stop(blocking); }

void Publisher::dispose() { slot_.dispose(); }

Stats Publisher::stats() const noexcept {
    const Counters& counters = *counters_;
    return {
        .frames_sent = counters.frames_sent.load(),
        .send_errors = counters.send_errors.load(),
        .late_frames = counters.late_frames.load(),
        .max_lateness_ns = counters.max_lateness_ns.load(),
    };
}

}  // namespace valdrin::io::sv_engine
