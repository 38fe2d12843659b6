// valdrin_rt.Engine: the SV publisher of valdrin_io as a Python type. Binds
// and converts the arguments, releases the interpreter lock around the
// publisher's blocking waits, and turns its failures into Python exceptions.

#include "engine.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "config_from.hpp"
#include "gil.hpp"
#include "owned.hpp"
#include "publisher_binding.hpp"
#include "py.hpp"
#include "sv_engine/faults.hpp"
#include "sv_engine/publisher.hpp"
#include "sv_engine/render.hpp"
#include "sv_engine/schedule.hpp"
#include "sv_engine/sequence.hpp"
#include "sequence_from.hpp"

namespace valdrin::engine {
namespace {

using io::sv_engine::Config;
using io::sv_engine::FaultError;
using io::sv_engine::Faults;
using io::sv_engine::Knob;
using io::sv_engine::Publisher;
using io::sv_engine::Stream;
using py::Ref;

// An Engine owns its publisher, made before the object so that a failure
// leaves nothing half-built.
Publisher& publisher_of(PyObject* self) { return py::owned<Publisher>(self); }

constexpr const char* new_params[] = {"iface",        "rate",        "asdus_per_frame", "streams",
                                      "start_second", "rt_priority", "cpu",             "periods",
                                      "prp_b",        "sequence"};
constexpr py::Signature new_signature{"Engine.__new__()", new_params, 5};
using py::Result;

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Engine.__new__()", [&]() -> PyObject* {
        PyObject* bound[10];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        std::shared_ptr<Config> config = config_from(std::span(bound).first<9>());
        if (!config) return nullptr;
        if (bound[9] != nullptr && bound[9] != Py_None) {
            config->sequence = sequence_from(bound[9], *config);
            if (!config->sequence) return nullptr;
        }
        auto publisher = std::make_unique<Publisher>(std::move(config));
        return py::new_owned(type, std::move(publisher));
    });
}

PyObject* engine_start(PyObject* self, PyObject*) {
    return publisher_binding::start<Publisher>("Engine.start()", self);
}

PyObject* engine_stop(PyObject* self, PyObject*) {
    return publisher_binding::stop<Publisher>("Engine.stop()", self);
}

PyObject* engine_stats(PyObject* self, PyObject*) {
    return publisher_binding::stats<Publisher>("Engine.stats()", self);
}

void engine_dealloc(PyObject* self) { publisher_binding::dealloc<Publisher>("Engine.__del__()", self); }

// A fresh bytes object (never a shared cached one) holding stream `index`'s
// frame for samples first_smp... of `second`; null with ValueError set for a
// stream number the engine does not have.
Ref rendered(const Config& config, std::uint64_t index, std::int64_t second, std::int64_t first_smp) {
    if (index >= config.streams.size()) {
        py::raise(PyExc_ValueError, "no such stream");
        return {};
    }
    const Stream& stream = config.streams[index];
    // Nobody else has seen the new object yet, so it may be written in place.
    const auto size = static_cast<Py_ssize_t>(stream.frame.size());
    Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!frame) return {};
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
    if (data == nullptr) return {};
    std::memcpy(data, stream.frame.data(), stream.frame.size());
    io::sv_engine::render(stream, {data, stream.frame.size()}, second, first_smp, config.rate);
    return frame;
}

constexpr const char* render_params[] = {"stream", "second", "first_smp"};
constexpr py::Signature render_signature{"Engine.render()", render_params, 3};

PyObject* engine_render(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return py::boundary("Engine.render()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(render_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = py::argument("stream", bound[0], py::to_u64);
        if (!index) return nullptr;
        auto second = py::argument("second", bound[1], py::to_i64);
        if (!second) return nullptr;
        auto first_smp = py::argument("first_smp", bound[2], py::to_i64);
        if (!first_smp) return nullptr;
        return rendered(publisher_of(self).config(), *index, *second, *first_smp).release();
    });
}

constexpr const char* frame_params[] = {"stream", "period"};
constexpr py::Signature frame_signature{"Engine.frame()", frame_params, 2};

PyObject* engine_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.frame()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(frame_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = py::argument("stream", bound[0], py::to_u64);
        if (!index) return nullptr;
        auto k = py::argument("period", bound[1], py::to_u64);
        if (!k) return nullptr;
        const Config& config = publisher_of(self).config();
        // The transmit thread's own rule, and its saturated second for the renderer.
        const io::sv_engine::Period period = io::sv_engine::Schedule::of(config).period(*k);
        const auto second = static_cast<std::int64_t>(
            std::min<__int128>(period.second, std::numeric_limits<std::int64_t>::max()));
        Ref frame = rendered(config, *index, second, period.first_smp);
        if (!frame) return nullptr;
        Ref due = Ref::steal(py::from_i128(period.due_ns));
        if (!due) return nullptr;
        return PyTuple_Pack(2, due.get(), frame.get());
    });
}

