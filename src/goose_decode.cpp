// decode_goose_pdu and decode_goose_frame: IEC 61850-8-1 GOOSE APDUs and
// frames read back into Python dictionaries, for the package's tests.

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>

#include "codecs.hpp"
#include "data.hpp"
#include "ethernet.hpp"
#include "goose.hpp"

namespace valdrin::codecs {

namespace {

void raise_decode_error(const goose::DecodeError& error) {
    ber::Text text;
    goose::describe(error, text);
    py::raise(PyExc_ValueError, text.view());
}

// Whether `object` is NumPy's bool scalar (numpy.bool_, named numpy.bool
// since NumPy 2), told by its type's name without importing NumPy.
bool is_numpy_bool(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    py::Ref module = py::Ref::steal(PyObject_GetAttrString(type, "__module__"));
    py::Ref name = module ? py::Ref::steal(PyObject_GetAttrString(type, "__name__")) : py::Ref();
    if (!module || !name) {
        PyErr_Clear();  // a type without these is no NumPy type
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// `strict`: a bool or NumPy's bool scalar; left out, false.
py::Result<bool> to_strict(PyObject* object) {
    if (object == nullptr) return false;
    if (PyBool_Check(object)) return object == Py_True;
    if (is_numpy_bool(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return std::nullopt;
        return truth != 0;
    }
    py::raise_cannot_convert(object, "PyBool");
    return std::nullopt;
}

py::Ref bool_of(bool value) { return created(PyBool_FromLong(value)); }

// The kinds' names as Python strings, made once and kept: every Data tuple
// starts with one of them.
PyObject* kind_of(data::Kind kind) {
    static std::array<PyObject*, static_cast<std::size_t>(data::Kind::Raw) + 1> names{};
    PyObject*& name = names[static_cast<std::size_t>(kind)];
    if (name == nullptr) name = created(PyUnicode_InternFromString(data::kind_name(kind).data())).release();
    return name;
}

py::Ref pair(data::Kind kind, const py::Ref& value) { return created(PyTuple_Pack(2, kind_of(kind), value.get())); }

// The Data tuple of one value: (kind, value) or, for bits and raw values,
// (kind, two items).
py::Ref value_to_py(const data::Value& value) {
    using data::Kind;
    switch (value.kind) {
        case Kind::Bool: return pair(value.kind, bool_of(value.boolean));
        case Kind::Int: return pair(value.kind, created(PyLong_FromLongLong(value.integer)));
        case Kind::Uint: return pair(value.kind, int_of(value.unsigned_integer));
        case Kind::F32: return pair(value.kind, int_of(value.f32));  // the bit pattern
        case Kind::F64: return pair(value.kind, created(PyFloat_FromDouble(value.f64)));
        case Kind::Octets:
        case Kind::Visible:
        case Kind::Mms:
        case Kind::Btime: return pair(value.kind, bytes_of(value.octets));
        case Kind::Utc: return pair(value.kind, bytes_of(data::utc_octets(value.utc)));
        case Kind::Struct:
        case Kind::Array: return pair(value.kind, int_of(value.members));
        case Kind::Bits: {
            py::Ref octets = bytes_of(value.octets);
            py::Ref unused = int_of(value.unused_bits);
            return created(PyTuple_Pack(3, kind_of(value.kind), octets.get(), unused.get()));
        }
        case Kind::Raw: {
            py::Ref tag = int_of(value.tag);
            py::Ref octets = bytes_of(value.octets);
            return created(PyTuple_Pack(3, kind_of(value.kind), tag.get(), octets.get()));
        }
    }
    py::fault("a Data value of no known kind");
}

// The Data tuples of an allData content in pre-order. The decoders have
// checked the content with check_sequence, so the iteration reads it all.
py::Ref all_data_to_py(ber::Bytes all_data) {
    py::Ref list = created(PyList_New(0));
    for (data::Values values(all_data); auto value = values.next();) {
        py::Ref item = value_to_py(*value);
        if (PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

// The keys of the PDU dictionary, in the order of the PDU's fields.
enum Key : std::size_t {
    GOCB_REF, TIME_ALLOWED_TO_LIVE, DAT_SET, GO_ID, T, ST_NUM, SQ_NUM, SIMULATION, CONF_REV, NDS_COM,
    NUM_DAT_SET_ENTRIES, ENTRIES, ALL_DATA, KEYS,
};
constexpr const char* key_texts[] = {
    "gocb_ref", "time_allowed_to_live", "dat_set", "go_id", "t", "st_num", "sq_num", "simulation", "conf_rev",
    "nds_com", "num_dat_set_entries", "entries", "all_data",
};
static_assert(std::size(key_texts) == KEYS, "one text per key");

// The keys, interned once, and the blank dictionary that results copy.
constinit DictShape pdu_shape(key_texts);

// Puts `value` under the key; false with an exception set on failure.
bool put(PyObject* dict, Key key, const py::Ref& value) { return pdu_shape.put(dict, key, value); }

// The dictionary of a decoded PDU, keys in the order of the PDU's fields.
py::Ref received_to_py(const goose::ReceivedPdu& pdu) {
    py::Ref dict = pdu_shape.blank();
    PyObject* d = dict.get();
    const bool ok = put(d, GOCB_REF, bytes_of(pdu.gocb_ref)) &&
                    put(d, TIME_ALLOWED_TO_LIVE, int_of(pdu.time_allowed_to_live)) &&
                    put(d, DAT_SET, bytes_of(pdu.dat_set)) &&
                    put(d, GO_ID, optional_of(pdu.go_id, bytes_of)) &&
                    put(d, T, bytes_of(data::utc_octets(pdu.t))) &&
                    put(d, ST_NUM, int_of(pdu.st_num)) &&
                    put(d, SQ_NUM, int_of(pdu.sq_num)) &&
                    put(d, SIMULATION, bool_of(pdu.simulation)) &&
                    put(d, CONF_REV, int_of(pdu.conf_rev)) &&
                    put(d, NDS_COM, bool_of(pdu.nds_com)) &&
                    put(d, NUM_DAT_SET_ENTRIES, int_of(pdu.num_dat_set_entries)) &&
                    put(d, ENTRIES, int_of(pdu.entries)) &&
                    put(d, ALL_DATA, all_data_to_py(pdu.all_data));
    return ok ? dict : py::Ref();
}

// The PDU decoded leniently, or strictly; nothing with ValueError raised.
std::optional<goose::ReceivedPdu> decoded(ber::Bytes apdu, bool strict) {
    auto pdu = strict ? goose::decode_pdu_strict(apdu) : goose::decode_pdu(apdu);
    if (!pdu) {
        raise_decode_error(pdu.error());
        return std::nullopt;
    }
    return *pdu;
}

constexpr const char* pdu_params[] = {"apdu", "strict"};
constexpr py::Signature pdu_signature{"decode_goose_pdu()", pdu_params, 1};

PyObject* decode_goose_pdu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("decode_goose_pdu()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(pdu_signature, args, nargs, kwnames, bound)) return nullptr;
        auto apdu = py::argument("apdu", bound[0], to_bytes_view);
        if (!apdu) return nullptr;
        auto strict = py::argument("strict", bound[1], to_strict);
        if (!strict) return nullptr;
        auto pdu = decoded(*apdu, *strict);
        if (!pdu) return nullptr;
        return received_to_py(*pdu).release();
    });
}

constexpr const char* frame_params[] = {"raw", "strict"};
constexpr py::Signature frame_signature{"decode_goose_frame()", frame_params, 1};

PyObject* decode_goose_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("decode_goose_frame()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(frame_signature, args, nargs, kwnames, bound)) return nullptr;
        auto raw = py::argument("raw", bound[0], to_bytes_view);
        if (!raw) return nullptr;
        auto strict = py::argument("strict", bound[1], to_strict);
        if (!strict) return nullptr;
        auto frame = ethernet::parse_frame(*raw, ethernet::ETHERTYPE_GOOSE);
        if (!frame) return none().release();
        // A Length of 8: a header without an APDU, refused before decoding.
        if (frame->payload.empty()) {
            raise_decode_error(goose::DecodeError{goose::DecodeErrorKind::Header});
            return nullptr;
        }
        auto pdu = decoded(frame->payload, *strict);
        if (!pdu) return nullptr;
        py::Ref header = frame_to_py(*frame);
        if (!header) return nullptr;
        py::Ref fields = received_to_py(*pdu);
        if (!fields) return nullptr;
        return created(PyTuple_Pack(2, header.get(), fields.get())).release();
    });
}

}  // namespace

PyMethodDef decode_goose_pdu_def = {
    "decode_goose_pdu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_goose_pdu)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_goose_pdu(apdu, strict=False)\n--\n\n"
    "The fields of an IECGoosePdu as a dict; ValueError when it is invalid, or\n"
    "not conformant with `strict` (for tests).",
};

PyMethodDef decode_goose_frame_def = {
    "decode_goose_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_goose_frame)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_goose_frame(raw, strict=False)\n--\n\n"
    "`None` for a frame that is not GOOSE, else `(frame dict, pdu dict)` (for tests).",
};

}  // namespace valdrin::codecs
