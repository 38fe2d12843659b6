// decode_sv_pdu and decode_sv_frame: IEC 61850-9-2 Sampled Values APDUs and
// frames read back into Python dictionaries, for the package's tests.

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>

#include "codecs.hpp"
#include "ethernet.hpp"
#include "sv.hpp"
#include "sv_profile.hpp"

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

// The keys of an ASDU dictionary, in the order of the ASDU's fields.
enum AsduKey : std::size_t {
    SV_ID, DAT_SET, SMP_CNT, CONF_REV, REFR_TM, SMP_SYNCH, SMP_RATE, SAMPLE, SMP_MOD, GM_IDENTITY,
};
constexpr const char* asdu_keys[] = {
    "sv_id", "dat_set", "smp_cnt", "conf_rev", "refr_tm",
    "smp_synch", "smp_rate", "sample", "smp_mod", "gm_identity",
};
static_assert(std::size(asdu_keys) == GM_IDENTITY + 1, "one text per key");
constinit DictShape asdu_shape(asdu_keys);

// Whether a field of an ASDU holds the same value as in the ASDU before:
// equal octets, both absent, or equal numbers.
bool same(ber::Bytes a, ber::Bytes b) { return std::ranges::equal(a, b); }
bool same(const std::optional<ber::Bytes>& a, const std::optional<ber::Bytes>& b) {
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
}
template <class T>
bool same(const T& a, const T& b) {
    return a == b;
}

// Builds the ASDU dictionaries of one savPdu, in order. The ASDUs of a
// frame differ mostly in smpCnt and the samples, so each dictionary after
// the first starts as a copy of the one before (its key table and values
// copied whole) and only the fields that differ are replaced: bytes, ints
// and the refrTm tuple are immutable, so sharing them changes no result.
class AsduBuilder {
public:
    // The dictionary of one ASDU, keys in the order of its fields.
    py::Ref operator()(const sv::Asdu& asdu) {
        const bool first = !previous_dict_;
        py::Ref dict = first ? asdu_shape.blank() : created(PyDict_Copy(previous_dict_.get()));
        PyObject* d = dict.get();
        // Against the blank dictionary, every optional field is absent and
        // every mandatory one differs.
        const sv::Asdu& before = first ? blank_asdu : previous_;
        auto update = [&](AsduKey key, bool differs, auto&& value) {
            return !differs || asdu_shape.replace(d, key, value());
        };
        const bool ok =
            update(SV_ID, first || !same(asdu.sv_id, before.sv_id), [&] { return bytes_of(asdu.sv_id); }) &&
            update(DAT_SET, !same(asdu.dat_set, before.dat_set),
                   [&] { return optional_of(asdu.dat_set, bytes_of); }) &&
            update(SMP_CNT, first || asdu.smp_cnt != before.smp_cnt, [&] { return int_of(asdu.smp_cnt); }) &&
            update(CONF_REV, first || asdu.conf_rev != before.conf_rev, [&] { return int_of(asdu.conf_rev); }) &&
            update(REFR_TM, !same(asdu.refr_tm, before.refr_tm),
                   [&] { return optional_of(asdu.refr_tm, utc_time_of); }) &&
            update(SMP_SYNCH, first || asdu.smp_synch != before.smp_synch,
                   [&] { return int_of(asdu.smp_synch); }) &&
            update(SMP_RATE, !same(asdu.smp_rate, before.smp_rate),
                   [&] { return optional_of(asdu.smp_rate, int_of); }) &&
            update(SAMPLE, first || !same(asdu.sample, before.sample), [&] { return bytes_of(asdu.sample); }) &&
            update(SMP_MOD, !same(asdu.smp_mod, before.smp_mod),
                   [&] { return optional_of(asdu.smp_mod, int_of); }) &&
            update(GM_IDENTITY, !same(asdu.gm_identity, before.gm_identity),
                   [&] { return optional_of(asdu.gm_identity, bytes_of); });
        if (!ok) return {};
        previous_dict_ = dict;
        previous_ = asdu;
        return dict;
    }

private:
    static constexpr sv::Asdu blank_asdu{};
    py::Ref previous_dict_;
    sv::Asdu previous_;
};

// (security, [asdu dicts]) of an accepted savPdu.
py::Ref pdu_to_py(const sv::SavPdu& pdu) {
    // asdu_count is the number of ASDUs present, so bounded by the input.
    const auto count = static_cast<Py_ssize_t>(pdu.asdu_count);
    py::Ref list = created(PyList_New(count));
    AsduBuilder asdu_to_py;
    sv::Asdus asdus(pdu);
    Py_ssize_t index = 0;
    while (auto asdu = asdus.next()) {
        if (index == count) py::fault("ASDU iteration disagrees with the accepted savPdu");
        py::Ref dict = asdu_to_py(*asdu);
        if (!dict) return {};
        PyList_SetItem(list.get(), index++, dict.release());  // steals; the index is in range
    }
    if (index != count) py::fault("ASDU iteration disagrees with the accepted savPdu");
    py::Ref security = optional_of(pdu.security, bytes_of);
    return created(PyTuple_Pack(2, security.get(), list.get()));
}

