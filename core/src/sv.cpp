#include "sv.hpp"

#include <array>
#include <utility>

#include "enum_text.hpp"
#include "octets.hpp"

namespace valdrin::sv {

// --- Errors -------------------------------------------------------------------

namespace {

// Each field and the standard's name for it.
constexpr auto field_names = std::to_array<EnumText<Field>>({
    {Field::SvId, "svID"},
    {Field::SmpCnt, "smpCnt"},
    {Field::ConfRev, "confRev"},
    {Field::SmpSynch, "smpSynch"},
    {Field::Sample, "sample"},
    {Field::SmpRate, "smpRate"},
    {Field::SmpMod, "smpMod"},
});
static_assert(rows_in_order(field_names, Field::SmpMod), "one row per Field, in order");

// The fixed part of each message, in the order of SvErrorKind; the numbers
// and names around it are composed by describe.
constexpr auto messages = std::to_array<EnumText<SvErrorKind>>({
    {SvErrorKind::Ber, ""},
    {SvErrorKind::UnexpectedTag, "expected tag 0x"},
    {SvErrorKind::MissingField, "ASDU without "},
    {SvErrorKind::BadLength, " must be "},
    {SvErrorKind::MissingNoAsdu, "SavPdu without noASDU"},
    {SvErrorKind::AsduCount, " ASDUs present"},
});
static_assert(rows_in_order(messages, SvErrorKind::AsduCount), "one row per SvErrorKind, in order");

constexpr std::string_view message(SvErrorKind kind) noexcept {
    return text_of(messages, kind);
}

}  // namespace

std::string_view field_name(Field field) noexcept {
    return text_of(field_names, field);
}

void describe(const SvError& error, ber::Text& out) noexcept {
    switch (error.kind) {
    case SvErrorKind::Ber:
        ber::describe(error.ber, out);
        return;
    case SvErrorKind::UnexpectedTag:
        out.append(message(error.kind)).append_hex(error.expected_tag);
        out.append(", found 0x").append_hex(error.found_tag);
        return;
    case SvErrorKind::MissingField:
        out.append(message(error.kind)).append(field_name(error.field));
        return;
    case SvErrorKind::BadLength:
        out.append(field_name(error.field)).append(message(error.kind));
        out.append_decimal(error.expected_size).append(" bytes, got ").append_decimal(error.found_size);
        return;
    case SvErrorKind::MissingNoAsdu:
        out.append(message(error.kind));
        return;
    case SvErrorKind::AsduCount:
        if (error.no_asdu) {
            out.append("noASDU=").append_decimal(*error.no_asdu).append(" but ");
        } else {
            out.append("noASDU above 64 bits but ");
        }
        out.append_decimal(error.asdus).append(message(error.kind));
        return;
    }
}

// --- ASDUs --------------------------------------------------------------------

using namespace detail;

// In the order of the checks: missing fields in field order, then a short
// refrTm, then sizes in field order.
SvError detail::asdu_fault(unsigned seen, const std::array<std::size_t, SLOTS>& size) noexcept {
    const auto has = [seen](Slot slot) { return (seen >> slot & 1) != 0; };
    constexpr std::pair<Slot, Field> mandatory[] = {
        {SV_ID, Field::SvId}, {SMP_CNT, Field::SmpCnt}, {CONF_REV, Field::ConfRev},
        {SMP_SYNCH, Field::SmpSynch}, {SAMPLE, Field::Sample},
    };
    for (const auto& [slot, field] : mandatory) {
        if (!has(slot)) return SvError::missing(field);
    }
    if (has(REFR_TM) && size[REFR_TM] < UTC_TIME_SIZE) {
        return SvError::from(ber::BerError::truncated(TAG_REFR_TM, UTC_TIME_SIZE, size[REFR_TM]));
    }
    struct Sized {
        Slot slot;
        Field field;
        std::size_t size;
    };
    constexpr Sized sizes[] = {
        {SMP_CNT, Field::SmpCnt, 2}, {CONF_REV, Field::ConfRev, 4}, {SMP_SYNCH, Field::SmpSynch, 1},
        {SMP_RATE, Field::SmpRate, 2}, {SMP_MOD, Field::SmpMod, 2},
    };
    for (const Sized& rule : sizes) {
        if (has(rule.slot) && size[rule.slot] != rule.size) {
            return SvError::bad_length(rule.field, rule.size, size[rule.slot]);
        }
    }
    return SvError::missing(Field::SvId);  // not met: read_asdu found a fault
}

// --- savPdu -------------------------------------------------------------------

std::expected<SavPdu, SvError> decode_pdu(Bytes apdu) noexcept {
    return decode_pdu_each(apdu, [](const Asdu&) noexcept {});
}

std::expected<SavPdu, SvError> detail::check_count(Bytes content, const std::optional<Bytes>& no_asdu,
                                                   const std::optional<Bytes>& security,
                                                   std::size_t count) noexcept {
    if (!no_asdu) return std::unexpected(SvError::missing_no_asdu());
    auto value = ber::decode_unsigned(*no_asdu);  // cannot be empty here
    if (!value) return std::unexpected(SvError::asdu_count(count, std::nullopt));
    if (*value != count) return std::unexpected(SvError::asdu_count(count, *value));
    return SavPdu{content, security, count};
}

std::optional<Asdu> Asdus::next() noexcept {
    for (;;) {
        if (!inner_.empty()) {
            auto asdu = inner_.read(TAG_ASDU);
            if (!asdu) break;
            auto decoded = decode_asdu(asdu->content);
            if (!decoded) break;
            return *decoded;
        }
        if (outer_.empty()) break;
        auto element = outer_.next();
        if (!element) break;
        if (element->tag == TAG_SEQ_ASDU) inner_ = ber::Reader(element->content);
    }
    // Ended, or met octets decode_pdu would refuse: nothing more, ever.
    outer_.finish();
    inner_.finish();
    return std::nullopt;
}

}  // namespace valdrin::sv
