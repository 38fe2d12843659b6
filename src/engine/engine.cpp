// valdrin_rt.Engine: converts and validates a publication once into an
// immutable Config, and renders its frames.

#include "engine.hpp"

#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "config.hpp"
#include "counters.hpp"
#include "py.hpp"
#include "render.hpp"
#include "transmit.hpp"

namespace valdrin::engine {
namespace {

using py::Ref;
using py::Result;

// --- Stream dictionaries ----------------------------------------------------

void raise_value_error(std::string_view text) { py::raise(PyExc_ValueError, text); }

// The value under `key` of a dict, which must be there; a new reference, or
// null with ValueError "stream without <key>" (or a lookup error) set.
Ref item(PyObject* dict, const char* key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) return {};
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, name.get()));
    if (!value && !PyErr_Occurred()) raise_value_error(std::string("stream without ") + key);
    return value;
}

// The value under `key` of a dict, `fallback` when the key is absent.
Result<Ref> optional_item(PyObject* dict, const char* key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) return std::nullopt;
    Ref value = Ref::borrow(PyDict_GetItemWithError(dict, name.get()));
    if (!value && PyErr_Occurred()) return std::nullopt;
    return value;
}

bool check_dict(PyObject* object) {
    if (PyDict_Check(object)) return true;
    py::raise_cannot_convert(object, "PyDict");
    return false;
}

// Looks `key` up and converts its value with `convert`.
template <class Convert>
auto convert_item(PyObject* dict, const char* key, Convert&& convert)
    -> decltype(convert(static_cast<PyObject*>(nullptr))) {
    Ref value = item(dict, key);
    if (!value) return std::nullopt;
    return convert(value.get());
}

Result<Wave> wave_from(PyObject* object) {
    if (!PyTuple_Check(object)) {
        py::raise_cannot_convert(object, "PyTuple");
        return std::nullopt;
    }
    const Py_ssize_t size = PyTuple_Size(object);
    if (size != 6) {
        raise_value_error("expected tuple of length 6, but got tuple of length " +
                          std::to_string(size));
        return std::nullopt;
    }
    double fields[5];
    for (Py_ssize_t i = 0; i < 5; ++i) {
        auto value = py::to_f64(PyTuple_GetItem(object, i));
        if (!value) return std::nullopt;
        fields[i] = *value;
    }
    auto quality = py::to_u32(PyTuple_GetItem(object, 5));
    if (!quality) return std::nullopt;
    return Wave{fields[0], fields[1], fields[2], fields[3], fields[4], *quality};
}

Result<std::vector<Wave>> waves_from(PyObject* sequence) {
    return py::to_vector<Wave>(sequence, wave_from);
}

// Octets read as consecutive 32-bit integers in the host's byte order.
template <class Int>
Result<std::vector<Int>> ints(const std::vector<std::uint8_t>& octets) {
    if (octets.size() % 4 != 0) {
        raise_value_error("playback data must be 32-bit integers");
        return std::nullopt;
    }
    std::vector<Int> out(octets.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), octets.data(), octets.size());
    return out;
}

template <class Int>
Result<std::vector<Int>> ints_from(PyObject* object) {
    auto octets = py::to_octets(object);
    if (!octets) return std::nullopt;
    return ints<Int>(*octets);
}

Result<std::vector<std::uint64_t>> offsets_from(PyObject* object) {
    return py::to_vector<std::uint64_t>(object, py::to_u64);
}

Result<std::optional<double>> optional_f64(PyObject* object) {
    return py::to_optional<double>(object, py::to_f64);
}

Result<std::optional<std::int64_t>> optional_i64(PyObject* object) {
    return py::to_optional<std::int64_t>(object, py::to_i64);
}

Result<Fault> fault_from(PyObject* dict) {
    if (!check_dict(dict)) return std::nullopt;
    Fault fault;
    auto waves = convert_item(dict, "waves", waves_from);
    if (!waves) return std::nullopt;
    fault.waves = std::move(*waves);
    auto cycle_s = convert_item(dict, "cycle_s", py::to_i64);
    if (!cycle_s) return std::nullopt;
    auto offset_s = convert_item(dict, "offset_s", py::to_i64);
    if (!offset_s) return std::nullopt;
    auto start_smp = convert_item(dict, "start_smp", py::to_i64);
    if (!start_smp) return std::nullopt;
    auto duration_s = convert_item(dict, "duration_s", optional_f64);
    if (!duration_s) return std::nullopt;
    fault.cycle_s = *cycle_s;
    fault.offset_s = *offset_s;
    fault.start_smp = *start_smp;
    fault.duration_s = *duration_s;
    return fault;
}

