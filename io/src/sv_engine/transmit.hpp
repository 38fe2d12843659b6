// The SV transmit thread's body: scheduling set-up, then one period after
// another: render every stream, sleep until the period's absolute time, send
// all frames with one sendmmsg, count.
#pragma once

#include <memory>
#include <optional>

#include "packet_socket.hpp"
#include "setup_report.hpp"
#include "sv_engine/config.hpp"
#include "sv_engine/counters.hpp"
#include "sv_engine/faults.hpp"

namespace valdrin::io::sv_engine {

// The name the transmit thread carries.
inline constexpr char THREAD_NAME[] = "sv-engine";

// The body of the transmit thread: set-up, report, then pace and send until
// the stop flag is seen, applying `faults` to every frame. Holds `config`,
// `counters` and `faults` for its life and
// closes `socket` when it ends. The first frame carries start_second, or,
// when `resume` (a run after a stop), the first period not yet due. With
// `config->periods` the thread ends on its own after the last of them.
// With `lan_b` (config->prp_iface_b's socket) every frame goes out on both
// sockets with its PRP trailer; frames_sent counts the copies on both.
void transmit(std::shared_ptr<const Config> config, std::shared_ptr<Counters> counters,
              std::shared_ptr<Faults> faults, Socket socket, std::optional<Socket> lan_b, Reporter reporter,
              bool resume) noexcept;

}  // namespace valdrin::io::sv_engine
