// murvex_tools._native.Index: any number of records in shards, searched with
// the interpreter lock released, on the process's worker pool.
#include "bulk.hpp"
#include "convert.hpp"
#include "index_state.hpp"
#include "records.hpp"
#include "settings.hpp"
#include "wire.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace murvex::tools {

std::size_t to_workers(PyObject* value) {
    if (!value || value == Py_None) return usable_cpus();
    const std::uint64_t workers = py::argument("workers", [&] { return py::to_u64(value); });
    if (workers < 1) throw Error::lazy(PyExc_ValueError, "workers must be at least 1");
    return static_cast<std::size_t>(std::min<std::uint64_t>(workers, 1024));
}

Kernel to_kernel(PyObject* value) {
    if (!value) return Kernel::automatic;
    const std::string_view name = py::argument("kernel", [&] { return text_of(value); });
    const std::optional<Kernel> kernel = kernel_named(name);
    if (kernel && kernel_available(*kernel)) return *kernel;
    std::string forms;
    for (const Kernel form : available_kernels())
        forms += std::string(forms.empty() ? "" : ", ") + kernel_name(form);
    throw Error::lazy(PyExc_ValueError,
                      "kernel '" + std::string(name) + "' is not one this CPU runs: " + forms);
}

namespace {

using py::argument;
using py::checked;
using py::parse_arguments;
using py::Signature;

PyObject* float_of_thousandths(std::uint16_t milli) {
    return checked(PyFloat_FromDouble(thousandths_as_float(milli))).release();
}

bool to_flag(PyObject* value) {
    const int flag = PyObject_IsTrue(value);
    if (flag < 0) throw Error::fetch();
    return flag == 1;
}

// --- construction and deallocation --------------------------------------------

constexpr std::array<const char*, 8> NEW_PARAMETERS = {
    "threshold", "max_errors", "max_results", "shard_capacity", "workers", "kernel", "forgiving", "words"};
constexpr Signature NEW_SIGNATURE = {"Index.__new__()", NEW_PARAMETERS, 0, 3};

PyObject* index_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 8> given;
        parse_arguments(NEW_SIGNATURE, args, kwargs, given);
        float threshold = DEFAULT_THRESHOLD;
        std::uint32_t max_errors = DEFAULT_MAX_ERRORS;
        std::uint64_t max_results = DEFAULT_MAX_RESULTS;
        std::uint64_t capacity = MAX_RECORDS;
        if (given[0]) threshold = argument("threshold", [&] { return py::to_f32(given[0]); });
        if (given[1]) max_errors = argument("max_errors", [&] { return py::to_u32(given[1]); });
        if (given[2]) max_results = argument("max_results", [&] { return py::to_u64(given[2]); });
        if (given[3]) capacity = argument("shard_capacity", [&] { return py::to_u64(given[3]); });
        const std::size_t workers = to_workers(given[4]);
        const Kernel kernel = to_kernel(given[5]);
        py::validate_threshold(threshold);
        py::validate_max_errors(max_errors);
        py::validate_max_results(max_results);
        if (capacity < 1 || capacity > MAX_RECORDS)
            throw Error::lazy(PyExc_ValueError,
                              "shard_capacity must be between 1 and " + std::to_string(MAX_RECORDS));

        const bool forgiving = given[6] && to_flag(given[6]);
        const bool words = given[7] && to_flag(given[7]);
        auto state = std::make_unique<IndexState>(
            // Made in the forgiving or words mode, the index keeps its texts folded.
            ShardedIndex(Settings{py::to_thousandths(threshold), max_errors, max_results, forgiving, words},
                         capacity, forgiving || words),
            workers, kernel);
        allocfunc alloc = subtype->tp_alloc ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (!self) throw Error::fetch();
        reinterpret_cast<IndexObject*>(self)->state = state.release();
        return self;
    });
}

void index_dealloc(PyObject* self) {
    py::guarded_dealloc([self] {
        PyTypeObject* type = Py_TYPE(self);
        delete reinterpret_cast<IndexObject*>(self)->state;  // NOLINT(cppcoreguidelines-owning-memory)
        type->tp_free(self);
        Py_DECREF(type);
    });
}

