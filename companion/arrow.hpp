// Tables from any library that exports Arrow data through the Arrow
// PyCapsule interface (__arrow_c_stream__ or __arrow_c_array__): pyarrow,
// polars, pandas 2.2 and later, DuckDB. Read straight from their buffers
// through the Arrow C data interface, without pyarrow and without Python
// objects per value.
#pragma once

#include "native.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
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

// Whether `bytes` are UTF-8 text: no stray or missing continuation bytes,
// no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8(std::string_view bytes) noexcept;
bool is_ascii(std::string_view bytes) noexcept;

// One column of a batch: its values by row, nulls as nothing. A
// dictionary-encoded column reads its values through its dictionary.
class Column {
public:
    Column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t parent_offset);

    const std::string& name() const noexcept { return name_; }
    bool is_string() const noexcept {
        return kind_ == Kind::utf8 || kind_ == Kind::large_utf8 || kind_ == Kind::view ||
               (kind_ == Kind::dictionary && dictionary_->is_string());
    }
    bool is_integer() const noexcept { return kind_ == Kind::integer; }
    // The Arrow type, as its format says it ("int64", "utf8", ...).
    std::string type_name() const;

    // Checks, before any value of rows [first, end) is read, what the C data
    // interface lets be checked of a string column: buffers where values
    // need them, offsets that never go back or below 0, views within their
    // data buffers, dictionary indices within the dictionary; then that
    // every value is UTF-8. ValueError naming the column and the row
    // (first_row + row) otherwise. The size of a utf8 data buffer is not
    // exported, so offsets past its end cannot be told from here. Rows may
    // be checked in parts, on several threads.
    void check_rows(std::int64_t first, std::int64_t end, std::int64_t first_row) const;
    // The same for every value of a dictionary-encoded column's dictionary
    // (a fault names the dictionary entry); nothing for other columns.
    void check_dictionary() const;

    // Whether the row holds a value, not a null.
    bool valid(std::int64_t row) const noexcept;
    bool has_nulls() const noexcept { return array_.null_count != 0 && array_.buffers[0]; }
    // Bit i tells whether row first + i holds a value, for i below 64 and
    // first + i below `rows`, the column's length; the other bits are 0.
    std::uint64_t valid_bits(std::int64_t first, std::int64_t rows) const noexcept;
    // A string column's value; nothing for a null.
    std::optional<std::string_view> text(std::int64_t row) const noexcept;
    // Calls visit(k, value) for each k below n, in order, whose row
    // row_of(k) holds a string, not a null: a loop per column, without a
    // test of its type per value.
    template <class RowOf, class Visit>
    void each_text(std::size_t n, RowOf&& row_of, Visit&& visit) const;
    // The same for the rows [first, end): visit(row - first, value), the
    // nulls skipped 64 rows at a time.
    template <class Visit>
    void each_text_between(std::int64_t first, std::int64_t end, Visit&& visit) const;
    // The bytes of a string column's values in rows [first, end).
    std::size_t text_bytes(std::int64_t first, std::int64_t end) const noexcept;
    // An integer column's value; nothing for a null. Values of unsigned
    // 64-bit columns above INT64_MAX come out as INT64_MAX: they are no ids.
    std::optional<std::int64_t> integer(std::int64_t row) const noexcept;

private:
    enum class Kind { other, utf8, large_utf8, view, integer, dictionary };
    std::string_view text_in_view(std::int64_t at) const noexcept;
    template <class Offset>
    void check_offsets(std::int64_t first, std::int64_t end, std::int64_t first_row) const;
    template <class Offset>
    bool utf8_as_a_whole(std::int64_t first, std::int64_t end, std::int64_t first_row) const;
    void check_views(std::int64_t first, std::int64_t end, std::int64_t first_row) const;
    void check_indices(std::int64_t first, std::int64_t end, std::int64_t first_row) const;
    [[noreturn]] void refuse(std::int64_t row, const std::string& problem) const;
    // Calls with(index_at) with a function that gives the index at a
    // physical position, for this column's integer type.
    template <class With>
    void with_integer_at(With&& with) const;
    template <class RowOf, class Visit, class ValueAt>
    void each_value(std::size_t n, RowOf& row_of, Visit& visit, ValueAt value_at) const;
    template <class Visit, class ValueAt>
    void each_value_between(std::int64_t first, std::int64_t end, Visit& visit, ValueAt value_at) const;
    // Calls with(value_at) with a function that gives the value at a
    // physical position, for this column's type.
    template <class With>
    void with_value_at(With&& with) const;
    template <class With>
    void with_plain_value_at(With&& with) const;  // for the kinds that are not a dictionary
    template <class Value>
    std::int64_t integer_at(std::int64_t at) const noexcept;

    std::string name_;
    std::string format_;
    Kind kind_ = Kind::other;
    int width_ = 0;  // bytes per integer (of a dictionary's indices)
    bool is_signed_ = false;
    const ArrowArray& array_;
    std::int64_t offset_;                 // of the parent and the column: row r is physical r + offset_
    std::unique_ptr<Column> dictionary_;  // the values of a dictionary-encoded column
    const char* unit_ = "row";            // what a fault's place is counted in
};

// Every row of a table passes through these: they are inline.

inline bool Column::valid(std::int64_t row) const noexcept {
    if (!has_nulls()) return true;
    const auto* bits = static_cast<const std::uint8_t*>(array_.buffers[0]);
    const std::int64_t at = row + offset_;
    return (bits[at / 8] >> (at % 8)) & 1;
}

