#include "word_fit.hpp"

#include <algorithm>
#include <array>

#include "murvex/fold.hpp"

namespace murvex::detail {

std::uint32_t osa_distance(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                           std::uint32_t cap) noexcept {
    const std::size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) >= cap) return cap;  // the distance is at least the difference in length
    // D[i][j]: the distance between a[0, i) and b[0, j), three rows kept:
    // D[i][j] = min(D[i-1][j] + 1, D[i][j-1] + 1, D[i-1][j-1] + (a[i-1] != b[j-1]),
    //               D[i-2][j-2] + 1 where a[i-2..i) and b[j-2..j) are swapped).
    constexpr std::size_t ROW = 2 * COVER_REACH + MAX_PATTERN_BYTES + MAX_ERRORS + 1;
    std::array<std::uint8_t, ROW> before{}, above{}, row{};
    std::array<std::uint8_t, ROW> folded{};
    if (m >= ROW) return cap;
    for (std::size_t j = 0; j < m; ++j) folded[j] = fold(b[j]);
    for (std::size_t j = 0; j <= m; ++j) above[j] = static_cast<std::uint8_t>(j);
    for (std::size_t i = 1; i <= n; ++i) {
        row[0] = static_cast<std::uint8_t>(i);
        for (std::size_t j = 1; j <= m; ++j) {
            int d = std::min({above[j] + 1, row[j - 1] + 1, above[j - 1] + int{a[i - 1] != folded[j - 1]}});
            if (i > 1 && j > 1 && a[i - 1] == folded[j - 2] && a[i - 2] == folded[j - 1])
                d = std::min(d, before[j - 2] + 1);
            row[j] = static_cast<std::uint8_t>(d);
        }
        before = above;
        above = row;
    }
    return std::min<std::uint32_t>(above[m], cap);
}

std::uint32_t typo_cost(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    constexpr std::size_t ROW = 2 * COVER_REACH + MAX_PATTERN_BYTES + MAX_ERRORS + 1;
    const std::size_t n = a.size(), m = b.size();
    if (m >= ROW) return TYPO_COST_CAP;
    const auto vowel = [](std::uint8_t c) {
        return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'y';
    };
    std::array<std::uint8_t, ROW> folded{};
    for (std::size_t j = 0; j < m; ++j) folded[j] = fold(b[j]);
    // A letter of b left out of a, and a letter of a too many, cost less
    // where they double the letter before them.
    const auto left_out = [&](std::size_t j) { return j >= 2 && folded[j - 1] == folded[j - 2] ? 5u : 8u; };
    const auto too_many = [&](std::size_t i) { return i >= 2 && a[i - 1] == a[i - 2] ? 5u : 10u; };
    std::array<std::uint32_t, ROW> before{}, above{}, row{};
    for (std::size_t j = 1; j <= m; ++j) above[j] = above[j - 1] + left_out(j);
    for (std::size_t i = 1; i <= n; ++i) {
        row[0] = above[0] + too_many(i);
        for (std::size_t j = 1; j <= m; ++j) {
            const std::uint8_t x = a[i - 1], y = folded[j - 1];
            const std::uint32_t substitute = x == y ? 0 : vowel(x) && vowel(y) ? 8 : 10;
            std::uint32_t d = std::min({above[j] + too_many(i), row[j - 1] + left_out(j), above[j - 1] + substitute});
            if (i > 1 && j > 1 && x == folded[j - 2] && a[i - 2] == y) d = std::min(d, before[j - 2] + 7);
            row[j] = d;
        }
        before = above;
        above = row;
    }
    return std::min(above[m], TYPO_COST_CAP);
}

WordFit fit_word(const Pattern& pattern, bool first_upper, const Match& match, const TextReader& text) noexcept {
    const std::size_t m = pattern.len, end = match.end;
    const std::size_t tight = std::min(end, m + match.errors);
    // The bytes around the match: the stretch it may take, and COVER_REACH on each side.
    const std::size_t first = end - tight >= COVER_REACH ? end - tight - COVER_REACH : 0;
    const std::size_t last = std::min(text.length, end + COVER_REACH);
    std::array<std::uint8_t, 2 * COVER_REACH + MAX_PATTERN_BYTES + MAX_ERRORS> bytes;
    text.read(first, last - first, bytes.data());
    const auto at = [&](std::size_t p) { return bytes[p - first]; };

    const std::string_view before_end(reinterpret_cast<const char*>(bytes.data()) + (end - tight - first), tight);
    const std::size_t start = end - tight + forgiving_start(pattern, match.errors, before_end);
    WordFit fit{static_cast<std::uint32_t>(start),
                static_cast<std::uint32_t>(end),
                0,
                0,
                static_cast<std::uint8_t>(match.errors),
                0,
                start == 0 || !is_word_byte(at(start - 1)),
                false,
                0};
    // Widen to the whole words the stretch starts and ends in; a word that
    // runs past the bytes read is too long to be near the pattern.
    std::size_t cover_start = start, cover_end = end;
    if (start < end && is_word_byte(at(start)))
        while (cover_start > first && is_word_byte(at(cover_start - 1))) --cover_start;
    if (start < end && is_word_byte(at(end - 1)))
        while (cover_end < last && is_word_byte(at(cover_end))) ++cover_end;
    fit.cover_start = static_cast<std::uint32_t>(cover_start);
    fit.cover_end = static_cast<std::uint32_t>(cover_end);
    const bool cut = (cover_start == first && first > 0) || (cover_end == last && last < text.length);
    const std::span<const std::uint8_t> query(pattern.bytes.data(), m),
        cover(bytes.data() + (cover_start - first), cover_end - cover_start);
    fit.distance = static_cast<std::uint8_t>(cut ? COVER_CAP : osa_distance(query, cover, COVER_CAP));
    // covers as far from the pattern as the cap all cost the most
    fit.cost = static_cast<std::uint16_t>(fit.distance == COVER_CAP ? TYPO_COST_CAP : typo_cost(query, cover));
    const std::uint8_t lead = at(cover_start);
    const bool letter = (lead | 0x20) >= 'a' && (lead | 0x20) <= 'z';
    fit.case_differs = letter && (pattern.bytes[0] | 0x20) >= 'a' && (pattern.bytes[0] | 0x20) <= 'z' &&
                       (lead < 'a') != first_upper;
    return fit;
}

std::uint32_t word_bytes_between(std::span<const WordFit> fits, std::size_t from, std::size_t to,
                                 const TextReader& text, std::uint32_t cap) noexcept {
    std::uint32_t count = 0;
    std::array<std::uint8_t, 256> chunk;
    for (std::size_t at = from; at < to && count < cap;) {
        const std::size_t n = std::min(chunk.size(), to - at);
        text.read(at, n, chunk.data());
        for (std::size_t i = 0; i < n && count < cap; ++i) {
            const std::size_t p = at + i;
            if (!is_word_byte(chunk[i])) continue;
            const bool covered = std::any_of(fits.begin(), fits.end(), [&](const WordFit& fit) {
                return p >= fit.cover_start && p < fit.cover_end;
            });
            count += !covered;
        }
        at += n;
    }
    return count;
}

}  // namespace murvex::detail
