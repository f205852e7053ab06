// Record ingestion: Python dicts into records of the store.
#include "classes.hpp"
#include "convert.hpp"

#include <algorithm>
#include <string_view>

namespace murvex::py {

namespace {

// What one `add` call reuses from record to record.
struct Ingest {
    RecordStore& store;
    PyRef id_key;
    std::vector<std::string_view> parts;  // UTF-8 of the string values...
    std::vector<PyRef> owners;            // ...kept alive by these references
};

// The candidate's 'id' item through its own item access. A missing item or
// a failure of the lookup leaves the default id, the store's count; running
// out of memory is not a missing item and ends the call.
std::uint32_t record_id(Ingest& ingest, PyObject* candidate) {
    const auto default_id = static_cast<std::uint32_t>(ingest.store.count());
    PyRef value;
    if (PyDict_CheckExact(candidate)) {
        // A plain dict has no hooks, so it can be asked without raising KeyError.
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(candidate, ingest.id_key.get(), &found) < 0) discard_error();
        value = PyRef(found);
    } else {
        value = PyRef(PyObject_GetItem(candidate, ingest.id_key.get()));
        if (!value) discard_error();
    }
    // Conversion errors reach the caller unchanged, with no argument name.
    return value ? to_u32(value.get()) : default_id;
}

// Collects the UTF-8 bytes of the dict's string values in insertion order;
// values of other types and strings with a lone surrogate are skipped. Any
// other failure to encode (MemoryError) ends the call: a value is never
// dropped for want of memory.
void collect_parts(Ingest& ingest, PyObject* dict) {
    ingest.parts.clear();
    ingest.owners.clear();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(value)) continue;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (!data) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw Error::fetch();
            discard_error();  // a lone surrogate
            continue;
        }
        ingest.owners.push_back(PyRef::borrow(value));
        ingest.parts.emplace_back(data, static_cast<std::size_t>(size));
    }
}

// One candidate: 1 when it was appended, 0 when it adds nothing.
std::size_t add_record(Ingest& ingest, PyObject* candidate) {
    if (ingest.store.is_full()) throw Error::lazy(PyExc_ValueError, "Maximum record limit reached");
    const std::uint32_t id = record_id(ingest, candidate);
    if (!PyDict_Check(candidate)) return 0;
    collect_parts(ingest, candidate);
    if (ingest.parts.empty()) return 0;
    ingest.store.append_joined(id, ingest.parts);
    return 1;
}

}  // namespace

std::size_t add_records(RecordStore& store, PyObject* records) {
    Ingest ingest{store, checked(PyUnicode_FromStringAndSize("id", 2)), {}, {}};
    if (!PyList_Check(records)) return add_record(ingest, records);

    // Item access may run Python code that changes the list: the walk stops
    // at its current length and never goes past the length it started with.
    const Py_ssize_t start_length = PyList_GET_SIZE(records);
    // Room for the whole list at once: grown record by record, the store's
    // index would leave its old copies behind in the heap.
    store.reserve(std::min(MAX_RECORDS, store.count() + static_cast<std::size_t>(start_length)));
    std::size_t added = 0;
    for (Py_ssize_t i = 0; i < std::min(start_length, PyList_GET_SIZE(records)); ++i) {
        const PyRef item = PyRef::borrow(PyList_GET_ITEM(records, i));
        added += add_record(ingest, item.get());
    }
    return added;
}

}  // namespace murvex::py
