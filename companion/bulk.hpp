// Records without dicts: Index.add_texts, Index.add_frame and frame_texts.
#pragma once

#include "native.hpp"

namespace murvex::tools {

// The id of a record added without one: the count of records before it.
inline std::uint32_t default_id(std::size_t count) {
    if (count > UINT32_MAX)
        throw Error::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(count);
}

PyObject* index_add_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_add_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// frame_texts(frame, columns=None) -> list: each row's text as add_frame
// makes it, None for a row without one.
PyObject* frame_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace murvex::tools
