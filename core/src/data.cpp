// What the writing and the reading of Data values share: the kinds' names
// and the messages of DataError.
#include "data.hpp"

#include "enum_text.hpp"

namespace valdrin::data {

namespace {

constexpr auto kind_names = std::to_array<EnumText<Kind>>({
    {Kind::Bool, "bool"},
    {Kind::Int, "int"},
    {Kind::Uint, "uint"},
    {Kind::F32, "f32"},
    {Kind::F64, "f64"},
    {Kind::Bits, "bits"},
    {Kind::Octets, "octets"},
    {Kind::Visible, "visible"},
    {Kind::Mms, "mms"},
    {Kind::Utc, "utc"},
    {Kind::Btime, "btime"},
    {Kind::Struct, "struct"},
    {Kind::Array, "array"},
    {Kind::Raw, "raw"},
});
static_assert(rows_in_order(kind_names, Kind::Raw), "one row per Kind, in order");

// The fixed texts, in the order of DataErrorKind; TooDeep and BadUnusedBits
// are followed by their number.
constexpr auto messages = std::to_array<EnumText<DataErrorKind>>({
    {DataErrorKind::LacksMembers, "a structure or array lacks members"},
    {DataErrorKind::TooDeep, "structures and arrays nested deeper than "},
    {DataErrorKind::BadUnusedBits, "unused_bits must be 0..7, got "},
    {DataErrorKind::BufferFull, "buffer full"},
});
static_assert(rows_in_order(messages, DataErrorKind::BufferFull), "one row per DataErrorKind, in order");

}  // namespace

std::string_view kind_name(Kind kind) noexcept { return text_of(kind_names, kind); }

void describe(const DataError& error, ber::Text& out) noexcept {
    out.append(text_of(messages, error.kind));
    if (error.kind == DataErrorKind::TooDeep) out.append_decimal(MAX_DEPTH);
    if (error.kind == DataErrorKind::BadUnusedBits) out.append_decimal(error.unused_bits);
}

}  // namespace valdrin::data
