// The GOOSE publisher thread's body.
#pragma once

#include <memory>

#include "goose_engine/shared.hpp"
#include "packet_socket.hpp"
#include "setup_report.hpp"

namespace valdrin::io::goose_engine {

// The name the publisher thread carries.
inline constexpr char THREAD_NAME[] = "goose-pub";

// Sets the thread up and reports, then sends every block's frames on its
// schedule until the stop flag is seen. Holds `shared` for its life and
// closes `socket` when it ends.
void transmit(std::shared_ptr<Shared> shared, Socket socket, Reporter reporter) noexcept;

}  // namespace valdrin::io::goose_engine
