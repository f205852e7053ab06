#include "arrow.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace murvex::tools::arrow {

namespace {

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Takes over what a capsule holds: the struct is moved out and the capsule's
// copy marked released, so that the capsule's destructor leaves it alone.
template <class T>
T take_capsule(PyObject* capsule, const char* name) {
    auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!held) throw Error::fetch();
    T taken = *held;
    held->release = nullptr;
    return taken;
}

// Releases an Arrow struct on scope exit (when it still holds something).
template <class T>
class Owned {
public:
    explicit Owned(T value) noexcept : value_(value) {}
    ~Owned() {
        if (value_.release) value_.release(&value_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T& operator*() noexcept { return value_; }
    T* operator->() noexcept { return &value_; }

private:
    T value_;
};

Batch batch_of(const ArrowSchema& schema, const ArrowArray& array) {
    Batch batch{array.length, {}};
    if (std::strcmp(schema.format, "+s") == 0) {  // a table's batch: a struct of columns
        batch.columns.reserve(static_cast<std::size_t>(schema.n_children));
        for (std::int64_t c = 0; c < schema.n_children; ++c)
            batch.columns.emplace_back(*schema.children[c], *array.children[c], array.offset);
    } else {  // one array, as one column
        batch.columns.emplace_back(schema, array, 0);
    }
    return batch;
}

PyRef call_method(PyObject* object, const char* name) {
    PyRef method(PyObject_GetAttrString(object, name));
    if (!method) {
        py::discard_error();
        return {};
    }
    PyRef result(PyObject_CallNoArgs(method.get()));
    if (!result) throw Error::fetch();
    return result;
}

}  // namespace

Column::Column(const ArrowSchema& schema, const ArrowArray& array, std::int64_t parent_offset)
    : name_(schema.name ? schema.name : ""),
      format_(schema.format ? schema.format : ""),
      array_(array),
      offset_(parent_offset + array.offset) {
    if (schema.dictionary) return;  // dictionary-encoded: not read here
    if (format_ == "u") kind_ = Kind::utf8;
    if (format_ == "U") kind_ = Kind::large_utf8;
    if (format_ == "vu") kind_ = Kind::view;
    static constexpr struct {
        const char* format;
        int width;
        bool is_signed;
    } INTEGERS[] = {{"c", 1, true}, {"C", 1, false}, {"s", 2, true}, {"S", 2, false},
                    {"i", 4, true}, {"I", 4, false}, {"l", 8, true}, {"L", 8, false}};
    for (const auto& integer : INTEGERS)
        if (format_ == integer.format) {
            kind_ = Kind::integer;
            width_ = integer.width;
            is_signed_ = integer.is_signed;
        }
}

std::string Column::type_name() const {
    static constexpr struct {
        const char* format;
        const char* name;
    } NAMES[] = {{"n", "null"},       {"b", "bool"},         {"c", "int8"},         {"C", "uint8"},
                 {"s", "int16"},      {"S", "uint16"},       {"i", "int32"},        {"I", "uint32"},
                 {"l", "int64"},      {"L", "uint64"},       {"e", "float16"},      {"f", "float32"},
                 {"g", "float64"},    {"z", "binary"},       {"Z", "large_binary"}, {"u", "utf8"},
                 {"U", "large_utf8"}, {"vu", "string_view"}, {"vz", "binary_view"}};
    for (const auto& known : NAMES)
        if (format_ == known.format) return known.name;
    return "'" + format_ + "'";
}

std::uint64_t Column::valid_bits(std::int64_t first, std::int64_t rows) const noexcept {
    const std::int64_t count = std::min<std::int64_t>(64, rows - first);
    if (count <= 0) return 0;
    const std::uint64_t wanted = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    if (!has_nulls()) return wanted;
    const auto* bits = static_cast<const std::uint8_t*>(array_.buffers[0]);
    const std::int64_t at = first + offset_, last = at + count - 1;
    // Nine bytes at once where the bitmap holds them (it covers the array's
    // own offset and length), else only the bytes that hold those rows' bits.
    if (at / 8 + 9 <= (array_.offset + array_.length + 7) / 8) {
        std::uint64_t low;
        std::memcpy(&low, bits + at / 8, 8);
        const std::uint64_t high = bits[at / 8 + 8];
        const int shift = static_cast<int>(at % 8);
        return (shift ? low >> shift | high << (64 - shift) : low) & wanted;
    }
    unsigned __int128 word = 0;
    for (std::int64_t byte = at / 8; byte <= last / 8; ++byte)
        word |= static_cast<unsigned __int128>(bits[byte]) << (8 * (byte - at / 8));
    return static_cast<std::uint64_t>(word >> (at % 8)) & wanted;
}

std::size_t Column::text_bytes(std::int64_t first, std::int64_t end) const noexcept {
    if (first >= end) return 0;
    switch (kind_) {
        case Kind::utf8: {
            const auto* offsets = static_cast<const std::int32_t*>(array_.buffers[1]) + offset_;
            return static_cast<std::size_t>(offsets[end] - offsets[first]);
        }
        case Kind::large_utf8: {
            const auto* offsets = static_cast<const std::int64_t*>(array_.buffers[1]) + offset_;
            return static_cast<std::size_t>(offsets[end] - offsets[first]);
        }
        case Kind::view: {
            std::size_t bytes = 0;
            for (std::int64_t row = first; row < end; ++row)
                if (const auto value = text(row)) bytes += value->size();
            return bytes;
        }
        default: return 0;
    }
}

const Column* Batch::find(std::string_view name) const noexcept {
    for (const Column& column : columns)
        if (column.name() == name) return &column;
    return nullptr;
}

void for_each_batch(PyObject* frame, const std::function<void(const Batch&)>& body) {
    if (PyRef capsule = call_method(frame, "__arrow_c_stream__")) {
        Owned<ArrowArrayStream> stream(take_capsule<ArrowArrayStream>(capsule.get(), "arrow_array_stream"));
        Owned<ArrowSchema> schema(ArrowSchema{});
        const auto failed = [&](const char* what) {
            const char* why = stream->get_last_error ? stream->get_last_error(&*stream) : nullptr;
            return Error::lazy(PyExc_ValueError, std::string("the Arrow stream failed to give its ") + what +
                                                     (why ? std::string(": ") + why : std::string()));
        };
        if (stream->get_schema(&*stream, &*schema) != 0) throw failed("schema");
        for (;;) {
            Owned<ArrowArray> array(ArrowArray{});
            if (stream->get_next(&*stream, &*array) != 0) throw failed("next batch");
            if (!array->release) return;  // the end of the stream
            body(batch_of(*schema, *array));
        }
    }
    if (PyRef pair = call_method(frame, "__arrow_c_array__")) {
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
            throw Error::lazy(PyExc_TypeError, "__arrow_c_array__ gave no (schema, array) pair");
        Owned<ArrowSchema> schema(take_capsule<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
        Owned<ArrowArray> array(take_capsule<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
        body(batch_of(*schema, *array));
        return;
    }
    PyRef name(PyType_GetQualName(Py_TYPE(frame)));
    const char* shown = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!shown) PyErr_Clear();
    throw Error::lazy(PyExc_TypeError,
                      std::string("expected a table that exports Arrow data (__arrow_c_stream__ or "
                                  "__arrow_c_array__: a pyarrow Table, a polars or pandas DataFrame, "
                                  "...), not '") +
                          (shown ? shown : "?") + "'");
}

}  // namespace murvex::tools::arrow
