// encode_goose_pdu and encode_goose_frame: a valdrin.goose.GoosePDU and its
// Data objects read into owned native values, then encoded as an
// IEC 61850-8-1 IECGoosePdu, bare or inside its Ethernet frame.
//
// The object graph is read once, in a fixed attribute order. Every Data
// object becomes one record of the core's flat pre-order Data list (a
// structure or array before its members); the octet payloads of all records
// are copied into one arena that the builder owns. Once the whole graph is
// read (and the arena can no longer move), the payload records are given
// their views into the arena, and the core measures and writes the PDU into
// a bytes object sized exactly beforehand.

#include <Python.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "codecs.hpp"
#include "data.hpp"
#include "ethernet.hpp"
#include "goose.hpp"

namespace valdrin::codecs {

namespace {

using py::Ref;
using py::Result;

// --- Interned names -----------------------------------------------------------

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
    Simulation,
    ConfRev,
    NdsCom,
    NumDatSetEntries,
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

constexpr const char* name_texts[] = {
    "go_id",           "gocb_ref",     "dat_set",    "all_data",        "time_allowed_to_live",
    "timestamp",       "time_quality", "st_num",     "sq_num",          "simulation",
    "conf_rev",        "nds_com",      "num_dat_set_entries",
    "value",           "double",       "unused_bits", "quality",        "members",
    "elements",        "tag",          "__name__",   "__module__",      "encode_utc_time",
    "valdrin.data",
};
constexpr std::size_t name_count = std::size(name_texts);
static_assert(name_count == static_cast<std::size_t>(Name::DataModule) + 1, "one text per Name");

// The interned str of `name` (borrowed, kept for the life of the process),
// or null with an exception set.
PyObject* interned(Name name) {
    static std::array<PyObject*, name_count> cache{};
    PyObject*& slot = cache[static_cast<std::size_t>(name)];
    if (slot == nullptr) slot = PyUnicode_InternFromString(name_texts[static_cast<std::size_t>(name)]);
    return slot;
}

constexpr const char* text_of(Name name) noexcept { return name_texts[static_cast<std::size_t>(name)]; }

// obj.<name>: a new reference, or none with the host's AttributeError (or
// whatever the attribute raised) set.
Ref attribute(PyObject* object, Name name) {
    PyObject* key = interned(name);
    if (key == nullptr) return {};
    return Ref::steal(PyObject_GetAttr(object, key));
}

// --- Scalar conversions -------------------------------------------------------

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

Result<std::uint16_t> to_u16(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < 0 || value > 0xFFFF) {
        raise_out_of_range();
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// Whether `object`'s class is `module`.`name`.
bool class_is(PyObject* object, const char* module, const char* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref type_module = attribute(type, Name::DunderModule);
    Ref type_name = attribute(type, Name::DunderName);
    if (!type_module || !type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(type_module.get()) && PyUnicode_Check(type_name.get()) &&
           PyUnicode_CompareWithASCIIString(type_module.get(), module) == 0 &&
           PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0;
}

// A bool, or numpy's boolean scalar through its __bool__; an int (even 0 or
// 1) is refused.
Result<bool> to_bool(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    if (class_is(object, "numpy", "bool_") || class_is(object, "numpy", "bool")) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return std::nullopt;
        return truth == 1;
    }
    py::raise_cannot_convert(object, "PyBool");
    return std::nullopt;
}

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

// A str's UTF-8 octets, a view valid while the str lives; a non-str raises
// the conversion TypeError.
Result<std::string_view> utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        py::raise_cannot_convert(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(size));
}

bool is_ascii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// The text of the PDU's attribute `name`, `value`: a str of ASCII
// characters, viewed in place while the str lives.
Result<std::string_view> ascii_text(PyObject* value, Name name) {
    auto text = utf8_of(value);
    if (!text) return std::nullopt;
    if (!is_ascii(*text)) {
        PyErr_Format(PyExc_ValueError, "%s is not ASCII", text_of(name));
        return std::nullopt;
    }
    return text;
}

// The same for an attribute read here; `holder` keeps the str alive.
Result<std::string_view> ascii_attribute(PyObject* pdu, Name name, Ref& holder) {
    holder = attribute(pdu, name);
    if (!holder) return std::nullopt;
    return ascii_text(holder.get(), name);
}

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

// --- UtcTime through valdrin.data.encode_utc_time -----------------------------

// The eight UtcTime octets that the package's encode_utc_time gives for
// (value, quality), read back as seconds, fraction and quality; octets
// after the eighth are ignored.
Result<data::UtcTime> utc_time(PyObject* value, PyObject* quality) {
    PyObject* module_name = interned(Name::DataModule);
    if (module_name == nullptr) return std::nullopt;
    // sys.modules first, as an import statement does; the full import only
    // when the module is not there (or blocked there with None, which the
    // import then reports).
    PyObject* modules = PyImport_GetModuleDict();
    Ref module = Ref::borrow(modules == nullptr ? nullptr : PyDict_GetItemWithError(modules, module_name));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return std::nullopt;
        module = Ref::steal(PyImport_Import(module_name));
        if (!module) return std::nullopt;
    }
    Ref function = attribute(module.get(), Name::EncodeUtcTime);
    if (!function) return std::nullopt;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function.get(), value, quality, nullptr));
    if (!result) return std::nullopt;
    std::array<std::uint8_t, 8> first{};
    std::size_t count = 0;
    if (PyBytes_Check(result.get())) {
        // The usual result, read in place.
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(result.get(), &data, &size) < 0) return std::nullopt;
        count = static_cast<std::size_t>(size);
        if (count >= first.size()) std::memcpy(first.data(), data, first.size());
    } else {
        auto octets = py::to_octets(result.get());
        if (!octets) return std::nullopt;
        count = octets->size();
        if (count >= first.size()) std::memcpy(first.data(), octets->data(), first.size());
    }
    if (count < first.size()) {
        PyErr_SetString(PyExc_ValueError, "bad utc-time");
        return std::nullopt;
    }
    const std::uint8_t* o = first.data();
    return data::UtcTime{
        .seconds = std::uint32_t{o[0]} << 24 | std::uint32_t{o[1]} << 16 | std::uint32_t{o[2]} << 8 | o[3],
        .fraction = std::uint32_t{o[4]} << 16 | std::uint32_t{o[5]} << 8 | o[6],
        .quality = o[7],
    };
}

