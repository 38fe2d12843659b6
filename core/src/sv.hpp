// Sampled Values (IEC 61850-9-2): decoding of the savPdu and its ASDUs.
// Nothing here allocates: every octet field is a view into the input, and
// whatever the octets, the decoders read only inside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <utility>

#include "ber.hpp"
#include "octets.hpp"

namespace valdrin::sv {

using ber::Bytes;
using ber::Tag;

// The savPdu and the elements read inside it.
inline constexpr Tag TAG_SAV_PDU = 0x60;
inline constexpr Tag TAG_NO_ASDU = 0x80;
inline constexpr Tag TAG_SECURITY = 0xA1;
inline constexpr Tag TAG_SEQ_ASDU = 0xA2;
inline constexpr Tag TAG_ASDU = 0x30;

// The ASDU fields that errors name, with the standard's names.
enum class Field : std::uint8_t {
    SvId,      // svID
    SmpCnt,    // smpCnt
    ConfRev,   // confRev
    SmpSynch,  // smpSynch
    Sample,    // sample
    SmpRate,   // smpRate
    SmpMod,    // smpMod
};

// The name of `field` as messages print it, e.g. "smpSynch".
[[nodiscard]] std::string_view field_name(Field field) noexcept;

// Why a savPdu or ASDU does not decode.
enum class SvErrorKind : std::uint8_t {
    Ber,            // a malformed TLV or INTEGER
    UnexpectedTag,  // a TLV of another tag where one tag is required
    MissingField,   // a mandatory ASDU field is absent
    BadLength,      // a fixed-size ASDU field of another size
    MissingNoAsdu,  // the savPdu has no noASDU
    AsduCount,      // noASDU differs from the ASDUs present
};

// The first fault of a savPdu; each kind fills only its own members.
struct SvError {
    SvErrorKind kind;
    ber::BerError ber{ber::BerErrorKind::MissingTag};  // Ber
    Tag expected_tag = 0;                              // UnexpectedTag
    Tag found_tag = 0;                                 // UnexpectedTag
    Field field = Field::SvId;                         // MissingField, BadLength
    std::size_t expected_size = 0;                     // BadLength
    std::size_t found_size = 0;                        // BadLength
    std::size_t asdus = 0;                             // AsduCount: ASDUs present
    std::optional<std::uint64_t> no_asdu = std::nullopt;  // AsduCount: absent above 64 bits

