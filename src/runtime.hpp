// How every entry point enters and leaves: error values, internal failures,
// the entry frame that turns both into Python exceptions, and the borrow
// guards that catch re-entry into an object that is being used.
#pragma once

#include "pyref.hpp"

#include <source_location>
#include <string>

namespace murvex::py {

// A Python exception to be raised when the call unwinds to its entry frame:
// either lazy (class and message, nothing created until raised) or one the
// interpreter already raised. Thrown as a C++ exception inside the module;
// the entry frame catches it, so none ever reaches the interpreter.
class Error {
public:
    // `cause`, when given, becomes the raised exception's __cause__.
    static Error lazy(PyObject* type, std::string message, PyRef cause = {});
    // The same with a message that is already a Python str: it may hold what
    // UTF-8 cannot (a lone surrogate in a keyword name).
    static Error lazy(PyObject* type, PyRef message);
    // Takes the exception the interpreter has set. A PanicException that
    // Python code let through resumes as an internal failure instead (throws
    // Panic). With none set: SystemError.
    static Error fetch();

    // The exception's class, and its message (str() of a raised one).
    PyObject* type() const noexcept;
    std::string message() const;
    // The raised exception's __cause__, if any (a new reference).
    PyRef cause() const noexcept;

    // Sets this error as the interpreter's current exception.
    void restore() && noexcept;

private:
    Error() = default;
    PyObject* type_ = nullptr;  // a static exception class, for a lazy error
    std::string message_;
    PyRef message_str_;  // when the message is a Python str
    PyRef cause_;
    PyRef raised_;
};

// An internal failure: a condition valid input cannot reach. It surfaces as
// PanicException, which derives from BaseException.
class Panic {
public:
    // Reports the failure on standard error at once, with where it happened.
    explicit Panic(std::string message, std::source_location where = std::source_location::current());
    // A failure already reported (one resumed from Python code).
    static Panic resumed(std::string message);

    const std::string& message() const noexcept { return message_; }

private:
    Panic() = default;
    std::string message_;
};

// Discards the pending Python exception, for a lookup whose failure only
// means "not there". Two are never discarded: a MemoryError is raised (thrown
// as Error), so that running out of memory cannot pass for a missing value,
// and a PanicException resumes (throws Panic).
void discard_error();

// Checks the result of an interpreter call that only creates a value. NULL
// means the interpreter ran out of memory (raised as MemoryError) or some
// other failure (printed, then an internal failure).
PyRef checked(PyObject* created);

// Raises the C++ exception in flight as a Python exception. Call only from a
// catch block. A failure during the conversion itself aborts the process.
void raise_in_flight() noexcept;

// The entry frame: runs `body`, and when it throws, raises the matching
// Python exception and returns `failure` instead.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_in_flight();
        return failure;
    }
}

// The same for tp_dealloc, which has no failure value: a failure is reported
// as unraisable and the deallocation goes on.
template <class Body>
void guarded_dealloc(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        raise_in_flight();
        PyErr_WriteUnraisable(nullptr);
    }
}

// Borrow counter of an instance: 0 free, n > 0 shared borrows in progress,
// -1 one exclusive borrow. Plain, not atomic: the interpreter lock already
// serialises threads; it only has to catch re-entry on the same thread.
using BorrowCounter = Py_ssize_t;

// Shared access for the guard's lifetime; fails while an exclusive borrow is
// held. Keeps the object alive until it is given back.
class SharedBorrow {
public:
    SharedBorrow(PyObject* owner, BorrowCounter& counter);
    ~SharedBorrow() { --counter_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    PyRef owner_;
    BorrowCounter& counter_;
};

// Exclusive access for the guard's lifetime; fails while any borrow is held.
class ExclusiveBorrow {
public:
    ExclusiveBorrow(PyObject* owner, BorrowCounter& counter);
    ~ExclusiveBorrow() { counter_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    PyRef owner_;
    BorrowCounter& counter_;
};

}  // namespace murvex::py
