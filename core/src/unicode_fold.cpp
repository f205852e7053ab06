#include "murvex/unicode_fold.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "platform.hpp"

#if defined(MURVEX_SSE2)
#include <emmintrin.h>
#endif
#include <memory>

namespace murvex {

namespace {

#include "fold_table.inc"

constexpr std::uint32_t NOT_A_CHARACTER = UINT32_MAX;

// One character of `text` from byte i on: its code point and length in
// bytes; a byte that does not begin a well-formed UTF-8 sequence is a
// character of one byte that is not a code point.
struct Character {
    std::uint32_t code;
    std::size_t length;
};

bool continues(std::string_view text, std::size_t i, std::uint8_t low = 0x80,
               std::uint8_t high = 0xBF) noexcept {
    if (i >= text.size()) return false;
    const auto b = static_cast<std::uint8_t>(text[i]);
    return b >= low && b <= high;
}

Character character_at(std::string_view text, std::size_t i) noexcept {
    const auto b = static_cast<std::uint8_t>(text[i]);
    const auto bits = [&](std::size_t at) { return static_cast<std::uint32_t>(text[i + at]) & 0x3F; };
    if (b < 0x80) return {b, 1};
    if (b >= 0xC2 && b <= 0xDF && continues(text, i + 1)) return {(b & 0x1Fu) << 6 | bits(1), 2};
    if (b >= 0xE0 && b <= 0xEF) {
        // no overlong forms (E0 80..9F), no surrogates (ED A0..BF)
        const std::uint8_t low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
        if (continues(text, i + 1, low, high) && continues(text, i + 2))
            return {(b & 0x0Fu) << 12 | bits(1) << 6 | bits(2), 3};
    }
    if (b >= 0xF0 && b <= 0xF4) {
        // no overlong forms (F0 80..8F), nothing past U+10FFFF (F4 90..BF)
        const std::uint8_t low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
        if (continues(text, i + 1, low, high) && continues(text, i + 2) && continues(text, i + 3))
            return {(b & 0x07u) << 18 | bits(1) << 12 | bits(2) << 6 | bits(3), 4};
    }
    return {NOT_A_CHARACTER, 1};
}

// The lane form of a code point's fold (empty for one that folds to
// nothing), and whether it is a letter written as its own one byte (the
// form gives it back whole); null when the form is the code point's UTF-8.
// The table's entry of a code point below 0x110000 (0: its form is its UTF-8).
constexpr std::uint16_t entry_of(std::uint32_t code) noexcept {
    return FOLD_ENTRY_OF[std::size_t{FOLD_BLOCKS[code >> 8]} * 256 + (code & 0xFF)];
}

const std::uint8_t* fold_of(std::uint32_t code, std::size_t& length, bool& letter) noexcept {
    if (code >= 0x110000) return nullptr;
    const std::uint16_t entry = entry_of(code);
    if (entry == 0) return nullptr;
    length = FOLD_ENTRIES[entry] & 0x7F;
    letter = (FOLD_ENTRIES[entry] & 0x80) != 0;
    return FOLD_BYTES + (FOLD_ENTRIES[entry] >> 8);
}

// The letter a byte of a lane form stands for alone (see LANE_LETTERS in
// the table's maker), 0 for none.
std::uint32_t letter_of(std::uint8_t b) noexcept { return b >= 0x80 ? FOLD_LETTER_OF[b - 0x80] : 0; }

// How many bytes from i on are ASCII, eight at a time.
std::size_t ascii_run(std::string_view text, std::size_t i) noexcept {
    const std::size_t from = i;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080u) break;
    }
    while (i < text.size() && static_cast<std::uint8_t>(text[i]) < 0x80) ++i;
    return i - from;
}

// The lane forms of the two-byte characters (U+0080 to U+07FF: Latin,
// Greek, Cyrillic and more), one word each for the common case of folding:
// the length in the low 7 bits and LETTER for a letter written as its own
// one byte (ITSELF: the character's own UTF-8), then the bytes.
constexpr std::uint64_t ITSELF = 0xFF, LETTER = 0x80;
inline constexpr auto TWO_BYTE_FOLDS = [] {
    std::array<std::uint64_t, 0x800> folds{};
    for (std::uint32_t code = 0; code < 0x800; ++code) {
        const std::uint16_t entry = entry_of(code);
        if (entry == 0) {
            folds[code] = ITSELF;
            continue;
        }
        const std::uint32_t length = FOLD_ENTRIES[entry] & 0x7F, at = FOLD_ENTRIES[entry] >> 8;
        std::uint64_t word = length | (FOLD_ENTRIES[entry] & LETTER);
        for (std::uint32_t i = 0; i < length && i < 7; ++i)
            word |= std::uint64_t{FOLD_BYTES[at + i]} << (8 * (i + 1));
        folds[code] = length < 8 ? word : ITSELF;  // never longer than 5 bytes there
    }
    return folds;
}();

