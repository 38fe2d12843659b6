// valdrin_rt.prp_trailer and prp_supervision: the core's PRP writers for
// the frames the package writes itself (capture files of a redundant run).

#include <Python.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "codecs.hpp"
#include "listen/prp_report.hpp"
#include "prp.hpp"

namespace valdrin::codecs {

namespace {

// A MAC address given as six octets.
py::Result<prp::Mac> mac_from(PyObject* object) {
    auto octets = to_bytes_view(object);
    if (!octets) return std::nullopt;
    if (octets->size() != 6) {
        py::raise(PyExc_ValueError, "mac must be 6 octets, got " + std::to_string(octets->size()));
        return std::nullopt;
    }
    prp::Mac mac;
    std::copy(octets->begin(), octets->end(), mac.begin());
    return mac;
}

// A sequence number: 0 to 65535.
py::Result<std::uint16_t> seq_from(PyObject* object) {
    auto value = py::to_u32(object);
    if (!value) return std::nullopt;
    if (*value > 0xFFFF) {
        py::raise(PyExc_ValueError, "a sequence number is 0 to 65535, got " + std::to_string(*value));
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

constexpr const char* trailer_params[] = {"frame", "seq", "lan"};
constexpr py::Signature trailer_signature{"prp_trailer()", trailer_params, 3};

PyObject* prp_trailer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("prp_trailer()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(trailer_signature, args, nargs, kwnames, bound)) return nullptr;
        auto frame = py::argument("frame", bound[0], to_bytes_view);
        if (!frame) return nullptr;
        auto seq = py::argument("seq", bound[1], seq_from);
        if (!seq) return nullptr;
        auto lan = py::argument("lan", bound[2], listen::lan_from);
        if (!lan) return nullptr;
        std::vector<std::uint8_t> out(frame->begin(), frame->end());
        out.resize(out.size() + prp::MIN_FRAME_SIZE + prp::TRAILER_SIZE);
        auto size = prp::write_trailer(out, frame->size(), *seq, *lan);
        if (!size) {
            py::raise(PyExc_ValueError, std::string(prp::message(size.error())));
            return nullptr;
        }
        return bytes_of(ber::Bytes(out).first(*size)).release();
    });
}

constexpr const char* supervision_params[] = {"mac", "sup_seq", "seq", "lan"};
constexpr py::Signature supervision_signature{"prp_supervision()", supervision_params, 4};

PyObject* prp_supervision(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("prp_supervision()", [&]() -> PyObject* {
        PyObject* bound[4];
        if (!py::bind(supervision_signature, args, nargs, kwnames, bound)) return nullptr;
        auto mac = py::argument("mac", bound[0], mac_from);
        if (!mac) return nullptr;
        auto sup_seq = py::argument("sup_seq", bound[1], seq_from);
        if (!sup_seq) return nullptr;
        auto seq = py::argument("seq", bound[2], seq_from);
        if (!seq) return nullptr;
        auto lan = py::argument("lan", bound[3], listen::lan_from);
        if (!lan) return nullptr;
        std::array<std::uint8_t, prp::SUPERVISION_FRAME_SIZE> out{};
        // The buffer has the size written: this cannot fail.
        (void)prp::write_supervision(out, *mac, *sup_seq, *seq, *lan);
        return bytes_of(out).release();
    });
}

}  // namespace

PyMethodDef prp_trailer_def = {
    "prp_trailer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prp_trailer)),
    METH_FASTCALL | METH_KEYWORDS,
    "prp_trailer(frame, seq, lan)\n--\n\n"
    "`frame` as a PRP node sends it on `lan` ('A' or 'B'): padded to 60 octets when shorter, then the "
    "Redundancy Control Trailer of sequence number `seq`. ValueError when no trailer fits.",
};

PyMethodDef prp_supervision_def = {
    "prp_supervision", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prp_supervision)),
    METH_FASTCALL | METH_KEYWORDS,
    "prp_supervision(mac, sup_seq, seq, lan)\n--\n\n"
    "The PRP supervision frame of node `mac` (6 octets) with supervision sequence `sup_seq`, as sent "
    "on `lan` with the trailer of `seq`.",
};

}  // namespace valdrin::codecs
