#include "arrow.hpp"

#include <algorithm>
#include <array>
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

// UTF-8 as an automaton whose state after a byte is one shift of a word
// per byte value: no branch per byte. A state is the bytes a character
// still needs, and which of them the next one may be.
enum Utf8State : std::uint8_t {
    UTF8_ACCEPT,
    UTF8_ERROR,
    TAIL1,
    TAIL2,
    TAIL3,
    AFTER_E0,
    AFTER_ED,
    AFTER_F0,
    AFTER_F4,
    UTF8_STATES
};

constexpr int next_utf8_state(int state, int b) {
    const bool continuation = b >= 0x80 && b <= 0xBF;
    switch (state) {
        case UTF8_ACCEPT:
            if (b < 0x80) return UTF8_ACCEPT;
            if (b >= 0xC2 && b <= 0xDF) return TAIL1;
            if (b == 0xE0) return AFTER_E0;  // no overlong form
            if (b == 0xED) return AFTER_ED;  // no surrogate
            if (b >= 0xE1 && b <= 0xEF) return TAIL2;
            if (b == 0xF0) return AFTER_F0;  // no overlong form
            if (b >= 0xF1 && b <= 0xF3) return TAIL3;
            if (b == 0xF4) return AFTER_F4;  // nothing past U+10FFFF
            return UTF8_ERROR;
        case TAIL1: return continuation ? UTF8_ACCEPT : UTF8_ERROR;
        case TAIL2: return continuation ? TAIL1 : UTF8_ERROR;
        case TAIL3: return continuation ? TAIL2 : UTF8_ERROR;
        case AFTER_E0: return b >= 0xA0 && b <= 0xBF ? TAIL1 : UTF8_ERROR;
        case AFTER_ED: return b >= 0x80 && b <= 0x9F ? TAIL1 : UTF8_ERROR;
        case AFTER_F0: return b >= 0x90 && b <= 0xBF ? TAIL2 : UTF8_ERROR;
        case AFTER_F4: return b >= 0x80 && b <= 0x8F ? TAIL2 : UTF8_ERROR;
        default: return UTF8_ERROR;
    }
}

// UTF8_STEPS[b] >> (6 * s), low six bits: 6 times the state after byte b in state s.
constexpr std::array<std::uint64_t, 256> UTF8_STEPS = [] {
    std::array<std::uint64_t, 256> steps{};
    for (int b = 0; b < 256; ++b)
        for (int state = 0; state < UTF8_STATES; ++state)
            steps[static_cast<std::size_t>(b)] |= std::uint64_t(6 * next_utf8_state(state, b)) << (6 * state);
    return steps;
}();

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
    // Dictionary-encoded: the format is its indices' type, the values are
    // the dictionary's (the name is the column's).
    if (schema.dictionary && array.dictionary && kind_ == Kind::integer && !schema.dictionary->dictionary) {
        kind_ = Kind::dictionary;
        dictionary_ = std::make_unique<Column>(*schema.dictionary, *array.dictionary, 0);
        dictionary_->name_ = name_;
        dictionary_->unit_ = "dictionary entry";  // its rows are not the table's
    } else if (schema.dictionary) {
        kind_ = Kind::other;
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
    if (kind_ == Kind::dictionary) return "dictionary of " + dictionary_->type_name();
    for (const auto& known : NAMES)
        if (format_ == known.format) return known.name;
    return "'" + format_ + "'";
}

void Column::refuse(std::int64_t row, const std::string& problem) const {
    throw Error::lazy(PyExc_ValueError,
                      "column '" + name_ + "' " + unit_ + " " + std::to_string(row) + ": " + problem);
}

