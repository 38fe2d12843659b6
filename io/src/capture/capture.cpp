#include "capture.hpp"

#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "bpf.hpp"
#include "clock.hpp"
#include "fd.hpp"
#include "futex.hpp"
#include "os_error.hpp"
#include "rt_thread.hpp"

namespace valdrin::io {

std::string describe(const CaptureError& error, std::string_view interface) {
    const std::string_view text = context(error.step);
    switch (error.step) {
        case CaptureStep::None:
        case CaptureStep::InterfaceName:
            return std::string(text);
        case CaptureStep::Interface:
            return os_error(std::string(text) + " " + std::string(interface), error.os_error);
        case CaptureStep::InterfaceGone:
            return "interface " + std::string(interface) + " " + std::string(text);
        case CaptureStep::CpuOutOfRange:
            return io::describe(SchedFault{.error = SchedError::CpuOutOfRange,
                                           .cpu = static_cast<std::uint64_t>(error.value)});
        case CaptureStep::Pin:
            return io::describe(SchedFault{.error = SchedError::Pin,
                                           .cpu = static_cast<std::uint64_t>(error.value),
                                           .os_error = error.os_error});
        case CaptureStep::Priority:
            return io::describe(SchedFault{.error = SchedError::Priority,
                                           .priority = static_cast<std::int32_t>(error.value),
                                           .os_error = error.os_error});
        default:
            return os_error(text, error.os_error);
    }
}

namespace {

enum Phase : std::uint32_t { PHASE_IDLE, PHASE_STARTING, PHASE_RUNNING, PHASE_ENDED };

// Frames handled between two looks at the clock and the stop flag.
constexpr std::size_t BATCH = 256;

// The capture whose loop runs on this thread, if any: a handler's stop()
// must not join its own thread.
thread_local const Capture* loop_of = nullptr;

CaptureError failed(CaptureStep step, std::int64_t value = 0) noexcept {
    return {.step = step, .os_error = errno, .value = value};
}

PacketType packet_type_of(std::uint8_t type) noexcept {
    return type <= PACKET_OUTGOING ? static_cast<PacketType>(type) : PacketType::Other;
}

StampSource stamp_of(std::uint32_t status) noexcept {
    if (status & TP_STATUS_TS_RAW_HARDWARE) return StampSource::Hardware;
    if (status & TP_STATUS_TS_SOFTWARE) return StampSource::Software;
    return StampSource::Ring;
}

// The interface's flags by index, through any socket; the errno (ENODEV
// once it is gone) otherwise.
std::expected<short, int> interface_flags(int fd, int index) noexcept {
    ifreq request{};
    request.ifr_ifindex = index;
    if (ioctl(fd, SIOCGIFNAME, &request) != 0) return std::unexpected(errno);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) return std::unexpected(errno);
    return request.ifr_flags;
}

// The frame's metadata into `meta`, and its octets as on the wire: in the
// ring, or, when the kernel moved its 802.1Q tag out of band, copied to
// `scratch` (room for the frame and 4) with the tag back in place.
std::span<const std::uint8_t> as_on_the_wire(const RingFrame& frame, std::uint8_t* scratch,
                                             FrameMeta& meta) noexcept {
    meta.timestamp_ns = frame.seconds * NS_PER_S + frame.nanoseconds;
    meta.wire_length = frame.wire;
    meta.captured_length = frame.captured;
    meta.packet_type = packet_type_of(frame.packet_type);
    meta.stamp = stamp_of(frame.status);
    if ((frame.status & TP_STATUS_VLAN_VALID) == 0 || frame.captured < 12) {
        return {frame.data, frame.captured};
    }
    const std::uint16_t tpid =
        (frame.status & TP_STATUS_VLAN_TPID_VALID) ? frame.vlan_tpid : ETH_P_8021Q;
    std::memcpy(scratch, frame.data, 12);  // destination and source MAC
    scratch[12] = static_cast<std::uint8_t>(tpid >> 8);
    scratch[13] = static_cast<std::uint8_t>(tpid);
    scratch[14] = static_cast<std::uint8_t>(frame.vlan_tci >> 8);
    scratch[15] = static_cast<std::uint8_t>(frame.vlan_tci);
    std::memcpy(scratch + 16, frame.data + 12, frame.captured - 12);
    meta.wire_length += 4;
    meta.captured_length += 4;
    meta.tag_restored = true;
    return {scratch, frame.captured + 4u};
}

}  // namespace

