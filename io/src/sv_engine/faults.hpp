// Fault injection knobs of the SV publisher, per stream: set from any thread
// while the publisher runs (Faults), read by the transmit thread frame by
// frame (FrameFaults). One-shot knobs are counts the thread consumes;
// lasting ones hold until cleared. Nothing here allocates after
// construction, and the transmit thread takes no lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "clock.hpp"
#include "enum_text.hpp"
#include "prp_knobs.hpp"
#include "prp_sender.hpp"
#include "sv_engine/config.hpp"

namespace valdrin::io::sv_engine {

// Every knob, one row each in KNOBS.
enum class Knob : std::uint8_t {
    Drop,        // the next N frames are not sent
    Duplicate,   // each of the next N frames is sent twice
    Swap,        // the next two frames leave in reverse order
    Jump,        // smpCnt skips ahead by N samples for good
    Silence,     // nothing sent for a span of time
    Quality,     // bits OR-ed into chosen channels' quality words
    SmpSynch,    // another smpSynch
    ConfRev,     // another confRev
    Simulation,  // the simulation bit of reserved1
    Delay,       // frames leave late by a span of time
    // PRP only (a publisher with LAN B), each acting on one LAN's copies or on the trailer:
    PrpDropA,      // the next N frames are not sent on LAN A
    PrpDropB,      // ... on LAN B
    PrpLossA,      // a share of the frames, at random, is not sent on LAN A
    PrpLossB,      // ... on LAN B
    PrpDelayA,     // LAN A's copies leave late by a span of time
    PrpDelayB,     // ... LAN B's
    PrpRepeatSeq,  // the next N frames carry the node's previous sequence number
    PrpWrongLan,   // each copy carries the other LAN's identifier
    PrpBadSize,    // the trailer's LSDU size one too large
};

// Whether `knob` acts on PRP's second LAN or trailer (a publisher with LAN B only).
[[nodiscard]] constexpr bool needs_prp(Knob knob) noexcept { return knob >= Knob::PrpDropA; }

// How a knob's value reads, and whether it lasts (the names are those of
// the command line's grammar).
enum class KnobKind : std::uint8_t {
    Count,   // one-shot: a whole number from 1
    Action,  // one-shot: no value
    Span,    // one-shot: ns
    Flag,    // lasting: 0 or 1
    Number,  // lasting: a whole number up to the row's max
    Delay,   // lasting: ns up to the row's max
    Mask,    // lasting: quality bits on channels
};

inline constexpr auto knob_kind_names = std::to_array<EnumText<KnobKind>>({
    {KnobKind::Count, "count"},
    {KnobKind::Action, "action"},
    {KnobKind::Span, "span"},
    {KnobKind::Flag, "flag"},
    {KnobKind::Number, "number"},
    {KnobKind::Delay, "delay"},
    {KnobKind::Mask, "mask"},
});
static_assert(rows_in_order(knob_kind_names, KnobKind::Mask), "one row per KnobKind, in order");

// The longest silence and the longest delay a knob takes.
inline constexpr std::int64_t MAX_SILENCE_NS = 3600 * NS_PER_S;
inline constexpr std::int64_t MAX_DELAY_NS = NS_PER_S;

// One knob: its name, kind, largest value and what a receiver sees.
struct KnobRow {
    Knob knob;
    std::string_view name;
    KnobKind kind;
    std::int64_t max;
    std::string_view help;
};

inline constexpr auto KNOBS = std::to_array<KnobRow>({
    {Knob::Drop, "drop", KnobKind::Count, UINT32_MAX,
     "the next N frames are not sent, their samples passed over (N x ASDUs lost)"},
    {Knob::Duplicate, "duplicate", KnobKind::Count, UINT32_MAX, "each of the next N frames is sent twice"},
    {Knob::Swap, "swap", KnobKind::Action, 1, "the next two frames leave in reverse order"},
    {Knob::Jump, "jump", KnobKind::Count, 65535,
     "smpCnt skips ahead by N samples and counts on from there; frames keep their time"},
    {Knob::Silence, "silence", KnobKind::Span, MAX_SILENCE_NS,
     "no frame for TIME, their samples passed over"},
    {Knob::Quality, "quality", KnobKind::Mask, UINT32_MAX,
     "MASK OR-ed into the quality word of the chosen channels (default all)"},
    {Knob::SmpSynch, "smp_synch", KnobKind::Number, 255, "smpSynch V (0 none, 1 local, 2 global) instead of the stream's"},
    {Knob::ConfRev, "conf_rev", KnobKind::Number, UINT32_MAX, "confRev V instead of the stream's"},
    {Knob::Simulation, "simulation", KnobKind::Flag, 1, "the simulation bit (reserved1 bit 15) set"},
    {Knob::Delay, "delay", KnobKind::Delay, MAX_DELAY_NS,
     "every frame leaves TIME after its scheduled instant, its samples unchanged (at most 1 s)"},
    {Knob::PrpDropA, "prp_drop_a", KnobKind::Count, UINT32_MAX, "with --prp: the next N frames not sent on LAN A"},
    {Knob::PrpDropB, "prp_drop_b", KnobKind::Count, UINT32_MAX, "with --prp: the next N frames not sent on LAN B"},
    {Knob::PrpLossA, "prp_loss_a", KnobKind::Number, 100,
     "with --prp: V % of the frames (0-100), drawn at random, not sent on LAN A"},
    {Knob::PrpLossB, "prp_loss_b", KnobKind::Number, 100,
     "with --prp: V % of the frames (0-100), drawn at random, not sent on LAN B"},
    {Knob::PrpDelayA, "prp_delay_a", KnobKind::Delay, MAX_PRP_DELAY_NS,
     "with --prp: LAN A's copies leave TIME after LAN B's (at most 10 ms)"},
    {Knob::PrpDelayB, "prp_delay_b", KnobKind::Delay, MAX_PRP_DELAY_NS,
     "with --prp: LAN B's copies leave TIME after LAN A's (at most 10 ms)"},
    {Knob::PrpRepeatSeq, "prp_repeat_seq", KnobKind::Count, UINT32_MAX,
     "with --prp: the next N frames repeat the previous sequence number"},
    {Knob::PrpWrongLan, "prp_wrong_lan", KnobKind::Flag, 1, "with --prp: each copy carries the other LAN's identifier"},
    {Knob::PrpBadSize, "prp_bad_size", KnobKind::Flag, 1, "with --prp: the trailer's LSDU size one too large"},
});
static_assert([] {
    for (std::size_t i = 0; i < KNOBS.size(); ++i) {
        if (static_cast<std::size_t>(KNOBS[i].knob) != i) return false;
    }
    return KNOBS.back().knob == Knob::PrpBadSize;
}(), "one row per Knob, in order");

// Returns the row of the knob called `name`, or nothing.
[[nodiscard]] constexpr const KnobRow* find_knob(std::string_view name) noexcept {
    for (const KnobRow& row : KNOBS) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

// Whether knobs of `kind` hold until cleared.
[[nodiscard]] constexpr bool lasting(KnobKind kind) noexcept {
    return kind == KnobKind::Flag || kind == KnobKind::Number || kind == KnobKind::Delay || kind == KnobKind::Mask;
}

// The bits of a sample's quality word by name (IEC 61850-7-3 order, bit 0
// first); "questionable" is the validity value 11.
struct QualityBit {
    std::string_view name;
    std::uint32_t mask;
};

inline constexpr auto QUALITY_BITS = std::to_array<QualityBit>({
    {"invalid", 0x0001},       {"questionable", 0x0003},   {"overflow", 0x0004},
    {"out_of_range", 0x0008},  {"bad_reference", 0x0010},  {"oscillatory", 0x0020},
    {"failure", 0x0040},       {"old_data", 0x0080},       {"inconsistent", 0x0100},
    {"inaccurate", 0x0200},    {"substituted", 0x0400},    {"test", 0x0800},
    {"operator_blocked", 0x1000}, {"derived", 0x2000},
});

// Why a knob was not set.
enum class FaultError : std::uint8_t {
    NoStream,
    NoChannel,
    OutOfRange,
    NotLasting,
    NoField,
    NoPrp,
};

inline constexpr auto fault_error_texts = std::to_array<EnumText<FaultError>>({
    {FaultError::NoStream, "no such stream"},
    {FaultError::NoChannel, "no such channel in the stream"},
    {FaultError::OutOfRange, "fault value out of range"},
    {FaultError::NotLasting, "only a lasting knob can be cleared"},
    {FaultError::NoField, "the stream's frame has no such field where the publisher writes it"},
    {FaultError::NoPrp, "a PRP knob needs a publisher on two LANs (prp_b, --prp IF_A,IF_B)"},
});
static_assert(rows_in_order(fault_error_texts, FaultError::NoPrp), "one row per FaultError, in order");

// Returns the message of `error`.
[[nodiscard]] constexpr std::string_view describe(FaultError error) noexcept {
    return text_of(fault_error_texts, error);
}

// Where in a stream's frame the knobs write besides smpCnt and samples:
// reserved1, and each ASDU's confRev and smpSynch contents; found in the
// template once, each absent when the template does not hold it there.
struct Fields {
    std::optional<std::size_t> reserved1;
    std::vector<std::size_t> conf_rev;   // empty, or one per ASDU (4 octets)
    std::vector<std::size_t> smp_synch;  // empty, or one per ASDU (1 octet)

    // Returns the fields of `stream`'s template.
    static Fields of(const Stream& stream);
};

// One stream's knobs, written by any thread, read by the transmit thread.
struct StreamKnobs {
    // Whether any PRP knob (prp_*) is set: the frames then leave one by one.
    [[nodiscard]] bool prp_armed() const noexcept {
        // One load while no knob of the stream was ever set.
        return armed.load(std::memory_order_acquire) && prp.any();
    }

    std::atomic<std::uint32_t> drop{0};
    std::atomic<std::uint32_t> duplicate{0};
    std::atomic<std::uint32_t> swap{0};
    std::atomic<std::uint32_t> jump{0};
    std::atomic<std::int64_t> silent_until_ns{0};  // CLOCK_REALTIME
    std::atomic<std::int32_t> smp_synch{-1};       // -1: the stream's own
    std::atomic<std::int64_t> conf_rev{-1};        // -1: the stream's own
    std::atomic<bool> simulation{false};
    PrpKnobs prp;  // with a LAN B only
    std::atomic<std::int64_t> delay_ns{0};
    std::atomic<bool> quality_on{false};            // any channel's mask nonzero
    std::unique_ptr<std::atomic<std::uint32_t>[]> quality;  // one per channel
    // Set (after the knob) by every set, set_quality and clear, never reset:
    // until then the transmit thread skips the stream's knobs altogether.
    std::atomic<bool> armed{false};
};

// The knobs of every stream of one publisher.
class Faults {
public:
    // Knobs at rest for each stream of `config`; throws std::bad_alloc.
    explicit Faults(const Config& config);

    // Sets knob `knob` of stream `stream` to `value` (see KnobKind; a span
    // counts from `now`). Quality takes set_quality instead.
    [[nodiscard]] std::expected<void, FaultError> set(std::size_t stream, Knob knob, std::int64_t value,
                                                      Nanos now) noexcept;

    // ORs `mask` into the quality word of the given channels of `stream`
    // (empty: every channel), replacing a mask set before.
    [[nodiscard]] std::expected<void, FaultError> set_quality(std::size_t stream, std::uint32_t mask,
                                                              std::span<const std::uint64_t> channels) noexcept;

    // Returns a lasting knob to the stream's own value (PRP's: no loss, no
    // delay, flags off).
    [[nodiscard]] std::expected<void, FaultError> clear(std::size_t stream, Knob knob) noexcept;

    // Returns the knobs of stream `i` < streams().
    StreamKnobs& knobs(std::size_t i) noexcept { return knobs_[i]; }
    std::size_t streams() const noexcept { return count_; }
    // Returns the fields of stream `i` < streams().
    const Fields& fields(std::size_t i) const noexcept { return fields_[i]; }

private:
    std::unique_ptr<StreamKnobs[]> knobs_;
    std::vector<Fields> fields_;
    std::vector<std::size_t> channels_;
    std::size_t count_ = 0;
    bool prp_ = false;  // the publisher has a LAN B
};

// What one frame of a stream becomes when it is due.
struct Emission {
    std::uint8_t copies = 1;   // 0: not sent (dropped, silenced or held back)
    bool hold = false;         // kept, to leave after the next frame
    bool release_held = false; // the frame held before leaves after this one
};

// The transmit thread's side of one stream's knobs: what it has applied to
// its private frame so far. One per stream, made before pacing.
class FrameFaults {
public:
    FrameFaults() = default;
    // For `stream`, whose fields are `fields`; allocates the held frame.
    FrameFaults(const Stream& stream, const Fields& fields);

    // Applies the knobs to `frame` (edit) and says what becomes of it
    // (plan); one load and a plain frame while no knob of the stream was
    // ever set.
    [[nodiscard]] Emission apply(StreamKnobs& knobs, const Stream& stream, std::span<std::uint8_t> frame,
                                 std::int64_t first_smp, std::int64_t rate, Nanos due_ns) noexcept {
        if (!armed(knobs)) return {};
        edit(knobs, stream, frame, first_smp, rate);
        return plan(knobs, due_ns);
    }

    // Whether a knob of the stream was ever set (seen once, remembered).
    [[nodiscard]] bool armed(const StreamKnobs& knobs) noexcept {
        return armed_ || (armed_ = knobs.armed.load(std::memory_order_acquire));
    }

    // The stream's delay knob, 0 while no knob was ever set.
    [[nodiscard]] std::int64_t delay_ns(const StreamKnobs& knobs) noexcept {
        return armed(knobs) ? knobs.delay_ns.load() : 0;
    }

    // Consumes the one-shot knobs for the frame due at `due_ns` and says
    // what becomes of it.
    [[nodiscard]] Emission plan(StreamKnobs& knobs, Nanos due_ns) noexcept;

    // Applies the lasting knobs and the jump to `frame`, just rendered for
    // samples first_smp... at `rate`: smpCnt, quality words, confRev,
    // smpSynch and the simulation bit.
    void edit(StreamKnobs& knobs, const Stream& stream, std::span<std::uint8_t> frame, std::int64_t first_smp,
              std::int64_t rate) noexcept;

    // Consumes the PRP knobs for one copy of a frame about to leave and
    // draws its losses: what its trailer and each LAN's copy become.
    [[nodiscard]] PrpFrameFaults prp_frame(StreamKnobs& knobs) noexcept;

    // The frame held back by a swap.
    std::span<std::uint8_t> held() noexcept { return held_; }
    bool holding() const noexcept { return holding_; }
    void set_holding(bool holding) noexcept { holding_ = holding; }

private:
    const Fields* fields_ = nullptr;
    std::vector<std::uint8_t> held_;
    bool holding_ = false;
    bool armed_ = false;             // the stream's armed flag seen set
    std::int64_t jump_ = 0;          // samples added to smpCnt, modulo the rate
    std::int64_t smp_synch_ = -1;    // as last written; -1: the template's
    std::int64_t conf_rev_ = -1;
    bool simulation_ = false;
    Draws draws_;                    // for the loss knobs, seeded from the template
};

}  // namespace valdrin::io::sv_engine
