// The class GoosePublisher: the native GOOSE publisher as Python sees it.
#pragma once

#include <Python.h>

namespace valdrin::goose_pub {

// Returns the class object valdrin_rt.GoosePublisher (a borrowed reference,
// created on first use), or null with an exception set.
PyObject* goose_publisher_type() noexcept;

}  // namespace valdrin::goose_pub
