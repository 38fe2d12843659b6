// The module's codec functions: their method definitions, registered in
// the module's order, and the conversions that several of them share.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

#include "ber.hpp"
#include "ethernet.hpp"
#include "py.hpp"

namespace valdrin::codecs {

// decode_sv_pdu(apdu) and decode_sv_frame(raw).
extern PyMethodDef decode_sv_pdu_def;
extern PyMethodDef decode_sv_frame_def;
extern PyMethodDef parse_sv_profile_def;
// Adds SV_PROFILES: the names of the preferred profiles, in the core's order.
bool add_sv_profiles(PyObject* module);
// encode_goose_pdu(pdu) and encode_goose_frame(pdu, dst_mac, src_mac, app_id,
// vlan_id=None, vlan_priority=None).
extern PyMethodDef encode_goose_pdu_def;
extern PyMethodDef encode_goose_frame_def;
// decode_goose_pdu(apdu, strict=False) and decode_goose_frame(raw, strict=False).
extern PyMethodDef decode_goose_pdu_def;
extern PyMethodDef decode_goose_frame_def;
// prp_trailer(frame, seq, lan) and prp_supervision(mac, sup_seq, seq, lan).
extern PyMethodDef prp_trailer_def;
extern PyMethodDef prp_supervision_def;

// A `bytes` object (or an instance of a subclass) as a view of its octets,
// valid while the object lives; any other object raises TypeError "'<type>'
// object cannot be converted to 'PyBytes'". For py::argument.
py::Result<ber::Bytes> to_bytes_view(PyObject* object);

// The frame dictionary of a received frame: dst_mac, src_mac, vlan_id,
// vlan_priority, app_id, reserved1, reserved2, in this order; none with an
// exception set when an insertion fails.
py::Ref frame_to_py(const ethernet::Frame& frame);

// --- Building results -------------------------------------------------------

// Takes over a newly created object; a failure to create one at all is an
// internal fault (raised as PanicException at the call's boundary).
py::Ref created(PyObject* object);
// New objects for the native values of decoded records.
py::Ref bytes_of(ber::Bytes octets);
py::Ref int_of(std::uint64_t value);
py::Ref none();

template <class T, class Convert>
py::Ref optional_of(const std::optional<T>& value, Convert&& convert) {
    return value ? convert(*value) : none();
}

// The fixed keys of one kind of result dictionary, in insertion order.
// The key strings are interned once, together with a blank dictionary that
// maps every key to None; both are kept for the life of the process, like
// the module's other lazily created objects. A result starts as a copy of
// the blank dictionary (its key table copied whole, nothing hashed or
// resized) and `put` or `replace` sets the values, which keeps the keys'
// order. Neither is called before the first blank().
template <std::size_t N>
class DictShape {
public:
    explicit constexpr DictShape(const char* const (&texts)[N]) noexcept {
        std::copy(texts, texts + N, texts_.begin());
    }

    // A new dictionary holding every key, in order, each mapped to None.
    py::Ref blank() {
        if (blank_ == nullptr) make_blank();
        return created(PyDict_Copy(blank_));
    }

    // Puts `value` under key number `key` of a dictionary made by blank();
    // a None leaves the blank entry as it is. False with an exception set
    // when `value` is missing or the insertion fails.
    bool put(PyObject* dict, std::size_t key, const py::Ref& value) const {
        if (!value) return false;
        return value.get() == Py_None || PyDict_SetItem(dict, keys_[key], value.get()) == 0;
    }

    // Replaces the value under key number `key` of a dictionary holding
    // every key, with any object, None included; false as put().
    bool replace(PyObject* dict, std::size_t key, const py::Ref& value) const {
        return value && PyDict_SetItem(dict, keys_[key], value.get()) == 0;
    }

private:
    void make_blank() {
        for (std::size_t i = 0; i < N; ++i) {
            if (keys_[i] == nullptr) keys_[i] = created(PyUnicode_InternFromString(texts_[i])).release();
        }
        py::Ref dict = created(PyDict_New());
        for (PyObject* key : keys_) {
            if (PyDict_SetItem(dict.get(), key, Py_None) < 0) py::fault("could not build a blank result dictionary");
        }
        blank_ = dict.release();
    }

    std::array<const char*, N> texts_{};
    std::array<PyObject*, N> keys_{};
    PyObject* blank_ = nullptr;
};

}  // namespace valdrin::codecs
