// Stream analysis of process-bus traffic: per Sampled Values stream and per
// GOOSE control block, counters of loss, duplication and order, arrival
// intervals, configuration changes and, for 9-2LE streams, the last samples.
// The results are a function of the frames and their receive times alone,
// so a capture file and a live socket give the same answers.
//
// Every octet of storage is allocated when an Analyzer or a Snapshot is
// constructed (which may throw std::bad_alloc); after that add, tick,
// finish and snapshot never allocate, throw or lock.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "ber.hpp"
#include "enum_text.hpp"
#include "ethernet.hpp"
#include "goose.hpp"
#include "sv.hpp"
#include "sv_profile.hpp"

namespace valdrin::analysis {

using ber::Bytes;
using ethernet::Mac;

// --- Limits -------------------------------------------------------------------

// The capacities an Analyzer and its Snapshots are built with.
struct Limits {
    std::size_t sv_streams = 256;    // SV streams tracked; further streams are counted untracked
    std::size_t goose_blocks = 256;  // GOOSE control blocks tracked; likewise
    std::size_t id_length = 129;     // octets of svID / gocbRef (longer: untracked), goID, datSet (longer: cut)
    std::size_t frame_length = 1518;  // octets of a block's last GOOSE frame kept (longer: cut)
    friend bool operator==(const Limits&, const Limits&) = default;
};

// The 9-2LE sample: 8 channels of INT32 value and 32-bit quality, 64 octets.
inline constexpr std::size_t CHANNELS = 8;
inline constexpr std::size_t LE_SAMPLE_SIZE = CHANNELS * 8;
// Samples kept per 9-2LE stream: the longest cycle whose values are
// computed; a stream of more samples per cycle shows none (NaN).
inline constexpr std::size_t RING = 512;
// INT32 values kept of the last ASDU of any other layout.
inline constexpr std::size_t RAW_VALUES = 32;

// --- Malformed frames ---------------------------------------------------------

// Why a GOOSE or SV frame was not analysed: the link header, or the kind of
// the decoder's error.
enum class Malformed : std::uint8_t {
    GooseHeader,             // parse_frame refused the frame
    GooseBer,
    GooseUnexpectedTag,
    GooseMissingField,
    GooseAbove64Bits,
    GooseEmptyIntegerField,
    GooseAllData,
    GooseUtcTime,
    GooseOther,              // a kind the lenient decoder does not report
    SvHeader,                // parse_frame refused the frame
    SvBer,
    SvUnexpectedTag,
    SvMissingField,
    SvBadLength,
    SvMissingNoAsdu,
    SvAsduCount,
};
// Each reason and its name.
inline constexpr auto malformed_names = std::to_array<EnumText<Malformed>>({
    {Malformed::GooseHeader, "GOOSE frame header"},
    {Malformed::GooseBer, "GOOSE BER"},
    {Malformed::GooseUnexpectedTag, "GOOSE unexpected tag"},
    {Malformed::GooseMissingField, "GOOSE missing field"},
    {Malformed::GooseAbove64Bits, "GOOSE above 64 bits"},
    {Malformed::GooseEmptyIntegerField, "GOOSE empty integer"},
    {Malformed::GooseAllData, "GOOSE allData"},
    {Malformed::GooseUtcTime, "GOOSE UtcTime"},
    {Malformed::GooseOther, "GOOSE other"},
    {Malformed::SvHeader, "SV frame header"},
    {Malformed::SvBer, "SV BER"},
    {Malformed::SvUnexpectedTag, "SV unexpected tag"},
    {Malformed::SvMissingField, "SV missing field"},
    {Malformed::SvBadLength, "SV bad length"},
    {Malformed::SvMissingNoAsdu, "SV missing noASDU"},
    {Malformed::SvAsduCount, "SV ASDU count"},
});
static_assert(rows_in_order(malformed_names, Malformed::SvAsduCount), "one row per Malformed, in order");
inline constexpr std::size_t MALFORMED_KINDS = malformed_names.size();

// The reason's name, e.g. "SV bad length".
[[nodiscard]] std::string_view malformed_name(Malformed reason) noexcept;

// --- GOOSE findings -----------------------------------------------------------

// A publishing rule a GOOSE frame breaks that a subscriber relies on: each
// frame is compared with the newest in-order frame of its block before it
// (a frame behind the newest stNum/sqNum is compared with nothing, but for
// SqRestart, which compares each frame with the one that arrived before).
enum class FindingKind : std::uint8_t {
    ValuesChangedWithoutStateChange,  // allData differs, stNum equal
    StateChangedWithoutValuesChange,  // stNum differs, allData equal
    TChangedWithoutStateChange,       // t differs, stNum equal
    TUnchangedAtStateChange,          // stNum differs, t equal
    SqRestart,                        // stNum equal, sqNum smaller, t differs: a restarted publisher
    EntriesMismatch,                  // numDatSetEntries is not the number of allData members
    StrictDeviation,                  // the strict decoder refuses the frame
    TypeChangedWithoutConfRev,        // a member's type differs, confRev equal
    EntriesChangedWithoutConfRev,     // the number of allData members differs, confRev equal
};
// Each finding and its key.
inline constexpr auto finding_names = std::to_array<EnumText<FindingKind>>({
    {FindingKind::ValuesChangedWithoutStateChange, "values_changed_without_state_change"},
    {FindingKind::StateChangedWithoutValuesChange, "state_changed_without_values_change"},
    {FindingKind::TChangedWithoutStateChange, "t_changed_without_state_change"},
    {FindingKind::TUnchangedAtStateChange, "t_unchanged_at_state_change"},
    {FindingKind::SqRestart, "sq_restarts"},
    {FindingKind::EntriesMismatch, "entries_mismatch"},
    {FindingKind::StrictDeviation, "strict_deviations"},
    {FindingKind::TypeChangedWithoutConfRev, "type_changed_without_conf_rev"},
    {FindingKind::EntriesChangedWithoutConfRev, "entries_changed_without_conf_rev"},
});
static_assert(rows_in_order(finding_names, FindingKind::EntriesChangedWithoutConfRev), "one row per FindingKind, in order");
inline constexpr std::size_t FINDING_KINDS = finding_names.size();

// The finding's key, e.g. "values_changed_without_state_change".
[[nodiscard]] std::string_view finding_name(FindingKind kind) noexcept;

// The strict decoder's deviations, counted per kind.
inline constexpr std::size_t DEVIATION_KINDS = static_cast<std::size_t>(goose::DeviationKind::VisibleStringAlphabet) + 1;

// --- Arrival intervals ----------------------------------------------------------

// The buckets of the log-linear histograms below: a value below
// 2^(SubBits + 1) has a bucket of its own, then each power of two has
// 2^SubBits buckets.
template <unsigned SubBits>
struct LogBuckets {
    // The middle of a bucket is within this fraction of any value in it:
    // half a bucket's width over its lowest value.
    static constexpr double RELATIVE_ERROR = 1.0 / (2 << SubBits);
    // The bucket of `v`.
    static constexpr std::size_t index(std::uint64_t v) noexcept {
        const auto width = static_cast<unsigned>(std::bit_width(v));
        const unsigned shift = width > SubBits + 1 ? width - SubBits - 1 : 0;
        return (std::size_t{shift} << SubBits) + static_cast<std::size_t>(v >> shift);
    }
    // The middle of bucket `i`.
    static constexpr double middle(std::size_t i) noexcept {
        const std::size_t shift = i >> SubBits == 0 ? 0 : (i >> SubBits) - 1;
        const std::uint64_t low = static_cast<std::uint64_t>(i - (shift << SubBits)) << shift;
        const std::uint64_t width = std::uint64_t{1} << shift;
        return static_cast<double>(low) + static_cast<double>(width - 1) / 2;
    }
};

// What a histogram of N buckets over values of type T counts: each
// bucket, and exactly the count, min and max. A bucket that would pass
// 2^32 - 1 halves every bucket first (each at least 1 when it was), so
// ranks stay right to a few in 2^32. The buckets in use are a narrow band
// (intervals and latencies cluster): copies and quantiles read that band
// only.
template <std::size_t N, class T>
class BucketCounts {
public:
    BucketCounts() = default;
    BucketCounts(const BucketCounts&) = default;
    // Leaves this equal to `other`, touching only the buckets either uses.
    BucketCounts& operator=(const BucketCounts& other) noexcept {
        if (this == &other) return *this;
        if (!other.empty()) {
            // This band's buckets outside the other's, then the other's band.
            zero(low_, std::min<std::size_t>(high_ + 1, other.low_));
            zero(std::max<std::size_t>(low_, other.high_ + 1), high_ + 1);
            std::copy(other.counts_.begin() + static_cast<std::ptrdiff_t>(other.low_),
                      other.counts_.begin() + static_cast<std::ptrdiff_t>(other.high_ + 1),
                      counts_.begin() + static_cast<std::ptrdiff_t>(other.low_));
        } else {
            zero(low_, high_ + 1);
        }
        weight_ = other.weight_;
        count_ = other.count_;
        min_ = other.min_;
        max_ = other.max_;
        low_ = other.low_;
        high_ = other.high_;
        return *this;
    }