// The length of a character's lane form: its own length when that is its
// UTF-8 (and for a byte that is not UTF-8, kept as it is).
std::size_t folded_length(const Character& c) noexcept {
    std::size_t length = c.length;
    bool letter;
    if (c.code != NOT_A_CHARACTER) fold_of(c.code, length, letter);
    return length;
}

// One character of the part of a lane form that gives its text back
// without runs (between them): its length there and in the text, and for
// a letter of one byte the letter it stands for (else 0).
struct LaneCharacter {
    std::size_t length, original;
    std::uint32_t letter;
};

LaneCharacter lane_character_at(std::string_view lane, std::size_t i) noexcept {
    const Character c = character_at(lane, i);
    if (c.code != NOT_A_CHARACTER) return {c.length, c.length, 0};
    // Not UTF-8 there: a letter of one byte (bytes of the text that are not
    // UTF-8 are kept in runs).
    const std::uint32_t letter = letter_of(static_cast<std::uint8_t>(lane[i]));
    return {1, letter ? std::size_t{2} : 1, letter};
}

void append_letter(std::uint32_t code, std::string& out) {
    if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

void put_number(std::vector<std::uint8_t>& out, std::size_t value) {
    for (; value >= 0x80; value >>= 7) out.push_back(static_cast<std::uint8_t>(value | 0x80));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The runs, read one after another; a run's folded length is that of its
// characters' folds.
class RunReader {
public:
    explicit RunReader(std::span<const std::uint8_t> runs) noexcept : runs_(runs) {}

    struct Run {
        std::size_t gap, folded, original;
        std::string_view bytes;  // the original ones
    };
    bool next(Run& run) noexcept {
        if (at_ >= runs_.size()) return false;
        run.gap = number();
        run.original = std::min(number(), runs_.size() - at_);
        run.bytes = std::string_view(reinterpret_cast<const char*>(runs_.data() + at_), run.original);
        at_ += run.original;
        run.folded = 0;
        for (std::size_t i = 0; i < run.bytes.size();) {
            const Character c = character_at(run.bytes, i);
            run.folded += folded_length(c);
            i += c.length;
        }
        return true;
    }

private:
    std::size_t number() noexcept {
        std::size_t value = 0;
        for (int shift = 0; at_ < runs_.size() && shift < 64; shift += 7) {
            const std::uint8_t b = runs_[at_++];
            value |= std::size_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) break;
        }
        return value;
    }

    std::span<const std::uint8_t> runs_;
    std::size_t at_ = 0;
};

}  // namespace

std::string_view fold_unicode_version() noexcept { return FOLD_UNICODE_VERSION; }

std::string_view fold_table_id() noexcept { return FOLD_TABLE_ID; }

std::pair<std::uint32_t, std::size_t> utf8_character(std::string_view text, std::size_t i) noexcept {
    const Character c = character_at(text, i);
    return {c.code == NOT_A_CHARACTER ? 0x110000u + static_cast<std::uint8_t>(text[i]) : c.code, c.length};
}

bool may_fold(std::string_view text) noexcept { return ascii_run(text, 0) < text.size(); }

