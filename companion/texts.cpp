// Index.add_texts: one record per str, read on the worker threads straight
// from the str and int objects. Text is kept as add() keeps a dict's string
// value; a call that fails adds nothing.
#include "bulk.hpp"

#include "convert.hpp"
#include "index_state.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>

namespace murvex::tools {

namespace {

using py::checked;

// Records gathered for one append: ids, and texts that are views into the
// caller's memory.
struct Gathered {
    std::vector<std::uint32_t> ids;
    std::vector<std::string_view> texts;

    void add(std::uint32_t id, std::string_view text) {
        ids.push_back(id);
        texts.push_back(text);
    }
};

// Appends what was gathered, on the index's worker threads; on failure
// removes all this call appended.
void append_all(ShardedIndex& index, std::size_t workers, std::size_t before, const Gathered& gathered) {
    try {
        index.append_many(gathered.ids, gathered.texts, false, &shared_pool(), workers);
    } catch (...) {
        index.truncate_records(before);
        throw;
    }
}

// --- add_texts ----------------------------------------------------------------

// Texts and ids are read by the worker threads, straight from the objects,
// while the calling thread holds the interpreter lock and runs no Python
// code: a str's length, kind and code points and a small int's value are
// fields that never change. An item that needs the interpreter (not a str,
// a lone surrogate, an id that is not a small int) sends the whole call
// back to the calling thread, which reads it as add() would and says what
// is wrong with it.
struct NeedsInterpreter {};

// Appends the UTF-8 of `count` code points; false at a lone surrogate.
template <class Unit>
bool append_utf8(const Unit* units, std::size_t count, PodBuffer<char>& out) {
    constexpr std::size_t MOST = sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;  // bytes for a code point
    const std::size_t at = out.size();
    auto* p = reinterpret_cast<unsigned char*>(out.grow_by(count * MOST));
    const auto* start = p;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t c = units[i];
        if (c < 0x80) {
            *p++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *p++ = static_cast<unsigned char>(0xC0 | c >> 6);
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            *p++ = static_cast<unsigned char>(0xE0 | c >> 12);
            *p++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *p++ = static_cast<unsigned char>(0xF0 | c >> 18);
            *p++ = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    out.truncate(at + static_cast<std::size_t>(p - start));
    return true;
}

// Whether a str's code points can be read as they lie: before 3.12 a str
// made by the old C API may not have them yet (lay_out() makes them).
bool laid_out([[maybe_unused]] PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(str);
#else
    return true;
#endif
}

// Makes a str's code points where they are not yet, with the interpreter
// lock; false with the error set when that fails.
bool lay_out([[maybe_unused]] PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str) == 0;
#else
    return true;
#endif
}

// A str's code points, of the width it keeps them in.
template <class Visit>
decltype(auto) visit_code_points(PyObject* str, const Visit& visit) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return visit(std::span(static_cast<const Py_UCS1*>(data), length));
        case PyUnicode_2BYTE_KIND: return visit(std::span(static_cast<const Py_UCS2*>(data), length));
        default: return visit(std::span(static_cast<const Py_UCS4*>(data), length));
    }
}

// One worker's reading of a chunk of items at a time.
class StrReader {
public:
    static constexpr std::size_t CHUNK = 1024;

    // The texts of `items` (at most CHUNK); they live until the next call.
    // An ASCII str's text is its own bytes; others are encoded here.
    std::span<const std::string_view> texts(std::span<PyObject* const> items) {
        texts_.resize(items.size());
        ascii_.assign(items.size(), 0);
        encoded_.clear();
        utf8_.truncate(0);
        for (std::size_t k = 0; k < items.size(); ++k) {
            PyObject* item = items[k];
            if (!PyUnicode_Check(item) || !laid_out(item)) throw NeedsInterpreter{};
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
            const void* data = PyUnicode_DATA(item);
            if (PyUnicode_IS_ASCII(item)) {
                texts_[k] = std::string_view(static_cast<const char*>(data), length);
                ascii_[k] = 1;
                continue;
            }
            const std::size_t at = utf8_.size();
            if (!visit_code_points(
                    item, [&](auto units) { return append_utf8(units.data(), units.size(), utf8_); }))
                throw NeedsInterpreter{};
            encoded_.emplace_back(k, at);
        }
        // The buffer has stopped moving: the views into it can be made.
        for (std::size_t e = 0; e < encoded_.size(); ++e) {
            const auto [k, at] = encoded_[e];
            const std::size_t end = e + 1 < encoded_.size() ? encoded_[e + 1].second : utf8_.size();
            texts_[k] = std::string_view(utf8_.data() + at, end - at);
        }
        return texts_;
    }