// What one run owns: the socket, its ring, the stop descriptor, and room
// to restore a tag.
struct Capture::Run {
    Fd socket;
    Fd wake;
    RxRing ring;
    int index = 0;
    std::vector<std::uint8_t> scratch;
    // The thread's own, set when it starts:
    pollfd fds[2]{};               // the socket, the stop descriptor
    RingFrame frame{};             // the frame being handed over
    std::int64_t next_idle = 0;    // CLOCK_MONOTONIC ns of the next idle pass
};

Capture::Capture(CaptureOptions options, FrameHandler& handler)
    : options_(std::move(options)), handler_(handler) {}

Capture::~Capture() { stop(); }

std::expected<void, CaptureError> Capture::start() {
    std::lock_guard guard(control_);
    if (thread_.joinable()) {
        if (phase_.load(std::memory_order_acquire) != PHASE_ENDED) {
            errno = EBUSY;
            return std::unexpected(failed(CaptureStep::Thread));
        }
        join_locked();  // ended by itself: start afresh
    }
    const std::string& name = options_.interface;
    if (name.empty() || name.size() >= IFNAMSIZ || name.find('\0') != std::string::npos) {
        return std::unexpected(CaptureError{.step = CaptureStep::InterfaceName});
    }
    auto run = std::make_unique<Run>();
    run->index = static_cast<int>(if_nametoindex(name.c_str()));
    if (run->index == 0) return std::unexpected(failed(CaptureStep::Interface));

    // Protocol 0 until bound: nothing reaches the socket before its filter.
    run->socket = Fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    const int fd = run->socket.get();
    if (fd < 0) return std::unexpected(failed(CaptureStep::Socket));
    auto ring = RxRing::map(fd, options_.ring);
    if (!ring) return std::unexpected(ring.error());
    run->ring = std::move(*ring);

    const std::span<const sock_filter> code = process_bus_filter(options_.include_outgoing, options_.redundancy);
    const sock_fprog program{static_cast<unsigned short>(code.size()),
                             const_cast<sock_filter*>(code.data())};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        return std::unexpected(failed(CaptureStep::Filter));
    }
    // Stamps taken as frames arrive rather than when copied to the ring.
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        return std::unexpected(failed(CaptureStep::Stamping));
    }
    if (options_.timestamps == Timestamps::Hardware) {
        const int flags = SOF_TIMESTAMPING_RAW_HARDWARE;
        if (setsockopt(fd, SOL_PACKET, PACKET_TIMESTAMP, &flags, sizeof flags) != 0) {
            return std::unexpected(failed(CaptureStep::HwStamping));
        }
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = run->index;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(failed(CaptureStep::Bind));
    }
    if (options_.multicast != Multicast::AsConfigured) {
        packet_mreq membership{};
        membership.mr_ifindex = run->index;
        membership.mr_type = static_cast<unsigned short>(
            options_.multicast == Multicast::Promiscuous ? PACKET_MR_PROMISC : PACKET_MR_ALLMULTI);
        if (setsockopt(fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership)) {
            return std::unexpected(failed(CaptureStep::Membership));
        }
    }
    run->wake = Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (run->wake.get() < 0) return std::unexpected(failed(CaptureStep::Eventfd));
    // Room for the largest capture plus a restored tag.
    run->scratch.resize(std::max(options_.ring.block_size, options_.ring.frame_size) + 4u);
    const auto flags = interface_flags(fd, run->index);
    link_up_.store(flags && (*flags & IFF_UP), std::memory_order_relaxed);

    stop_.store(false, std::memory_order_relaxed);
    handler_stopped_ = false;
    failure_ = {};
    setup_failure_ = {};
    phase_.store(PHASE_STARTING, std::memory_order_release);
    run_ = std::move(run);
    try {
        thread_ = std::thread([this, r = run_.get()] { loop(*r); });
    } catch (const std::system_error& error) {
        run_.reset();
        phase_.store(PHASE_IDLE, std::memory_order_relaxed);
        return std::unexpected(
            CaptureError{.step = CaptureStep::Thread, .os_error = error.code().value()});
    }
    // The thread reports within a few system calls; no time bound needed.
    while (!futex_wait_until(phase_, NS_PER_S, [&] { return phase_.load() != PHASE_STARTING; })) {
    }
    if (phase_.load(std::memory_order_acquire) == PHASE_ENDED) {
        const CaptureError error = setup_failure_;
        join_locked();
        return std::unexpected(error);
    }
    return {};
}