bool detail::fold_text_by_character(std::string_view text, std::string& folded,
                                    std::vector<std::uint8_t>& runs) {
    // Characters whose lane form is their UTF-8 are passed over and copied a
    // stretch at a time, before the next one whose form is not, into room
    // made ahead (more when the forms grow past the text's length).
    constexpr std::size_t FOLD_LONGEST = 64;  // more than any character's form
    const std::size_t base = folded.size(), runs_before = runs.size();
    folded.resize(base + text.size() + FOLD_LONGEST);
    std::size_t done = 0;        // bytes of this text's form written
    std::size_t copied = 0;      // bytes of the text copied or folded
    std::size_t gap_from = 0;    // where the last run ended in this text's form
    std::size_t run_text = 0;    // where the run being made began in the text
    std::size_t run_folded = 0;  // and in the form
    bool in_run = false, letters = false;
    const auto end_run = [&] {
        put_number(runs, run_folded - gap_from);
        put_number(runs, copied - run_text);
        runs.insert(runs.end(), text.begin() + static_cast<std::ptrdiff_t>(run_text),
                    text.begin() + static_cast<std::ptrdiff_t>(copied));
        gap_from = done;
        in_run = false;
    };
    // Copies the text before `at` not yet copied, ending the run before it,
    // with room for `more` bytes after it.
    const auto catch_up = [&](std::size_t at, std::size_t more) {
        if (in_run && copied < at) end_run();
        if (folded.size() - base < done + (at - copied) + more + FOLD_LONGEST)
            folded.resize(base + done + (at - copied) + more + text.size() + FOLD_LONGEST);
        std::memcpy(folded.data() + base + done, text.data() + copied, at - copied);
        done += at - copied;
        copied = at;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if (b < 0x80) {
            i += ascii_run(text, i);
            continue;
        }
        std::uint64_t two = ITSELF;
        std::size_t length = 1, own = 2;
        bool letter = false;
        const std::uint8_t* fold = nullptr;
        if (b >= 0xC2 && b <= 0xDF && continues(text, i + 1)) {  // the common case, from a small table
            two = TWO_BYTE_FOLDS[(b & 0x1Fu) << 6 | (static_cast<std::uint8_t>(text[i + 1]) & 0x3Fu)];
            if (two == ITSELF) {
                i += 2;
                continue;
            }
            length = two & 0x7F;
            letter = (two & LETTER) != 0;
            // A letter of one byte right after what is written (a Greek or
            // Cyrillic word), outside a run: written at once. Room is left,
            // as a letter takes one byte of its two.
            if (letter && copied == i && !in_run) {
                folded[base + done++] = static_cast<char>(two >> 8);
                letters = true;
                i += 2;
                copied = i;
                continue;
            }
        } else {
            const Character c = character_at(text, i);
            own = c.length;
            // A byte that is not UTF-8 stays as it is, in a run: between
            // runs such a byte stands for a letter.
            if (c.code != NOT_A_CHARACTER) {
                fold = fold_of(c.code, length, letter);
                if (!fold) {
                    i += own;
                    continue;
                }
            } else {
                fold = reinterpret_cast<const std::uint8_t*>(text.data() + i);
            }
        }
        catch_up(i, length);
        if (letter) {
            letters = true;
            if (in_run) end_run();  // the letter gives itself back: no run holds it
        } else if (!in_run) {
            in_run = true;
            run_text = i;
            run_folded = done;
        }
        char* out = folded.data() + base + done;
        if (fold)
            std::memcpy(out, fold, length);
        else
            for (std::size_t k = 0; k < length; ++k) out[k] = static_cast<char>(two >> (8 * (k + 1)));
        done += length;
        i += own;
        copied = i;
    }
    catch_up(text.size(), 0);
    if (in_run) end_run();
    folded.resize(base + done);
    return letters || runs.size() > runs_before;
}

