// valdrin_rt.GoosePublisher: the GOOSE publisher of valdrin_io as a Python
// type. Binds and converts the arguments (each block a tuple), releases the
// interpreter lock around the publisher's blocking waits, and turns its
// failures into Python exceptions.

#include "goose_pub/goose_publisher.hpp"

#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "codecs.hpp"
#include "gil.hpp"
#include "goose.hpp"
#include "goose_engine/publisher.hpp"
#include "owned.hpp"
#include "publisher_binding.hpp"
#include "py.hpp"

namespace valdrin::goose_pub {
namespace {

using io::goose_engine::BlockConfig;
using io::goose_engine::Config;
using io::goose_engine::Faults;
using io::goose_engine::Publisher;
using py::Ref;

Publisher& publisher_of(PyObject* self) { return py::owned<Publisher>(self); }

// One block: (frame, min_time_ns, max_time_ns, tal_factor, fixed_tal_ms, capacity).
py::Result<BlockConfig> to_block(PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 6) {
        py::raise(PyExc_TypeError,
                  "a block is a tuple (frame, min_time_ns, max_time_ns, tal_factor, fixed_tal_ms, capacity)");
        return std::nullopt;
    }
    BlockConfig block;
    auto frame = codecs::to_bytes_view(PyTuple_GetItem(item, 0));
    if (!frame) return std::nullopt;
    block.frame.assign(frame->begin(), frame->end());
    auto min_time = py::to_i64(PyTuple_GetItem(item, 1));
    if (!min_time) return std::nullopt;
    auto max_time = py::to_i64(PyTuple_GetItem(item, 2));
    if (!max_time) return std::nullopt;
    auto factor = py::to_u32(PyTuple_GetItem(item, 3));
    if (!factor) return std::nullopt;
    auto fixed = py::to_u32(PyTuple_GetItem(item, 4));
    if (!fixed) return std::nullopt;
    auto capacity = py::to_u32(PyTuple_GetItem(item, 5));
    if (!capacity) return std::nullopt;
    block.timing = {*min_time, *max_time, *factor, *fixed};
    block.capacity = *capacity;
    return block;
}

constexpr const char* new_params[] = {"iface", "blocks", "rt_priority", "cpu", "prp_b"};
constexpr py::Signature new_signature{"GoosePublisher.__new__()", new_params, 2};

PyObject* publisher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("GoosePublisher.__new__()", [&]() -> PyObject* {
        PyObject* bound[std::size(new_params)];
        if (!py::bind(new_signature, args, kwargs, bound)) return nullptr;
        Config config;
        auto iface = py::argument("iface", bound[0], py::to_string);
        if (!iface) return nullptr;
        config.iface = std::move(*iface);
        auto blocks = py::argument("blocks", bound[1], [](PyObject* o) { return py::to_vector<BlockConfig>(o, to_block); });
        if (!blocks) return nullptr;
        config.blocks = std::move(*blocks);
        auto priority = py::argument("rt_priority", bound[2], [](PyObject* o) {
            return py::to_optional<std::int32_t>(o, py::to_i32);
        });
        if (!priority) return nullptr;
        config.rt_priority = *priority;
        auto cpu = py::argument("cpu", bound[3], [](PyObject* o) { return py::to_optional<std::uint64_t>(o, py::to_u64); });
        if (!cpu) return nullptr;
        config.cpu = *cpu;
        auto prp_b = py::argument("prp_b", bound[4], [](PyObject* o) { return py::to_optional<std::string>(o, py::to_string); });
        if (!prp_b) return nullptr;
        if (*prp_b && **prp_b == config.iface) {
            py::raise(PyExc_ValueError, "prp_b must name another interface than iface");
            return nullptr;
        }
        config.prp_iface_b = std::move(*prp_b);
        auto created = Publisher::create(std::move(config));
        if (!created) {
            py::raise(PyExc_ValueError, created.error().text);
            return nullptr;
        }
        return py::new_owned(type, std::move(*created));
    });
}