    // For each text of the last texts(), 1 when its str is ASCII.
    std::span<const std::uint8_t> ascii() const noexcept { return ascii_; }

    // The texts of `items` (at most CHUNK) as a store that folds places
    // them, folded from their code points; they live until the next call.
    RecordStore::FoldedChunk& folded(std::span<PyObject* const> items) {
        folded_.clear();
        for (PyObject* item : items)
            if (!PyUnicode_Check(item) || !laid_out(item) || !add_folded_str(folded_, item))
                throw NeedsInterpreter{};
        return folded_;
    }

    // The ids of `items`, small ints all.
    std::span<const std::uint32_t> ids(std::span<PyObject* const> items) {
        ids_.resize(items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            PyObject* item = items[k];
            if (!PyLong_CheckExact(item)) throw NeedsInterpreter{};
            const auto* value = reinterpret_cast<const PyLongObject*>(item);
            if (!PyUnstable_Long_IsCompact(value)) throw NeedsInterpreter{};
            const Py_ssize_t id = PyUnstable_Long_CompactValue(value);
            if (id < 0 || static_cast<std::uint64_t>(id) > UINT32_MAX) throw NeedsInterpreter{};
            ids_[k] = static_cast<std::uint32_t>(id);
        }
        return ids_;
    }
    // Ids from `first` on, one by one.
    std::span<const std::uint32_t> ids(std::size_t first, std::size_t count) {
        ids_.resize(count);
        for (std::size_t k = 0; k < count; ++k) ids_[k] = static_cast<std::uint32_t>(first + k);
        return ids_;
    }

private:
    std::vector<std::string_view> texts_;
    std::vector<std::uint8_t> ascii_;
    std::vector<std::pair<std::size_t, std::size_t>> encoded_;  // (item, offset in utf8_)
    PodBuffer<char> utf8_;
    RecordStore::FoldedChunk folded_;
    std::vector<std::uint32_t> ids_;
};

// Appends every item as a record, read on the worker threads; false, with
// nothing of them appended, when an item needs the interpreter. `ids` is
// null for the default ids.
bool append_read_by_workers(ShardedIndex& index, std::span<PyObject* const> texts, PyObject* const* ids,
                            std::size_t workers) {
    const std::size_t before = index.count();
    if (texts.empty()) return true;
    if (!ids && before + texts.size() - 1 > UINT32_MAX) return false;
    std::vector<StrReader> readers(std::max<std::size_t>(workers, 1));
    std::atomic<bool> given_up{false};  // once one thread meets such an item, the others stop too
    const auto append = [&](std::size_t first, std::size_t count, std::size_t slot, RecordStore& shard) {
        StrReader& reader = readers[slot];
        std::optional<RecordStore::BulkAppend> bulk;
        for (std::size_t chunk = first; chunk < first + count; chunk += StrReader::CHUNK) {
            const std::size_t end = std::min(first + count, chunk + StrReader::CHUNK);
            const std::span<PyObject* const> items = texts.subspan(chunk, end - chunk);
            std::span<const std::string_view> chunk_texts;
            RecordStore::FoldedChunk* folded = nullptr;
            std::span<const std::uint32_t> chunk_ids;
            try {
                if (given_up.load(std::memory_order_relaxed)) throw NeedsInterpreter{};
                // A store that folds is given its texts folded as they are read.
                if (shard.folds()) {
                    folded = &reader.folded(items);
                    chunk_texts = folded->texts();
                } else {
                    chunk_texts = reader.texts(items);
                }
                chunk_ids = ids ? reader.ids(std::span(ids + chunk, end - chunk))
                                : reader.ids(before + chunk, end - chunk);
            } catch (const NeedsInterpreter&) {
                given_up.store(true, std::memory_order_relaxed);
                throw;
            }
            if (!bulk) {  // the run's bytes, as far as its first chunk tells
                std::size_t bytes = 0;
                for (const std::string_view text : chunk_texts) bytes += text.size();
                bulk.emplace(shard, count, bytes / chunk_texts.size() * count);
            }
            if (folded)
                bulk->append(chunk_ids, *folded);
            else
                bulk->append(chunk_ids, chunk_texts, reader.ascii());
        }
    };
    try {
        index.append_runs(texts.size(), append, false, &shared_pool(), workers);
    } catch (const NeedsInterpreter&) {
        index.truncate_records(before);
        return false;
    } catch (...) {
        index.truncate_records(before);
        throw;
    }
    return true;
}

}  // namespace