namespace {

constexpr std::size_t utf8_length(std::uint32_t code) noexcept {
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 of a code point at `out`; past it.
char* put_utf8(std::uint32_t code, char* out) noexcept {
    auto* p = reinterpret_cast<unsigned char*>(out);
    if (code < 0x80) {
        *p++ = static_cast<unsigned char>(code);
    } else if (code < 0x800) {
        *p++ = static_cast<unsigned char>(0xC0 | code >> 6);
        *p++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *p++ = static_cast<unsigned char>(0xE0 | code >> 12);
        *p++ = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
        *p++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    } else {
        *p++ = static_cast<unsigned char>(0xF0 | code >> 18);
        *p++ = static_cast<unsigned char>(0x80 | (code >> 12 & 0x3F));
        *p++ = static_cast<unsigned char>(0x80 | (code >> 6 & 0x3F));
        *p++ = static_cast<unsigned char>(0x80 | (code & 0x3F));
    }
    return reinterpret_cast<char*>(p);
}

// For a code point below 0x800 whose lane form is one byte: that byte with
// ONE_BYTE, and IN_RUN where a run must hold it (its form does not give it
// back) or ONE_BYTE_LETTER for a letter of one byte; 0 for the others, and
// at 0x800, where every larger code point is looked up.
constexpr std::uint16_t ONE_BYTE = 0x100, IN_RUN = 0x200, ONE_BYTE_LETTER = 0x400;
inline constexpr auto ONE_BYTE_FORMS = [] {
    std::array<std::uint16_t, 0x801> forms{};
    for (std::uint32_t code = 0; code < 0x80; ++code)
        forms[code] = static_cast<std::uint16_t>(ONE_BYTE | code);
    for (std::uint32_t code = 0x80; code < 0x800; ++code) {
        const std::uint64_t two = TWO_BYTE_FOLDS[code];
        if (two != ITSELF && (two & 0x7F) == 1)
            forms[code] = static_cast<std::uint16_t>(ONE_BYTE | (two >> 8 & 0xFF) |
                                                     ((two & LETTER) ? ONE_BYTE_LETTER : IN_RUN));
    }
    return forms;
}();

// ONE_BYTE_FORMS for every code point below 0x10000 (past 0x800, the
// fullwidth letters and the like fold to one byte), made when first asked
// for: UCS-2 looks its characters up without a bound.
const std::array<std::uint16_t, 0x10000>& wide_one_byte_forms() {
    static const auto forms = [] {
        auto table = std::make_unique<std::array<std::uint16_t, 0x10000>>();
        std::copy(ONE_BYTE_FORMS.begin(), ONE_BYTE_FORMS.end() - 1, table->begin());
        for (std::uint32_t code = 0x800; code < 0x10000; ++code) {
            std::size_t length = 0;
            bool letter = false;
            const std::uint8_t* fold =
                code >= 0xD800 && code <= 0xDFFF ? nullptr : fold_of(code, length, letter);
            (*table)[code] =
                fold && length == 1
                    ? static_cast<std::uint16_t>(ONE_BYTE | *fold | (letter ? ONE_BYTE_LETTER : IN_RUN))
                    : 0;
        }
        return table;
    }();
    return *forms;
}

// Writes `value` as a LEB128 number at `out`; past it.
std::uint8_t* put_number(std::uint8_t* out, std::size_t value) noexcept {
    for (; value >= 0x80; value >>= 7) *out++ = static_cast<std::uint8_t>(value | 0x80);
    *out++ = static_cast<std::uint8_t>(value);
    return out;
}

constexpr std::size_t BLOCK = 64;  // characters looked up at once

// What a source's block() found: `good` characters from where it began,
// each of one byte in the form (written), taking `read` of its positions;
// which of them need a run; their forms or-ed; and whether a character whose
// form is not one byte stopped it (before the end of the source).
struct OneByteBlock {
    std::size_t good, read;
    std::uint64_t in_runs;
    unsigned forms;
    bool stopped;
};

// The text folded as UTF-8 bytes; positions are byte offsets.
class Utf8Source {
public:
    explicit Utf8Source(std::string_view text) noexcept
        : bytes_(reinterpret_cast<const std::uint8_t*>(text.data())), size_(text.size()) {}

    std::size_t size() const noexcept { return size_; }

    // Up to BLOCK characters from byte i on whose forms are one byte each,
    // written to `out` (which has room for BLOCK + 8 bytes).
    OneByteBlock block(std::size_t i, std::uint8_t* out) noexcept {
        constexpr std::uint64_t HIGH = 0x8080808080808080u;
        std::size_t k = 0, at = i;
        std::uint64_t in_runs = 0;
        unsigned forms = 0;
        while (k < BLOCK && at < size_) {
            const std::uint8_t b = bytes_[at];
            if (b < 0x80) {
                if (at + 8 <= size_) {  // ASCII, a word at a time
                    std::uint64_t word;
                    std::memcpy(&word, bytes_ + at, 8);
                    std::memcpy(out + k, &word, 8);  // the bytes past ASCII are written again
                    const std::uint64_t high = word & HIGH;
                    const std::size_t n =
                        std::min(high ? static_cast<std::size_t>(std::countr_zero(high)) / 8 : std::size_t{8},
                                 BLOCK - k);
                    k += n;
                    at += n;
                } else {
                    out[k++] = b;
                    ++at;
                }
                continue;
            }
            if (b < 0xC2 || b > 0xDF || at + 1 >= size_ || (bytes_[at + 1] & 0xC0) != 0x80) break;
            const std::uint16_t form = ONE_BYTE_FORMS[(b & 0x1Fu) << 6 | (bytes_[at + 1] & 0x3Fu)];
            if (!(form & ONE_BYTE)) break;
            out[k] = static_cast<std::uint8_t>(form);
            in_runs |= std::uint64_t{(form & IN_RUN) != 0} << k;
            forms |= form;
            starts_[k++] = static_cast<std::uint8_t>(at - i);
            at += 2;
        }
        return {k, at - i, in_runs, forms, k < BLOCK && at < size_};
    }
    // Where character k of the block that began at i begins and ends, for
    // a character in a run (two bytes: ASCII is never in one).
    std::size_t start_of(std::size_t i, std::size_t k) const noexcept { return i + starts_[k]; }
    std::size_t end_of(std::size_t i, std::size_t k) const noexcept { return i + starts_[k] + 2; }

    // The character at i, for those block() stops at.
    Character character(std::size_t i) const noexcept {
        return character_at(std::string_view(reinterpret_cast<const char*>(bytes_), size_), i);
    }
    std::uint8_t byte(std::size_t i) const noexcept { return bytes_[i]; }

    // The original bytes of [from, to).
    std::size_t original_length(std::size_t from, std::size_t to) const noexcept { return to - from; }
    std::uint8_t* put_original(std::size_t from, std::size_t to, std::uint8_t* out) const noexcept {
        std::memcpy(out, bytes_ + from, to - from);
        return out + (to - from);
    }

private:
    const std::uint8_t* bytes_;
    std::size_t size_;
    std::array<std::uint8_t, BLOCK> starts_{};  // of the block's two-byte characters
};

// The text folded as code points of one width; positions are their indexes.
template <class Unit>
class CodePointSource {
public:
    explicit CodePointSource(std::span<const Unit> units) noexcept : units_(units) {}

    std::size_t size() const noexcept { return units_.size(); }

    OneByteBlock block(std::size_t i, std::uint8_t* out) noexcept {
        const std::size_t most = std::min(BLOCK, units_.size() - i);
        const Unit* const from = units_.data() + i;
        std::uint64_t in_runs = 0;
        unsigned forms = 0;
        std::size_t good = 0;
        if constexpr (sizeof(Unit) == 1) {
            // Copied a word at a time, and the bytes that are not ASCII found
            // by their top bits (gathered into a mask by the multiplication).
            std::uint64_t high = 0;
            std::size_t k = 0;
#if defined(MURVEX_SSE2)
            for (; k + 16 <= most; k += 16) {  // sixteen at a time where every x86-64 can
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), bytes);
                high |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(bytes))} << k;
            }
#endif
            constexpr std::uint64_t HIGH = 0x8080808080808080u, GATHER = 0x0102040810204080u;
            for (std::uint64_t word; k + 8 <= most; k += 8) {
                std::memcpy(&word, from + k, 8);
                std::memcpy(out + k, &word, 8);
                high |= ((word & HIGH) >> 7) * GATHER >> 56 << k;
            }
            for (; k < most; ++k) {
                out[k] = from[k];
                high |= static_cast<std::uint64_t>(from[k] >> 7) << k;
            }
            good = most;
            for (; high; high &= high - 1) {  // in order
                const auto at = static_cast<std::size_t>(std::countr_zero(high));
                const std::uint16_t form = ONE_BYTE_FORMS[from[at]];
                if (!(form & ONE_BYTE)) {
                    good = at;
                    break;
                }
                out[at] = static_cast<std::uint8_t>(form);
                in_runs |= std::uint64_t{(form & IN_RUN) != 0} << at;
                forms |= form;
            }
        } else {
            // Each character's byte and flags stored as they come; the
            // flags gathered into masks eight at a time after.
            const std::uint16_t* const forms_of = wide_one_byte_forms().data();
            for (; good < most; ++good) {
                const std::uint32_t unit = from[good];
                const std::uint16_t form = sizeof(Unit) == 2 || unit < 0x10000 ? forms_of[unit] : 0;
                if (!(form & ONE_BYTE)) break;
                out[good] = static_cast<std::uint8_t>(form);
                flags_[good] = static_cast<std::uint8_t>(form >> 8);
            }
            constexpr std::uint64_t LOW = 0x0101010101010101u, GATHER = 0x0102040810204080u;
            std::uint64_t any = 0;
            for (std::size_t k = 0; k < good; k += 8) {
                std::uint64_t word;
                std::memcpy(&word, flags_.data() + k, 8);
                if (good - k < 8) word &= (std::uint64_t{1} << (8 * (good - k))) - 1;
                in_runs |= ((word >> 1) & LOW) * GATHER >> 56 << k;  // IN_RUN >> 8
                any |= word;
            }
            forms = (any & (0x0404040404040404u)) ? ONE_BYTE_LETTER : 0;  // ONE_BYTE_LETTER >> 8
        }
        return {good, good, in_runs, forms, good < most};
    }
    std::size_t start_of(std::size_t i, std::size_t k) const noexcept { return i + k; }
    std::size_t end_of(std::size_t i, std::size_t k) const noexcept { return i + k + 1; }

    Character character(std::size_t i) const noexcept { return {units_[i], 1}; }
    std::uint8_t byte(std::size_t) const noexcept { return 0; }  // every unit is a code point

    std::size_t original_length(std::size_t from, std::size_t to) const noexcept {
        std::size_t length = 0;
        for (std::size_t k = from; k < to; ++k) length += utf8_length(units_[k]);
        return length;
    }
    std::uint8_t* put_original(std::size_t from, std::size_t to, std::uint8_t* out) const noexcept {
        for (std::size_t k = from; k < to; ++k)
            out = reinterpret_cast<std::uint8_t*>(put_utf8(units_[k], reinterpret_cast<char*>(out)));
        return out;
    }

