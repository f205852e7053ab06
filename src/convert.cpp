#include "convert.hpp"

#include <string>

namespace murvex::py {

namespace {

std::string str_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data) throw Error::fetch();
    return std::string(data, static_cast<std::size_t>(size));
}

Error argument_error(const Signature& signature, const std::string& what) {
    return Error::lazy(PyExc_TypeError, std::string(signature.function) + " " + what);
}

Error too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t n = signature.positional_limit();
    const std::string takes = signature.required == n
                                  ? std::to_string(n)
                                  : "from " + std::to_string(signature.required) + " to " + std::to_string(n);
    return argument_error(
        signature, "takes " + takes + " positional arguments but " + std::to_string(given) + " were given");
}

// Fills the parameter named `keyword` with `value`.
void place_keyword(const Signature& signature, PyObject* keyword, PyObject* value, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (!PyUnicode_Check(keyword) || !PyUnicode_EqualToUTF8(keyword, signature.parameters[i])) continue;
        if (out[i]) {
            throw argument_error(
                signature, std::string("got multiple values for argument '") + signature.parameters[i] + "'");
        }
        out[i] = value;
        return;
    }
    // The name as given: it may hold a lone surrogate, and a str subclass's
    // own __str__ plays no part.
    PyRef message(PyUnicode_FromFormat(PyUnicode_Check(keyword)
                                           ? "%s got an unexpected keyword argument '%U'"
                                           : "%s got an unexpected keyword argument '%S'",
                                       signature.function, keyword));
    if (!message) throw Error::fetch();
    throw Error::lazy(PyExc_TypeError, std::move(message));
}

void check_required(const Signature& signature, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (!out[i]) {
            throw argument_error(signature, std::string("missing 1 required positional argument: '") +
                                                signature.parameters[i] + "'");
        }
    }
}

}  // namespace

void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    if (static_cast<std::size_t>(nargs) > signature.positional_limit())
        throw too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        place_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out);
    check_required(signature, out);
}

void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > signature.positional_limit())
        throw too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(signature, key, value, out);
    }
    check_required(signature, out);
}

float to_f32(PyObject* value) {
    if (PyFloat_CheckExact(value)) return static_cast<float>(PyFloat_AS_DOUBLE(value));
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw Error::fetch();
    return static_cast<float>(d);
}

std::uint64_t to_u64(PyObject* value) {
    PyRef index;
    if (!PyLong_Check(value)) {
        index = PyRef(PyNumber_Index(value));
        if (!index) throw Error::fetch();
        value = index.get();
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error::fetch();
    return n;
}

std::uint32_t to_u32(PyObject* value) {
    const std::uint64_t n = to_u64(value);
    if (n > UINT32_MAX)
        throw Error::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(n);
}

std::string_view to_utf8(PyObject* value, const char* type) {
    if (!PyUnicode_Check(value)) throw cannot_convert(value, type);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) throw Error::fetch();
    return std::string_view(data, static_cast<std::size_t>(size));
}

Error cannot_convert(PyObject* value, const char* target) {
    PyRef name(PyType_GetQualName(Py_TYPE(value)));
    if (!name) throw Error::fetch();
    std::string message = "'";
    message += str_of(name.get());
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return Error::lazy(PyExc_TypeError, std::move(message));
}

}  // namespace murvex::py
