// What the files of murvex_tools._native share.
#pragma once

#include "convert.hpp"
#include "runtime.hpp"

#include <string>
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
// How many times this process is a child of fork() (0 in the first one):
// a change tells a child that what the parent's threads held is not held.
unsigned fork_generation();

class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept;
    ~WithoutInterpreterLock();
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* saved_;
};

// A str where a sequence of them is asked for is a sequence of one-letter
// texts to Python, and never what the caller meant: TypeError, naming the
// argument and what one item of it is (`one`: "a text").
inline void refuse_bare_str(PyObject* value, const char* argument, const char* one) {
    if (PyUnicode_Check(value))
        throw Error::lazy(PyExc_TypeError, std::string("argument '") + argument +
                                               "': expected a sequence of str, not a str (give [" + one +
                                               "] for one)");
}

// The items of a sequence (TypeError `message` for what is not one) in a
// tuple that holds them: the bytes of its str items are read while the
// interpreter lock is let go, when another thread could empty a list and
// free them.
inline PyRef held_items(PyObject* value, const char* message) {
    PyRef items(PySequence_Fast(value, message));
    if (!items) throw Error::fetch();
    if (PyList_Check(items.get())) return py::checked(PyList_AsTuple(items.get()));
    return items;
}

// The UTF-8 bytes of a str; TypeError "... cannot be converted to 'str'"
// otherwise (the engine's own messages keep their 'PyString').
inline std::string_view text_of(PyObject* value) { return py::to_utf8(value, "str"); }

// The Hit class (murvex_tools.Hit), built at import. Failure: the
// interpreter's error is set and nullptr returned.
PyTypeObject* hit_type();
bool init_hit_type();

// A new Hit, and a new list of them from a search's results.
PyRef new_hit(const IndexHit& found);
PyRef hit_list(const std::vector<IndexHit>& hits);

// The Index class; nullptr with the error set when it cannot be built. Once
// built it is kept for the life of the process: index_type() is it.
PyTypeObject* build_index_type();
PyTypeObject* index_type();

// Index.save(path): the index and its metadata to a file.
PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

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
