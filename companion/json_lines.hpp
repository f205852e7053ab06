// JSON Lines read straight from bytes, for the command line's file reader.
#pragma once

#include "native.hpp"

namespace murvex::tools {

// json_lines(block, first_line, first_id, fields) -> (lines, texts, ids,
// leads, own_ids) | None: the records of `block`'s lines as the Python reader
// makes them (fields None: every string member but "id"), or None when a
// line is anything but a blank line or a plain object, for that reader.
PyObject* json_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace murvex::tools
