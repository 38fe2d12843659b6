// GOOSE decoding: the lenient reader of a PDU's fields, and the strict
// checks of how a PDU that it accepted is encoded.
#include "enum_text.hpp"
#include "goose.hpp"
#include "octets.hpp"

namespace valdrin::goose {

namespace {

// The fixed texts of the deviations, in the order of DeviationKind; the
// numbers, names and tags around them are composed by describe.
constexpr auto deviation_texts = std::to_array<EnumText<DeviationKind>>({
    {DeviationKind::TrailingOctets, " octets after the PDU"},
    {DeviationKind::NotAGooseField, " is not a GOOSE field"},
    {DeviationKind::OutOfOrder, "field ["},
    {DeviationKind::NotVisibleString129, " is not a VisibleString129"},
    {DeviationKind::EmptyGocbRef, "empty gocbRef"},
    {DeviationKind::TimestampLength, "t of "},
    {DeviationKind::Above32Bits, " above 32 bits"},
    {DeviationKind::BooleanLength, " of "},
    {DeviationKind::NoAllData, "no allData"},
    {DeviationKind::EntryCount, "numDatSetEntries="},
    {DeviationKind::NotAData, " is not a Data"},
    {DeviationKind::DataLength, "allData value 0x"},
    {DeviationKind::BitStringUnusedBits, "allData BIT STRING without a valid unused-bits octet"},
    {DeviationKind::EmptyDataInteger, "empty allData INTEGER"},
    {DeviationKind::VisibleStringAlphabet, "allData VisibleString outside its alphabet"},
});
static_assert(rows_in_order(deviation_texts, DeviationKind::VisibleStringAlphabet), "one row per DeviationKind, in order");

constexpr std::string_view text_of(DeviationKind kind) noexcept {
    return text_of(deviation_texts, kind);
}

constexpr std::string_view name_of(Field field) noexcept { return info(field).name; }

constexpr std::size_t index_of(Field field) noexcept { return static_cast<std::size_t>(field); }

// The INTEGER fields, in the order the strict decoder checks them.
constexpr Field integer_fields[] = {
    Field::TimeAllowedToLive, Field::StNum, Field::SqNum, Field::ConfRev, Field::NumDatSetEntries,
};

constexpr std::size_t UTC_TIME_SIZE = 8;
// VisibleString129: at most this many octets, each printable ASCII.
constexpr std::size_t VISIBLE_STRING_MAX = 129;

constexpr bool printable(std::uint8_t octet) noexcept { return octet >= 0x20 && octet <= 0x7E; }

bool all_printable(Bytes octets) noexcept {
    for (std::uint8_t octet : octets) {
        if (!printable(octet)) return false;
    }
    return true;
}

// Only the slots of present fields are ever written or read, so none is
// initialised beforehand: the decoders run for every received frame.
class Recorded {
public:
    void record(std::size_t number, Bytes content) noexcept {
        starts_[number] = content.data();
        sizes_[number] = content.size();
        present_ |= static_cast<std::uint16_t>(1u << number);
    }
    bool has(Field field) const noexcept { return (present_ >> index_of(field) & 1u) != 0; }
    // The content of the field; empty when it is absent.
    Bytes operator[](Field field) const noexcept {
        const std::size_t i = index_of(field);
        return has(field) ? Bytes(starts_[i], sizes_[i]) : Bytes();
    }
    std::optional<Bytes> optional(Field field) const noexcept {
        if (!has(field)) return std::nullopt;
        return (*this)[field];
    }

private:
    std::array<const std::uint8_t*, FIELD_COUNT> starts_;
    std::array<std::size_t, FIELD_COUNT> sizes_;
    std::uint16_t present_ = 0;
};
static_assert(FIELD_COUNT <= 16, "one presence bit per field");

// The tag number of the TLV whose identifier octets start at `at`, class
// and constructed bit ignored. In high-number form it is built from the
// octets after the first, seven bits each, and saturates at 0xFFFFFFFF.
// The whole TLV has been read from `input`, so its identifier lies inside.
std::uint32_t field_number(Bytes input, std::size_t at) noexcept {
    const std::uint8_t first = input[at];
    if ((first & 0x1F) != 0x1F) return first & 0x1F;
    std::uint32_t number = 0;
    for (;;) {
        const std::uint8_t octet = input[++at];
        number = octets::add_sat(octets::mul_sat(number, 128), octet & 0x7Fu);
        if ((octet & 0x80) == 0) return number;
    }
}

// An INTEGER field as ber::decode_unsigned reads it, its faults named
// after the field.
std::expected<std::uint64_t, DecodeError> read_unsigned(Bytes content, Field field) noexcept {
    auto value = ber::decode_unsigned(content);
    if (value) return *value;
    const bool empty = value.error().kind == ber::BerErrorKind::EmptyInteger;
    return std::unexpected(
        DecodeError::of_field(empty ? DecodeErrorKind::EmptyIntegerField : DecodeErrorKind::Above64Bits, field));
}

// A BOOLEAN field: true when present with a first octet other than 00.
bool read_boolean(const Recorded& fields, Field field) noexcept {
    return fields.has(field) && !fields[field].empty() && fields[field][0] != 0x00;
}

}  // namespace

void describe(const Deviation& deviation, ber::Text& out) noexcept {
    const std::string_view text = text_of(deviation.kind);
    switch (deviation.kind) {
        case DeviationKind::TrailingOctets: out.append_decimal(deviation.count).append(text); return;
        case DeviationKind::NotAGooseField: out.append("tag 0x").append_hex(deviation.tag).append(text); return;
        case DeviationKind::OutOfOrder:
            out.append(text).append_decimal(deviation.number).append("] after [");
            out.append_decimal(deviation.previous).append("]");
            return;
        case DeviationKind::NotVisibleString129:
        case DeviationKind::Above32Bits: out.append(name_of(deviation.field)).append(text); return;
        case DeviationKind::TimestampLength: out.append(text).append_decimal(deviation.count).append(" octets"); return;
        case DeviationKind::BooleanLength:
            out.append(name_of(deviation.field)).append(text).append_decimal(deviation.count).append(" octets");
            return;
        case DeviationKind::EntryCount:
            out.append(text).append_decimal(deviation.declared).append(" but ");
            out.append_decimal(deviation.count).append(" entries");
            return;
        case DeviationKind::NotAData: out.append("allData tag 0x").append_hex(deviation.tag).append(text); return;
        case DeviationKind::DataLength:
            out.append(text).append_hex(deviation.tag).append(" of ").append_decimal(deviation.count);
            out.append(" octets");
            return;
        case DeviationKind::EmptyGocbRef:
        case DeviationKind::NoAllData:
        case DeviationKind::BitStringUnusedBits:
        case DeviationKind::EmptyDataInteger:
        case DeviationKind::VisibleStringAlphabet: out.append(text); return;
    }
}

void describe(const DecodeError& error, ber::Text& out) noexcept {
    switch (error.kind) {
        case DecodeErrorKind::NotConformant:
            out.append("not conformant: ");
            describe(error.deviation, out);
            return;
        case DecodeErrorKind::Ber:
        case DecodeErrorKind::AllData: ber::describe(error.ber, out); return;
        case DecodeErrorKind::Header: out.append("GOOSE header too short or with an inconsistent Length"); return;
        case DecodeErrorKind::UnexpectedTag: out.append("expected tag 0x61, found 0x").append_hex(error.tag); return;
        case DecodeErrorKind::MissingField:
            out.append("missing mandatory GOOSE field ").append(name_of(error.field));
            return;
        case DecodeErrorKind::Above64Bits: out.append(name_of(error.field)).append(" above 64 bits"); return;
        case DecodeErrorKind::EmptyIntegerField:
            out.append("empty INTEGER (").append(name_of(error.field)).append(")");
            return;
        case DecodeErrorKind::UtcTime: out.append("utc-time needs 8 bytes"); return;
    }
}

std::expected<ReceivedPdu, DecodeError> decode_pdu(Bytes apdu) noexcept {
    auto outer = ber::decode_tlv(apdu, 0);
    if (!outer) return std::unexpected(DecodeError::from(outer.error()));
    if (outer->tag != PDU_TAG) return std::unexpected(DecodeError::unexpected_tag(outer->tag));

    // The fields, by their tag numbers, in whatever order they come.
    Recorded fields;
    for (ber::Reader reader(outer->content); !reader.empty();) {
        const std::size_t at = reader.pos();
        auto tlv = reader.next();
        if (!tlv) return std::unexpected(DecodeError::from(reader.error()));
        // A one-octet identifier holds the number in its low five bits.
        const std::uint32_t number = tlv->tag <= 0xFF ? tlv->tag & 0x1F : field_number(reader.input(), at);
        if (number < FIELD_COUNT) {
            fields.record(number, tlv->content);
        }
    }

    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        const auto field = static_cast<Field>(i);
        if (FIELDS[i].mandatory && !fields.has(field)) {
            return std::unexpected(DecodeError::of_field(DecodeErrorKind::MissingField, field));
        }
    }

