// valdrin_rt.Engine: the SV publisher of valdrin_io as a Python type. Binds
// and converts the arguments, releases the interpreter lock around the
// publisher's blocking waits, and turns its failures into Python exceptions.

#include "engine.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "config_from.hpp"
#include "gil.hpp"
#include "owned.hpp"
#include "publisher_binding.hpp"
#include "py.hpp"
#include "sv_engine/publisher.hpp"
#include "sv_engine/render.hpp"

namespace valdrin::engine {
namespace {

using io::sv_engine::Config;
using io::sv_engine::Publisher;
using io::sv_engine::Stream;
using py::Ref;

// An Engine owns its publisher, made before the object so that a failure
// leaves nothing half-built.
Publisher& publisher_of(PyObject* self) { return py::owned<Publisher>(self); }

constexpr const char* new_params[] = {"iface",        "rate",        "asdus_per_frame", "streams",
                                      "start_second", "rt_priority", "cpu",             "periods"};
constexpr py::Signature new_signature{"Engine.__new__()", new_params, 5};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Engine.__new__()", [&]() -> PyObject* {
        PyObject* bound[8];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        std::shared_ptr<const Config> config = config_from(bound);
        if (!config) return nullptr;
        auto publisher = std::make_unique<Publisher>(std::move(config));
        return py::new_owned(type, std::move(publisher));
    });
}

PyObject* engine_start(PyObject* self, PyObject*) {
    return publisher_binding::start<Publisher>("Engine.start()", self);
}

PyObject* engine_stop(PyObject* self, PyObject*) {
    return publisher_binding::stop<Publisher>("Engine.stop()", self);
}

PyObject* engine_stats(PyObject* self, PyObject*) {
    return publisher_binding::stats<Publisher>("Engine.stats()", self);
}

void engine_dealloc(PyObject* self) { publisher_binding::dealloc<Publisher>("Engine.__del__()", self); }

constexpr const char* render_params[] = {"stream", "second", "first_smp"};
constexpr py::Signature render_signature{"Engine.render()", render_params, 3};

PyObject* engine_render(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return py::boundary("Engine.render()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(render_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = py::argument("stream", bound[0], py::to_u64);
        if (!index) return nullptr;
        auto second = py::argument("second", bound[1], py::to_i64);
        if (!second) return nullptr;
        auto first_smp = py::argument("first_smp", bound[2], py::to_i64);
        if (!first_smp) return nullptr;
        const Config& config = publisher_of(self).config();
        if (*index >= config.streams.size()) {
            py::raise(PyExc_ValueError, "no such stream");
            return nullptr;
        }
        const Stream& stream = config.streams[*index];
        // A fresh bytes object (never a shared cached one) that nobody else
        // has seen yet, so it may be written in place.
        const auto size = static_cast<Py_ssize_t>(stream.frame.size());
        Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!frame) return nullptr;
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
        if (data == nullptr) return nullptr;
        std::memcpy(data, stream.frame.data(), stream.frame.size());
        io::sv_engine::render(stream, {data, stream.frame.size()}, *second, *first_smp, config.rate);
        return frame.release();
    });
}

PyMethodDef engine_methods[] = {
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_render)),
     METH_FASTCALL | METH_KEYWORDS,
     "render($self, stream, second, first_smp)\n--\n\n"
     "Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second` (for "
     "tests)."},
    {"start", engine_start, METH_NOARGS,
     "start($self)\n--\n\nOpen the socket, then send from a thread of its own until `stop()`."},
    {"stop", engine_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"stats", engine_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char engine_doc[] =
    "Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority=None, cpu=None, "
    "periods=None)\n"
    "--\n"
    "\n"
    "The engine behind `valdrin.sv.Publisher(engine=\"native\")`.\n"
    "\n"
    "`Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu, periods)`,\n"
    "`streams` being the dicts built by `valdrin.sv_publisher._native_streams`; with `periods`\n"
    "the thread sends that many frame periods from `start_second`, then ends on its own.";

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>(engine_doc)},
    {0, nullptr},
};

PyType_Spec engine_description = py::owned_layout<Publisher>("valdrin_rt.Engine", engine_slots);

}  // namespace

PyObject* engine_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, engine_description);
}

}  // namespace valdrin::engine