private:
    std::span<const Unit> units_;
    std::array<std::uint8_t, BLOCK> flags_{};  // of the block's characters: their forms' flags
};

// Folds a source's characters into `folded` and `runs`: a block at a time
// of characters whose forms are one byte, one by one for the others. A run
// is begun at the first character whose form does not give it back and
// ended at the next one that does (or the end).
template <class Source>
CodePointsFolded fold_source(Source& source, PodBuffer<char>& folded, PodBuffer<std::uint8_t>& runs) {
    constexpr std::size_t FOLD_LONGEST = 64;  // more than any character's form
    const std::size_t runs_before = runs.size();
    folded.make_room(source.size() + FOLD_LONGEST);
    std::size_t done = 0;        // bytes of this text's form written
    std::size_t gap_from = 0;    // where the last run ended in the form
    std::size_t run_first = 0;   // the position the run being made began at
    std::size_t run_folded = 0;  // and where it began in the form
    bool in_run = false, letters = false;
    // Room for `more` bytes of the form past what is written; where they go.
    const auto room = [&](std::size_t more) {
        folded.make_room(done + more);
        return folded.data() + folded.size() + done;
    };
    // Ends the run before position `end`, `form_end` bytes into the form.
    const auto end_run = [&](std::size_t end, std::size_t form_end) {
        const std::size_t original = source.original_length(run_first, end);
        constexpr std::size_t NUMBERS_LONGEST = 20;  // two LEB128 numbers of 64 bits
        runs.make_room(NUMBERS_LONGEST + original);
        std::uint8_t* const start = runs.data() + runs.size();
        std::uint8_t* out = put_number(put_number(start, run_folded - gap_from), original);
        out = source.put_original(run_first, end, out);
        runs.grow_by(static_cast<std::size_t>(out - start));
        gap_from = form_end;
        in_run = false;
    };
    const auto begin_run = [&](std::size_t position, std::size_t form_at) {
        in_run = true;
        run_first = position;
        run_folded = form_at;
    };
    for (std::size_t i = 0; i < source.size();) {
        const OneByteBlock block = source.block(i, reinterpret_cast<std::uint8_t*>(room(BLOCK + 8)));
        letters = letters || (block.forms & ONE_BYTE_LETTER);
        // The runs among them, a run at a time (the mask has no bits past
        // `good`): a run that reaches the end of the block may go on.
        std::uint64_t bits = block.in_runs;
        if (in_run) {  // the run before the block goes on while its characters need it
            const auto ones = static_cast<std::size_t>(std::countr_one(bits));
            if (ones < block.good) end_run(ones == 0 ? i : source.end_of(i, ones - 1), done + ones);
            bits = ones < 64 ? bits >> ones << ones : 0;
        }
        while (bits) {
            const auto first = static_cast<std::size_t>(std::countr_zero(bits));
            const std::size_t last = first + static_cast<std::size_t>(std::countr_one(bits >> first));
            begin_run(source.start_of(i, first), done + first);
            if (last < block.good) end_run(source.end_of(i, last - 1), done + last);
            bits = last < 64 ? bits >> last << last : 0;
        }
        done += block.good;
        i += block.read;
        if (!block.stopped) continue;

        // One character whose form is not one byte.
        const Character c = source.character(i);
        char* out = room(FOLD_LONGEST);
        std::size_t length = 1;
        bool letter = false, itself = false;
        const std::uint8_t* fold = nullptr;
        std::uint64_t two = 0;
        if (c.code == NOT_A_CHARACTER) {  // a byte that is not UTF-8 stays as it is, in a run
            *out = static_cast<char>(source.byte(i));
        } else if (c.code < 0x800) {
            two = TWO_BYTE_FOLDS[c.code];
            itself = two == ITSELF;
            length = two & 0x7F;
            letter = !itself && (two & LETTER);
        } else if (c.code >= 0xD800 && c.code <= 0xDFFF) {
            runs.truncate(runs_before);
            return CodePointsFolded::surrogate;
        } else {
            fold = fold_of(c.code, length, letter);
            itself = !fold;
        }
        if (itself || letter) {  // gives itself back: no run holds it
            if (in_run) end_run(i, done);
            if (itself)
                length = static_cast<std::size_t>(put_utf8(c.code, out) - out);
            else if (fold)
                std::memcpy(out, fold, length);
            else
                *out = static_cast<char>(two >> 8);
            letters = letters || letter;
        } else {
            if (!in_run) begin_run(i, done);
            if (fold)
                std::memcpy(out, fold, length);
            else if (c.code != NOT_A_CHARACTER)
                for (std::size_t k = 0; k < length; ++k) out[k] = static_cast<char>(two >> (8 * (k + 1)));
        }
        done += length;
        i += c.length;
    }
    if (in_run) end_run(source.size(), done);
    folded.grow_by(done);
    return letters || runs.size() > runs_before ? CodePointsFolded::changed : CodePointsFolded::itself;
}

}  // namespace