Result<Playback> playback_from(PyObject* dict) {
    if (!check_dict(dict)) return std::nullopt;
    Playback playback;
    auto channels = convert_item(dict, "channels", py::to_u64);
    if (!channels) return std::nullopt;
    auto values = convert_item(dict, "values", ints_from<std::int32_t>);
    if (!values) return std::nullopt;
    auto qualities = convert_item(dict, "qualities", [](PyObject* object) {
        return py::to_optional<std::vector<std::uint32_t>>(object, ints_from<std::uint32_t>);
    });
    if (!qualities) return std::nullopt;
    if (*channels == 0 || values->empty() || values->size() % *channels != 0) {
        raise_value_error("playback values must fill whole rows of channels");
        return std::nullopt;
    }
    if (*qualities && (*qualities)->size() != values->size()) {
        raise_value_error("playback qualities must match the values");
        return std::nullopt;
    }
    auto period = convert_item(dict, "period", optional_i64);
    if (!period) return std::nullopt;
    if (*period && **period <= 0) {
        raise_value_error("playback period must be positive");
        return std::nullopt;
    }
    auto start = convert_item(dict, "start", py::to_i64);
    if (!start) return std::nullopt;
    playback.channels = *channels;
    playback.values = std::move(*values);
    playback.qualities = std::move(*qualities);
    playback.period = *period;
    playback.start = *start;
    return playback;
}

// True when a field of `width` octets at `offset` lies inside `size`
// octets; written so that no offset, however large, wraps around.
bool fits(std::uint64_t offset, std::uint64_t width, std::size_t size) {
    return offset <= size && width <= size - offset;
}

// The consistency of one converted stream, in the order its faults are
// reported.
bool check_stream(const Stream& stream) {
    if (stream.smp_cnt_offsets.empty() ||
        stream.smp_cnt_offsets.size() != stream.sample_offsets.size()) {
        raise_value_error("smp_cnt_offsets and sample_offsets must match");
        return false;
    }
    if (stream.fault && stream.fault->waves.size() != stream.waves.size()) {
        raise_value_error("the fault waves must have as many channels as the stream");
        return false;
    }
    const std::uint64_t sample_width = 8 * static_cast<std::uint64_t>(stream.waves.size());
    for (std::size_t i = 0; i < stream.smp_cnt_offsets.size(); ++i) {
        if (!fits(stream.smp_cnt_offsets[i], 2, stream.frame.size()) ||
            !fits(stream.sample_offsets[i], sample_width, stream.frame.size())) {
            raise_value_error("offset outside the frame");
            return false;
        }
    }
    if (stream.playback && stream.playback->channels != stream.waves.size()) {
        raise_value_error("the playback must have as many channels as the stream");
        return false;
    }
    return true;
}

Result<Stream> stream_from(PyObject* dict) {
    if (!check_dict(dict)) return std::nullopt;
    Stream stream;
    auto frame = convert_item(dict, "frame", py::to_octets);
    if (!frame) return std::nullopt;
    auto smp_cnt_offsets = convert_item(dict, "smp_cnt_offsets", offsets_from);
    if (!smp_cnt_offsets) return std::nullopt;
    auto sample_offsets = convert_item(dict, "sample_offsets", offsets_from);
    if (!sample_offsets) return std::nullopt;
    auto waves = convert_item(dict, "waves", waves_from);
    if (!waves) return std::nullopt;
    Ref fault = item(dict, "fault");
    if (!fault) return std::nullopt;
    stream.frame = std::move(*frame);
    stream.smp_cnt_offsets = std::move(*smp_cnt_offsets);
    stream.sample_offsets = std::move(*sample_offsets);
    stream.waves = std::move(*waves);
    if (fault.get() != Py_None) {
        auto converted = fault_from(fault.get());
        if (!converted) return std::nullopt;
        stream.fault = std::move(*converted);
    }
    auto playback = optional_item(dict, "playback");
    if (!playback) return std::nullopt;
    if (*playback && playback->get() != Py_None) {
        auto converted = playback_from(playback->get());
        if (!converted) return std::nullopt;
        stream.playback = std::move(*converted);
    }
    if (!check_stream(stream)) return std::nullopt;
    return stream;
}

// --- The Engine object ------------------------------------------------------

// What an Engine holds besides its Python header: the shared immutable
// Config, the shared Counters, and the slot of its transmit thread.
struct State {
    std::shared_ptr<const Config> config;
    std::shared_ptr<Counters> counters;
    std::mutex slot_lock;
    std::optional<std::thread> thread;
    bool has_run = false;  // a thread of this Engine has reported success
};

struct EngineObject {
    PyObject_HEAD
    State state;
};

State& state_of(PyObject* self) { return reinterpret_cast<EngineObject*>(self)->state; }

Result<Ref> borrow_element(PyObject* element) { return Ref::borrow(element); }

Result<std::vector<Ref>> objects_from(PyObject* sequence) {
    return py::to_vector<Ref>(sequence, borrow_element);
}

