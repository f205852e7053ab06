// Module initialisation: the module object, its classes and __all__.
#include "classes.hpp"

#include <atomic>
#include <cstdint>

namespace murvex::py {

namespace {

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "murvex",
    .m_doc = "Murvex: High-performance fuzzy search engine",
    .m_size = 0,           // no per-module state
    .m_methods = nullptr,  // no functions
    .m_slots = nullptr,    // single-phase initialisation
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

constexpr int MODULE_API_VERSION = 1013;

// The interpreter that imported the module first; -1 before the first import.
std::atomic<std::int64_t> owner_interpreter{-1};

// The module, kept for the life of the process once it has been built.
PyObject* cached_module = nullptr;

// Refuses every interpreter but the first one to import the module.
void check_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw Error::fetch();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        throw Error::lazy(PyExc_ImportError,
                          "murvex does not support subinterpreters: it can only be imported "
                          "by the interpreter that imported it first");
    }
}

// The module's __all__ list, created when the first name is added.
PyRef all_list(PyObject* module) {
    static PyObject* all_name = nullptr;
    if (!all_name) {
        PyObject* name = checked(PyUnicode_FromStringAndSize("__all__", 7)).release();
        PyUnicode_InternInPlace(&name);
        all_name = name;  // kept for the life of the process
    }
    PyRef all(PyObject_GetAttr(module, all_name));
    if (all) return all;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error::fetch();
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw Error::fetch();
    return all;
}

void add_to_module(PyObject* module, const char* name, PyTypeObject* type) {
    PyRef all = all_list(module);
    PyRef text = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0)
        throw Panic("could not append __name__ to __all__: " + Error::fetch().message());
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) < 0) throw Error::fetch();
}

PyObject* init_module() {
    check_interpreter();
    if (cached_module) return Py_NewRef(cached_module);

    PyRef module(PyModule_Create2(&module_definition, MODULE_API_VERSION));
    if (!module) throw Error::fetch();
    add_to_module(module.get(), "Murvex", engine_type());
    add_to_module(module.get(), "SearchResult", result_type());

    // A nested import during the population may have filled the cache.
    if (!cached_module) cached_module = module.release();
    return Py_NewRef(cached_module);
}

}  // namespace

PyTypeObject* build_type(PyType_Spec& spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type) return reinterpret_cast<PyTypeObject*>(type);
    PyRef cause(PyErr_GetRaisedException());
    throw Error::lazy(PyExc_RuntimeError,
                      std::string("An error occurred while initializing class ") + class_name,
                      std::move(cause));
}

}  // namespace murvex::py

PyMODINIT_FUNC PyInit_murvex() {
    using namespace murvex::py;
    return guarded<PyObject*>(nullptr, init_module);
}