// --- adding and removing -------------------------------------------------------

// The index as add() fills it: never full; a record without an id takes the
// count of every record before it.
struct IndexSink {
    ShardedIndex& index;
    bool new_shard;

    void check_room() const {}
    std::uint32_t default_id() const {
        if (index.count() > UINT32_MAX)
            throw Error::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
        return static_cast<std::uint32_t>(index.count());
    }
    void reserve(std::size_t more) {
        if (!new_shard) index.reserve(more);
    }
    void append(std::uint32_t id, std::span<const std::string_view> parts) {
        index.append_joined(id, parts, new_shard);
        new_shard = false;
    }
    // An index that folds folds the strs' code points (without making their
    // UTF-8); any other takes their UTF-8.
    bool append_strs(std::uint32_t id, std::span<PyObject* const> strs, py::RecordReader& reader) {
        if (!index.folds()) {
            const auto parts = reader.parts_of(strs);
            if (parts.empty()) return false;
            append(id, parts);
            return true;
        }
        if (!add_folded_strs(folded, strs, joined)) return false;
        index.append_folded(id, folded, new_shard);
        new_shard = false;
        return true;
    }

    RecordStore::FoldedChunk folded;
    std::vector<Py_UCS4> joined;
};

constexpr std::array<const char*, 2> ADD_PARAMETERS = {"records", "new_shard"};
constexpr Signature ADD_SIGNATURE = {"Index.add()", ADD_PARAMETERS, 1, 1};

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> given;
        parse_arguments(ADD_SIGNATURE, args, nargs, kwnames, given);
        const bool new_shard = given[1] && PyObject_IsTrue(given[1]) == 1;
        const std::size_t added = change(self, [&](ShardedIndex& index) {
            IndexSink sink{index, new_shard, {}, {}};
            return py::add_records(sink, given[0]);
        });
        return checked(PyLong_FromSize_t(added)).release();
    });
}

constexpr std::array<const char*, 4> ENCODED_PARAMETERS = {"data", "lengths", "ids", "new_shard"};
constexpr Signature ENCODED_SIGNATURE = {"Index._add_encoded()", ENCODED_PARAMETERS, 3, 3};

PyObject* index_add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 4> given;
        parse_arguments(ENCODED_SIGNATURE, args, nargs, kwnames, given);
        bool new_shard = given[3] && PyObject_IsTrue(given[3]) == 1;
        const std::size_t added = change(self, [&](ShardedIndex& index) {
            std::size_t count = 0;
            for_each_wire_record(given[0], given[1], given[2], [&](std::uint32_t id, std::string_view text) {
                index.append_joined(id, std::span(&text, 1), new_shard);
                new_shard = false;
                ++count;
            });
            return count;
        });
        return checked(PyLong_FromSize_t(added)).release();
    });
}

constexpr std::array<const char*, 1> TRUNCATE_PARAMETERS = {"shards"};
constexpr Signature TRUNCATE_SIGNATURE = {"Index._truncate()", TRUNCATE_PARAMETERS, 1};

PyObject* index_truncate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyObject* given;
        parse_arguments(TRUNCATE_SIGNATURE, args, nargs, kwnames, std::span(&given, 1));
        const std::uint64_t shards = argument("shards", [&] { return py::to_u64(given); });
        change(self, [&](ShardedIndex& index) {
            index.truncate(static_cast<std::size_t>(shards));
            return 0;
        });
        Py_RETURN_NONE;
    });
}

constexpr std::array<const char*, 2> REMOVE_PARAMETERS = {"id", "shard"};
constexpr Signature REMOVE_SIGNATURE = {"Index.remove()", REMOVE_PARAMETERS, 1, 1};

PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> given;
        parse_arguments(REMOVE_SIGNATURE, args, nargs, kwnames, given);
        const std::uint32_t id = argument("id", [&] { return py::to_u32(given[0]); });
        std::optional<std::uint64_t> shard;
        if (given[1] && given[1] != Py_None) shard = argument("shard", [&] { return py::to_u64(given[1]); });
        const bool removed = change(self, [&](ShardedIndex& index) {
            return shard ? index.remove_from(static_cast<std::size_t>(*shard), id) : index.remove(id);
        });
        return PyBool_FromLong(removed);
    });
}