    [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
    // The smallest and largest value; 0 when none was counted.
    [[nodiscard]] T min() const noexcept { return count_ ? min_ : T{}; }
    [[nodiscard]] T max() const noexcept { return count_ ? max_ : T{}; }
    friend bool operator==(const BucketCounts&, const BucketCounts&) = default;

protected:
    // Counts `value` in bucket `i` < N.
    void count_in(std::size_t i, T value) noexcept {
        std::uint32_t& bucket = counts_[i];
        if (bucket == std::numeric_limits<std::uint32_t>::max()) halve();
        ++bucket;
        ++weight_;
        ++count_;
        if (value < min_) min_ = value;
        if (value > max_) max_ = value;
        if (i < low_) low_ = static_cast<std::uint32_t>(i);
        if (i > high_) high_ = static_cast<std::uint32_t>(i);
    }
    // The bucket of the nearest-rank q-quantile (q in [0, 1]); 0 when none was counted.
    [[nodiscard]] std::size_t quantile_bucket(double q) const noexcept {
        if (empty()) return 0;
        q = std::clamp(q, 0.0, 1.0);
        const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(q * static_cast<double>(weight_))));
        std::uint64_t seen = 0;
        for (std::size_t i = low_; i <= high_; ++i) {
            seen += counts_[i];
            if (seen >= rank) return i;
        }
        return high_;
    }
    // `value` kept within [min, max].
    [[nodiscard]] double within(double value) const noexcept {
        return std::clamp(value, static_cast<double>(min_), static_cast<double>(max_));
    }

private:
    static_assert(N > 0 && N < std::numeric_limits<std::uint32_t>::max(), "bucket indexes fit the band's bounds");

