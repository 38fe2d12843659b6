// The class Engine: the native Sampled Values publisher as Python sees it.
#pragma once

#include <Python.h>

namespace valdrin::engine {

// Returns the class object valdrin_rt.Engine (a borrowed reference, created
// on first use), or null with an exception set.
PyObject* engine_type() noexcept;

}  // namespace valdrin::engine
