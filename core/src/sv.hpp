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
// pass that hands each decoded ASDU to `visit(const Asdu&)` in order: on
// success exactly the ASDUs Asdus yields, on failure those before the fault.
template <class Visit>
[[nodiscard]] std::expected<SavPdu, SvError> decode_pdu_each(Bytes apdu, Visit&& visit) noexcept;

namespace detail {

// decode_pdu's checks after its walk: noASDU present and equal to `count`.
[[nodiscard]] std::expected<SavPdu, SvError> check_count(Bytes content, const std::optional<Bytes>& no_asdu,
                                                         const std::optional<Bytes>& security,
                                                         std::size_t count) noexcept;

// Decodes the content of one ASDU into `out` and returns true, or puts its
// first fault in `error` and returns false (`out` then unspecified).
[[nodiscard]] bool read_asdu(Bytes content, Asdu& out, std::optional<SvError>& error) noexcept;

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
