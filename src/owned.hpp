// Heap-type instances whose whole native state is one heap-allocated object,
// made before the instance so that a failure leaves nothing half-built.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <utility>

namespace valdrin::py {

// The layout of such an instance: the Python header and the state it owns.
template <class State>
struct Owned {
    PyObject_HEAD
    std::unique_ptr<State> state;
};

// Returns the state of `self`, an Owned<State> made by new_owned().
template <class State>
[[nodiscard]] State& owned(PyObject* self) noexcept {
    return *reinterpret_cast<Owned<State>*>(self)->state;
}

// Returns a new instance of `type` (a heap type of basicsize
// sizeof(Owned<State>)) that owns `state`; nullptr with an exception set
// when it cannot be allocated, `state` then being freed.
template <class State>
[[nodiscard]] PyObject* new_owned(PyTypeObject* type, std::unique_ptr<State> state) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<Owned<State>*>(self)->state) std::unique_ptr<State>(std::move(state));
    return self;
}

// The end of tp_dealloc: destroys the state of `self`, frees the instance
// and lets go of its type (a heap type's instances own a reference to it).
template <class State>
void free_owned(PyObject* self) noexcept {
    using Slot = std::unique_ptr<State>;
    reinterpret_cast<Owned<State>*>(self)->state.~Slot();
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);
}

// Returns the description of the immutable heap type `name` whose
// instances are Owned<State>, with `slots`; both live as long as the process.
template <class State>
[[nodiscard]] constexpr PyType_Spec owned_layout(const char* name, PyType_Slot* slots) noexcept {
    return {name, sizeof(Owned<State>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

// Returns the type kept in `type`, made from `description` on the first
// call that succeeds; nullptr with an exception set when it cannot be made.
inline PyObject* type_once(PyObject*& type, PyType_Spec& description) noexcept {
    if (type == nullptr) type = PyType_FromSpec(&description);
    return type;
}

}  // namespace valdrin::py