    // The numbers and t, in the order of the fields; the booleans cannot fail.
    auto time_allowed_to_live = read_unsigned(fields[Field::TimeAllowedToLive], Field::TimeAllowedToLive);
    if (!time_allowed_to_live) return std::unexpected(time_allowed_to_live.error());
    const Bytes t = fields[Field::T];
    if (t.size() < UTC_TIME_SIZE) return std::unexpected(DecodeError{DecodeErrorKind::UtcTime});
    auto st_num = read_unsigned(fields[Field::StNum], Field::StNum);
    if (!st_num) return std::unexpected(st_num.error());
    auto sq_num = read_unsigned(fields[Field::SqNum], Field::SqNum);
    if (!sq_num) return std::unexpected(sq_num.error());
    auto conf_rev = read_unsigned(fields[Field::ConfRev], Field::ConfRev);
    if (!conf_rev) return std::unexpected(conf_rev.error());
    auto num_dat_set_entries = read_unsigned(fields[Field::NumDatSetEntries], Field::NumDatSetEntries);
    if (!num_dat_set_entries) return std::unexpected(num_dat_set_entries.error());

    const Bytes all_data = fields[Field::AllData];
    auto entries = data::check_sequence(all_data);
    if (!entries) return std::unexpected(DecodeError::all_data(entries.error()));

