// The GOOSE publisher thread's body.
#pragma once

#include <memory>
#include <optional>

#include "goose_engine/shared.hpp"
#include "packet_socket.hpp"
#include "setup_report.hpp"

namespace valdrin::io::goose_engine {

// The name the publisher thread carries.
inline constexpr char THREAD_NAME[] = "goose-pub";

// Sets the thread up and reports, then sends every block's frames on its
// schedule until the stop flag is seen. Holds `shared` for its life and
// closes `socket` when it ends. With `lan_b` (PRP), every frame goes out on
// `socket` (LAN A) and on `lan_b` with its trailer, one sequence number per
// source MAC, and each node's supervision frames every 2 s.
void transmit(std::shared_ptr<Shared> shared, Socket socket, std::optional<Socket> lan_b, Reporter reporter) noexcept;

}  // namespace valdrin::io::goose_engine