// --- Data objects to owned records --------------------------------------------

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

// Where the payload of a bits, octets, visible, mms or raw record lies in
// the arena: [offset, offset + size), for record `index`.
struct Payload {
    std::size_t index;
    std::size_t offset;
    std::size_t size;
};

// The owned form of a list of values: the records, their payload octets in
// one arena, and where each payload lies. Records hold no views until
// borrow(), since the arena may move while it grows.
class Builder {
public:
    Builder() {
        values_.reserve(48);
        stack_.reserve(16);
        arena_.reserve(256);
    }

    // Appends the Data object `object`, a container being at `depth` (0 at
    // the top level), and all its members after it; false with an
    // exception set at the first failure.
    //
    // A structure or array too deep to encode is appended without its
    // members, and from then on no container is descended into: the list
    // can no longer be encoded, and the encoder refuses it with TooDeep
    // (or an earlier value's fault) when it measures the list, once the
    // rest of the PDU has been read. So the recursion never goes deeper
    // than MAX_DEPTH levels, and a graph that contains itself, however
    // widely, is read a bounded number of times.
    bool flatten(PyObject* object, std::size_t depth) {
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

    // The core's Data list, its payloads viewing the arena; valid while the
    // builder lives. Nothing may be appended afterwards.
    data::DataList borrow() {
        for (const Payload& payload : payloads_) {
            values_[payload.index].octets = ber::Bytes(arena_.data() + payload.offset, payload.size);
        }
        return values_;
    }

private:
    // The Data class of `object` by its class's __name__, or none with
    // ValueError "not an IEC 61850 Data value: <name>". A class statement
    // stores its name as an interned str, so the name is usually one of
    // the interned class names itself and no text is compared.
    static Result<DataClass> data_class(PyObject* object) {
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

    // The class names of data_classes as interned str objects, made on
    // first use and kept for the life of the process (a name that could
    // not be made stays null and never matches).
    static const std::array<PyObject*, std::size(data_classes)>& class_names() {
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

    // A structure or array: its members attribute as a sequence, the
    // container's record with their count, then each member in order. The
    // members are held on the builder's stack, above those of the
    // containers around this one, until they are all read.
    bool container(PyObject* object, Name attribute_name, std::size_t depth, data::Kind kind) {
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

    // Pushes the elements of a sequence other than str, in order. A plain
    // list or tuple (not a subclass, which may iterate otherwise) is read
    // by index.
    bool push_members(PyObject* sequence) {
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

    // Appends a record of `kind`, every other field zero, for the caller to
    // fill in.
    data::Data& record(data::Kind kind) {
        // Copied from a blank record: a few register moves, where
        // zeroing a new one in place takes a string store.
        static constexpr data::Data blank{};
        data::Data& value = values_.emplace_back(blank);
        value.kind = kind;
        return value;
    }

    // The same for a record whose payload is the last `size` octets of the
    // arena.
    data::Data& record(data::Kind kind, std::size_t size) {
        if (size > 0) payloads_.push_back({values_.size(), arena_.size() - size, size});
        return record(kind);
    }

    // Appends the octets of a bytes object or of a sequence (not str) of
    // integers 0 to 255 to the arena; returns their count.
    Result<std::size_t> append_octets(PyObject* object) {
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

    // A VisibleString: one octet per character, its code when below 128,
    // otherwise "?". Read from the UTF-8 form: every character starts with
    // exactly one octet that is not a continuation octet (10xxxxxx).
    Result<std::size_t> append_visible(PyObject* object) {
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

    // An MMSString: the text's UTF-8 octets.
    Result<std::size_t> append_utf8(PyObject* object) {
        auto text = utf8_of(object);
        if (!text) return std::nullopt;
        return append_raw(text->data(), text->size());
    }

    std::size_t append_raw(const char* data, std::size_t size) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(data);
        arena_.insert(arena_.end(), first, first + size);
        return size;
    }

    std::vector<data::Data> values_;
    std::vector<Ref> stack_;  // members of the containers being read
    std::vector<Payload> payloads_;
    std::vector<std::uint8_t> arena_;
    bool too_deep_ = false;  // a container too deep to encode was met
};

// --- The PDU -------------------------------------------------------------------

void raise_encode_error(const goose::EncodeError& error) {
    ber::Text text;
    goose::describe(error, text);
    py::raise(PyExc_ValueError, text.view());
}

// Reads the GoosePDU object `object` and encodes it, bare or (with a
// header) as a frame, into a new bytes object of exactly the encoded size.
PyObject* encode_goose(PyObject* object, const std::optional<ethernet::FrameHeader>& header) {
    goose::GoosePdu pdu;
    // The texts are viewed in place: their str objects live until the end.
    Ref go_id;
    Ref gocb_ref;
    Ref dat_set;

    // None leaves the optional goID out; an empty str sends an empty one.
    go_id = attribute(object, Name::GoId);
    if (!go_id) return nullptr;
    if (go_id.get() != Py_None) {
        auto text = ascii_text(go_id.get(), Name::GoId);
        if (!text) return nullptr;
        pdu.go_id = *text;
    }
    auto gocb_ref_text = ascii_attribute(object, Name::GocbRef, gocb_ref);
    if (!gocb_ref_text) return nullptr;
    pdu.gocb_ref = *gocb_ref_text;
    auto dat_set_text = ascii_attribute(object, Name::DatSet, dat_set);
    if (!dat_set_text) return nullptr;
    pdu.dat_set = *dat_set_text;

    Builder builder;
    {
        Ref all_data = attribute(object, Name::AllData);
        if (!all_data) return nullptr;
        Ref iterator = Ref::steal(PyObject_GetIter(all_data.get()));
        if (!iterator) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!builder.flatten(item.get(), 0)) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }

    if (!read_into(object, Name::TimeAllowedToLive, py::to_u32, pdu.time_allowed_to_live)) return nullptr;
    {
        Ref timestamp = attribute(object, Name::Timestamp);
        if (!timestamp) return nullptr;
        Ref time_quality = attribute(object, Name::TimeQuality);
        if (!time_quality) return nullptr;
        auto t = utc_time(timestamp.get(), time_quality.get());
        if (!t) return nullptr;
        pdu.t = *t;
    }
    const bool rest = read_into(object, Name::StNum, py::to_u32, pdu.st_num) &&
                      read_into(object, Name::SqNum, py::to_u32, pdu.sq_num) &&
                      read_into(object, Name::Simulation, to_bool, pdu.simulation) &&
                      read_into(object, Name::ConfRev, py::to_u32, pdu.conf_rev) &&
                      read_into(object, Name::NdsCom, to_bool, pdu.nds_com) &&
                      read_into(object, Name::NumDatSetEntries, py::to_u32, pdu.num_dat_set_entries);
    if (!rest) return nullptr;

    pdu.all_data = builder.borrow();

    auto pdu_size = goose::pdu_len(pdu);
    if (!pdu_size) {
        raise_encode_error(pdu_size.error());
        return nullptr;
    }
    const std::size_t size = *pdu_size + (header ? ethernet::header_size(*header) : 0);
    if (size > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max())) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!out) return nullptr;  // MemoryError for a size the host cannot allocate
    auto* buffer = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
    if (buffer == nullptr) return nullptr;
    std::memset(buffer, 0, size);
    const std::span<std::uint8_t> target(buffer, size);
    auto written = header ? goose::encode_frame(pdu, *header, target) : goose::encode_pdu(pdu, target);
    if (!written) {
        raise_encode_error(written.error());
        return nullptr;
    }
    if (*written != size) py::fault("the encoder wrote a size other than the one it measured");
    return out.release();
}

// --- The module functions ------------------------------------------------------

// encode_goose, with a graph too large for memory raising MemoryError (as
// the host does) rather than an internal fault.
PyObject* encode_goose_or_no_memory(PyObject* object, const std::optional<ethernet::FrameHeader>& header) {
    try {
        return encode_goose(object, header);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A MAC address: a sequence (not str) of exactly six integers 0 to 255.
Result<ethernet::Mac> to_mac(PyObject* object) {
    if (!py::check_sequence(object)) return std::nullopt;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) return std::nullopt;
    ethernet::Mac mac{};
    if (static_cast<std::size_t>(length) != mac.size()) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", mac.size(), length);
        return std::nullopt;
    }
    for (std::size_t i = 0; i < mac.size(); ++i) {
        Ref item = Ref::steal(PySequence_GetItem(object, static_cast<Py_ssize_t>(i)));
        if (!item) return std::nullopt;
        auto octet = py::to_u8(item.get());
        if (!octet) return std::nullopt;
        mac[i] = *octet;
    }
    return mac;
}

constexpr const char* pdu_params[] = {"pdu"};
constexpr py::Signature pdu_signature{"encode_goose_pdu()", pdu_params, 1};

PyObject* encode_goose_pdu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("encode_goose_pdu()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(pdu_signature, args, nargs, kwnames, bound)) return nullptr;
        return encode_goose_or_no_memory(bound[0], std::nullopt);
    });
}

constexpr const char* frame_params[] = {"pdu", "dst_mac", "src_mac", "app_id", "vlan_id", "vlan_priority"};
constexpr py::Signature frame_signature{"encode_goose_frame()", frame_params, 4};

PyObject* encode_goose_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("encode_goose_frame()", [&]() -> PyObject* {
        PyObject* bound[6];
        if (!py::bind(frame_signature, args, nargs, kwnames, bound)) return nullptr;
        auto dst_mac = py::argument("dst_mac", bound[1], to_mac);
        if (!dst_mac) return nullptr;
        auto src_mac = py::argument("src_mac", bound[2], to_mac);
        if (!src_mac) return nullptr;
        auto app_id = py::argument("app_id", bound[3], to_u16);
        if (!app_id) return nullptr;
        auto vlan_id = py::argument("vlan_id", bound[4], [](PyObject* o) {
            return py::to_optional<std::uint16_t>(o, to_u16);
        });
        if (!vlan_id) return nullptr;
        auto vlan_priority = py::argument("vlan_priority", bound[5], [](PyObject* o) {
            return py::to_optional<std::uint8_t>(o, py::to_u8);
        });
        if (!vlan_priority) return nullptr;
        ethernet::FrameHeader header{.dst_mac = *dst_mac, .src_mac = *src_mac, .vlan = {}, .app_id = *app_id};
        // Without an identifier there is no tag, and the priority goes unused.
        if (*vlan_id) header.vlan = ethernet::Vlan{**vlan_id, vlan_priority->value_or(0)};
        return encode_goose_or_no_memory(bound[0], header);
    });
}

}  // namespace

PyMethodDef encode_goose_pdu_def = {
    "encode_goose_pdu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_goose_pdu)),
    METH_FASTCALL | METH_KEYWORDS,
    "encode_goose_pdu(pdu)\n--\n\n"
    "The IECGoosePdu of an `valdrin.goose.GoosePDU` (for tests).",
};

PyMethodDef encode_goose_frame_def = {
    "encode_goose_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_goose_frame)),
    METH_FASTCALL | METH_KEYWORDS,
    "encode_goose_frame(pdu, dst_mac, src_mac, app_id, vlan_id=None, vlan_priority=None)\n--\n\n"
    "The Ethernet frame of an `valdrin.goose.GoosePDU` (for tests).",
};

}  // namespace valdrin::codecs
