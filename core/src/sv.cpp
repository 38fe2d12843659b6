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
constexpr std::uint8_t TAG_SV_ID = 0x80;
constexpr std::uint8_t TAG_DAT_SET = 0x81;
constexpr std::uint8_t TAG_SMP_CNT = 0x82;
constexpr std::uint8_t TAG_CONF_REV = 0x83;
constexpr std::uint8_t TAG_REFR_TM = 0x84;
constexpr std::uint8_t TAG_SMP_SYNCH = 0x85;
constexpr std::uint8_t TAG_SMP_RATE = 0x86;
constexpr std::uint8_t TAG_SAMPLE = 0x87;
constexpr std::uint8_t TAG_SMP_MOD = 0x88;
constexpr std::size_t UTC_TIME_SIZE = 8;

// The first fault of an ASDU whose fields read_asdu recorded (`seen`,
// `size`), in the order of the checks: missing fields in field order, then
// a short refrTm, then sizes in field order.
[[gnu::cold, gnu::noinline]] SvError asdu_fault(unsigned seen, const std::array<std::size_t, SLOTS>& size) noexcept {
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

}  // namespace

bool detail::read_asdu(Bytes content, Asdu& out, std::optional<SvError>& error) noexcept {
    if (content.empty()) {
        error = SvError::missing(Field::SvId);
        return false;
    }

    // The content of each field tag met, the last occurrence counting; bit
    // `slot` of `seen` tells which were met. Unset entries are never read.
    std::array<const std::uint8_t*, SLOTS> at;
    std::array<std::size_t, SLOTS> size;
    unsigned seen = 0;
    const auto take = [&](Slot slot, std::optional<Bytes> field) {
        if (!field) return false;
        at[slot] = field->data();
        size[slot] = field->size();
        seen |= 1u << slot;
        return true;
    };
    // The usual order and forms of the fields, read while they hold. Each
    // field so read is recorded as the loop below would record it; the loop
    // reads whatever follows, or all of an ASDU of another layout.
    ber::Reader reader(content);
    if (take(SV_ID, reader.read_short(TAG_SV_ID))) {
        take(DAT_SET, reader.read_short(TAG_DAT_SET));
        if (take(SMP_CNT, reader.read_short(TAG_SMP_CNT, 2)) && take(CONF_REV, reader.read_short(TAG_CONF_REV, 4))) {
            take(REFR_TM, reader.read_short(TAG_REFR_TM, UTC_TIME_SIZE));
            if (take(SMP_SYNCH, reader.read_short(TAG_SMP_SYNCH, 1))) {
                take(SMP_RATE, reader.read_short(TAG_SMP_RATE, 2));
                if (take(SAMPLE, reader.read_short(TAG_SAMPLE))) take(SMP_MOD, reader.read_short(TAG_SMP_MOD, 2));
            }
        }
    }
    while (!reader.empty()) {
        auto tlv = reader.next();
        if (!tlv) [[unlikely]] {
            error = SvError::from(reader.error());
            return false;
        }
        // Only these exact tag values: constructed and high-number forms
        // of the same numbers are other elements and are skipped.
        const Tag slot = tlv->tag - FIRST_FIELD_TAG;
        if (slot < SLOTS) {
            at[slot] = tlv->content.data();
            size[slot] = tlv->length;
            seen |= 1u << slot;
        }
    }
    const auto has = [seen](Slot slot) { return (seen >> slot & 1) != 0; };
    const auto bytes = [&](Slot slot) { return Bytes(at[slot], size[slot]); };
    const auto optional = [&](Slot slot) { return has(slot) ? std::optional<Bytes>(bytes(slot)) : std::nullopt; };

    // One test for the usual ASDU: every mandatory field there, every
    // sized field of its size, refrTm absent or whole. Any fault is found
    // again below, in the order of the checks.
    constexpr unsigned MANDATORY = 1u << SV_ID | 1u << SMP_CNT | 1u << CONF_REV | 1u << SMP_SYNCH | 1u << SAMPLE;
    const bool usual = (seen & MANDATORY) == MANDATORY && size[SMP_CNT] == 2 && size[CONF_REV] == 4 &&
                       size[SMP_SYNCH] == 1 && (!has(SMP_RATE) || size[SMP_RATE] == 2) &&
                       (!has(SMP_MOD) || size[SMP_MOD] == 2) && (!has(REFR_TM) || size[REFR_TM] >= UTC_TIME_SIZE);
    if (!usual) [[unlikely]] {
        error = asdu_fault(seen, size);
        return false;
    }

    out.refr_tm = std::nullopt;
    if (has(REFR_TM)) {
        // Seconds, the 24 bits of the fraction, the quality octet.
        const std::uint8_t* time = at[REFR_TM];
        out.refr_tm = UtcTime{octets::load_be32(time), octets::load_be32(time + 4) >> 8, time[7]};
    }
    // The sizes are checked: two octets each.
    auto u16 = [&](Slot slot) -> std::optional<std::uint16_t> {
        if (!has(slot)) return std::nullopt;
        return octets::load_be16(at[slot]);
    };
    out.sv_id = bytes(SV_ID);
    out.dat_set = optional(DAT_SET);
    out.smp_cnt = octets::load_be16(at[SMP_CNT]);
    out.conf_rev = octets::load_be32(at[CONF_REV]);
    out.smp_synch = at[SMP_SYNCH][0];
    out.smp_rate = u16(SMP_RATE);
    out.sample = bytes(SAMPLE);
    out.smp_mod = u16(SMP_MOD);
    out.gm_identity = optional(GM_IDENTITY);
    return true;
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
