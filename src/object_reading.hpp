// Reading the package's GOOSE objects (valdrin.goose.GoosePDU and the Data
// classes of valdrin.data): their attributes by interned name, and the
// conversions that both the PDU reader and the Data reader apply.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "data.hpp"
#include "enum_text.hpp"
#include "py.hpp"

namespace valdrin::codecs::reading {

using py::Ref;
using py::Result;

// The attribute and module names looked up on every call, interned once so
// that each lookup hashes nothing new.
enum class Name : std::uint8_t {
    GoId,
    GocbRef,
    DatSet,
    AllData,
    TimeAllowedToLive,
    Timestamp,
    TimeQuality,
    StNum,
    SqNum,
    ConfRev,
    NdsCom,
    NumDatSetEntries,
    Simulation,
    Value,
    Double,
    UnusedBits,
    Quality,
    Members,
    Elements,
    Tag,
    DunderName,
    DunderModule,
    EncodeUtcTime,
    DataModule,
};

// Each name and its text (literals: NUL-terminated).
inline constexpr auto name_texts = std::to_array<EnumText<Name>>({
    {Name::GoId, "go_id"},
    {Name::GocbRef, "gocb_ref"},
    {Name::DatSet, "dat_set"},
    {Name::AllData, "all_data"},
    {Name::TimeAllowedToLive, "time_allowed_to_live"},
    {Name::Timestamp, "timestamp"},
    {Name::TimeQuality, "time_quality"},
    {Name::StNum, "st_num"},
    {Name::SqNum, "sq_num"},
    {Name::ConfRev, "conf_rev"},
    {Name::NdsCom, "nds_com"},
    {Name::NumDatSetEntries, "num_dat_set_entries"},
    {Name::Simulation, "simulation"},
    {Name::Value, "value"},
    {Name::Double, "double"},
    {Name::UnusedBits, "unused_bits"},
    {Name::Quality, "quality"},
    {Name::Members, "members"},
    {Name::Elements, "elements"},
    {Name::Tag, "tag"},
    {Name::DunderName, "__name__"},
    {Name::DunderModule, "__module__"},
    {Name::EncodeUtcTime, "encode_utc_time"},
    {Name::DataModule, "valdrin.data"},
});
inline constexpr std::size_t name_count = name_texts.size();
static_assert(rows_in_order(name_texts, Name::DataModule), "one row per Name, in order");

// The interned str of `name` (borrowed, kept for the life of the process),
// or null with an exception set.
PyObject* interned(Name name);

// Returns the text of `name`.
constexpr const char* text_of(Name name) noexcept { return name_texts[static_cast<std::size_t>(name)].text.data(); }

// obj.<name>: a new reference, or none with the host's AttributeError (or
// whatever the attribute raised) set.
inline Ref attribute(PyObject* object, Name name) {
    PyObject* key = interned(name);
    if (key == nullptr) return {};
    return Ref::steal(PyObject_GetAttr(object, key));
}

// --- Conversions --------------------------------------------------------------

// A bool, or numpy's boolean scalar through its __bool__; an int (even 0 or
// 1) is refused.
Result<bool> to_bool(PyObject* object);

// A str's UTF-8 octets, a view valid while the str lives; a non-str raises
// the conversion TypeError.
Result<std::string_view> utf8_of(PyObject* object);

// The attribute `name` of `object` converted by `convert`.
template <class Convert>
auto converted(PyObject* object, Name name, Convert&& convert) -> decltype(convert(object)) {
    Ref value = attribute(object, name);
    if (!value) return std::nullopt;
    return convert(value.get());
}

// Stores the attribute `name` of `object`, converted by `convert`, in
// `field`; false with an exception set when it cannot be read or converted.
template <class Convert, class T>
bool read_into(PyObject* object, Name name, Convert&& convert, T& field) {
    auto value = converted(object, name, convert);
    if (value) field = *value;
    return value.has_value();
}

// The eight UtcTime octets that the package's encode_utc_time gives for
// (value, quality), read back as seconds, fraction and quality; octets
// after the eighth are ignored.
Result<data::UtcTime> utc_time(PyObject* value, PyObject* quality);

}  // namespace valdrin::codecs::reading