constexpr const char* instant_params[] = {"second", "smp"};
constexpr py::Signature instant_signature{"Engine.instant()", instant_params, 2};

PyObject* engine_instant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.instant()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(instant_signature, args, nargs, kwnames, bound)) return nullptr;
        auto second = py::argument("second", bound[0], py::to_i64);
        if (!second) return nullptr;
        auto smp = py::argument("smp", bound[1], py::to_i64);
        if (!smp) return nullptr;
        const auto schedule = io::sv_engine::Schedule::of(publisher_of(self).config());
        if (*smp < 0 || *smp >= schedule.rate) {
            py::raise(PyExc_ValueError, "smp must lie within the second: 0 to rate - 1");
            return nullptr;
        }
        return py::from_i128(schedule.instant(*second, *smp));
    });
}

constexpr const char* first_period_params[] = {"time_ns"};
constexpr py::Signature first_period_signature{"Engine.first_period()", first_period_params, 1};

PyObject* engine_first_period(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.first_period()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(first_period_signature, args, nargs, kwnames, bound)) return nullptr;
        auto time_ns = py::argument("time_ns", bound[0], py::to_i64);
        if (!time_ns) return nullptr;
        const auto schedule = io::sv_engine::Schedule::of(publisher_of(self).config());
        return PyLong_FromUnsignedLongLong(schedule.first_due_from(*time_ns));
    });
}

// --- State sequences -----------------------------------------------------------

// The engine's sequence, or null with ValueError set.
const io::sv_engine::Sequence* sequence_of(PyObject* self) {
    const auto& sequence = publisher_of(self).config().sequence;
    if (!sequence) py::raise(PyExc_ValueError, "the engine runs no sequence");
    return sequence.get();
}

constexpr const char* command_params[] = {"state", "period"};
constexpr py::Signature command_signature{"Engine.sequence_command()", command_params, 2};

PyObject* engine_sequence_command(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.sequence_command()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(command_signature, args, nargs, kwnames, bound)) return nullptr;
        auto state = py::argument("state", bound[0], py::to_u64);
        if (!state) return nullptr;
        auto period = py::argument("period", bound[1], py::to_u64);
        if (!period) return nullptr;
        const io::sv_engine::Sequence* sequence = sequence_of(self);
        if (sequence == nullptr) return nullptr;
        if (*state >= sequence->states.size() || *period >= (std::uint64_t{1} << 48)) {
            py::raise(PyExc_ValueError, "no such state, or a period beyond 2**48");
            return nullptr;
        }
        sequence->control->command(*state, *period);
        Py_RETURN_NONE;
    });
}

// None for a control field not written yet, else the int.
PyObject* recorded(std::int64_t value) {
    if (value == io::sv_engine::SequenceControl::NOT_YET) Py_RETURN_NONE;
    return PyLong_FromLongLong(value);
}

PyObject* engine_sequence_status(PyObject* self, PyObject*) {
    return py::boundary("Engine.sequence_status()", [&]() -> PyObject* {
        const io::sv_engine::Sequence* sequence = sequence_of(self);
        if (sequence == nullptr) return nullptr;
        io::sv_engine::SequenceControl& control = *sequence->control;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(control.size())));
        if (!list) return nullptr;
        for (std::size_t s = 0; s < control.size(); ++s) {
            // The ending first: a state seen ended has its start recorded already.
            const std::uint8_t ending = control.ending(s).load();
            Ref start = Ref::steal(recorded(control.start(s).load()));
            Ref sent = Ref::steal(recorded(control.sent_ns(s).load()));
            Ref how = Ref::steal(PyLong_FromLong(ending));
            if (!start || !sent || !how) return nullptr;
            PyObject* row = PyTuple_Pack(3, start.get(), how.get(), sent.get());
            if (row == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(s), row);
        }
        return list.release();
    });
}

Result<std::int64_t> start_or_not_yet(PyObject* object) {
    if (object == Py_None) return io::sv_engine::SequenceControl::NOT_YET;
    return py::to_i64(object);
}

constexpr const char* replay_params[] = {"starts", "first", "periods"};
constexpr py::Signature replay_signature{"Engine.sequence_frames()", replay_params, 3};

