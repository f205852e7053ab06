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
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : saved_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(saved_); }
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

// The process's worker pool: made on first need, made again in a child
// after fork(), stopped (helpers joined) at interpreter exit.
WorkerPool& shared_pool();
void stop_shared_pool() noexcept;

}  // namespace murvex::tools
