#include "records.hpp"

namespace murvex::py {

RecordReader::RecordReader() : id_key_(checked(PyUnicode_FromStringAndSize("id", 2))) {}

std::uint32_t RecordReader::id_of(PyObject* candidate, std::uint32_t default_id) {
    PyRef value;
    if (PyDict_CheckExact(candidate)) {
        // A plain dict has no hooks, so it can be asked without raising KeyError.
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(candidate, id_key_.get(), &found) < 0) discard_error();
        value = PyRef(found);
    } else {
        value = PyRef(PyObject_GetItem(candidate, id_key_.get()));
        if (!value) discard_error();
    }
    return value ? to_u32(value.get()) : default_id;
}

std::span<PyObject* const> RecordReader::strs_of(PyObject* dict) {
    strs_.clear();
    owners_.clear();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(value)) continue;
        owners_.push_back(PyRef::borrow(value));
        strs_.push_back(value);
    }
    return strs_;
}

std::span<const std::string_view> RecordReader::parts_of(std::span<PyObject* const> strs) {
    parts_.clear();
    for (PyObject* str : strs) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(str, &size);
        if (!data) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw Error::fetch();
            discard_error();  // a lone surrogate
            continue;
        }
        parts_.emplace_back(data, static_cast<std::size_t>(size));
    }
    return parts_;
}

std::span<const std::string_view> RecordReader::parts_of(PyObject* dict) { return parts_of(strs_of(dict)); }

}  // namespace murvex::py
