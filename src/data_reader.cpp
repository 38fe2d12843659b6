#include "data_reader.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string_view>

namespace valdrin::codecs {

using namespace reading;

namespace {

// The Data classes, chosen by the exact __name__ of an object's class.
enum class DataClass : std::uint8_t {
    Bool,
    Int,
    UInt,
    Float,
    BitString,
    OctetString,
    VisibleString,
    MmsString,
    Timestamp,
    Structure,
    Array,
    Raw,
};

struct ClassName {
    std::string_view name;
    DataClass kind;
};

constexpr ClassName data_classes[] = {
    {"BoolData", DataClass::Bool},
    {"IntData", DataClass::Int},
    {"UIntData", DataClass::UInt},
    {"FloatData", DataClass::Float},
    {"BitStringData", DataClass::BitString},
    {"OctetStringData", DataClass::OctetString},
    {"VisibleStringData", DataClass::VisibleString},
    {"MmsStringData", DataClass::MmsString},
    {"TimestampData", DataClass::Timestamp},
    {"StructureData", DataClass::Structure},
    {"ArrayData", DataClass::Array},
    {"RawData", DataClass::Raw},
};

// The IEEE single nearest to `value` (ties to even), as its bit pattern.
// Finite values beyond the largest single are rounded here, since the
// language leaves converting them undefined: up to half a unit in the last
// place above FLT_MAX they round down to it, from there on (the tie goes to
// the even neighbour, infinity) to infinity.
std::uint32_t single_pattern(double value) {
    constexpr double largest = std::numeric_limits<float>::max();  // 2^128 - 2^104
    constexpr double to_infinity = 0x1p128 - 0x1p103;
    float single;
    if (std::isfinite(value) && std::fabs(value) > largest) {
        single = std::fabs(value) < to_infinity ? std::numeric_limits<float>::max()
                                                : std::numeric_limits<float>::infinity();
        if (std::signbit(value)) single = -single;
    } else {
        single = static_cast<float>(value);
    }
    return std::bit_cast<std::uint32_t>(single);
}

// The class names of data_classes as interned str objects, made on
// first use and kept for the life of the process (a name that could
// not be made stays null and never matches).
const std::array<PyObject*, std::size(data_classes)>& class_names() {
    static const auto names = [] {
        std::array<PyObject*, std::size(data_classes)> out{};
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::string_view name = data_classes[i].name;
            out[i] = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
            if (out[i] != nullptr) PyUnicode_InternInPlace(&out[i]);
        }
        PyErr_Clear();
        return out;
    }();
    return names;
}

// The Data class of `object` by its class's __name__, or none with
// ValueError "not an IEC 61850 Data value: <name>". A class statement
// stores its name as an interned str, so the name is usually one of
// the interned class names itself and no text is compared.
Result<DataClass> data_class(PyObject* object) {
    Ref name = attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), Name::DunderName);
    if (!name) return std::nullopt;
    const auto& names = class_names();
    for (std::size_t i = 0; i < std::size(data_classes); ++i) {
        if (names[i] == name.get()) return data_classes[i].kind;
    }
    auto text = utf8_of(name.get());
    if (!text) return std::nullopt;
    for (const ClassName& row : data_classes) {
        if (row.name == *text) return row.kind;
    }
    PyErr_Format(PyExc_ValueError, "not an IEC 61850 Data value: %U", name.get());
    return std::nullopt;
}

}  // namespace

DataReader::DataReader() {
    values_.reserve(48);
    stack_.reserve(16);
    arena_.reserve(256);
}

