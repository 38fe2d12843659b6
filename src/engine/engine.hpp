// The class Engine: the native Sampled Values publisher as Python sees it.
#pragma once

#include <Python.h>

#include "sv_engine/config.hpp"

namespace valdrin::engine {

// Returns the class object valdrin_rt.Engine (a borrowed reference, created
// on first use), or null with an exception set.
PyObject* engine_type() noexcept;

// Adds SV_FAULT_KNOBS, the publisher's fault knobs as a list of tuples (name, kind,
// largest value, help), and SV_QUALITY_BITS, a list of (name, mask) of the quality
// word's bits, to `module`; false with an exception set on failure.
bool add_fault_tables(PyObject* module) noexcept;

// Returns the configuration of `object`, a valdrin_rt.Engine, or null with
// TypeError set when it is not one.
const io::sv_engine::Config* engine_config(PyObject* object);

}  // namespace valdrin::engine