bool fold_text(std::string_view text, PodBuffer<char>& folded, PodBuffer<std::uint8_t>& runs) {
    Utf8Source source(text);
    return fold_source(source, folded, runs) == CodePointsFolded::changed;
}

bool fold_text(std::string_view text, std::string& folded, std::vector<std::uint8_t>& runs) {
    PodBuffer<char> form;
    PodBuffer<std::uint8_t> changed;
    const bool differs = fold_text(text, form, changed);
    folded.append(form.data(), form.size());
    runs.insert(runs.end(), changed.data(), changed.data() + changed.size());
    return differs;
}

template <class Unit>
CodePointsFolded fold_code_points(std::span<const Unit> units, PodBuffer<char>& folded,
                                  PodBuffer<std::uint8_t>& runs) {
    CodePointSource<Unit> source(units);
    return fold_source(source, folded, runs);
}

template CodePointsFolded fold_code_points(std::span<const std::uint8_t>, PodBuffer<char>&,
                                           PodBuffer<std::uint8_t>&);
template CodePointsFolded fold_code_points(std::span<const std::uint16_t>, PodBuffer<char>&,
                                           PodBuffer<std::uint8_t>&);
template CodePointsFolded fold_code_points(std::span<const std::uint32_t>, PodBuffer<char>&,
                                           PodBuffer<std::uint8_t>&);

