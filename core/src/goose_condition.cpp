#include "goose_condition.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "data.hpp"
#include "ethernet.hpp"

namespace valdrin::goose {
namespace {

// 2^63 and 2^64 as doubles (exact).
constexpr double TWO_63 = 9223372036854775808.0;
constexpr double TWO_64 = 18446744073709551616.0;

// Whether `x` is a whole number in int64's range equal to `i`.
bool real_is_int(double x, std::int64_t i) noexcept {
    return std::isfinite(x) && x == std::trunc(x) && x >= -TWO_63 && x < TWO_63 && static_cast<std::int64_t>(x) == i;
}

// Whether `x` is a whole number in uint64's range equal to `u`.
bool real_is_uint(double x, std::uint64_t u) noexcept {
    return std::isfinite(x) && x == std::trunc(x) && x >= 0.0 && x < TWO_64 && static_cast<std::uint64_t>(x) == u;
}

// Whether the member read as `member` equals `wanted`, as ConditionValue says.
bool equals(const data::Value& member, const ConditionValue& wanted) noexcept {
    using Type = ConditionValue::Type;
    double real = 0.0;
    switch (member.kind) {
        case data::Kind::Bool: return wanted.type == Type::Boolean && member.boolean == wanted.boolean;
        case data::Kind::Int:
            if (wanted.type == Type::Integer) return member.integer == wanted.integer;
            return wanted.type == Type::Real && real_is_int(wanted.real, member.integer);
        case data::Kind::Uint:
            if (wanted.type == Type::Integer) {
                return wanted.integer >= 0 && member.unsigned_integer == static_cast<std::uint64_t>(wanted.integer);
            }
            return wanted.type == Type::Real && real_is_uint(wanted.real, member.unsigned_integer);
        case data::Kind::F32: real = static_cast<double>(std::bit_cast<float>(member.f32)); break;
        case data::Kind::F64: real = member.f64; break;
        default: return false;
    }
    if (wanted.type == Type::Integer) return real_is_int(real, wanted.integer);
    return wanted.type == Type::Real && real == wanted.real;
}

}  // namespace

std::expected<MemberCondition, ConditionError> MemberCondition::make(std::string_view gocb_ref, std::size_t member,
                                                                     ConditionValue value) noexcept {
    if (gocb_ref.empty()) return std::unexpected(ConditionError::EmptyRef);
    if (gocb_ref.size() > MAX_CONDITION_REF) return std::unexpected(ConditionError::RefTooLong);
    if (value.type == ConditionValue::Type::Real && !std::isfinite(value.real)) {
        return std::unexpected(ConditionError::NotFinite);
    }
    MemberCondition condition;
    std::memcpy(condition.ref_.data(), gocb_ref.data(), gocb_ref.size());
    condition.size_ = gocb_ref.size();
    condition.member_ = member;
    condition.value_ = value;
    return condition;
}

bool MemberCondition::names(const ReceivedPdu& pdu) const noexcept {
    return pdu.gocb_ref.size() == size_ && std::memcmp(pdu.gocb_ref.data(), ref_.data(), size_) == 0;
}

bool MemberCondition::holds(const ReceivedPdu& pdu) const noexcept {
    ber::Reader top(pdu.all_data);
    for (std::size_t i = 0; !top.empty(); ++i) {
        const std::size_t at = top.pos();
        if (!top.next()) return false;
        if (i == member_) {
            const auto member = data::Values(pdu.all_data, at).next();
            return member && equals(*member, value_);
        }
    }
    return false;
}

bool ConditionTracker::add(const ReceivedPdu& pdu) noexcept {
    if (!condition_.names(pdu)) return false;
    if (seen_ && pdu.st_num == st_num_) return false;  // a repetition of the state
    const bool from_start = seen_ || pdu.sq_num == 0;
    const bool holds = condition_.holds(pdu);
    const bool rise = holds && !held_ && from_start;
    seen_ = true;
    st_num_ = pdu.st_num;
    held_ = holds;
    return rise;
}

bool ConditionTracker::add_frame(Bytes frame) noexcept {
    const auto pdu = pdu_of_frame(frame);
    return pdu && add(*pdu);
}

std::optional<ReceivedPdu> pdu_of_frame(Bytes frame) noexcept {
    if (ethernet::ethertype_of(frame) != ethernet::ETHERTYPE_GOOSE) return std::nullopt;
    const auto parsed = ethernet::parse_frame(frame, ethernet::ETHERTYPE_GOOSE);
    if (!parsed) return std::nullopt;
    auto pdu = decode_pdu(parsed->payload);
    if (!pdu) return std::nullopt;
    return *pdu;
}

}  // namespace valdrin::goose
