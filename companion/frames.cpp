// Index.add_frame and frame_texts: rows of a table from its Arrow buffers.
// A row's text is made as add() makes it from a dict (string values joined
// with single spaces, nulls skipped; nothing, no record); a call that fails
// adds nothing.
#include "bulk.hpp"

#include "arrow.hpp"
#include "convert.hpp"
#include "index_state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

namespace murvex::tools {

namespace {

using py::argument;
using py::checked;

constexpr const char* ID_RANGE = "a whole number from 0 to 4294967295";

// Which columns make a row's text and which holds its id.
struct ColumnChoice {
    std::vector<std::string> texts;  // empty: every string column but the id column
    std::optional<std::string> id;
};

ColumnChoice choice_of(PyObject* columns, PyObject* id_column) {
    ColumnChoice choice;
    if (id_column && id_column != Py_None)
        choice.id = std::string(argument("id_column", [&] { return text_of(id_column); }));
    if (!columns || columns == Py_None) return choice;
    if (PyUnicode_Check(columns)) {
        choice.texts.emplace_back(argument("columns", [&] { return text_of(columns); }));
        return choice;
    }
    PyRef names(PySequence_Fast(columns, "argument 'columns': expected a column name or a sequence of them"));
    if (!names) throw Error::fetch();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
        const std::string name = "columns[" + std::to_string(i) + "]";
        choice.texts.emplace_back(
            argument(name.c_str(), [&] { return text_of(PySequence_Fast_GET_ITEM(names.get(), i)); }));
    }
    if (choice.texts.empty()) throw Error::lazy(PyExc_ValueError, "argument 'columns': no column named");
    return choice;
}

std::string column_names(const arrow::Batch& batch) {
    std::string names;
    for (const arrow::Column& column : batch.columns) names += (names.empty() ? "" : ", ") + column.name();
    return names;
}

// The batch's columns as chosen, checked.
struct Chosen {
    std::vector<const arrow::Column*> texts;
    const arrow::Column* id = nullptr;
};

Chosen resolve(const arrow::Batch& batch, const ColumnChoice& choice) {
    Chosen chosen;
    const auto named = [&](const std::string& name) {
        const arrow::Column* column = batch.find(name);
        if (!column)
            throw Error::lazy(PyExc_ValueError, "no column '" + name + "' in the table (its columns: " +
                                                    column_names(batch) + ")");
        return column;
    };
    if (choice.id) {
        chosen.id = named(*choice.id);
        if (!chosen.id->is_integer())
            throw Error::lazy(PyExc_ValueError, "column '" + *choice.id + "' is " + chosen.id->type_name() +
                                                    ", not integers (ids)");
    }
    for (const std::string& name : choice.texts) {
        const arrow::Column* column = named(name);
        if (!column->is_string())
            throw Error::lazy(PyExc_ValueError,
                              "column '" + name + "' is " + column->type_name() + ", not strings");
        chosen.texts.push_back(column);
    }
    if (choice.texts.empty())
        for (const arrow::Column& column : batch.columns)
            if (column.is_string() && &column != chosen.id) chosen.texts.push_back(&column);
    if (chosen.texts.empty())
        throw Error::lazy(PyExc_ValueError,
                          "the table has no string column (its columns: " + column_names(batch) + ")");
    return chosen;
}

// Checks the chosen text columns' buffers and values before any is read
// (arrow::Column::check_rows), each column in parts on up to `workers`
// threads; the fault named is the first, by column and row, however the
// threads took the parts. `first_row`: the batch's first row in the table.
void check_texts(const arrow::Batch& batch, const Chosen& chosen, std::int64_t first_row,
                 std::size_t workers) {
    for (const arrow::Column* column : chosen.texts) column->check_dictionary();
    constexpr std::int64_t PART_ROWS = 1 << 16;
    const auto parts = static_cast<std::size_t>((batch.rows + PART_ROWS - 1) / PART_ROWS);
    std::vector<std::optional<Error>> faults(parts * chosen.texts.size());
    shared_pool().run(faults.size(), workers, [&](std::size_t task, std::size_t) {
        const std::int64_t first = static_cast<std::int64_t>(task % parts) * PART_ROWS;
        try {
            chosen.texts[task / parts]->check_rows(first, std::min(batch.rows, first + PART_ROWS), first_row);
        } catch (Error& fault) {
            faults[task].emplace(std::move(fault));
        }
    });
    for (std::optional<Error>& fault : faults)
        if (fault) throw std::move(*fault);
}

std::uint32_t id_at(const arrow::Column& column, std::int64_t row, std::int64_t shown_row) {
    const std::optional<std::int64_t> value = column.integer(row);
    if (value && *value >= 0 && *value <= INT64_C(0xFFFFFFFF)) [[likely]]
        return static_cast<std::uint32_t>(*value);
    // The message is made only here: every row passes through this function.
    const std::string where = "column '" + column.name() + "' row " + std::to_string(shown_row) + ": ";
    if (!value) throw Error::lazy(PyExc_ValueError, where + "null, where every row needs an id");
    throw Error::lazy(PyExc_ValueError, where + std::to_string(*value) + " is not an id (" + ID_RANGE + ")");
}

// The row's values of the text columns that are not null (none for a row of nulls).
std::span<const std::string_view> parts_of(const Chosen& chosen, std::int64_t row,
                                           std::vector<std::string_view>& parts) {
    parts.clear();
    for (const arrow::Column* column : chosen.texts)
        if (const auto text = column->text(row)) parts.push_back(*text);
    return parts;
}

// Where a frame's ids come from.
enum class IdSource : std::uint8_t { column, row, count };

// The records a batch makes: the rows that have text and their ids, read
// and checked before any of them is appended.
struct BatchRecords {
    std::vector<std::int64_t> rows;  // empty when every row has text
    std::vector<std::uint32_t> ids;

