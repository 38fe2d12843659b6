#include "rx_ring.hpp"

#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace valdrin::io {
namespace {

// The kernel writes a slot's or block's status after its contents: read it
// with acquire, hand it back with release.
std::uint32_t load_status(std::uint32_t& status) noexcept {
    return std::atomic_ref(status).load(std::memory_order_acquire);
}
void give_back(std::uint32_t& status) noexcept {
    std::atomic_ref(status).store(TP_STATUS_KERNEL, std::memory_order_release);
}

// How far ahead of the frame being read a V3 block is prefetched: some five
// short frames (an SV frame of one ASDU takes about 200 octets there).
constexpr std::uint32_t CACHE_LINE = 64;
constexpr std::uint32_t PREFETCH_AHEAD = 1024;

template <class Header>
std::uint8_t packet_type_after(const Header* header) noexcept {
    // The link-layer address follows the header at its aligned size.
    const auto* address = reinterpret_cast<const sockaddr_ll*>(
        reinterpret_cast<const std::uint8_t*>(header) + TPACKET_ALIGN(sizeof(Header)));
    return address->sll_pkttype;
}

}  // namespace

RxRing& RxRing::operator=(RxRing&& other) noexcept {
    if (this != &other) {
        unmap();
        base_ = other.base_;
        bytes_ = other.bytes_;
        version_ = other.version_;
        unit_size_ = other.unit_size_;
        unit_count_ = other.unit_count_;
        unit_ = other.unit_;
        left_ = other.left_;
        offset_ = other.offset_;
        next_offset_ = other.next_offset_;
        block_end_ = other.block_end_;
        prefetched_ = other.prefetched_;
        other.base_ = nullptr;
        other.bytes_ = 0;
    }
    return *this;
}

RxRing::~RxRing() { unmap(); }

void RxRing::unmap() noexcept {
    if (base_ != nullptr) munmap(base_, bytes_);
    base_ = nullptr;
    bytes_ = 0;
}

std::uint8_t* RxRing::current() const noexcept {
    return base_ + static_cast<std::size_t>(unit_) * unit_size_;
}

void RxRing::advance() noexcept { unit_ = unit_ + 1 == unit_count_ ? 0 : unit_ + 1; }

