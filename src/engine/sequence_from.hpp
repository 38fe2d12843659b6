// Conversion of valdrin_rt.Engine's `sequence` argument into the engine's
// state sequence for one of the configured streams.
#pragma once

#include <Python.h>

#include <memory>

#include "sv_engine/config.hpp"
#include "sv_engine/sequence.hpp"
#include "sv_engine/sequence_trigger.hpp"

namespace valdrin::engine {

// Returns the Sequence of `object`, a tuple (stream, states) whose states are
// tuples (samples, trigger, frequency_hz, inception_deg | None, tau_s,
// channels) and whose channels are tuples (dc_offset, tones), each tone
// (order, peak amplitude, phase_deg); checked against `config`'s streams.
// Null with a Python exception set when it does not convert or check.
std::shared_ptr<const io::sv_engine::Sequence> sequence_from(PyObject* object,
                                                            const io::sv_engine::Config& config);

// Returns the trigger of `object`, a tuple (engine, conditions, rules): an
// Engine running a sequence, its conditions as tuples (gocb_ref, member,
// value: bool, int or float) and one rule per state of the sequence, a
// tuple (condition index | None, delay_ns). Null with a Python exception
// set when it does not convert or check.
std::shared_ptr<io::sv_engine::SequenceTrigger> trigger_from(PyObject* object);

}  // namespace valdrin::engine
