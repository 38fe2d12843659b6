// Engine's arguments to Config: the stream dictionaries, their waves, fault
// and playback, read into native values and checked for consistency.

#include "config_from.hpp"

#include "prp.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "py.hpp"

namespace valdrin::engine {
namespace {

using io::sv_engine::Config;
using io::sv_engine::Fault;
using io::sv_engine::Playback;
using io::sv_engine::Stream;
using io::sv_engine::Wave;
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

// --- The constructor's other arguments ---------------------------------------

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

}  // namespace

std::shared_ptr<Config> config_from(std::span<PyObject*> args) {
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
    auto periods = py::argument("periods", args[7], optional_u64);
    if (!periods) return nullptr;
    auto prp_b = py::argument("prp_b", args.size() > 8 && args[8] != nullptr ? args[8] : Py_None,
                              [](PyObject* o) { return py::to_optional<std::string>(o, py::to_string); });
    if (!prp_b) return nullptr;

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
    config->periods = *periods;
    config->prp_iface_b = std::move(*prp_b);
    if (config->prp_iface_b) {
        // Every frame must take a trailer: checked here, not on the transmit thread.
        for (const Stream& stream : config->streams) {
            const auto size = prp::trailed_size(stream.frame.size(), prp::link_header_size(stream.frame));
            if (!size) {
                raise_value_error("a PRP trailer does not fit: " + std::string(prp::message(size.error())));
                return nullptr;
            }
        }
    }
    return config;
}

}  // namespace valdrin::engine
