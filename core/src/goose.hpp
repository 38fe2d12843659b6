// GOOSE (IEC 61850-8-1 IECGoosePdu): encoding of a PDU and of its frame,
// lenient and strict decoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "ber.hpp"
#include "data.hpp"
#include "enum_text.hpp"
#include "ethernet.hpp"

namespace valdrin::goose {

using ber::Bytes;
using ber::Tag;

// --- The IECGoosePdu field table ----------------------------------------------

// The PDU is one TLV of this application tag whose content holds the fields.
inline constexpr Tag PDU_TAG = 0x61;

// The fields by their context tag number, the order in which they are
// written.
enum class Field : std::uint8_t {
    GocbRef,
    TimeAllowedToLive,
    DatSet,
    GoId,
    T,
    StNum,
    SqNum,
    Simulation,
    ConfRev,
    NdsCom,
    NumDatSetEntries,
    AllData,
};

// What a field holds, and so how it is written and read.
enum class FieldType : std::uint8_t {
    VisibleString,
    Integer,   // unsigned, 32 bits when conformant
    UtcTime,   // 8 octets
    Boolean,   // DEFAULT FALSE, yet always written
    DataList,  // SEQUENCE OF Data
};

// One row of the field table.
struct FieldInfo {
    Field value;            // the row's field
    std::string_view name;  // as the standard spells it, and as messages print it
    Tag tag;                // 0x80 + number, constructed 0xAB for allData
    FieldType type;
    bool mandatory;         // must be present for a PDU to be read
};

// The field table: each field, its name, tag and type.
inline constexpr auto FIELDS = std::to_array<FieldInfo>({
    {Field::GocbRef, "gocbRef", 0x80, FieldType::VisibleString, true},
    {Field::TimeAllowedToLive, "timeAllowedtoLive", 0x81, FieldType::Integer, true},
    {Field::DatSet, "datSet", 0x82, FieldType::VisibleString, true},
    {Field::GoId, "goID", 0x83, FieldType::VisibleString, false},
    {Field::T, "t", 0x84, FieldType::UtcTime, true},
    {Field::StNum, "stNum", 0x85, FieldType::Integer, true},
    {Field::SqNum, "sqNum", 0x86, FieldType::Integer, true},
    {Field::Simulation, "simulation", 0x87, FieldType::Boolean, false},
    {Field::ConfRev, "confRev", 0x88, FieldType::Integer, true},
    {Field::NdsCom, "ndsCom", 0x89, FieldType::Boolean, false},
    {Field::NumDatSetEntries, "numDatSetEntries", 0x8A, FieldType::Integer, true},
    {Field::AllData, "allData", 0xAB, FieldType::DataList, false},
});
static_assert(rows_in_order(FIELDS, Field::AllData), "one row per Field, in order");
// The number of fields.
inline constexpr std::size_t FIELD_COUNT = FIELDS.size();

// The row of `field` in FIELDS.
[[nodiscard]] constexpr const FieldInfo& info(Field field) noexcept {
    return FIELDS[static_cast<std::size_t>(field)];
}

// --- Encoding -----------------------------------------------------------------

// One GOOSE message to encode; texts and values are views that the caller
// owns. Texts are written as their octets; the caller sees to ASCII.
struct GoosePdu {
    std::string_view gocb_ref{};
    std::uint32_t time_allowed_to_live = 0;
    std::string_view dat_set{};
    std::optional<std::string_view> go_id{};  // absent is not empty
    data::UtcTime t{};
    std::uint32_t st_num = 0;
    std::uint32_t sq_num = 0;
    bool simulation = false;
    std::uint32_t conf_rev = 0;
    bool nds_com = false;
    std::uint32_t num_dat_set_entries = 0;  // written as given, not counted
    data::DataList all_data{};
};

// Why a PDU or frame cannot be encoded; the first four are
// ethernet::HeaderCheck under the same numbers.
enum class EncodeErrorKind : std::uint8_t {
    ApduTooLong,
    VlanIdOutOfRange,
    VlanPriorityOutOfRange,
    BufferTooSmall,
    InvalidData,
};

// A PDU or frame that cannot be encoded. InvalidData carries the DataError;
// the others a number: the PDU size, the VLAN id, the priority, the octets
// needed.
struct EncodeError {
    EncodeErrorKind kind;
    std::uint64_t value = 0;
    data::DataError data{};

