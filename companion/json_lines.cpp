// JSON Lines read straight from bytes: the records the command line's
// Python reader would make of the lines, without a Python object per field.
//
// Only what is plainly a record is read here: a line that is blank or one
// JSON object whose id, when it has one, is a whole number or a string of
// digits up to 4294967295. Anything else (another value, invalid JSON or
// UTF-8, a repeated key, NaN, a lone surrogate, a number or nesting deep
// enough for Python's parser to refuse) sends the whole run back to the
// Python reader, which knows every rule and names the faulty line.
#include "json_lines.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.hpp"

namespace murvex::tools {

namespace {

// Nesting past this, and numbers longer than this, are left to Python's
// parser, which refuses some of them (its recursion and integer limits).
constexpr int MAX_DEPTH = 200;
constexpr std::size_t MAX_NUMBER_CHARS = 4000;
constexpr std::uint64_t MAX_ID = 0xFFFFFFFFu;

// A line's records: each record's text (its parts joined with single
// spaces) in `texts`, ending at text_ends[i]; its lead is the first part,
// the text's first lead_lengths[i] bytes.
struct Records {
    std::vector<std::uint32_t> lines;  // the line of each record, from 0
    std::string texts;
    std::vector<std::size_t> text_ends;
    std::vector<std::size_t> lead_lengths;
    std::vector<std::int64_t> ids;  // -1: none of its own
    bool own_ids = false;
};

// One line's object, read byte by byte. Every method returns false at
// anything outside the plain case.
class LineReader {
public:
    explicit LineReader(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

    bool blank() {
        skip_space();
        return p_ == end_;
    }

    // The object's string members, in order, and its id: false when the
    // line is not one object of the plain case.
    bool read_object(std::vector<std::pair<std::string, std::string>>& strings,
                     std::optional<std::uint32_t>& id) {
        strings.clear();
        id.reset();
        keys_.clear();
        if (!take('{')) return false;
        skip_space();
        if (take('}')) return at_end();
        for (;;) {
            skip_space();
            std::string key;
            if (!take('"') || !read_string(key)) return false;
            for (const std::string& seen : keys_)
                if (seen == key) return false;  // Python keeps the last value at the first place
            keys_.push_back(key);
            skip_space();
            if (!take(':')) return false;
            skip_space();
            if (p_ == end_) return false;
            if (*p_ == '"') {
                ++p_;
                std::string value;
                if (!read_string(value)) return false;
                if (key == "id") {
                    id = digits_id(value);
                    if (!id) return false;
                } else {
                    strings.emplace_back(std::move(key), std::move(value));
                }
            } else if (key == "id") {
                const char* first = p_;
                if (!skip_number()) return false;
                id = digits_id(std::string_view(first, static_cast<std::size_t>(p_ - first)));
                if (!id) return false;
            } else if (!skip_value(0)) {
                return false;
            }
            skip_space();
            if (take('}')) return at_end();
            if (!take(',')) return false;
        }
    }

private:
    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
    }
    bool take(char c) {
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool at_end() {
        skip_space();
        return p_ == end_;
    }

    // A whole number of 1 to 10 ASCII digits up to MAX_ID (a number's
    // literal, or a string of digits).
    static std::optional<std::uint32_t> digits_id(std::string_view text) {
        if (text.empty() || text.size() > 10) return std::nullopt;
        std::uint64_t value = 0;
        for (const char c : text) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (value > MAX_ID) return std::nullopt;
        return static_cast<std::uint32_t>(value);
    }

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    bool read_hex4(std::uint32_t& unit) {
        if (end_ - p_ < 4) return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex(p_[i]);
            if (digit < 0) return false;
            unit = unit << 4 | static_cast<std::uint32_t>(digit);
        }
        p_ += 4;
        return true;
    }
    static void put_utf8(std::uint32_t code, std::string& out) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    // The length of the well-formed UTF-8 sequence at p_ (not ASCII), 0 when
    // it is not one: no overlong forms, no surrogates, nothing past U+10FFFF.
    std::size_t utf8_length() const {
        const auto byte = [this](std::ptrdiff_t i) { return static_cast<unsigned char>(p_[i]); };
        const auto tail = [&](std::ptrdiff_t i) { return i < end_ - p_ && (byte(i) & 0xC0) == 0x80; };
        const unsigned char lead = byte(0);
        if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
        if (lead >= 0xE0 && lead <= 0xEF) {
            if (!tail(1) || !tail(2)) return 0;
            if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
            if (lead == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
            return 3;
        }
        if (lead >= 0xF0 && lead <= 0xF4) {
            if (!tail(1) || !tail(2) || !tail(3)) return 0;
            if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
            if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
            return 4;
        }
        return 0;
    }

    // The rest of a string whose opening quote was read, decoded into `out`.
    bool read_string(std::string& out) {
        for (;;) {
            const char* run = p_;
            while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20 &&
                   static_cast<unsigned char>(*p_) < 0x80)
                ++p_;
            out.append(run, static_cast<std::size_t>(p_ - run));
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;  // a control character: refused by a strict parser
            if (c >= 0x80) {
                const std::size_t length = utf8_length();
                if (length == 0) return false;
                out.append(p_, length);
                p_ += length;
                continue;
            }
            ++p_;  // a backslash
            if (p_ == end_) return false;
            const char escaped = *p_++;
            switch (escaped) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t unit;
                    if (!read_hex4(unit)) return false;
                    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a lone low surrogate
                    if (unit >= 0xD800 && unit <= 0xDBFF) {
                        std::uint32_t low;
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
                        p_ += 2;
                        if (!read_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    }
                    put_utf8(unit, out);
                    break;
                }
                default: return false;
            }
        }
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    bool skip_number() {
        const char* first = p_;
        const auto digits = [this] {
            const char* from = p_;
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            return p_ != from;
        };
        take('-');
        if (take('0')) {
        } else if (!digits()) {
            return false;
        }
        if (take('.') && !digits()) return false;
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        return static_cast<std::size_t>(p_ - first) <= MAX_NUMBER_CHARS;
    }

