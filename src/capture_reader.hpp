// valdrin_rt.CaptureReader: a capture file (a path, or any object with a
// read(n) method, e.g. a gzip.GzipFile) read natively, handed to Python in
// batches and to the analysis without a Python call per frame.
#pragma once

#include <Python.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "capture_file.hpp"
#include "capture_file/file_reader.hpp"
#include "py.hpp"

namespace valdrin::capture_py {

// A reader's state: its source, the reader over it and what it counted.
struct ReaderState {
    std::unique_ptr<io::OctetSource> source;
    std::unique_ptr<io::CaptureFileReader> reader;
    std::uint64_t size = 0;  // the file's size, 0 when not known
    std::uint64_t cut = 0;           // records shorter than the frame on the wire (snap length)
    std::uint64_t over_snaplen = 0;  // records longer than their snap length
    std::map<std::uint32_t, std::uint64_t> other_links;  // frames of link types not read as Ethernet, by type
    std::vector<std::uint8_t> scratch;  // the Ethernet frame of a cooked record
    // The exception that ended a Python source's read(n), raised again on every later read.
    py::Ref error_type, error_value, error_traceback;
};

// One record as the reader hands it on: `data` the Ethernet frame when
// `ethernet`, else the record's own octets, which `raw` always holds.
struct Frame {
    capfile::Bytes data;
    capfile::Bytes raw;
    std::int64_t time_ns;
    bool has_time;
    bool ethernet;
    bool cut;
    std::uint32_t linktype;
};

// What next_frame() found.
enum class Next : std::uint8_t { frame, end, failed };

// Reads the next record of `state` into `out`, counting cut, over-long and
// non-Ethernet records; Next::failed with ValueError (the reader's message)
// or OSError set when the file cannot be read further.
[[nodiscard]] Next next_frame(ReaderState& state, Frame& out);

// The state of `object` when it is a valdrin_rt.CaptureReader; null with TypeError set otherwise.
[[nodiscard]] ReaderState* reader_of(PyObject* object);

// Returns the type valdrin_rt.CaptureReader (made on first use, kept for the
// life of the process), or null with an exception set.
PyObject* capture_reader_type() noexcept;

}  // namespace valdrin::capture_py
