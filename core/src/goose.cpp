#include "goose.hpp"

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

// Where each INTEGER field's content sits in Fields::integers.
constexpr std::size_t integer_slot(Field field) noexcept {
    switch (field) {
        case Field::TimeAllowedToLive: return 0;
        case Field::StNum: return 1;
        case Field::SqNum: return 2;
        case Field::ConfRev: return 3;
        default: return 4;
    }
}

constexpr std::uint8_t boolean_octets[2] = {0x00, 0xFF};

Bytes text(std::string_view value) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()};
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
    auto all_data_len = data::measure_sequence(pdu.all_data);
    if (!all_data_len) return std::unexpected(all_data_len.error());
    return Fields{
        .integers = {ber::Integer::from_unsigned(pdu.time_allowed_to_live), ber::Integer::from_unsigned(pdu.st_num),
                     ber::Integer::from_unsigned(pdu.sq_num), ber::Integer::from_unsigned(pdu.conf_rev),
                     ber::Integer::from_unsigned(pdu.num_dat_set_entries)},
        .t = data::utc_octets(pdu.t),
        .all_data_len = *all_data_len,
    };
}

std::optional<Bytes> Fields::content(const GoosePdu& pdu, Field field) const noexcept {
    switch (info(field).type) {
        case FieldType::VisibleString:
            if (field == Field::GocbRef) return text(pdu.gocb_ref);
            if (field == Field::DatSet) return text(pdu.dat_set);
            if (pdu.go_id) return text(*pdu.go_id);
            return std::nullopt;
        case FieldType::Integer: return integers[integer_slot(field)].as_slice();
        case FieldType::UtcTime: return Bytes(t);
        case FieldType::Boolean: {
            const bool value = field == Field::Simulation ? pdu.simulation : pdu.nds_com;
            return Bytes(&boolean_octets[value], 1);
        }
        case FieldType::DataList: break;
    }
    return Bytes{};
}

std::size_t Fields::content_len(const GoosePdu& pdu) const noexcept {
    std::size_t length = tlv_size(all_data_len);
    for (std::size_t i = 0; i < FIELD_COUNT - 1; ++i) {
        if (auto octets = content(pdu, static_cast<Field>(i))) length = add(length, tlv_size(octets->size()));
    }
    return length;
}

std::expected<void, data::DataError> Fields::write(const GoosePdu& pdu, std::size_t content_len,
                                                   data::Cursor& out) const noexcept {
    constexpr data::DataError full{data::DataErrorKind::BufferFull};
    if (!out.put_header(PDU_TAG, content_len)) return std::unexpected(full);
    for (std::size_t i = 0; i < FIELD_COUNT - 1; ++i) {
        const auto field = static_cast<Field>(i);
        auto octets = content(pdu, field);
        if (octets && (!out.put_header(info(field).tag, octets->size()) || !out.put_bytes(*octets))) {
            return std::unexpected(full);
        }
    }
    if (!out.put_header(info(Field::AllData).tag, all_data_len)) return std::unexpected(full);
    return data::write_sequence(pdu.all_data, out);
}

namespace {

struct Prepared {
    Fields fields;
    std::size_t content_len;
    std::size_t pdu_size;
};

std::expected<Prepared, EncodeError> prepare(const GoosePdu& pdu) noexcept {
    auto fields = Fields::of(pdu);
    if (!fields) return std::unexpected(EncodeError::invalid_data(fields.error()));
    const std::size_t content_len = fields->content_len(pdu);
    return Prepared{*fields, content_len, tlv_size(content_len)};
}

}  // namespace

std::expected<std::size_t, EncodeError> pdu_len(const GoosePdu& pdu) noexcept {
    auto prepared = prepare(pdu);
    if (!prepared) return std::unexpected(prepared.error());
    return prepared->pdu_size;
}

std::expected<std::size_t, EncodeError> encode_pdu(const GoosePdu& pdu, std::span<std::uint8_t> buffer) noexcept {
    auto prepared = prepare(pdu);
    if (!prepared) return std::unexpected(prepared.error());
    if (buffer.size() < prepared->pdu_size) {
        return std::unexpected(EncodeError{EncodeErrorKind::BufferTooSmall, prepared->pdu_size});
    }
    data::Cursor out(buffer);
    if (auto written = prepared->fields.write(pdu, prepared->content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    return prepared->pdu_size;
}

std::expected<std::size_t, EncodeError> encode_frame(const GoosePdu& pdu, const ethernet::FrameHeader& header,
                                                     std::span<std::uint8_t> buffer) noexcept {
    auto prepared = prepare(pdu);
    if (!prepared) return std::unexpected(prepared.error());
    auto frame_size = ethernet::write_header(header, prepared->pdu_size, buffer);
    if (!frame_size) return std::unexpected(from_header(frame_size.error()));
    data::Cursor out(buffer.subspan(ethernet::header_size(header)));
    if (auto written = prepared->fields.write(pdu, prepared->content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    return *frame_size;
}

}  // namespace valdrin::goose
