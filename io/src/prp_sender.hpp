// A PRP (IEC 62439-3) doubly attached node's sending half for a transmit
// thread: each period's frames go out on LAN A and on LAN B with their
// Redundancy Control Trailers, one sequence number per source MAC shared
// by both copies, and every node's supervision frame every two seconds.
// The frames are the thread's own rendered buffers, sent as they are with
// the padding and trailer gathered behind them: the payload is the octets
// a non-redundant run sends.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "packet_socket.hpp"
#include "prp.hpp"

namespace valdrin::io {

// What one PrpSender::send did.
struct PrpSent {
    std::uint64_t frames = 0;       // stream frames sent, both LANs together
    std::uint64_t supervision = 0;  // supervision frames sent, both LANs together
    std::uint64_t failed = 0;       // frames a send call did not take
};

// Faults put into one frame of send_frame (a test's knobs; none by default).
struct PrpFrameFaults {
    std::array<bool, 2> skip{};  // not sent on LAN A, on LAN B
    bool wrong_lan = false;      // each copy carries the other LAN's identifier
    bool bad_size = false;       // the trailer's LSDU size one more than the frame's
    bool repeat_seq = false;     // the node's previous sequence number again (its counter stays)
};

class PrpSender {
public:
    // Prepares the trailers and messages of `frames`, which the caller
    // renders in place before each send() and keeps, at the same addresses
    // and sizes, for the sender's life; `lan_b` is LAN B's socket, which
    // the sender closes. Allocates; throws std::invalid_argument naming the
    // frame whose trailer cannot be written (no Ethernet header, or an LSDU
    // above 4095 octets).
    PrpSender(std::span<const std::span<std::uint8_t>> frames, Socket lan_b);
    // A sender of frames of any size (send_frame) from the nodes `nodes`
    // (duplicates are one node); `lan_b` as above. Allocates.
    PrpSender(std::span<const prp::Mac> nodes, Socket lan_b);

    // Gives each frame its node's next sequence number and sends all of
    // them on `lan_a` and then on LAN B, one sendmmsg each (partial sends
    // continued), with each node's supervision frames when `now_ns` has
    // reached their time. Allocates nothing.
    [[nodiscard]] PrpSent send(int lan_a, std::int64_t now_ns) noexcept;

    // Sends `frame` (from the destination MAC on, without trailer) with
    // node `node`'s next sequence number on `lan_a` and then on LAN B, its
    // padding and trailer gathered behind it; a frame no trailer fits, or
    // an unknown node, counts as failed on both. `faults` alter the trailer
    // or leave a LAN out (not counted). Allocates nothing.
    [[nodiscard]] PrpSent send_frame(int lan_a, std::size_t node, std::span<const std::uint8_t> frame,
                                     const PrpFrameFaults& faults = {}) noexcept;
    // Sends every node's supervision frame on both LANs when `now_ns` has
    // reached their time (at once the first time). Allocates nothing.
    [[nodiscard]] PrpSent supervise(int lan_a, std::int64_t now_ns) noexcept;
    // The node (source MAC) of frame `frame` of the constructor's frames,
    // as send_frame takes it.
    [[nodiscard]] std::size_t node_of(std::size_t frame) const noexcept { return node_of_[frame]; }
    // When the next supervision frames are due (0 before the first).
    [[nodiscard]] std::int64_t next_supervision_ns() const noexcept { return supervised_ ? next_supervision_ns_ : 0; }

private:
    struct Node {
        prp::Mac mac{};
        std::uint16_t seq = 0;      // the next frame's
        std::uint16_t sup_seq = 0;  // the next supervision frame's
    };
    // The octets behind a frame: zeros up to 54 octets, then its trailer.
    struct Tail {
        std::array<std::uint8_t, prp::MIN_FRAME_SIZE> octets{};
        std::size_t pad = 0;
        std::size_t lsdu_size = 0;
    };
    static constexpr std::size_t LANS = 2;

    // Sizes the messages of `frames` (kept by send()) and of the nodes' supervision frames.
    void lay_out(std::span<const std::span<std::uint8_t>> frames);
    // Writes the supervision frames when due; whether they are to be sent.
    bool prepare_supervision(std::int64_t now_ns) noexcept;

    Socket lan_b_;
    std::vector<Node> nodes_;
    std::vector<std::size_t> node_of_;  // per frame
    std::array<std::vector<Tail>, LANS> tails_;  // per LAN, per frame
    std::array<std::vector<std::array<std::uint8_t, prp::SUPERVISION_FRAME_SIZE>>, LANS> supervision_;  // per node
    std::array<std::vector<iovec>, LANS> scatter_;      // frame and tail per frame, then one per node
    std::array<std::vector<mmsghdr>, LANS> messages_;  // one per frame, then one per node
    std::int64_t next_supervision_ns_ = 0;
    bool supervised_ = false;  // a supervision frame was sent
};

}  // namespace valdrin::io