    [[nodiscard]] bool empty() const noexcept { return low_ > high_; }
    // Zeroes buckets [from, to) (nothing when to <= from).
    void zero(std::size_t from, std::size_t to) noexcept {
        if (from < to) std::fill(counts_.begin() + static_cast<std::ptrdiff_t>(from),
                                 counts_.begin() + static_cast<std::ptrdiff_t>(to), 0u);
    }
    void halve() noexcept {
        weight_ = 0;
        for (std::size_t i = low_; i <= high_; ++i) {
            std::uint32_t& bucket = counts_[i];
            bucket = bucket / 2 + (bucket & 1);
            weight_ += bucket;
        }
    }

    // The figures every value updates first, next to what precedes the
    // histogram in its stream's record: one cache line fewer per value.
    std::uint64_t weight_ = 0;  // the sum of counts_, which halve() lowers
    std::uint64_t count_ = 0;
    T min_ = std::numeric_limits<T>::max();
    T max_ = std::numeric_limits<T>::lowest();
    // The band of buckets ever counted in, [low_, high_]; empty when low_ > high_.
    std::uint32_t low_ = static_cast<std::uint32_t>(N);
    std::uint32_t high_ = 0;
    std::array<std::uint32_t, N> counts_{};
};

// A log-linear histogram of intervals in nanoseconds: exact below 1024 ns,
// then 512 buckets per power of two, up to 2^37 ns (about 137 s) beyond
// which values share the last bucket.
class IntervalHistogram : public BucketCounts<(37 - 9 + 1) << 9, std::uint64_t> {
public:
    static constexpr unsigned SUB_BITS = 9;  // 2^9 buckets per power of two
    static constexpr std::size_t BUCKETS = (37 - SUB_BITS + 1) << SUB_BITS;
    // The middle of a bucket is within this fraction of any value in it
    // (below 2^37 ns).
    static constexpr double RELATIVE_ERROR = LogBuckets<SUB_BITS>::RELATIVE_ERROR;
    // The significant digits a quantile is shown with: the last one is
    // about as fine as RELATIVE_ERROR.
    static constexpr int QUANTILE_DIGITS = 4;

    // Counts one interval.
    void add(std::uint64_t ns) noexcept {
        const std::size_t index = LogBuckets<SUB_BITS>::index(ns);
        count_in(index < BUCKETS ? index : BUCKETS - 1, ns);
    }
    // The nearest-rank q-quantile (q in [0, 1]) in ns: the middle of its
    // bucket kept within [min, max], within RELATIVE_ERROR of the exact
    // value; 0 when none was counted.
    [[nodiscard]] double quantile(double q) const noexcept;
    // A quantile (in any unit, of either sign) rounded to QUANTILE_DIGITS
    // significant digits, as it is shown.
    [[nodiscard]] static double shown(double quantile) noexcept;
    friend bool operator==(const IntervalHistogram&, const IntervalHistogram&) = default;
};

// Signed latencies in nanoseconds, counted as IntervalHistogram counts
// intervals but with 128 buckets per power of two on either side of zero,
// exact below 256 ns, up to 2^30 ns (about 1.07 s) beyond which values
// share the last bucket of their side.
class LatencyHistogram : public BucketCounts<2 * ((30 - 7 + 1) << 7), std::int64_t> {
public:
    static constexpr unsigned SUB_BITS = 7;
    static constexpr std::size_t SIDE = (30 - SUB_BITS + 1) << SUB_BITS;  // buckets of each side
    static constexpr double RELATIVE_ERROR = LogBuckets<SUB_BITS>::RELATIVE_ERROR;

    // Counts one latency: the negative side's buckets mirrored below the rest.
    void add(std::int64_t ns) noexcept {
        const std::uint64_t magnitude = ns < 0 ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
        const std::size_t m = LogBuckets<SUB_BITS>::index(magnitude);
        const std::size_t side = m < SIDE ? m : SIDE - 1;
        count_in(ns < 0 ? SIDE - 1 - side : SIDE + side, ns);
    }
    // The nearest-rank q-quantile (q in [0, 1]) in ns: the middle of its
    // bucket (by magnitude) kept within [min, max]; 0 when none was counted.
    [[nodiscard]] double quantile(double q) const noexcept;
    friend bool operator==(const LatencyHistogram&, const LatencyHistogram&) = default;
};

// --- Per stream and per block -------------------------------------------------