    std::int64_t row(std::size_t record) const noexcept {
        return rows.empty() ? static_cast<std::int64_t>(record) : rows[record];
    }
};

// `first_row`: the batch's first row in the whole table; `before`: the
// records the index held before the batch.
BatchRecords records_of(const arrow::Batch& batch, const Chosen& chosen, IdSource source,
                        std::int64_t first_row, std::size_t before) {
    BatchRecords records;
    // The rows that have a value in some text column, 64 at a time.
    std::vector<std::uint64_t> with_text;
    std::size_t count = 0;
    if (std::none_of(chosen.texts.begin(), chosen.texts.end(),
                     [](const arrow::Column* column) { return !column->has_nulls(); })) {
        with_text.resize(static_cast<std::size_t>((batch.rows + 63) / 64));
        for (std::size_t w = 0; w < with_text.size(); ++w) {
            for (const arrow::Column* column : chosen.texts)
                with_text[w] |= column->valid_bits(static_cast<std::int64_t>(64 * w), batch.rows);
            count += static_cast<std::size_t>(std::popcount(with_text[w]));
        }
    }
    if (count == static_cast<std::size_t>(batch.rows) || with_text.empty()) {
        count = static_cast<std::size_t>(batch.rows);  // every row has text
    } else {
        records.rows.reserve(count);
        for (std::size_t w = 0; w < with_text.size(); ++w)
            for (std::uint64_t bits = with_text[w]; bits != 0; bits &= bits - 1)
                records.rows.push_back(static_cast<std::int64_t>(64 * w) + std::countr_zero(bits));
    }
    records.ids.resize(count);
    switch (source) {
        case IdSource::column:
            // Rows without text add nothing, but their ids are checked too.
            if (!records.rows.empty())
                for (std::int64_t row = 0; row < batch.rows; ++row) id_at(*chosen.id, row, first_row + row);
            for (std::size_t k = 0; k < count; ++k)
                records.ids[k] = id_at(*chosen.id, records.row(k), first_row + records.row(k));
            break;
        case IdSource::row:
            if (count > 0) default_id(static_cast<std::size_t>(first_row + records.row(count - 1)));
            for (std::size_t k = 0; k < count; ++k)
                records.ids[k] = static_cast<std::uint32_t>(first_row + records.row(k));
            break;
        case IdSource::count:
            if (count > 0) default_id(before + count - 1);
            for (std::size_t k = 0; k < count; ++k) records.ids[k] = static_cast<std::uint32_t>(before + k);
            break;
    }
    return records;
}

// Copies n bytes, at least one Word and at most two, as two words that may overlap.
template <class Word>
void copy_two_words(const char* in, std::size_t n, char* out) noexcept {
    Word head, tail;
    std::memcpy(&head, in, sizeof(Word));
    std::memcpy(&tail, in + n - sizeof(Word), sizeof(Word));
    std::memcpy(out, &head, sizeof(Word));
    std::memcpy(out + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies a value of a few bytes without a call.
inline char* copy_value(const std::string_view value, char* out) noexcept {
    const std::size_t n = value.size();
    const char* in = value.data();
    if (n > 16) {
        std::memcpy(out, in, n);
    } else if (n >= 8) {
        copy_two_words<std::uint64_t>(in, n, out);
    } else if (n >= 4) {
        copy_two_words<std::uint32_t>(in, n, out);
    } else if (n > 0) {
        out[0] = in[0];
        out[n / 2] = in[n / 2];
        out[n - 1] = in[n - 1];
    }
    return out + n;
}

// Makes the texts of a batch's records a chunk at a time, column by column:
// first each record's values are counted and measured, then each column's
// values are copied to where their records' texts are joined. A record of
// one value is a view into its column.
class Joiner {
public:
    static constexpr std::size_t CHUNK = 1024;

    // The texts of records [first, end), at most CHUNK of them; they live
    // until the next call.
    std::span<const std::string_view> texts(const Chosen& chosen, const BatchRecords& records,
                                            std::size_t first, std::size_t end) {
        const std::size_t n = end - first;
        texts_.assign(n, {});
        values_.assign(n, 0);
        bytes_.assign(n, 0);
        const auto measure = [&](std::size_t k, std::string_view value) {
            if (values_[k]++ == 0) texts_[k] = value;
            bytes_[k] += value.size();
        };
        for_each_text(chosen, records, first, end, measure);
        // Where each joined text goes: every value is written after a
        // space, and the text starts after the first one.
        std::size_t joined_bytes = 0;
        for (std::size_t k = 0; k < n; ++k)
            if (values_[k] > 1) joined_bytes += bytes_[k] + values_[k];
        if (joined_bytes == 0) return texts_;
        joined_.truncate(0);
        char* next = joined_.grow_by(joined_bytes);
        ends_.assign(n, nullptr);
        for (std::size_t k = 0; k < n; ++k)
            if (values_[k] > 1) {
                texts_[k] = std::string_view(next + 1, bytes_[k] + values_[k] - 1);
                ends_[k] = next;
                next += bytes_[k] + values_[k];
            }
        for_each_text(chosen, records, first, end, [&](std::size_t k, std::string_view value) {
            if (values_[k] < 2) return;
            *ends_[k] = ' ';
            ends_[k] = copy_value(value, ends_[k] + 1);
        });
        return texts_;
    }

private:
    // visit(k, value) for every value of records [first, end), column by column.
    template <class Visit>
    static void for_each_text(const Chosen& chosen, const BatchRecords& records, std::size_t first,
                              std::size_t end, const Visit& visit) {
        for (const arrow::Column* column : chosen.texts)
            if (records.rows.empty())  // record k is row k
                column->each_text_between(static_cast<std::int64_t>(first), static_cast<std::int64_t>(end),
                                          visit);
            else
                column->each_text(end - first, [&](std::size_t k) { return records.rows[first + k]; }, visit);
    }

    std::vector<std::string_view> texts_;
    std::vector<std::uint32_t> values_;  // of each record, not null
    std::vector<std::size_t> bytes_;     // of each record's values
    std::vector<char*> ends_;            // of each joined text so far
    PodBuffer<char> joined_;
};

// Appends records [first, first + n) of the batch to `shard`, their texts
// joined a chunk at a time, so that they are still in the cache when the
// store writes them.
void append_records(const Chosen& chosen, const BatchRecords& records, std::size_t first, std::size_t n,
                    RecordStore& shard, Joiner& joiner) {
    const std::int64_t first_row = records.row(first), end_row = records.row(first + n - 1) + 1;
    std::size_t bytes = 0;
    for (const arrow::Column* column : chosen.texts) bytes += column->text_bytes(first_row, end_row);
    RecordStore::BulkAppend bulk(shard, n, bytes);
    const std::span<const std::uint32_t> ids(records.ids);
    for (std::size_t chunk = first; chunk < first + n; chunk += Joiner::CHUNK) {
        const std::size_t end = std::min(first + n, chunk + Joiner::CHUNK);
        bulk.append(ids.subspan(chunk, end - chunk), joiner.texts(chosen, records, chunk, end));
    }
}

constexpr std::array<const char*, 4> FRAME_PARAMETERS = {"frame", "columns", "id_column", "row_ids"};
constexpr py::Signature FRAME_SIGNATURE = {"Index.add_frame()", FRAME_PARAMETERS, 1, 3};

}  // namespace

PyObject* index_add_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 4> given;
        py::parse_arguments(FRAME_SIGNATURE, args, nargs, kwnames, given);
        const ColumnChoice choice = choice_of(given[1], given[2]);
        const bool row_ids = given[3] && PyObject_IsTrue(given[3]) == 1;
        if (row_ids && choice.id) throw Error::lazy(PyExc_ValueError, "give id_column or row_ids, not both");
        const IdSource source = choice.id ? IdSource::column : row_ids ? IdSource::row : IdSource::count;
        std::size_t added = 0;
        const std::size_t workers = state_of(self).workers;
        change(self, [&](ShardedIndex& index) {
            const std::size_t before = index.count();
            std::int64_t first_row = 0;  // of the batch, in the whole table
            std::vector<Joiner> joiners(std::max<std::size_t>(workers, 1));
            try {
                // Each batch goes in before the next: its buffers live only until then.
                arrow::for_each_batch(given[0], [&](const arrow::Batch& batch) {
                    const Chosen chosen = resolve(batch, choice);
                    check_texts(batch, chosen, first_row, workers);
                    const BatchRecords records = records_of(batch, chosen, source, first_row, index.count());
                    const auto append = [&](std::size_t first, std::size_t n, std::size_t slot,
                                            RecordStore& shard) {
                        append_records(chosen, records, first, n, shard, joiners[slot]);
                    };
                    index.append_runs(records.ids.size(), append, false, &shared_pool(), workers);
                    first_row += batch.rows;
                });
            } catch (...) {
                index.truncate_records(before);
                throw;
            }
            added = index.count() - before;
            return 0;
        });
        return checked(PyLong_FromSize_t(added)).release();
    });
}

