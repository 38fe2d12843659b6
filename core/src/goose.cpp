#include "goose.hpp"

#include <cstring>

namespace valdrin::goose {

namespace {

// Message texts in the order of EncodeErrorKind: the number goes between
// the two parts; InvalidData shows the DataError's text instead.
struct Message {
    std::string_view before;
    std::string_view after;
};
constexpr Message messages[] = {
    {"APDU too long: ", " bytes"},
    {"VLAN id out of range: ", ""},
    {"VLAN priority out of range: ", ""},
    {"buffer too small: ", " octets needed"},
    {"", ""},
};
static_assert(std::size(messages) == static_cast<std::size_t>(EncodeErrorKind::InvalidData) + 1,
              "one message per EncodeErrorKind");

// The link header's checks become the EncodeErrors of the same names.
static_assert(static_cast<int>(ethernet::HeaderCheck::ApduTooLong) == static_cast<int>(EncodeErrorKind::ApduTooLong));
static_assert(static_cast<int>(ethernet::HeaderCheck::VlanIdOutOfRange) ==
              static_cast<int>(EncodeErrorKind::VlanIdOutOfRange));
static_assert(static_cast<int>(ethernet::HeaderCheck::VlanPriorityOutOfRange) ==
              static_cast<int>(EncodeErrorKind::VlanPriorityOutOfRange));
static_assert(static_cast<int>(ethernet::HeaderCheck::BufferTooSmall) ==
              static_cast<int>(EncodeErrorKind::BufferTooSmall));

EncodeError from_header(ethernet::HeaderError error) noexcept {
    return {static_cast<EncodeErrorKind>(error.check), error.value};
}

constexpr std::size_t max_size = static_cast<std::size_t>(-1);

constexpr std::size_t add(std::size_t a, std::size_t b) noexcept {
    std::size_t sum;
    return __builtin_add_overflow(a, b, &sum) ? max_size : sum;
}

// One-octet tag, length octets, content; saturating like the measured
// allData length it may be given.
constexpr std::size_t tlv_size(std::size_t length) noexcept { return add(1 + ber::length_size(length), length); }

// The fields before allData, all with one-octet tags: three texts (goID
// only when present), five INTEGERs, t and two BOOLEANs.
std::size_t leading_len(const GoosePdu& pdu, const Fields& fields) noexcept {
    std::size_t length = add(tlv_size(pdu.gocb_ref.size()), tlv_size(pdu.dat_set.size()));
    if (pdu.go_id) length = add(length, tlv_size(pdu.go_id->size()));
    std::size_t fixed = 2 + fields.t.size() + 2 * 3;
    for (const ber::Integer& integer : fields.integers) fixed += 2 + (9 - integer.start);
    return add(length, fixed);
}

// The writers of the leading fields, into room already checked.
std::uint8_t* put_text(std::uint8_t* out, Tag tag, std::string_view text) noexcept {
    out = ber::place_header(out, tag, text.size());
    ber::copy_octets(out, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return out + text.size();
}

std::uint8_t* put_integer(std::uint8_t* out, Tag tag, const ber::Integer& integer) noexcept {
    const std::size_t size = 9 - integer.start;  // at most 9: a short length
    out[0] = static_cast<std::uint8_t>(tag);
    out[1] = static_cast<std::uint8_t>(size);
    ber::copy_octets(out + 2, integer.octets.data() + integer.start, size);
    return out + 2 + size;
}

std::uint8_t* put_boolean(std::uint8_t* out, Tag tag, bool value) noexcept {
    out[0] = static_cast<std::uint8_t>(tag);
    out[1] = 1;
    out[2] = value ? 0xFF : 0x00;
    return out + 3;
}

}  // namespace

void describe(const EncodeError& error, ber::Text& out) noexcept {
    if (error.kind == EncodeErrorKind::InvalidData) {
        data::describe(error.data, out);
        return;
    }
    const Message& message = messages[static_cast<std::size_t>(error.kind)];
    out.append(message.before).append_decimal(error.value).append(message.after);
}

std::expected<Fields, data::DataError> Fields::of(const GoosePdu& pdu) noexcept {
    Fields fields{};  // the whole table cleared, since it is copied out
    if (auto prepared = fields.prepare(pdu); !prepared) return std::unexpected(prepared.error());
    return fields;
}

std::expected<void, data::DataError> Fields::prepare(const GoosePdu& pdu) noexcept {
    auto length = data::measure_sequence(pdu.all_data, containers);
    if (!length) return std::unexpected(length.error());
    all_data_len = *length;
    integers[0].set_unsigned(pdu.time_allowed_to_live);
    integers[1].set_unsigned(pdu.st_num);
    integers[2].set_unsigned(pdu.sq_num);
    integers[3].set_unsigned(pdu.conf_rev);
    integers[4].set_unsigned(pdu.num_dat_set_entries);
    t = data::utc_octets(pdu.t);
    return {};
}

std::size_t Fields::content_len(const GoosePdu& pdu) const noexcept {
    return add(leading_len(pdu, *this), tlv_size(all_data_len));
}

std::expected<void, data::DataError> Fields::write(const GoosePdu& pdu, std::size_t content_len,
                                                   ber::Writer& writer) const noexcept {
    // Everything up to the values of allData at once: the 0x61 header, the
    // leading fields and the allData header; the values check their own
    // room as they are written.
    const std::size_t head = add(add(1 + ber::length_size(content_len), leading_len(pdu, *this)),
                                 1 + ber::length_size(all_data_len));
    std::uint8_t* out = writer.take(head);
    if (out == nullptr) return std::unexpected(data::DataError{data::DataErrorKind::BufferFull});
    out = ber::place_header(out, PDU_TAG, content_len);
    out = put_text(out, info(Field::GocbRef).tag, pdu.gocb_ref);
    out = put_integer(out, info(Field::TimeAllowedToLive).tag, integers[0]);
    out = put_text(out, info(Field::DatSet).tag, pdu.dat_set);
    if (pdu.go_id) out = put_text(out, info(Field::GoId).tag, *pdu.go_id);
    out[0] = static_cast<std::uint8_t>(info(Field::T).tag);
    out[1] = static_cast<std::uint8_t>(t.size());
    std::memcpy(out + 2, t.data(), t.size());
    out += 2 + t.size();
    out = put_integer(out, info(Field::StNum).tag, integers[1]);
    out = put_integer(out, info(Field::SqNum).tag, integers[2]);
    out = put_boolean(out, info(Field::Simulation).tag, pdu.simulation);
    out = put_integer(out, info(Field::ConfRev).tag, integers[3]);
    out = put_boolean(out, info(Field::NdsCom).tag, pdu.nds_com);
    out = put_integer(out, info(Field::NumDatSetEntries).tag, integers[4]);
    ber::place_header(out, info(Field::AllData).tag, all_data_len);
    return data::write_sequence(pdu.all_data, containers, writer);
}

namespace {

// A PDU measured and sized, built in place by prepare().
struct Prepared {
    Fields fields;
    std::size_t content_len;
    std::size_t pdu_size;
};

[[nodiscard]] std::expected<void, EncodeError> prepare(const GoosePdu& pdu, Prepared& out) noexcept {
    if (auto prepared = out.fields.prepare(pdu); !prepared) {
        return std::unexpected(EncodeError::invalid_data(prepared.error()));
    }
    out.content_len = out.fields.content_len(pdu);
    out.pdu_size = tlv_size(out.content_len);
    return {};
}

}  // namespace

std::expected<std::size_t, EncodeError> pdu_len(const GoosePdu& pdu) noexcept {
    Prepared prepared;
    if (auto ok = prepare(pdu, prepared); !ok) return std::unexpected(ok.error());
    return prepared.pdu_size;
}

std::expected<std::size_t, EncodeError> encode_pdu(const GoosePdu& pdu, std::span<std::uint8_t> buffer) noexcept {
    Prepared prepared;
    if (auto ok = prepare(pdu, prepared); !ok) return std::unexpected(ok.error());
    if (buffer.size() < prepared.pdu_size) {
        return std::unexpected(EncodeError{EncodeErrorKind::BufferTooSmall, prepared.pdu_size});
    }
    ber::Writer out(buffer);
    if (auto written = prepared.fields.write(pdu, prepared.content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    return prepared.pdu_size;
}

std::expected<std::size_t, EncodeError> encode_frame(const GoosePdu& pdu, const ethernet::FrameHeader& header,
                                                     std::span<std::uint8_t> buffer) noexcept {
    Prepared prepared;
    if (auto ok = prepare(pdu, prepared); !ok) return std::unexpected(ok.error());
    auto frame_size = ethernet::write_header(header, prepared.pdu_size, buffer);
    if (!frame_size) return std::unexpected(from_header(frame_size.error()));
    ber::Writer out(buffer.subspan(ethernet::header_size(header)));
    if (auto written = prepared.fields.write(pdu, prepared.content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    return *frame_size;
}

}  // namespace valdrin::goose

// --- Decoding -----------------------------------------------------------------

namespace valdrin::goose {

namespace {

// The fixed texts of the deviations, in the order of DeviationKind; the
// numbers, names and tags around them are composed by describe.
constexpr std::string_view deviation_texts[] = {
    " octets after the PDU",                                 // TrailingOctets
    " is not a GOOSE field",                                 // NotAGooseField
    "field [",                                               // OutOfOrder
    " is not a VisibleString129",                            // NotVisibleString129
    "empty gocbRef",                                         // EmptyGocbRef
    "t of ",                                                 // TimestampLength
    " above 32 bits",                                        // Above32Bits
    " of ",                                                  // BooleanLength
    "no allData",                                            // NoAllData
    "numDatSetEntries=",                                     // EntryCount
    " is not a Data",                                        // NotAData
    "allData value 0x",                                      // DataLength
    "allData BIT STRING without a valid unused-bits octet",  // BitStringUnusedBits
    "empty allData INTEGER",                                 // EmptyDataInteger
    "allData VisibleString outside its alphabet",            // VisibleStringAlphabet
};
static_assert(std::size(deviation_texts) == static_cast<std::size_t>(DeviationKind::VisibleStringAlphabet) + 1,
              "one text per DeviationKind");

constexpr std::string_view text_of(DeviationKind kind) noexcept {
    return deviation_texts[static_cast<std::size_t>(kind)];
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

std::uint32_t big_endian(Bytes octets) noexcept {
    std::uint32_t value = 0;
    for (std::uint8_t octet : octets) value = value << 8 | octet;
    return value;
}

// Reads the TLV at `pos` of `input` as ber::decode_tlv does, inline for
// the forms that GOOSE PDUs use: a one-octet tag, and a length in short
// form or in long form of one or two octets. Every other form, and every
// fault, is left to ber::decode_tlv, so the result is always the same.
[[gnu::always_inline]] inline std::expected<ber::Tlv, ber::BerError> read_tlv(Bytes input, std::size_t pos) noexcept {
    const std::size_t n = input.size();
    if (pos < n && n - pos >= 2 && (input[pos] & 0x1F) != 0x1F) {
        std::size_t length = input[pos + 1];
        std::size_t start = pos + 2;
        bool common = true;
        if (length >= 0x80) {
            if (length == 0x81 && n - start >= 1) {
                length = input[start];
                start += 1;
            } else if (length == 0x82 && n - start >= 2) {
                length = std::size_t{input[start]} << 8 | input[start + 1];
                start += 2;
            } else {
                common = false;
            }
        }
        if (common && length <= n - start) return ber::Tlv{input.subspan(start, length), length, start + length, input[pos]};
    }
    return ber::decode_tlv(input, pos);
}

// check_sequence's result for the allData of a GOOSE PDU, found in one
// pass: a pre-order walk that reads every TLV inside the structure or array
// around it, keeping the ends of the open ones. It reads the forms that
// read_tlv reads inline; any other form, nesting deeper than its room, and
// every fault are left to data::check_sequence, which then gives the result
// and its exact error.
std::expected<std::size_t, ber::BerError> check_all_data(Bytes values) noexcept {
    constexpr std::size_t room = 32;
    std::array<std::size_t, room> ends;  // of the open structures and arrays, innermost last
    std::size_t open = 0;
    const std::uint8_t* const octets = values.data();
    std::size_t limit = values.size();  // the end of the innermost open one, or of allData
    std::size_t count = 0;
    for (std::size_t pos = 0;;) {
        if (pos == limit) {
            if (open == 0) return count;
            --open;
            limit = open > 0 ? ends[open - 1] : values.size();
            continue;
        }
        if (limit - pos < 2) break;
        const std::uint8_t tag = octets[pos];
        std::size_t length = octets[pos + 1];
        std::size_t start = pos + 2;
        if ((tag & 0x1F) == 0x1F) break;
        if (length >= 0x80) {
            if (length == 0x81 && limit - start >= 1) {
                length = octets[start];
                start += 1;
            } else if (length == 0x82 && limit - start >= 2) {
                length = std::size_t{octets[start]} << 8 | octets[start + 1];
                start += 2;
            } else {
                break;
            }
        }
        if (length > limit - start) break;
        count += open == 0 ? 1 : 0;
        if (tag == 0xA1 || tag == 0xA2) {  // array, structure: its members next
            if (open == room) break;
            limit = ends[open++] = start + length;
            pos = start;
        } else {
            pos = start + length;
        }
    }
    return data::check_sequence(values);
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
// The identifier has been read by decode_tlv, so it lies inside `input`.
std::uint32_t field_number(Bytes input, std::size_t at) noexcept {
    const std::uint8_t first = input[at];
    if ((first & 0x1F) != 0x1F) return first & 0x1F;
    std::uint32_t number = 0;
    for (;;) {
        const std::uint8_t octet = input[++at];
        number = number >= 0x2000000 ? 0xFFFFFFFF : number * 128 + (octet & 0x7Fu);
        if ((octet & 0x80) == 0) return number;
    }
}

// An INTEGER field as an unsigned magnitude: FF is 255, leading 00 octets
// are skipped, more than 64 bits are refused.
std::expected<std::uint64_t, DecodeError> read_unsigned(Bytes content, Field field) noexcept {
    if (content.empty()) return std::unexpected(DecodeError::of_field(DecodeErrorKind::EmptyIntegerField, field));
    std::size_t i = 0;
    while (i < content.size() && content[i] == 0x00) ++i;
    if (content.size() - i > 8) return std::unexpected(DecodeError::of_field(DecodeErrorKind::Above64Bits, field));
    std::uint64_t value = 0;
    for (; i < content.size(); ++i) value = value << 8 | content[i];
    return value;
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
    const Bytes content = outer->content;
    Recorded fields;
    for (std::size_t pos = 0; pos < content.size();) {
        auto tlv = read_tlv(content, pos);
        if (!tlv) return std::unexpected(DecodeError::from(tlv.error()));
        // A one-octet identifier holds the number in its low five bits.
        const std::uint32_t number = tlv->tag <= 0xFF ? tlv->tag & 0x1F : field_number(content, pos);
        if (number < FIELD_COUNT) {
            fields.record(number, tlv->content);
        }
        pos = tlv->end;
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
    auto entries = check_all_data(all_data);
    if (!entries) return std::unexpected(DecodeError::all_data(entries.error()));

    // Built in place, in the order of ReceivedPdu's members.
    return std::expected<ReceivedPdu, DecodeError>(
        std::in_place, fields.optional(Field::GoId), fields[Field::GocbRef], fields[Field::DatSet], all_data,
        *time_allowed_to_live, *st_num, *sq_num, *conf_rev, *num_dat_set_entries, *entries,
        data::UtcTime{big_endian(t.first(4)), big_endian(t.subspan(4, 3)), t[7]},
        read_boolean(fields, Field::Simulation), read_boolean(fields, Field::NdsCom));
}

namespace {

// The checks of the fields' tags and order, walking the PDU's content
// (which decode_pdu has read whole) once more; records every field.
std::optional<Deviation> check_field_tags(Bytes content, Recorded& fields) noexcept {
    std::uint32_t previous = 0;
    bool first = true;
    for (std::size_t pos = 0; pos < content.size();) {
        auto tlv = read_tlv(content, pos);
        if (!tlv) break;  // not met: decode_pdu has read the same octets
        const std::uint32_t number = tlv->tag & 0x1F;
        const Tag expected = number == index_of(Field::AllData) ? info(Field::AllData).tag : 0x80 + number;
        if (number >= FIELD_COUNT || tlv->tag != expected) return Deviation::not_a_goose_field(tlv->tag);
        if (!first && number <= previous) return Deviation::out_of_order(number, previous);
        fields.record(number, tlv->content);
        previous = number;
        first = false;
        pos = tlv->end;
    }
    return std::nullopt;
}

// The Data values of allData in encoding order, structures and arrays
// stepped into rather than recursed into: each TLV must be a Data element
// of the right form and size.
std::optional<Deviation> check_strict_data(Bytes values) noexcept {
    for (std::size_t pos = 0; pos < values.size();) {
        auto tlv = read_tlv(values, pos);
        if (!tlv) break;  // not met: check_sequence has accepted the same octets
        const Tag tag = tlv->tag;
        const Tag number = tag & 0x1F;
        const Bytes c = tlv->content;
        if (number == 1 || number == 2) {  // array, structure: step inside
            if ((tag & 0xE0) != 0xA0) return Deviation::not_a_data(tag);
            pos = tlv->end - tlv->length;
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
        pos = tlv->end;
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