// One Sampled Values stream, keyed by APPID, destination MAC and svID. The
// counters are of ASDUs by smpCnt unless said otherwise.
struct SvStream {
    std::uint16_t app_id = 0;
    Mac dst_mac{};
    Mac src_mac{};              // of its last frame
    std::int32_t vlan_id = -1;  // of its last frame; -1 when untagged
    std::int32_t vlan_priority = -1;  // of its last frame; -1 when untagged
    std::int64_t first_ns = 0;  // receive time of its first and last frame
    std::int64_t last_ns = 0;
    std::uint64_t frames = 0;        // frames carrying at least one of its ASDUs
    std::uint64_t asdus = 0;
    std::uint64_t first_frame_asdus = 0;  // its ASDUs in its first frame (for the rate)
    std::uint64_t backward_times = 0;  // frames received at an earlier time than the one before
    // The counters as the stream's SvCounter (sv_counter.hpp) has them:
    std::uint64_t lost = 0;          // samples from the earliest to the newest never received
    std::uint64_t duplicated = 0;    // counters received again within the last wrap / 2
    std::uint64_t out_of_order = 0;  // counters behind the newest, not received before
    std::uint32_t wrap = 65536;      // the counter after wrap - 1 is 0
    bool wrap_learnt = false;
    std::uint16_t smp_cnt = 0;       // the newest counter
    std::uint32_t conf_rev = 0;      // last values and how often they changed
    std::uint64_t conf_rev_changes = 0;
    // ASDUs whose confRev is not the expected one (Analyzer::expect_conf_rev),
    // the first such confRev and its receive time.
    std::uint64_t unexpected_conf_rev = 0;
    std::uint32_t first_unexpected_conf_rev = 0;
    std::int64_t first_unexpected_conf_rev_ns = 0;
    std::uint8_t smp_synch = 0;
    std::uint64_t smp_synch_changes = 0;
    bool simulation = false;         // reserved1 bit 15 of the last frame
    std::uint64_t simulation_changes = 0;
    bool has_smp_rate = false;       // smpRate and smpMod of the last ASDU
    std::uint16_t smp_rate = 0;
    bool has_smp_mod = false;
    std::uint16_t smp_mod = 0;
    // The sample layout of the last ASDU: 9-2LE (64 octets) or other.
    bool le_layout = false;
    // 9-2LE: quality of each channel in the last ASDU and its changes.
    std::array<std::uint32_t, CHANNELS> quality{};
    std::array<std::uint64_t, CHANNELS> quality_changes{};
    // 9-2LE: the last `ring_size` samples that moved the counter forward
    // (no duplicate or late one), in arrival order, oldest at
    // (ring_next - ring_size) mod RING, with their counters.
    std::uint32_t ring_size = 0;
    std::uint32_t ring_next = 0;
    // Its ASDUs in its last frame.
    std::uint32_t frame_asdus = 0;
    // Outages: a frame later than three times the mean of the intervals
    // before it that were no outage, or a tick that finds the stream
    // without a frame for that long; each counted once, when first seen,
    // and the longest silence of any (to the frame that ended it, or to
    // the last tick while it goes on).
    std::uint64_t outages = 0;
    std::uint64_t longest_outage_ns = 0;
    bool silent = false;             // an outage goes on: no frame since a tick found it
    // The octets of the last ASDU's sample (its data set's layout on the wire).
    std::uint32_t sample_octets = 0;
    // Other layouts: the sample's first INT32 values (big-endian, no
    // scaling) of the last ASDU, and how many whole INT32 it held.
    std::uint32_t raw_count = 0;
    std::uint32_t raw_total = 0;
    // The large parts last, each touched at one place per ASDU: the fields
    // above, which every ASDU updates, share a few cache lines.
    IntervalHistogram intervals;     // between consecutive frames
    // Receive time minus the sampling instant of each frame's last ASDU
    // when that ASDU is of this stream and its wrap is learnt: the instant
    // of smpCnt / wrap in a UNIX second, the one nearest the receive time
    // (within half a second). Meaningful when the counter wraps at the
    // sample rate, which figures() tells.
    LatencyHistogram latency;
    // Line-aligned: the analysis writes it with streaming stores.
    alignas(64) std::array<std::array<std::int32_t, CHANNELS>, RING> ring{};
    std::array<std::uint16_t, RING> ring_smp_cnt{};
    std::array<std::int32_t, RAW_VALUES> raw{};
    friend bool operator==(const SvStream&, const SvStream&) = default;
};