std::expected<RxRing, CaptureError> RxRing::map(int fd, const RingGeometry& geometry) noexcept {
    const auto fail = [](CaptureStep step) {
        return std::unexpected(CaptureError{.step = step, .os_error = errno});
    };
    const int version = geometry.version == RingVersion::V3 ? TPACKET_V3 : TPACKET_V2;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) {
        return fail(CaptureStep::Version);
    }
    // Slots are found by index times frame_size: blocks hold whole slots.
    if (geometry.frame_size == 0 || geometry.block_count == 0 ||
        geometry.block_size % geometry.frame_size != 0) {
        errno = EINVAL;
        return fail(CaptureStep::RxRing);
    }
    const std::uint32_t per_block = geometry.block_size / geometry.frame_size;
    const std::uint64_t frames = static_cast<std::uint64_t>(per_block) * geometry.block_count;
    if (frames > UINT32_MAX) {
        errno = EINVAL;
        return fail(CaptureStep::RxRing);
    }
    tpacket_req3 request{};
    request.tp_block_size = geometry.block_size;
    request.tp_block_nr = geometry.block_count;
    request.tp_frame_size = geometry.frame_size;
    request.tp_frame_nr = static_cast<std::uint32_t>(frames);
    request.tp_retire_blk_tov = geometry.block_timeout_ms;
    // V2 reads the first four fields only, which tpacket_req3 shares.
    const socklen_t size =
        geometry.version == RingVersion::V3 ? sizeof(tpacket_req3) : sizeof(tpacket_req);
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, size) != 0) {
        return fail(CaptureStep::RxRing);
    }
    RxRing ring;
    ring.bytes_ = static_cast<std::size_t>(geometry.block_size) * geometry.block_count;
    void* base = mmap(nullptr, ring.bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd, 0);
    if (base == MAP_FAILED) {
        // Locking may exceed RLIMIT_MEMLOCK; an unlocked ring still works.
        base = mmap(nullptr, ring.bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (base == MAP_FAILED) {
        ring.bytes_ = 0;
        return fail(CaptureStep::Map);
    }
    ring.base_ = static_cast<std::uint8_t*>(base);
    ring.version_ = geometry.version;
    if (geometry.version == RingVersion::V3) {
        ring.unit_size_ = geometry.block_size;
        ring.unit_count_ = geometry.block_count;
    } else {
        ring.unit_size_ = geometry.frame_size;
        ring.unit_count_ = request.tp_frame_nr;
    }
    return ring;
}

bool RxRing::next(RingFrame& out) noexcept {
    return version_ == RingVersion::V3 ? next_v3(out) : next_v2(out);
}

bool RxRing::next_v2(RingFrame& out) noexcept {
    // V2 slots never straddle blocks: a block holds a whole number of them.
    auto* header = reinterpret_cast<tpacket2_hdr*>(current());
    const std::uint32_t status = load_status(header->tp_status);
    if ((status & TP_STATUS_USER) == 0) return false;
    out.data = reinterpret_cast<const std::uint8_t*>(header) + header->tp_mac;
    out.captured = header->tp_snaplen;
    out.wire = header->tp_len;
    out.status = status;
    out.seconds = header->tp_sec;
    out.nanoseconds = header->tp_nsec;
    out.vlan_tci = header->tp_vlan_tci;
    out.vlan_tpid = header->tp_vlan_tpid;
    out.packet_type = packet_type_after(header);
    return true;
}

bool RxRing::next_v3(RingFrame& out) noexcept {
    auto* block = reinterpret_cast<tpacket_block_desc*>(current());
    while (left_ == 0) {
        if ((load_status(block->hdr.bh1.block_status) & TP_STATUS_USER) == 0) return false;
        left_ = block->hdr.bh1.num_pkts;
        offset_ = block->hdr.bh1.offset_to_first_pkt;
        block_end_ = std::min(block->hdr.bh1.blk_len, unit_size_);
        prefetched_ = offset_ & ~(CACHE_LINE - 1);
        if (left_ != 0) break;
        give_back(block->hdr.bh1.block_status);  // an empty block: nothing to read
        advance();
        block = reinterpret_cast<tpacket_block_desc*>(current());
    }
    const auto* header =
        reinterpret_cast<const tpacket3_hdr*>(reinterpret_cast<std::uint8_t*>(block) + offset_);
    out.data = reinterpret_cast<const std::uint8_t*>(header) + header->tp_mac;
    out.captured = header->tp_snaplen;
    out.wire = header->tp_len;
    out.status = header->tp_status;
    out.seconds = header->tp_sec;
    out.nanoseconds = header->tp_nsec;
    out.vlan_tci = header->hv1.tp_vlan_tci;
    out.vlan_tpid = header->hv1.tp_vlan_tpid;
    out.packet_type = packet_type_after(header);
    next_offset_ = header->tp_next_offset;
    // The kernel wrote the block on the CPU that received its frames: the
    // octets some frames ahead are asked for while this one is analysed.
    const std::uint32_t ahead = std::min(offset_ + PREFETCH_AHEAD, block_end_);
    for (; prefetched_ < ahead; prefetched_ += CACHE_LINE) {
        __builtin_prefetch(reinterpret_cast<const std::uint8_t*>(block) + prefetched_);
    }
    return true;
}

void RxRing::release() noexcept {
    if (version_ == RingVersion::V2) {
        auto* header = reinterpret_cast<tpacket2_hdr*>(current());
        give_back(header->tp_status);
        advance();
        return;
    }
    offset_ += next_offset_;
    if (--left_ != 0) return;
    auto* block = reinterpret_cast<tpacket_block_desc*>(current());
    give_back(block->hdr.bh1.block_status);
    advance();
}

}  // namespace valdrin::io
