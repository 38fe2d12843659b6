// Entry point of the extension module valdrin_rt.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "capture_reader.hpp"
#include "codecs.hpp"
#include "engine/engine.hpp"
#include "goose_pub/goose_publisher.hpp"
#include "listen/listen.hpp"
#include "prp.hpp"
#include "py.hpp"

namespace {

using valdrin::py::Ref;

constexpr const char version[] = VALDRIN_VERSION;  // pyproject.toml's version, defined by CMake

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "valdrin_rt",
    "",
    0,  // no per-module state; 0 rather than -1 so that a re-import runs the
        // initialisation again and gets the one module object back
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The identifier of the interpreter that imported the module first; -1
// until then.
std::atomic<std::int64_t> owner{-1};

// The module, created once and kept for the life of the process.
PyObject* module_object = nullptr;

// Adds the function of `def` under its name, as PyModule_AddFunctions would.
bool add_function(PyObject* module, PyMethodDef* def) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, name.get()));
    return function && PyModule_AddObjectRef(module, def->ml_name, function.get()) == 0;
}

// Adds the module's surface, in order.
bool populate(PyObject* module) {
    PyObject* engine = valdrin::engine::engine_type();
    if (engine == nullptr || PyModule_AddObjectRef(module, "Engine", engine) < 0) return false;
    using namespace valdrin::codecs;
    for (PyMethodDef* def : {&decode_sv_pdu_def, &decode_sv_frame_def, &encode_goose_pdu_def,
                             &encode_goose_frame_def, &decode_goose_pdu_def, &decode_goose_frame_def}) {
        if (!add_function(module, def)) return false;
    }
    if (PyModule_AddStringConstant(module, "__version__", version) < 0) return false;
    // The listening side came later: its types follow, so that the first
    // release's order stays as it was.
    PyObject* analyzer = valdrin::listen::analyzer_type();
    if (analyzer == nullptr || PyModule_AddObjectRef(module, "Analyzer", analyzer) < 0) return false;
    PyObject* monitor = valdrin::listen::monitor_type();
    if (monitor == nullptr || PyModule_AddObjectRef(module, "Monitor", monitor) < 0) return false;
    PyObject* goose_publisher = valdrin::goose_pub::goose_publisher_type();
    if (goose_publisher == nullptr || PyModule_AddObjectRef(module, "GoosePublisher", goose_publisher) < 0) return false;
    PyObject* sv_counter = valdrin::listen::sv_counter_type();
    if (sv_counter == nullptr || PyModule_AddObjectRef(module, "SvCounter", sv_counter) < 0) return false;
    PyObject* capture_reader = valdrin::capture_py::capture_reader_type();
    if (capture_reader == nullptr || PyModule_AddObjectRef(module, "CaptureReader", capture_reader) < 0) return false;
    // The analysis limits that the package asks for instead of repeating them.
    if (!valdrin::listen::add_limits(module)) return false;
    // The profile names, read and listed by the core's one grammar.
    if (!add_function(module, &parse_sv_profile_def) || !add_sv_profiles(module)) return false;
    // PRP's writers and the supervision interval, which the package's capture files follow.
    for (PyMethodDef* def : {&prp_trailer_def, &prp_supervision_def}) {
        if (!add_function(module, def)) return false;
    }
    if (PyModule_AddObjectRef(module, "PRP_SUPERVISION_INTERVAL_NS",
                              Ref::steal(PyLong_FromLongLong(valdrin::prp::SUPERVISION_INTERVAL_NS)).get()) < 0) {
        return false;
    }
    return valdrin::engine::add_fault_tables(module);
}

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;  // the boundary raises SystemError if nothing was set
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "valdrin_rt does not support sub-interpreters: it can be imported by "
                        "one interpreter per process only");
        return nullptr;
    }
    if (module_object != nullptr) return Ref::borrow(module_object).release();
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !populate(module.get())) return nullptr;
    module_object = Ref(module).release();
    return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_valdrin_rt() {
    return valdrin::py::boundary("PyInit_valdrin_rt()", init);
}