// One GOOSE control block, keyed by APPID, destination MAC and gocbRef.
struct GooseBlock {
    std::uint16_t app_id = 0;
    Mac dst_mac{};
    Mac src_mac{};              // of its last frame
    std::int32_t vlan_id = -1;  // of its last frame; -1 when untagged
    std::int32_t vlan_priority = -1;  // of its last frame; -1 when untagged
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    std::int64_t last_change_ns = 0;  // receive time of the last new stNum (or the first frame)
    std::uint64_t frames = 0;
    std::uint64_t st_num = 0;         // the newest stNum and sqNum
    std::uint64_t sq_num = 0;
    std::uint64_t state_changes = 0;  // frames of a higher stNum than the newest
    std::uint64_t lost = 0;           // sqNum and stNum numbers skipped (less those of the newest state that came late)
    std::uint64_t duplicated = 0;     // the newest stNum and sqNum again
    std::uint64_t out_of_order = 0;   // a stNum or sqNum behind the newest
    // The newest taken back to the third of three frames in a row behind it
    // that carry on from each other (a restarted publisher).
    std::uint64_t resyncs = 0;
    std::uint64_t tal_expired = 0;    // the next frame later than the last one's TAL, or none
    std::uint64_t time_allowed_to_live = 0;  // ms, of the last frame
    std::uint64_t conf_rev = 0;
    std::uint64_t conf_rev_changes = 0;
    bool simulation = false;
    std::uint64_t simulation_changes = 0;
    bool nds_com = false;
    std::uint64_t nds_com_changes = 0;
    // Frames whose confRev is not the expected one (Analyzer::expect_conf_rev),
    // the first such confRev and its receive time.
    std::uint64_t unexpected_conf_rev = 0;
    std::uint64_t first_unexpected_conf_rev = 0;
    std::int64_t first_unexpected_conf_rev_ns = 0;
    bool has_go_id = false;
    std::size_t go_id_size = 0;     // full sizes; the kept octets are
    std::size_t dat_set_size = 0;   // cut to Limits::id_length and
    std::size_t frame_size = 0;     // Limits::frame_length (of the newest in-order frame)
    // Frames of each FindingKind (StrictDeviation: frames the strict
    // decoder refused), and the receive time of the first of each kind.
    std::array<std::uint64_t, FINDING_KINDS> findings{};
    std::array<std::int64_t, FINDING_KINDS> first_finding_ns{};
    // Refused frames by the DeviationKind of their first deviation, the
    // receive time of the first of each kind and the last deviation of each
    // kind (goose::describe gives its text).
    std::array<std::uint64_t, DEVIATION_KINDS> deviations{};
    std::array<std::int64_t, DEVIATION_KINDS> first_deviation_ns{};
    std::array<goose::Deviation, DEVIATION_KINDS> last_deviation{};
    friend bool operator==(const GooseBlock&, const GooseBlock&) = default;
};

// Frame totals of the whole input.
struct Totals {
    std::uint64_t frames = 0;
    std::uint64_t other = 0;          // neither GOOSE nor SV (or too short for an EtherType)
    std::uint64_t malformed = 0;      // GOOSE or SV that failed to decode
    std::array<std::uint64_t, MALFORMED_KINDS> malformed_by = {};
    std::uint64_t sv_frames = 0;      // decoded SV frames and their ASDUs
    std::uint64_t sv_asdus = 0;
    std::uint64_t goose_frames = 0;   // decoded GOOSE frames
    std::uint64_t sv_untracked = 0;   // ASDUs of streams beyond the limits
    std::uint64_t goose_untracked = 0;  // frames of blocks beyond the limits
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    bool finished = false;            // finish() was called, at end_ns
    std::int64_t end_ns = 0;
    friend bool operator==(const Totals&, const Totals&) = default;
};

// --- Snapshots ----------------------------------------------------------------

// A copy of everything an Analyzer counts; the Analyzer keeps its own live
// state in one. Construct it with the Analyzer's Limits before handing it
// to Analyzer::snapshot.
class Snapshot {
public:
    // Allocates room for the limits' streams, blocks and octets; throws
    // std::length_error when they cannot be sized (above 2^30 streams or
    // blocks, or octet products beyond size_t), std::bad_alloc when short.
    explicit Snapshot(const Limits& limits);

    [[nodiscard]] const Limits& limits() const noexcept { return limits_; }
    [[nodiscard]] const Totals& totals() const noexcept { return totals_; }
    // Copies this state into `out`; false (and nothing copied) when `out`
    // was built with other limits. Never allocates.
    [[nodiscard]] bool copy_into(Snapshot& out) const noexcept;
    // The last message of each malformed reason (empty when none).
    [[nodiscard]] std::string_view malformed_message(Malformed reason) const noexcept {
        return messages_[static_cast<std::size_t>(reason)].view();
    }

    // Tracked streams and blocks, in the order first seen.
    [[nodiscard]] std::size_t sv_count() const noexcept { return sv_count_; }
    [[nodiscard]] std::size_t goose_count() const noexcept { return goose_count_; }
    // Entry `i` < sv_count() / goose_count(); the views are into this Snapshot.
    [[nodiscard]] const SvStream& sv(std::size_t i) const noexcept { return sv_[i]; }
    [[nodiscard]] Bytes sv_id(std::size_t i) const noexcept { return pool(sv_ids_, i, sv_id_sizes_[i]); }
    [[nodiscard]] const GooseBlock& goose(std::size_t i) const noexcept { return goose_[i]; }
    [[nodiscard]] Bytes gocb_ref(std::size_t i) const noexcept { return pool(refs_, i, ref_sizes_[i]); }
    [[nodiscard]] Bytes go_id(std::size_t i) const noexcept { return pool(go_ids_, i, goose_[i].go_id_size); }
    [[nodiscard]] Bytes dat_set(std::size_t i) const noexcept { return pool(dat_sets_, i, goose_[i].dat_set_size); }
    // The block's newest in-order frame, cut to Limits::frame_length octets.
    [[nodiscard]] Bytes frame(std::size_t i) const noexcept;

private:
    friend class Analyzer;

