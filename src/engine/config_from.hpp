// Conversion of the arguments of valdrin_rt.Engine into the SV publisher's
// immutable Config, checking them in the order their failures are reported.
#pragma once

#include <Python.h>

#include <memory>
#include <span>

#include "sv_engine/config.hpp"

namespace valdrin::engine {

// Returns the Config of the constructor's bound arguments (iface, rate,
// asdus_per_frame, streams, start_second, rt_priority, cpu, periods and,
// when there are nine, prp_b; null for an optional one left out), owned by the caller; null with a Python exception
// set for the first argument that does not convert or check.
std::shared_ptr<io::sv_engine::Config> config_from(std::span<PyObject*> args);

}  // namespace valdrin::engine
