// The two classes of the module and what their files share.
#pragma once

#include "runtime.hpp"

#include <vector>

#include "murvex/search.hpp"

namespace murvex::py {

// A Murvex instance: the header, the engine it owns, the borrow counter.
// `constructed` is set once the engine is built: an instance made without
// the class's own constructor (object.__new__ after a reassigned __new__)
// is zeroed memory with no engine in it.
struct EngineObject {
    PyObject_HEAD
    Engine engine;
    bool constructed;
    BorrowCounter borrow;
};

// A SearchResult instance: four numbers and the borrow counter.
struct ResultObject {
    PyObject_HEAD
    std::uint32_t id;
    float score;
    std::uint32_t start;
    std::uint32_t end;
    BorrowCounter borrow;
};

// The class objects, built on first need and kept for the life of the
// process. Failure: RuntimeError whose __cause__ says why.
PyTypeObject* engine_type();
PyTypeObject* result_type();

// Builds a class from its spec; used by the two functions above.
PyTypeObject* build_type(PyType_Spec& spec, const char* class_name);

// A new list of new SearchResult objects, one per entry, in order.
PyRef result_list(const std::vector<ResultEntry>& entries);

// The body of Murvex.add once its argument is parsed and the engine is
// exclusively borrowed: the number of records appended.
std::size_t add_records(RecordStore& store, PyObject* records);

}  // namespace murvex::py