namespace {

// Where a character of a stretch between runs lies: in the lane form and in
// the text.
struct GapPlace {
    std::size_t lane_start, lane_end, start, end;
};

// The character of the stretch [from, to) of the lane form `lane`, between
// runs and beginning at `original` in the text, that holds lane byte `at`;
// for `at` past the stretch, its end (in both).
GapPlace gap_place(std::string_view lane, std::size_t from, std::size_t to, std::size_t original,
                   std::size_t at) noexcept {
    std::size_t i = from, o = original;
    while (i < to) {
        const LaneCharacter c = lane_character_at(lane, i);
        const std::size_t n = std::min(c.length, to - i);
        if (at < i + n) return {i, i + n, o, o + c.original};
        i += n;
        o += c.original;
    }
    return {to, to, o, o};
}

// The text of the stretch [from, to) of a lane form between runs, appended to `out`.
void append_gap(std::string_view lane, std::size_t from, std::size_t to, std::string& out) {
    for (std::size_t i = from; i < to;) {
        const LaneCharacter c = lane_character_at(lane, i);
        if (c.letter)
            append_letter(c.letter, out);
        else
            out.append(lane.substr(i, std::min(c.length, to - i)));
        i += c.length;
    }
}

}  // namespace

void unfold_text(std::string_view folded, std::span<const std::uint8_t> runs, std::string& out) {
    RunReader reader(runs);
    RunReader::Run run;
    std::size_t at = 0;
    while (reader.next(run)) {
        append_gap(folded, at, std::min(at + run.gap, folded.size()), out);
        out.append(run.bytes);
        at += run.gap + run.folded;
    }
    if (at < folded.size()) append_gap(folded, at, folded.size(), out);
}

