#include "murvex/unicode_fold.hpp"

#include <array>
#include <cstring>

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

bool fold_text(std::string_view text, std::string& folded, std::vector<std::uint8_t>& runs) {
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