    // The Data list of the PDU cannot be measured or written.
    static constexpr EncodeError invalid_data(data::DataError error) noexcept {
        return {EncodeErrorKind::InvalidData, 0, error};
    }
    friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

// Appends the error's message, e.g. "APDU too long: 65528 bytes"; an
// InvalidData shows the DataError's own text.
void describe(const EncodeError& error, ber::Text& out) noexcept;

// What an encoding prepares once: the INTEGER contents, the UtcTime octets,
// the measured allData content length and the lengths of its structures
// and arrays, which writing then reuses.
struct Fields {
    // timeAllowedtoLive, stNum, sqNum, confRev, numDatSetEntries
    std::array<ber::Integer, 5> integers;
    std::array<std::uint8_t, 8> t;
    std::size_t all_data_len;
    data::ContainerLengths containers;

    // Prepares the fields of `pdu`, measuring every top-level value.
    [[nodiscard]] static std::expected<Fields, data::DataError> of(const GoosePdu& pdu) noexcept;
    // The same, in place: the encoders' way, which copies nothing.
    [[nodiscard]] std::expected<void, data::DataError> prepare(const GoosePdu& pdu) noexcept;
    // The content length of the PDU's 0x61 TLV.
    [[nodiscard]] std::size_t content_len(const GoosePdu& pdu) const noexcept;
    // Writes the 0x61 header with `content_len` and every field in order.
    [[nodiscard]] std::expected<void, data::DataError> write(const GoosePdu& pdu, std::size_t content_len,
                                                             ber::Writer& out) const noexcept;
};

// The size of the encoded PDU.
[[nodiscard]] std::expected<std::size_t, EncodeError> pdu_len(const GoosePdu& pdu) noexcept;

// Writes the PDU at the start of `buffer`; returns its size.
[[nodiscard]] std::expected<std::size_t, EncodeError> encode_pdu(const GoosePdu& pdu,
                                                                 std::span<std::uint8_t> buffer) noexcept;

// Writes the Ethernet frame carrying the PDU at the start of `buffer`;
// returns the frame size. The frame is not padded.
[[nodiscard]] std::expected<std::size_t, EncodeError> encode_frame(const GoosePdu& pdu,
                                                                   const ethernet::FrameHeader& header,
                                                                   std::span<std::uint8_t> buffer) noexcept;

// --- Decoding -----------------------------------------------------------------

// A received PDU; every span points into the decoded octets.
struct ReceivedPdu {
    std::optional<Bytes> go_id{};  // absent when the PDU has no goID
    Bytes gocb_ref{};
    Bytes dat_set{};
    Bytes all_data{};  // the content of allData, empty when absent
    std::uint64_t time_allowed_to_live = 0;
    std::uint64_t st_num = 0;
    std::uint64_t sq_num = 0;
    std::uint64_t conf_rev = 0;
    std::uint64_t num_dat_set_entries = 0;  // as encoded, not counted
    std::size_t entries = 0;                // top-level Data values in all_data
    data::UtcTime t{};                      // fraction: the 24 bits carried
    bool simulation = false;
    bool nds_com = false;
};

// The conformance rules, in the order the strict decoder checks them.
enum class DeviationKind : std::uint8_t {
    TrailingOctets,
    NotAGooseField,
    OutOfOrder,
    NotVisibleString129,
    EmptyGocbRef,
    TimestampLength,
    Above32Bits,
    BooleanLength,
    NoAllData,
    EntryCount,
    NotAData,
    DataLength,
    BitStringUnusedBits,
    EmptyDataInteger,
    VisibleStringAlphabet,
};

// A departure from the standard encoding that the strict decoder found;
// each kind fills only its own members.
struct Deviation {
    DeviationKind kind;
    Field field = Field::GocbRef;  // NotVisibleString129, Above32Bits, BooleanLength
    Tag tag = 0;                   // NotAGooseField, NotAData, DataLength
    // TrailingOctets: the octets after the PDU; TimestampLength,
    // BooleanLength, DataLength: the content length; EntryCount: the
    // entries present.
    std::size_t count = 0;
    std::uint32_t number = 0;    // OutOfOrder: this field's number
    std::uint32_t previous = 0;  // OutOfOrder: the number before it
    std::uint64_t declared = 0;  // EntryCount: numDatSetEntries

