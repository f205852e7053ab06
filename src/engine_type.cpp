// The Murvex class: one engine per object, its settings and its methods.
#include "classes.hpp"
#include "convert.hpp"
#include "settings.hpp"

#include <array>
#include <cstdio>
#include <memory>
#include <string>

namespace murvex::py {

namespace {

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// The receiver of a method, checked before anything touches its fields.
EngineObject* receiver(PyObject* self) {
    if (!PyObject_TypeCheck(self, engine_type())) throw cannot_convert(self, "Murvex");
    EngineObject* engine = as_engine(self);
    if (!engine->constructed) throw Error::lazy(PyExc_TypeError, "Murvex object is not initialized");
    return engine;
}

// --- construction and deallocation ------------------------------------------

constexpr std::array<const char*, 3> NEW_PARAMETERS = {"threshold", "max_errors", "max_results"};
constexpr Signature NEW_SIGNATURE = {"Murvex.__new__()", NEW_PARAMETERS, 0};

PyObject* engine_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 3> given;
        parse_arguments(NEW_SIGNATURE, args, kwargs, given);

        // Every conversion comes before any validation.
        float threshold = DEFAULT_THRESHOLD;
        std::uint32_t max_errors = DEFAULT_MAX_ERRORS;
        std::uint64_t max_results = DEFAULT_MAX_RESULTS;
        if (given[0]) threshold = argument("threshold", [&] { return to_f32(given[0]); });
        if (given[1]) max_errors = argument("max_errors", [&] { return to_u32(given[1]); });
        if (given[2]) max_results = argument("max_results", [&] { return to_u64(given[2]); });
        validate_threshold(threshold);
        validate_max_errors(max_errors);
        validate_max_results(max_results);

        Engine engine;
        engine.settings = Settings{to_thousandths(threshold), max_errors, max_results};

        allocfunc alloc = subtype->tp_alloc ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (!self) throw Error::fetch();
        std::construct_at(&as_engine(self)->engine, std::move(engine));
        as_engine(self)->constructed = true;
        as_engine(self)->borrow = 0;
        return self;
    });
}

void engine_dealloc(PyObject* self) {
    guarded_dealloc([self] {
        PyTypeObject* type = Py_TYPE(self);
        if (as_engine(self)->constructed) std::destroy_at(&as_engine(self)->engine);
        type->tp_free(self);
        Py_DECREF(type);
    });
}

// --- methods ----------------------------------------------------------------

constexpr std::array<const char*, 1> ADD_PARAMETERS = {"records"};
constexpr std::array<const char*, 1> SEARCH_PARAMETERS = {"query"};
constexpr std::array<const char*, 1> REMOVE_PARAMETERS = {"id"};
constexpr Signature ADD_SIGNATURE = {"Murvex.add()", ADD_PARAMETERS, 1};
constexpr Signature SEARCH_SIGNATURE = {"Murvex.search()", SEARCH_PARAMETERS, 1};
constexpr Signature REMOVE_SIGNATURE = {"Murvex.remove()", REMOVE_PARAMETERS, 1};

PyObject* engine_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* records;
        parse_arguments(ADD_SIGNATURE, args, nargs, kwnames, std::span(&records, 1));
        EngineObject* engine = receiver(self);
        ExclusiveBorrow borrow(self, engine->borrow);
        const std::size_t added = add_records(engine->engine.records, records);
        return checked(PyLong_FromUnsignedLongLong(added)).release();
    });
}

PyObject* engine_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* query;
        parse_arguments(SEARCH_SIGNATURE, args, nargs, kwnames, std::span(&query, 1));
        EngineObject* engine = receiver(self);
        SharedBorrow borrow(self, engine->borrow);
        const std::string_view bytes = argument("query", [&] { return to_utf8(query); });
        return result_list(search(engine->engine, bytes)).release();
    });
}

PyObject* engine_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* id;
        parse_arguments(REMOVE_SIGNATURE, args, nargs, kwnames, std::span(&id, 1));
        EngineObject* engine = receiver(self);
        // The borrow comes first: an __index__ that uses this engine fails.
        ExclusiveBorrow borrow(self, engine->borrow);
        const std::uint32_t record_id = argument("id", [&] { return to_u32(id); });
        return PyBool_FromLong(engine->engine.records.remove(record_id));
    });
}