Result<std::optional<std::int32_t>> optional_i32(PyObject* object) {
    return py::to_optional<std::int32_t>(object, py::to_i32);
}

Result<std::optional<std::uint64_t>> optional_u64(PyObject* object) {
    return py::to_optional<std::uint64_t>(object, py::to_u64);
}

constexpr const char* new_params[] = {"iface",        "rate",        "asdus_per_frame", "streams",
                                      "start_second", "rt_priority", "cpu"};
constexpr py::Signature new_signature{"Engine.__new__()", new_params, 5};

// Everything the constructor converts and checks, in the order its
// failures are reported.
std::shared_ptr<const Config> config_from(std::span<PyObject*> args) {
    auto iface = py::argument("iface", args[0], py::to_string);
    if (!iface) return nullptr;
    auto rate = py::argument("rate", args[1], py::to_i64);
    if (!rate) return nullptr;
    auto asdus_per_frame = py::argument("asdus_per_frame", args[2], py::to_i64);
    if (!asdus_per_frame) return nullptr;
    auto objects = py::argument("streams", args[3], objects_from);
    if (!objects) return nullptr;
    auto start_second = py::argument("start_second", args[4], py::to_i64);
    if (!start_second) return nullptr;
    auto rt_priority = py::argument("rt_priority", args[5], optional_i32);
    if (!rt_priority) return nullptr;
    auto cpu = py::argument("cpu", args[6], optional_u64);
    if (!cpu) return nullptr;

    if (*rate < 1 || *asdus_per_frame < 1 || *rate % *asdus_per_frame != 0) {
        raise_value_error("rate must be a positive multiple of asdus_per_frame");
        return nullptr;
    }
    auto config = std::make_shared<Config>();
    config->streams.reserve(objects->size());
    for (const Ref& object : *objects) {
        auto stream = stream_from(object.get());
        if (!stream) return nullptr;
        config->streams.push_back(std::move(*stream));
    }
    for (const Stream& stream : config->streams) {
        if (stream.smp_cnt_offsets.size() != static_cast<std::uint64_t>(*asdus_per_frame)) {
            raise_value_error("every template must carry asdus_per_frame ASDUs");
            return nullptr;
        }
    }
    config->iface = std::move(*iface);
    config->rate = *rate;
    config->asdus_per_frame = *asdus_per_frame;
    config->start_second = *start_second;
    config->rt_priority = *rt_priority;
    config->cpu = *cpu;
    return config;
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Engine.__new__()", [&]() -> PyObject* {
        PyObject* bound[7];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        std::shared_ptr<const Config> config = config_from(bound);
        if (!config) return nullptr;
        auto counters = std::make_shared<Counters>();
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        State* state = new (&state_of(self)) State{};
        state->config = std::move(config);
        state->counters = std::move(counters);
        return self;
    });
}

