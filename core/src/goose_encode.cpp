// GOOSE encoding: the fields measured once, then the PDU written into a
// buffer the caller sized, bare or behind its link header.
#include <cstring>

#include "goose.hpp"
#include "octets.hpp"

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

using octets::add_sat;  // sizes saturate, like the measured allData length

// The whole TLV of `field` with `length` content octets.
constexpr std::size_t field_size(Field field, std::size_t length) noexcept {
    return ber::tlv_size(info(field).tag, length);
}

// The fields before allData, all with one-octet tags: three texts (goID
// only when present), five INTEGERs, t and two BOOLEANs.
std::size_t leading_len(const GoosePdu& pdu, const Fields& fields) noexcept {
    std::size_t length = add_sat(field_size(Field::GocbRef, pdu.gocb_ref.size()),
                                 field_size(Field::DatSet, pdu.dat_set.size()));
    if (pdu.go_id) length = add_sat(length, field_size(Field::GoId, pdu.go_id->size()));
    std::size_t fixed = 2 + fields.t.size() + 2 * 3;
    for (const ber::Integer& integer : fields.integers) fixed += 2 + (9 - integer.start);
    return add_sat(length, fixed);
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
    return add_sat(leading_len(pdu, *this), field_size(Field::AllData, all_data_len));
}

std::expected<void, data::DataError> Fields::write(const GoosePdu& pdu, std::size_t content_len,
                                                   ber::Writer& writer) const noexcept {
    // Everything up to the values of allData at once: the 0x61 header, the
    // leading fields and the allData header; the values check their own
    // room as they are written.
    const std::size_t head = add_sat(add_sat(ber::header_size(PDU_TAG, content_len), leading_len(pdu, *this)),
                                     ber::header_size(info(Field::AllData).tag, all_data_len));
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
    out.pdu_size = ber::tlv_size(PDU_TAG, out.content_len);
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
    auto frame_size = ethernet::write_header(header, ethernet::ETHERTYPE_GOOSE, prepared.pdu_size, buffer);
    if (!frame_size) return std::unexpected(from_header(frame_size.error()));
    ber::Writer out(buffer.subspan(ethernet::header_size(header)));
    if (auto written = prepared.fields.write(pdu, prepared.content_len, out); !written) {
        return std::unexpected(EncodeError::invalid_data(written.error()));
    }
    return *frame_size;
}

}  // namespace valdrin::goose
