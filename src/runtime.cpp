#include "runtime.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>

namespace murvex::py {

namespace {

constexpr const char* PANIC_DOC =
    "Raised when the native code of murvex fails in a way valid input cannot cause.\n"
    "\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it\n"
    "typically propagates through the whole stack and ends the interpreter\n"
    "instead of being swallowed by an `except Exception` clause.";

// The PanicException class, created on first need and kept for the life of
// the process; nullptr when it could not be created.
PyObject* panic_type() noexcept {
    static PyObject* type = nullptr;
    if (!type) {
        type =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC, PyExc_BaseException, nullptr);
        if (!type) PyErr_Clear();
    }
    return type;
}

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_type();
    if (!type) throw std::runtime_error("PanicException class unavailable");
    PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) throw std::runtime_error("panic message unavailable");
    PyErr_SetObject(type, text.get());
}

}  // namespace

Error Error::lazy(PyObject* type, std::string message, PyRef cause) {
    Error error;
    error.type_ = type;
    error.message_ = std::move(message);
    error.cause_ = std::move(cause);
    return error;
}

Error Error::lazy(PyObject* type, PyRef message) {
    Error error;
    error.type_ = type;
    error.message_str_ = std::move(message);
    return error;
}

Error Error::fetch() {
    PyRef raised(PyErr_GetRaisedException());
    if (!raised) return lazy(PyExc_SystemError, "attempted to fetch exception but none was set");

    PyObject* panic = panic_type();
    if (panic && Py_TYPE(raised.get()) == reinterpret_cast<PyTypeObject*>(panic)) {
        PyRef text(PyObject_Str(raised.get()));
        std::string message = text ? utf8_of(text.get()) : "Unwrapped panic from Python code";
        if (!text) PyErr_Clear();
        std::fputs(
            "murvex: resuming an internal failure that Python code let through\n"
            "Python stack trace below:\n",
            stderr);
        PyErr_SetRaisedException(raised.release());
        PyErr_PrintEx(0);
        throw Panic::resumed(std::move(message));
    }

    Error error;
    error.raised_ = std::move(raised);
    return error;
}

PyObject* Error::type() const noexcept {
    return raised_ ? reinterpret_cast<PyObject*>(Py_TYPE(raised_.get())) : type_;
}

std::string Error::message() const {
    if (message_str_) return utf8_of(message_str_.get());
    if (!raised_) return message_;
    PyRef text(PyObject_Str(raised_.get()));
    if (!text) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return utf8_of(text.get());
}

PyRef Error::cause() const noexcept {
    return raised_ ? PyRef(PyException_GetCause(raised_.get())) : PyRef::borrow(cause_.get());
}

void Error::restore() && noexcept {
    if (raised_) {
        PyErr_SetRaisedException(raised_.release());
        return;
    }
    PyRef text =
        message_str_
            ? std::move(message_str_)
            : PyRef(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (!text) return;  // the interpreter's MemoryError is set instead
    if (!cause_) {
        PyErr_SetObject(type_, text.get());
        return;
    }
    PyObject* exception = PyObject_CallOneArg(type_, text.get());
    if (!exception) return;
    PyException_SetCause(exception, cause_.release());  // steals the cause
    PyErr_SetRaisedException(exception);                // steals the exception
}

Panic::Panic(std::string message, std::source_location where) : message_(std::move(message)) {
    std::fprintf(stderr, "murvex: internal failure at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message_.c_str());
}

Panic Panic::resumed(std::string message) {
    Panic panic;
    panic.message_ = std::move(message);
    return panic;
}

void discard_error() {
    Error error = Error::fetch();  // a PanicException resumes from here
    if (PyErr_GivenExceptionMatches(error.type(), PyExc_MemoryError)) throw std::move(error);
}

PyRef checked(PyObject* created) {
    if (created) return PyRef(created);
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw Error::fetch();
    if (PyErr_Occurred()) PyErr_Print();
    throw Panic("Python API call failed");
}

void raise_in_flight() noexcept {
    try {
        try {
            throw;
        } catch (Error& error) {
            std::move(error).restore();
        } catch (const Panic& panic) {
            raise_panic(panic.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::length_error&) {
            PyErr_NoMemory();  // a container asked for more than can ever be had
        } catch (const std::exception& failure) {
            raise_panic(Panic(failure.what()).message());
        } catch (...) {
            raise_panic(Panic("murvex native code failed").message());
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

SharedBorrow::SharedBorrow(PyObject* owner, BorrowCounter& counter)
    : owner_(PyRef::borrow(owner)), counter_(counter) {
    if (counter_ == -1) throw Error::lazy(PyExc_RuntimeError, "Already mutably borrowed");
    ++counter_;
}

ExclusiveBorrow::ExclusiveBorrow(PyObject* owner, BorrowCounter& counter)
    : owner_(PyRef::borrow(owner)), counter_(counter) {
    if (counter_ != 0) throw Error::lazy(PyExc_RuntimeError, "Already borrowed");
    counter_ = -1;
}

}  // namespace murvex::py