    // One factory per kind, filling only its members.
    static constexpr SvError from(ber::BerError error) noexcept {
        return {.kind = SvErrorKind::Ber, .ber = error};
    }
    static constexpr SvError unexpected_tag(Tag expected, Tag found) noexcept {
        return {.kind = SvErrorKind::UnexpectedTag, .expected_tag = expected, .found_tag = found};
    }
    static constexpr SvError missing(Field field) noexcept {
        return {.kind = SvErrorKind::MissingField, .field = field};
    }
    static constexpr SvError bad_length(Field field, std::size_t expected, std::size_t found) noexcept {
        return {.kind = SvErrorKind::BadLength, .field = field, .expected_size = expected, .found_size = found};
    }
    static constexpr SvError missing_no_asdu() noexcept { return {.kind = SvErrorKind::MissingNoAsdu}; }
    static constexpr SvError asdu_count(std::size_t asdus, std::optional<std::uint64_t> no_asdu) noexcept {
        return {.kind = SvErrorKind::AsduCount, .asdus = asdus, .no_asdu = no_asdu};
    }
    friend bool operator==(const SvError&, const SvError&) = default;
};

// Appends the error's message, e.g. "smpSynch must be 1 bytes, got 2".
void describe(const SvError& error, ber::Text& out) noexcept;

// refrTm: an IEC 61850 UtcTime.
struct UtcTime {
    std::uint32_t seconds;
    std::uint32_t fraction;  // 24 bits
    std::uint8_t quality;
    friend bool operator==(const UtcTime&, const UtcTime&) = default;
};

// One decoded ASDU; the octet fields are views into the input.
struct Asdu {
    Bytes sv_id;
    std::optional<Bytes> dat_set;
    std::uint16_t smp_cnt = 0;
    std::uint32_t conf_rev = 0;
    std::optional<UtcTime> refr_tm;
    std::uint8_t smp_synch = 0;
    std::optional<std::uint16_t> smp_rate;
    Bytes sample;  // the packed channels, not split
    std::optional<std::uint16_t> smp_mod;
    std::optional<Bytes> gm_identity;
};

// A savPdu that decode_pdu accepted.
struct SavPdu {
    Bytes content;  // inside the 0x60 TLV: where the ASDUs are found again
    std::optional<Bytes> security;
    std::size_t asdu_count = 0;  // equal to noASDU
};

// Checks a whole savPdu, decoding every ASDU; octets after it are ignored.
[[nodiscard]] std::expected<SavPdu, SvError> decode_pdu(Bytes apdu) noexcept;

// Decodes the content of one ASDU (the inside of its 0x30 TLV).
[[nodiscard]] std::expected<Asdu, SvError> decode_asdu(Bytes content) noexcept;

// Checks a whole savPdu as decode_pdu does, with the same result, in one
// pass that hands each decoded ASDU to `visit(const Asdu&)` in order (the
// reference lives for the call only; its views are into `apdu`): on success
// exactly the ASDUs Asdus yields, on failure those before the fault.
template <class Visit>
[[nodiscard]] std::expected<SavPdu, SvError> decode_pdu_each(Bytes apdu, Visit&& visit) noexcept;

namespace detail {

// decode_pdu's checks after its walk: noASDU present and equal to `count`.
[[nodiscard]] std::expected<SavPdu, SvError> check_count(Bytes content, const std::optional<Bytes>& no_asdu,
                                                         const std::optional<Bytes>& security,
                                                         std::size_t count) noexcept;

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
// `size`): a missing field, a short refrTm or a field of another size.
[[nodiscard, gnu::cold]] SvError asdu_fault(unsigned seen, const std::array<std::size_t, SLOTS>& size) noexcept;

// Decodes the content of one ASDU into `out` and returns true, or puts its
// first fault in `error` and returns false (`out` then unspecified).
// Inline, so that the fields a caller never reads are never stored.
[[gnu::always_inline]] inline bool read_asdu(Bytes content, Asdu& out, std::optional<SvError>& error) noexcept {
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

}  // namespace detail

// Inline so that the wrapping costs nothing beside read_asdu.
inline std::expected<Asdu, SvError> decode_asdu(Bytes content) noexcept {
    Asdu asdu;
    std::optional<SvError> error;
    if (!detail::read_asdu(content, asdu, error)) return std::unexpected(*error);
    return asdu;
}

// Inline so that the visitor is too: the analyzer's one pass over a frame.
template <class Visit>
std::expected<SavPdu, SvError> decode_pdu_each(Bytes apdu, Visit&& visit) noexcept {
    ber::Reader top(apdu);
    auto outer = top.next();
    if (!outer) return std::unexpected(SvError::from(top.error()));
    if (outer->tag != TAG_SAV_PDU) return std::unexpected(SvError::unexpected_tag(TAG_SAV_PDU, outer->tag));
    if (outer->content.empty()) return std::unexpected(SvError::missing_no_asdu());

    std::optional<Bytes> no_asdu;
    std::optional<Bytes> security;
    std::size_t count = 0;
    Asdu decoded;  // each ASDU in turn
    std::optional<SvError> error;
    for (ber::Reader elements(outer->content); !elements.empty();) {
        auto element = elements.next();
        if (!element) return std::unexpected(SvError::from(elements.error()));
        switch (element->tag) {
        case TAG_NO_ASDU:
            if (element->content.empty()) {
                return std::unexpected(SvError::from(ber::BerError{ber::BerErrorKind::EmptyInteger}));
            }
            no_asdu = element->content;  // the last occurrence counts
            break;
        case TAG_SECURITY:
            security = element->content;
            break;
        case TAG_SEQ_ASDU:
            for (ber::Reader asdus(element->content); !asdus.empty();) {
                auto asdu = asdus.next();
                if (!asdu) return std::unexpected(SvError::from(asdus.error()));
                if (asdu->tag != TAG_ASDU) return std::unexpected(SvError::unexpected_tag(TAG_ASDU, asdu->tag));
                if (!detail::read_asdu(asdu->content, decoded, error)) return std::unexpected(*error);
                visit(std::as_const(decoded));
                ++count;  // each ASDU takes at least two octets: no overflow
            }
            break;
        default:
            break;  // other elements are skipped
        }
    }
    // The usual noASDU: one octet equal to the count.
    if (no_asdu && no_asdu->size() == 1 && (*no_asdu)[0] == count) [[likely]] {
        return SavPdu{outer->content, security, count};
    }
    return detail::check_count(outer->content, no_asdu, security, count);
}

// The ASDUs of an accepted savPdu, in order: exactly asdu_count of them.
// Over octets that decode_pdu did not accept, it stops at the first TLV or
// ASDU that fails to read.
class Asdus {
public:
    // The ASDUs of `pdu`, whose octets must outlive the iteration.
    explicit Asdus(const SavPdu& pdu) noexcept : outer_(pdu.content) {}

    // The next ASDU, or nothing at the end.
    [[nodiscard]] std::optional<Asdu> next() noexcept;

private:
    ber::Reader outer_;  // the elements of the savPdu
    ber::Reader inner_;  // the ASDUs of the current seqASDU
};

}  // namespace valdrin::sv