    bool skip_literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        return true;
    }

    // Any value but a string member's, checked and passed over.
    bool skip_value(int depth) {
        if (p_ == end_ || depth > MAX_DEPTH) return false;
        std::string ignored;
        switch (*p_) {
            case '"': ++p_; return read_string(ignored);
            case 't': return skip_literal("true");
            case 'f': return skip_literal("false");
            case 'n': return skip_literal("null");
            case '[': {
                ++p_;
                skip_space();
                if (take(']')) return true;
                for (;;) {
                    skip_space();
                    if (!skip_value(depth + 1)) return false;
                    skip_space();
                    if (take(']')) return true;
                    if (!take(',')) return false;
                }
            }
            case '{': {
                ++p_;
                skip_space();
                if (take('}')) return true;
                for (;;) {
                    skip_space();
                    if (!take('"') || !read_string(ignored)) return false;
                    skip_space();
                    if (!take(':')) return false;
                    skip_space();
                    if (!skip_value(depth + 1)) return false;
                    skip_space();
                    if (take('}')) return true;
                    if (!take(',')) return false;
                }
            }
            default: return skip_number();  // NaN and Infinity too are left to Python
        }
    }

    const char* p_;
    const char* end_;
    std::vector<std::string> keys_;
};

// The records of `block`'s lines ('\n' between them), with the parts chosen
// by `fields` (every string member but "id" when empty). False at the first
// line outside the plain case.
bool read_records(std::string_view block, const std::vector<std::string>& fields, bool chosen, Records& out) {
    for (const std::string& field : fields)
        if (field == "id") return false;  // a string id is then a part too: Python's reader knows
    std::vector<std::pair<std::string, std::string>> strings;
    std::optional<std::uint32_t> id;
    std::uint32_t line = 0;
    for (std::size_t at = 0; at <= block.size(); ++line) {
        std::size_t end = block.find('\n', at);
        if (end == std::string_view::npos) end = block.size();
        LineReader reader(block.substr(at, end - at));
        at = end + 1;
        if (reader.blank()) continue;
        if (!reader.read_object(strings, id)) return false;
        std::size_t lead = 0;
        bool first = true;
        const auto add_part = [&](const std::string& part) {
            if (!first) out.texts += ' ';
            out.texts += part;
            if (first) lead = part.size();
            first = false;
        };
        if (!chosen) {
            for (const auto& [key, value] : strings) add_part(value);
        } else {
            for (const std::string& field : fields)
                for (const auto& [key, value] : strings)
                    if (key == field) add_part(value);
        }
        out.lines.push_back(line);
        out.text_ends.push_back(out.texts.size());
        out.lead_lengths.push_back(lead);
        out.ids.push_back(id ? static_cast<std::int64_t>(*id) : -1);
        out.own_ids = out.own_ids || id.has_value();
    }
    return true;
}

PyRef int_list(std::size_t size, const auto& value_of) {
    PyRef list = py::checked(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t i = 0; i < size; ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py::checked(value_of(i)).release());
    return list;
}

constexpr std::array<const char*, 4> PARAMETERS = {"block", "first_line", "first_id", "fields"};
constexpr py::Signature SIGNATURE = {"json_lines()", PARAMETERS, 4};

}  // namespace

