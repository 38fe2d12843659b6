// A test-only extension module that raises internal faults through the same
// call boundary as valdrin_rt, so that the tests can see what a caller gets.
#include <stdexcept>

#include "py.hpp"

namespace {

constexpr const char* params[] = {"kind"};
constexpr valdrin::py::Signature signature{"fault()", params, 1};

PyObject* fault(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return valdrin::py::boundary("fault()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!valdrin::py::bind(signature, args, nargs, kwnames, bound)) return nullptr;
        auto kind = valdrin::py::argument("kind", bound[0], valdrin::py::to_i64);
        if (!kind) return nullptr;
        switch (*kind) {
            case 0: valdrin::py::fault("stream index past the end");
            case 1: throw std::runtime_error("vector too long");
            case 2: throw 42;
            case 3: return nullptr;  // a failure that set no exception
            default: Py_RETURN_NONE;
        }
    });
}

PyMethodDef methods[] = {
    {"fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fault)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "fault_probe", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_fault_probe() {
    return PyModule_Create(&module);
}