PyObject* publisher_start(PyObject* self, PyObject*) {
    return publisher_binding::start<Publisher>("GoosePublisher.start()", self);
}

PyObject* publisher_stop(PyObject* self, PyObject*) {
    return publisher_binding::stop<Publisher>("GoosePublisher.stop()", self);
}

PyObject* publisher_stats(PyObject* self, PyObject*) {
    return publisher_binding::stats<Publisher>("GoosePublisher.stats()", self);
}

py::Result<std::size_t> block_index(PyObject* self, PyObject* object) {
    auto index = py::argument("block", object, py::to_u64);
    if (!index) return std::nullopt;
    if (*index >= publisher_of(self).blocks()) {
        py::raise(PyExc_IndexError, "no such control block");
        return std::nullopt;
    }
    return static_cast<std::size_t>(*index);
}

constexpr const char* publish_params[] = {"block", "pdu"};
constexpr py::Signature publish_signature{"GoosePublisher.publish()", publish_params, 2};

// publish(block, pdu): the allData of the encoded PDU `pdu` (bytes) becomes
// the block's new state.
PyObject* publisher_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("GoosePublisher.publish()", [&]() -> PyObject* {
        PyObject* bound[2];
        if (!py::bind(publish_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = block_index(self, bound[0]);
        if (!index) return nullptr;
        auto octets = py::argument("pdu", bound[1], codecs::to_bytes_view);
        if (!octets) return nullptr;
        auto pdu = goose::decode_pdu(*octets);
        if (!pdu) {
            ber::Text text;
            goose::describe(pdu.error(), text);
            py::raise(PyExc_ValueError, text.view());
            return nullptr;
        }
        if (pdu->entries > UINT32_MAX) {
            py::raise(PyExc_ValueError, "too many values");
            return nullptr;
        }
        auto published = publisher_of(self).publish(*index, pdu->all_data, static_cast<std::uint32_t>(pdu->entries));
        if (!published) {
            py::raise(PyExc_ValueError, io::goose_engine::describe(published.error()));
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

constexpr const char* last_change_params[] = {"block"};
constexpr py::Signature last_change_signature{"GoosePublisher.last_change()", last_change_params, 1};

// last_change(block): (st_num, sent_ns) of the block's last state change
// whose first frame went to the kernel, None before the first.
PyObject* publisher_last_change(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("GoosePublisher.last_change()", [&]() -> PyObject* {
        PyObject* bound[1];
        if (!py::bind(last_change_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = block_index(self, bound[0]);
        if (!index) return nullptr;
        const auto change = publisher_of(self).last_change(*index);
        if (!change) Py_RETURN_NONE;
        return Py_BuildValue("(kL)", static_cast<unsigned long>(change->st_num),
                             static_cast<long long>(change->sent_ns));
    });
}

constexpr const char* fault_params[] = {"block", "knob", "value"};
constexpr py::Signature fault_signature{"GoosePublisher.fault()", fault_params, 3};

// fault(block, knob, value): sets one fault knob of a block (see faults.hpp):
// skip_sq, repeat, old_st (counts), silent_ns (from now), wrong_conf_rev,
// simulation, nds_com, wrong_type (0 or 1); with PRP prp_drop_a, prp_drop_b,
// prp_repeat_seq (counts), prp_loss_a, prp_loss_b (percent), prp_delay_a,
// prp_delay_b (ns), prp_wrong_lan, prp_bad_size (0 or 1).
PyObject* publisher_fault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("GoosePublisher.fault()", [&]() -> PyObject* {
        PyObject* bound[3];
        if (!py::bind(fault_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = block_index(self, bound[0]);
        if (!index) return nullptr;
        auto knob = py::argument("knob", bound[1], py::to_string);
        if (!knob) return nullptr;
        auto value = py::argument("value", bound[2], py::to_i64);
        if (!value) return nullptr;
        Faults& faults = publisher_of(self).faults(*index);
        const std::string_view name = *knob;
        const auto count = [&](std::atomic<std::uint32_t>& knob_value) {
            if (*value < 0 || *value > UINT32_MAX) return false;
            knob_value.store(static_cast<std::uint32_t>(*value));
            return true;
        };
        bool ok = true;
        if (name == "skip_sq") ok = count(faults.skip_sq);
        else if (name == "repeat") ok = count(faults.repeat);
        else if (name == "old_st") ok = count(faults.old_st);
        else if (name == "silent_ns") {
            ok = *value >= 0 && *value <= goose::schedule::MAX_INTERVAL_NS;
            if (ok) publisher_of(self).silence(*index, *value);
        } else if (name == "wrong_conf_rev") faults.wrong_conf_rev.store(*value != 0);
        else if (name == "simulation") faults.simulation.store(*value != 0);
        else if (name == "nds_com") faults.nds_com.store(*value != 0);
        else if (name == "wrong_type") faults.wrong_type.store(*value != 0);
        else if (name == "prp_drop_a") ok = count(faults.prp.drop[0]);
        else if (name == "prp_drop_b") ok = count(faults.prp.drop[1]);
        else if (name == "prp_loss_a" || name == "prp_loss_b") {
            ok = *value >= 0 && *value <= 100;
            if (ok) faults.prp.loss[name == "prp_loss_a" ? 0 : 1].store(static_cast<std::uint32_t>(*value));
        } else if (name == "prp_delay_a" || name == "prp_delay_b") {
            ok = *value >= 0 && *value <= io::MAX_PRP_DELAY_NS;
            if (ok) faults.prp.delay_ns[name == "prp_delay_a" ? 0 : 1].store(*value);
        } else if (name == "prp_repeat_seq") ok = count(faults.prp.repeat_seq);
        else if (name == "prp_wrong_lan") faults.prp.wrong_lan.store(*value != 0);
        else if (name == "prp_bad_size") faults.prp.bad_size.store(*value != 0);
        else {
            py::raise(PyExc_ValueError, "no such fault knob: " + std::string(name));
            return nullptr;
        }
        if (!ok) {
            py::raise(PyExc_ValueError, "fault value out of range");
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

constexpr const char* render_params[] = {"block", "pdu", "st_num", "sq_num", "k", "change_ns"};
constexpr py::Signature render_signature{"GoosePublisher.render()", render_params, 6};

// render(block, pdu, st_num, sq_num, k, change_ns): (time_ns, frame) of
// frame k after a change at change_ns, as the thread would send it, with the
// allData of the encoded PDU `pdu`.
PyObject* publisher_render(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("GoosePublisher.render()", [&]() -> PyObject* {
        PyObject* bound[6];
        if (!py::bind(render_signature, args, nargs, kwnames, bound)) return nullptr;
        auto index = block_index(self, bound[0]);
        if (!index) return nullptr;
        auto octets = py::argument("pdu", bound[1], codecs::to_bytes_view);
        if (!octets) return nullptr;
        auto st_num = py::argument("st_num", bound[2], py::to_u32);
        if (!st_num) return nullptr;
        auto sq_num = py::argument("sq_num", bound[3], py::to_u32);
        if (!sq_num) return nullptr;
        auto k = py::argument("k", bound[4], py::to_u64);
        if (!k) return nullptr;
        auto change_ns = py::argument("change_ns", bound[5], py::to_i64);
        if (!change_ns) return nullptr;
        auto pdu = goose::decode_pdu(*octets);
        if (!pdu || pdu->entries > UINT32_MAX) {
            py::raise(PyExc_ValueError, "not a GOOSE PDU with at most 2^32 - 1 values");
            return nullptr;
        }
        namespace sch = goose::schedule;
        const Publisher& publisher = publisher_of(self);
        const sch::Template& tmpl = publisher.block_template(*index);
        const sch::Timing& timing = publisher.block_timing(*index);
        const sch::Varying varying{.tal_ms = sch::tal_ms(timing, *k),
                                   .t = sch::utc_of(*change_ns, tmpl.varying.t.quality),
                                   .st_num = *st_num,
                                   .sq_num = *sq_num,
                                   .num_dat_set_entries = static_cast<std::uint32_t>(pdu->entries),
                                   .all_data = pdu->all_data};
        auto size = sch::frame_size(tmpl.fixed, varying);
        if (!size) {
            ber::Text text;
            goose::describe(size.error(), text);
            py::raise(PyExc_ValueError, text.view());
            return nullptr;
        }
        Ref frame = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
        if (!frame) return nullptr;
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
        if (data == nullptr) return nullptr;
        if (!sch::write_frame(tmpl.fixed, varying, {data, *size})) py::fault("the frame did not fit its measured size");
        const __int128 at = static_cast<__int128>(*change_ns) + sch::offset_ns(timing, *k);
        Ref time = Ref::steal(PyLong_FromLongLong(at > INT64_MAX ? INT64_MAX : static_cast<long long>(at)));
        if (!time) return nullptr;
        return PyTuple_Pack(2, time.get(), frame.get());
    });
}

void publisher_dealloc(PyObject* self) { publisher_binding::dealloc<Publisher>("GoosePublisher.__del__()", self); }

PyMethodDef publisher_methods[] = {
    {"start", publisher_start, METH_NOARGS,
     "start($self)\n--\n\nOpen the socket and send every block's state, then its retransmissions, until `stop()`."},
    {"stop", publisher_stop, METH_NOARGS, "stop($self)\n--\n\n"},
    {"stats", publisher_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {"publish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(publisher_publish)),
     METH_FASTCALL | METH_KEYWORDS,
     "publish($self, block, pdu)\n--\n\nA state change of block `block`: the allData of the encoded PDU `pdu`."},
    {"last_change", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(publisher_last_change)),
     METH_FASTCALL | METH_KEYWORDS,
     "last_change($self, block)\n--\n\n`(st_num, sent_ns)` of block `block`'s last state change whose first frame "
     "was handed to the kernel (the clock just before the send call), None before the first."},
    {"fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(publisher_fault)),
     METH_FASTCALL | METH_KEYWORDS,
     "fault($self, block, knob, value)\n--\n\nSet fault knob `knob` of block `block` to `value`."},
    {"render", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(publisher_render)),
     METH_FASTCALL | METH_KEYWORDS,
     "render($self, block, pdu, st_num, sq_num, k, change_ns)\n--\n\n"
     "`(time_ns, frame)` of frame `k` after a change at `change_ns`, as the thread sends it (for pcap files)."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char publisher_doc[] =
    "GoosePublisher(iface, blocks, rt_priority=None, cpu=None, prp_b=None)\n"
    "--\n"
    "\n"
    "The native GOOSE publisher behind `valdrin.goose.Publisher`; each block a tuple\n"
    "(frame, min_time_ns, max_time_ns, tal_factor, fixed_tal_ms, capacity). With `prp_b`\n"
    "(LAN B's interface) every frame goes out on `iface` and `prp_b` with its PRP trailer.";

PyType_Slot publisher_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(publisher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(publisher_dealloc)},
    {Py_tp_methods, publisher_methods},
    {Py_tp_doc, const_cast<char*>(publisher_doc)},
    {0, nullptr},
};

PyType_Spec publisher_description = py::owned_layout<Publisher>("valdrin_rt.GoosePublisher", publisher_slots);

}  // namespace

PyObject* goose_publisher_type() noexcept {
    static PyObject* type = nullptr;
    return py::type_once(type, publisher_description);
}

}  // namespace valdrin::goose_pub
