#include "word_fit.hpp"

#include <algorithm>
#include <array>

#include "murvex/fold.hpp"
#include "murvex/unicode_fold.hpp"

namespace murvex::detail {

namespace {

// The longest cover a fit reads, plus one.
constexpr std::size_t ROW = 2 * COVER_REACH + MAX_PATTERN_BYTES + MAX_ERRORS + 1;

// The least cost of turning the folded pattern bytes `a` into the text bytes
// `b` (folded here, at most ROW - 1 of them), three rows kept:
// C[i][j] = min(C[i-1][j] + too_many(i), C[i][j-1] + left_out(j),
//               C[i-1][j-1] + substitute(a[i-1], b[j-1]),
//               C[i-2][j-2] + swap where a[i-2..i) and b[j-2..j) are swapped);
// no byte is edited twice (optimal string alignment). left_out(j) and
// too_many(i) are given the folded b and a with them.
template <class T, class LeftOut, class TooMany, class Substitute>
std::uint32_t alignment_cost(std::span<const T> a, std::span<const T> b, LeftOut left_out, TooMany too_many,
                             Substitute substitute, std::uint32_t swap) noexcept {
    const std::size_t n = a.size(), m = b.size();
    std::array<T, ROW> folded{};
    for (std::size_t j = 0; j < m; ++j)
        folded[j] = b[j] < 0x80 ? fold(static_cast<std::uint8_t>(b[j])) : b[j];
    std::array<std::uint32_t, ROW> before{}, above{}, row{};
    for (std::size_t j = 1; j <= m; ++j) above[j] = above[j - 1] + left_out(folded, j);
    for (std::size_t i = 1; i <= n; ++i) {
        row[0] = above[0] + too_many(a, i);
        for (std::size_t j = 1; j <= m; ++j) {
            const T x = a[i - 1], y = folded[j - 1];
            std::uint32_t c = std::min({above[j] + too_many(a, i), row[j - 1] + left_out(folded, j),
                                        above[j - 1] + substitute(x, y)});
            if (i > 1 && j > 1 && x == folded[j - 2] && a[i - 2] == y) c = std::min(c, before[j - 2] + swap);
            row[j] = c;
        }
        before = above;
        above = row;
    }
    return above[m];
}

}  // namespace

std::uint32_t osa_distance(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                           std::uint32_t cap) noexcept {
    const std::size_t n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) >= cap || m >= ROW) return cap;  // never below the difference in length
    const auto one = [](const auto&, std::size_t) { return 1u; };
    const std::uint32_t distance = alignment_cost(
        a, b, one, one, [](std::uint8_t x, std::uint8_t y) { return std::uint32_t{x != y}; }, 1);
    return std::min(distance, cap);
}

namespace {

// The characters of `bytes` (at most ROW - 1 of them) as symbols, ASCII
// letters small (see utf8_character); how many.
std::size_t symbols_of(std::span<const std::uint8_t> bytes, std::array<std::uint32_t, ROW>& out) noexcept {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size() && n < ROW - 1;) {
        const auto [code, length] = utf8_character(text, i);
        out[n++] = code < 0x80 ? fold(static_cast<std::uint8_t>(code)) : code;
        i += length;
    }
    return n;
}

}  // namespace

std::uint32_t typo_cost(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
    if (b.size() >= ROW) return TYPO_COST_CAP;
    // Typos are made in characters: a letter of two bytes swapped or left
    // out is one typo.
    std::array<std::uint32_t, ROW> from, to;
    const std::span<const std::uint32_t> x(from.data(), symbols_of(a, from)), y(to.data(), symbols_of(b, to));
    const auto vowel = [](std::uint32_t c) {
        return c == 'a' || c == 'e' || c == 'i' || c == 'o' || c == 'u' || c == 'y';
    };
    // A letter of b left out of a, and a letter of a too many, cost less
    // where they double the letter before them.
    const auto doubling = [](const auto& symbols, std::size_t at, std::uint32_t cost) {
        return at >= 2 && symbols[at - 1] == symbols[at - 2] ? 5u : cost;
    };
    const std::uint32_t cost = alignment_cost(
        x, y, [&](const auto& folded, std::size_t j) { return doubling(folded, j, 8); },
        [&](const auto& pattern, std::size_t i) { return doubling(pattern, i, 10); },
        [&](std::uint32_t p, std::uint32_t t) { return p == t                 ? 0u
                                                       : vowel(p) && vowel(t) ? 8u
                                                                              : 10u; }, 7);
    return std::min(cost, TYPO_COST_CAP);
}

