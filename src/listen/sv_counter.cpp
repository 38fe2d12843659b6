// valdrin_rt.SvCounter: the core's smpCnt rule of one SV stream, for
// Python code that lays a stream's samples out (export, figures).

#include "listen.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

#include "codecs.hpp"
#include "owned.hpp"
#include "sv_counter.hpp"

namespace valdrin::listen {
namespace {

using analysis::SvCounter;
using analysis::SvPlace;

SvCounter& counter_of(PyObject* self) { return py::owned<SvCounter>(self); }

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("SvCounter.__new__()", [&]() -> PyObject* {
        static constexpr py::Signature signature{"SvCounter.__new__()", {}, 0};
        if (!py::bind(signature, args, kwargs, {})) return nullptr;
        return py::new_owned(type, std::make_unique<SvCounter>());
    });
}

void counter_dealloc(PyObject* self) { py::free_owned<SvCounter>(self); }

constexpr const char* place_params[] = {"smp_cnts"};
constexpr py::Signature place_signature{"SvCounter.place()", place_params, 1};

// Each counter's lap goes into the result first, its index once the whole
// call has set the wrap.
PyObject* counter_place(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("SvCounter.place()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(place_signature, args, nargs, kwnames, bound)) return nullptr;
        auto counts = py::argument("smp_cnts", bound[0], codecs::to_bytes_view);
        if (!counts) return nullptr;
        if (counts->size() % sizeof(std::uint16_t) != 0) {
            PyErr_Format(PyExc_ValueError, "smp_cnts holds %zu octets: not whole 16-bit counters", counts->size());
            return nullptr;
        }
        const std::size_t n = counts->size() / sizeof(std::uint16_t);
        py::Ref out = codecs::created(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(std::int64_t))));
        char* at = PyBytes_AsString(out.get());
        if (at == nullptr) return nullptr;
        SvCounter& counter = counter_of(self);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint16_t smp_cnt;
            std::memcpy(&smp_cnt, counts->data() + i * sizeof smp_cnt, sizeof smp_cnt);
            const std::int64_t lap = counter.add(smp_cnt).lap;
            std::memcpy(at + i * sizeof lap, &lap, sizeof lap);
        }
        const std::int64_t origin = counter.index(counter.first());
        for (std::size_t i = 0; i < n; ++i) {
            SvPlace place;
            std::memcpy(&place.smp_cnt, counts->data() + i * sizeof place.smp_cnt, sizeof place.smp_cnt);
            std::memcpy(&place.lap, at + i * sizeof place.lap, sizeof place.lap);
            const std::int64_t index = counter.index(place) - origin;
            std::memcpy(at + i * sizeof index, &index, sizeof index);
        }
        return out.release();
    });
}

// One of the counter's figures, as an int.
template <auto Figure>
PyObject* counter_figure(PyObject* self, void*) {
    return py::boundary("SvCounter figure", [&]() -> PyObject* {
        return codecs::int_of((counter_of(self).*Figure)()).release();
    });
}

PyObject* counter_wrap_learnt(PyObject* self, void*) {
    return py::boundary("SvCounter.wrap_learnt", [&]() -> PyObject* {
        return codecs::created(PyBool_FromLong(counter_of(self).wrap_learnt())).release();
    });
}

PyMethodDef counter_methods[] = {
    {"place", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counter_place)),
     METH_FASTCALL | METH_KEYWORDS,
     "place($self, smp_cnts)\n--\n\n"
     "Place the smpCnt of each of the stream's next ASDUs (`smp_cnts`: uint16 in native byte order,\n"
     "in arrival order); returns each one's sample index as int64 in native byte order, counted from\n"
     "the stream's first sample (0) under the wrap as it stands after the call. A duplicate sits on\n"
     "the sample it repeats. A later call may widen the wrap and move these indices up: place a\n"
     "stream's counters in one call when their indices are used together."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef counter_getset[] = {
    {"lost", counter_figure<&SvCounter::lost>, nullptr,
     "Samples from the earliest received to the newest that were never received.", nullptr},
    {"duplicated", counter_figure<&SvCounter::duplicated>, nullptr,
     "ASDUs that repeated a sample received before.", nullptr},
    {"out_of_order", counter_figure<&SvCounter::out_of_order>, nullptr,
     "Samples received behind the newest, not received before.", nullptr},
    {"span", counter_figure<&SvCounter::span>, nullptr,
     "Samples from the earliest received to the newest (0 before the first).", nullptr},
    {"wrap", counter_figure<&SvCounter::wrap>, nullptr, "The counter after wrap - 1 is 0.", nullptr},
    {"wrap_learnt", counter_wrap_learnt, nullptr,
     "Whether the wrap was learnt from a fall of the counter (else it is 65536, or widened from it).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char counter_doc[] =
    "SvCounter()\n"
    "--\n"
    "\n"
    "The smpCnt rule of one SV stream, the stream analysis's own: the wrap learnt from the\n"
    "counters, each sample's place on the unwrapped counter, lost, duplicated and late samples.";

PyType_Slot counter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(counter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(counter_dealloc)},
    {Py_tp_methods, counter_methods},
    {Py_tp_getset, counter_getset},
    {Py_tp_doc, const_cast<char*>(counter_doc)},
    {0, nullptr},
};

PyType_Spec counter_description = py::owned_layout<SvCounter>("valdrin_rt.SvCounter", counter_slots);

}  // namespace

PyObject* sv_counter_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, counter_description);
}

}  // namespace valdrin::listen