// 16 bytes a value: the length, then the text itself when it fits in 12
// bytes, else a prefix, the data buffer and the offset.
inline std::string_view Column::text_in_view(std::int64_t at) const noexcept {
    const auto* view = static_cast<const std::uint8_t*>(array_.buffers[1]) + 16 * at;
    std::int32_t length, buffer, offset;
    std::memcpy(&length, view, 4);
    if (length <= 12)
        return std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length));
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    const char* data = static_cast<const char*>(array_.buffers[2 + buffer]);
    return std::string_view(data + offset, static_cast<std::size_t>(length));
}

template <class RowOf, class Visit, class ValueAt>
void Column::each_value(std::size_t n, RowOf& row_of, Visit& visit, ValueAt value_at) const {
    const auto* bits = has_nulls() ? static_cast<const std::uint8_t*>(array_.buffers[0]) : nullptr;
    const std::int64_t offset = offset_;
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t at = row_of(k) + offset;
        if (bits && !((bits[at / 8] >> (at % 8)) & 1)) continue;
        visit(k, value_at(at));
    }
}

template <class With>
void Column::with_plain_value_at(With&& with) const {
    const auto between = [&](auto* offsets) {
        const char* data = static_cast<const char*>(array_.buffers[2]);
        with([offsets, data](std::int64_t at) {
            return std::string_view(data + offsets[at],
                                    static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
        });
    };
    switch (kind_) {
        case Kind::utf8: return between(static_cast<const std::int32_t*>(array_.buffers[1]));
        case Kind::large_utf8: return between(static_cast<const std::int64_t*>(array_.buffers[1]));
        case Kind::view: return with([this](std::int64_t at) { return text_in_view(at); });
        default: return;
    }
}

template <class With>
void Column::with_value_at(With&& with) const {
    if (kind_ != Kind::dictionary) return with_plain_value_at(with);
    // A dictionary's values are never dictionary-encoded themselves.
    dictionary_->with_plain_value_at([&](auto value_at) {
        with_integer_at([&](auto index_at) {
            with([value_at, index_at, base = dictionary_->offset_](std::int64_t at) {
                return value_at(index_at(at) + base);
            });
        });
    });
}

template <class With>
void Column::with_integer_at(With&& with) const {
    const auto at_of = [&]<class Value>() {
        with([this](std::int64_t at) { return integer_at<Value>(at); });
    };
    switch (width_ * (is_signed_ ? -1 : 1)) {
        case -1: return at_of.template operator()<std::int8_t>();
        case 1: return at_of.template operator()<std::uint8_t>();
        case -2: return at_of.template operator()<std::int16_t>();
        case 2: return at_of.template operator()<std::uint16_t>();
        case -4: return at_of.template operator()<std::int32_t>();
        case 4: return at_of.template operator()<std::uint32_t>();
        case -8: return at_of.template operator()<std::int64_t>();
        case 8: return at_of.template operator()<std::uint64_t>();
        default: return;
    }
}

inline std::optional<std::string_view> Column::text(std::int64_t row) const noexcept {
    std::optional<std::string_view> value;
    if (valid(row)) with_value_at([&](auto value_at) { value = value_at(row + offset_); });
    return value;
}

template <class RowOf, class Visit>
void Column::each_text(std::size_t n, RowOf&& row_of, Visit&& visit) const {
    with_value_at([&](auto value_at) { each_value(n, row_of, visit, value_at); });
}

template <class Visit, class ValueAt>
void Column::each_value_between(std::int64_t first, std::int64_t end, Visit& visit, ValueAt value_at) const {
    if (!has_nulls()) {
        for (std::int64_t row = first; row < end; ++row)
            visit(static_cast<std::size_t>(row - first), value_at(row + offset_));
        return;
    }
    for (std::int64_t at = first; at < end; at += 64)
        for (std::uint64_t bits = valid_bits(at, end); bits != 0; bits &= bits - 1) {
            const std::int64_t row = at + std::countr_zero(bits);
            visit(static_cast<std::size_t>(row - first), value_at(row + offset_));
        }
}

template <class Visit>
void Column::each_text_between(std::int64_t first, std::int64_t end, Visit&& visit) const {
    with_value_at([&](auto value_at) { each_value_between(first, end, visit, value_at); });
}

template <class Value>
std::int64_t Column::integer_at(std::int64_t at) const noexcept {
    Value value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(array_.buffers[1]) + sizeof(Value) * at,
                sizeof(Value));
    if constexpr (std::is_same_v<Value, std::uint64_t>)
        return static_cast<std::int64_t>(
            std::min<std::uint64_t>(value, std::numeric_limits<std::int64_t>::max()));
    else
        return static_cast<std::int64_t>(value);
}

inline std::optional<std::int64_t> Column::integer(std::int64_t row) const noexcept {
    if (kind_ != Kind::integer || !valid(row)) return std::nullopt;
    const std::int64_t at = row + offset_;
    switch (width_ * (is_signed_ ? -1 : 1)) {
        case -1: return integer_at<std::int8_t>(at);
        case 1: return integer_at<std::uint8_t>(at);
        case -2: return integer_at<std::int16_t>(at);
        case 2: return integer_at<std::uint16_t>(at);
        case -4: return integer_at<std::int32_t>(at);
        case 4: return integer_at<std::uint32_t>(at);
        case -8: return integer_at<std::int64_t>(at);
        case 8: return integer_at<std::uint64_t>(at);
        default: return std::nullopt;
    }
}

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
