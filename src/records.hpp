// Reading Python objects as records, for every kind of index: a dict's id
// under 'id' and its text from its string values, a list taken item by item.
// What happens at the index (room, default id, the append) is the sink's:
//
//   struct Sink {
//       void check_room();                 // throws when no record may be added
//       std::uint32_t default_id();        // the id of a record without one
//       void reserve(std::size_t more);    // room for a list's records
//       void append(std::uint32_t id, std::span<const std::string_view> parts);
//   };
//
// A sink that reads the string values itself (to fold their code points,
// say) has instead of append():
//
//       // Appends the record; false when it adds nothing after all.
//       bool append_strs(std::uint32_t id, std::span<PyObject* const> strs, RecordReader& reader);
#pragma once

#include "convert.hpp"

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

namespace murvex::py {

// What one add call reuses from record to record.
class RecordReader {
public:
    RecordReader();

    // The candidate's 'id' item through its own item access, converted; the
    // default when the lookup fails. Running out of memory is not a missing
    // item and ends the call; conversion errors reach the caller unchanged,
    // with no argument name.
    std::uint32_t id_of(PyObject* candidate, std::uint32_t default_id);

    // The UTF-8 bytes of the dict's string values in insertion order, owned
    // by the strings; values of other types and strings with a lone surrogate
    // are skipped. Any other failure to encode (MemoryError) ends the call.
    std::span<const std::string_view> parts_of(PyObject* dict);

    // The dict's string values in insertion order, held until the next call.
    std::span<PyObject* const> strs_of(PyObject* dict);
    // The UTF-8 bytes of `strs`, as parts_of() gives them.
    std::span<const std::string_view> parts_of(std::span<PyObject* const> strs);

private:
    PyRef id_key_;
    std::vector<std::string_view> parts_;
    std::vector<PyRef> owners_;  // keep parts_ and strs_ alive
    std::vector<PyObject*> strs_;
};

// One candidate: 1 when it was appended, 0 when it adds nothing (not a dict,
// or a dict without string values).
template <class Sink>
std::size_t add_record(Sink& sink, RecordReader& reader, PyObject* candidate) {
    sink.check_room();
    const std::uint32_t id = reader.id_of(candidate, sink.default_id());
    if (!PyDict_Check(candidate)) return 0;
    if constexpr (requires { sink.append_strs(id, std::span<PyObject* const>(), reader); }) {
        const auto strs = reader.strs_of(candidate);
        return !strs.empty() && sink.append_strs(id, strs, reader) ? 1 : 0;
    }
    const auto parts = reader.parts_of(candidate);
    if (parts.empty()) return 0;
    sink.append(id, parts);
    return 1;
}

// A list (or subclass) is a batch, anything else one candidate. Records
// appended before a failing item stay; later items are not looked at.
template <class Sink>
std::size_t add_records(Sink& sink, PyObject* records) {
    RecordReader reader;
    if (!PyList_Check(records)) return add_record(sink, reader, records);

    // Item access may run Python code that changes the list: the walk stops
    // at its current length and never goes past the length it started with.
    const Py_ssize_t start_length = PyList_GET_SIZE(records);
    // Room for the whole list at once: grown record by record, the store's
    // index would leave its old copies behind in the heap.
    sink.reserve(static_cast<std::size_t>(start_length));
    std::size_t added = 0;
    for (Py_ssize_t i = 0; i < std::min(start_length, PyList_GET_SIZE(records)); ++i) {
        const PyRef item = PyRef::borrow(PyList_GET_ITEM(records, i));
        added += add_record(sink, reader, item.get());
    }
    return added;
}

}  // namespace murvex::py