constexpr std::array<const char*, 1> ID_PARAMETERS = {"id"};
constexpr Signature HOLDING_SIGNATURE = {"Index.shards_holding()", ID_PARAMETERS, 1};

PyObject* index_shards_holding(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyObject* given;
        parse_arguments(HOLDING_SIGNATURE, args, nargs, kwnames, std::span(&given, 1));
        const std::uint32_t id = argument("id", [&] { return py::to_u32(given); });
        const auto shards = search_released(self, 1, [&](const ShardedIndex& index, const SearchOptions&) {
            return index.shards_holding(id);
        });
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(shards.size())));
        for (std::size_t i = 0; i < shards.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            checked(PyLong_FromUnsignedLong(shards[i])).release());
        return list.release();
    });
}

constexpr std::array<const char*, 1> RECORDS_PARAMETERS = {"positions"};
constexpr Signature RECORDS_SIGNATURE = {"Index.records()", RECORDS_PARAMETERS, 1};

PyObject* index_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        PyObject* given;
        parse_arguments(RECORDS_SIGNATURE, args, nargs, kwnames, std::span(&given, 1));
        PyRef items(PySequence_Fast(given, "argument 'positions': expected a sequence of int"));
        if (!items) throw Error::fetch();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        std::vector<std::uint64_t> positions(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const std::string name = "positions[" + std::to_string(i) + "]";
            positions[static_cast<std::size_t>(i)] =
                argument(name.c_str(), [&] { return py::to_u64(PySequence_Fast_GET_ITEM(items.get(), i)); });
        }
        const auto records = search_released(self, 1, [&](const ShardedIndex& index, const SearchOptions&) {
            std::vector<std::pair<std::uint32_t, std::string>> found;
            for (const std::uint64_t position : positions) {
                if (position >=
                    index.count())  // a lazy error creates nothing in the interpreter until raised
                    throw Error::lazy(PyExc_IndexError,
                                      "position " + std::to_string(position) + " is past the last record");
                found.push_back(index.record(static_cast<std::size_t>(position)));
            }
            return found;
        });
        PyRef list = checked(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto& [id, text] = records[static_cast<std::size_t>(i)];
            PyRef id_object = checked(PyLong_FromUnsignedLong(id));
            PyRef text_object(
                PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
            if (!text_object) throw Error::fetch();
            PyList_SET_ITEM(list.get(), i,
                            checked(PyTuple_Pack(2, id_object.get(), text_object.get())).release());
        }
        return list.release();
    });
}

PyObject* index_reset(PyObject* self, PyObject*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        change(self, [&](ShardedIndex& index) {
            index.reset();
            state_of(self).mapped_file.reset();  // the index no longer reads the file
            return 0;
        });
        Py_RETURN_NONE;
    });
}

// --- searching ----------------------------------------------------------------

// One search's own settings: the index's, with those given (not None) in
// their place, validated as the setters validate them.
void store_threshold(Settings& settings, float threshold) {
    py::validate_threshold(threshold);
    settings.threshold = py::to_thousandths(threshold);
}

void store_max_errors(Settings& settings, std::uint32_t max_errors) {
    py::validate_max_errors(max_errors);
    settings.max_errors = max_errors;
}

void store_max_results(Settings& settings, std::uint64_t max_results) {
    py::validate_max_results(max_results);
    settings.max_results = max_results;
}

