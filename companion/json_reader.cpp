// JSON Lines read straight from bytes (see json_reader.hpp).
#include "json_reader.hpp"

#include <optional>
#include <utility>

namespace murvex::tools::json {

namespace {

// Nesting past this, and numbers longer than this, are left to Python's
// parser, which refuses some of them (its recursion and integer limits).
constexpr int MAX_DEPTH = 200;
constexpr std::size_t MAX_NUMBER_CHARS = 4000;
constexpr std::uint64_t MAX_ID = 0xFFFFFFFFu;

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

}  // namespace

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

}  // namespace murvex::tools::json
