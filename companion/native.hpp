// What the files of murvex_tools._native share.
#pragma once

#include "runtime.hpp"

#include <vector>

#include "murvex/index.hpp"

namespace murvex::tools {

using py::Error;
using py::PyRef;

// Releases the interpreter lock for its lifetime. Nothing in its scope may
// touch a Python object.
//
// Once the interpreter exits (shutdown() below), a thread that comes back,
// or goes in, never takes the interpreter lock again but waits for the
// process to end: the interpreter would end it inside PyEval_RestoreThread
// with pthread_exit, whose unwinding through C++ frames aborts the process.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept;
    ~WithoutInterpreterLock();
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* saved_;
};

// The Hit class (murvex_tools.Hit), built at import. Failure: the
// interpreter's error is set and nullptr returned.
PyTypeObject* hit_type();
bool init_hit_type();

// A new Hit, and a new list of them from a search's results.
PyRef new_hit(const ResultEntry& entry);
PyRef hit_list(const std::vector<IndexHit>& hits);

// The Index class; nullptr with the error set when it cannot be built.
PyTypeObject* build_index_type();

// load(type, path, workers=None, kernel="automatic"): an Index (or
// subclass) `type` holding what Index.save wrote to `path`.
PyObject* load(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The process's worker pool: made on first need, made again in a child
// after fork().
WorkerPool& shared_pool();

// At interpreter exit (called with the interpreter lock held): waits until
// no thread is between releasing the interpreter lock and taking it back,
// then joins the pool's helpers; later searches run on their caller.
void shutdown() noexcept;

}  // namespace murvex::tools