// Releases the interpreter lock for its lifetime: only around waits for
// things outside the interpreter.
class ReleasedGil {
public:
    ReleasedGil() noexcept : saved_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(saved_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

private:
    PyThreadState* saved_;
};

// Locks the thread slot; a wait for it (another thread is inside start())
// happens with the interpreter lock released, so that start() can finish.
std::unique_lock<std::mutex> lock_slot(State& state) {
    std::unique_lock slot(state.slot_lock, std::try_to_lock);
    if (!slot.owns_lock()) {
        ReleasedGil released;
        slot.lock();
    }
    return slot;
}

PyObject* engine_start(PyObject* self, PyObject*) {
    return py::boundary("Engine.start()", [&]() -> PyObject* {
        State& state = state_of(self);
        std::unique_lock slot = lock_slot(state);
        if (state.thread) {
            py::raise(PyExc_RuntimeError, "already started");
            return nullptr;
        }
        const Config& config = *state.config;
        if (config.iface.find('\0') != std::string::npos) {
            py::raise(PyExc_OSError, "bad interface name");
            return nullptr;
        }
        const unsigned index = if_nametoindex(config.iface.c_str());
        if (index == 0) {
            const int error = errno;  // before building the context can touch it
            py::raise(PyExc_OSError, "interface " + config.iface + ": " + os_text(error));
            return nullptr;
        }
        std::string error;
        std::optional<Socket> socket = open_packet_socket(index, error);
        if (!socket) {
            py::raise(PyExc_OSError, error);
            return nullptr;
        }
        // No thread of this Engine runs now: a stop() of an earlier run is
        // over, and this run starts afresh.
        state.counters->stop.store(false);
        const bool resume = state.has_run;
        auto report = std::make_shared<SetupReport>();
        std::thread thread;
        try {
            thread = std::thread(transmit, state.config, state.counters, std::move(*socket),
                                 Reporter(report), resume);
        } catch (const std::system_error& e) {
            // The thread's arguments, the socket among them, are gone.
            py::raise(PyExc_RuntimeError, os_text(e.code().value()));
            return nullptr;
        }
        std::string text;
        SetupReport::State outcome;
        {
            ReleasedGil released;
            outcome = report->wait(text);
        }
        switch (outcome) {
            case SetupReport::State::ok:
                state.thread = std::move(thread);
                state.has_run = true;
                Py_RETURN_NONE;
            case SetupReport::State::failed: {
                ReleasedGil released;
                thread.join();  // it ends right after reporting
            }
                py::raise(PyExc_OSError, text);
                return nullptr;
            default:
                thread.detach();
                py::raise(PyExc_RuntimeError, "the engine thread ended during setup");
                return nullptr;
        }
    });
}

PyObject* engine_stop(PyObject* self, PyObject*) {
    return py::boundary("Engine.stop()", [&]() -> PyObject* {
        State& state = state_of(self);
        // The flag is set and the thread joined under the slot lock, so that
        // a start() in another thread cannot clear the flag before this
        // thread has seen it: that start() waits for the lock, without the
        // interpreter lock, until the join is over.
        std::unique_lock slot = lock_slot(state);
        state.counters->stop.store(true);
        std::optional<std::thread> thread;
        thread.swap(state.thread);
        if (thread) {
            ReleasedGil released;
            thread->join();
        }
        Py_RETURN_NONE;
    });
}

// Adds `value` under `key`; false with an exception set on failure.
bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* engine_stats(PyObject* self, PyObject*) {
    return py::boundary("Engine.stats()", [&]() -> PyObject* {
        const Counters& counters = *state_of(self).counters;
        Ref stats = Ref::steal(PyDict_New());
        if (!stats ||
            !set_item(stats.get(), "frames_sent",
                      Ref::steal(PyLong_FromUnsignedLongLong(counters.frames_sent.load()))) ||
            !set_item(stats.get(), "send_errors",
                      Ref::steal(PyLong_FromUnsignedLongLong(counters.send_errors.load()))) ||
            !set_item(stats.get(), "late_frames",
                      Ref::steal(PyLong_FromUnsignedLongLong(counters.late_frames.load()))) ||
            !set_item(stats.get(), "max_lateness_ns",
                      Ref::steal(PyLong_FromLongLong(counters.max_lateness_ns.load())))) {
            return nullptr;
        }
        return stats.release();
    });
}

// Disposal stops and joins a running thread with the interpreter lock held
// (the thread never needs it), then lets go of Config and Counters.
void engine_dealloc(PyObject* self) {
    State& state = state_of(self);
    try {
        state.counters->stop.store(true);
        std::lock_guard slot(state.slot_lock);
        if (state.thread) {
            state.thread->join();
            state.thread.reset();
        }
    } catch (...) {
        py::raise_panic("Engine.__del__()");
        PyErr_WriteUnraisable(self);
    }
    state.~State();
    PyTypeObject* type = Py_TYPE(self);
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DECREF(type);  // a heap type's instances own a reference to it
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
        const Config& config = *state_of(self).config;
        if (*index >= config.streams.size()) {
            raise_value_error("no such stream");
            return nullptr;
        }
        const Stream& stream = config.streams[*index];
        // A fresh bytes object (never a shared cached one) that nobody else
        // has seen yet, so it may be written in place.
        const auto size = static_cast<Py_ssize_t>(stream.frame.size());
        Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!frame) return nullptr;
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
        if (data == nullptr) return nullptr;
        std::memcpy(data, stream.frame.data(), stream.frame.size());
        render(stream, {data, stream.frame.size()}, *second, *first_smp, config.rate);
        return frame.release();
    });
}

PyMethodDef engine_methods[] = {
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_render)),
     METH_FASTCALL | METH_KEYWORDS,
     "render($self, stream, second, first_smp)\n--\n\n"
     "Frame of stream `stream` carrying samples `first_smp`... of UNIX second `second` (for "
     "tests)."},
    {"start", engine_start, METH_NOARGS,
     "start($self)\n--\n\nOpen the socket, then send from a thread of its own until `stop()`."},
    {"stop", engine_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"stats", engine_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char engine_doc[] =
    "Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority=None, cpu=None)\n"
    "--\n"
    "\n"
    "The engine behind `valdrin.sv.Publisher(engine=\"native\")`.\n"
    "\n"
    "`Engine(iface, rate, asdus_per_frame, streams, start_second, rt_priority, cpu)`,\n"
    "`streams` being the dicts built by `valdrin.sv_publisher._native_streams`.";

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>(engine_doc)},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "valdrin_rt.Engine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

}  // namespace

PyObject* engine_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&engine_spec);
    return type;
}

}  // namespace valdrin::engine