std::optional<Settings> own_settings(PyObject* self, std::span<PyObject* const, 5> given) {
    if (std::ranges::all_of(given, [](PyObject* value) { return !value || value == Py_None; }))
        return std::nullopt;
    std::optional<float> threshold;
    std::optional<std::uint32_t> max_errors;
    std::optional<std::uint64_t> max_results;
    std::optional<bool> forgiving, words;
    const auto is_given = [&](std::size_t i) { return given[i] && given[i] != Py_None; };
    if (is_given(0)) threshold = argument("threshold", [&] { return py::to_f32(given[0]); });
    if (is_given(1)) max_errors = argument("max_errors", [&] { return py::to_u32(given[1]); });
    if (is_given(2)) max_results = argument("max_results", [&] { return py::to_u64(given[2]); });
    if (is_given(3)) forgiving = to_flag(given[3]);
    if (is_given(4)) words = to_flag(given[4]);
    // The index's settings are read after the conversions, which may run Python code.
    Settings settings = state_of(self).index.settings();
    if (threshold) store_threshold(settings, *threshold);
    if (max_errors) store_max_errors(settings, *max_errors);
    if (max_results) store_max_results(settings, *max_results);
    if (forgiving) settings.forgiving = *forgiving;
    if (words) settings.words = *words;
    return settings;
}

constexpr std::array<const char*, 7> SEARCH_PARAMETERS = {
    "query", "workers", "threshold", "max_errors", "max_results", "forgiving", "words"};
constexpr Signature SEARCH_SIGNATURE = {"Index.search()", SEARCH_PARAMETERS, 1, 1};
constexpr Signature RANKED_SIGNATURE = {"Index.ranked()", SEARCH_PARAMETERS, 1, 1};

// Runs run(index, query, options) for one query and a search's own
// arguments, without the interpreter lock.
template <class Run>
auto one_query(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Run&& run) {
    std::array<PyObject*, 7> given;
    parse_arguments(signature, args, nargs, kwnames, given);
    state_of(self);
    const std::string_view bytes = argument("query", [&] { return text_of(given[0]); });
    std::optional<std::size_t> workers;
    if (given[1] && given[1] != Py_None) workers = to_workers(given[1]);
    const std::optional<Settings> settings =
        own_settings(self, std::span<PyObject* const, 5>(given.data() + 2, 5));
    return search_released(
        self, workers,
        [&](const ShardedIndex& index, const SearchOptions& options) { return run(index, bytes, options); },
        settings ? &*settings : nullptr, true);
}

std::vector<IndexHit> search_one(PyObject* self, const Signature& signature, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
    return one_query(self, signature, args, nargs, kwnames,
                     [](const ShardedIndex& index, std::string_view query, const SearchOptions& options) {
                         return index.search(query, options);
                     });
}

constexpr Signature MATCHING_SIGNATURE = {"Index.matching_ids()", SEARCH_PARAMETERS, 1, 1};

PyObject* index_matching_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const std::vector<std::uint32_t> ids =
            one_query(self, MATCHING_SIGNATURE, args, nargs, kwnames,
                      [](const ShardedIndex& index, std::string_view query, const SearchOptions& options) {
                          return index.matching_ids(query, options);
                      });
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
        for (std::size_t i = 0; i < ids.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            checked(PyLong_FromUnsignedLong(ids[i])).release());
        return list.release();
    });
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        return hit_list(search_one(self, SEARCH_SIGNATURE, args, nargs, kwnames)).release();
    });
}

PyObject* index_ranked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const std::vector<IndexHit> hits = search_one(self, RANKED_SIGNATURE, args, nargs, kwnames);
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(hits.size())));
        for (std::size_t i = 0; i < hits.size(); ++i) {
            PyRef shard = checked(PyLong_FromUnsignedLong(hits[i].shard));
            // (high << 64) + low, one int that orders as the pair does
            PyRef high = checked(PyLong_FromUnsignedLongLong(hits[i].rank.first));
            PyRef low = checked(PyLong_FromUnsignedLongLong(hits[i].rank.second));
            PyRef sixty_four = checked(PyLong_FromLong(64));
            PyRef shifted = checked(PyNumber_Lshift(high.get(), sixty_four.get()));
            PyRef rank = checked(PyNumber_Or(shifted.get(), low.get()));
            PyRef triple = checked(PyTuple_Pack(3, shard.get(), rank.get(), new_hit(hits[i]).get()));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), triple.release());
        }
        return list.release();
    });
}

constexpr std::array<const char*, 7> MANY_PARAMETERS = {"queries",     "workers",   "threshold", "max_errors",
                                                        "max_results", "forgiving", "words"};