PyObject* json_lines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        std::array<PyObject*, 4> given;
        py::parse_arguments(SIGNATURE, args, nargs, kwnames, given);
        if (!PyBytes_Check(given[0])) throw Error::lazy(PyExc_TypeError, "json_lines(): block must be bytes");
        const std::string_view block(PyBytes_AS_STRING(given[0]),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(given[0])));
        const long long first_line = PyLong_AsLongLong(given[1]);
        const long long first_id = PyLong_AsLongLong(given[2]);
        if ((first_line == -1 || first_id == -1) && PyErr_Occurred()) throw Error::fetch();
        const bool chosen = given[3] != Py_None;
        std::vector<std::string> fields;
        if (chosen) {
            PyRef sequence(PySequence_Fast(given[3], "json_lines(): fields must be a sequence of str"));
            if (!sequence) throw Error::fetch();
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
                Py_ssize_t size = 0;
                const char* utf8 =
                    PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(sequence.get(), i), &size);
                if (!utf8) throw Error::fetch();
                fields.emplace_back(utf8, static_cast<std::size_t>(size));
            }
        }

        Records records;
        bool plain;
        {
            const WithoutInterpreterLock unlocked;  // the bytes object cannot change
            plain = read_records(block, fields, chosen, records);
        }
        const std::size_t n = records.lines.size();
        if (!plain || static_cast<unsigned long long>(first_id) + n > MAX_ID + 1) Py_RETURN_NONE;

        PyRef texts = py::checked(PyList_New(static_cast<Py_ssize_t>(n)));
        PyRef leads = py::checked(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0, from = 0; i < n; from = records.text_ends[i++]) {
            const char* text = records.texts.data() + from;
            PyList_SET_ITEM(
                texts.get(), static_cast<Py_ssize_t>(i),
                py::checked(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(records.text_ends[i] - from),
                                                 "strict"))
                    .release());
            PyList_SET_ITEM(leads.get(), static_cast<Py_ssize_t>(i),
                            py::checked(PyUnicode_DecodeUTF8(
                                            text, static_cast<Py_ssize_t>(records.lead_lengths[i]), "strict"))
                                .release());
        }
        PyRef lines =
            int_list(n, [&](std::size_t i) { return PyLong_FromLongLong(first_line + records.lines[i]); });
        PyRef ids = int_list(n, [&](std::size_t i) {
            return PyLong_FromLongLong(records.ids[i] >= 0 ? records.ids[i]
                                                           : first_id + static_cast<long long>(i));
        });
        return Py_BuildValue("(OOOOO)", lines.get(), texts.get(), ids.get(), leads.get(),
                             records.own_ids ? Py_True : Py_False);
    });
}

}  // namespace murvex::tools
