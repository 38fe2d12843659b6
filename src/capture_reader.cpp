#include "capture_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "codecs.hpp"
#include "owned.hpp"
#include "py.hpp"

namespace valdrin::capture_py {
namespace {

using py::Ref;

// Octets from a Python object's read(n); a Python exception ends the
// reading with EIO and is kept in the reader's state, to be raised.
class PythonSource final : public io::OctetSource {
public:
    PythonSource(Ref file, ReaderState& state) : file_(std::move(file)), state_(state) {}
    std::int64_t read(std::span<std::uint8_t> into) noexcept override {
        Ref chunk = Ref::steal(PyObject_CallMethod(file_.get(), "read", "n", static_cast<Py_ssize_t>(into.size())));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!chunk || PyBytes_AsStringAndSize(chunk.get(), &data, &size) < 0) {
            PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
            PyErr_Fetch(&type, &value, &traceback);
            state_.error_type = Ref::steal(type);
            state_.error_value = Ref::steal(value);
            state_.error_traceback = Ref::steal(traceback);
            return -EIO;
        }
        const std::size_t n = std::min(into.size(), static_cast<std::size_t>(size));
        std::memcpy(into.data(), data, n);
        return static_cast<std::int64_t>(n);
    }

private:
    Ref file_;
    ReaderState& state_;
};

ReaderState& state_of(PyObject* self) { return py::owned<ReaderState>(self); }

PyObject* reader_type_object = nullptr;

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary("CaptureReader.__new__()", [&]() -> PyObject* {
        static constexpr const char* params[] = {"source"};
        static constexpr py::Signature signature{"CaptureReader.__new__()", params, 1};
        PyObject* bound[1];
        if (!py::bind(signature, args, kwargs, bound)) return nullptr;
        auto state = std::make_unique<ReaderState>();
        if (PyObject_HasAttrString(bound[0], "read")) {
            state->source = std::make_unique<PythonSource>(Ref::borrow(bound[0]), *state);
        } else {
            Ref path = Ref::steal(PyOS_FSPath(bound[0]));
            if (!path) return nullptr;
            PyObject* encoded = nullptr;
            if (!PyUnicode_FSConverter(path.get(), &encoded)) return nullptr;
            Ref owned_encoded = Ref::steal(encoded);
            auto file = io::FileSource::open(PyBytes_AsString(encoded));
            if (!file) {
                errno = file.error();
                return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.get());
            }
            state->size = (*file)->size();
            state->source = std::move(*file);
        }
        state->reader = std::make_unique<io::CaptureFileReader>(*state->source);
        return py::new_owned(type, std::move(state));
    });
}

void reader_dealloc(PyObject* self) { py::free_owned<ReaderState>(self); }