constexpr Signature MANY_SIGNATURE = {"Index.search_many()", MANY_PARAMETERS, 1, 1};

PyObject* index_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 7> given;
        parse_arguments(MANY_SIGNATURE, args, nargs, kwnames, given);
        state_of(self);
        refuse_bare_str(given[0], "queries", "a query");
        const PyRef items = held_items(given[0], "argument 'queries': expected a sequence of str");
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        std::vector<std::string_view> queries;
        queries.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const std::string name = "queries[" + std::to_string(i) + "]";
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
            queries.push_back(argument(name.c_str(), [&] { return text_of(item); }));
        }
        std::optional<std::size_t> workers;
        if (given[1] && given[1] != Py_None) workers = to_workers(given[1]);
        const std::optional<Settings> settings = own_settings(self, std::span(given).subspan<2, 5>());
        const auto results = search_released(
            self, workers,
            [&](const ShardedIndex& index, const SearchOptions& options) {
                return index.search_many(queries, options);
            },
            settings ? &*settings : nullptr);
        PyRef list = checked(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), i, hit_list(results[static_cast<std::size_t>(i)]).release());
        return list.release();
    });
}

// --- attributes ---------------------------------------------------------------

PyObject* get_count(PyObject* self, void*) {
    return py::guarded<PyObject*>(
        nullptr, [&] { return checked(PyLong_FromSize_t(state_of(self).index.count())).release(); });
}

PyObject* get_shards(PyObject* self, void*) {
    return py::guarded<PyObject*>(
        nullptr, [&] { return checked(PyLong_FromSize_t(state_of(self).index.shard_count())).release(); });
}

PyObject* get_shard_capacity(PyObject* self, void*) {
    return py::guarded<PyObject*>(
        nullptr, [&] { return checked(PyLong_FromSize_t(state_of(self).index.shard_capacity())).release(); });
}

PyObject* get_folds(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr, [&] { return PyBool_FromLong(state_of(self).index.folds()); });
}

PyObject* get_kernel(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const Kernel kernel = state_of(self).kernel;
        return checked(
                   PyUnicode_FromString(kernel_name(kernel == Kernel::automatic ? widest_kernel() : kernel)))
            .release();
    });
}

PyObject* get_workers(PyObject* self, void*) {
    return py::guarded<PyObject*>(
        nullptr, [&] { return checked(PyLong_FromSize_t(state_of(self).workers)).release(); });
}

int set_workers(PyObject* self, PyObject* value, void*) {
    return py::guarded<int>(-1, [&] {
        if (!value) throw Error::lazy(PyExc_AttributeError, "can't delete attribute");
        state_of(self).workers = to_workers(value);  // read by searches only when they start
        return 0;
    });
}

PyObject* get_threshold(PyObject* self, void*) {
    return py::guarded<PyObject*>(
        nullptr, [&] { return float_of_thousandths(state_of(self).index.settings().threshold); });
}

PyObject* get_max_errors(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        return checked(PyLong_FromUnsignedLong(state_of(self).index.settings().max_errors)).release();
    });
}

PyObject* get_max_results(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        return checked(PyLong_FromUnsignedLongLong(state_of(self).index.settings().max_results)).release();
    });
}

// As the engine's setters: refuse deletion, convert (so that conversion code
// may use the index), then validate and store under the index's lock.
template <class Convert, class Store>
int set_setting(PyObject* self, PyObject* value, Convert&& convert, Store&& store) {
    return py::guarded<int>(-1, [&] {
        if (!value) throw Error::lazy(PyExc_AttributeError, "can't delete attribute");
        const auto converted = argument("value", [&] { return convert(value); });
        change(self, [&](ShardedIndex& index) {
            store(index.settings(), converted);
            return 0;
        });
        return 0;
    });
}

int set_threshold(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, py::to_f32, store_threshold);
}

int set_max_errors(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, py::to_u32, store_max_errors);
}

int set_max_results(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, py::to_u64, store_max_results);
}

// A mode flag of the settings, read and set as the other settings are.
template <bool Settings::* Flag>
PyObject* get_flag(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr,
                                  [&] { return PyBool_FromLong(state_of(self).index.settings().*Flag); });
}

