// The errors of a capture: which step failed and the OS error number. A
// value, so that the capture thread can record one without allocating; the
// text is composed when someone asks for it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "packet_socket.hpp"
#include "rt_thread.hpp"

namespace valdrin::io {

// The step that failed, in the order start() runs them, then the
// conditions that end a running capture.
enum class CaptureStep : std::uint8_t {
    none,            // no error
    interface_name,  // empty, too long, or containing NUL
    interface,       // if_nametoindex
    socket,          // socket(AF_PACKET, SOCK_RAW, 0)
    version,         // PACKET_VERSION
    rx_ring,         // PACKET_RX_RING
    map,             // mmap of the ring
    filter,          // SO_ATTACH_FILTER
    stamping,        // SO_TIMESTAMPNS: software stamps on arrival
    hw_stamping,     // PACKET_TIMESTAMP: raw hardware stamps asked for
    bind,            // bind to the interface, all protocols
    membership,      // PACKET_ADD_MEMBERSHIP (all-multicast or promiscuous)
    eventfd,         // the stop descriptor
    thread,          // creating the thread
    cpu_out_of_range,  // the CPU does not fit a cpu_set_t; value: the CPU
    pin,             // sched_setaffinity; value: the CPU
    priority,        // pthread_setschedparam SCHED_FIFO; value: the priority
    poll,            // poll failed in the loop
    socket_error,    // the socket reported an error other than link down
    interface_gone,  // the interface was removed while capturing
    count_
};

// The context of each step's text, in the order of CaptureStep; the steps
// the publisher shares take its texts.
inline constexpr std::array<std::string_view, static_cast<std::size_t>(CaptureStep::count_)>
    capture_step_contexts{
        "",
        describe(SocketError::bad_interface_name),
        describe(SocketError::no_such_interface),
        describe(SocketError::open),
        "PACKET_VERSION",
        "PACKET_RX_RING",
        "mmap",
        "SO_ATTACH_FILTER",
        "SO_TIMESTAMPNS",
        "PACKET_TIMESTAMP",
        describe(SocketError::bind),
        "PACKET_ADD_MEMBERSHIP",
        "eventfd",
        "capture thread",
        describe(SchedError::cpu_out_of_range),
        describe(SchedError::pin),
        describe(SchedError::priority),
        "poll",
        "socket error",
        "went away",
    };
static_assert(capture_step_contexts.size() == static_cast<std::size_t>(CaptureStep::count_) &&
              capture_step_contexts.back() == "went away");

// Returns the context text of `step`, e.g. "AF_PACKET socket".
[[nodiscard]] constexpr std::string_view context(CaptureStep step) noexcept {
    const auto index = static_cast<std::size_t>(step);
    return index < capture_step_contexts.size() ? capture_step_contexts[index] : "";
}

// A failed step: the errno it saw (0 when none applies) and, for the CPU
// steps and priority, the CPU or priority asked for.
struct CaptureError {
    CaptureStep step = CaptureStep::none;
    int os_error = 0;
    std::int64_t value = 0;

    friend bool operator==(const CaptureError&, const CaptureError&) = default;
};

// Returns the error's text in the house style, naming `interface` where
// the step concerns it: "interface eth9: No such device (os error 19)",
// "AF_PACKET socket: Operation not permitted (os error 1)",
// "interface veth1 went away", "" for none.
[[nodiscard]] std::string describe(const CaptureError& error, std::string_view interface);

}  // namespace valdrin::io
