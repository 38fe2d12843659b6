// decode_sv_pdu and decode_sv_frame: IEC 61850-9-2 Sampled Values APDUs and
// frames read back into Python dictionaries, for the package's tests.

#include <Python.h>

#include "codecs.hpp"
#include "ethernet.hpp"
#include "sv.hpp"

namespace valdrin::codecs {

namespace {

void raise_sv_error(const sv::SvError& error) {
    ber::Text text;
    sv::describe(error, text);
    py::raise(PyExc_ValueError, text.view());
}

py::Ref utc_time_of(const sv::UtcTime& time) {
    py::Ref seconds = int_of(time.seconds);
    py::Ref fraction = int_of(time.fraction);
    py::Ref quality = int_of(time.quality);
    return created(PyTuple_Pack(3, seconds.get(), fraction.get(), quality.get()));
}

// The dictionary of one ASDU, keys in the order of the savPdu's fields.
py::Ref asdu_to_py(const sv::Asdu& asdu) {
    py::Ref dict = created(PyDict_New());
    const bool ok =
        set_item(dict.get(), "sv_id", bytes_of(asdu.sv_id)) &&
        set_item(dict.get(), "dat_set", optional_of(asdu.dat_set, bytes_of)) &&
        set_item(dict.get(), "smp_cnt", int_of(asdu.smp_cnt)) &&
        set_item(dict.get(), "conf_rev", int_of(asdu.conf_rev)) &&
        set_item(dict.get(), "refr_tm", optional_of(asdu.refr_tm, utc_time_of)) &&
        set_item(dict.get(), "smp_synch", int_of(asdu.smp_synch)) &&
        set_item(dict.get(), "smp_rate", optional_of(asdu.smp_rate, int_of)) &&
        set_item(dict.get(), "sample", bytes_of(asdu.sample)) &&
        set_item(dict.get(), "smp_mod", optional_of(asdu.smp_mod, int_of)) &&
        set_item(dict.get(), "gm_identity", optional_of(asdu.gm_identity, bytes_of));
    return ok ? dict : py::Ref();
}

// (security, [asdu dicts]) of an accepted savPdu.
py::Ref pdu_to_py(const sv::SavPdu& pdu) {
    py::Ref list = created(PyList_New(0));
    sv::Asdus asdus(pdu);
    std::size_t count = 0;
    while (auto asdu = asdus.next()) {
        py::Ref dict = asdu_to_py(*asdu);
        if (!dict || PyList_Append(list.get(), dict.get()) < 0) return {};
        ++count;
    }
    if (count != pdu.asdu_count) py::fault("ASDU iteration disagrees with the accepted savPdu");
    py::Ref security = optional_of(pdu.security, bytes_of);
    return created(PyTuple_Pack(2, security.get(), list.get()));
}

constexpr const char* apdu_params[] = {"apdu"};
constexpr py::Signature pdu_signature{"decode_sv_pdu()", apdu_params, 1};

PyObject* decode_sv_pdu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("decode_sv_pdu()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(pdu_signature, args, nargs, kwnames, bound)) return nullptr;
        auto apdu = py::argument("apdu", bound[0], to_bytes_view);
        if (!apdu) return nullptr;
        auto pdu = sv::decode_pdu(*apdu);
        if (!pdu) {
            raise_sv_error(pdu.error());
            return nullptr;
        }
        return pdu_to_py(*pdu).release();
    });
}

constexpr const char* raw_params[] = {"raw"};
constexpr py::Signature frame_signature{"decode_sv_frame()", raw_params, 1};

PyObject* decode_sv_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("decode_sv_frame()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(frame_signature, args, nargs, kwnames, bound)) return nullptr;
        auto raw = py::argument("raw", bound[0], to_bytes_view);
        if (!raw) return nullptr;
        auto frame = ethernet::parse_frame(*raw, ethernet::ETHERTYPE_SV);
        if (!frame) return none().release();
        // No test of an empty APDU here: the decoder reports "missing tag".
        auto pdu = sv::decode_pdu(frame->payload);
        if (!pdu) {
            raise_sv_error(pdu.error());
            return nullptr;
        }
        py::Ref header = frame_to_py(*frame);
        if (!header) return nullptr;
        py::Ref decoded = pdu_to_py(*pdu);
        if (!decoded) return nullptr;
        return created(PyTuple_Pack(2, header.get(), decoded.get())).release();
    });
}

}  // namespace

// --- Shared conversions -----------------------------------------------------

py::Ref created(PyObject* object) {
    if (object == nullptr) py::fault("the interpreter could not create an object");
    return py::Ref::steal(object);
}

py::Ref bytes_of(ber::Bytes octets) {
    return created(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(octets.data()),
                                             static_cast<Py_ssize_t>(octets.size())));
}

py::Ref int_of(std::uint64_t value) {
    return created(PyLong_FromUnsignedLongLong(value));
}

py::Ref none() { return py::Ref::borrow(Py_None); }

bool set_item(PyObject* dict, const char* key, const py::Ref& value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

py::Result<ber::Bytes> to_bytes_view(PyObject* object) {
    if (!PyBytes_Check(object)) {
        py::raise_cannot_convert(object, "PyBytes");
        return std::nullopt;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
    return ber::Bytes(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

py::Ref frame_to_py(const ethernet::Frame& frame) {
    py::Ref dict = created(PyDict_New());
    const bool ok =
        set_item(dict.get(), "dst_mac", bytes_of(frame.dst_mac)) &&
        set_item(dict.get(), "src_mac", bytes_of(frame.src_mac)) &&
        set_item(dict.get(), "vlan_id", optional_of(frame.vlan_id, int_of)) &&
        set_item(dict.get(), "vlan_priority", optional_of(frame.vlan_priority, int_of)) &&
        set_item(dict.get(), "app_id", int_of(frame.app_id)) &&
        set_item(dict.get(), "reserved1", int_of(frame.reserved1)) &&
        set_item(dict.get(), "reserved2", int_of(frame.reserved2));
    return ok ? dict : py::Ref();
}

PyMethodDef decode_sv_pdu_def = {
    "decode_sv_pdu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_sv_pdu)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_sv_pdu(apdu)\n--\n\n"
    "`(security, [asdu dicts])` of a SavPdu; ValueError when it is invalid (for tests).",
};

PyMethodDef decode_sv_frame_def = {
    "decode_sv_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_sv_frame)),
    METH_FASTCALL | METH_KEYWORDS,
    "decode_sv_frame(raw)\n--\n\n"
    "`None` for a frame that is not SV, else `(frame dict, security, [asdu dicts])` (for tests).",
};

}  // namespace valdrin::codecs