bool add_folded_str(RecordStore::FoldedChunk& chunk, PyObject* str) {
    if (PyUnicode_IS_ASCII(str)) {
        chunk.add(std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))),
                  true);
        return true;
    }
    return visit_code_points(str, [&](auto units) { return chunk.add_code_points(units); });
}

bool add_folded_strs(RecordStore::FoldedChunk& chunk, std::span<PyObject* const> strs,
                     std::vector<Py_UCS4>& joined) {
    for (PyObject* str : strs)
        if (!lay_out(str)) throw Error::fetch();
    chunk.clear();
    if (strs.size() == 1) return add_folded_str(chunk, strs[0]);
    joined.clear();
    bool any = false;
    for (PyObject* str : strs) {
        const bool whole = visit_code_points(str, [](auto units) {
            return std::none_of(units.begin(), units.end(),
                                [](auto u) { return u >= 0xD800 && u <= 0xDFFF; });
        });
        if (!whole) continue;  // a lone surrogate
        if (any) joined.push_back(' ');
        any = true;
        visit_code_points(str, [&](auto units) { joined.insert(joined.end(), units.begin(), units.end()); });
    }
    return any && chunk.add_code_points(std::span<const Py_UCS4>(joined));
}

namespace {

constexpr std::array<const char*, 2> TEXTS_PARAMETERS = {"texts", "ids"};
constexpr py::Signature TEXTS_SIGNATURE = {"Index.add_texts()", TEXTS_PARAMETERS, 1};

}  // namespace

PyObject* index_add_texts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> given;
        py::parse_arguments(TEXTS_SIGNATURE, args, nargs, kwnames, given);
        refuse_bare_str(given[0], "texts", "a text");
        const PyRef texts = held_items(given[0], "argument 'texts': expected a sequence or iterable of str");
        PyRef ids;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(texts.get());
        if (given[1] && given[1] != Py_None) {
            ids = held_items(given[1], "argument 'ids': expected a sequence of int");
            if (PySequence_Fast_GET_SIZE(ids.get()) != n)
                throw Error::lazy(PyExc_ValueError,
                                  "texts and ids differ in length: " + std::to_string(n) + " texts, " +
                                      std::to_string(PySequence_Fast_GET_SIZE(ids.get())) + " ids");
        }
        const std::size_t workers = state_of(self).workers;
        const std::span items(PySequence_Fast_ITEMS(texts.get()), static_cast<std::size_t>(n));
        PyObject* const* id_items = ids ? PySequence_Fast_ITEMS(ids.get()) : nullptr;
        if (change(self, [&](ShardedIndex& index) {
                return append_read_by_workers(index, items, id_items, workers);
            }))
            return checked(PyLong_FromSsize_t(n)).release();

        const std::size_t before = state_of(self).index.count();
        Gathered gathered;
        gathered.ids.reserve(static_cast<std::size_t>(n));
        gathered.texts.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(texts.get(), i);
            if (!PyUnicode_Check(item)) {
                const std::string name = "texts[" + std::to_string(i) + "]";
                throw Error::lazy(PyExc_TypeError,
                                  "argument '" + name + "': " + py::cannot_convert(item, "str").message());
            }
            std::optional<std::uint32_t> id;
            if (ids) {
                try {
                    id = py::to_u32(PySequence_Fast_GET_ITEM(ids.get(), i));
                } catch (Error& error) {  // every kind of error names the position
                    throw Error::lazy(error.type(),
                                      "argument 'ids[" + std::to_string(i) + "]': " + error.message(),
                                      error.cause());
                }
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(item, &size);
            if (!data) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw Error::fetch();
                py::discard_error();  // a lone surrogate: no text, as for a dict's value
                continue;
            }
            gathered.add(id ? *id : default_id(before + gathered.ids.size()),
                         std::string_view(data, static_cast<std::size_t>(size)));
        }
        change(self, [&](ShardedIndex& index) {
            append_all(index, workers, before, gathered);
            return 0;
        });
        return checked(PyLong_FromSize_t(gathered.ids.size())).release();
    });
}

}  // namespace murvex::tools
