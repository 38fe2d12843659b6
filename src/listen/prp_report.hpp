// A PRP receiver's counts as a Python dictionary, the "prp" member of the
// reports of valdrin_rt.Analyzer and Monitor.
#pragma once

#include <Python.h>

#include "prp_receiver.hpp"
#include "py.hpp"

namespace valdrin::listen {

// {"lans": {"A": totals, "B": totals}, "discarded", "nodes_untracked",
// "flows_untracked", "streams": [...], "nodes": [...]}; none with an
// exception set on failure.
py::Ref prp_to_py(const prp::Receiver& receiver);

// The LAN named by `object`: "A" or "B"; none with ValueError or TypeError set.
py::Result<prp::Lan> lan_from(PyObject* object);

}  // namespace valdrin::listen
