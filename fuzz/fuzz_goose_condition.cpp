// A GOOSE member condition followed over arbitrary frames. The input starts
// with the condition (1 octet member index, 1 octet kind, 8 octets value),
// then frames, each a 2-octet length and its octets; the condition's block
// is the gocbRef of the first frame that decodes. Checked: a rise only on a
// frame that decodes, of the block, holding the condition; held() after a
// rise; no two rises without a state between them that did not hold; the
// trigger's work never reads outside the frame (the sanitizers).
#include <bit>
#include <cstring>
#include <string_view>

#include "check.hpp"
#include "goose_condition.hpp"

using namespace valdrin;
using fuzz::Bytes;

namespace {

goose::ConditionValue value_of(std::uint8_t kind, Bytes octets) {
    std::uint64_t word = 0;
    std::memcpy(&word, octets.data(), sizeof word);
    switch (kind % 3) {
        case 0: return goose::ConditionValue::of_bool(word & 1);
        case 1: return goose::ConditionValue::of_int(static_cast<std::int64_t>(word));
        default: return goose::ConditionValue::of_real(std::bit_cast<double>(word));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, size);
    if (input.size() < 10) return 0;
    const std::size_t member = input[0] % 16;
    const goose::ConditionValue value = value_of(input[1], input.subspan(2, 8));
    Bytes rest = input.subspan(10);
    std::optional<goose::ConditionTracker> tracker;
    bool fell_since_rise = true;
    while (rest.size() >= 2) {
        const std::size_t length = std::min<std::size_t>(rest[0] | std::size_t{rest[1]} << 8, rest.size() - 2);
        const Bytes frame = rest.subspan(2, length);
        rest = rest.subspan(2 + length);
        const auto pdu = goose::pdu_of_frame(frame);
        if (!tracker && pdu) {
            const std::string_view ref(reinterpret_cast<const char*>(pdu->gocb_ref.data()), pdu->gocb_ref.size());
            auto condition = goose::MemberCondition::make(ref, member, value);
            if (!condition) return 0;  // an empty or long gocbRef, a value not finite
            FUZZ_CHECK(condition->gocb_ref() == ref);
            tracker.emplace(*condition);
        }
        if (!tracker) continue;
        const bool rise = tracker->add_frame(frame);
        if (rise) {
            FUZZ_CHECK(pdu.has_value());
            FUZZ_CHECK(tracker->condition().names(*pdu));
            FUZZ_CHECK(tracker->condition().holds(*pdu));
            FUZZ_CHECK(tracker->held());
            FUZZ_CHECK(fell_since_rise);
            fell_since_rise = false;
        }
        if (!tracker->held()) fell_since_rise = true;
    }
    return 0;
}
