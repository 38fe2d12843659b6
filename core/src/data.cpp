// What the writing and the reading of Data values share: the kinds' names
// and the messages of DataError.
#include "data.hpp"

namespace valdrin::data {

namespace {

constexpr std::string_view kind_names[] = {
    "bool", "int", "uint", "f32", "f64", "bits", "octets", "visible", "mms", "utc", "btime", "struct", "array", "raw",
};
static_assert(std::size(kind_names) == static_cast<std::size_t>(Kind::Raw) + 1, "one name per Kind");

// The fixed texts, in the order of DataErrorKind; TooDeep and BadUnusedBits
// are followed by their number.
constexpr std::string_view messages[] = {
    "a structure or array lacks members",
    "structures and arrays nested deeper than ",
    "unused_bits must be 0..7, got ",
    "buffer full",
};
static_assert(std::size(messages) == static_cast<std::size_t>(DataErrorKind::BufferFull) + 1,
              "one message per DataErrorKind");

}  // namespace

std::string_view kind_name(Kind kind) noexcept { return kind_names[static_cast<std::size_t>(kind)]; }

void describe(const DataError& error, ber::Text& out) noexcept {
    out.append(messages[static_cast<std::size_t>(error.kind)]);
    if (error.kind == DataErrorKind::TooDeep) out.append_decimal(MAX_DEPTH);
    if (error.kind == DataErrorKind::BadUnusedBits) out.append_decimal(error.unused_bits);
}

}  // namespace valdrin::data