void Capture::stop() noexcept {
    if (loop_of == this) {
        // From the handler: ask, and let whoever stops or starts next join.
        // Taking control_ here could wait on an owner that waits on us.
        handler_stopped_ = true;  // this thread's own: it wants no more frames
        stop_.store(true, std::memory_order_release);
        return;
    }
    std::lock_guard guard(control_);
    join_locked();
}

void Capture::join_locked() noexcept {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    // The eventfd cannot be full after one write; poll sees it at once.
    [[maybe_unused]] const ssize_t n = ::write(run_->wake.get(), &one, sizeof one);
    thread_.join();
    run_.reset();
    // A run that ended by itself keeps its failure visible until restarted.
    if (failure_.step == CaptureStep::None) phase_.store(PHASE_IDLE, std::memory_order_release);
}

bool Capture::running() const noexcept {
    return phase_.load(std::memory_order_acquire) == PHASE_RUNNING;
}

bool Capture::wait_ended(std::int64_t timeout_ns) const noexcept {
    return futex_wait_until(phase_, timeout_ns, [&] {
        const std::uint32_t phase = phase_.load(std::memory_order_acquire);
        return phase != PHASE_RUNNING && phase != PHASE_STARTING;
    });
}

CaptureError Capture::failure() const noexcept {
    if (phase_.load(std::memory_order_acquire) != PHASE_ENDED) return {};
    return failure_;
}

CaptureStats Capture::stats() const noexcept {
    constexpr auto relaxed = std::memory_order_relaxed;
    return {.frames = frames_.load(relaxed),
            .kernel_packets = kernel_packets_.load(relaxed),
            .kernel_drops = kernel_drops_.load(relaxed),
            .ring_freezes = ring_freezes_.load(relaxed),
            .link_downs = link_downs_.load(relaxed),
            .link_up = link_up_.load(relaxed)};
}

std::string Capture::describe(const CaptureError& error) const {
    return io::describe(error, options_.interface);
}

// --- The capture thread ---------------------------------------------------------
//
// loop() alternates handing over the frames the ring holds with waiting for
// more (or for the idle interval, or a stop); the socket's error events, the
// idle pass and, at a stop, the V3 block still open are steps of their own.

namespace {

void end_phase(std::atomic<std::uint32_t>& phase) noexcept {
    phase.store(PHASE_ENDED, std::memory_order_release);
    futex_wake_all(phase);
}

// Reads the socket's error queue empty (nothing here asks for any).
void drain_error_queue(int fd) noexcept {
    std::uint8_t sink[256];
    iovec vector{sink, sizeof sink};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    while (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) >= 0) {
    }
}

}  // namespace

bool Capture::set_up_thread() noexcept {
    if (options_.cpu) {
        if (const auto pinned = try_pin_to_cpu(*options_.cpu); !pinned) {
            setup_failure_ = {.step = pinned.error().error == SchedError::CpuOutOfRange
                                          ? CaptureStep::CpuOutOfRange
                                          : CaptureStep::Pin,
                              .os_error = pinned.error().os_error,
                              .value = *options_.cpu};
            return false;
        }
    }
    if (options_.rt_priority) {
        if (const auto raised = try_set_fifo_priority(*options_.rt_priority); !raised) {
            setup_failure_ = {.step = CaptureStep::Priority,
                              .os_error = raised.error().os_error,
                              .value = *options_.rt_priority};
            return false;
        }
    }
    return true;
}