// read(frames, ethernet=False): a list of at most `frames` (time_ns, linktype, data) tuples.
PyObject* reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::boundary("CaptureReader.read()", [&]() -> PyObject* {
        static constexpr const char* params[] = {"frames", "ethernet"};
        static constexpr py::Signature signature{"CaptureReader.read()", params, 1};
        PyObject* bound[2];
        if (!py::bind(signature, args, nargs, kwnames, bound)) return nullptr;
        auto frames = py::argument("frames", bound[0], py::to_u32);
        if (!frames) return nullptr;
        const bool ethernet = bound[1] != nullptr && PyObject_IsTrue(bound[1]) == 1;
        ReaderState& state = state_of(self);
        Ref list = codecs::created(PyList_New(0));
        Frame frame{};
        for (std::uint32_t i = 0; i < *frames; ++i) {
            const Next next = next_frame(state, frame);
            if (next == Next::end) break;
            if (next == Next::failed) {
                // The frames before the fault go out first; the next call raises it again (the reader keeps it).
                if (PyList_Size(list.get()) > 0) {
                    PyErr_Clear();
                    break;
                }
                return nullptr;
            }
            const bool as_ethernet = ethernet && frame.ethernet;
            Ref time = frame.has_time ? Ref::steal(PyLong_FromLongLong(frame.time_ns)) : codecs::none();
            Ref data = codecs::bytes_of(as_ethernet ? frame.data : frame.raw);
            Ref item = Ref::steal(Py_BuildValue("(OIO)", time.get(),
                                                as_ethernet ? capfile::LINKTYPE_ETHERNET : frame.linktype, data.get()));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* reader_offset(PyObject* self, void*) {
    return py::boundary("CaptureReader.offset", [&]() -> PyObject* {
        return codecs::int_of(state_of(self).reader->parser().offset()).release();
    });
}

PyObject* reader_size(PyObject* self, void*) {
    return py::boundary("CaptureReader.size", [&]() -> PyObject* {
        const std::uint64_t size = state_of(self).size;
        return (size ? codecs::int_of(size) : codecs::none()).release();
    });
}

PyObject* reader_counts(PyObject* self, void*) {
    return py::boundary("CaptureReader.counts", [&]() -> PyObject* {
        const ReaderState& state = state_of(self);
        Ref links = codecs::created(PyDict_New());
        for (const auto& [linktype, count] : state.other_links) {
            Ref key = codecs::int_of(linktype);
            Ref value = codecs::int_of(count);
            if (PyDict_SetItem(links.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return Py_BuildValue("{sKsKsKsO}", "frames", static_cast<unsigned long long>(state.reader->parser().frames()),
                             "cut", static_cast<unsigned long long>(state.cut), "over_snaplen",
                             static_cast<unsigned long long>(state.over_snaplen), "other_links", links.get());
    });
}

PyObject* link_name_of(PyObject*, PyObject* arg) {
    return py::boundary("link_name()", [&]() -> PyObject* {
        auto linktype = py::argument("linktype", arg, py::to_u32);
        if (!linktype) return nullptr;
        const std::string_view name = capfile::link_name(*linktype);
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read)), METH_FASTCALL | METH_KEYWORDS,
     "read($self, frames, ethernet=False)\n--\n\n"
     "At most `frames` records as (time_ns or None, linktype, data) tuples; [] at the end. With `ethernet`, "
     "Linux cooked captures come as Ethernet frames (linktype 1). ValueError (one line) for a malformed "
     "file, raised once the records before the fault have been returned."},
    {"link_name", link_name_of, METH_O | METH_STATIC,
     "link_name(linktype)\n--\n\nThe name of a LINKTYPE_ number, '' when not known."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"offset", reader_offset, nullptr, "Octets of the file read so far.", nullptr},
    {"size", reader_size, nullptr, "The file's size in octets, None when not known (a stream).", nullptr},
    {"counts", reader_counts, nullptr,
     "Records read (frames), cut by the snap length (cut), longer than it (over_snaplen), and frames of "
     "link types not read as Ethernet by type (other_links).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char reader_doc[] =
    "CaptureReader(source)\n"
    "--\n"
    "\n"
    "A classic pcap or pcapng capture read in bounded chunks: `source` is a path or an object with a read(n) "
    "method. OSError when the path cannot be opened or is a directory.";

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>(reader_doc)},
    {0, nullptr},
};

PyType_Spec reader_description = py::owned_layout<ReaderState>("valdrin_rt.CaptureReader", reader_slots);

}  // namespace

Next next_frame(ReaderState& state, Frame& out) {
    io::CaptureFileReader& reader = *state.reader;
    switch (reader.next()) {
    case io::CaptureFileReader::Next::end: return Next::end;
    case io::CaptureFileReader::Next::error:
        py::raise(PyExc_ValueError, capfile::describe(reader.parser().error()));
        return Next::failed;
    case io::CaptureFileReader::Next::os_error:
        if (state.error_type) {
            // PyErr_Restore takes over references: it gets new ones, and the next read raises the same.
            PyErr_Restore(Ref(state.error_type).release(), Ref(state.error_value).release(),
                          Ref(state.error_traceback).release());
        } else {
            errno = reader.os_error();
            PyErr_SetFromErrno(PyExc_OSError);
        }
        return Next::failed;
    case io::CaptureFileReader::Next::record: break;
    }
    const capfile::Record& record = reader.record();
    out.cut = record.original_length > record.data.size();
    state.cut += out.cut;
    state.over_snaplen += record.over_snaplen;
    out.time_ns = record.time_ns;
    out.has_time = record.has_time;
    out.linktype = record.linktype;
    out.raw = record.data;
    if (auto frame = capfile::ethernet_frame(record, state.scratch)) {
        out.data = *frame;
        out.ethernet = true;
    } else {
        out.data = record.data;
        out.ethernet = false;
        ++state.other_links[record.linktype];
    }
    return Next::frame;
}

ReaderState* reader_of(PyObject* object) {
    if (reader_type_object == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(reader_type_object))) {
        py::raise_cannot_convert(object, "CaptureReader");
        return nullptr;
    }
    return &state_of(object);
}

PyObject* capture_reader_type() noexcept { return py::type_once(reader_type_object, reader_description); }

}  // namespace valdrin::capture_py