    // One factory per kind that carries data, filling only its members.
    static constexpr Deviation trailing_octets(std::size_t count) noexcept {
        return {.kind = DeviationKind::TrailingOctets, .count = count};
    }
    static constexpr Deviation not_a_goose_field(Tag tag) noexcept {
        return {.kind = DeviationKind::NotAGooseField, .tag = tag};
    }
    static constexpr Deviation out_of_order(std::uint32_t number, std::uint32_t previous) noexcept {
        return {.kind = DeviationKind::OutOfOrder, .number = number, .previous = previous};
    }
    static constexpr Deviation not_visible_string129(Field field) noexcept {
        return {.kind = DeviationKind::NotVisibleString129, .field = field};
    }
    static constexpr Deviation timestamp_length(std::size_t length) noexcept {
        return {.kind = DeviationKind::TimestampLength, .count = length};
    }
    static constexpr Deviation above_32_bits(Field field) noexcept {
        return {.kind = DeviationKind::Above32Bits, .field = field};
    }
    static constexpr Deviation boolean_length(Field field, std::size_t length) noexcept {
        return {.kind = DeviationKind::BooleanLength, .field = field, .count = length};
    }
    static constexpr Deviation entry_count(std::uint64_t declared, std::size_t entries) noexcept {
        return {.kind = DeviationKind::EntryCount, .count = entries, .declared = declared};
    }
    static constexpr Deviation not_a_data(Tag tag) noexcept { return {.kind = DeviationKind::NotAData, .tag = tag}; }
    static constexpr Deviation data_length(Tag tag, std::size_t length) noexcept {
        return {.kind = DeviationKind::DataLength, .tag = tag, .count = length};
    }
    friend bool operator==(const Deviation&, const Deviation&) = default;
};

// Appends the deviation's message, e.g. "field [3] after [5]".
void describe(const Deviation& deviation, ber::Text& out) noexcept;

// Why a PDU does not decode.
enum class DecodeErrorKind : std::uint8_t {
    NotConformant,      // strict only
    Ber,                // a malformed TLV
    Header,             // a GOOSE frame without an APDU (the module reports it)
    UnexpectedTag,      // the outer TLV is not 0x61
    MissingField,       // a mandatory field is absent
    Above64Bits,        // an INTEGER field above 64 bits
    EmptyIntegerField,  // an INTEGER field without content
    AllData,            // allData is not a well-formed sequence of TLVs
    UtcTime,            // t shorter than 8 octets
};

// The first fault of a GOOSE PDU; each kind fills only its own members.
struct DecodeError {
    DecodeErrorKind kind;
    Deviation deviation{DeviationKind::TrailingOctets};  // NotConformant
    ber::BerError ber{ber::BerErrorKind::MissingTag};    // Ber, AllData
    Tag tag = 0;                                         // UnexpectedTag
    Field field = Field::GocbRef;                        // MissingField, Above64Bits, EmptyIntegerField

    // One factory per kind, filling only its members.
    static constexpr DecodeError not_conformant(Deviation deviation) noexcept {
        return {.kind = DecodeErrorKind::NotConformant, .deviation = deviation};
    }
    static constexpr DecodeError from(ber::BerError error) noexcept {
        return {.kind = DecodeErrorKind::Ber, .ber = error};
    }
    static constexpr DecodeError all_data(ber::BerError error) noexcept {
        return {.kind = DecodeErrorKind::AllData, .ber = error};
    }
    static constexpr DecodeError unexpected_tag(Tag tag) noexcept {
        return {.kind = DecodeErrorKind::UnexpectedTag, .tag = tag};
    }
    static constexpr DecodeError of_field(DecodeErrorKind kind, Field field) noexcept {
        return {.kind = kind, .field = field};
    }
    friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// Appends the error's message, e.g. "missing mandatory GOOSE field t" or
// "not conformant: no allData"; Ber and AllData show the BerError's text.
void describe(const DecodeError& error, ber::Text& out) noexcept;

// Reads a PDU leniently: fields found by their tag numbers in any order,
// the last of a repeated field counting; the mandatory fields, the numbers,
// t and allData are checked. Octets after the PDU are ignored.
[[nodiscard]] std::expected<ReceivedPdu, DecodeError> decode_pdu(Bytes apdu) noexcept;

// Reads a PDU as decode_pdu does, then checks that it is encoded as the
// standard says; the first departure is a NotConformant error.
[[nodiscard]] std::expected<ReceivedPdu, DecodeError> decode_pdu_strict(Bytes apdu) noexcept;

}  // namespace valdrin::goose
