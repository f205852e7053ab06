// Slow, obviously correct versions of the matcher and the search, written
// from their definitions, for comparing the real ones against.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "murvex/bitap.hpp"
#include "murvex/search.hpp"
#include "murvex/unicode_fold.hpp"

namespace murvex::reference {

// The reference keeps its own copies of the small rules too, so that a fault
// in the engine's versions cannot hide behind the same fault here.
inline std::uint8_t fold(char c) {
    const auto b = static_cast<std::uint8_t>(c);
    return b >= 0x41 && b <= 0x5A ? static_cast<std::uint8_t>(b + 0x20) : b;
}

inline bool same(char a, char b) { return fold(a) == fold(b); }

inline std::uint64_t char_mask(std::string_view bytes) {
    std::uint64_t mask = 0;
    for (char c : bytes) mask |= std::uint64_t{1} << (fold(c) % 64);
    return mask;
}

inline std::uint32_t error_budget(std::uint32_t max_errors, std::size_t m) {
    if (m <= 3) return 0;
    if (m <= 5) return max_errors >= 1 ? 1 : 0;
    return max_errors;
}

inline std::uint16_t score_milli(std::uint32_t errors, std::size_t end, std::size_t m) {
    const int base = 1000 - 250 * static_cast<int>(errors);
    int bonus = 0;
    if (end <= m)
        bonus = 50;
    else if (end < m + 10)
        bonus = 25;
    return static_cast<std::uint16_t>(base + bonus > 1000 ? 1000 : base + bonus);
}

// Edit distance by its definition: D[i][e] is the least number of edits
// turning pattern bytes 0..i-1 into a stretch of text ending at e whose first
// byte is paired, unchanged, with pattern byte 0.
inline std::optional<Match> best_match(std::string_view query, std::uint32_t k, std::string_view text) {
    const std::string_view p = query.substr(0, MAX_PATTERN_BYTES);
    const std::size_t m = p.size(), n = text.size();
    if (m == 0 || n == 0) return std::nullopt;
    constexpr std::uint32_t INF = std::numeric_limits<std::uint32_t>::max() / 2;
    std::vector<std::vector<std::uint32_t>> D(m + 1, std::vector<std::uint32_t>(n + 1, INF));
    for (std::size_t e = 1; e <= n; ++e)
        D[1][e] = same(text[e - 1], p[0]) ? 0 : D[1][e - 1] + 1;  // begin here, or insert
    for (std::size_t i = 2; i <= m; ++i)
        for (std::size_t e = 0; e <= n; ++e) {
            std::uint32_t d = D[i - 1][e] + 1;  // delete pattern byte i-1
            if (e > 0) {
                d = std::min(d, D[i][e - 1] + 1);  // insert text byte e-1
                d = std::min(d, D[i - 1][e - 1] + (same(text[e - 1], p[i - 1]) ? 0 : 1));
            }
            D[i][e] = d;
        }
    std::optional<Match> best;
    for (std::size_t e = 1; e <= n; ++e)
        if (D[m][e] <= k && (!best || D[m][e] < best->errors)) best = Match{D[m][e], e};
    return best;
}

// The forgiving distance by its definition (optimal string alignment):
// F[i][e] is the least number of substitutions, insertions, deletions and
// swaps of two adjacent bytes, no byte edited twice, turning pattern bytes
// 0..i-1 into a stretch of text ending at e that may begin anywhere.
inline std::vector<std::vector<std::uint32_t>> forgiving_table(std::string_view p, std::string_view text) {
    const std::size_t m = p.size(), n = text.size();
    std::vector<std::vector<std::uint32_t>> F(m + 1, std::vector<std::uint32_t>(n + 1, 0));
    for (std::size_t i = 1; i <= m; ++i) {
        F[i][0] = static_cast<std::uint32_t>(i);
        for (std::size_t e = 1; e <= n; ++e) {
            std::uint32_t d = std::min(F[i - 1][e] + 1, F[i][e - 1] + 1);
            d = std::min(d, F[i - 1][e - 1] + (same(text[e - 1], p[i - 1]) ? 0 : 1));
            if (i >= 2 && e >= 2 && same(text[e - 1], p[i - 2]) && same(text[e - 2], p[i - 1]))
                d = std::min(d, F[i - 2][e - 2] + 1);
            F[i][e] = d;
        }
    }
    return F;
}

// The forgiving mode's best match: the least distance over every end, with
// the first end that reaches it.
inline std::optional<Match> forgiving_match(std::string_view query, std::uint32_t k, std::string_view text) {
    const std::string_view p = query.substr(0, MAX_PATTERN_BYTES);
    if (p.empty() || text.empty()) return std::nullopt;
    const auto F = forgiving_table(p, text);
    std::optional<Match> best;
    for (std::size_t e = 1; e <= text.size(); ++e)
        if (F[p.size()][e] <= k && (!best || F[p.size()][e] < best->errors)) best = Match{F[p.size()][e], e};
    return best;
}

// The distance between the whole pattern and the whole of `stretch`.
inline std::uint32_t anchored_distance(std::string_view p, std::string_view stretch) {
    const std::size_t m = p.size(), n = stretch.size();
    std::vector<std::vector<std::uint32_t>> D(m + 1, std::vector<std::uint32_t>(n + 1));
    for (std::size_t i = 0; i <= m; ++i)
        for (std::size_t e = 0; e <= n; ++e) {
            if (i == 0 || e == 0) {
                D[i][e] = static_cast<std::uint32_t>(i + e);
                continue;
            }
            std::uint32_t d = std::min(D[i - 1][e] + 1, D[i][e - 1] + 1);
            d = std::min(d, D[i - 1][e - 1] + (same(stretch[e - 1], p[i - 1]) ? 0 : 1));
            if (i >= 2 && e >= 2 && same(stretch[e - 1], p[i - 2]) && same(stretch[e - 2], p[i - 1]))
                d = std::min(d, D[i - 2][e - 2] + 1);
            D[i][e] = d;
        }
    return D[m][n];
}

// The forgiving mode's start: the greatest s whose stretch s..end is at the
// best distance from the whole pattern (the tightest stretch).
inline std::size_t forgiving_start(std::string_view query, std::string_view text, const Match& match) {
    const std::string_view p = query.substr(0, MAX_PATTERN_BYTES);
    // A stretch longer than m + errors is more than `errors` edits away.
    const std::size_t longest = p.size() + match.errors;
    for (std::size_t s = match.end + 1; s-- > (match.end > longest ? match.end - longest : 0);)
        if (anchored_distance(p, text.substr(s, match.end - s)) == match.errors) return s;
    return 0;  // never: the best distance is reached by some stretch
}

// The matcher written the straightforward way: one byte at a time, every
// level on every byte, the whole text always read.
inline std::optional<Match> straightforward_match(std::string_view query, std::uint32_t k,
                                                  std::string_view text) {
    const std::size_t m = std::min(query.size(), MAX_PATTERN_BYTES);
    if (m == 0 || text.empty()) return std::nullopt;
    std::uint32_t masks[256] = {};
    for (std::size_t i = 0; i < m; ++i) masks[fold(query[i])] |= std::uint32_t{1} << i;
    const std::uint32_t state_mask = m == 32 ? ~0u : (1u << m) - 1;
    const std::uint32_t accept = 1u << (m - 1);
    std::uint32_t R[4] = {};
    std::uint32_t best_errors = k + 1;
    std::size_t best_end = 0, pos = 0;
    for (char c : text) {
        const std::uint32_t B = masks[fold(c)];
        std::uint32_t old = R[0];
        R[0] = ((R[0] << 1) | 1) & B;
        for (std::uint32_t j = 1; j <= k; ++j) {
            const std::uint32_t cur = R[j];
            R[j] = (((R[j] << 1) | 1) & B) | ((old | R[j - 1]) << 1) | old;
            old = cur;
        }
        ++pos;
        for (std::uint32_t j = 0; j <= k; ++j) R[j] &= state_mask;
        for (std::uint32_t j = 0; j <= k; ++j)
            if (R[j] & accept) {
                if (j < best_errors) best_errors = j, best_end = pos;
                break;
            }
    }
    if (best_errors > k) return std::nullopt;
    return Match{best_errors, best_end};
}

// The number of the pattern's byte classes (folded byte mod 64) that `text` lacks.
inline std::uint32_t classes_absent(std::string_view pattern, std::string_view text) {
    return static_cast<std::uint32_t>(std::popcount(char_mask(pattern) & ~char_mask(text)));
}

// A byte of a word: an ASCII letter or digit, or a byte of a non-ASCII character.
inline bool word_byte(char c) {
    const auto b = static_cast<std::uint8_t>(c);
    return b >= 0x80 || (b >= '0' && b <= '9') || (fold(c) >= 'a' && fold(c) <= 'z');
}

// The query's words: cut at ASCII whitespace in the words mode (at most 16),
// else the whole query.
inline std::vector<std::string> words_of(std::string_view query, bool words) {
    if (!words) return query.empty() ? std::vector<std::string>{} : std::vector{std::string(query)};
    std::vector<std::string> out;
    std::string word;
    for (const char c : std::string(query) + " ") {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
            if (!word.empty() && out.size() < 16) out.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return out;
}

// The weighted typo cost in tenths by its definition, over the whole matrix:
// a byte of `to` left out of `from` 8 (5 where it doubles the byte before
// it), a byte too many 10 (5 where it doubles), a vowel for a vowel 8,
// another substitution 10, a swap of neighbours 7; at most 1023.
inline std::uint32_t typo_cost(std::string_view from_bytes, std::string_view to_bytes) {
    // In characters: each well-formed UTF-8 character one symbol, any other byte one of its own.
    const auto symbols = [](std::string_view bytes) {
        std::vector<std::uint32_t> out;
        for (std::size_t i = 0; i < bytes.size();) {
            const auto [code, length] = utf8_character(bytes, i);
            out.push_back(code < 0x80 ? std::uint32_t{fold(static_cast<char>(code))} : code);
            i += length;
        }
        return out;
    };
    const std::vector<std::uint32_t> from = symbols(from_bytes), to = symbols(to_bytes);
    const auto vowel = [](std::uint32_t c) {
        return c < 0x80 && std::string_view("aeiouy").find(static_cast<char>(c)) != std::string_view::npos;
    };
    const std::size_t n = from.size(), m = to.size();
    std::vector<std::vector<std::uint32_t>> C(n + 1, std::vector<std::uint32_t>(m + 1, 0));
    const auto left_out = [&](std::size_t j) { return j >= 2 && to[j - 1] == to[j - 2] ? 5u : 8u; };
    const auto too_many = [&](std::size_t i) { return i >= 2 && from[i - 1] == from[i - 2] ? 5u : 10u; };
    for (std::size_t i = 0; i <= n; ++i)
        for (std::size_t j = 0; j <= m; ++j) {
            if (i == 0 && j == 0) continue;
            std::uint32_t c = UINT32_MAX;
            if (i > 0) c = std::min(c, C[i - 1][j] + too_many(i));
            if (j > 0) c = std::min(c, C[i][j - 1] + left_out(j));
            if (i > 0 && j > 0)
                c = std::min(c, C[i - 1][j - 1] + (from[i - 1] == to[j - 1]                 ? 0
                                                   : vowel(from[i - 1]) && vowel(to[j - 1]) ? 8
                                                                                            : 10));
            if (i > 1 && j > 1 && from[i - 1] == to[j - 2] && from[i - 2] == to[j - 1])
                c = std::min(c, C[i - 2][j - 2] + 7);
            C[i][j] = c;
        }
    return std::min<std::uint32_t>(C[n][m], 1023);
}

// A hit of the forgiving or words mode, with its words' spans.
struct WordsHit {
    ResultEntry entry;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;
};

// The forgiving and words modes by their definition: each word's best match
// anywhere in the record, its tightest stretch widened to whole words, and
// the records sorted by (missing words, sum of covering distances capped at
// 10 each, whether word bytes stand between the covers, disorder, how many
// (up to 127), sum of errors, matches starting inside words, covers starting
// in the other case, sum of typo costs, length), then store order.
inline std::vector<WordsHit> words_search(const Engine& engine, std::string_view query) {
    const Settings& s = engine.settings;
    const std::vector<std::string> words = words_of(query, s.words);
    const std::size_t n = words.size();
    if (n == 0) return {};
    struct Ranked {
        std::vector<std::uint64_t> key;
        std::size_t place;
        WordsHit hit;
    };
    std::vector<Ranked> all;
    for (std::size_t r = 0; r < engine.records.count(); ++r) {
        const std::string text = engine.records.text(r);
        std::uint32_t distance = 0, errors = 0, off_start = 0, between = 0, cost = 0, case_differs = 0;
        bool disorder = false;
        std::vector<std::pair<std::size_t, std::size_t>> covers;
        WordsHit hit{{engine.records.id(r), 0, UINT32_MAX, 0}, {}};
        for (const std::string& word : words) {
            const std::string p = word.substr(0, MAX_PATTERN_BYTES);
            const std::uint32_t k =
                p.size() == 3 ? std::min(s.max_errors, 1u) : error_budget(s.max_errors, p.size());
            const auto match = forgiving_match(p, k, text);
            if (!match) break;
            const std::size_t start = forgiving_start(p, text, *match), end = match->end;
            std::size_t cs = start, ce = end;
            while (word_byte(text[start]) && cs > 0 && word_byte(text[cs - 1])) --cs;
            while (word_byte(text[end - 1]) && ce < text.size() && word_byte(text[ce])) ++ce;
            const std::string_view cover = std::string_view(text).substr(cs, ce - cs);
            const std::uint32_t d = std::min<std::uint32_t>(10, anchored_distance(p, cover));
            distance += d;
            cost += d == 10 ? 1023 : typo_cost(p, cover);
            const auto letter = [](char c) { return fold(c) >= 'a' && fold(c) <= 'z'; };
            case_differs += d < 10 && letter(cover[0]) && letter(word[0]) &&
                            (fold(cover[0]) != static_cast<std::uint8_t>(cover[0])) !=
                                (fold(word[0]) != static_cast<std::uint8_t>(word[0]));
            errors += match->errors;
            off_start += start > 0 && word_byte(text[start - 1]);
            disorder |= !hit.spans.empty() && start < hit.spans.back().first;
            hit.spans.emplace_back(start, end);
            hit.entry.start = std::min<std::uint32_t>(hit.entry.start, start);
            hit.entry.end = std::max<std::uint32_t>(hit.entry.end, end);
            covers.emplace_back(cs, ce);
        }
        const std::size_t held = hit.spans.size();
        if (held == 0) continue;
        if (held > 1) {
            std::size_t from = SIZE_MAX, to = 0;
            for (const auto& [cs, ce] : covers) from = std::min(from, cs), to = std::max(to, ce);
            for (std::size_t p = from; p < to; ++p)
                between += word_byte(text[p]) &&
                           std::none_of(covers.begin(), covers.end(),
                                        [&](const auto& c) { return p >= c.first && p < c.second; });
            between = std::min<std::uint32_t>(between, 127);
        }
        std::uint32_t penalty;
        if (n == 1) {
            penalty = std::min<std::uint32_t>(1000, 100 * distance + 25 * errors + 10 * off_start);
        } else {
            penalty = 100 * distance + (between > 0 ? 40 : 0) + (disorder ? 20 : 0);
            penalty = std::min<std::uint32_t>(penalty, static_cast<std::uint32_t>((1000 + n - 1) / n - 1));
        }
        const auto milli = static_cast<std::uint32_t>(held * (1000 - penalty) / n);
        if (milli < s.threshold) continue;
        hit.entry.score = static_cast<float>(milli) / 1000.0f;
        all.push_back({{n - held, distance, between > 0, disorder, between, errors, off_start, case_differs,
                        cost, text.size()},
                       r,
                       hit});
    }
    std::sort(all.begin(), all.end(), [](const Ranked& a, const Ranked& b) {
        return a.key != b.key ? a.key < b.key : a.place < b.place;
    });
    std::vector<WordsHit> out;
    for (std::size_t i = 0; i < all.size() && i < s.max_results; ++i) out.push_back(all[i].hit);
    return out;
}

// The search by its outcome: every passing match, stably sorted by score,
// cut to max_results.
inline std::vector<ResultEntry> search(const Engine& engine, std::string_view query) {
    const Settings& s = engine.settings;
    if (s.forgiving || s.words) {
        std::vector<ResultEntry> out;
        for (const WordsHit& hit : words_search(engine, query)) out.push_back(hit.entry);
        return out;
    }
    const std::size_t m = std::min(query.size(), MAX_PATTERN_BYTES);
    if (m == 0) return {};
    const std::uint32_t k = error_budget(s.max_errors, m);
    const std::uint64_t qmask = char_mask(query.substr(0, m));
    struct Hit {
        ResultEntry entry;
        std::uint16_t milli;
    };
    std::vector<Hit> hits;
    for (std::size_t i = 0; i < engine.records.count(); ++i) {
        const std::string text = engine.records.text(i);
        if ((qmask & ~char_mask(text)) != 0) continue;
        const auto match = straightforward_match(query, k, text);
        if (!match) continue;
        const std::uint16_t milli = score_milli(match->errors, match->end, m);
        if (milli < s.threshold) continue;
        const std::size_t start = match->end >= m ? match->end - m : 0;
        hits.push_back({{engine.records.id(i), static_cast<float>(milli) / 1000.0f,
                         static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(match->end)},
                        milli});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.milli > b.milli; });
    std::vector<ResultEntry> out;
    for (std::size_t i = 0; i < hits.size() && i < s.max_results; ++i) out.push_back(hits[i].entry);
    return out;
}

// Random byte strings over a small alphabet with upper case and the bytes of
// multi-byte characters, so that matches, near-matches and folding are common.
class RandomText {
public:
    explicit RandomText(std::uint32_t seed) : rng_(seed) {}

    std::string operator()(std::size_t min_len, std::size_t max_len) {
        static constexpr std::string_view alphabet = "abcdzABCDZ \xC3\xA9\xA9!";
        std::uniform_int_distribution<std::size_t> len(min_len, max_len);
        std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
        std::string s(len(rng_), '\0');
        for (char& c : s) c = alphabet[pick(rng_)];
        return s;
    }

    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

    // `source` with up to `edits` random byte edits.
    std::string mutate(std::string source, std::uint32_t edits) {
        for (std::uint32_t e = 0; e < edits && !source.empty(); ++e) {
            const std::size_t at = below(source.size());
            switch (below(3)) {
                case 0: source[at] = (*this)(1, 1)[0]; break;
                case 1: source.erase(at, 1); break;
                default: source.insert(at, (*this)(1, 1)); break;
            }
        }
        return source;
    }

private:
    std::mt19937 rng_;
};

}  // namespace murvex::reference
