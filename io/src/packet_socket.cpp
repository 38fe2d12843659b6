#include "packet_socket.hpp"

#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>

#include "os_error.hpp"

namespace valdrin::io {

std::expected<Socket, SocketFailure> open_sending_socket(std::string_view iface) {
    using Failure = std::unexpected<SocketFailure>;
    if (iface.find('\0') != std::string_view::npos) {
        return Failure({SocketError::BadInterfaceName,
                        std::string(describe(SocketError::BadInterfaceName))});
    }
    const std::string name(iface);
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        const int error = errno;  // before building the text can touch it
        return Failure({SocketError::NoSuchInterface,
                        std::string(describe(SocketError::NoSuchInterface)) + " " + name + ": " +
                            os_text(error)});
    }
    Socket socket(::socket(AF_PACKET, SOCK_RAW, 0));
    if (socket.get() < 0) {
        return Failure({SocketError::Open, os_error(describe(SocketError::Open))});
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = 0;
    address.sll_ifindex = static_cast<int>(index);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Failure({SocketError::Bind, os_error(describe(SocketError::Bind))});
    }
    return socket;
}

}  // namespace valdrin::io
