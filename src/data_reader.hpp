// The Data objects of valdrin.data (BoolData ... RawData, StructureData and
// ArrayData with their members) read into the core's flat pre-order Data
// list (a structure or array before its members), owning their payloads.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "data.hpp"
#include "object_reading.hpp"
#include "py.hpp"

namespace valdrin::codecs {

// The owned form of a list of values: the records, their payload octets in
// one arena, and where each payload lies. Records hold no views until
// borrow(), since the arena may move while it grows.
class DataReader {
public:
    DataReader();

    // Appends the Data object `object`, a container being at `depth` (0 at
    // the top level), and all its members after it; false with an
    // exception set at the first failure.
    //
    // A structure or array too deep to encode is appended without its
    // members, and from then on no container is descended into: the list
    // can no longer be encoded, and the encoder refuses it with TooDeep
    // (or an earlier value's fault) when it measures the list, once the
    // rest of the PDU has been read. So the recursion never goes deeper
    // than MAX_DEPTH levels, and a graph that contains itself, however
    // widely, is read a bounded number of times.
    bool flatten(PyObject* object, std::size_t depth);

    // The core's Data list, its payloads viewing the arena; valid while the
    // reader lives. Nothing may be appended afterwards.
    data::DataList borrow();

private:
    // Where the payload of a bits, octets, visible, mms or raw record lies
    // in the arena: [offset, offset + size), for record `index`.
    struct Payload {
        std::size_t index;
        std::size_t offset;
        std::size_t size;
    };

    // A structure or array: its members attribute as a sequence, the
    // container's record with their count, then each member in order. The
    // members are held on the reader's stack, above those of the
    // containers around this one, until they are all read.
    bool container(PyObject* object, reading::Name attribute_name, std::size_t depth, data::Kind kind);

    // Pushes the elements of a sequence other than str, in order. A plain
    // list or tuple (not a subclass, which may iterate otherwise) is read
    // by index.
    bool push_members(PyObject* sequence);

    // Appends a record of `kind`, every other field zero, for the caller to
    // fill in.
    data::Data& record(data::Kind kind);

    // The same for a record whose payload is the last `size` octets of the
    // arena.
    data::Data& record(data::Kind kind, std::size_t size);

    // Appends the octets of a bytes object or of a sequence (not str) of
    // integers 0 to 255 to the arena; returns their count.
    py::Result<std::size_t> append_octets(PyObject* object);

    // A VisibleString: one octet per character, its code when below 128,
    // otherwise "?". Read from the UTF-8 form: every character starts with
    // exactly one octet that is not a continuation octet (10xxxxxx).
    py::Result<std::size_t> append_visible(PyObject* object);

    // An MMSString: the text's UTF-8 octets.
    py::Result<std::size_t> append_utf8(PyObject* object);

    // Appends `size` octets from `data` to the arena; returns `size`.
    std::size_t append_raw(const char* data, std::size_t size);

    std::vector<data::Data> values_;
    std::vector<py::Ref> stack_;  // members of the containers being read
    std::vector<Payload> payloads_;
    std::vector<std::uint8_t> arena_;
    bool too_deep_ = false;  // a container too deep to encode was met
};

}  // namespace valdrin::codecs