    Bytes pool(const std::vector<std::uint8_t>& octets, std::size_t i, std::size_t size) const noexcept {
        const std::size_t stride = limits_.id_length;
        return Bytes(octets).subspan(i * stride, size < stride ? size : stride);
    }
    void copy_to(Snapshot& out) const noexcept;

    Limits limits_;
    Totals totals_;
    std::array<ber::Text, MALFORMED_KINDS> messages_{};
    std::size_t sv_count_ = 0;
    std::size_t goose_count_ = 0;
    std::vector<SvStream> sv_;
    std::vector<std::uint8_t> sv_ids_;  // id_length octets per stream
    std::vector<std::size_t> sv_id_sizes_;
    std::vector<GooseBlock> goose_;
    std::vector<std::uint8_t> refs_;     // id_length octets per block, each
    std::vector<std::size_t> ref_sizes_;
    std::vector<std::uint8_t> go_ids_;
    std::vector<std::uint8_t> dat_sets_;
    std::vector<std::uint8_t> frames_;   // frame_length octets per block
};

// --- Events -------------------------------------------------------------------

enum class EventKind : std::uint8_t {
    SvStreamSeen,      // a new SV stream
    GooseBlockSeen,    // a new GOOSE block
    GooseStateChange,  // a frame of a higher stNum
    TalExpired,        // a block's timeAllowedToLive ran out before its next frame
    ConfRevChange,     // of a stream or block
    SimulationChange,  // of a stream or block
    NdsComChange,      // of a block
    DecodeFailure,     // a malformed GOOSE or SV frame
    Finding,           // a GOOSE frame that breaks a publishing rule (FindingKind)
    // Of an SvWatch (sv_watch.hpp), never of the Analyzer:
    SvDeparture,       // this host sent the watched stream's ASDU of the marked smpCnt
    OvercurrentTrip,   // the watched channel's overcurrent element tripped
    OvercurrentReset,  // and reset
    ProtectionBlocked,   // the element stopped deciding (BlockReason)
    ProtectionReleased,  // and decides again, on a full window of good samples
};

// Each kind and its name, e.g. "goose_state_change".
inline constexpr auto event_kind_names = std::to_array<EnumText<EventKind>>({
    {EventKind::SvStreamSeen, "sv_stream_seen"},
    {EventKind::GooseBlockSeen, "goose_block_seen"},
    {EventKind::GooseStateChange, "goose_state_change"},
    {EventKind::TalExpired, "tal_expired"},
    {EventKind::ConfRevChange, "conf_rev_change"},
    {EventKind::SimulationChange, "simulation_change"},
    {EventKind::NdsComChange, "nds_com_change"},
    {EventKind::DecodeFailure, "decode_failure"},
    {EventKind::Finding, "goose_finding"},
    {EventKind::SvDeparture, "sv_departure"},
    {EventKind::OvercurrentTrip, "overcurrent_trip"},
    {EventKind::OvercurrentReset, "overcurrent_reset"},
    {EventKind::ProtectionBlocked, "protection_blocked"},
    {EventKind::ProtectionReleased, "protection_released"},
});
static_assert(rows_in_order(event_kind_names, EventKind::ProtectionReleased), "one row per EventKind, in order");

// Why an SvWatch's element is blocked (sv_watch.hpp).
enum class BlockReason : std::uint8_t {
    QualityInvalid,  // the watched channel's validity is invalid
    QualityTest,     // its test bit is set
    Unsynchronised,  // smpSynch 0
    SamplesLost,     // a run of lost samples at least the set length
};

inline constexpr auto block_reason_names = std::to_array<EnumText<BlockReason>>({
    {BlockReason::QualityInvalid, "quality invalid"},
    {BlockReason::QualityTest, "quality test"},
    {BlockReason::Unsynchronised, "smpSynch 0"},
    {BlockReason::SamplesLost, "samples lost"},
});
static_assert(rows_in_order(block_reason_names, BlockReason::SamplesLost), "one row per BlockReason, in order");

// Returns the kind's name, e.g. "tal_expired".
[[nodiscard]] constexpr std::string_view event_kind_name(EventKind kind) noexcept {
    return text_of(event_kind_names, kind);
}

