// Unicode folding, for the forgiving and words modes of an index that folds:
// each character is replaced by its full case folding, decomposed for
// compatibility (NFKD), without the marks that combine with the character
// before it (`É` and `é` become `e`, `ß` becomes `ss`, `ﬁ` becomes `fi`),
// from a table made when the library is built. ASCII bytes stay as they are
// (the matcher folds their case itself), and so do bytes that are not
// well-formed UTF-8.
//
// The folded text is kept in its "lane form": UTF-8, but for the small
// letters of Greek and Cyrillic, one byte each of those that UTF-8 never
// has alone, so that a typo in such a letter is one byte edit, as in Latin
// (readable_fold() gives it back as UTF-8).
//
// Where folding changes a text, the "runs" of its characters whose lane
// form does not give them back (the letters of one byte do, and so does
// UTF-8 that stands for itself) are kept with their original bytes, so that
// the original text and its offsets can be had back from the lane form.
// Encoded as bytes, for each run: the bytes of the lane form since the last
// run's end and the run's original length, each as a LEB128 number, then
// its original bytes (their forms give the run's length in the lane form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "murvex/buffer.hpp"

namespace murvex {

// The Unicode version of the table ("15.1.0"), and with it the revision of
// the lane form ("15.1.0+1"), which saved indexes name.
std::string_view fold_unicode_version() noexcept;
std::string_view fold_table_id() noexcept;

// The character of `text` at byte i (below its size): its code point, or
// 0x110000 + the byte for a byte that does not begin a well-formed UTF-8
// sequence (a character of its own); and its length in bytes.
std::pair<std::uint32_t, std::size_t> utf8_character(std::string_view text, std::size_t i) noexcept;

// Whether folding may change `text`: false when every byte is ASCII.
bool may_fold(std::string_view text) noexcept;

// `text` folded, its lane form appended to `folded`, and its runs appended
// to `runs`; whether the lane form is not the text itself. Throws
// std::bad_alloc.
bool fold_text(std::string_view text, std::string& folded, std::vector<std::uint8_t>& runs);
bool fold_text(std::string_view text, PodBuffer<char>& folded, PodBuffer<std::uint8_t>& runs);

// What fold_code_points() made of a text.
enum class CodePointsFolded : std::uint8_t {
    itself,     // the lane form appended is the text's UTF-8, no runs
    changed,    // the lane form differs from the UTF-8; its runs appended
    surrogate,  // a lone surrogate (no UTF-8): nothing appended
};

// fold_text() of the UTF-8 of `units`, code points of one width (Latin-1,
// UCS-2 or UCS-4, as a Python str holds them), without that UTF-8 being
// made: the same lane form and runs appended. Throws std::bad_alloc.
template <class Unit>
CodePointsFolded fold_code_points(std::span<const Unit> units, PodBuffer<char>& folded,
                                  PodBuffer<std::uint8_t>& runs);

// A lane form as UTF-8: its letters of one byte written as such.
std::string readable_fold(std::string_view lane);

// The original text of `folded` and its runs, appended to `out`.
void unfold_text(std::string_view folded, std::span<const std::uint8_t> runs, std::string& out);

// The length of the original text of the lane form `folded` with `runs`.
std::size_t unfolded_length(std::string_view folded, std::span<const std::uint8_t> runs) noexcept;

// The stretch [start, end) of the lane form `folded` with `runs` in its
// original text, on whole characters: from the first byte of the character
// whose form holds byte `start` to the end of the character whose form
// holds byte end - 1, and past the characters right after it that fold to
// nothing (their marks). An empty stretch maps to an empty one.
std::pair<std::size_t, std::size_t> original_span(std::string_view folded, std::span<const std::uint8_t> runs,
                                                  std::size_t start, std::size_t end) noexcept;

namespace detail {

// fold_text() done a character at a time: slower, and plain enough to
// check the fast one against.
bool fold_text_by_character(std::string_view text, std::string& folded, std::vector<std::uint8_t>& runs);

}  // namespace detail

}  // namespace murvex
