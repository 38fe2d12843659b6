#include "prp_receiver.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "octets.hpp"

namespace valdrin::prp {

namespace {

constexpr std::uint8_t bit_of(Lan lan) noexcept { return static_cast<std::uint8_t>(1U << lan_index(lan)); }
constexpr std::uint8_t BOTH = 3;
// The longest frame an HSR tag is taken off: a jumbo frame.
constexpr std::size_t MAX_UNTAGGED = 9018;

// a - b, saturated at the ends of int64 (times come from any capture).
std::int64_t minus(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t out;
    if (!__builtin_sub_overflow(a, b, &out)) return out;
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// The magnitude bucket of `ns` > 0 in SkewHistogram's log-linear layout.
std::size_t magnitude_bucket(std::uint64_t ns) noexcept {
    constexpr unsigned SUB = SkewHistogram::SUB_BITS;
    const auto width = static_cast<unsigned>(std::bit_width(ns));
    const unsigned shift = width > SUB + 1 ? width - SUB - 1 : 0;
    const std::size_t index = (std::size_t{shift} << SUB) + static_cast<std::size_t>(ns >> shift);
    return std::min(index, SkewHistogram::HALF - 1);
}

// The middle of magnitude bucket `i`.
double magnitude_middle(std::size_t i) noexcept {
    constexpr unsigned SUB = SkewHistogram::SUB_BITS;
    const std::size_t shift = i >> SUB == 0 ? 0 : (i >> SUB) - 1;
    const std::uint64_t low = static_cast<std::uint64_t>(i - (shift << SUB)) << shift;
    const std::uint64_t width = std::uint64_t{1} << shift;
    return static_cast<double>(low) + static_cast<double>(width - 1) / 2;
}

}  // namespace

// --- SkewHistogram --------------------------------------------------------------

void SkewHistogram::add(std::int64_t ns) noexcept {
    // Negative values fill the lower half from its top down, so that the
    // buckets ascend with the value.
    const std::uint64_t magnitude = ns < 0 ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    const std::size_t m = magnitude_bucket(magnitude);
    ++counts_[ns < 0 ? HALF - 1 - m : HALF + m];
    min_ = count_ == 0 ? ns : std::min(min_, ns);
    max_ = count_ == 0 ? ns : std::max(max_, ns);
    ++count_;
}

double SkewHistogram::quantile(double q) const noexcept {
    if (count_ == 0) return 0;
    q = std::clamp(q, 0.0, 1.0);
    const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(count_))));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        seen += counts_[i];
        if (seen < rank) continue;
        const double middle = i < HALF ? -magnitude_middle(HALF - 1 - i) : magnitude_middle(i - HALF);
        return std::clamp(middle, static_cast<double>(min_), static_cast<double>(max_));
    }
    return static_cast<double>(max_);
}

// --- Receiver --------------------------------------------------------------------

Receiver::Receiver(const ReceiverLimits& limits)
    : limits_(limits), mask_(std::bit_ceil(std::max<std::size_t>(limits.window, 1)) - 1),
      flows_(limits.flows), nodes_(limits.nodes), windows_(limits.nodes * (mask_ + 1)), untagged_(MAX_UNTAGGED) {}

std::ptrdiff_t Receiver::find_node(const Mac& mac) noexcept {
    for (std::size_t i = 0; i < node_count_; ++i) {
        if (nodes_[i].mac == mac) return static_cast<std::ptrdiff_t>(i);
    }
    if (node_count_ == nodes_.size()) return -1;
    nodes_[node_count_].mac = mac;
    return static_cast<std::ptrdiff_t>(node_count_++);
}

