// valdrin_rt.Analyzer: the core's stream analysis of frames handed in from
// Python (capture files), with its report and its events as Python objects.

#include "listen.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "analysis.hpp"
#include "capture_reader.hpp"
#include "codecs.hpp"
#include "owned.hpp"
#include "prp_receiver.hpp"
#include "prp_report.hpp"
#include "report.hpp"
#include "stored_event.hpp"

namespace valdrin::listen {
namespace {

using analysis::StoredEvent;
using py::Ref;

// Keeps every event until events() takes them, at most `limit`; the rest
// are counted as dropped.
class EventList final : public analysis::EventSink {
public:
    explicit EventList(std::size_t limit) : limit_(limit) {}
    void on(const analysis::Event& event) noexcept override {
        if (events_.size() >= limit_) {
            ++dropped_;
            return;
        }
        try {
            events_.emplace_back();
        } catch (...) {  // out of memory: counted like a full list
            ++dropped_;
            return;
        }
        StoredEvent::store(event, events_.back());
    }
    std::vector<StoredEvent>& events() noexcept { return events_; }
    std::uint64_t dropped() const noexcept { return dropped_; }

private:
    std::size_t limit_;
    std::vector<StoredEvent> events_;
    std::uint64_t dropped_ = 0;
};

// A record read from one of two files but not yet analysed: the one of
// the other file may come first.
struct Pending {
    capture_py::Frame frame{};
    std::int64_t t_ns = 0;
    bool waiting = false;  // `frame` holds a record
    bool ended = false;    // its reader has no more
};

struct State {
    State(const Options& options, bool redundant)
        : analyzer(options.limits), snapshot(options.limits), nominal_hz(options.nominal_hz),
          events(options.max_events) {
        analyzer.expect_conf_rev(options.expected_conf_rev);
        if (redundant) prp.emplace();
    }
    // Analyses `frame`: with PRP, through the receiver (duplicates
    // discarded, trailers taken off) as received on `lan`.
    void add(ber::Bytes frame, std::int64_t t_ns, prp::Lan lan) noexcept {
        if (!prp) {
            analyzer.add(frame, t_ns, events);
            return;
        }
        if (auto passed = prp->add(frame, lan, t_ns)) analyzer.add(*passed, t_ns, events);
    }
    analysis::Analyzer analyzer;
    analysis::Snapshot snapshot;
    double nominal_hz;
    EventList events;
    std::optional<std::int64_t> latest_ns;  // the latest time of the frames read from files
    std::optional<prp::Receiver> prp;       // a PRP analysis: the receiving node
    std::array<Pending, 2> pending{};       // of LAN A's and LAN B's file
};

State& state_of(PyObject* self) { return py::owned<State>(self); }

constexpr const char* new_params[] = {"sv_streams", "goose_blocks", "nominal_hz", "max_events", "expect_conf_rev",
                                      "prp"};
constexpr py::Signature new_signature{"Analyzer.__new__()", new_params, 0};

PyObject* analyzer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("Analyzer.__new__()", [&]() -> PyObject* {
        PyObject* bound[6];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        PyObject* const analysis_options[5] = {bound[0], bound[1], bound[2], bound[3], bound[4]};
        auto options = options_from(analysis_options);
        if (!options) return nullptr;
        const int redundant = bound[5] == nullptr ? 0 : PyObject_IsTrue(bound[5]);
        if (redundant < 0) return nullptr;
        std::unique_ptr<State> state;
        try {
            state = std::make_unique<State>(*options, redundant != 0);
        } catch (const std::length_error&) {
            py::raise(PyExc_ValueError, "analysis limits too large");
            return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        return py::new_owned(type, std::move(state));
    });
}

void analyzer_dealloc(PyObject* self) {
    py::free_owned<State>(self);
}

constexpr const char* add_params[] = {"frame", "time_ns", "lan"};
constexpr py::Signature add_signature{"Analyzer.add()", add_params, 2};

PyObject* analyzer_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Analyzer.add()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(add_signature, args, nargs, kwnames, bound)) return nullptr;
        auto frame = py::argument("frame", bound[0], codecs::to_bytes_view);
        if (!frame) return nullptr;
        auto time_ns = py::argument("time_ns", bound[1], py::to_i64);
        if (!time_ns) return nullptr;
        prp::Lan lan = prp::Lan::A;
        if (bound[2] != nullptr && bound[2] != Py_None) {
            auto named = py::argument("lan", bound[2], lan_from);
            if (!named) return nullptr;
            lan = *named;
        }
        State& state = state_of(self);
        state.add(*frame, *time_ns, lan);
        Py_RETURN_NONE;
    });
}

