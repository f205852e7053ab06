// Argument parsing and the conversions of Python values into native ones.
#pragma once

#include "runtime.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace murvex::py {

// A function's parameters as its argument errors name them. The first
// `required` parameters must be given; only the first `positional` may be
// given by position (the rest are keyword-only).
struct Signature {
    const char* function;  // "Murvex.search()"
    std::span<const char* const> parameters;
    std::size_t required;
    std::size_t positional = SIZE_MAX;

    std::size_t positional_limit() const noexcept {
        return positional < parameters.size() ? positional : parameters.size();
    }
};

// Places the arguments of a vectorcall (positional first, then keywords by
// exact name) into `out`, one borrowed reference per parameter, nullptr for
// one not given. Throws the TypeError a caller would expect from Python.
void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out);

// The same for a tuple of positional arguments and a dict of keywords.
void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// float, or anything with __float__ or __index__, rounded to single precision.
float to_f32(PyObject* value);
// int (or anything with __index__) in 0..2**64-1; the interpreter's
// OverflowError or TypeError otherwise.
std::uint64_t to_u64(PyObject* value);
// As to_u64, and in 0..2**32-1.
std::uint32_t to_u32(PyObject* value);
// The UTF-8 bytes of a str (or subclass), owned by the str object. Anything
// else is a TypeError that names `type` as what it cannot be converted to
// (the engine's messages say 'PyString').
std::string_view to_utf8(PyObject* value, const char* type = "PyString");

// Runs a conversion of the argument `name`; an exact TypeError it raises
// comes out as "argument 'name': <message>", everything else unchanged.
template <class Convert>
auto argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (Error& error) {
        if (error.type() != PyExc_TypeError) throw;
        throw Error::lazy(PyExc_TypeError, std::string("argument '") + name + "': " + error.message(),
                          error.cause());
    }
}

// "'T' object cannot be converted to 'TARGET'" for the type of `value`.
Error cannot_convert(PyObject* value, const char* target);

}  // namespace murvex::py
