// The Bitap matcher: a shift-and automaton with one 32-bit state word per
// error level, allowing up to three byte edits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "murvex/scoring.hpp"

namespace murvex {

// Only the first 32 bytes of a query take part in matching; the cut is made
// on bytes, also inside a multi-byte character.
inline constexpr std::size_t MAX_PATTERN_BYTES = 32;

// A query compiled once per search.
struct Pattern {
    // Bit i of masks[x] is set when fold(pattern byte i) == fold(x). The table
    // is indexed by the raw text byte: case folding is built into it, so the
    // kernel never folds a text byte itself.
    std::array<std::uint32_t, 256> masks{};
    // m, the number of pattern bytes: 1 to 32 (0 only for an empty query).
    std::size_t len = 0;
    // Character mask of the m pattern bytes (see fold.hpp).
    std::uint64_t char_mask = 0;
    // The m pattern bytes, folded.
    std::array<std::uint8_t, MAX_PATTERN_BYTES> bytes{};
    // The first pattern byte, folded, and its ASCII capital ('A' for 'a');
    // both equal when the byte is not a letter. A match can only begin at a
    // text byte equal to one of them.
    std::uint8_t first = 0;
    std::uint8_t first_upper = 0;
};

// Compiles the first MAX_PATTERN_BYTES bytes of query.
Pattern compile(std::string_view query) noexcept;

// One match: errors is 0..k, end is the exclusive byte position in the text
// one past the last matched byte.
struct Match {
    std::uint32_t errors;
    std::size_t end;
};

// The best match of pattern in text with at most k errors (k <= MAX_ERRORS),
// or nullopt when there is none (always for an empty text or pattern).
//
// errors(e) is the least number of byte substitutions, insertions and
// deletions turning the pattern into a stretch of text that ends at e and
// begins with a byte equal to the first pattern byte, paired with it
// unchanged: the first pattern byte is never in error, and trailing pattern
// bytes may be deleted. The result is the least errors(e) over the text with
// the smallest e that reaches it.
std::optional<Match> best_match(const Pattern& pattern, std::uint32_t k, std::string_view text) noexcept;

// The same in the forgiving mode. There errors(e) is the least number of
// byte substitutions, insertions, deletions and swaps of two adjacent bytes
// (optimal string alignment: no byte edited twice) turning the pattern into
// a stretch of text that ends at e and may begin anywhere: the first pattern
// byte is edited like any other, and a swap costs one edit.
std::optional<Match> best_match_forgiving(const Pattern& pattern, std::uint32_t k,
                                          std::string_view text) noexcept;

// In the forgiving mode, where a match with `errors` errors ending at the
// end of `before_end` starts: the greatest s such that the stretch from s to
// the end is at that distance from the whole pattern (the tightest stretch).
// Reads at most m + errors bytes from the end.
std::size_t forgiving_start(const Pattern& pattern, std::uint32_t errors,
                            std::string_view before_end) noexcept;

}  // namespace murvex
