// What a PRP receiving node does with the frames of its two LANs, and what
// a commissioning engineer wants counted about them: the first copy of
// each (source MAC, sequence number) passes on, trailer removed, to the
// stream analysis; the second is discarded, its arrival time against the
// first giving the skew between the LANs. Per stream (source MAC,
// EtherType, APPID, destination MAC): frames per LAN, frames that came on
// one LAN only, skew, wrong LAN identifiers and LSDU sizes. Per node:
// supervision frames per LAN. HSR-tagged frames pass on untagged.
//
// Duplicates are found by exact sequence number in a window per node, not
// by "not newer than the newest": a frame that comes late on a lossy or
// slow LAN is still recognised as the first copy when its twin never came.
// An entry is forgotten when its slot is taken by a later number or after
// Limits::forget_ns, as a node's duplicate table forgets.
//
// Storage is allocated by the constructor; add, tick and finish never
// allocate, throw or lock.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "prp.hpp"

namespace valdrin::prp {

// The capacities a Receiver is built with.
struct ReceiverLimits {
    std::size_t nodes = 64;     // source MACs whose duplicates are discarded; others pass on every copy
    std::size_t flows = 256;    // streams counted; further ones are counted as untracked
    std::size_t window = 2048;  // sequence numbers remembered per node (rounded up to a power of two)
    std::int64_t forget_ns = 400'000'000;  // an entry older than this is forgotten
};

// Signed arrival differences in ns: log-linear buckets (32 per power of
// two, each within 1.6 % of its values) over both signs, exact min and max.
class SkewHistogram {
public:
    static constexpr unsigned SUB_BITS = 5;
    static constexpr std::size_t HALF = (37 - SUB_BITS + 1) << SUB_BITS;  // magnitudes up to 2^37 ns

    // Counts one difference.
    void add(std::int64_t ns) noexcept;
    [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
    // The smallest and largest difference; 0 when none was counted.
    [[nodiscard]] std::int64_t min() const noexcept { return count_ ? min_ : 0; }
    [[nodiscard]] std::int64_t max() const noexcept { return count_ ? max_ : 0; }
    // The nearest-rank q-quantile in ns (the middle of its bucket kept
    // within [min, max]); 0 when none was counted.
    [[nodiscard]] double quantile(double q) const noexcept;

private:
    std::array<std::uint64_t, 2 * HALF> counts_{};
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
};

// One stream or block as seen on the two LANs. Arrays are indexed by Lan.
struct Flow {
    Mac src_mac{};
    Mac dst_mac{};
    std::uint16_t ethertype = 0;
    std::uint16_t app_id = 0;
    std::array<std::uint64_t, 2> frames{};     // copies received on each LAN (trailer or not)
    std::array<std::uint64_t, 2> lost{};       // frames that came on the other LAN only
    std::array<std::uint64_t, 2> wrong_lan{};  // the other LAN's identifier received on this one
    std::array<std::uint64_t, 2> bad_size{};   // a trailer whose LSDU size does not match the frame
    std::uint64_t repeated = 0;                // a sequence number received again on the same LAN
    SkewHistogram skew;                        // B's arrival minus A's for the same frame
};

// One node, by the MAC its frames come from.
struct Node {
    Mac mac{};
    std::array<std::uint64_t, 2> frames{};       // frames with a trailer or HSR tag
    std::array<std::uint64_t, 2> supervision{};  // supervision frames naming it
    std::array<std::int64_t, 2> last_supervision_ns{};  // 0 when none came
};

// Totals over everything received, indexed by Lan.
struct ReceiverTotals {
    std::array<std::uint64_t, 2> frames{};
    std::array<std::uint64_t, 2> untrailed{};    // frames without a trailer or HSR tag (passed on as they are)
    std::array<std::uint64_t, 2> supervision{};  // well-formed supervision frames
    std::array<std::uint64_t, 2> bad_supervision{};  // EtherType 88FB frames that are not
    std::array<std::uint64_t, 2> hsr{};          // HSR-tagged frames
    std::array<std::uint64_t, 2> hsr_bad_size{};  // of which the tag's LSDU size does not match
    std::uint64_t discarded = 0;                 // second copies and repeats not passed on
    std::uint64_t nodes_untracked = 0;           // frames of nodes beyond the limits (passed on)
    std::uint64_t flows_untracked = 0;           // frames of streams beyond the limits
};

// Duplicate discard and per-LAN counts of a PRP (or HSR) receiving node.
// Not thread-safe: one thread calls every member.
class Receiver {
public:
    // Allocates everything the limits need; may throw std::bad_alloc.
    explicit Receiver(const ReceiverLimits& limits = {});

