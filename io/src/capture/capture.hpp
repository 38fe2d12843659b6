// Live capture of GOOSE and Sampled Values frames from one interface: an
// AF_PACKET socket with a kernel filter and a memory-mapped receive ring,
// read by one thread of its own that hands every frame, with its kernel
// timestamp and direction, to a handler the owner provides.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "capture_error.hpp"
#include "rx_ring.hpp"

namespace valdrin::io {

// The link-layer packet type of a frame (sll_pkttype): addressed to this
// host, broadcast, multicast, to another host, or sent by this host.
enum class PacketType : std::uint8_t { Host, Broadcast, Multicast, OtherHost, Outgoing, Other };

// Where a frame's timestamp came from: the kernel's software stamp on
// arrival, the interface's hardware clock, or (neither being there) the
// moment the kernel copied it into the ring. All are CLOCK_REALTIME based
// except hardware, which is the interface's clock.
enum class StampSource : std::uint8_t { Software, Hardware, Ring };

// What the kernel says about one frame.
struct FrameMeta {
    std::int64_t timestamp_ns = 0;      // since the UNIX epoch
    std::uint32_t wire_length = 0;      // octets the frame had, tag included
    std::uint32_t captured_length = 0;  // octets handed over (fewer when truncated)
    PacketType packet_type = PacketType::Other;
    StampSource stamp = StampSource::Ring;
    bool tag_restored = false;  // the kernel had moved the 802.1Q tag out of band
    bool outgoing() const noexcept { return packet_type == PacketType::Outgoing; }
};

// What the capture thread calls. Both calls run on that thread, must not
// block, and must not take a lock that whoever stops the capture may hold.
class FrameHandler {
public:
    // One frame as on the wire, from the destination MAC, an 802.1Q tag
    // restored in place; the octets are valid during the call only.
    virtual void on_frame(std::span<const std::uint8_t> frame, const FrameMeta& meta) noexcept = 0;
    // Called at least every idle interval, with or without traffic, with
    // the CLOCK_REALTIME time in ns; the place for timeouts and snapshots.
    // Frames stamped before now_ns may still be on their way: for tens of
    // us with V2, up to the block timeout with V3, plus coalesce_ns.
    virtual void on_idle(std::int64_t now_ns) noexcept = 0;
    // With CaptureOptions::report_drained: a pass that began at `since_ns`
    // (CLOCK_REALTIME) left the ring empty, so every frame stamped before
    // since_ns minus the ring's lag (as for on_idle) has been handed over.
    virtual void on_drained(std::int64_t since_ns) noexcept { (void)since_ns; }

protected:
    ~FrameHandler() = default;
};

// Which multicast the interface accepts while capturing.
enum class Multicast : std::uint8_t { AsConfigured, AllMulticast, Promiscuous };

// How frames are stamped: kernel software stamps, or the interface's raw
// hardware stamps where it provides them (software otherwise, per frame).
// Hardware stamping of received frames is an interface-wide setting
// (SIOCSHWTSTAMP) that the capture asks for but does not change.
enum class Timestamps : std::uint8_t { Software, Hardware };

// What to capture and how; fixed for the life of a Capture.
struct CaptureOptions {
    std::string interface;  // its name, resolved at every start()
    RingGeometry ring{};
    Multicast multicast = Multicast::AllMulticast;
    Timestamps timestamps = Timestamps::Software;
    bool include_outgoing = false;  // also the frames this host sends
    bool redundancy = false;  // also PRP supervision and HSR-tagged frames
    std::optional<unsigned> cpu{};  // pin the thread to this CPU
    std::optional<int> rt_priority{};  // run the thread SCHED_FIFO at this priority
    std::int64_t idle_interval_ns = 2'000'000;  // on_idle at least this often
    // After a pass that handed frames over, wait this long (for a stop
    // only) before polling again: fewer wake-ups under heavy traffic, at
    // most this much more latency. 0: wake for every frame (V2).
    std::int64_t coalesce_ns = 0;
    // Call the handler's on_drained after every pass that empties the ring
    // (one more clock read per pass).
    bool report_drained = false;
    // The thread's name, at most 15 characters (it captures SV and GOOSE alike).
    const char* thread_name = "frame-capture";
};

// How often the capture thread wakes at the least, in ns: the idle
// interval, at least a V3 block timeout (waking sooner finds nothing new).
[[nodiscard]] std::int64_t idle_period_ns(const CaptureOptions& options) noexcept;

// Counters since the Capture was made, over all its runs.
struct CaptureStats {
    std::uint64_t frames = 0;          // handed to the handler
    std::uint64_t kernel_packets = 0;  // passed the filter, dropped ones included
    std::uint64_t kernel_drops = 0;    // lost because the ring was full
    std::uint64_t ring_freezes = 0;    // V3: times the ring froze on a full block queue
    std::uint64_t link_downs = 0;      // times the interface went down while capturing
    bool link_up = false;              // as last seen by the thread
};

// One capture of one interface. start() and stop() may be called from any
// thread, and again after each other; the destructor stops. The handler
// must outlive the Capture.
class Capture {
public:
    Capture(CaptureOptions options, FrameHandler& handler);
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Opens and sets up the socket, starts the thread and returns once it
    // runs; the first failing step otherwise, nothing left open. A capture
    // that is running fails with EBUSY; one that ended by itself is joined
    // and started afresh.
    [[nodiscard]] std::expected<void, CaptureError> start();
    // Ends the thread and closes the socket; returns within a loop pass
    // (an idle interval at most), whatever the traffic, plus with V3 a block
    // timeout (at most 100 ms) in which the block still open is retired and
    // its frames handed over, so that none stamped before the stop is lost.
    // Idempotent. Called by the handler, it only asks: the loop ends after
    // the current batch (no open block is waited for), and the next stop(),
    // start() or the destructor joins.
    void stop() noexcept;