bool DataReader::flatten(PyObject* object, std::size_t depth) {
    auto kind = data_class(object);
    if (!kind) return false;
    switch (*kind) {
        case DataClass::Bool: {
            auto value = converted(object, Name::Value, to_bool);
            return value && (record(data::Kind::Bool).boolean = *value, true);
        }
        case DataClass::Int: {
            auto value = converted(object, Name::Value, py::to_i64);
            return value && (record(data::Kind::Int).integer = *value, true);
        }
        case DataClass::UInt: {
            auto value = converted(object, Name::Value, py::to_u64);
            return value && (record(data::Kind::Uint).unsigned_integer = *value, true);
        }
        case DataClass::Float: {
            auto is_double = converted(object, Name::Double, to_bool);
            if (!is_double) return false;
            auto value = converted(object, Name::Value, py::to_f64);
            if (!value) return false;
            if (*is_double) {
                record(data::Kind::F64).f64 = std::bit_cast<std::uint64_t>(*value);
            } else {
                record(data::Kind::F32).f32 = single_pattern(*value);
            }
            return true;
        }
        case DataClass::BitString: {
            auto octets = converted(object, Name::Value, [&](PyObject* v) { return append_octets(v); });
            if (!octets) return false;
            auto unused_bits = converted(object, Name::UnusedBits, py::to_u8);
            return unused_bits && (record(data::Kind::Bits, *octets).unused_bits = *unused_bits, true);
        }
        case DataClass::OctetString: {
            auto octets = converted(object, Name::Value, [&](PyObject* v) { return append_octets(v); });
            return octets && (record(data::Kind::Octets, *octets), true);
        }
        case DataClass::VisibleString: {
            auto octets = converted(object, Name::Value, [&](PyObject* v) { return append_visible(v); });
            return octets && (record(data::Kind::Visible, *octets), true);
        }
        case DataClass::MmsString: {
            auto octets = converted(object, Name::Value, [&](PyObject* v) { return append_utf8(v); });
            return octets && (record(data::Kind::Mms, *octets), true);
        }
        case DataClass::Timestamp: {
            Ref value = attribute(object, Name::Value);
            if (!value) return false;
            Ref quality = attribute(object, Name::Quality);
            if (!quality) return false;
            auto time = utc_time(value.get(), quality.get());
            return time && (record(data::Kind::Utc).utc = *time, true);
        }
        case DataClass::Structure:
            return container(object, Name::Members, depth, data::Kind::Struct);
        case DataClass::Array:
            return container(object, Name::Elements, depth, data::Kind::Array);
        case DataClass::Raw: {
            auto tag = converted(object, Name::Tag, py::to_u32);
            if (!tag) return false;
            auto octets = converted(object, Name::Value, [&](PyObject* v) { return append_octets(v); });
            return octets && (record(data::Kind::Raw, *octets).tag = *tag, true);
        }
    }
    py::fault("unknown Data class");
}

data::DataList DataReader::borrow() {
    for (const Payload& payload : payloads_) {
        values_[payload.index].octets = ber::Bytes(arena_.data() + payload.offset, payload.size);
    }
    return values_;
}

bool DataReader::container(PyObject* object, Name attribute_name, std::size_t depth, data::Kind kind) {
    Ref members = attribute(object, attribute_name);
    if (!members) return false;
    const std::size_t first = stack_.size();
    if (!push_members(members.get())) {
        stack_.resize(first);
        return false;
    }
    members = Ref();
    const std::size_t count = stack_.size() - first;
    if (data::too_deep(depth)) too_deep_ = true;
    bool ok = true;
    if (too_deep_) {
        record(kind);  // no members
    } else {
        record(kind).members = count;
        for (std::size_t i = first; ok && i < first + count; ++i) ok = flatten(stack_[i].get(), depth + 1);
    }
    stack_.resize(first);
    return ok;
}

bool DataReader::push_members(PyObject* sequence) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        const bool list = PyList_CheckExact(sequence);
        const Py_ssize_t size = list ? PyList_Size(sequence) : PyTuple_Size(sequence);
        for (Py_ssize_t i = 0; i < size; ++i) {
            stack_.push_back(Ref::borrow(list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i)));
            if (!stack_.back()) return false;
        }
        return true;
    }
    return py::for_each_in_sequence(sequence, [&](PyObject* element) {
        stack_.push_back(Ref::borrow(element));
        return true;
    });
}

data::Data& DataReader::record(data::Kind kind) {
    // Copied from a blank record: a few register moves, where
    // zeroing a new one in place takes a string store.
    static constexpr data::Data blank{};
    data::Data& value = values_.emplace_back(blank);
    value.kind = kind;
    return value;
}

data::Data& DataReader::record(data::Kind kind, std::size_t size) {
    if (size > 0) payloads_.push_back({values_.size(), arena_.size() - size, size});
    return record(kind);
}

Result<std::size_t> DataReader::append_octets(PyObject* object) {
    if (PyBytes_Check(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
        return append_raw(data, static_cast<std::size_t>(size));
    }
    if (PyByteArray_Check(object)) {
        return append_raw(PyByteArray_AsString(object), static_cast<std::size_t>(PyByteArray_Size(object)));
    }
    const std::size_t start = arena_.size();
    const bool ok = py::for_each_in_sequence(object, [&](PyObject* element) {
        auto octet = py::to_u8(element);
        if (!octet) return false;
        arena_.push_back(*octet);
        return true;
    });
    if (!ok) return std::nullopt;
    return arena_.size() - start;
}

Result<std::size_t> DataReader::append_visible(PyObject* object) {
    auto text = utf8_of(object);
    if (!text) return std::nullopt;
    const std::size_t start = arena_.size();
    for (const char c : *text) {
        const auto octet = static_cast<std::uint8_t>(c);
        if (octet < 0x80) {
            arena_.push_back(octet);
        } else if (octet >= 0xC0) {
            arena_.push_back('?');
        }
    }
    return arena_.size() - start;
}

Result<std::size_t> DataReader::append_utf8(PyObject* object) {
    auto text = utf8_of(object);
    if (!text) return std::nullopt;
    return append_raw(text->data(), text->size());
}

std::size_t DataReader::append_raw(const char* data, std::size_t size) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(data);
    arena_.insert(arena_.end(), first, first + size);
    return size;
}

}  // namespace valdrin::codecs
