// The rules that turn a match into a score, the error budget, and the
// settings with their limits and defaults: one place for the core, its
// pruning and the Python bindings.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace murvex {

// The largest error budget a search can run with, and the largest accepted
// max_errors.
inline constexpr std::uint32_t MAX_ERRORS = 3;

// Largest accepted max_results.
inline constexpr std::uint64_t MAX_RESULTS_LIMIT = 100;

// The settings' values when none are given.
inline constexpr float DEFAULT_THRESHOLD = 0.25f;
inline constexpr std::uint16_t DEFAULT_THRESHOLD_MILLI = 250;
inline constexpr std::uint32_t DEFAULT_MAX_ERRORS = 2;
inline constexpr std::uint64_t DEFAULT_MAX_RESULTS = 50;

// The three settings of an engine, held in the forms the search uses, and
// the matching mode. The core trusts them: the bindings validate before
// storing.
struct Settings {
    std::uint16_t threshold = DEFAULT_THRESHOLD_MILLI;  // minimum score in thousandths, 0..1000, inclusive
    std::uint32_t max_errors = DEFAULT_MAX_ERRORS;      // 0..MAX_ERRORS
    std::uint64_t max_results = DEFAULT_MAX_RESULTS;    // 0..MAX_RESULTS_LIMIT
    // The forgiving matching of murvex_tools' indexes (bitap.hpp says what it
    // forgives), ranked by how close the words of a record are to the query;
    // the murvex module never sets it.
    bool forgiving = false;
    // The words mode: each whitespace-separated word of the query matched on
    // its own, with the forgiving rules, anywhere in a record.
    bool words = false;
};

// The error budget k for a pattern of m bytes: 0 for m < 4, at most 1 for
// m < 6, max_errors otherwise. max_errors must be at most MAX_ERRORS.
constexpr std::uint32_t error_budget(std::uint32_t max_errors, std::size_t m) noexcept {
    if (m < 4) return 0;
    if (m < 6) return std::min(max_errors, 1u);
    return std::min(max_errors, MAX_ERRORS);
}

// The error budget of a pattern (a query, or a word of one) in the
// forgiving and words modes: error_budget's, but one edit from 3 bytes on
// (a word of 4 letters typed with one left out is 3 bytes long).
constexpr std::uint32_t forgiving_budget(std::uint32_t max_errors, std::size_t m) noexcept {
    return m == 3 ? std::min(max_errors, 1u) : error_budget(max_errors, m);
}

// The distance bonus: 50 when the match ends within the first m bytes, 25
// within the first m + 9, else nothing.
constexpr int end_bonus(std::size_t end, std::size_t m) noexcept {
    return end <= m ? 50 : end < m + 10 ? 25 : 0;
}

// Score in thousandths of a match with `errors` errors ending at `end`, for a
// pattern of m bytes: 1000 - 250 per error plus the distance bonus, capped at
// 1000.
constexpr std::uint16_t score_milli(std::uint32_t errors, std::size_t end, std::size_t m) noexcept {
    const int base = 1000 - 250 * static_cast<int>(errors);
    return static_cast<std::uint16_t>(std::min(1000, base + end_bonus(end, m)));
}

// Thousandths as the Python boundary shows them (scores and the threshold):
// divided by 1000 in single precision.
constexpr float thousandths_as_float(std::uint16_t milli) noexcept {
    return static_cast<float>(milli) / 1000.0f;
}

// The highest score a match with `errors` errors can have: the one that ends
// within the first m bytes.
constexpr int best_score(int errors) noexcept {
    return score_milli(static_cast<std::uint32_t>(errors), 0, 1);
}

// The most errors a match can have and still score at least `score`, or
// more than `score` when `strictly`; -1 when none can. At most k.
constexpr int errors_reaching(int score, bool strictly, int k) noexcept {
    int errors = k;
    while (errors >= 0 && (strictly ? best_score(errors) <= score : best_score(errors) < score)) --errors;
    return errors;
}

}  // namespace murvex
