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
    std::uint16_t seq = 0;          // send_frame: the sequence number the frame carries

    PrpSent& operator+=(const PrpSent& other) noexcept {
        frames += other.frames;
        supervision += other.supervision;
        failed += other.failed;
        return *this;
    }
};

// Faults put into one frame of send_frame (a test's knobs; none by default).
struct PrpFrameFaults {
    std::array<bool, 2> skip{};  // not sent on LAN A, on LAN B
    bool wrong_lan = false;      // each copy carries the other LAN's identifier
    bool bad_size = false;       // the trailer's LSDU size one more than the frame's
    bool repeat_seq = false;     // the node's previous sequence number again (its counter stays)
    std::array<std::int64_t, 2> delay_ns{};  // LAN A's, LAN B's copy waits this long (send_frame's at_ns on)
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
    // or leave a LAN out (not counted); a LAN's copy with a delay waits,
    // its octets copied into the room reserve_waiting made, until
    // send_waiting reaches `at_ns` plus the delay (counted when it leaves);
    // with no room left, or a frame longer than a room, it leaves at once.
    // Allocates nothing.
    [[nodiscard]] PrpSent send_frame(int lan_a, std::size_t node, std::span<const std::uint8_t> frame,
                                     const PrpFrameFaults& faults = {}, std::int64_t at_ns = 0) noexcept;
    // Makes room for `copies` waiting copies of frames up to `frame_size`
    // octets (send_frame's delays). Allocates.
    void reserve_waiting(std::size_t copies, std::size_t frame_size);
    // Sends the waiting copies due by `until_ns`, in the order they came.
    // Allocates nothing.
    [[nodiscard]] PrpSent send_waiting(int lan_a, std::int64_t until_ns) noexcept;
    // How many copies wait, and when the first of them is due (INT64_MAX: none).
    [[nodiscard]] std::size_t waiting() const noexcept { return waiting_.size(); }
    [[nodiscard]] std::int64_t next_waiting_ns() const noexcept;
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
    // A LAN's copy that send_frame delayed: its octets (in a room of
    // rooms_, or the caller's while it is sent at once) and its trailer's fields.
    struct Waiting {
        const std::uint8_t* frame = nullptr;
        std::size_t size = 0;
        std::size_t room = 0;  // its room's index
        std::int64_t due_ns = 0;
        std::uint16_t seq = 0;
        std::uint16_t lsdu_size = 0;
        std::uint8_t pad = 0;  // zeros between the frame and its trailer
        std::uint8_t lan = 0;  // the socket: 0 LAN A, 1 LAN B
        prp::Lan id = prp::Lan::A;
    };
    static constexpr std::size_t LANS = 2;

    // Sizes the messages of `frames` (kept by send()) and of the nodes' supervision frames.
    void lay_out(std::span<const std::span<std::uint8_t>> frames);
    // Writes the supervision frames when due; whether they are to be sent.
    bool prepare_supervision(std::int64_t now_ns) noexcept;
    // Sends one copy on LAN `lan`'s socket (`lan_a` or LAN B's) with the
    // trailer of `seq`, `id` and `lsdu_size`; whether it was taken whole.
    bool send_copy(int lan_a, const Waiting& copy) noexcept;
    // Sends the waiting copies `leaves` picks, keeping the others in order.
    template <class Pick>
    PrpSent send_picked(int lan_a, Pick leaves) noexcept;

    Socket lan_b_;
    std::vector<Node> nodes_;
    std::vector<std::size_t> node_of_;  // per frame
    std::array<std::vector<Tail>, LANS> tails_;  // per LAN, per frame
    std::array<std::vector<std::array<std::uint8_t, prp::SUPERVISION_FRAME_SIZE>>, LANS> supervision_;  // per node
    std::array<std::vector<iovec>, LANS> scatter_;      // frame and tail per frame, then one per node
    std::array<std::vector<mmsghdr>, LANS> messages_;  // one per frame, then one per node
    std::vector<Waiting> waiting_;  // reserved: never grows in send_frame
    std::vector<std::uint8_t> rooms_;     // the waiting copies' octets, room_size_ each
    std::vector<std::size_t> free_rooms_;  // reserved: a stack of the rooms' indices
    std::size_t room_size_ = 0;
    std::int64_t next_supervision_ns_ = 0;
    bool supervised_ = false;  // a supervision frame was sent
};

}  // namespace valdrin::io