std::ptrdiff_t Receiver::find_flow(Bytes frame) noexcept {
    const std::size_t header = link_header_size(frame);
    if (header == 0) return -1;
    const std::uint16_t ethertype = octets::load_be16(frame.data() + header - 2);
    const bool has_app_id = (ethertype == ethernet::ETHERTYPE_SV || ethertype == ethernet::ETHERTYPE_GOOSE) &&
                            frame.size() >= header + 2;
    const std::uint16_t app_id = has_app_id ? octets::load_be16(frame.data() + header) : 0;
    Mac dst, src;
    std::memcpy(dst.data(), frame.data(), 6);
    std::memcpy(src.data(), frame.data() + 6, 6);
    for (std::size_t i = 0; i < flow_count_; ++i) {
        const Flow& f = flows_[i];
        if (f.app_id == app_id && f.ethertype == ethertype && f.dst_mac == dst && f.src_mac == src) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    if (flow_count_ == flows_.size()) return -1;
    Flow& f = flows_[flow_count_];
    f.src_mac = src;
    f.dst_mac = dst;
    f.ethertype = ethertype;
    f.app_id = app_id;
    return static_cast<std::ptrdiff_t>(flow_count_++);
}

void Receiver::settle(Entry& entry, bool watched) noexcept {
    if (watched && entry.flow >= 0 && entry.seen != BOTH) {
        // Came on A only: lost on B, and the reverse.
        const Lan missing = entry.seen == bit_of(Lan::A) ? Lan::B : Lan::A;
        ++flows_[static_cast<std::size_t>(entry.flow)].lost[lan_index(missing)];
    }
    entry = Entry{};
}

bool Receiver::deduplicate(std::size_t node, std::uint16_t seq, std::ptrdiff_t flow, Lan lan,
                           std::int64_t t_ns) noexcept {
    Entry& entry = windows_[node * (mask_ + 1) + (seq & mask_)];
    const bool fresh = entry.seen == 0 || entry.seq != seq || minus(t_ns, entry.t_ns) > limits_.forget_ns;
    if (fresh) {
        if (entry.seen != 0) settle(entry);
        entry = Entry{.t_ns = t_ns, .flow = static_cast<std::int32_t>(flow), .seq = seq, .seen = bit_of(lan)};
        return true;
    }
    if ((entry.seen & bit_of(lan)) != 0) {
        if (flow >= 0) ++flows_[static_cast<std::size_t>(flow)].repeated;
        return false;
    }
    entry.seen |= bit_of(lan);
    if (flow >= 0) {
        const std::int64_t skew = lan == Lan::B ? minus(t_ns, entry.t_ns) : minus(entry.t_ns, t_ns);
        flows_[static_cast<std::size_t>(flow)].skew.add(skew);
    }
    return false;
}

std::optional<Bytes> Receiver::add(Bytes frame, Lan lan, std::int64_t t_ns) noexcept {
    const std::size_t l = lan_index(lan);
    ++totals_.frames[l];
    auto tagged = read_trailer(frame);
    if (tagged) {
        if (ethernet::ethertype_of(tagged->frame) == ETHERTYPE_SUPERVISION) {
            add_supervision(tagged->frame, lan, t_ns);
            return std::nullopt;
        }
        const Marks marks{.seq = tagged->trailer.seq, .wrong_lan = tagged->lan() != lan, .bad_size = !tagged->size_ok()};
        return pass(tagged->frame, marks, lan, t_ns);
    }
    if (ethernet::ethertype_of(frame) == ETHERTYPE_HSR) {
        // Cut inside the tag or longer than a jumbo frame: passed on as it
        // is, which the analysis counts as another EtherType.
        auto tag = read_hsr(frame);
        std::expected<std::size_t, Error> size = std::unexpected(Error::NotHsr);
        if (tag) size = untag_hsr(frame, *tag, untagged_);
        if (size) {
            ++totals_.hsr[l];
            if (!tag->size_ok()) ++totals_.hsr_bad_size[l];
            return pass(Bytes(untagged_).first(*size), Marks{.seq = tag->seq, .bad_size = !tag->size_ok()}, lan, t_ns);
        }
    }
    ++totals_.untrailed[l];
    const std::ptrdiff_t flow = find_flow(frame);
    if (flow >= 0) ++flows_[static_cast<std::size_t>(flow)].frames[l];
    return frame;
}

std::optional<Bytes> Receiver::pass(Bytes inner, const Marks& marks, Lan lan, std::int64_t t_ns) noexcept {
    const std::size_t l = lan_index(lan);
    const std::ptrdiff_t flow = find_flow(inner);
    if (flow >= 0) {
        Flow& f = flows_[static_cast<std::size_t>(flow)];
        ++f.frames[l];
        f.wrong_lan[l] += marks.wrong_lan ? 1 : 0;
        f.bad_size[l] += marks.bad_size ? 1 : 0;
    } else {
        ++totals_.flows_untracked;
    }
    Mac src;
    std::memcpy(src.data(), inner.data() + 6, 6);
    const std::ptrdiff_t node = find_node(src);
    if (node < 0) {
        ++totals_.nodes_untracked;
        return inner;
    }
    ++nodes_[static_cast<std::size_t>(node)].frames[l];
    if (deduplicate(static_cast<std::size_t>(node), marks.seq, flow, lan, t_ns)) return inner;
    ++totals_.discarded;
    return std::nullopt;
}

void Receiver::add_supervision(Bytes frame, Lan lan, std::int64_t t_ns) noexcept {
    const std::size_t l = lan_index(lan);
    auto supervision = read_supervision(frame);
    if (!supervision) {
        ++totals_.bad_supervision[l];
        return;
    }
    ++totals_.supervision[l];
    const std::ptrdiff_t node = find_node(supervision->node);
    if (node < 0) return;
    Node& n = nodes_[static_cast<std::size_t>(node)];
    ++n.supervision[l];
    n.last_supervision_ns[l] = t_ns;
}

void Receiver::tick(std::int64_t now_ns) noexcept {
    for (std::size_t i = 0; i < node_count_ * (mask_ + 1); ++i) {
        Entry& entry = windows_[i];
        if (entry.seen != 0 && minus(now_ns, entry.t_ns) > limits_.forget_ns) settle(entry);
    }
}

void Receiver::copy_counts_into(Receiver& out) const noexcept {
    out.totals_ = totals_;
    const std::size_t flows = std::min(flow_count_, out.flows_.size());
    const std::size_t nodes = std::min(node_count_, out.nodes_.size());
    std::copy_n(flows_.begin(), flows, out.flows_.begin());
    std::copy_n(nodes_.begin(), nodes, out.nodes_.begin());
    out.flow_count_ = flows;
    out.node_count_ = nodes;
}

void Receiver::finish(std::int64_t a_until_ns, std::int64_t b_until_ns) noexcept {
    for (std::size_t i = 0; i < node_count_ * (mask_ + 1); ++i) {
        Entry& entry = windows_[i];
        if (entry.seen == 0) continue;
        // The LAN it did not come on, and whether that one was still watched then.
        const std::int64_t other_until = entry.seen == bit_of(Lan::A) ? b_until_ns : a_until_ns;
        settle(entry, entry.seen == BOTH || entry.t_ns <= other_until);
    }
}

}  // namespace valdrin::prp
