// Unicode folding, for the forgiving and words modes of an index that folds:
// each character is replaced by its full case folding, decomposed for
// compatibility (NFKD), without the marks that combine with the character
// before it (`É` and `é` become `e`, `ß` becomes `ss`, `ﬁ` becomes `fi`),
// from a table made when the library is built. ASCII bytes stay as they are
// (the matcher folds their case itself), and so do bytes that are not
// well-formed UTF-8.
//
// Where folding changes a text, the "runs" of its characters that changed
// are kept with their original bytes, so that the original text and its
// offsets can be had back from the folded one. Encoded as bytes, for each
// run: the bytes since the last run's end (the same in both texts) and the
// run's original length, each as a LEB128 number, then its original bytes
// (their folds give the run's folded length).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace murvex {

// The Unicode version of the table ("15.1.0").
std::string_view fold_unicode_version() noexcept;

// The character of `text` at byte i (below its size): its code point, or
// 0x110000 + the byte for a byte that does not begin a well-formed UTF-8
// sequence (a character of its own); and its length in bytes.
std::pair<std::uint32_t, std::size_t> utf8_character(std::string_view text, std::size_t i) noexcept;

// Whether folding may change `text`: false when every byte is ASCII.
bool may_fold(std::string_view text) noexcept;

// `text` folded, appended to `folded`, and the runs that changed appended to
// `runs` (none when nothing changed). Throws std::bad_alloc.
void fold_text(std::string_view text, std::string& folded, std::vector<std::uint8_t>& runs);

// The original text of `folded` and its runs, appended to `out`.
void unfold_text(std::string_view folded, std::span<const std::uint8_t> runs, std::string& out);

// The length of the original text of a folded text of `folded_length` bytes.
std::size_t unfolded_length(std::size_t folded_length, std::span<const std::uint8_t> runs) noexcept;

// The stretch [start, end) of the folded text `folded` with `runs` in its
// original text, on whole characters: from the first byte of the character
// whose fold holds byte `start` to the end of the character whose fold
// holds byte end - 1, and past the characters right after it that fold to
// nothing (their marks). An empty stretch maps to an empty one. With no
// runs, the stretch of `folded` itself widened to whole characters.
std::pair<std::size_t, std::size_t> original_span(std::string_view folded, std::span<const std::uint8_t> runs,
                                                  std::size_t start, std::size_t end) noexcept;

}  // namespace murvex
