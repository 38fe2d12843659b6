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
inline constexpr std::size_t FIELD_COUNT = 12;

enum class FieldType : std::uint8_t {
    VisibleString,
    Integer,   // unsigned, 32 bits when conformant
    UtcTime,   // 8 octets
    Boolean,   // DEFAULT FALSE, yet always written
    DataList,  // SEQUENCE OF Data
};

struct FieldInfo {
    std::string_view name;  // as the standard spells it, and as messages print it
    Tag tag;                // 0x80 + number, constructed 0xAB for allData
    FieldType type;
    bool mandatory;         // must be present for a PDU to be read
};

inline constexpr std::array<FieldInfo, FIELD_COUNT> FIELDS{{
    {"gocbRef", 0x80, FieldType::VisibleString, true},
    {"timeAllowedtoLive", 0x81, FieldType::Integer, true},
    {"datSet", 0x82, FieldType::VisibleString, true},
    {"goID", 0x83, FieldType::VisibleString, false},
    {"t", 0x84, FieldType::UtcTime, true},
    {"stNum", 0x85, FieldType::Integer, true},
    {"sqNum", 0x86, FieldType::Integer, true},
    {"simulation", 0x87, FieldType::Boolean, false},
    {"confRev", 0x88, FieldType::Integer, true},
    {"ndsCom", 0x89, FieldType::Boolean, false},
    {"numDatSetEntries", 0x8A, FieldType::Integer, true},
    {"allData", 0xAB, FieldType::DataList, false},
}};

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

    static constexpr EncodeError invalid_data(data::DataError error) noexcept {
        return {EncodeErrorKind::InvalidData, 0, error};
    }
    friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

// Appends the error's message, e.g. "APDU too long: 65528 bytes"; an
// InvalidData shows the DataError's own text.
void describe(const EncodeError& error, ber::Text& out) noexcept;

// What an encoding prepares once: the INTEGER contents, the UtcTime octets
// and the measured allData content length.
struct Fields {
    // timeAllowedtoLive, stNum, sqNum, confRev, numDatSetEntries
    std::array<ber::Integer, 5> integers;
    std::array<std::uint8_t, 8> t;
    std::size_t all_data_len;

    // Prepares the fields of `pdu`, measuring every top-level value.
    [[nodiscard]] static std::expected<Fields, data::DataError> of(const GoosePdu& pdu) noexcept;
    // The content length of the PDU's 0x61 TLV.
    [[nodiscard]] std::size_t content_len(const GoosePdu& pdu) const noexcept;
    // Writes the 0x61 header with `content_len` and every field in order.
    [[nodiscard]] std::expected<void, data::DataError> write(const GoosePdu& pdu, std::size_t content_len,
                                                             data::Cursor& out) const noexcept;

private:
    // The content of a field other than allData; nothing for an absent goID.
    std::optional<Bytes> content(const GoosePdu& pdu, Field field) const noexcept;
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

}  // namespace valdrin::goose