std::size_t Capture::hand_over(Run& run) noexcept {
    std::size_t count = 0;
    while (count < BATCH && run.ring.next(run.frame)) {
        FrameMeta meta;
        const auto octets = as_on_the_wire(run.frame, run.scratch.data(), meta);
        handler_.on_frame(octets, meta);
        run.ring.release();
        ++count;
    }
    if (count != 0) frames_.fetch_add(count, std::memory_order_relaxed);
    return count;
}

void Capture::collect_counts(const Run& run) noexcept {
    const bool v3 = options_.ring.version == RingVersion::V3;
    tpacket_stats_v3 counts{};
    socklen_t size = v3 ? sizeof(tpacket_stats_v3) : sizeof(tpacket_stats);
    if (getsockopt(run.socket.get(), SOL_PACKET, PACKET_STATISTICS, &counts, &size) != 0) return;
    kernel_packets_.fetch_add(counts.tp_packets, std::memory_order_relaxed);
    kernel_drops_.fetch_add(counts.tp_drops, std::memory_order_relaxed);
    if (v3) ring_freezes_.fetch_add(counts.tp_freeze_q_cnt, std::memory_order_relaxed);
}

bool Capture::idle_pass(Run& run) noexcept {
    collect_counts(run);
    if (!link_up_.load(std::memory_order_relaxed)) {
        // Gone (ends the run), down (keeps waiting) or up again.
        const auto flags = interface_flags(run.socket.get(), run.index);
        if (!flags && flags.error() == ENODEV) {
            failure_ = {.step = CaptureStep::InterfaceGone, .os_error = ENODEV};
            return false;
        }
        if (flags && (*flags & IFF_UP)) link_up_.store(true, std::memory_order_relaxed);
    }
    // CLOCK_REALTIME since 1970 fits 64 bits until 2262.
    handler_.on_idle(static_cast<std::int64_t>(now_ns()));
    return true;
}

Capture::Woken Capture::pause_for_more(Run& run) noexcept {
    const timespec pause = timespec_of(options_.coalesce_ns);
    return ppoll(&run.fds[1], 1, &pause, nullptr) > 0 ? Woken::Stop : Woken::Frames;
}

Capture::Woken Capture::wait_for_frames(Run& run, std::int64_t timeout_ns) noexcept {
    const timespec timeout = timespec_of(timeout_ns);
    if (ppoll(run.fds, 2, &timeout, nullptr) < 0) {
        if (errno == EINTR) return Woken::Frames;
        failure_ = failed(CaptureStep::Poll);
        return Woken::Ended;
    }
    if (run.fds[1].revents != 0) return Woken::Stop;
    if (run.fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return Woken::SocketEvent;
    return Woken::Frames;
}

bool Capture::on_socket_event(Run& run, std::int64_t now) noexcept {
    const int fd = run.socket.get();
    int error = 0;
    socklen_t size = sizeof error;
    // Reading the error clears it, so that poll stops reporting it.
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error == ENETDOWN) {
        // Down, or going away: the idle pass tells which.
        if (link_up_.exchange(false, std::memory_order_relaxed)) {
            link_downs_.fetch_add(1, std::memory_order_relaxed);
        }
        run.next_idle = now;
        return true;
    }
    if (error != 0 || (run.fds[0].revents & POLLNVAL)) {
        failure_ = {.step = CaptureStep::SocketError, .os_error = error != 0 ? error : EBADF};
        return false;
    }
    // No error, so something sits in the error queue: drain it, or poll
    // would spin.
    drain_error_queue(fd);
    return true;
}

namespace {
// The longest a stop waits for the frames the ring holds to be handed over.
constexpr std::int64_t DRAIN_MOST_NS = 100'000'000;
}  // namespace

