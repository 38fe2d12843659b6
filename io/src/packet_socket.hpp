// AF_PACKET sockets: the opening of a socket bound to one interface by name.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "failure.hpp"
#include "fd.hpp"

namespace valdrin::io {

// A packet socket is an Fd; the name says which kind the publisher holds.
using Socket = Fd;

// Why a packet socket could not be opened, in the order the steps run.
enum class SocketError : std::uint8_t {
    bad_interface_name,  // the name holds a NUL character
    no_such_interface,   // the name resolves to no interface index
    open,                // socket(AF_PACKET, ...) failed
    bind,                // binding to the interface failed
};

// Per SocketError: the whole message (bad_interface_name), or the context
// that precedes the OS text.
inline constexpr std::array<std::string_view, 4> socket_error_texts = {
    "bad interface name",
    "interface",
    "AF_PACKET socket",
    "bind",
};
static_assert(socket_error_texts.size() == static_cast<std::size_t>(SocketError::bind) + 1,
              "one text per SocketError");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(SocketError error) noexcept {
    return socket_error_texts[static_cast<std::size_t>(error)];
}

// A failure and its complete message: "bad interface name",
// "interface <name>: <OS text>", "AF_PACKET socket: <OS text>" or
// "bind: <OS text>".
using SocketFailure = Failure<SocketError>;

// Returns an AF_PACKET raw socket that only sends (protocol 0: it receives
// nothing), bound to the interface named `iface`; the caller owns it.
[[nodiscard]] std::expected<Socket, SocketFailure> open_sending_socket(std::string_view iface);

}  // namespace valdrin::io