std::size_t unfolded_length(std::string_view folded, std::span<const std::uint8_t> runs) noexcept {
    RunReader reader(runs);
    RunReader::Run run;
    std::size_t at = 0, length = 0;
    while (reader.next(run)) {
        const std::size_t gap_end = std::min(at + run.gap, folded.size());
        length = gap_place(folded, at, gap_end, length, gap_end).start + run.original;
        at += run.gap + run.folded;
    }
    return at < folded.size() ? gap_place(folded, at, folded.size(), length, folded.size()).start : length;
}

namespace {

// The text's offset of the character whose lane form holds byte `at` of the
// lane form (the text's end for the form's).
std::size_t original_start(std::string_view lane, std::span<const std::uint8_t> runs,
                           std::size_t at) noexcept {
    std::size_t folded = 0, original = 0;  // offsets of the same point in both
    RunReader reader(runs);
    RunReader::Run run;
    while (reader.next(run)) {
        const std::size_t gap_end = folded + run.gap;
        const GapPlace place = gap_place(lane, folded, gap_end, original, at);
        if (at < gap_end) return place.start;
        folded = gap_end;
        original = place.start;  // the stretch's end
        for (std::size_t i = 0; i < run.bytes.size();) {
            const Character c = character_at(run.bytes, i);
            const std::size_t length = folded_length(c);
            if (at < folded + length) return original;
            folded += length;
            original += c.length;
            i += c.length;
        }
    }
    const GapPlace place = gap_place(lane, folded, lane.size(), original, at);
    return at < lane.size() ? place.start : place.start + (at - lane.size());
}

// The text's end of the character whose lane form holds byte end - 1 of the
// lane form (end > 0), past the characters right after it that fold to
// nothing.
std::size_t original_end(std::string_view lane, std::span<const std::uint8_t> runs,
                         std::size_t end) noexcept {
    std::size_t folded = 0, original = 0;
    std::size_t mapped = SIZE_MAX;
    RunReader reader(runs);
    RunReader::Run run;
    while (reader.next(run)) {
        const std::size_t gap_end = folded + run.gap;
        if (end <= gap_end) {
            const GapPlace place = gap_place(lane, folded, gap_end, original, end - 1);
            mapped = place.end;
            if (place.lane_end < gap_end) return mapped;  // the run does not follow right after it
        }
        original = gap_place(lane, folded, gap_end, original, gap_end).start;
        folded = gap_end;
        for (std::size_t i = 0; i < run.bytes.size();) {
            const Character c = character_at(run.bytes, i);
            const std::size_t length = folded_length(c);
            if (mapped != SIZE_MAX) {
                if (length > 0) return mapped;
                mapped += c.length;  // a mark of the last character
            } else if (end <= folded + length) {
                mapped = original + c.length;
            }
            folded += length;
            original += c.length;
            i += c.length;
        }
        // A character the lane form gives back stands between two runs.
        if (mapped != SIZE_MAX) return mapped;
    }
    if (end <= lane.size()) return gap_place(lane, folded, lane.size(), original, end - 1).end;
    return gap_place(lane, folded, lane.size(), original, lane.size()).start + (end - lane.size());
}

}  // namespace

std::pair<std::size_t, std::size_t> original_span(std::string_view folded, std::span<const std::uint8_t> runs,
                                                  std::size_t start, std::size_t end) noexcept {
    const std::size_t first = original_start(folded, runs, start);
    return {first, end > start ? original_end(folded, runs, end) : first};
}

std::string readable_fold(std::string_view lane) {
    std::string out;
    append_gap(lane, 0, lane.size(), out);
    return out;
}

}  // namespace murvex