PyObject* engine_reset(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        EngineObject* engine = receiver(self);
        ExclusiveBorrow borrow(self, engine->borrow);
        engine->engine.records.reset();
        Py_RETURN_NONE;
    });
}

// --- attributes -------------------------------------------------------------

PyObject* get_count(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        EngineObject* engine = receiver(self);
        SharedBorrow borrow(self, engine->borrow);
        return checked(PyLong_FromSize_t(engine->engine.records.count())).release();
    });
}

// A write-only setting: refuse deletion, convert (so that user conversion
// code may still use the engine), then borrow, validate and store.
template <class Convert, class Store>
int set_setting(PyObject* self, PyObject* value, Convert&& convert, Store&& store) {
    return guarded<int>(-1, [&] {
        if (!value) throw Error::lazy(PyExc_AttributeError, "can't delete attribute");
        const auto converted = argument("value", [&] { return convert(value); });
        EngineObject* engine = receiver(self);
        ExclusiveBorrow borrow(self, engine->borrow);
        store(engine->engine.settings, converted);
        return 0;
    });
}

int set_threshold(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, to_f32, [](Settings& settings, float threshold) {
        validate_threshold(threshold);
        settings.threshold = to_thousandths(threshold);
    });
}

int set_max_errors(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, to_u32, [](Settings& settings, std::uint32_t max_errors) {
        validate_max_errors(max_errors);
        settings.max_errors = max_errors;
    });
}

int set_max_results(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, to_u64, [](Settings& settings, std::uint64_t max_results) {
        validate_max_results(max_results);
        settings.max_results = max_results;
    });
}

PyObject* engine_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        EngineObject* engine = receiver(self);
        SharedBorrow borrow(self, engine->borrow);
        const Settings& settings = engine->engine.settings;
        // %.2f rounds the exact single-precision value correctly, ties to even.
        const float threshold = thousandths_as_float(settings.threshold);
        char text[128];
        const int n = std::snprintf(text, sizeof text, "Murvex(records=%zu, threshold=%.2f, max_errors=%u)",
                                    engine->engine.records.count(), static_cast<double>(threshold),
                                    settings.max_errors);
        return checked(PyUnicode_FromStringAndSize(text, n)).release();
    });
}

// --- tables -----------------------------------------------------------------

PyMethodDef engine_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_add)),
     METH_FASTCALL | METH_KEYWORDS,
     "add($self, records)\n--\n\nAdd a single record or list of records\n\nArgs:\n"
     "    records: A dict or list of dicts with 'id' and text fields\n\nReturns:\n"
     "    Number of records added"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_search)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query)\n--\n\nSearch for matching records\n\nArgs:\n"
     "    query: The search query string\n\nReturns:\n"
     "    List of SearchResult objects sorted by score (descending)"},
    {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_remove)),
     METH_FASTCALL | METH_KEYWORDS,
     "remove($self, id)\n--\n\nRemove a record by ID\n\nArgs:\n    id: The record ID to remove\n\n"
     "Returns:\n    True if found and removed, False otherwise"},
    {"reset", engine_reset, METH_NOARGS, "reset($self)\n--\n\nClear all records"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef engine_getset[] = {
    {"count", get_count, nullptr, "Get number of records", nullptr},
    {"threshold", nullptr, set_threshold, "Set threshold", nullptr},
    {"max_errors", nullptr, set_max_errors, "Set max errors", nullptr},
    {"max_results", nullptr, set_max_results, "Set max results", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Murvex(threshold=0.25, max_errors=2, max_results=50)\n--\n\n"
                                  "High-performance fuzzy search engine")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_repr, reinterpret_cast<void*>(engine_repr)},
    {Py_tp_methods, engine_methods},
    {Py_tp_getset, engine_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "builtins.Murvex", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, engine_slots,
};

}  // namespace

PyTypeObject* engine_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = build_type(engine_spec, "Murvex");
    return type;
}

}  // namespace murvex::py
