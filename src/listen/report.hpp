// Analysis results as Python objects: a snapshot's report dictionary and
// the dictionary of one event, shared by valdrin_rt.Analyzer and Monitor.
#pragma once

#include <Python.h>

#include <cstddef>

#include "analysis.hpp"
#include "codecs.hpp"
#include "py.hpp"
#include "stored_event.hpp"

namespace valdrin::listen {

// The report of `snapshot`: totals, malformed reasons, "sv" and "goose"
// lists in order of first appearance, with the figures derived for a
// nominal frequency of `nominal_hz`; none with an exception set on failure.
py::Ref report_to_py(const analysis::Snapshot& snapshot, double nominal_hz);

// The dictionary of one event: "kind" and "time_ns", the stream's or
// block's key, and the members of its kind; none with an exception set.
py::Ref event_to_py(const analysis::StoredEvent& stored);

// "aa:bb:cc:dd:ee:ff", lower case; none with an exception set on failure.
py::Ref mac_of(const ethernet::Mac& mac);

// A list of `count` items made by `item(i)`; none with an exception set
// when one fails.
template <class Item>
py::Ref list_of(std::size_t count, Item&& item) {
    py::Ref list = codecs::created(PyList_New(0));
    for (std::size_t i = 0; i < count; ++i) {
        py::Ref value = item(i);
        if (!value || PyList_Append(list.get(), value.get()) < 0) return {};
    }
    return list;
}

// A dictionary builder: set() adds items until one fails; done() gives the
// dictionary, or none with the exception of the first failure.
class Dict {
public:
    Dict();
    Dict& set(const char* key, py::Ref value);
    Dict& set(const char* key, std::uint64_t value);
    Dict& set_int(const char* key, std::int64_t value);
    Dict& set_bool(const char* key, bool value);
    Dict& set_float(const char* key, double value);  // NaN becomes None
    py::Ref done();

private:
    py::Ref dict_;
    bool ok_;
};

}  // namespace valdrin::listen