namespace {

// The start of the match that ends at `end`, from the stretch read into `around`.
std::size_t start_of(const Pattern& pattern, std::size_t end, const Around& around,
                     FitCache& cache) noexcept {
    return end - around.tight +
           cache.start_in(pattern, around.errors, std::span(around.stretch.data(), around.tight));
}

std::uint32_t hash_of(std::span<const std::uint8_t> bytes) noexcept {
    std::uint32_t hash = 2166136261u;  // FNV-1a of the folded bytes
    for (const std::uint8_t b : bytes) hash = (hash ^ fold(b)) * 16777619u;
    return hash ^ (hash >> 16);
}

bool same_folded(std::span<const std::uint8_t> bytes, const std::uint8_t* kept) noexcept {
    return std::equal(bytes.begin(), bytes.end(), kept,
                      [](std::uint8_t c, std::uint8_t k) { return fold(c) == k; });
}

}  // namespace

WordFit place_word(const Pattern& pattern, bool first_upper, const Match& match, const TextReader& text,
                   Around& around, FitCache& cache) noexcept {
    const std::size_t m = pattern.len, end = match.end;
    const std::size_t tight = std::min(end, m + match.errors);
    around.errors = match.errors;
    around.tight = tight;
    const auto& stretch = around.stretch;
    text.read(end - tight, tight, around.stretch.data());
    // The match starts within the stretch: where it lies whole inside one
    // word, that word is the cover wherever it starts, and finding the start
    // can wait until the rest of the fit asks for it.
    const bool within_a_word =
        std::all_of(stretch.begin(), stretch.begin() + static_cast<std::ptrdiff_t>(tight), is_word_byte);
    const std::size_t start = within_a_word ? end - tight : start_of(pattern, end, around, cache);
    // Widen to the whole words the stretch starts and ends in, reading a
    // byte at a time (words are short); a word that reaches COVER_REACH
    // bytes past the stretch is too long to be near the pattern.
    const std::size_t lowest = end - tight >= COVER_REACH ? end - tight - COVER_REACH : 0;
    const std::size_t highest = std::min(text.length, end + COVER_REACH);
    const auto byte = [&](std::size_t p) {
        return p >= end - tight && p < end ? stretch[p - (end - tight)] : text.at(p);
    };
    std::size_t cover_start = start, cover_end = end;
    if (start < end && is_word_byte(byte(start)))
        while (cover_start > lowest && is_word_byte(byte(cover_start - 1))) --cover_start;
    if (start < end && is_word_byte(byte(end - 1)))
        while (cover_end < highest && is_word_byte(byte(cover_end))) ++cover_end;
    const bool cut = (cover_start == lowest && lowest > 0) || (cover_end == highest && highest < text.length);
    const std::size_t length = cover_end - cover_start;
    const std::size_t apart = length > m ? length - m : m - length;  // the distance is never below it
    const std::size_t floor =
        cut ? COVER_CAP : std::min<std::size_t>(std::max<std::size_t>(match.errors, apart), COVER_CAP);
    if (floor < COVER_CAP) {
        around.first = cover_start;
        text.read(cover_start, length, around.bytes.data());
    }
    const auto letter = [](std::uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    const std::uint8_t lead = byte(cover_start);
    return WordFit{
        within_a_word ? UNPLACED : static_cast<std::uint32_t>(start),
        static_cast<std::uint32_t>(end),
        static_cast<std::uint32_t>(cover_start),
        static_cast<std::uint32_t>(cover_end),
        static_cast<std::uint8_t>(match.errors),
        static_cast<std::uint8_t>(floor),
        within_a_word || start == 0 || !is_word_byte(byte(start - 1)),  // at most a floor when unplaced
        floor < COVER_CAP && letter(lead) && letter(pattern.bytes[0]) && (lead < 'a') != first_upper,
        static_cast<std::uint16_t>(floor >= COVER_CAP ? TYPO_COST_CAP : 0)};
}

void place_start(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept {
    if (fit.start != UNPLACED) return;
    fit.start = static_cast<std::uint32_t>(start_of(pattern, fit.end, around, cache));
    // the bytes between them are of one word (a cover cut short on the left starts over COVER_REACH
    // bytes before the match)
    fit.word_start = fit.start == fit.cover_start;
}

std::size_t FitCache::start_in(const Pattern& pattern, std::uint32_t errors,
                               std::span<const std::uint8_t> stretch) noexcept {
    Start& start = starts_[hash_of(stretch) % ENTRIES];
    if (start.length != stretch.size() || start.errors != errors ||
        !same_folded(stretch, start.bytes.data())) {
        start.length = static_cast<std::uint8_t>(stretch.size());
        start.errors = static_cast<std::uint8_t>(errors);
        std::transform(stretch.begin(), stretch.end(), start.bytes.begin(), fold);
        start.offset = static_cast<std::uint8_t>(
            forgiving_start(pattern, errors,
                            std::string_view(reinterpret_cast<const char*>(stretch.data()), stretch.size())));
    }
    return start.offset;
}

FitCache::Entry& FitCache::entry_of(std::span<const std::uint8_t> cover, bool& known) noexcept {
    Entry& entry = entries_[hash_of(cover) % ENTRIES];
    known = entry.length == cover.size() && same_folded(cover, entry.bytes.data());
    if (!known) {
        entry.length = static_cast<std::uint8_t>(cover.size());
        std::transform(cover.begin(), cover.end(), entry.bytes.begin(), fold);
        entry.cost = NO_COST;
    }
    return entry;
}

std::uint32_t FitCache::distance(const Pattern& pattern, std::span<const std::uint8_t> cover) noexcept {
    const std::span<const std::uint8_t> query(pattern.bytes.data(), pattern.len);
    if (cover.size() > MAX_PATTERN_BYTES) return osa_distance(query, cover, COVER_CAP);
    bool known;
    Entry& entry = entry_of(cover, known);
    if (!known) entry.distance = static_cast<std::uint8_t>(osa_distance(query, cover, COVER_CAP));
    return entry.distance;
}

std::uint32_t FitCache::cost(const Pattern& pattern, std::span<const std::uint8_t> cover) noexcept {
    const std::span<const std::uint8_t> query(pattern.bytes.data(), pattern.len);
    if (cover.size() > MAX_PATTERN_BYTES) return typo_cost(query, cover);
    bool known;
    Entry& entry = entry_of(cover, known);
    if (!known) entry.distance = static_cast<std::uint8_t>(osa_distance(query, cover, COVER_CAP));
    if (entry.cost == NO_COST) entry.cost = static_cast<std::uint16_t>(typo_cost(query, cover));
    return entry.cost;
}

void measure_word(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept {
    if (fit.distance >= COVER_CAP) return;  // the floor is already the cap
    fit.distance = static_cast<std::uint8_t>(
        cache.distance(pattern, std::span(around.bytes.data(), fit.cover_end - fit.cover_start)));
    if (fit.distance >= COVER_CAP) {  // covers as far as the cap all cost the most, whatever their case
        fit.cost = TYPO_COST_CAP;
        fit.case_differs = false;
    }
}

void measure_cost(WordFit& fit, const Pattern& pattern, const Around& around, FitCache& cache) noexcept {
    if (fit.distance == 0 || fit.distance >= COVER_CAP) return;  // the pattern itself costs nothing
    fit.cost = static_cast<std::uint16_t>(
        cache.cost(pattern, std::span(around.bytes.data(), fit.cover_end - fit.cover_start)));
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
