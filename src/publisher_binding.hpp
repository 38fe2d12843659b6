// The methods the publisher types (Engine, GoosePublisher) share, over any
// owned publisher with start(Blocking&), stop(Blocking&), stats() (the four
// counters) and dispose(): the interpreter lock is let go of around the
// blocking waits, failures become Python exceptions.
#pragma once

#include <Python.h>

#include "gil.hpp"
#include "owned.hpp"
#include "py.hpp"

namespace valdrin::publisher_binding {

// The Python exception for each way start() can fail: OSError when the
// socket or the thread's set-up failed, RuntimeError otherwise.
template <class StartError>
[[nodiscard]] PyObject* start_exception(StartError error) noexcept {
    switch (error) {
        case StartError::Socket:
        case StartError::Setup:
            return PyExc_OSError;
        case StartError::AlreadyStarted:
        case StartError::NoThread:
        case StartError::ThreadGone:
            break;
    }
    return PyExc_RuntimeError;
}

// start() of the publisher `self` owns, as the method `callable`.
template <class Publisher>
PyObject* start(const char* callable, PyObject* self) noexcept {
    return py::boundary(callable, [&]() -> PyObject* {
        py::GilRelease released;
        auto started = py::owned<Publisher>(self).start(released);
        if (!started) {
            py::raise(start_exception(started.error().error), started.error().text);
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

// stop() of the publisher `self` owns, as the method `callable`.
template <class Publisher>
PyObject* stop(const char* callable, PyObject* self) noexcept {
    return py::boundary(callable, [&]() -> PyObject* {
        py::GilRelease released;
        py::owned<Publisher>(self).stop(released);
        Py_RETURN_NONE;
    });
}

// Adds `value` under `key`; false with an exception set on failure.
inline bool set_item(PyObject* dict, const char* key, py::Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Returns a new dict of the counters: frames_sent, send_errors, late_frames
// and max_lateness_ns; nullptr with an exception set on failure.
template <class Stats>
[[nodiscard]] PyObject* stats_dict(const Stats& counters) {
    using py::Ref;
    Ref stats = Ref::steal(PyDict_New());
    if (!stats ||
        !set_item(stats.get(), "frames_sent", Ref::steal(PyLong_FromUnsignedLongLong(counters.frames_sent))) ||
        !set_item(stats.get(), "send_errors", Ref::steal(PyLong_FromUnsignedLongLong(counters.send_errors))) ||
        !set_item(stats.get(), "late_frames", Ref::steal(PyLong_FromUnsignedLongLong(counters.late_frames))) ||
        !set_item(stats.get(), "max_lateness_ns", Ref::steal(PyLong_FromLongLong(counters.max_lateness_ns)))) {
        return nullptr;
    }
    return stats.release();
}

// stats() of the publisher `self` owns, as the method `callable`.
template <class Publisher>
PyObject* stats(const char* callable, PyObject* self) noexcept {
    return py::boundary(callable, [&]() -> PyObject* { return stats_dict(py::owned<Publisher>(self).stats()); });
}

// tp_dealloc: disposal stops and joins a running thread with the
// interpreter lock held (the thread never needs it), a failure being
// reported as unraisable in the name of `callable`; then the publisher is
// let go of.
template <class Publisher>
void dealloc(const char* callable, PyObject* self) noexcept {
    try {
        py::owned<Publisher>(self).dispose();
    } catch (...) {
        py::raise_panic(callable);
        PyErr_WriteUnraisable(self);
    }
    py::free_owned<Publisher>(self);
}

}  // namespace valdrin::publisher_binding