// (security, [asdu dicts]) of the savPdu in `apdu`; nothing with
// ValueError raised when it is invalid.
py::Ref decoded_to_py(ber::Bytes apdu) {
    auto pdu = sv::decode_pdu(apdu);
    if (!pdu) {
        raise_sv_error(pdu.error());
        return {};
    }
    return pdu_to_py(*pdu);
}

constexpr const char* apdu_params[] = {"apdu"};
constexpr py::Signature pdu_signature{"decode_sv_pdu()", apdu_params, 1};

PyObject* decode_sv_pdu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("decode_sv_pdu()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(pdu_signature, args, nargs, kwnames, bound)) return nullptr;
        auto apdu = py::argument("apdu", bound[0], to_bytes_view);
        if (!apdu) return nullptr;
        return decoded_to_py(*apdu).release();
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
        py::Ref decoded = decoded_to_py(frame->payload);
        if (!decoded) return nullptr;
        py::Ref header = frame_to_py(*frame);
        if (!header) return nullptr;
        return created(PyTuple_Pack(2, header.get(), decoded.get())).release();
    });
}

constexpr const char* name_params[] = {"name"};
constexpr py::Signature profile_signature{"parse_sv_profile()", name_params, 1};

PyObject* parse_sv_profile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("parse_sv_profile()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(profile_signature, args, nargs, kwnames, bound)) return nullptr;
        auto name = py::argument("name", bound[0], py::to_string);
        if (!name) return nullptr;
        const auto profile = sv::parse_profile(*name);
        if (!profile) {
            py::raise(PyExc_ValueError, sv::profile_error_text(profile.error()));
            return nullptr;
        }
        py::Ref rate = int_of(profile->rate);
        py::Ref asdus = int_of(profile->asdus);
        py::Ref currents = int_of(profile->currents);
        py::Ref voltages = int_of(profile->voltages);
        if (!rate || !asdus || !currents || !voltages) return nullptr;
        return created(PyTuple_Pack(4, rate.get(), asdus.get(), currents.get(), voltages.get())).release();
    });
}

}  // namespace

bool add_sv_profiles(PyObject* module) {
    py::Ref names = created(PyTuple_New(static_cast<Py_ssize_t>(sv::PREFERRED_PROFILES.size())));
    if (!names) return false;
    for (std::size_t i = 0; i < sv::PREFERRED_PROFILES.size(); ++i) {
        const sv::ProfileName name = sv::profile_name(sv::PREFERRED_PROFILES[i]);
        PyObject* text = PyUnicode_FromStringAndSize(name.text.data(), static_cast<Py_ssize_t>(name.size));
        if (text == nullptr) return false;
        PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), text);  // steals text
    }
    return PyModule_AddObjectRef(module, "SV_PROFILES", names.get()) == 0;
}

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

namespace {

enum FrameKey : std::size_t { DST_MAC, SRC_MAC, VLAN_ID, VLAN_PRIORITY, APP_ID, RESERVED1, RESERVED2 };
constexpr const char* frame_keys[] = {
    "dst_mac", "src_mac", "vlan_id", "vlan_priority", "app_id", "reserved1", "reserved2",
};
static_assert(std::size(frame_keys) == RESERVED2 + 1, "one text per key");
constinit DictShape frame_shape(frame_keys);

}  // namespace

py::Ref frame_to_py(const ethernet::Frame& frame) {
    py::Ref dict = frame_shape.blank();
    PyObject* d = dict.get();
    const bool ok =
        frame_shape.put(d, DST_MAC, bytes_of(frame.dst_mac)) &&
        frame_shape.put(d, SRC_MAC, bytes_of(frame.src_mac)) &&
        frame_shape.put(d, VLAN_ID, optional_of(frame.vlan_id, int_of)) &&
        frame_shape.put(d, VLAN_PRIORITY, optional_of(frame.vlan_priority, int_of)) &&
        frame_shape.put(d, APP_ID, int_of(frame.app_id)) &&
        frame_shape.put(d, RESERVED1, int_of(frame.reserved1)) &&
        frame_shape.put(d, RESERVED2, int_of(frame.reserved2));
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

PyMethodDef parse_sv_profile_def = {
    "parse_sv_profile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_sv_profile)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse_sv_profile(name)\n--\n\n"
    "`(rate, asdus_per_frame, currents, voltages)` of a profile name such as \"F4800S2I4U4\"; "
    "ValueError saying what does not fit.",
};

}  // namespace valdrin::codecs
