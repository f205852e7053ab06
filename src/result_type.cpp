// The SearchResult class: one read-only search hit.
#include "classes.hpp"

#include <cstdio>

namespace murvex::py {

namespace {

ResultObject* as_result(PyObject* self) { return reinterpret_cast<ResultObject*>(self); }

void result_dealloc(PyObject* self) {
    guarded_dealloc([self] {
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

// Each read takes a shared borrow for the moment of the read.
template <class Read>
PyObject* read_field(PyObject* self, Read&& read) {
    return guarded<PyObject*>(nullptr, [&] {
        SharedBorrow borrow(self, as_result(self)->borrow);
        return checked(read(*as_result(self))).release();
    });
}

PyObject* get_id(PyObject* self, void*) {
    return read_field(self, [](const ResultObject& r) { return PyLong_FromUnsignedLong(r.id); });
}
PyObject* get_score(PyObject* self, void*) {
    return read_field(self, [](const ResultObject& r) { return PyFloat_FromDouble(r.score); });
}
PyObject* get_start(PyObject* self, void*) {
    return read_field(self, [](const ResultObject& r) { return PyLong_FromUnsignedLong(r.start); });
}
PyObject* get_end(PyObject* self, void*) {
    return read_field(self, [](const ResultObject& r) { return PyLong_FromUnsignedLong(r.end); });
}

PyObject* result_repr(PyObject* self) {
    return read_field(self, [](const ResultObject& r) {
        char text[128];
        const int n = std::snprintf(text, sizeof text, "SearchResult(id=%u, score=%.3f, start=%u, end=%u)",
                                    r.id, static_cast<double>(r.score), r.start, r.end);
        return PyUnicode_FromStringAndSize(text, n);
    });
}

// The class defines no constructor of its own.
PyObject* no_constructor(PyTypeObject* subtype, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [subtype]() -> PyObject* {
        std::string name = "<unknown>";
        PyRef type_name(PyType_GetName(subtype));
        PyRef text(type_name ? PyObject_Str(type_name.get()) : nullptr);
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8)
            name = utf8;
        else
            PyErr_Clear();
        throw Error::lazy(PyExc_TypeError, "No constructor defined for " + name);
    });
}

PyGetSetDef result_getset[] = {
    {"id", get_id, nullptr, nullptr, nullptr},       {"score", get_score, nullptr, nullptr, nullptr},
    {"start", get_start, nullptr, nullptr, nullptr}, {"end", get_end, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("A single search result")},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "builtins.SearchResult", sizeof(ResultObject), 0, Py_TPFLAGS_DEFAULT, result_slots,
};

// One new SearchResult holding the entry's values.
PyRef new_result(PyTypeObject* type, const ResultEntry& entry) {
    allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
    PyRef object = checked(alloc(type, 0));
    ResultObject* r = as_result(object.get());
    r->id = entry.id;
    r->score = entry.score;
    r->start = entry.start;
    r->end = entry.end;
    r->borrow = 0;
    return object;
}

}  // namespace

PyTypeObject* result_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = build_type(result_spec, "SearchResult");
    return type;
}

PyRef result_list(const std::vector<ResultEntry>& entries) {
    PyTypeObject* type = result_type();
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (std::size_t i = 0; i < entries.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_result(type, entries[i]).release());
    return list;
}

}  // namespace murvex::py
