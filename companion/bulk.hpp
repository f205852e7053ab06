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

// Adds a str's text to `chunk`, folded from its code points (an ASCII str
// as it is); false, with nothing added, when it holds a lone surrogate.
// Runs no Python code.
bool add_folded_str(RecordStore::FoldedChunk& chunk, PyObject* str);

// The text of a record's strs joined with spaces, folded, as the only text
// of `chunk`: the strs with a lone surrogate left out (as add() leaves them
// out); false when every one is. `joined` is room reused from call to call.
bool add_folded_strs(RecordStore::FoldedChunk& chunk, std::span<PyObject* const> strs,
                     std::vector<Py_UCS4>& joined);

PyObject* index_add_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_add_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// frame_texts(frame, columns=None) -> list: each row's text as add_frame
// makes it, None for a row without one.
PyObject* frame_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace murvex::tools