// One event: a fixed-size record; only the members of its kind are set.
struct Event {
    EventKind kind;
    bool goose = false;         // of a GOOSE block, else of an SV stream (or an SV failure)
    std::int64_t time_ns = 0;   // the frame's receive time; TalExpired: the instant the TAL ran out
    std::size_t index = 0;      // the stream's or block's entry in a Snapshot
    std::uint16_t app_id = 0;
    Mac dst_mac{};
    // svID or gocbRef: a view into the Analyzer, valid while it lives.
    Bytes id{};
    std::uint64_t st_num = 0;   // GooseBlockSeen, GooseStateChange
    std::uint64_t sq_num = 0;   // GooseBlockSeen, GooseStateChange
    std::uint64_t time_allowed_to_live = 0;  // TalExpired: ms
    std::uint64_t old_value = 0;  // ConfRevChange, SimulationChange and NdsComChange (0 or 1)
    std::uint64_t new_value = 0;
    // GooseBlockSeen, GooseStateChange and DecodeFailure: the frame, a view
    // valid only during the call to the sink.
    Bytes frame{};
    Malformed reason = Malformed::GooseHeader;  // DecodeFailure
    FindingKind finding = FindingKind::ValuesChangedWithoutStateChange;  // Finding
    // DecodeFailure: the decoder's message; Finding: what the frame did, for
    // StrictDeviation the strict decoder's text.
    ber::Text message{};
    std::uint16_t smp_cnt = 0;  // SvDeparture, OvercurrentTrip/Reset: the deciding ASDU's
    bool outgoing = false;      // SvDeparture: the frame was sent by this host
    double rms = 0.0;           // OvercurrentTrip/Reset: the window's RMS in counts
    BlockReason block_reason = BlockReason::QualityInvalid;  // ProtectionBlocked
    std::uint64_t lost = 0;     // ProtectionBlocked for SamplesLost: the run's length
};

// What receives events, on the thread that calls the Analyzer; on() must
// not block.
class EventSink {
public:
    virtual void on(const Event& event) noexcept = 0;

protected:
    ~EventSink() = default;
};

// A sink that drops every event.
class NoEvents final : public EventSink {
public:
    void on(const Event&) noexcept override {}
};

// --- The analyzer -------------------------------------------------------------

// Analysis of one input, frame by frame in arrival order. Not thread-safe:
// one thread calls every member; others read copies made with snapshot().
class Analyzer {
public:
    // Allocates everything the limits need; throws as Snapshot's constructor does.
    explicit Analyzer(const Limits& limits);
    ~Analyzer();
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;

    // Analyses one Ethernet frame (from the destination MAC on) received at
    // `t_ns` (ns since the UNIX epoch); `frame` is read during the call only.
    void add(Bytes frame, std::int64_t t_ns, EventSink& sink) noexcept;
    // Counts the TAL expiries of blocks without a frame since then, and the
    // outages of SV streams going on, up to `now_ns`.
    void tick(std::int64_t now_ns, EventSink& sink) noexcept;
    // The input ended at `end_ns`: tick(end_ns) and mark the totals finished.
    void finish(std::int64_t end_ns, EventSink& sink) noexcept;
    // From the next frame on, counts each SV ASDU and GOOSE frame whose
    // confRev is not `conf_rev` (nothing when empty, the default).
    void expect_conf_rev(std::optional<std::uint64_t> conf_rev) noexcept { expected_conf_rev_ = conf_rev; }

    // Copies the live state into `out`; false (and nothing copied) when
    // `out` was built with other limits.
    [[nodiscard]] bool snapshot(Snapshot& out) const noexcept;
    // The live state, for the calling thread only.
    [[nodiscard]] const Snapshot& live() const noexcept { return state_; }

private:
    struct SvTrack;
    struct GooseTrack;
    struct SvCounted;
    struct Table;

    void add_sv(const ethernet::Frame& frame, Bytes raw, std::int64_t t_ns, EventSink& sink) noexcept;
    void add_goose(const ethernet::Frame& frame, Bytes raw, std::int64_t t_ns, EventSink& sink) noexcept;
    void malformed(Malformed reason, bool goose, const ber::Text& message, Bytes raw, std::int64_t t_ns,
                   EventSink& sink) noexcept;
    // The entry of the key, added when new and room is left; -1 when untracked.
    // `added` tells that the entry is new.
    std::ptrdiff_t find_sv(std::uint16_t app_id, const Mac& mac, Bytes id, bool& added) noexcept;
    std::ptrdiff_t find_goose(std::uint16_t app_id, const Mac& mac, Bytes ref, bool& added) noexcept;
    // Counts one ASDU of stream `i`.
    void add_asdu(std::size_t i, const SvCounted& asdu, bool simulation, std::int64_t t_ns,
                  EventSink& sink) noexcept;
    // Counts one ASDU of a decoded frame: its stream found (the stream of
    // the ASDU before tried first), then add_asdu.
    void count_asdu(const ethernet::Frame& frame, const SvCounted& asdu, bool simulation, std::int64_t t_ns,
                    EventSink& sink) noexcept;
    // An event about stream or block `i`, its key filled in.
    Event event_of(EventKind kind, bool goose, std::size_t i, std::int64_t t_ns) const noexcept;
    void check_tal(std::size_t i, std::int64_t now_ns, EventSink& sink) noexcept;
    // Counts an outage of stream `i` that goes on at `now_ns`.
    void check_silence(std::size_t i, std::int64_t now_ns) noexcept;
    // Counts the latency of stream `i`'s ASDU of `smp_cnt`, the last of a frame received at `t_ns`.
    void count_latency(std::size_t i, std::uint16_t smp_cnt, std::int64_t t_ns) noexcept;
    // How a GOOSE frame stands to its block's newest in-order frame.
    enum class Order : std::uint8_t {
        First,       // the block's first frame, or the sequence taken back (a restart): compared with nothing
        InOrder,     // at or ahead of the newest: compared with it
        OutOfOrder,  // behind the newest: compared with nothing (but for an sqNum restart)
    };
    // Counts a frame of block `i` (not its first) by its stNum and sqNum
    // against the newest, and the changes of confRev and flags against the
    // frame before; returns how it stands to the newest.
    Order count_sequence(std::size_t i, const goose::ReceivedPdu& pdu, Bytes raw, std::int64_t t_ns,
                         EventSink& sink) noexcept;
    // Counts what a frame of block `i` breaks, with the strict decoder's
    // `deviation`, comparing it as `order` says; an in-order frame becomes
    // the one the next is compared with.
    void check_findings(std::size_t i, const goose::ReceivedPdu& pdu, const std::optional<goose::Deviation>& deviation,
                        Bytes raw, Order order, std::int64_t t_ns, EventSink& sink) noexcept;

