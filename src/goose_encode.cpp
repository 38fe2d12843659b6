// encode_goose_pdu and encode_goose_frame: a valdrin.goose.GoosePDU and its
// Data objects read into owned native values, then encoded as an
// IEC 61850-8-1 IECGoosePdu, bare or inside its Ethernet frame.
//
// The object graph is read once, in a fixed attribute order. Every Data
// object becomes one record of the core's flat pre-order Data list (a
// structure or array before its members); the octet payloads of all records
// are copied into one arena that the DataReader (data_reader.hpp) owns. Once
// the whole graph is read (and the arena can no longer move), the payload
// records are given their views into the arena, and the core measures and
// writes the PDU into a bytes object sized exactly beforehand.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "codecs.hpp"
#include "data_reader.hpp"
#include "ethernet.hpp"
#include "goose.hpp"
#include "object_reading.hpp"

namespace valdrin::codecs {

namespace {

using namespace reading;

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

    DataReader reader;
    {
        Ref all_data = attribute(object, Name::AllData);
        if (!all_data) return nullptr;
        Ref iterator = Ref::steal(PyObject_GetIter(all_data.get()));
        if (!iterator) return nullptr;
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (!reader.flatten(item.get(), 0)) return nullptr;
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

    pdu.all_data = reader.borrow();

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

