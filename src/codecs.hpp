// The module's codec functions: their method definitions, registered in
// the module's order, and the conversions that several of them share.
#pragma once

#include <Python.h>

#include <optional>

#include "ber.hpp"
#include "ethernet.hpp"
#include "py.hpp"

namespace valdrin::codecs {

// decode_sv_pdu(apdu) and decode_sv_frame(raw).
extern PyMethodDef decode_sv_pdu_def;
extern PyMethodDef decode_sv_frame_def;
// encode_goose_pdu(pdu) and encode_goose_frame(pdu, dst_mac, src_mac, app_id,
// vlan_id=None, vlan_priority=None).
extern PyMethodDef encode_goose_pdu_def;
extern PyMethodDef encode_goose_frame_def;
// decode_goose_pdu(apdu, strict=False) and decode_goose_frame(raw, strict=False).
extern PyMethodDef decode_goose_pdu_def;
extern PyMethodDef decode_goose_frame_def;

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
// Inserts `value` under `key`; false with an exception set on failure.
bool set_item(PyObject* dict, const char* key, const py::Ref& value);

template <class T, class Convert>
py::Ref optional_of(const std::optional<T>& value, Convert&& convert) {
    return value ? convert(*value) : none();
}

}  // namespace valdrin::codecs
