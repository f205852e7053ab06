// Records as they travel between processes (to Ray actors): what an index
// reads of each record, its id and its joined text, and nothing else.
//
//   data     the texts' UTF-8 bytes, one after another
//   lengths  each text's length in bytes, as little-endian uint32
//   ids      each record's id, as little-endian uint32
#pragma once

#include "native.hpp"

#include <functional>
#include <string_view>

namespace murvex::tools {

// encode_records(records, first_id) -> (data, lengths, ids, error): the
// records an index's add() would append, read exactly as it reads them; a
// record without an id gets first_id plus the number encoded before it. At
// the first error the records before it are returned with the exception.
PyObject* encode_records(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Calls append(id, text) for each record of the wire form; TypeError or
// ValueError when the three buffers do not fit together, before any call.
void for_each_wire_record(PyObject* data, PyObject* lengths, PyObject* ids,
                          const std::function<void(std::uint32_t, std::string_view)>& append);

}  // namespace murvex::tools