// Rows [first, end): each offset at least 0, none below the one before,
// for every row, null or not.
template <class Offset>
void Column::check_offsets(std::int64_t first, std::int64_t end, std::int64_t first_row) const {
    const auto* offsets = static_cast<const Offset*>(array_.buffers[1]) + offset_;
    if (offsets[first] < 0) refuse(first_row + first, "a negative offset into the column's data");
    bool back = false;  // a loop without a branch, then one to find where
    for (std::int64_t row = first; row < end; ++row) back |= offsets[row + 1] < offsets[row];
    if (!back) return;
    for (std::int64_t row = first; row < end; ++row)
        if (offsets[row + 1] < offsets[row])
            refuse(first_row + row, offsets[row + 1] < 0
                                        ? "a negative offset into the column's data"
                                        : "offsets that go back (a value of negative length)");
}

// Each long view within the data buffer it names: the views' buffers come
// after the validity and view buffers, their sizes in the last buffer.
void Column::check_views(std::int64_t first, std::int64_t end, std::int64_t first_row) const {
    const std::int64_t buffers = std::max<std::int64_t>(array_.n_buffers - 3, 0);
    const auto* sizes =
        buffers > 0 ? static_cast<const std::int64_t*>(array_.buffers[array_.n_buffers - 1]) : nullptr;
    const auto* views = static_cast<const std::uint8_t*>(array_.buffers[1]) + 16 * offset_;
    for (std::int64_t row = first; row < end; ++row) {
        if (!valid(row)) continue;
        std::int32_t length, buffer, offset;
        std::memcpy(&length, views + 16 * row, 4);
        if (length < 0) refuse(first_row + row, "a view of negative length");
        if (length <= 12) continue;
        std::memcpy(&buffer, views + 16 * row + 8, 4);
        std::memcpy(&offset, views + 16 * row + 12, 4);
        if (buffer < 0 || buffer >= buffers || !sizes || !array_.buffers[2 + buffer])
            refuse(first_row + row,
                   "a view into data buffer " + std::to_string(buffer) + " of " + std::to_string(buffers));
        if (offset < 0 || offset + std::int64_t{length} > sizes[buffer])
            refuse(first_row + row, "a view past the end of its data buffer");
    }
}

void Column::check_indices(std::int64_t first, std::int64_t end, std::int64_t first_row) const {
    const std::int64_t values = dictionary_->array_.length;
    with_integer_at([&](auto index_at) {
        for (std::int64_t row = first; row < end; ++row)
            if (valid(row)) {
                const std::int64_t index = index_at(row + offset_);
                if (index < 0 || index >= values)
                    refuse(first_row + row, "dictionary index " + std::to_string(index) + " of " +
                                                std::to_string(values) + " values");
            }
    });
}

// Whether the values of rows [first, end) of a utf8 or large_utf8 column
// are UTF-8, at the speed of one pass over their bytes: the bytes are UTF-8
// as a whole and every value starts on a character, so each value is.
// False does not mean a value is not: a null's bytes, or an empty value
// inside a character, may be at fault.
template <class Offset>
bool Column::utf8_as_a_whole(std::int64_t first, std::int64_t end, std::int64_t first_row) const {
    const auto* offsets = static_cast<const Offset*>(array_.buffers[1]) + offset_;
    const auto* data = static_cast<const unsigned char*>(array_.buffers[2]);
    if (!data) {  // an exporter may leave out the data of values that are all empty
        if (offsets[end] != offsets[first]) refuse(first_row + first, "the column's buffers are missing");
        return true;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + offsets[first],
                                 static_cast<std::size_t>(offsets[end] - offsets[first]));
    if (is_ascii(bytes)) return true;
    if (!is_utf8(bytes)) return false;
    unsigned char inside = 0;  // 0x80 once some value starts on a continuation byte
    for (std::int64_t row = first; row < end; ++row)
        if (offsets[row] < offsets[end])
            inside |= static_cast<unsigned char>((data[offsets[row]] & 0xC0) == 0x80) << 7;
    return inside == 0;
}