    // Reads one frame (from the destination MAC on) received on `lan` at
    // `t_ns`: the frame to analyse (trailer or HSR tag removed; a view into
    // `frame` or into this Receiver, valid until the next call), or nothing
    // for a second copy, a repeat or a supervision frame.
    [[nodiscard]] std::optional<Bytes> add(Bytes frame, Lan lan, std::int64_t t_ns) noexcept;
    // Settles the entries older than forget_ns at `now_ns`: those that came
    // on one LAN only count as lost on the other.
    void tick(std::int64_t now_ns) noexcept;
    // Settles every entry: the input ended. LAN A was watched until
    // `a_until_ns` and LAN B until `b_until_ns` (by default to the end): a
    // copy that came on one LAN only after the other's watch ended counts
    // as lost on neither, since nobody looked for its twin.
    void finish(std::int64_t a_until_ns = std::numeric_limits<std::int64_t>::max(),
                std::int64_t b_until_ns = std::numeric_limits<std::int64_t>::max()) noexcept;

    // Copies every count (not the duplicate windows) into `out`, which was
    // built with the same limits; no allocation.
    void copy_counts_into(Receiver& out) const noexcept;

    [[nodiscard]] const ReceiverTotals& totals() const noexcept { return totals_; }
    // Tracked streams and nodes, in the order first seen.
    [[nodiscard]] std::size_t flow_count() const noexcept { return flow_count_; }
    [[nodiscard]] const Flow& flow(std::size_t i) const noexcept { return flows_[i]; }
    [[nodiscard]] std::size_t node_count() const noexcept { return node_count_; }
    [[nodiscard]] const Node& node(std::size_t i) const noexcept { return nodes_[i]; }

private:
    // One remembered sequence number of a node.
    struct Entry {
        std::int64_t t_ns = 0;    // the first copy's arrival
        std::int32_t flow = -1;   // its stream, -1 when untracked
        std::uint16_t seq = 0;
        std::uint8_t seen = 0;    // bit Lan: a copy came on that LAN; 0: free
    };

    std::ptrdiff_t find_node(const Mac& mac) noexcept;
    std::ptrdiff_t find_flow(Bytes frame) noexcept;
    // The first copy passes (true), a second copy or repeat does not.
    bool deduplicate(std::size_t node, std::uint16_t seq, std::ptrdiff_t flow, Lan lan, std::int64_t t_ns) noexcept;
    // Forgets `entry`, counting it lost on the LAN it did not come on
    // unless `watched` is false.
    void settle(Entry& entry, bool watched = true) noexcept;
    // What the trailer or HSR tag said of a frame.
    struct Marks {
        std::uint16_t seq = 0;
        bool wrong_lan = false;
        bool bad_size = false;
    };
    // Counts `inner` (trailer or tag removed) for its stream and node;
    // the first copy is returned, a second copy or repeat is not.
    std::optional<Bytes> pass(Bytes inner, const Marks& marks, Lan lan, std::int64_t t_ns) noexcept;
    void add_supervision(Bytes frame, Lan lan, std::int64_t t_ns) noexcept;

    ReceiverLimits limits_;
    std::size_t mask_;
    ReceiverTotals totals_;
    std::size_t flow_count_ = 0;
    std::size_t node_count_ = 0;
    std::vector<Flow> flows_;
    std::vector<Node> nodes_;
    std::vector<Entry> windows_;  // `window` entries per node
    std::vector<std::uint8_t> untagged_;  // an HSR frame without its tag
};

}  // namespace valdrin::prp
