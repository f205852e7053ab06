// Tables from any library that exports Arrow data through the Arrow
// PyCapsule interface (__arrow_c_stream__ or __arrow_c_array__): pyarrow,
// polars, pandas 2.2 and later, DuckDB. Read straight from their buffers
// through the Arrow C data interface, without pyarrow and without Python
// objects per value.
#pragma once

#include "native.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murvex::tools::arrow {

// The Arrow C data interface (its layout is the ABI every exporter keeps).
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

// One column of a batch: its values by row, nulls as nothing.
class Column {
public:
    Column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t parent_offset);

    const std::string& name() const noexcept { return name_; }
    bool is_string() const noexcept {
        return kind_ == Kind::utf8 || kind_ == Kind::large_utf8 || kind_ == Kind::view;
    }
    bool is_integer() const noexcept { return kind_ == Kind::integer; }
    // The Arrow type, as its format says it ("int64", "utf8", ...).
    std::string type_name() const;

    std::optional<std::string_view> text(std::int64_t row) const noexcept;
    // An integer column's value; nothing for a null. Values of unsigned
    // 64-bit columns above INT64_MAX come out as INT64_MAX: they are no ids.
    std::optional<std::int64_t> integer(std::int64_t row) const noexcept;

private:
    enum class Kind { other, utf8, large_utf8, view, integer };
    bool valid(std::int64_t row) const noexcept;

    std::string name_;
    std::string format_;
    Kind kind_ = Kind::other;
    int width_ = 0;  // bytes per integer
    bool is_signed_ = false;
    const ArrowArray& array_;
    std::int64_t offset_;  // of the parent and the column: row r is physical r + offset_
};

// One batch of rows: its columns, by name.
struct Batch {
    std::int64_t rows;
    std::vector<Column> columns;

    // The column of that name, or nullptr.
    const Column* find(std::string_view name) const noexcept;
};

// Calls body(batch) for every batch of the table `frame` exports; the
// batches' memory is the exporter's and lives until body returns. TypeError
// for an object that exports no Arrow data.
void for_each_batch(PyObject* frame, const std::function<void(const Batch&)>& body);

}  // namespace murvex::tools::arrow
