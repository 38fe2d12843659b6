// AF_PACKET sockets: the opening of a socket bound to one interface by name.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "enum_text.hpp"
#include "failure.hpp"
#include "fd.hpp"

namespace valdrin::io {

// A packet socket is an Fd; the name says which kind the publisher holds.
using Socket = Fd;

// Why a packet socket could not be opened, in the order the steps run.
enum class SocketError : std::uint8_t {
    BadInterfaceName,  // the name holds a NUL character
    NoSuchInterface,   // the name resolves to no interface index
    Open,              // socket(AF_PACKET, ...) failed
    Bind,              // binding to the interface failed
};

// Per SocketError: the whole message (bad_interface_name), or the context
// that precedes the OS text.
inline constexpr auto socket_error_texts = std::to_array<EnumText<SocketError>>({
    {SocketError::BadInterfaceName, "bad interface name"},
    {SocketError::NoSuchInterface, "interface"},
    {SocketError::Open, "AF_PACKET socket"},
    {SocketError::Bind, "bind"},
});
static_assert(rows_in_order(socket_error_texts, SocketError::Bind), "one row per SocketError, in order");

// Returns the table text of `error`.
[[nodiscard]] constexpr std::string_view describe(SocketError error) noexcept {
    return text_of(socket_error_texts, error);
}

// A failure and its complete message: "bad interface name",
// "interface <name>: <OS text>", "AF_PACKET socket: <OS text>" or
// "bind: <OS text>".
using SocketFailure = Failure<SocketError>;

// Returns an AF_PACKET raw socket that only sends (protocol 0: it receives
// nothing), bound to the interface named `iface`; the caller owns it.
[[nodiscard]] std::expected<Socket, SocketFailure> open_sending_socket(std::string_view iface);

}  // namespace valdrin::io