namespace {

constexpr std::array<const char*, 2> ROWS_PARAMETERS = {"frame", "columns"};
constexpr py::Signature ROWS_SIGNATURE = {"frame_texts()", ROWS_PARAMETERS, 1};

}  // namespace

PyObject* frame_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&] {
        std::array<PyObject*, 2> given;
        py::parse_arguments(ROWS_SIGNATURE, args, nargs, kwnames, given);
        const ColumnChoice choice = choice_of(given[1], nullptr);
        PyRef list = checked(PyList_New(0));
        std::vector<std::string_view> parts;
        std::string joined;
        std::int64_t first_row = 0;
        arrow::for_each_batch(given[0], [&](const arrow::Batch& batch) {
            const Chosen chosen = resolve(batch, choice);
            check_texts(batch, chosen, first_row, 1);
            first_row += batch.rows;
            for (std::int64_t row = 0; row < batch.rows; ++row) {
                const auto text = parts_of(chosen, row, parts);
                PyRef value = PyRef::borrow(Py_None);
                if (!text.empty()) {
                    joined.clear();
                    for (std::size_t i = 0; i < text.size(); ++i) (joined += i ? " " : "") += text[i];
                    value = PyRef(
                        PyUnicode_DecodeUTF8(joined.data(), static_cast<Py_ssize_t>(joined.size()), nullptr));
                    if (!value) throw Error::fetch();
                }
                if (PyList_Append(list.get(), value.get()) < 0) throw Error::fetch();
            }
        });
        return list.release();
    });
}

}  // namespace murvex::tools
