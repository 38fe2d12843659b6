// The errors of a capture: which step failed and the OS error number. A
// value, so that the capture thread can record one without allocating; the
// text is composed when someone asks for it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "enum_text.hpp"
#include "packet_socket.hpp"
#include "rt_thread.hpp"

namespace valdrin::io {

// The step that failed, in the order start() runs them, then the
// conditions that end a running capture.
enum class CaptureStep : std::uint8_t {
    None,           // no error
    InterfaceName,  // empty, too long, or containing NUL
    Interface,      // if_nametoindex
    Socket,         // socket(AF_PACKET, SOCK_RAW, 0)
    Version,        // PACKET_VERSION
    RxRing,         // PACKET_RX_RING
    Map,            // mmap of the ring
    Filter,         // SO_ATTACH_FILTER
    Stamping,       // SO_TIMESTAMPNS: software stamps on arrival
    HwStamping,     // PACKET_TIMESTAMP: raw hardware stamps asked for
    Bind,           // bind to the interface, all protocols
    Membership,     // PACKET_ADD_MEMBERSHIP (all-multicast or promiscuous)
    Eventfd,        // the stop descriptor
    Thread,         // creating the thread
    CpuOutOfRange,  // the CPU does not fit a cpu_set_t; value: the CPU
    Pin,            // sched_setaffinity; value: the CPU
    Priority,       // pthread_setschedparam SCHED_FIFO; value: the priority
    Poll,           // poll failed in the loop
    SocketError,    // the socket reported an error other than link down
    InterfaceGone,  // the interface was removed while capturing
};

// The context of each step's text, in the order of CaptureStep; the steps
// the publisher shares take its texts.
inline constexpr auto capture_step_contexts = std::to_array<EnumText<CaptureStep>>({
    {CaptureStep::None, ""},
    {CaptureStep::InterfaceName, describe(SocketError::BadInterfaceName)},
    {CaptureStep::Interface, describe(SocketError::NoSuchInterface)},
    {CaptureStep::Socket, describe(SocketError::Open)},
    {CaptureStep::Version, "PACKET_VERSION"},
    {CaptureStep::RxRing, "PACKET_RX_RING"},
    {CaptureStep::Map, "mmap"},
    {CaptureStep::Filter, "SO_ATTACH_FILTER"},
    {CaptureStep::Stamping, "SO_TIMESTAMPNS"},
    {CaptureStep::HwStamping, "PACKET_TIMESTAMP"},
    {CaptureStep::Bind, describe(SocketError::Bind)},
    {CaptureStep::Membership, "PACKET_ADD_MEMBERSHIP"},
    {CaptureStep::Eventfd, "eventfd"},
    {CaptureStep::Thread, "capture thread"},
    {CaptureStep::CpuOutOfRange, describe(SchedError::CpuOutOfRange)},
    {CaptureStep::Pin, describe(SchedError::Pin)},
    {CaptureStep::Priority, describe(SchedError::Priority)},
    {CaptureStep::Poll, "poll"},
    {CaptureStep::SocketError, "socket error"},
    {CaptureStep::InterfaceGone, "went away"},
});
static_assert(rows_in_order(capture_step_contexts, CaptureStep::InterfaceGone), "one row per CaptureStep, in order");

// Returns the context text of `step`, e.g. "AF_PACKET socket".
[[nodiscard]] constexpr std::string_view context(CaptureStep step) noexcept {
    return text_of(capture_step_contexts, step);
}

// A failed step: the errno it saw (0 when none applies) and, for the CPU
// steps and priority, the CPU or priority asked for.
struct CaptureError {
    CaptureStep step = CaptureStep::None;
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
