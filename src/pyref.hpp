// A small owning handle for a strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_compat.hpp"

#include <utility>

namespace murvex::py {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (nullptr allowed).
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    // Takes a new reference of its own to a borrowed one.
    static PyRef borrow(PyObject* borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

    PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(ptr_, other.ptr_); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace murvex::py