void Capture::drain_open_block(Run& run) noexcept {
    // The block the kernel is filling holds frames it has stamped but not
    // yet handed over. Its timer retires it within a block timeout whatever
    // the traffic, so wait that long (bounded) and hand them over too,
    // rather than lose the last of the run.
    const std::int64_t grace = std::min<std::int64_t>(
        std::int64_t{options_.ring.block_timeout_ms} * 1'000'000 + 2'000'000, DRAIN_MOST_NS);
    const std::int64_t until = monotonic_ns() + grace;
    for (std::int64_t now = monotonic_ns(); now < until; now = monotonic_ns()) {
        if (hand_over(run) != 0) continue;
        const timespec timeout = timespec_of(until - now);
        if (ppoll(&run.fds[0], 1, &timeout, nullptr) < 0 && errno != EINTR) break;
    }
}

void Capture::drain_ready_frames(Run& run) noexcept {
    // Frames the kernel put in the ring before the stop are the run's: were
    // they left there, they would count neither as frames nor as drops.
    const std::int64_t until = monotonic_ns() + DRAIN_MOST_NS;
    while (hand_over(run) != 0 && monotonic_ns() < until) {
    }
}

std::int64_t idle_period_ns(const CaptureOptions& options) noexcept {
    // A V3 ring hands frames over a block at a time, a block timeout apart
    // at the most: idle passes more often than that would wake the thread
    // to find nothing new.
    const std::int64_t block_ns = options.ring.version == RingVersion::V3
                                      ? std::int64_t{options.ring.block_timeout_ms} * 1'000'000
                                      : 0;  // at most 2^32 ms: no overflow
    return std::max({options.idle_interval_ns, block_ns, std::int64_t{100'000}});
}

void Capture::loop(Run& run) noexcept {
    // The poll's short timeouts should not be stretched by timer slack.
    prepare_thread(options_.thread_name);
    loop_of = this;
    if (!set_up_thread()) return end_phase(phase_);
    phase_.store(PHASE_RUNNING, std::memory_order_release);
    futex_wake_all(phase_);

    const std::int64_t idle = idle_period_ns(options_);
    run.fds[0] = {run.socket.get(), POLLIN, 0};
    run.fds[1] = {run.wake.get(), POLLIN, 0};
    run.next_idle = monotonic_ns();
    for (;;) {
        // Read before the pass: should it empty the ring, everything
        // retired before then has been handed over.
        const std::int64_t pass_ns = options_.report_drained ? static_cast<std::int64_t>(now_ns()) : 0;
        const std::size_t count = hand_over(run);
        if (options_.report_drained && count < BATCH) handler_.on_drained(pass_ns);
        const std::int64_t now = monotonic_ns();
        // Awake for frames anyway, the thread does an idle pass due within
        // half an interval now rather than wake again for it alone.
        if (now >= run.next_idle || (count != 0 && now >= run.next_idle - idle / 2)) {
            if (!idle_pass(run)) break;
            run.next_idle = now + idle;
        }
        if (stop_.load(std::memory_order_acquire)) break;
        if (count == BATCH) continue;  // more may be waiting
        // After frames, let more gather (only a stop ends the pause early);
        // else wait for frames until the next idle pass.
        const Woken woken = count != 0 && options_.coalesce_ns > 0
                                ? pause_for_more(run)
                                : wait_for_frames(run, std::max<std::int64_t>(run.next_idle - now, 0));
        if (woken == Woken::Stop || woken == Woken::Ended) break;
        if (woken == Woken::SocketEvent && !on_socket_event(run, now)) break;
    }
    const bool stopped_from_outside = failure_.step == CaptureStep::None && !handler_stopped_;
    if (stopped_from_outside) {
        if (options_.ring.version == RingVersion::V3) {
            drain_open_block(run);
        } else {
            drain_ready_frames(run);
        }
    }
    collect_counts(run);
    end_phase(phase_);
}

}  // namespace valdrin::io
