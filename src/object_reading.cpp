#include "object_reading.hpp"

#include <array>
#include <cstring>

namespace valdrin::codecs::reading {

PyObject* interned(Name name) {
    static std::array<PyObject*, name_count> cache{};
    PyObject*& slot = cache[static_cast<std::size_t>(name)];
    if (slot == nullptr) slot = PyUnicode_InternFromString(text_of(name));
    return slot;
}

namespace {

// Whether `object`'s class is `module`.`name`.
bool class_is(PyObject* object, const char* module, const char* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    Ref type_module = attribute(type, Name::DunderModule);
    Ref type_name = attribute(type, Name::DunderName);
    if (!type_module || !type_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(type_module.get()) && PyUnicode_Check(type_name.get()) &&
           PyUnicode_CompareWithASCIIString(type_module.get(), module) == 0 &&
           PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0;
}

}  // namespace

Result<bool> to_bool(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    if (class_is(object, "numpy", "bool_") || class_is(object, "numpy", "bool")) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return std::nullopt;
        return truth == 1;
    }
    py::raise_cannot_convert(object, "PyBool");
    return std::nullopt;
}

Result<std::string_view> utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        py::raise_cannot_convert(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return std::nullopt;
    return std::string_view(text, static_cast<std::size_t>(size));
}

// --- UtcTime through valdrin.data.encode_utc_time -----------------------------

Result<data::UtcTime> utc_time(PyObject* value, PyObject* quality) {
    PyObject* module_name = interned(Name::DataModule);
    if (module_name == nullptr) return std::nullopt;
    // sys.modules first, as an import statement does; the full import only
    // when the module is not there (or blocked there with None, which the
    // import then reports).
    PyObject* modules = PyImport_GetModuleDict();
    Ref module = Ref::borrow(modules == nullptr ? nullptr : PyDict_GetItemWithError(modules, module_name));
    if (!module || module.get() == Py_None) {
        if (PyErr_Occurred()) return std::nullopt;
        module = Ref::steal(PyImport_Import(module_name));
        if (!module) return std::nullopt;
    }
    Ref function = attribute(module.get(), Name::EncodeUtcTime);
    if (!function) return std::nullopt;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(function.get(), value, quality, nullptr));
    if (!result) return std::nullopt;
    std::array<std::uint8_t, 8> first{};
    std::size_t count = 0;
    if (PyBytes_Check(result.get())) {
        // The usual result, read in place.
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(result.get(), &data, &size) < 0) return std::nullopt;
        count = static_cast<std::size_t>(size);
        if (count >= first.size()) std::memcpy(first.data(), data, first.size());
    } else {
        auto octets = py::to_octets(result.get());
        if (!octets) return std::nullopt;
        count = octets->size();
        if (count >= first.size()) std::memcpy(first.data(), octets->data(), first.size());
    }
    if (count < first.size()) {
        PyErr_SetString(PyExc_ValueError, "bad utc-time");
        return std::nullopt;
    }
    return data::read_utc(first);
}

}  // namespace valdrin::codecs::reading
