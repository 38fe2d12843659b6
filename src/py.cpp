#include "py.hpp"

#include <algorithm>
#include <exception>
#include <limits>

namespace valdrin::py {

// --- Internal faults --------------------------------------------------------

void fault(std::string message, std::source_location where) {
    throw Fault{std::move(message), where};
}

PyObject* panic_exception_type() noexcept {
    // Created once and kept for the life of the process, in a namespace of
    // its own so that it is no attribute of valdrin_rt.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "valdrin_runtime.PanicException",
            "Raised when native code in valdrin_rt fails in a way it did not expect.\n"
            "\n"
            "Like SystemExit, PanicException derives from BaseException rather than\n"
            "Exception: `except Exception` does not catch it, so that it normally\n"
            "propagates to the top and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const char* callable) noexcept {
    std::string message;
    std::string place;
    try {
        try {
            throw;
        } catch (const Fault& f) {
            message = f.message;
            place = std::string(f.where.file_name()) + ":" + std::to_string(f.where.line());
        } catch (const std::exception& e) {
            message = e.what();
        } catch (...) {
        }
    } catch (...) {
        message.clear();
        place.clear();
    }
    const char* text = message.empty() ? "unexpected failure in native code" : message.c_str();
    if (place.empty()) {
        PySys_FormatStderr("valdrin_rt: internal fault in %s: %s\n", callable, text);
    } else {
        PySys_FormatStderr("valdrin_rt: internal fault in %s at %s: %s\n", callable,
                           place.c_str(), text);
    }
    if (PyObject* type = panic_exception_type()) PyErr_SetString(type, text);
}

void raise_missing_exception() noexcept {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

// --- Argument binding -------------------------------------------------------

namespace {

void raise_type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
}

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
    std::string text = sig.name;
    const std::size_t n = sig.params.size();
    if (sig.required == n) {
        text += " takes " + std::to_string(n);
    } else {
        text += " takes from " + std::to_string(sig.required) + " to " + std::to_string(n);
    }
    text += " positional arguments but " + std::to_string(given) +
            (given == 1 ? " was given" : " were given");
    raise_type_error(text);
    return false;
}

// Binds one keyword argument; false with TypeError set when it names no
// parameter or one already bound.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) != 0) continue;
        if (out[i] != nullptr) {
            raise_type_error(std::string(sig.name) + " got multiple values for argument '" +
                             sig.params[i] + "'");
            return false;
        }
        out[i] = value;
        return true;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return false;
    raise_type_error(std::string(sig.name) + " got an unexpected keyword argument '" +
                     std::string(text, static_cast<std::size_t>(size)) + "'");
    return false;
}

bool check_missing(const Signature& sig, std::span<PyObject*> out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (missing.empty()) return true;
    raise_type_error(std::string(sig.name) + " missing " + std::to_string(missing.size()) +
                     " required positional " +
                     (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* name = PyTuple_GetItem(kwnames, k);
            if (name == nullptr || !bind_keyword(sig, name, args[nargs + k], out)) return false;
        }
    }
    return check_missing(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!bind_keyword(sig, name, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

void prefix_argument_error(const char* param) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref original_type = Ref::steal(type);
    Ref original = Ref::steal(value);
    Ref original_traceback = Ref::steal(traceback);
    if (original_type.get() != PyExc_TypeError) {
        // A subclass of TypeError keeps its own identity.
        PyErr_Restore(original_type.release(), original.release(), original_traceback.release());
        return;
    }
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(error.get(), cause);  // steals the new reference
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
}

// --- Conversions ------------------------------------------------------------

void raise(PyObject* type, std::string_view text) noexcept {
    Ref message = Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(type, message.get());
}

void raise_cannot_convert(PyObject* object, const char* expected) noexcept {
    Ref name = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
}

namespace {

void raise_out_of_range() {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// An integer through the host's C long conversion, then narrowed to T.
template <class T>
Result<T> narrow_from_long(PyObject* object) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < static_cast<long>(std::numeric_limits<T>::min()) ||
        value > static_cast<long>(std::numeric_limits<T>::max())) {
        raise_out_of_range();
        return std::nullopt;
    }
    return static_cast<T>(value);
}

}  // namespace

Result<std::int64_t> to_i64(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

Result<std::int32_t> to_i32(PyObject* object) { return narrow_from_long<std::int32_t>(object); }
Result<std::uint32_t> to_u32(PyObject* object) { return narrow_from_long<std::uint32_t>(object); }
Result<std::uint8_t> to_u8(PyObject* object) { return narrow_from_long<std::uint8_t>(object); }

Result<std::uint64_t> to_u64(PyObject* object) {
    Ref integer = Ref::steal(PyNumber_Index(object));
    if (!integer) return std::nullopt;
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

PyObject* from_i128(__int128 value) {
    if (value >= std::numeric_limits<long long>::min() && value <= std::numeric_limits<long long>::max()) {
        return PyLong_FromLongLong(static_cast<long long>(value));
    }
    // high * 2**64 + low, high taking the sign.
    Ref high = Ref::steal(PyLong_FromLongLong(static_cast<long long>(value >> 64)));
    Ref low = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    Ref shift = Ref::steal(PyLong_FromLong(64));
    if (!high || !low || !shift) return nullptr;
    Ref shifted = Ref::steal(PyNumber_Lshift(high.get(), shift.get()));
    if (!shifted) return nullptr;
    return PyNumber_Add(shifted.get(), low.get());
}

Result<double> to_f64(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return value;
}

Result<std::string> to_string(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(size));
}

bool check_sequence(PyObject* sequence) noexcept {
    if (PyUnicode_Check(sequence)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(sequence)) {
        raise_cannot_convert(sequence, "Sequence");
        return false;
    }
    return true;
}

Result<std::vector<std::uint8_t>> to_octets(PyObject* object) {
    if (PyBytes_Check(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
        const auto* first = reinterpret_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(first, first + size);
    }
    return to_vector<std::uint8_t>(object, to_u8);
}

}  // namespace valdrin::py
