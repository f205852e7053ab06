// Index.save and load(): an index in a file, with its settings and metadata
// (murvex/saved.hpp has the format), read and written with the interpreter
// lock released.
#include "convert.hpp"
#include "index_state.hpp"
#include "murvex/saved.hpp"

#include <array>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace murvex::tools {

namespace {

using py::parse_arguments;
using py::Signature;

// --- saving and loading -------------------------------------------------------

// What saving or loading throws, as the Python exception a caller expects:
// OSError with the errno for the file system, ValueError for a file that is
// not a whole saved index.
Error saved_error(const std::exception_ptr& thrown, const std::string& path) {
    try {
        std::rethrow_exception(thrown);
    } catch (const std::system_error& error) {
        PyRef raised(PyObject_CallFunction(PyExc_OSError, "isO&", error.code().value(),
                                           error.code().message().c_str(), PyUnicode_DecodeFSDefault,
                                           path.c_str()));
        if (!raised) throw Error::fetch();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
        return Error::fetch();
    } catch (const SavedIndexError& error) {
        return Error::lazy(PyExc_ValueError, error.what());
    }
}

}  // namespace

Error mapped_file_changed(const MappedFile& file) {
    return Error::lazy(
        PyExc_ValueError,
        file.path() +
            ": changed on disk since the index was loaded from it with mapped=True (the index reads "
            "its lanes there): load it again");
}

namespace {

std::string path_of(PyObject* path) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, static_cast<void*>(&converted))) throw Error::fetch();
    PyRef bytes(converted);
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

constexpr std::array<const char*, 1> PATH_PARAMETERS = {"path"};
constexpr Signature SAVE_SIGNATURE = {"Index.save()", PATH_PARAMETERS, 1};

}  // namespace

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyObject* given;
        parse_arguments(SAVE_SIGNATURE, args, nargs, kwnames, std::span(&given, 1));
        const std::string path = path_of(given);
        const std::string& metadata = state_of(self).metadata;  // changed only with the interpreter lock
        try {
            search_released(self, 1, [&](const ShardedIndex& index, const SearchOptions&) {
                save_index(index, path, metadata);
                return 0;
            });
        } catch (const std::system_error&) {
            throw saved_error(std::current_exception(), path);
        }
        Py_RETURN_NONE;
    });
}

namespace {

constexpr std::array<const char*, 5> LOAD_PARAMETERS = {"type", "path", "workers", "kernel", "mapped"};
constexpr Signature LOAD_SIGNATURE = {"load()", LOAD_PARAMETERS, 2, 2};

}  // namespace

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 5> given;
        parse_arguments(LOAD_SIGNATURE, args, nargs, kwnames, given);
        if (!PyType_Check(given[0]) || !index_type() ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(given[0]), index_type()))
            throw Error::lazy(PyExc_TypeError, "load() needs the Index type, or a subclass of it, to make");
        auto* type = reinterpret_cast<PyTypeObject*>(given[0]);
        const std::string path = path_of(given[1]);
        const std::size_t workers = to_workers(given[2]);
        const Kernel kernel = to_kernel(given[3]);
        const int mapped = given[4] ? PyObject_IsTrue(given[4]) : 0;
        if (mapped < 0) throw Error::fetch();
        std::optional<ShardedIndex> loaded;
        std::string metadata;
        std::shared_ptr<const MappedFile> mapped_file;
        std::exception_ptr thrown;
        {
            WithoutInterpreterLock released;
            try {
                loaded.emplace(
                    load_index(path, &shared_pool(), workers, &metadata, mapped ? &mapped_file : nullptr));
            } catch (...) {
                thrown = std::current_exception();
            }
        }
        if (thrown) {
            try {
                std::rethrow_exception(thrown);
            } catch (const std::system_error&) {
                throw saved_error(thrown, path);
            } catch (const SavedIndexError&) {
                throw saved_error(thrown, path);
            }
        }
        auto state = std::make_unique<IndexState>(std::move(*loaded), workers, kernel);
        state->metadata = std::move(metadata);
        state->mapped_file = std::move(mapped_file);
        allocfunc alloc = type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(type, 0);
        if (!self) throw Error::fetch();
        reinterpret_cast<IndexObject*>(self)->state = state.release();
        return self;
    });
}

}  // namespace murvex::tools