    Snapshot state_;
    std::optional<std::uint64_t> expected_conf_rev_;
    std::vector<SvTrack> sv_tracks_;
    std::vector<GooseTrack> goose_tracks_;
    // Open addressing, one cache line holding a slot's entry and hash.
    struct Slot {
        std::int32_t entry = 0;  // the entry + 1, 0 when empty
        std::uint32_t hash = 0;  // the key hash's upper half
    };
    std::vector<Slot> sv_slots_;
    std::vector<Slot> goose_slots_;
    // The stream last found for each APPID's low octet: most APPIDs carry
    // one stream, whose key is then compared without hashing (entry + 1).
    std::array<std::int32_t, 256> sv_recent_{};
    std::uint64_t frame_seq_ = 0;            // numbers the frames, for per-stream frame counts
    // The stream of the ASDU counted last in this frame: svID and entry
    // (-1 untracked), or NO_LOOKUP at the frame's first ASDU.
    static constexpr std::ptrdiff_t NO_LOOKUP = -2;
    Bytes last_id_{};
    std::ptrdiff_t last_entry_ = NO_LOOKUP;
};

// --- Derived figures ----------------------------------------------------------

// One channel's values over the last nominal cycle; NaN when unknown.
struct ChannelFigures {
    double rms = 0;            // A for channels 0-3, V for channels 4-7
    double magnitude = 0;      // of the fundamental phasor, RMS, same unit
    double angle_deg = 0;      // of the fundamental phasor, (-180, 180], cosine-referenced to smpCnt 0
    double frequency_hz = 0;   // from the rising zero crossings over all samples kept
};

// What a stream's counters imply; NaN where unknown.
struct SvFigures {
    double interval_min_us = 0;  // arrival intervals between frames
    double interval_median_us = 0;
    double interval_p99_us = 0;
    double interval_max_us = 0;
    double asdu_rate = 0;        // ASDUs per second from the first frame to the last
    // The counter wraps at the sample rate: its wrap is learnt and within
    // AT_RATE_TOLERANCE of the samples its counters span per second (lost
    // ones too, repeated ones once) from the first frame to the last.
    bool counter_at_rate = false;
    // Latency (SvStream::latency) when the counter wraps at the rate and
    // any was measured; NaN otherwise.
    double latency_min_us = 0;
    double latency_median_us = 0;
    double latency_p99_us = 0;
    double latency_max_us = 0;
    // The preferred profile (sv_profile.hpp) of the wrap as the rate, the
    // ASDUs of the last frame and the channels of 8 octets of the last
    // ASDU's sample, when the counter wraps at the rate; none otherwise.
    std::optional<sv::Profile> profile;
    // Samples per nominal cycle used: from smpRate, else the learnt wrap,
    // else the rate; 0 when none is known or it is outside [4, RING].
    std::size_t samples_per_cycle = 0;
    bool values = false;         // the 9-2LE layout with a whole cycle kept
    bool contiguous = false;     // that cycle's counters follow each other
    std::array<ChannelFigures, CHANNELS> channels{};
};

// How far the samples a counter spans per second may be from its wrap for
// the counter to wrap at the rate: nominal rates lie further apart.
inline constexpr double AT_RATE_TOLERANCE = 0.02;

// Computes the figures of `stream` for a nominal frequency of `nominal_hz`
// (50 or 60); reads only `stream`.
[[nodiscard]] SvFigures figures(const SvStream& stream, double nominal_hz = 50.0) noexcept;

// The 9-2LE scaling: a current count is 1 mA, a voltage count 10 mV.
inline constexpr std::int64_t COUNTS_PER_AMPERE = 1000;
inline constexpr std::int64_t COUNTS_PER_VOLT = 100;

// The scale of a 9-2LE channel: 0.001 A per count for 0-3, 0.01 V for 4-7.
[[nodiscard]] constexpr double channel_scale(std::size_t channel) noexcept {
    return 1.0 / static_cast<double>(channel < 4 ? COUNTS_PER_AMPERE : COUNTS_PER_VOLT);
}

}  // namespace valdrin::analysis
