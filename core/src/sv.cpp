#include "sv.hpp"

#include <array>
#include <utility>

#include "octets.hpp"

namespace valdrin::sv {

// --- Errors -------------------------------------------------------------------

namespace {

// The standard's names, in the order of Field.
constexpr std::string_view field_names[] = {
    "svID", "smpCnt", "confRev", "smpSynch", "sample", "smpRate", "smpMod",
};
static_assert(std::size(field_names) == static_cast<std::size_t>(Field::SmpMod) + 1,
              "one name per Field");

// The fixed part of each message, in the order of SvErrorKind; the numbers
// and names around it are composed by describe.
constexpr std::string_view messages[] = {
    "",                       // Ber: the BerError's own text
    "expected tag 0x",        // UnexpectedTag
    "ASDU without ",          // MissingField
    " must be ",              // BadLength
    "SavPdu without noASDU",  // MissingNoAsdu
    " ASDUs present",         // AsduCount
};
static_assert(std::size(messages) == static_cast<std::size_t>(SvErrorKind::AsduCount) + 1,
              "one message per SvErrorKind");

constexpr std::string_view message(SvErrorKind kind) noexcept {
    return messages[static_cast<std::size_t>(kind)];
}

}  // namespace

std::string_view field_name(Field field) noexcept {
    return field_names[static_cast<std::size_t>(field)];
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

namespace {

// ASDU field tags 0x80 to 0x89, as indices into the recorded contents.
enum Slot : std::size_t {
    SV_ID, DAT_SET, SMP_CNT, CONF_REV, REFR_TM, SMP_SYNCH, SMP_RATE, SAMPLE, SMP_MOD, GM_IDENTITY,
    SLOTS,
};
constexpr Tag FIRST_FIELD_TAG = 0x80;
constexpr Tag TAG_REFR_TM = 0x84;
constexpr std::size_t UTC_TIME_SIZE = 8;

}  // namespace

std::expected<Asdu, SvError> decode_asdu(Bytes content) noexcept {
    if (content.empty()) return std::unexpected(SvError::missing(Field::SvId));

    std::array<std::optional<Bytes>, SLOTS> fields{};
    for (ber::Reader reader(content); !reader.empty();) {
        auto tlv = reader.next();
        if (!tlv) return std::unexpected(SvError::from(reader.error()));
        // Only these exact tag values: constructed and high-number forms
        // of the same numbers are other elements and are skipped.
        if (tlv->tag >= FIRST_FIELD_TAG && tlv->tag < FIRST_FIELD_TAG + SLOTS) {
            fields[tlv->tag - FIRST_FIELD_TAG] = tlv->content;  // the last occurrence counts
        }
    }

    constexpr std::pair<Slot, Field> mandatory[] = {
        {SV_ID, Field::SvId}, {SMP_CNT, Field::SmpCnt}, {CONF_REV, Field::ConfRev},
        {SMP_SYNCH, Field::SmpSynch}, {SAMPLE, Field::Sample},
    };
    for (const auto& [slot, field] : mandatory) {
        if (!fields[slot]) return std::unexpected(SvError::missing(field));
    }

    std::optional<UtcTime> refr_tm;
    if (const auto& time = fields[REFR_TM]) {
        if (time->size() < UTC_TIME_SIZE) {
            return std::unexpected(
                SvError::from(ber::BerError::truncated(TAG_REFR_TM, UTC_TIME_SIZE, time->size())));
        }
        // Seconds, the 24 bits of the fraction, the quality octet.
        refr_tm = UtcTime{octets::load_be32(time->data()),
                          static_cast<std::uint32_t>(octets::load_be(time->subspan(4, 3))), (*time)[7]};
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
        const auto& field = fields[rule.slot];
        if (field && field->size() != rule.size) {
            return std::unexpected(SvError::bad_length(rule.field, rule.size, field->size()));
        }
    }

    // The sizes are checked: two octets each.
    auto u16 = [](const std::optional<Bytes>& field) -> std::optional<std::uint16_t> {
        if (!field) return std::nullopt;
        return octets::load_be16(field->data());
    };
    return Asdu{
        .sv_id = *fields[SV_ID],
        .dat_set = fields[DAT_SET],
        .smp_cnt = *u16(fields[SMP_CNT]),
        .conf_rev = octets::load_be32(fields[CONF_REV]->data()),
        .refr_tm = refr_tm,
        .smp_synch = (*fields[SMP_SYNCH])[0],
        .smp_rate = u16(fields[SMP_RATE]),
        .sample = *fields[SAMPLE],
        .smp_mod = u16(fields[SMP_MOD]),
        .gm_identity = fields[GM_IDENTITY],
    };
}

// --- savPdu -------------------------------------------------------------------

std::expected<SavPdu, SvError> decode_pdu(Bytes apdu) noexcept {
    auto outer = ber::decode_tlv(apdu, 0);
    if (!outer) return std::unexpected(SvError::from(outer.error()));
    if (outer->tag != TAG_SAV_PDU) return std::unexpected(SvError::unexpected_tag(TAG_SAV_PDU, outer->tag));
    if (outer->content.empty()) return std::unexpected(SvError::missing_no_asdu());

    std::optional<Bytes> no_asdu;
    std::optional<Bytes> security;
    std::size_t count = 0;
    for (ber::Reader elements(outer->content); !elements.empty();) {
        auto element = elements.next();
        if (!element) return std::unexpected(SvError::from(elements.error()));
        const ber::Tlv& tlv = *element;
        switch (tlv.tag) {
        case TAG_NO_ASDU:
            if (tlv.content.empty()) {
                return std::unexpected(SvError::from(ber::BerError{ber::BerErrorKind::EmptyInteger}));
            }
            no_asdu = tlv.content;  // the last occurrence counts
            break;
        case TAG_SECURITY:
            security = tlv.content;
            break;
        case TAG_SEQ_ASDU:
            for (ber::Reader asdus(tlv.content); !asdus.empty();) {
                auto asdu = asdus.next();
                if (!asdu) return std::unexpected(SvError::from(asdus.error()));
                if (asdu->tag != TAG_ASDU) return std::unexpected(SvError::unexpected_tag(TAG_ASDU, asdu->tag));
                if (auto decoded = decode_asdu(asdu->content); !decoded) return std::unexpected(decoded.error());
                ++count;  // each ASDU takes at least two octets: no overflow
            }
            break;
        default:
            break;  // other elements are skipped
        }
    }

    if (!no_asdu) return std::unexpected(SvError::missing_no_asdu());
    auto value = ber::decode_unsigned(*no_asdu);  // cannot be empty here
    if (!value) return std::unexpected(SvError::asdu_count(count, std::nullopt));
    if (*value != count) return std::unexpected(SvError::asdu_count(count, *value));
    return SavPdu{outer->content, security, count};
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
