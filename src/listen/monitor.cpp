// valdrin_rt.Monitor: a live capture analysed in valdrin_io's thread, with
// its report and events as Python objects.

#include <array>
#include <cmath>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "codecs.hpp"
#include "engine/sequence_from.hpp"
#include "gil.hpp"
#include "listen.hpp"
#include "monitor.hpp"
#include "owned.hpp"
#include "prp_report.hpp"
#include "report.hpp"

namespace valdrin::listen {
namespace {

using analysis::StoredEvent;
using py::Ref;

// Events converted per events() call, at most.
constexpr std::size_t EVENT_BATCH = 256;
// How long report() waits for the capture thread's copy.
constexpr std::int64_t SNAPSHOT_TIMEOUT_NS = 2'000'000'000;
// The largest coalescing pause accepted: beyond it a stop, and every event,
// would wait too long.
constexpr std::uint64_t MAX_COALESCE_US = 10'000;

struct State {
    State(io::MonitorOptions options, double hz)
        : trigger(options.trigger), monitor(options), snapshot(options.limits, options.prp_b.has_value()),
          batch(EVENT_BATCH), nominal_hz(hz) {}
    std::shared_ptr<io::sv_engine::SequenceTrigger> trigger;  // also the monitor's, or null
    io::Monitor monitor;
    io::MonitorSnapshot snapshot;  // report()'s copy
    std::vector<StoredEvent> batch;  // events()'s
    double nominal_hz;
};

State& state_of(PyObject* self) { return py::owned<State>(self); }

constexpr const char* new_params[] = {"iface",    "sv_streams", "goose_blocks",        "nominal_hz", "promiscuous",
                                      "outgoing", "hardware_timestamps", "rt_priority", "cpu",
                                      "ring",     "block_timeout_ms",    "coalesce_us", "watch",
                                      "expect_conf_rev", "prp_b",            "trigger"};
constexpr std::size_t NEW_PARAMS = std::size(new_params);
constexpr py::Signature new_signature{"Monitor.__new__()", new_params, 1};

// A bool argument, false when left out.
py::Result<bool> flag(const char* param, PyObject* object) {
    if (object == nullptr) return false;
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) {
        py::prefix_argument_error(param);
        return std::nullopt;
    }
    return truth != 0;
}

// The ring's version, its block timeout (V3) and the coalescing pause into
// `capture` (None keeps what it holds: V3, 1 ms, no pause); false with
// ValueError, TypeError or OverflowError set for a bad one.
bool ring_options(PyObject* ring, PyObject* block_timeout, PyObject* coalesce, io::CaptureOptions& capture) {
    auto version = py::argument("ring", ring, [](PyObject* o) { return py::to_optional<std::string>(o, py::to_string); });
    if (!version) return false;
    if (*version) {
        if (**version != "v2" && **version != "v3") {
            py::raise(PyExc_ValueError, "ring must be 'v2' or 'v3'");
            return false;
        }
        capture.ring.version = **version == "v3" ? io::RingVersion::V3 : io::RingVersion::V2;
    }
    const bool v3 = capture.ring.version == io::RingVersion::V3;
    auto timeout = py::argument("block_timeout_ms", block_timeout,
                                [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
    if (!timeout) return false;
    if (*timeout) {
        if (!v3) {
            py::raise(PyExc_ValueError, "block_timeout_ms applies to ring 'v3' only");
            return false;
        }
        if (**timeout < 1 || **timeout > io::MAX_BLOCK_TIMEOUT_MS) {
            py::raise(PyExc_ValueError,
                      "block_timeout_ms must be between 1 and " + std::to_string(io::MAX_BLOCK_TIMEOUT_MS));
            return false;
        }
        capture.ring = io::v3_ring(static_cast<std::uint32_t>(**timeout));
    }
    auto pause = py::argument("coalesce_us", coalesce, [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
    if (!pause) return false;
    if (*pause) {
        if (**pause > MAX_COALESCE_US) {
            py::raise(PyExc_ValueError, "coalesce_us must be between 0 and 10000");
            return false;
        }
        capture.coalesce_ns = static_cast<std::int64_t>(**pause) * 1000;
    }
    return true;
}

// Item `i` of tuple `tuple` converted by `convert`, prefixed with the
// watch's argument name; nothing with the exception set.
template <class Convert>
auto watch_item(PyObject* tuple, Py_ssize_t i, Convert&& convert) {
    return py::argument("watch", PyTuple_GetItem(tuple, i), std::forward<Convert>(convert));
}

// `element`: the overcurrent settings by name, a dict of channel, pickup,
// window and delay_samples, and optionally the supervision's ignore_invalid,
// ignore_test, block_unsynchronised, block_after_lost and wrap (absent: 0);
// ValueError or TypeError for a bad one.
bool overcurrent_options(PyObject* element, analysis::SvWatchOptions& out) {
    if (!PyDict_Check(element)) {
        py::raise(PyExc_TypeError, "overcurrent must be a dict of channel, pickup, window and delay_samples");
        return false;
    }
    const auto item = [element](const char* key) -> py::Result<std::uint64_t> {
        PyObject* value = PyDict_GetItemString(element, key);  // borrowed
        if (value == nullptr) {
            PyErr_Format(PyExc_TypeError, "overcurrent lacks %s", key);
            return std::nullopt;
        }
        return py::argument("overcurrent", value, py::to_u64);
    };
    const auto channel = item("channel");
    const auto pickup = channel ? item("pickup") : std::nullopt;
    const auto window = pickup ? item("window") : std::nullopt;
    const auto delay = window ? item("delay_samples") : std::nullopt;
    if (!delay) return false;
    if (*channel > analysis::MAX_WATCH_CHANNEL || *pickup > UINT32_MAX || *window > UINT32_MAX) {
        py::raise(PyExc_ValueError, "overcurrent channel, pickup or window out of range");
        return false;
    }
    // The supervision's settings, each 0 when absent.
    const auto optional = [element](const char* key) -> py::Result<std::uint64_t> {
        PyObject* value = PyDict_GetItemString(element, key);  // borrowed
        if (value == nullptr) return std::uint64_t{0};
        return py::argument("overcurrent", value, py::to_u64);
    };
    const auto ignore_invalid = optional("ignore_invalid");
    const auto ignore_test = ignore_invalid ? optional("ignore_test") : std::nullopt;
    const auto unsynchronised = ignore_test ? optional("block_unsynchronised") : std::nullopt;
    const auto after_lost = unsynchronised ? optional("block_after_lost") : std::nullopt;
    const auto wrap = after_lost ? optional("wrap") : std::nullopt;
    if (!wrap) return false;
    if (*after_lost > UINT32_MAX || *wrap > 65536) {
        py::raise(PyExc_ValueError, "overcurrent block_after_lost or wrap out of range");
        return false;
    }
    out.ignore_invalid = *ignore_invalid != 0;
    out.ignore_test = *ignore_test != 0;
    out.block_unsynchronised = *unsynchronised != 0;
    out.block_after_lost = static_cast<std::uint32_t>(*after_lost);
    out.wrap = static_cast<std::uint32_t>(*wrap);
    out.channel = static_cast<std::uint32_t>(*channel);
    out.overcurrent = protection::OvercurrentSettings{.window = static_cast<std::uint32_t>(*window),
                                                      .pickup = static_cast<std::uint32_t>(*pickup),
                                                      .delay = *delay};
    return true;
}

// `watch`: None, or (sv_id, departure_smp_cnt | None, overcurrent | None),
// overcurrent as overcurrent_options reads it; ValueError or TypeError for
// a bad one.
bool watch_options(PyObject* watch, io::MonitorOptions& options) {
    if (watch == nullptr || watch == Py_None) return true;
    if (!PyTuple_Check(watch) || PyTuple_Size(watch) != 3) {
        py::raise(PyExc_TypeError, "watch must be a tuple (sv_id, departure_smp_cnt, overcurrent)");
        return false;
    }
    analysis::SvWatchOptions out;
    auto sv_id = watch_item(watch, 0, py::to_string);
    if (!sv_id) return false;
    out.sv_id = std::move(*sv_id);
    auto departure = watch_item(watch, 1, [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
    if (!departure) return false;
    if (*departure) {
        if (**departure > UINT16_MAX) {
            py::raise(PyExc_ValueError, "departure_smp_cnt must be between 0 and 65535");
            return false;
        }
        out.departure_smp_cnt = static_cast<std::uint16_t>(**departure);
    }
    PyObject* element = PyTuple_GetItem(watch, 2);
    if (element != Py_None && !overcurrent_options(element, out)) return false;
    options.watch = std::move(out);
    return true;
}

py::Result<io::MonitorOptions> monitor_options(PyObject* const (&bound)[NEW_PARAMS], double& nominal_hz) {
    io::MonitorOptions options;
    auto iface = py::argument("iface", bound[0], py::to_string);
    if (!iface) return std::nullopt;
    options.capture.interface = std::move(*iface);
    PyObject* const analysis_args[5] = {bound[1], bound[2], bound[3], nullptr, bound[13]};
    auto analysis = options_from(analysis_args);
    if (!analysis) return std::nullopt;
    options.limits = analysis->limits;
    nominal_hz = analysis->nominal_hz;
    options.expected_conf_rev = analysis->expected_conf_rev;
    auto promiscuous = flag("promiscuous", bound[4]);
    auto outgoing = promiscuous ? flag("outgoing", bound[5]) : std::nullopt;
    auto hardware = outgoing ? flag("hardware_timestamps", bound[6]) : std::nullopt;
    if (!hardware) return std::nullopt;
    options.capture.multicast = *promiscuous ? io::Multicast::Promiscuous : io::Multicast::AllMulticast;
    options.capture.include_outgoing = *outgoing;
    options.capture.timestamps = *hardware ? io::Timestamps::Hardware : io::Timestamps::Software;
    auto priority = py::argument("rt_priority", bound[7], [](PyObject* o) { return py::to_optional<std::int32_t>(o, py::to_i32); });
    if (!priority) return std::nullopt;
    if (*priority) options.capture.rt_priority = **priority;
    auto cpu = py::argument("cpu", bound[8], [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
    if (!cpu) return std::nullopt;
    if (*cpu) {
        if (**cpu > io::MAX_CPU) {
            py::raise(PyExc_ValueError, "cpu must be between 0 and " + std::to_string(io::MAX_CPU));
            return std::nullopt;
        }
        options.capture.cpu = static_cast<unsigned>(**cpu);
    }
    if (!ring_options(bound[9], bound[10], bound[11], options.capture)) return std::nullopt;
    if (!watch_options(bound[12], options)) return std::nullopt;
    auto prp_b = py::argument("prp_b", bound[14], [](PyObject* o) { return py::to_optional<std::string>(o, py::to_string); });
    if (!prp_b) return std::nullopt;
    if (*prp_b && **prp_b == options.capture.interface) {
        py::raise(PyExc_ValueError, "prp_b must name another interface than iface");
        return std::nullopt;
    }
    options.prp_b = std::move(*prp_b);
    if (bound[15] != nullptr && bound[15] != Py_None) {
        options.trigger = engine::trigger_from(bound[15]);
        if (!options.trigger) return std::nullopt;
    }
    return options;
}

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Monitor.__new__()", [&]() -> PyObject* {
        PyObject* bound[NEW_PARAMS];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        double nominal_hz = 50.0;
        auto options = monitor_options(bound, nominal_hz);
        if (!options) return nullptr;
        std::unique_ptr<State> state;
        try {
            state = std::make_unique<State>(std::move(*options), nominal_hz);
        } catch (const std::length_error&) {
            py::raise(PyExc_ValueError, "analysis limits too large");
            return nullptr;
        } catch (const std::invalid_argument& refused) {
            py::raise(PyExc_ValueError, refused.what());
            return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        return py::new_owned(type, std::move(state));
    });
}

// Disposal stops the capture with the interpreter lock held (the thread never needs it).
void monitor_dealloc(PyObject* self) {
    py::free_owned<State>(self);
}

PyObject* monitor_start(PyObject* self, PyObject*) {
    return py::boundary("Monitor.start()", [&]() -> PyObject* {
        State& state = state_of(self);
        std::expected<void, io::CaptureError> started;
        {
            py::GilRelease released;
            started = state.monitor.start(released);
        }
        if (!started) {
            py::raise(PyExc_OSError, state.monitor.describe(started.error()));
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* monitor_stop(PyObject* self, PyObject*) {
    return py::boundary("Monitor.stop()", [&]() -> PyObject* {
        py::GilRelease released;
        state_of(self).monitor.stop(released);
        Py_RETURN_NONE;
    });
}

// One LAN's capture counters into `dict`.
Dict& add_stats(Dict& dict, const io::CaptureStats& stats) {
    return dict.set("frames", stats.frames)
        .set("kernel_packets", stats.kernel_packets)
        .set("kernel_drops", stats.kernel_drops)
        .set("ring_freezes", stats.ring_freezes)
        .set("link_downs", stats.link_downs)
        .set_bool("link_up", stats.link_up);
}

// PRP: LAN B's capture counters, its frames the hand-over dropped, and the
// frames of both LANs the full merge let through early; None without PRP.
Ref lan_b_to_py(const State& state) {
    const auto stats = state.monitor.stats_b();
    if (!stats) return codecs::none();
    Dict dict;
    return add_stats(dict, *stats)
        .set("handover_drops", state.monitor.lan_b_dropped())
        .set("merged_early", state.monitor.merged_early())
        .done();
}

Ref capture_to_py(const State& state) {
    const std::string failure = state.monitor.failure();
    Dict dict;
    return add_stats(dict, state.monitor.stats())
        .set("events_dropped", state.monitor.events_dropped())
        .set("failure", failure.empty() ? codecs::none()
                                        : codecs::created(PyUnicode_FromStringAndSize(
                                              failure.data(), static_cast<Py_ssize_t>(failure.size()))))
        .set("lan_b", lan_b_to_py(state))
        .done();
}

// The trigger's record per state: (fired_ns | None, commanded_ns | None).
PyObject* monitor_trigger_status(PyObject* self, PyObject*) {
    return py::boundary("Monitor.trigger_status()", [&]() -> PyObject* {
        const auto& trigger = state_of(self).trigger;
        if (!trigger) {
            py::raise(PyExc_ValueError, "the monitor has no trigger");
            return nullptr;
        }
        const auto stamp = [](std::int64_t ns) {
            return ns == io::sv_engine::SequenceTrigger::NOT_YET ? codecs::none()
                                                                 : codecs::created(PyLong_FromLongLong(ns));
        };
        Ref rows = codecs::created(PyList_New(0));
        for (std::size_t s = 0; s < trigger->size(); ++s) {
            Ref fired = stamp(trigger->fired_ns(s));
            Ref commanded = fired ? stamp(trigger->commanded_ns(s)) : Ref();
            if (!commanded) return nullptr;
            Ref row = codecs::created(PyTuple_Pack(2, fired.get(), commanded.get()));
            if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
        }
        return rows.release();
    });
}

// Per trigger condition, (stamps of the rises logged since the last call,
// rises lost so far): the log drains into Python.
PyObject* monitor_trigger_rises(PyObject* self, PyObject*) {
    return py::boundary("Monitor.trigger_rises()", [&]() -> PyObject* {
        const auto& trigger = state_of(self).trigger;
        if (!trigger) {
            py::raise(PyExc_ValueError, "the monitor has no trigger");
            return nullptr;
        }
        std::array<std::int64_t, 256> taken{};
        Ref rows = codecs::created(PyList_New(0));
        if (!rows) return nullptr;
        for (std::size_t c = 0; c < trigger->conditions(); ++c) {
            Ref stamps = codecs::created(PyList_New(0));
            if (!stamps) return nullptr;
            for (std::size_t n; (n = trigger->take_rises(c, taken)) != 0;) {
                for (std::size_t i = 0; i < n; ++i) {
                    Ref stamp = codecs::created(PyLong_FromLongLong(taken[i]));
                    if (!stamp || PyList_Append(stamps.get(), stamp.get()) < 0) return nullptr;
                }
            }
            Ref lost = codecs::created(PyLong_FromUnsignedLongLong(trigger->rises_lost(c)));
            if (!lost) return nullptr;
            Ref row = codecs::created(PyTuple_Pack(2, stamps.get(), lost.get()));
            if (!row || PyList_Append(rows.get(), row.get()) < 0) return nullptr;
        }
        return rows.release();
    });
}

PyObject* monitor_report(PyObject* self, PyObject*) {
    return py::boundary("Monitor.report()", [&]() -> PyObject* {
        State& state = state_of(self);
        bool copied;
        {
            py::GilRelease released;
            copied = state.monitor.snapshot(state.snapshot, SNAPSHOT_TIMEOUT_NS, released);
        }
        if (!copied) {
            py::raise(PyExc_RuntimeError, "the capture thread did not answer within 2 s");
            return nullptr;
        }
        Ref report = report_to_py(state.snapshot.analysis, state.nominal_hz);
        Ref capture = report ? capture_to_py(state) : Ref();
        if (!capture || PyDict_SetItemString(report.get(), "capture", capture.get()) < 0) return nullptr;
        if (state.snapshot.receiver) {
            Ref prp = prp_to_py(*state.snapshot.receiver);
            if (!prp || PyDict_SetItemString(report.get(), "prp", prp.get()) < 0) return nullptr;
        }
        return report.release();
    });
}

constexpr const char* events_params[] = {"timeout"};
constexpr py::Signature events_signature{"Monitor.events()", events_params, 0};

PyObject* monitor_events(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Monitor.events()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(events_signature, args, nargs, kwnames, bound)) return nullptr;
        double timeout = 0.0;
        if (bound[0] != nullptr) {
            auto seconds = py::argument("timeout", bound[0], py::to_f64);
            if (!seconds) return nullptr;
            if (!(*seconds >= 0.0) || *seconds > 86400.0) {
                py::raise(PyExc_ValueError, "timeout must be between 0 and 86400 seconds");
                return nullptr;
            }
            timeout = *seconds;
        }
        State& state = state_of(self);
        std::size_t count;
        {
            py::GilRelease released;
            count = state.monitor.events(state.batch, static_cast<std::int64_t>(std::llround(timeout * 1e9)), released);
        }
        Ref list = codecs::created(PyList_New(0));
        for (std::size_t i = 0; i < count; ++i) {
            Ref item = event_to_py(state.batch[i]);
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* monitor_running(PyObject* self, void*) {
    return py::boundary("Monitor.running", [&]() -> PyObject* {
        return PyBool_FromLong(state_of(self).monitor.running());
    });
}

PyObject* monitor_failure(PyObject* self, void*) {
    return py::boundary("Monitor.failure", [&]() -> PyObject* {
        const std::string failure = state_of(self).monitor.failure();
        if (failure.empty()) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(failure.data(), static_cast<Py_ssize_t>(failure.size()));
    });
}

PyMethodDef monitor_methods[] = {
    {"start", monitor_start, METH_NOARGS,
     "start($self)\n--\n\nOpen the capture socket, then capture and analyse in a thread of its own until `stop()`."},
    {"stop", monitor_stop, METH_NOARGS, "stop($self)\n--\n\nStop capturing; the report stays readable."},
    {"trigger_status", monitor_trigger_status, METH_NOARGS,
     "trigger_status($self)\n--\n\nPer sequence state, `(fired_ns | None, commanded_ns | None)`: the receive "
     "stamp of the GOOSE rise that ended it and the clock when the capture thread gave the engine its command."},
    {"trigger_rises", monitor_trigger_rises, METH_NOARGS,
     "trigger_rises($self)\n--\n\nPer trigger condition, `(stamps, lost)`: the receive stamps of its rises since "
     "the last call, oldest first, and the rises its full log could not keep so far."},
    {"report", monitor_report, METH_NOARGS,
     "report($self)\n--\n\nThe counters and figures so far as a dict, with the capture's own under \"capture\"."},
    {"events", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(monitor_events)),
     METH_FASTCALL | METH_KEYWORDS,
     "events($self, timeout=0.0)\n--\n\nThe waiting events as dicts, waiting up to `timeout` seconds for one."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef monitor_getset[] = {
    {"running", monitor_running, nullptr, "Whether the capture thread runs.", nullptr},
    {"failure", monitor_failure, nullptr, "Why the capture ended by itself, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char monitor_doc[] =
    "Monitor(iface, sv_streams=256, goose_blocks=256, nominal_hz=50.0, promiscuous=False, outgoing=False, "
    "hardware_timestamps=False, rt_priority=None, cpu=None, ring='v3', block_timeout_ms=1, coalesce_us=0, "
    "watch=None, expect_conf_rev=None, prp_b=None, trigger=None)\n"
    "--\n"
    "\n"
    "A live capture of GOOSE and SV analysed in a native thread (behind `valdrin.listen.Monitor`); with "
    "prp_b, `iface` is a PRP network's LAN A and `prp_b` its LAN B, both LANs' frames go through a receiving "
    "node's duplicate discard and the report has a \"prp\" member.\n"
    "`trigger` is `(engine, conditions, rules)`: the capture thread ends the states of the engine's\n"
    "sequence on the rise of their GOOSE conditions `(gocb_ref, member, value)`, one rule\n"
    "`(condition index | None, delay_ns)` per state.";

PyType_Slot monitor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_methods, monitor_methods},
    {Py_tp_getset, monitor_getset},
    {Py_tp_doc, const_cast<char*>(monitor_doc)},
    {0, nullptr},
};

PyType_Spec monitor_description = py::owned_layout<State>("valdrin_rt.Monitor", monitor_slots);

}  // namespace

PyObject* monitor_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, monitor_description);
}

}  // namespace valdrin::listen
