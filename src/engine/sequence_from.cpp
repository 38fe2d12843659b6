#include "sequence_from.hpp"

#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine.hpp"
#include "py.hpp"

namespace valdrin::engine {
namespace {

using io::sv_engine::Sequence;
using io::sv_engine::SequenceControl;
using io::sv_engine::State;
using io::sv_engine::StateChannel;
using io::sv_engine::Tone;
using py::Result;

// The items of a tuple of exactly `size` elements, borrowed; empty with
// an exception set otherwise.
Result<std::vector<PyObject*>> tuple_items(PyObject* object, Py_ssize_t size, const char* what) {
    if (!PyTuple_Check(object) || PyTuple_Size(object) != size) {
        py::raise(PyExc_TypeError, std::string(what) + " must be a tuple of " + std::to_string(size) + " items");
        return std::nullopt;
    }
    std::vector<PyObject*> items(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) items[static_cast<std::size_t>(i)] = PyTuple_GetItem(object, i);
    return items;
}

Result<bool> to_flag(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return std::nullopt;
    return truth == 1;
}

Result<Tone> tone_from(PyObject* object) {
    auto items = tuple_items(object, 3, "a tone");
    if (!items) return std::nullopt;
    Tone tone;
    double* fields[] = {&tone.order, &tone.amplitude, &tone.phase_deg};
    for (std::size_t i = 0; i < 3; ++i) {
        auto value = py::to_f64((*items)[i]);
        if (!value) return std::nullopt;
        if (!std::isfinite(*value)) {
            py::raise(PyExc_ValueError, "a tone's order, amplitude and phase must be finite");
            return std::nullopt;
        }
        *fields[i] = *value;
    }
    return tone;
}

Result<StateChannel> channel_from(PyObject* object) {
    auto items = tuple_items(object, 2, "a state's channel");
    if (!items) return std::nullopt;
    auto dc = to_flag((*items)[0]);
    if (!dc) return std::nullopt;
    auto tones = py::to_vector<Tone>((*items)[1], tone_from);
    if (!tones) return std::nullopt;
    return StateChannel{std::move(*tones), *dc};
}

Result<State> state_from(PyObject* object) {
    auto items = tuple_items(object, 6, "a state");
    if (!items) return std::nullopt;
    State state;
    auto samples = py::to_u64((*items)[0]);
    if (!samples) return std::nullopt;
    auto trigger = to_flag((*items)[1]);
    if (!trigger) return std::nullopt;
    auto frequency = py::to_f64((*items)[2]);
    if (!frequency) return std::nullopt;
    auto inception = py::to_optional<double>((*items)[3], py::to_f64);
    if (!inception) return std::nullopt;
    auto tau = py::to_f64((*items)[4]);
    if (!tau) return std::nullopt;
    auto channels = py::to_vector<StateChannel>((*items)[5], channel_from);
    if (!channels) return std::nullopt;
    if (!std::isfinite(*frequency) || !std::isfinite(*tau) || *tau < 0.0 ||
        (*inception && !std::isfinite(**inception))) {
        py::raise(PyExc_ValueError, "a state's frequency, inception angle and time constant must be finite, "
                                    "the time constant not negative");
        return std::nullopt;
    }
    state.samples = *samples;
    state.trigger = *trigger;
    state.frequency_hz = *frequency;
    state.inception_deg = *inception;
    state.tau_s = *tau;
    state.channels = std::move(*channels);
    return state;
}

// A condition's value: a bool, an int (64 bits) or a finite float.
Result<goose::ConditionValue> condition_value_from(PyObject* object) {
    if (PyBool_Check(object)) return goose::ConditionValue::of_bool(object == Py_True);
    if (PyLong_Check(object)) {
        auto integer = py::to_i64(object);
        if (!integer) return std::nullopt;
        return goose::ConditionValue::of_int(*integer);
    }
    auto real = py::to_f64(object);
    if (!real) return std::nullopt;
    return goose::ConditionValue::of_real(*real);
}

Result<goose::MemberCondition> condition_from(PyObject* object) {
    auto items = tuple_items(object, 3, "a condition");
    if (!items) return std::nullopt;
    auto ref = py::to_string((*items)[0]);
    if (!ref) return std::nullopt;
    auto member = py::to_u64((*items)[1]);
    if (!member) return std::nullopt;
    auto value = condition_value_from((*items)[2]);
    if (!value) return std::nullopt;
    auto condition = goose::MemberCondition::make(*ref, *member, *value);
    if (!condition) {
        py::raise(PyExc_ValueError, std::string(goose::describe(condition.error())));
        return std::nullopt;
    }
    return *condition;
}

Result<io::sv_engine::TriggerRule> rule_from(PyObject* object) {
    auto items = tuple_items(object, 2, "a trigger rule");
    if (!items) return std::nullopt;
    auto condition = py::to_optional<std::uint64_t>((*items)[0], py::to_u64);
    if (!condition) return std::nullopt;
    auto delay = py::to_i64((*items)[1]);
    if (!delay) return std::nullopt;
    io::sv_engine::TriggerRule rule;
    if (*condition) rule.condition = static_cast<std::size_t>(**condition);
    rule.delay_ns = *delay;
    return rule;
}

}  // namespace

std::shared_ptr<io::sv_engine::SequenceTrigger> trigger_from(PyObject* object) {
    auto items = tuple_items(object, 3, "trigger");
    if (!items) return nullptr;
    const io::sv_engine::Config* config = engine_config((*items)[0]);
    if (config == nullptr) return nullptr;
    if (!config->sequence) {
        py::raise(PyExc_ValueError, "the engine runs no sequence");
        return nullptr;
    }
    auto conditions = py::to_vector<goose::MemberCondition>((*items)[1], condition_from);
    if (!conditions) return nullptr;
    auto rules = py::to_vector<io::sv_engine::TriggerRule>((*items)[2], rule_from);
    if (!rules) return nullptr;
    try {
        return std::make_shared<io::sv_engine::SequenceTrigger>(
            config->sequence->control, io::sv_engine::Schedule::of(*config), *conditions, std::move(*rules));
    } catch (const std::invalid_argument& refused) {
        py::raise(PyExc_ValueError, refused.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

std::shared_ptr<const Sequence> sequence_from(PyObject* object, const io::sv_engine::Config& config) {
    auto items = tuple_items(object, 2, "sequence");
    if (!items) return nullptr;
    auto stream = py::to_u64((*items)[0]);
    if (!stream) return nullptr;
    auto states = py::to_vector<State>((*items)[1], state_from);
    if (!states) return nullptr;
    if (*stream >= config.streams.size()) {
        py::raise(PyExc_ValueError, "the sequence names a stream the engine does not have");
        return nullptr;
    }
    // The command word leaves 16 bits for the state.
    if (states->empty() || states->size() >= (std::size_t{1} << 16) - 1) {
        py::raise(PyExc_ValueError, "a sequence has 1 to 65534 states");
        return nullptr;
    }
    const std::size_t channels = config.streams[*stream].waves.size();
    for (const State& state : *states) {
        if (state.channels.size() != channels) {
            py::raise(PyExc_ValueError, "every state must have as many channels as the stream");
            return nullptr;
        }
    }
    auto sequence = std::make_shared<Sequence>();
    sequence->stream = *stream;
    sequence->control = std::make_shared<SequenceControl>(states->size());
    sequence->states = std::move(*states);
    return sequence;
}

}  // namespace valdrin::engine