template <bool Settings::* Flag>
int set_flag(PyObject* self, PyObject* value, void*) {
    return set_setting(self, value, to_flag, [](Settings& settings, bool flag) { settings.*Flag = flag; });
}

PyObject* get_metadata(PyObject* self, void*) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const std::string& metadata = state_of(self).metadata;
        return checked(PyBytes_FromStringAndSize(metadata.data(), static_cast<Py_ssize_t>(metadata.size())))
            .release();
    });
}

int set_metadata(PyObject* self, PyObject* value, void*) {
    return py::guarded<int>(-1, [&] {
        if (!value) throw Error::lazy(PyExc_AttributeError, "can't delete attribute");
        if (!PyBytes_Check(value))
            throw Error::lazy(PyExc_TypeError,
                              std::string("metadata must be bytes, not '") + Py_TYPE(value)->tp_name + "'");
        state_of(self).metadata.assign(PyBytes_AS_STRING(value),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
        return 0;
    });
}

PyObject* index_repr(PyObject* self) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const IndexState& state = state_of(self);
        const Settings& settings = state.index.settings();
        char threshold[16];
        std::snprintf(threshold, sizeof threshold, "%.2f",
                      static_cast<double>(thousandths_as_float(settings.threshold)));
        PyRef name = checked(PyType_GetName(Py_TYPE(self)));
        return checked(PyUnicode_FromFormat(
                           "%U(records=%zu, shards=%zu, threshold=%s, max_errors=%u, max_results=%llu)",
                           name.get(), state.index.count(), state.index.shard_count(), threshold,
                           settings.max_errors, static_cast<unsigned long long>(settings.max_results)))
            .release();
    });
}

// --- tables -------------------------------------------------------------------

