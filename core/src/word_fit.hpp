// How a matched query word sits in a record's text: the stretch it matched,
// the words of the text that cover that stretch, and how far those words are
// from the query word. The forgiving and words modes rank records by it.
// Internal to the search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "murvex/bitap.hpp"

namespace murvex::detail {

// A byte of a word: an ASCII letter or digit, or a byte of a non-ASCII
// character. Every other byte (space, punctuation) separates words.
constexpr bool is_word_byte(std::uint8_t b) noexcept {
    return b >= 0x80 || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z');
}

// Covering distances are counted up to this; from it on a word scores nothing.
inline constexpr std::uint32_t COVER_CAP = 10;

// Bytes of text read on each side of a match to find the words around it: a
// word reaching past them is so much longer than any pattern that its
// distance is the cap.
inline constexpr std::size_t COVER_REACH = MAX_PATTERN_BYTES + COVER_CAP + 1;

// A record's text as the fit reads it: its length, and a copy of any
// stretch of it (the bytes of a lane, or of a long record's windows).
struct TextReader {
    std::size_t length;
    const void* source;
    void (*copy)(const void* source, std::size_t from, std::size_t count, std::uint8_t* out) noexcept;

    void read(std::size_t from, std::size_t count, std::uint8_t* out) const noexcept {
        copy(source, from, count, out);
    }
    std::uint8_t at(std::size_t position) const noexcept {
        std::uint8_t byte;
        copy(source, position, 1, &byte);
        return byte;
    }
};

// One query word's match in a record.
struct WordFit {
    std::uint32_t start;  // the tightest stretch at the match's distance
    std::uint32_t end;
    std::uint32_t cover_start;  // that stretch widened to the words it touches
    std::uint32_t cover_end;
    std::uint8_t errors;
    std::uint8_t distance;  // between the pattern and the cover, at most COVER_CAP
    bool word_start;        // the stretch starts a word
    bool case_differs;      // the cover starts with a letter of the other case than the query's first (never
                            // for a cover at COVER_CAP)
    std::uint16_t cost;     // the cover's likely-typo cost (typo_cost), at most TYPO_COST_CAP
};

inline constexpr std::uint32_t TYPO_COST_CAP = 1023;

// The optimal string alignment distance between the folded pattern bytes
// `a` and the text bytes `b` (folded here): substitutions, insertions,
// deletions and swaps of adjacent bytes, none edited twice; at most `cap`.
std::uint32_t osa_distance(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                           std::uint32_t cap) noexcept;

// The cost in tenths of the typos that turn the folded pattern bytes `a`
// into the text bytes `b` (folded here), counted in characters (a letter
// of two bytes left out is one typo) and weighted by how often people make
// them: a letter left out of the query (one `b` has and `a` lacks) 8, or 5
// where it doubles the letter before it; a letter too many 10, or 5 where it
// doubles; a vowel for a vowel 8, another substitution 10; two neighbours
// swapped 7. At most TYPO_COST_CAP, which is also the cost of a cover at
// COVER_CAP. It orders matches at the same distance.
std::uint32_t typo_cost(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

// The bytes of a match and the words covering it, read once for every step
// of its fit.
struct Around {
    std::array<std::uint8_t, 2 * COVER_REACH + MAX_PATTERN_BYTES + MAX_ERRORS> bytes;
    std::size_t first;  // the text position of bytes[0], the cover's start
    // The stretch the match may take: its last `tight` bytes up to its end.
    std::array<std::uint8_t, MAX_PATTERN_BYTES + MAX_ERRORS> stretch;
    std::size_t tight;
    std::uint32_t errors;

    std::uint8_t at(std::size_t position) const noexcept { return bytes[position - first]; }
};

// The covering distances and typo costs of covers met before, by their
// folded bytes, and the starts of matches in stretches met before: in real
// texts the same words cover a query word's matches again and again. One per
// query word.
class FitCache {
public:
    // Where in `stretch` (the last bytes up to a match's end, see
    // forgiving_start) the match of `errors` errors starts.
    std::size_t start_in(const Pattern& pattern, std::uint32_t errors,
                         std::span<const std::uint8_t> stretch) noexcept;
    // The distance (at most COVER_CAP) of `cover` from `pattern`, and its typo cost.
    std::uint32_t distance(const Pattern& pattern, std::span<const std::uint8_t> cover) noexcept;
    std::uint32_t cost(const Pattern& pattern, std::span<const std::uint8_t> cover) noexcept;

private:
    static constexpr std::size_t ENTRIES = 128;
    static constexpr std::uint16_t NO_COST = 0xFFFF;  // not yet known
    struct Entry {
        std::uint8_t length = 0xFF;  // none
        std::uint8_t distance = 0;
        std::uint16_t cost = NO_COST;
        std::array<std::uint8_t, MAX_PATTERN_BYTES> bytes{};
    };
    // The entry of `cover`: `known` when it held it, else made for it, its distance yet to be set.
    Entry& entry_of(std::span<const std::uint8_t> cover, bool& known) noexcept;
    std::array<Entry, ENTRIES> entries_;
    struct Start {
        std::uint8_t length = 0xFF;  // none
        std::uint8_t errors = 0;
        std::uint8_t offset = 0;
        std::array<std::uint8_t, MAX_PATTERN_BYTES + MAX_ERRORS> bytes{};
    };
    std::array<Start, ENTRIES> starts_;
};

// A fit is made in steps, each dearer than the one before, so that a record
// that cannot enter a ranking is given up early:
// 1. where the forgiving match `match` of `pattern` lies in `text` and the
//    words that cover it, with `distance` at its floor (the match's errors,
//    or how far the cover's length is from the pattern's, or COVER_CAP
//    where the cover reaches more than COVER_REACH bytes past the match);
//    `around` is filled with the cover; and whether the cover's first
//    letter has the other case than the query word's (`first_upper`: it
//    starts with a capital);
WordFit place_word(const Pattern& pattern, bool first_upper, const Match& match, const TextReader& text,
                   Around& around, FitCache& cache) noexcept;
//    Where the match lies inside one word, its start is left UNPLACED (and
//    word_start true, a floor);
// 2. the covering distance;
// 3. the start, where it was left unplaced;
// 4. the typo cost.
inline constexpr std::uint32_t UNPLACED = UINT32_MAX;
void measure_word(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept;
void place_start(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept;
void measure_cost(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept;
// The number of word bytes in text[from, to) outside the covers of `fits`
// (what stands between the words), counted up to `cap`.
std::uint32_t word_bytes_between(std::span<const WordFit> fits, std::size_t from, std::size_t to,
                                 const TextReader& text, std::uint32_t cap) noexcept;

}  // namespace murvex::detail
