// The C API calls this code uses that older CPythons (3.10 to 3.12) lack,
// made of the calls they have, with the same results. Included after
// Python.h by pyref.hpp; nothing here is compiled for 3.13 and later.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#if PY_VERSION_HEX < 0x030B0000  // 3.11

inline PyObject* PyType_GetName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}

inline PyObject* PyType_GetQualName(PyTypeObject* type) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
}

#endif

#if PY_VERSION_HEX < 0x030C0000  // 3.12

// The exception being raised, normalized, with its traceback; null for none.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises `exception` (stolen; null clears the error).
inline void PyErr_SetRaisedException(PyObject* exception) {
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                  PyException_GetTraceback(exception));
}

// No int is read on another thread here: every one goes the general way.
inline int PyUnstable_Long_IsCompact(const PyLongObject*) { return 0; }
inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject*) { return 0; }

#endif

#if PY_VERSION_HEX < 0x030D0000  // 3.13

// Whether the str equals the UTF-8 text `text`; never raises.
inline int PyUnicode_EqualToUTF8(PyObject* unicode, const char* text) {
    Py_ssize_t size = 0;
    const char* own = PyUnicode_AsUTF8AndSize(unicode, &size);
    if (!own) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<std::size_t>(size) == std::strlen(text) && std::memcmp(own, text, size) == 0;
}

// The item under `key` as a new reference in *result: 1 when there is one,
// 0 when not, -1 with an error set.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

#endif