    // Built in place, in the order of ReceivedPdu's members.
    return std::expected<ReceivedPdu, DecodeError>(
        std::in_place, fields.optional(Field::GoId), fields[Field::GocbRef], fields[Field::DatSet], all_data,
        *time_allowed_to_live, *st_num, *sq_num, *conf_rev, *num_dat_set_entries, *entries,
        data::read_utc(t),
        read_boolean(fields, Field::Simulation), read_boolean(fields, Field::NdsCom));
}

namespace {

// The checks of the fields' tags and order, walking the PDU's content
// (which decode_pdu has read whole) once more; records every field.
std::optional<Deviation> check_field_tags(Bytes content, Recorded& fields) noexcept {
    std::uint32_t previous = 0;
    bool first = true;
    for (ber::Reader reader(content); !reader.empty();) {
        auto tlv = reader.next();
        if (!tlv) break;  // not met: decode_pdu has read the same octets
        const std::uint32_t number = tlv->tag & 0x1F;
        const Tag expected = number == index_of(Field::AllData) ? info(Field::AllData).tag : 0x80 + number;
        if (number >= FIELD_COUNT || tlv->tag != expected) return Deviation::not_a_goose_field(tlv->tag);
        if (!first && number <= previous) return Deviation::out_of_order(number, previous);
        fields.record(number, tlv->content);
        previous = number;
        first = false;
    }
    return std::nullopt;
}

// The Data values of allData in encoding order, structures and arrays
// stepped into rather than recursed into: each TLV must be a Data element
// of the right form and size.
std::optional<Deviation> check_strict_data(Bytes values) noexcept {
    for (ber::Reader walk(values); !walk.empty();) {
        auto tlv = walk.next();
        if (!tlv) break;  // not met: check_sequence has accepted the same octets
        const Tag tag = tlv->tag;
        const Tag number = tag & 0x1F;
        const Bytes c = tlv->content;
        if (number == 1 || number == 2) {  // array, structure: step inside
            if ((tag & 0xE0) != 0xA0) return Deviation::not_a_data(tag);
            walk.enter(*tlv);
            continue;
        }
        if ((tag & 0xE0) != 0x80 || number == 0x1F) return Deviation::not_a_data(tag);
        switch (tag) {
            case 0x83:  // boolean
                if (c.size() != 1) return Deviation::data_length(tag, c.size());
                break;
            case 0x87:  // floating point: exponent width and an IEEE single or double
                if (c.size() != 5 && c.size() != 9) return Deviation::data_length(tag, c.size());
                break;
            case 0x8C:  // binary time: TimeOfDay or TimeOfDay with the date
                if (c.size() != 4 && c.size() != 6) return Deviation::data_length(tag, c.size());
                break;
            case 0x91:  // UtcTime
                if (c.size() != UTC_TIME_SIZE) return Deviation::data_length(tag, c.size());
                break;
            case 0x84:  // bit string: the unused-bits octet first
                if (c.empty() || c[0] >= 8) return Deviation{DeviationKind::BitStringUnusedBits};
                break;
            case 0x85:  // integer
            case 0x86:  // unsigned
                if (c.empty()) return Deviation{DeviationKind::EmptyDataInteger};
                break;
            case 0x8A:  // visible string
                if (!all_printable(c)) return Deviation{DeviationKind::VisibleStringAlphabet};
                break;
            default: break;  // any other context-specific primitive Data
        }
    }
    return std::nullopt;
}

// Every conformance rule, in order, over a PDU that decode_pdu accepted.
std::optional<Deviation> check_conformance(Bytes apdu, const ReceivedPdu& pdu) noexcept {
    auto outer = ber::decode_tlv(apdu, 0);
    if (!outer) return std::nullopt;  // not met: decode_pdu has read it
    if (outer->end < apdu.size()) return Deviation::trailing_octets(apdu.size() - outer->end);

    Recorded fields;
    if (auto deviation = check_field_tags(outer->content, fields)) return deviation;

    for (Field field : {Field::GocbRef, Field::DatSet, Field::GoId}) {
        if (!fields.has(field)) continue;
        const Bytes text = fields[field];
        if (text.size() > VISIBLE_STRING_MAX || !all_printable(text)) {
            return Deviation::not_visible_string129(field);
        }
    }
    if (fields[Field::GocbRef].empty()) return Deviation{DeviationKind::EmptyGocbRef};
    if (const std::size_t length = fields[Field::T].size(); length != UTC_TIME_SIZE) {
        return Deviation::timestamp_length(length);
    }
    // INTEGER (0..4294967295): at most four value octets after a 00.
    for (Field field : integer_fields) {
        const Bytes c = fields[field];
        if (c.size() > 5 || (c.size() == 5 && c[0] != 0x00)) return Deviation::above_32_bits(field);
    }
    for (Field field : {Field::Simulation, Field::NdsCom}) {
        if (fields.has(field) && fields[field].size() != 1) {
            return Deviation::boolean_length(field, fields[field].size());
        }
    }
    if (!fields.has(Field::AllData)) return Deviation{DeviationKind::NoAllData};
    // decode_pdu counted the top-level values and read numDatSetEntries.
    if (pdu.num_dat_set_entries != pdu.entries) return Deviation::entry_count(pdu.num_dat_set_entries, pdu.entries);
    return check_strict_data(pdu.all_data);
}

}  // namespace

std::expected<ReceivedPdu, DecodeError> decode_pdu_strict(Bytes apdu) noexcept {
    auto pdu = decode_pdu(apdu);
    if (!pdu) return pdu;
    if (auto deviation = check_conformance(apdu, *pdu)) {
        return std::unexpected(DecodeError::not_conformant(*deviation));
    }
    return pdu;
}

}  // namespace valdrin::goose