constexpr const char* read_params[] = {"reader", "frames", "reader_b"};
constexpr py::Signature read_signature{"Analyzer.read()", read_params, 2};

// Fills `pending` from `reader` when it holds no record: the next Ethernet
// record and its time (a Simple Packet Block's: the latest before);
// Next::failed with the reader's exception set.
capture_py::Next fill(Pending& pending, capture_py::ReaderState& reader, const State& state) {
    while (!pending.waiting && !pending.ended) {
        const capture_py::Next next = capture_py::next_frame(reader, pending.frame);
        if (next == capture_py::Next::failed) return next;
        if (next == capture_py::Next::end) {
            pending.ended = true;
        } else if (pending.frame.ethernet) {  // others are counted by the reader, by link type
            pending.t_ns = pending.frame.has_time ? pending.frame.time_ns : state.latest_ns.value_or(0);
            pending.waiting = true;
        }
    }
    return capture_py::Next::frame;
}

PyObject* analyzer_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("Analyzer.read()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(read_signature, args, nargs, kwnames, bound)) return nullptr;
        std::array<capture_py::ReaderState*, 2> readers{capture_py::reader_of(bound[0]), nullptr};
        if (readers[0] == nullptr) {
            py::prefix_argument_error("reader");
            return nullptr;
        }
        auto frames = py::argument("frames", bound[1], py::to_u32);
        if (!frames) return nullptr;
        State& state = state_of(self);
        if (bound[2] != nullptr && bound[2] != Py_None) {
            readers[1] = capture_py::reader_of(bound[2]);
            if (readers[1] == nullptr) {
                py::prefix_argument_error("reader_b");
                return nullptr;
            }
            if (!state.prp) {
                py::raise(PyExc_ValueError, "reader_b needs an Analyzer made with prp=True");
                return nullptr;
            }
        } else {
            state.pending[1].ended = true;
        }
        std::uint32_t count = 0;
        for (; count < *frames; ++count) {
            bool failed = false;
            for (std::size_t l = 0; l < 2; ++l) {
                if (readers[l] != nullptr && fill(state.pending[l], *readers[l], state) == capture_py::Next::failed) {
                    failed = true;
                }
            }
            if (failed) {
                // The frames before the fault are analysed; the next call raises it again.
                if (count > 0) {
                    PyErr_Clear();
                    break;
                }
                return nullptr;
            }
            // The earlier of the two waiting records; A's on a tie.
            const auto& [a, b] = state.pending;
            if (!a.waiting && !b.waiting) break;
            const std::size_t l = !a.waiting || (b.waiting && b.t_ns < a.t_ns) ? 1 : 0;
            Pending& next = state.pending[l];
            next.waiting = false;
            state.add(next.frame.data, next.t_ns, l == 0 ? prp::Lan::A : prp::Lan::B);
            state.latest_ns = std::max(state.latest_ns.value_or(next.t_ns), next.t_ns);
        }
        return codecs::int_of(count).release();
    });
}

PyObject* analyzer_latest(PyObject* self, void*) {
    return py::boundary("Analyzer.latest_ns", [&]() -> PyObject* {
        const std::optional<std::int64_t> latest = state_of(self).latest_ns;
        return (latest ? py::Ref::steal(PyLong_FromLongLong(*latest)) : codecs::none()).release();
    });
}

// tick(now_ns) and finish(end_ns): one int64 argument each.
template <bool Finish>
PyObject* analyzer_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* params[] = {Finish ? "end_ns" : "now_ns"};
    static constexpr py::Signature signature{Finish ? "Analyzer.finish()" : "Analyzer.tick()", params, 1};
    return py::boundary(signature.name, [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(signature, args, nargs, kwnames, bound)) return nullptr;
        auto at = py::argument(params[0], bound[0], py::to_i64);
        if (!at) return nullptr;
        State& state = state_of(self);
        if constexpr (Finish) {
            if (state.prp) state.prp->finish();
            state.analyzer.finish(*at, state.events);
        } else {
            if (state.prp) state.prp->tick(*at);
            state.analyzer.tick(*at, state.events);
        }
        Py_RETURN_NONE;
    });
}