PyObject* engine_sequence_frames(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.sequence_frames()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(replay_signature, args, nargs, kwnames, bound)) return nullptr;
        auto starts = py::argument("starts", bound[0], [](PyObject* o) {
            return py::to_vector<std::int64_t>(o, start_or_not_yet);
        });
        if (!starts) return nullptr;
        auto first = py::argument("first", bound[1], py::to_u64);
        if (!first) return nullptr;
        auto periods = py::argument("periods", bound[2], py::to_u64);
        if (!periods) return nullptr;
        const io::sv_engine::Sequence* sequence = sequence_of(self);
        if (sequence == nullptr) return nullptr;
        const Config& config = publisher_of(self).config();
        const Stream& stream = config.streams[sequence->stream];
        const auto schedule = io::sv_engine::Schedule::of(config);
        if (*first > (std::uint64_t{1} << 48) || *periods > (std::uint64_t{1} << 24)) {
            py::raise(PyExc_ValueError, "first must be below 2**48 and periods below 2**24");
            return nullptr;
        }
        io::sv_engine::SequenceCursor cursor(*sequence, stream, config.rate);
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        std::vector<std::uint8_t> frame(stream.frame);
        for (std::uint64_t k = *first; k < *first + *periods; ++k) {
            const io::sv_engine::Period period = schedule.period(k);
            cursor.render_replay(frame, period.first_smp, k, *starts);
            Ref due = Ref::steal(py::from_i128(period.due_ns));
            Ref octets = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame.data()),
                                                              static_cast<Py_ssize_t>(frame.size())));
            if (!due || !octets) return nullptr;
            Ref pair = Ref::steal(PyTuple_Pack(2, due.get(), octets.get()));
            if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

constexpr const char* fault_params[] = {"stream", "knob", "value"};
constexpr py::Signature fault_signature{"Engine.fault()", fault_params, 3};

// Sets quality to `value`, a tuple (mask, channels or None).
std::expected<void, FaultError> set_quality(Faults& faults, std::uint64_t stream, PyObject* value, bool& failed) {
    failed = true;
    if (!PyTuple_Check(value) || PyTuple_Size(value) != 2) {
        py::raise(PyExc_TypeError, "quality takes a tuple (mask, channels or None)");
        return {};
    }
    auto mask = py::argument("value", PyTuple_GetItem(value, 0), py::to_u32);
    if (!mask) return {};
    auto channels = py::argument("value", PyTuple_GetItem(value, 1), [](PyObject* o) {
        return py::to_optional<std::vector<std::uint64_t>>(o, [](PyObject* s) {
            return py::to_vector<std::uint64_t>(s, py::to_u64);
        });
    });
    if (!channels) return {};
    failed = false;
    static constexpr std::uint64_t none[] = {0};
    const std::span<const std::uint64_t> chosen = *channels ? std::span<const std::uint64_t>(**channels)
                                                            : std::span<const std::uint64_t>(none, 0);
    // An empty list chooses no channel: the mask then reaches none.
    if (*channels && (*channels)->empty()) return faults.set_quality(stream, 0, {});
    return faults.set_quality(stream, *mask, chosen);
}