    // Whether the thread is capturing (false once it has ended, by stop()
    // or by a failure).
    [[nodiscard]] bool running() const noexcept;
    // Waits up to `timeout_ns` for the thread to end by itself; returns
    // whether it is not running.
    [[nodiscard]] bool wait_ended(std::int64_t timeout_ns) const noexcept;
    // The condition that ended the last run by itself (step none while it
    // runs, or after a stop()).
    [[nodiscard]] CaptureError failure() const noexcept;
    // The counters; kernel ones as of the thread's last idle pass.
    [[nodiscard]] CaptureStats stats() const noexcept;
    // The text of `error` for this capture's interface.
    [[nodiscard]] std::string describe(const CaptureError& error) const;
    [[nodiscard]] const CaptureOptions& options() const noexcept { return options_; }

private:
    struct Run;
    // What a wait ended with: frames (or nothing, or a signal), a stop, an
    // event on the socket, or a failure that ends the run (failure_ set).
    enum class Woken : std::uint8_t { Frames, Stop, SocketEvent, Ended };

    // The thread: its set-up, then the loop of the steps below until a stop
    // or a failure.
    void loop(Run& run) noexcept;
    // Pins and raises the thread as the options ask; false with
    // setup_failure_ set when it cannot.
    [[nodiscard]] bool set_up_thread() noexcept;
    // Hands up to a batch of the frames waiting in the ring to the handler;
    // returns how many.
    std::size_t hand_over(Run& run) noexcept;
    // Adds the kernel's counters, which reset on every read, to ours.
    void collect_counts(const Run& run) noexcept;
    // The idle pass: counters, whether a link that went down is back (false,
    // failure_ set, when the interface is gone), the handler's on_idle.
    [[nodiscard]] bool idle_pass(Run& run) noexcept;
    // Waits up to `timeout_ns` for frames, a stop or a socket event.
    [[nodiscard]] Woken wait_for_frames(Run& run, std::int64_t timeout_ns) noexcept;
    // Waits coalesce_ns for frames to gather; only a stop ends it early.
    [[nodiscard]] Woken pause_for_more(Run& run) noexcept;
    // Reads and clears the socket's error: a link down is counted and keeps
    // the run going; another error ends it (false, failure_ set).
    [[nodiscard]] bool on_socket_event(Run& run, std::int64_t now) noexcept;
    // V3 after a stop from outside: hands over the frames of the block the
    // kernel still fills, waiting at most a block timeout (100 ms) for it.
    void drain_open_block(Run& run) noexcept;
    // V2 after a stop from outside: hands over the frames the ring already
    // holds, for at most 100 ms (a sender that goes on cannot hold the stop).
    void drain_ready_frames(Run& run) noexcept;
    void join_locked() noexcept;

    const CaptureOptions options_;
    FrameHandler& handler_;

    std::mutex control_;  // start/stop only; never taken by the thread
    std::unique_ptr<Run> run_;
    std::thread thread_;

    std::atomic<bool> stop_{false};
    bool handler_stopped_ = false;  // the thread's own: its handler asked to stop
    mutable std::atomic<std::uint32_t> phase_{0};  // futex word: idle, starting, running, ended
    CaptureError setup_failure_{};        // written before phase_ becomes 3 during start
    CaptureError failure_{};              // written before phase_ becomes 3
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> kernel_packets_{0};
    std::atomic<std::uint64_t> kernel_drops_{0};
    std::atomic<std::uint64_t> ring_freezes_{0};
    std::atomic<std::uint64_t> link_downs_{0};
    std::atomic<bool> link_up_{false};
};

}  // namespace valdrin::io
