#include "prp_sender.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace valdrin::io {

namespace {

constexpr prp::Lan LAN_OF[] = {prp::Lan::A, prp::Lan::B};

// Sends `messages` on `fd`, continuing after partial sends; returns how
// many were taken before a call failed or took none.
std::size_t send_messages(int fd, std::span<mmsghdr> messages) noexcept {
    std::size_t taken = 0;
    while (taken < messages.size()) {
        const int r = sendmmsg(fd, messages.data() + taken, static_cast<unsigned>(messages.size() - taken), 0);
        if (r <= 0) break;
        taken += static_cast<std::size_t>(r);
    }
    return taken;
}

}  // namespace

PrpSender::PrpSender(std::span<const std::span<std::uint8_t>> frames, Socket lan_b) : lan_b_(std::move(lan_b)) {
    node_of_.reserve(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const std::span<std::uint8_t> frame = frames[i];
        const std::size_t header = prp::link_header_size(frame);
        const auto size = prp::trailed_size(frame.size(), header);
        if (!size) {
            throw std::invalid_argument("frame " + std::to_string(i) + ": " + std::string(prp::message(size.error())));
        }
        prp::Mac src;
        std::memcpy(src.data(), frame.data() + 6, src.size());
        auto node = std::find_if(nodes_.begin(), nodes_.end(), [&](const Node& n) { return n.mac == src; });
        if (node == nodes_.end()) node = nodes_.insert(nodes_.end(), Node{.mac = src});
        node_of_.push_back(static_cast<std::size_t>(node - nodes_.begin()));
        for (std::size_t l = 0; l < LANS; ++l) {
            tails_[l].push_back(Tail{.pad = *size - prp::TRAILER_SIZE - frame.size(), .lsdu_size = *size - header});
        }
    }
    lay_out(frames);
}

PrpSender::PrpSender(std::span<const prp::Mac> nodes, Socket lan_b) : lan_b_(std::move(lan_b)) {
    for (const prp::Mac& mac : nodes) {
        if (std::none_of(nodes_.begin(), nodes_.end(), [&](const Node& n) { return n.mac == mac; })) {
            nodes_.push_back(Node{.mac = mac});
        }
    }
    lay_out({});
}

void PrpSender::lay_out(std::span<const std::span<std::uint8_t>> frames) {
    for (std::size_t l = 0; l < LANS; ++l) {
        supervision_[l].resize(nodes_.size());
        scatter_[l].resize(2 * frames.size() + nodes_.size());
        messages_[l].resize(frames.size() + nodes_.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            Tail& tail = tails_[l][i];
            scatter_[l][2 * i] = {frames[i].data(), frames[i].size()};
            scatter_[l][2 * i + 1] = {tail.octets.data(), tail.pad + prp::TRAILER_SIZE};
            messages_[l][i] = {};
            messages_[l][i].msg_hdr.msg_iov = &scatter_[l][2 * i];
            messages_[l][i].msg_hdr.msg_iovlen = 2;
        }
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            iovec& one = scatter_[l][2 * frames.size() + n];
            one = {supervision_[l][n].data(), supervision_[l][n].size()};
            mmsghdr& message = messages_[l][frames.size() + n];
            message = {};
            message.msg_hdr.msg_iov = &one;
            message.msg_hdr.msg_iovlen = 1;
        }
    }
}

PrpSent PrpSender::send(int lan_a, std::int64_t now_ns) noexcept {
    const std::size_t frames = node_of_.size();
    for (std::size_t i = 0; i < frames; ++i) {
        const std::uint16_t seq = nodes_[node_of_[i]].seq++;
        for (std::size_t l = 0; l < LANS; ++l) {
            Tail& tail = tails_[l][i];
            const auto trailer = prp::trailer_octets(seq, LAN_OF[l], tail.lsdu_size);
            std::copy(trailer.begin(), trailer.end(), tail.octets.begin() + static_cast<std::ptrdiff_t>(tail.pad));
        }
    }
    const bool supervise = prepare_supervision(now_ns);
    const std::size_t count = frames + (supervise ? nodes_.size() : 0);
    PrpSent sent;
    const int fds[LANS] = {lan_a, lan_b_.get()};
    for (std::size_t l = 0; l < LANS; ++l) {
        const std::size_t taken = send_messages(fds[l], std::span(messages_[l]).first(count));
        sent.frames += std::min(taken, frames);
        sent.supervision += taken - std::min(taken, frames);
        sent.failed += count - taken;
    }
    return sent;
}

bool PrpSender::prepare_supervision(std::int64_t now_ns) noexcept {
    if (supervised_ && now_ns < next_supervision_ns_) return false;
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        Node& node = nodes_[n];
        const std::uint16_t seq = node.seq++;
        for (std::size_t l = 0; l < LANS; ++l) {
            // The buffer has the size written: this cannot fail.
            (void)prp::write_supervision(supervision_[l][n], node.mac, node.sup_seq, seq, LAN_OF[l]);
        }
        ++node.sup_seq;
    }
    supervised_ = true;
    next_supervision_ns_ = now_ns + prp::SUPERVISION_INTERVAL_NS;
    return true;
}