void Column::check_rows(std::int64_t first, std::int64_t end, std::int64_t first_row) const {
    if (first >= end) return;
    const bool data_needed = kind_ == Kind::utf8 || kind_ == Kind::large_utf8;
    if (!array_.buffers || array_.n_buffers < (data_needed ? 3 : 2) || !array_.buffers[1])
        refuse(first_row + first, "the column's buffers are missing");
    if (offset_ < array_.offset || offset_ + end > array_.offset + array_.length)
        refuse(first_row + first, "the column is shorter than the table");
    switch (kind_) {
        case Kind::utf8:
            check_offsets<std::int32_t>(first, end, first_row);
            if (utf8_as_a_whole<std::int32_t>(first, end, first_row)) return;
            break;
        case Kind::large_utf8:
            check_offsets<std::int64_t>(first, end, first_row);
            if (utf8_as_a_whole<std::int64_t>(first, end, first_row)) return;
            break;
        case Kind::view: check_views(first, end, first_row); break;
        case Kind::dictionary: return check_indices(first, end, first_row);  // values: check_dictionary()
        default: return;
    }
    each_text_between(first, end, [&](std::size_t k, std::string_view value) {
        if (!is_utf8(value)) refuse(first_row + first + static_cast<std::int64_t>(k), "not UTF-8 text");
    });
}

void Column::check_dictionary() const {
    if (kind_ == Kind::dictionary) dictionary_->check_rows(0, dictionary_->array_.length, 0);
}

bool is_ascii(std::string_view bytes) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 32 <= bytes.size(); i += 32) {
        std::uint64_t words[4];
        std::memcpy(words, bytes.data() + i, 32);
        seen |= words[0] | words[1] | words[2] | words[3];
        if (seen & 0x8080808080808080ULL) return false;
    }
    for (; i < bytes.size(); ++i) seen |= static_cast<unsigned char>(bytes[i]);
    return (seen & 0x8080808080808080ULL) == 0;
}

bool is_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* const end = p + bytes.size();
    std::uint64_t state = 0;  // 6 times a UTF8_STATE
    while (p < end) {
        // Sixteen ASCII bytes at once between characters.
        if (state == 0 && end - p >= 16) {
            std::uint64_t low, high;
            std::memcpy(&low, p, 8);
            std::memcpy(&high, p + 8, 8);
            if (((low | high) & 0x8080808080808080ULL) == 0) {
                p += 16;
                continue;
            }
        }
        for (const auto* stop = std::min(end, p + 16); p < stop; ++p) state = UTF8_STEPS[*p] >> (state & 63);
        if ((state & 63) == std::uint64_t{6} * UTF8_ERROR) return false;
    }
    return (state & 63) == 0;
}

std::uint64_t Column::valid_bits(std::int64_t first, std::int64_t rows) const noexcept {
    const std::int64_t count = std::min<std::int64_t>(64, rows - first);
    if (count <= 0) return 0;
    const std::uint64_t wanted = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    if (!has_nulls()) return wanted;
    const auto* bits = static_cast<const std::uint8_t*>(array_.buffers[0]);
    const std::int64_t at = first + offset_, last = at + count - 1;
    // The nine bytes that hold those rows' bits: read in place where the
    // bitmap holds them all (it covers the array's own offset and length),
    // else the bytes it holds, copied.
    std::uint8_t held[9] = {};
    const std::uint8_t* nine = bits + at / 8;
    if (at / 8 + 9 > (array_.offset + array_.length + 7) / 8) {
        std::memcpy(held, nine, static_cast<std::size_t>(last / 8 - at / 8 + 1));
        nine = held;
    }
    std::uint64_t low;
    std::memcpy(&low, nine, 8);
    const int shift = static_cast<int>(at % 8);
    return (shift ? low >> shift | std::uint64_t{nine[8]} << (64 - shift) : low) & wanted;
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
        case Kind::view:
        case Kind::dictionary: {
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
    // pyarrow knows the sizes of its buffers, which the C data interface
    // does not carry: its own check (of the buffers, not every value)
    // refuses offsets past a column's data (ArrowInvalid, a ValueError).
    if (std::string_view(Py_TYPE(frame)->tp_name).starts_with("pyarrow.")) call_method(frame, "validate");
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
