// The listening side of valdrin_rt: Analyzer (frames handed in from Python)
// and Monitor (a live capture), both over the core's stream analysis.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "analysis.hpp"
#include "py.hpp"

namespace valdrin::listen {

// Returns the type valdrin_rt.Analyzer (a new reference on first use, kept
// for the life of the process), or null with an exception set.
PyObject* analyzer_type() noexcept;
// Returns the type valdrin_rt.Monitor, likewise.
PyObject* monitor_type() noexcept;
// Returns the type valdrin_rt.SvCounter, likewise.
PyObject* sv_counter_type() noexcept;

// The analysis options that both types take.
struct Options {
    analysis::Limits limits;
    double nominal_hz = 50.0;
    std::size_t max_events = 100000;
    std::optional<std::uint64_t> expected_conf_rev;  // none: no confRev expected
};

// The options of the bound arguments sv_streams, goose_blocks, nominal_hz,
// max_events and expect_conf_rev (each may be left out: null; the last may
// be None); none with TypeError, OverflowError or ValueError set when one
// is not acceptable.
py::Result<Options> options_from(PyObject* const (&bound)[5]);

// Adds DEFAULT_SV_STREAMS, DEFAULT_GOOSE_BLOCKS (the core's Limits),
// MOST_TRACKED, MAX_CPU and MAX_BLOCK_TIMEOUT_MS (io's), COUNTS_PER_AMPERE and
// COUNTS_PER_VOLT (the core's 9-2LE scaling) to `module`; false
// with an exception set on failure.
bool add_limits(PyObject* module);

}  // namespace valdrin::listen