PyObject* analyzer_report(PyObject* self, PyObject*) {
    return py::boundary("Analyzer.report()", [&]() -> PyObject* {
        State& state = state_of(self);
        py::Ref report = report_to_py(state.analyzer.live(), state.nominal_hz);
        if (report && state.prp) {
            py::Ref prp = prp_to_py(*state.prp);
            if (!prp || PyDict_SetItemString(report.get(), "prp", prp.get()) < 0) return nullptr;
        }
        return report.release();
    });
}

PyObject* analyzer_events(PyObject* self, PyObject*) {
    return py::boundary("Analyzer.events()", [&]() -> PyObject* {
        State& state = state_of(self);
        std::vector<StoredEvent>& stored = state.events.events();
        Ref list = codecs::created(PyList_New(0));
        for (const StoredEvent& event : stored) {
            Ref item = event_to_py(event);
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        stored.clear();
        return list.release();
    });
}

PyObject* analyzer_dropped(PyObject* self, void*) {
    return py::boundary("Analyzer.events_dropped", [&]() -> PyObject* {
        return codecs::int_of(state_of(self).events.dropped()).release();
    });
}

PyMethodDef analyzer_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyzer_add)),
     METH_FASTCALL | METH_KEYWORDS,
     "add($self, frame, time_ns, lan=None)\n--\n\nAnalyse one Ethernet frame received at `time_ns` (ns since the "
     "epoch); with prp=True through the receiving node, as received on `lan` ('A', the default, or 'B')."},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyzer_read)),
     METH_FASTCALL | METH_KEYWORDS,
     "read($self, reader, frames, reader_b=None)\n--\n\nAnalyse at most `frames` records of a CaptureReader; returns "
     "how many were read (0 at the end). With `reader_b` (prp=True), the records of LAN A's and LAN B's capture "
     "merged in time order. Frames of link types other than Ethernet and Linux cooked captures are only "
     "counted by the reader. ValueError for a malformed file, once the frames before the fault are analysed."},
    {"tick", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyzer_time<false>)),
     METH_FASTCALL | METH_KEYWORDS,
     "tick($self, now_ns)\n--\n\nCount the GOOSE timeAllowedToLive expiries up to `now_ns`."},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyzer_time<true>)),
     METH_FASTCALL | METH_KEYWORDS,
     "finish($self, end_ns)\n--\n\nThe input ended at `end_ns`: count the expiries up to it."},
    {"report", analyzer_report, METH_NOARGS, "report($self)\n--\n\nThe counters and figures so far, as a dict."},
    {"events", analyzer_events, METH_NOARGS, "events($self)\n--\n\nThe events since the last call, as dicts."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef analyzer_getset[] = {
    {"latest_ns", analyzer_latest, nullptr, "The latest time of the frames read(), None before the first.", nullptr},
    {"events_dropped", analyzer_dropped, nullptr, "Events not kept because too many were waiting.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char analyzer_doc[] =
    "Analyzer(sv_streams=256, goose_blocks=256, nominal_hz=50.0, max_events=100000, expect_conf_rev=None, prp=False)\n"
    "--\n"
    "\n"
    "Stream analysis of GOOSE and SV frames in arrival order (behind `valdrin.listen.analyze`); with prp=True "
    "the frames of two LANs go through a PRP receiving node first and the report has a \"prp\" member.";

PyType_Slot analyzer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(analyzer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(analyzer_dealloc)},
    {Py_tp_methods, analyzer_methods},
    {Py_tp_getset, analyzer_getset},
    {Py_tp_doc, const_cast<char*>(analyzer_doc)},
    {0, nullptr},
};

PyType_Spec analyzer_description = py::owned_layout<State>("valdrin_rt.Analyzer", analyzer_slots);

}  // namespace

PyObject* analyzer_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, analyzer_description);
}

}  // namespace valdrin::listen
