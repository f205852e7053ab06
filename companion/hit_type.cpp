// murvex_tools.Hit: one search result as a small immutable named tuple,
// which pickles, compares and hashes as a tuple does.
#include "native.hpp"

#include <cstdio>

namespace murvex::tools {

namespace {

PyStructSequence_Field hit_fields[] = {
    {"id", "the record's id"},
    {"score", "the score, 0.0 to 1.0 (whole thousandths in single precision)"},
    {"start", "the byte offset of the match in the record's text"},
    {"end", "the byte offset one past the match"},
    {"spans",
     "(start, end) of each query word's match in query order (None for a word the record does not "
     "hold); one span outside the words mode. Not part of the tuple."},
    {nullptr, nullptr},
};

PyStructSequence_Desc hit_desc = {
    "murvex_tools.Hit",
    "One search result: the record's id, the score, and the matched span as byte offsets into the\n"
    "record's text, end exclusive; `spans` gives each query word's.",
    hit_fields,
    4,  // spans is an attribute only: a Hit stays a 4-tuple
};

PyTypeObject* type = nullptr;
reprfunc named_tuple_repr = nullptr;  // the struct sequence's own

// As a named tuple's, but the score as SearchResult shows it: the single-
// precision thousandths rounded to three places (0.8, not 0.800000011920929).
PyObject* hit_repr(PyObject* self) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const unsigned long id = PyLong_AsUnsignedLong(PyStructSequence_GetItem(self, 0));
        const double score = PyFloat_AsDouble(PyStructSequence_GetItem(self, 1));
        const unsigned long start = PyLong_AsUnsignedLong(PyStructSequence_GetItem(self, 2));
        const unsigned long end = PyLong_AsUnsignedLong(PyStructSequence_GetItem(self, 3));
        if (PyErr_Occurred()) {  // a Hit made by hand from other values: as any named tuple
            PyErr_Clear();
            return named_tuple_repr(self);
        }
        char text[128];
        std::snprintf(text, sizeof text, "murvex_tools.Hit(id=%lu, score=%.3f, start=%lu, end=%lu)", id,
                      score, start, end);
        return py::checked(PyUnicode_FromString(text)).release();
    });
}

}  // namespace

bool init_hit_type() {
    if (!type) {
        type = PyStructSequence_NewType(&hit_desc);
        if (!type) return false;
        named_tuple_repr = type->tp_repr;
        type->tp_repr = hit_repr;
        PyType_Modified(type);
    }
    return true;
}

PyTypeObject* hit_type() { return type; }

namespace {

PyRef pair(PyObject* first, PyObject* second) {
    PyRef tuple = py::checked(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, Py_NewRef(first));
    PyTuple_SET_ITEM(tuple.get(), 1, Py_NewRef(second));
    return tuple;
}

PyRef number(std::uint32_t value) { return py::checked(PyLong_FromUnsignedLong(value)); }

// ((start, end), ...), None for a word the record does not hold; a span that
// is the hit's own stretch shares its `start` and `end` objects.
PyRef spans_of(const IndexHit& found, PyObject* start, PyObject* end) {
    PyRef spans = py::checked(PyTuple_New(static_cast<Py_ssize_t>(found.spans.size())));
    for (std::size_t i = 0; i < found.spans.size(); ++i) {
        const auto [first, last] = found.spans[i];
        PyRef span = found.spans[i] == NO_SPAN ? PyRef::borrow(Py_None)
                     : first == found.entry.start && last == found.entry.end
                         ? pair(start, end)
                         : pair(number(first).get(), number(last).get());
        PyTuple_SET_ITEM(spans.get(), static_cast<Py_ssize_t>(i), span.release());
    }
    return spans;
}

}  // namespace

PyRef new_hit(const IndexHit& found) {
    const ResultEntry& entry = found.entry;
    PyRef start = number(entry.start), end = number(entry.end);
    PyRef spans = spans_of(found, start.get(), end.get());
    PyRef hit = py::checked(PyStructSequence_New(type));
    PyStructSequence_SetItem(hit.get(), 0, number(entry.id).release());
    PyStructSequence_SetItem(hit.get(), 1, py::checked(PyFloat_FromDouble(entry.score)).release());
    PyStructSequence_SetItem(hit.get(), 2, start.release());
    PyStructSequence_SetItem(hit.get(), 3, end.release());
    PyStructSequence_SetItem(hit.get(), 4, spans.release());
    return hit;
}

PyRef hit_list(const std::vector<IndexHit>& hits) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    for (std::size_t i = 0; i < hits.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_hit(hits[i]).release());
    return list;
}

}  // namespace murvex::tools
