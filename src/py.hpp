// The module's Python helpers: an owning reference, argument binding, the
// conversions from Python objects to native values, and the boundary that
// turns a C++ exception into PanicException. Limited API (3.10) only.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace valdrin::py {

// An owned reference to a Python object, or none. The one way the module
// holds references, so that no path leaks or releases twice.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (or null, which is kept as none).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference to a borrowed object (or null).
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, leaving none.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A value, or nothing with a Python exception set.
template <class T>
using Result = std::optional<T>;

// --- Internal faults --------------------------------------------------------

// A broken internal invariant: thrown only where no error value can apply,
// caught at the boundary of every callable and raised as PanicException.
struct Fault {
    std::string message;
    std::source_location where;
};

// Throws a Fault carrying `message` and the caller's place in the source.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

// Returns the exception type raised for internal faults (a borrowed
// reference, created on first use), or null with an exception set.
PyObject* panic_exception_type() noexcept;

// Raises the exception in flight (called inside a catch block) as
// PanicException and writes its message and place to standard error;
// `callable` names the call whose boundary caught it.
void raise_panic(const char* callable) noexcept;

// Raises SystemError for a failure that left no exception behind.
void raise_missing_exception() noexcept;

// Runs `body`, which returns a new reference or null with an exception set;
// any C++ exception escaping it is raised as PanicException.
template <class Body>
PyObject* boundary(const char* callable, Body&& body) noexcept {
    try {
        PyObject* result = body();
        if (result == nullptr && PyErr_Occurred() == nullptr) raise_missing_exception();
        return result;
    } catch (...) {
        raise_panic(callable);
        return nullptr;
    }
}

// --- Argument binding -------------------------------------------------------

// The parameters of one callable, all positional-or-keyword; the first
// `required` have no default. `name` is the callable as messages show it,
// e.g. "Engine.render()".
struct Signature {
    const char* name;
    std::span<const char* const> params;
    std::size_t required;
};

// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list to
// `out`, one borrowed reference or null (left out) per parameter; returns
// false with TypeError set when the arguments do not fit the signature.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> out);

// The same for a tuple of positional arguments and a dict of keywords
// (null for none), as tp_new receives them.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Re-raises a pending TypeError of a failed conversion as a TypeError whose
// message is prefixed "argument '<param>': ", keeping the cause; any other
// exception stays as it is.
void prefix_argument_error(const char* param) noexcept;

// Converts argument `param` with `convert`, prefixing its TypeError.
template <class Convert>
auto argument(const char* param, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
    auto value = convert(object);
    if (!value) prefix_argument_error(param);
    return value;
}

// --- Conversions ------------------------------------------------------------

// Raises TypeError "'<type>' object cannot be converted to '<expected>'".
void raise_cannot_convert(PyObject* object, const char* expected) noexcept;
// Raises `type` with the message `text`.
void raise(PyObject* type, std::string_view text) noexcept;

Result<std::int64_t> to_i64(PyObject* object);
Result<std::int32_t> to_i32(PyObject* object);
Result<std::uint32_t> to_u32(PyObject* object);
Result<std::uint8_t> to_u8(PyObject* object);
Result<std::uint64_t> to_u64(PyObject* object);
Result<double> to_f64(PyObject* object);
Result<std::string> to_string(PyObject* object);

// Returns a new int holding `value` exactly, or null with an exception set.
PyObject* from_i128(__int128 value);

// The optional form: None gives an empty optional.
template <class T, class Convert>
Result<std::optional<T>> to_optional(PyObject* object, Convert&& convert) {
    Result<std::optional<T>> out(std::in_place);  // present, holding none
    if (object == nullptr || object == Py_None) return out;
    auto value = convert(object);
    if (!value) return std::nullopt;
    out->emplace(std::move(*value));
    return out;
}

// Iterates a sequence other than str, calling `each(item)` (a borrowed
// reference) for every element in order until it returns false; returns
// false with an exception set on failure.
template <class Each>
bool for_each_in_sequence(PyObject* sequence, Each&& each);

// A sequence other than str converted element by element with `convert`.
template <class T, class Convert>
Result<std::vector<T>> to_vector(PyObject* sequence, Convert&& convert) {
    std::vector<T> out;
    bool ok = for_each_in_sequence(sequence, [&](PyObject* element) {
        auto value = convert(element);
        if (!value) return false;
        out.push_back(std::move(*value));
        return true;
    });
    if (!ok) return std::nullopt;
    return out;
}

// Octets: bytes directly, any other sequence (not str) of integers 0..255.
Result<std::vector<std::uint8_t>> to_octets(PyObject* object);

// Raises, unless `sequence` is iterable as a sequence other than str, the
// conversion TypeError and returns false.
bool check_sequence(PyObject* sequence) noexcept;

template <class Each>
bool for_each_in_sequence(PyObject* sequence, Each&& each) {
    if (!check_sequence(sequence)) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!each(element.get())) return false;
    }
    return PyErr_Occurred() == nullptr;
}

}  // namespace valdrin::py