template <class Method>
PyCFunction fast(Method method) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef index_methods[] = {
    {"add", fast(index_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, records, *, new_shard=False)\n--\n\n"
     "Add a record (a dict) or every record of a list, as murvex.Murvex.add takes them; a record\n"
     "without an 'id' gets the count of records before it. With new_shard, the first record\n"
     "starts a new shard. Returns the number of records added."},
    {"add_texts", fast(index_add_texts), METH_FASTCALL | METH_KEYWORDS,
     "add_texts($self, texts, ids=None)\n--\n\n"
     "Add one record per str of texts, with the ids given or the default ones; a call that fails\n"
     "adds nothing. Returns the number of records added."},
    {"add_frame", fast(index_add_frame), METH_FASTCALL | METH_KEYWORDS,
     "add_frame($self, frame, columns=None, id_column=None, *, row_ids=False)\n--\n\n"
     "Add one record per row of a table that exports Arrow data: its text the chosen string columns\n"
     "(default: all but the id column) joined with single spaces, nulls skipped; its id from id_column,\n"
     "the row's number with row_ids, else the default. A call that fails adds nothing. Returns the\n"
     "number of records added."},
    {"search", fast(index_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, *, workers=None, threshold=None, max_errors=None, max_results=None,\n"
     "       forgiving=None, words=None)\n--\n\n"
     "The best matches of query over every shard, as Hits, best first, ties in insertion order.\n"
     "Runs without the interpreter lock, on up to `workers` threads (default: the attribute). A\n"
     "setting given here applies to this search only (validated as its attribute is); None keeps\n"
     "the index's."},
    {"search_many", fast(index_search_many), METH_FASTCALL | METH_KEYWORDS,
     "search_many($self, queries, *, workers=None, threshold=None, max_errors=None, max_results=None,\n"
     "            forgiving=None, words=None)\n--\n\n"
     "[search(q, ...) for q in queries], spread over the worker threads."},
    {"matching_ids", fast(index_matching_ids), METH_FASTCALL | METH_KEYWORDS,
     "matching_ids($self, query, *, workers=None, threshold=None, max_errors=None, max_results=None,\n"
     "             forgiving=None, words=None)\n--\n\n"
     "The ids of every record search(query, ...) would find if it had no cap on its results\n"
     "(max_results plays no part), in insertion order."},
    {"ranked", fast(index_ranked), METH_FASTCALL | METH_KEYWORDS,
     "ranked($self, query, *, workers=None, threshold=None, max_errors=None, max_results=None,\n"
     "       forgiving=None, words=None)\n--\n\n"
     "As search, each Hit with the number of the shard that holds it and its rank: hits of several\n"
     "indexes rank as one index's would by (rank, shard number across the indexes, order in each)."},
    {"remove", fast(index_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, id, *, shard=None)\n--\n\n"
     "Remove the first record, in insertion order, carrying id (in that shard only, when given).\n"
     "Returns whether one was removed."},
    {"shards_holding", fast(index_shards_holding), METH_FASTCALL | METH_KEYWORDS,
     "shards_holding($self, id)\n--\n\nThe numbers of the shards holding a record with this id."},
    {"_add_encoded", fast(index_add_encoded), METH_FASTCALL | METH_KEYWORDS,
     "_add_encoded($self, data, lengths, ids, *, new_shard=False)\n--\n\n"
     "Add records in the form murvex_tools._native.encode_records gives; returns how many."},
    {"_truncate", fast(index_truncate), METH_FASTCALL | METH_KEYWORDS,
     "_truncate($self, shards)\n--\n\nDrop every shard from number `shards` on, with its records."},
    {"save", fast(index_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\n"
     "Write the index to a file (written beside it under a temporary name, then renamed), for load()."},
    {"records", fast(index_records), METH_FASTCALL | METH_KEYWORDS,
     "records($self, positions)\n--\n\nThe (id, text) of the records at these places in insertion order."},
    {"reset", index_reset, METH_NOARGS, "reset($self)\n--\n\nRemove every record; the settings stay."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"count", get_count, nullptr, "Number of records in all shards", nullptr},
    {"shards", get_shards, nullptr, "Number of shards in use", nullptr},
    {"shard_capacity", get_shard_capacity, nullptr, "Most records a shard takes", nullptr},
    {"kernel", get_kernel, nullptr, "The form of the search kernel searches run in", nullptr},
    {"folds", get_folds, nullptr,
     "Whether the index keeps its texts Unicode-folded (see fold()): made in the forgiving or words mode.\n"
     "Its forgiving and words searches then fold the query and find 'Munchen' for 'München'; its strict\n"
     "searches match the texts as they are",
     nullptr},
    {"workers", get_workers, set_workers, "Threads a search runs on (at least 1)", nullptr},
    {"threshold", get_threshold, set_threshold, "Minimum score, 0.0 to 1.0 (held in whole thousandths)",
     nullptr},
    {"max_errors", get_max_errors, set_max_errors, "Byte edits allowed, 0 to 3", nullptr},
    {"max_results", get_max_results, set_max_results, "Most results per search, 0 to 100", nullptr},
    {"forgiving", get_flag<&Settings::forgiving>, set_flag<&Settings::forgiving>,
     "The forgiving matching: swaps as one edit, any first byte, letters the record lacks; records\n"
     "ranked by the words that cover the match",
     nullptr},
    {"words", get_flag<&Settings::words>, set_flag<&Settings::words>,
     "The words mode: each word of the query matched on its own (forgiving rules), in any order", nullptr},
    {"metadata", get_metadata, set_metadata,
     "Bytes kept with the index: save() writes them into the file, load() gives them back", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Index(threshold=0.25, max_errors=2, max_results=50, *, shard_capacity=100000, "
                       "workers=None, kernel='automatic', forgiving=False, words=False)\n--\n\n"
                       "Any number of records in shards of up to shard_capacity, searched as one engine of\n"
                       "unlimited size would search them, with the interpreter lock released.")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "murvex_tools._native.Index",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    index_slots,
};

// The class, built once at import and kept for the life of the process (the
// module is never unloaded): load() checks the type it is given against it.
PyTypeObject* index_class = nullptr;

}  // namespace

PyTypeObject* index_type() { return index_class; }

PyTypeObject* build_index_type() {
    if (!index_class) index_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&index_spec));
    if (index_class) Py_INCREF(index_class);
    return index_class;
}

}  // namespace murvex::tools
