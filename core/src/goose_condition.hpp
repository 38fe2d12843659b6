// A GOOSE member condition ("GOCB_REF#N == VALUE") watched frame by frame:
// whether a control block's data set member N equals a value, and the
// instants at which a new GOOSE state of the block first makes it hold.
// Nothing here allocates: a condition keeps its gocbRef in a fixed array.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "goose.hpp"

namespace valdrin::goose {

// The longest gocbRef a condition names (a VisibleString129).
inline constexpr std::size_t MAX_CONDITION_REF = 129;

// Why a condition cannot be made.
enum class ConditionError : std::uint8_t {
    EmptyRef,
    RefTooLong,
    NotFinite,
};

// The message of every ConditionError, in the enum's order.
inline constexpr auto CONDITION_ERRORS = std::to_array<EnumText<ConditionError>>({
    {ConditionError::EmptyRef, "the condition's gocbRef is empty"},
    {ConditionError::RefTooLong, "the condition's gocbRef is longer than 129 characters"},
    {ConditionError::NotFinite, "the condition's value is not a finite number"},
});
static_assert(rows_in_order(CONDITION_ERRORS, ConditionError::NotFinite), "one row per ConditionError, in order");

// The message of `error`.
[[nodiscard]] constexpr std::string_view describe(ConditionError error) noexcept {
    return CONDITION_ERRORS[static_cast<std::size_t>(error)].text;
}

// The value a member is compared with: a boolean matches a boolean member
// only; a number matches an INTEGER, unsigned or floating-point member of
// the same numerical value, exactly (1 matches 1.0, not 1.5).
struct ConditionValue {
    enum class Type : std::uint8_t { Boolean, Integer, Real };
    Type type = Type::Boolean;
    bool boolean = true;
    std::int64_t integer = 0;
    double real = 0.0;

    // The three kinds of value.
    static constexpr ConditionValue of_bool(bool value) noexcept { return {.type = Type::Boolean, .boolean = value}; }
    static constexpr ConditionValue of_int(std::int64_t value) noexcept { return {.type = Type::Integer, .integer = value}; }
    static constexpr ConditionValue of_real(double value) noexcept { return {.type = Type::Real, .real = value}; }
};

// Top-level member `member` of control block `gocb_ref`'s data set equal
// to `value`.
class MemberCondition {
public:
    // The condition, or why it cannot be one (an empty or too long
    // gocbRef, a value NaN or infinite).
    [[nodiscard]] static std::expected<MemberCondition, ConditionError> make(std::string_view gocb_ref,
                                                                            std::size_t member,
                                                                            ConditionValue value) noexcept;

    // Whether `pdu` is of this condition's control block.
    [[nodiscard]] bool names(const ReceivedPdu& pdu) const noexcept;
    // Whether `pdu`'s allData has the member and it equals the value
    // (the control block is not looked at); a malformed allData: false.
    [[nodiscard]] bool holds(const ReceivedPdu& pdu) const noexcept;

    [[nodiscard]] std::string_view gocb_ref() const noexcept { return {ref_.data(), size_}; }
    [[nodiscard]] std::size_t member() const noexcept { return member_; }
    [[nodiscard]] const ConditionValue& value() const noexcept { return value_; }

private:
    MemberCondition() = default;
    std::array<char, MAX_CONDITION_REF> ref_{};
    std::size_t size_ = 0;
    std::size_t member_ = 0;
    ConditionValue value_{};
};

// Follows one condition through its control block's GOOSE states: a state
// is new when its stNum differs from the last one seen (a repetition
// carries the same stNum). A rise is a new state that satisfies the
// condition when the state before did not; the first state seen counts
// as new only when it is seen from its start (sqNum 0), since a block first
// met in mid-state may have held the condition for a while.
class ConditionTracker {
public:
    explicit ConditionTracker(const MemberCondition& condition) noexcept : condition_(condition) {}

    // Takes one decoded PDU (of any block); returns whether it is a rise.
    [[nodiscard]] bool add(const ReceivedPdu& pdu) noexcept;
    // As add(pdu) for a whole frame from the destination MAC; a frame that
    // is not a decodable GOOSE frame changes nothing.
    [[nodiscard]] bool add_frame(Bytes frame) noexcept;

    // Whether the block's last state seen satisfies the condition.
    [[nodiscard]] bool held() const noexcept { return held_; }
    [[nodiscard]] const MemberCondition& condition() const noexcept { return condition_; }

private:
    MemberCondition condition_;
    bool seen_ = false;
    bool held_ = false;
    std::uint64_t st_num_ = 0;
};

// The GOOSE PDU of `frame` (from the destination MAC, tagged or not), read
// leniently; nothing when it is not a GOOSE frame whose PDU decodes.
[[nodiscard]] std::optional<ReceivedPdu> pdu_of_frame(Bytes frame) noexcept;

}  // namespace valdrin::goose