PrpSent PrpSender::supervise(int lan_a, std::int64_t now_ns) noexcept {
    PrpSent sent;
    if (!prepare_supervision(now_ns)) return sent;
    const std::size_t frames = node_of_.size();
    const int fds[LANS] = {lan_a, lan_b_.get()};
    for (std::size_t l = 0; l < LANS; ++l) {
        const std::size_t taken = send_messages(fds[l], std::span(messages_[l]).subspan(frames));
        sent.supervision += taken;
        sent.failed += nodes_.size() - taken;
    }
    return sent;
}

PrpSent PrpSender::send_frame(int lan_a, std::size_t node, std::span<const std::uint8_t> frame,
                              const PrpFrameFaults& faults, std::int64_t at_ns) noexcept {
    PrpSent sent;
    const std::size_t header = prp::link_header_size(frame);
    const auto size = prp::trailed_size(frame.size(), header);
    if (!size || node >= nodes_.size()) {
        sent.failed = LANS;
        return sent;
    }
    std::uint16_t& counter = nodes_[node].seq;
    sent.seq = faults.repeat_seq ? static_cast<std::uint16_t>(counter - 1) : counter++;
    Waiting copy{.frame = frame.data(),
                 .size = frame.size(),
                 .seq = sent.seq,
                 .lsdu_size = static_cast<std::uint16_t>(*size - header + (faults.bad_size ? 1 : 0)),
                 .pad = static_cast<std::uint8_t>(*size - prp::TRAILER_SIZE - frame.size())};
    for (std::size_t l = 0; l < LANS; ++l) {
        if (faults.skip[l]) continue;
        copy.lan = static_cast<std::uint8_t>(l);
        copy.id = LAN_OF[faults.wrong_lan ? 1 - l : l];
        if (faults.delay_ns[l] > 0 && !free_rooms_.empty() && frame.size() <= room_size_) {
            Waiting waits = copy;
            waits.room = free_rooms_.back();
            free_rooms_.pop_back();
            std::uint8_t* const octets = rooms_.data() + waits.room * room_size_;
            std::copy(frame.begin(), frame.end(), octets);
            waits.frame = octets;
            waits.due_ns = at_ns + faults.delay_ns[l];
            waiting_.push_back(waits);  // within the reserved room: no allocation
            continue;
        }
        if (send_copy(lan_a, copy)) {
            ++sent.frames;
        } else {
            ++sent.failed;
        }
    }
    return sent;
}

bool PrpSender::send_copy(int lan_a, const Waiting& copy) noexcept {
    std::array<std::uint8_t, prp::MIN_FRAME_SIZE> tail{};  // the padding's zeros, then the trailer
    const auto trailer = prp::trailer_octets(copy.seq, copy.id, copy.lsdu_size);
    std::copy(trailer.begin(), trailer.end(), tail.begin() + copy.pad);
    iovec parts[2] = {{const_cast<std::uint8_t*>(copy.frame), copy.size}, {tail.data(), copy.pad + prp::TRAILER_SIZE}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const int fd = copy.lan == 0 ? lan_a : lan_b_.get();
    return sendmsg(fd, &message, 0) == static_cast<ssize_t>(copy.size + copy.pad + prp::TRAILER_SIZE);
}

template <class Pick>
PrpSent PrpSender::send_picked(int lan_a, Pick leaves) noexcept {
    PrpSent sent;
    std::size_t kept = 0;
    for (const Waiting& copy : waiting_) {
        if (!leaves(copy)) {
            waiting_[kept++] = copy;
            continue;
        }
        if (send_copy(lan_a, copy)) {
            ++sent.frames;
        } else {
            ++sent.failed;
        }
        free_rooms_.push_back(copy.room);  // within its reserved size
    }
    waiting_.resize(kept);  // shrinks: no allocation
    return sent;
}

PrpSent PrpSender::send_waiting(int lan_a, std::int64_t until_ns) noexcept {
    if (waiting_.empty()) return {};
    return send_picked(lan_a, [until_ns](const Waiting& copy) { return copy.due_ns <= until_ns; });
}

void PrpSender::reserve_waiting(std::size_t copies, std::size_t frame_size) {
    waiting_.clear();
    waiting_.reserve(copies);
    rooms_.assign(copies * frame_size, 0);
    free_rooms_.clear();
    free_rooms_.reserve(copies);
    for (std::size_t room = copies; room-- > 0;) free_rooms_.push_back(room);
    room_size_ = frame_size;
}

std::int64_t PrpSender::next_waiting_ns() const noexcept {
    std::int64_t next = INT64_MAX;
    for (const Waiting& copy : waiting_) next = std::min(next, copy.due_ns);
    return next;
}

}  // namespace valdrin::io