// fault(stream, knob, value): sets knob `knob` (a name of KNOBS) of stream
// `stream`: an int as the knob's kind reads it (spans in ns), for quality a
// tuple (mask, channels or None), None to clear a lasting knob.
PyObject* engine_fault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Engine.fault()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(fault_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = py::argument("stream", bound[0], py::to_u64);
        if (!index) return nullptr;
        auto name = py::argument("knob", bound[1], py::to_string);
        if (!name) return nullptr;
        const io::sv_engine::KnobRow* row = io::sv_engine::find_knob(*name);
        if (row == nullptr) {
            py::raise(PyExc_ValueError, "no such fault knob: " + *name);
            return nullptr;
        }
        Faults& faults = publisher_of(self).faults();
        std::expected<void, FaultError> done;
        if (bound[2] == Py_None) {
            done = faults.clear(*index, row->knob);
        } else if (row->knob == Knob::Quality) {
            bool failed = false;
            done = set_quality(faults, *index, bound[2], failed);
            if (failed) return nullptr;
        } else {
            auto value = py::argument("value", bound[2], py::to_i64);
            if (!value) return nullptr;
            done = faults.set(*index, row->knob, *value, io::now_ns());
        }
        if (!done) {
            py::raise(PyExc_ValueError, io::sv_engine::describe(done.error()));
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef engine_methods[] = {
    {"sequence_command", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_sequence_command)),
     METH_FASTCALL | METH_KEYWORDS,
     "sequence_command($self, state, period)\n--\n\n"
     "End sequence state `state` at the first sample of frame period `period` (or at the first "
     "period the transmit thread reads this in, if later); ignored unless `state` is current."},
    {"sequence_status", engine_sequence_status, METH_NOARGS,
     "sequence_status($self)\n--\n\n"
     "Per sequence state: `(first_sample | None, ending, sent_ns | None)`; ending 0 running, "
     "1 duration, 2 trigger, 3 timeout; sent_ns the clock just after its first frame was sent."},
    {"sequence_frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_sequence_frames)),
     METH_FASTCALL | METH_KEYWORDS,
     "sequence_frames($self, starts, first, periods)\n--\n\n"
     "`[(due_ns, frame)]` of the sequenced stream for periods `first`... as sent by a run whose "
     "states began at the samples `starts` (None: at the state's own end)."},
    {"fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fault)),
     METH_FASTCALL | METH_KEYWORDS,
     "fault($self, stream, knob, value)\n--\n\n"
     "Set fault knob `knob` of stream `stream` (see SV_FAULT_KNOBS): an int (spans in ns), for "
     "quality a tuple (mask, channels or None), None to clear a lasting knob."},
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_render)),
     METH_FASTCALL | METH_KEYWORDS,
     "render($self, stream, second, first_smp)\n--\n\n"
     "Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second` (for "
     "tests)."},
    {"frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_frame)),
     METH_FASTCALL | METH_KEYWORDS,
     "frame($self, stream, period)\n--\n\n"
     "`(due_ns, frame)`: frame period `period`'s instant (the transmit thread's schedule) and the "
     "frame of stream `stream` it sends then."},
    {"instant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_instant)),
     METH_FASTCALL | METH_KEYWORDS,
     "instant($self, second, smp)\n--\n\n"
     "The instant (ns since 1970) of sample `smp` (0 to rate - 1) of UNIX second `second`, by the "
     "transmit thread's schedule."},
    {"first_period", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_first_period)),
     METH_FASTCALL | METH_KEYWORDS,
     "first_period($self, time_ns)\n--\n\n"
     "Number of the first frame period due at or after `time_ns` (0 up to the start second)."},
    {"start", engine_start, METH_NOARGS,
     "start($self)\n--\n\nOpen the socket, then send from a thread of its own until `stop()`."},
    {"stop", engine_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"stats", engine_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char engine_doc[] =
    "Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority=None, cpu=None, "
    "periods=None, prp_b=None, sequence=None)\n"
    "--\n"
    "\n"
    "The engine behind `valdrin.sv.Publisher(engine=\"native\")`.\n"
    "\n"
    "`Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu, periods)`,\n"
    "`streams` being the dicts built by `valdrin.sv_publisher._native_streams`; with `periods`\n"
    "the thread sends that many frame periods from `start_second`, then ends on its own; with `prp_b`\n"
    "(LAN B's interface) every frame goes out on `iface` and `prp_b` with its PRP trailer.\n"
    "With `sequence` (built by `valdrin.sequence`) one stream follows a state sequence.";

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>(engine_doc)},
    {0, nullptr},
};

PyType_Spec engine_description = py::owned_layout<Publisher>("valdrin_rt.Engine", engine_slots);

}  // namespace

// A new str of `text`, or null with an exception set.
static Ref text(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool add_fault_tables(PyObject* module) noexcept {
    using io::sv_engine::KNOBS;
    using io::sv_engine::QUALITY_BITS;
    Ref knobs = Ref::steal(PyList_New(0));
    if (!knobs) return false;
    for (const auto& row : KNOBS) {
        Ref name = text(row.name);
        Ref kind = text(valdrin::text_of(io::sv_engine::knob_kind_names, row.kind));
        Ref help = text(row.help);
        if (!name || !kind || !help) return false;
        Ref item = Ref::steal(Py_BuildValue("(OOLOO)", name.get(), kind.get(), static_cast<long long>(row.max),
                                            help.get(), io::sv_engine::needs_prp(row.knob) ? Py_True : Py_False));
        if (!item || PyList_Append(knobs.get(), item.get()) < 0) return false;
    }
    Ref bits = Ref::steal(PyList_New(0));
    if (!bits) return false;
    for (const auto& bit : QUALITY_BITS) {
        Ref name = text(bit.name);
        if (!name) return false;
        Ref item = Ref::steal(Py_BuildValue("(Ok)", name.get(), static_cast<unsigned long>(bit.mask)));
        if (!item || PyList_Append(bits.get(), item.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "SV_FAULT_KNOBS", knobs.get()) == 0 &&
           PyModule_AddObjectRef(module, "SV_QUALITY_BITS", bits.get()) == 0;
}

const io::sv_engine::Config* engine_config(PyObject* object) {
    PyObject* type = engine_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        py::raise(PyExc_TypeError, "expected a valdrin_rt.Engine");
        return nullptr;
    }
    return &publisher_of(object).config();
}

PyObject* engine_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, engine_description);
}

}  // namespace valdrin::engine
