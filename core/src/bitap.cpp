#include "murvex/bitap.hpp"

#include <algorithm>
#include <cstring>

#include "murvex/fold.hpp"

namespace murvex {

namespace {

// Position of the next byte at or after `from` that can begin a match (the
// first pattern byte in either case), or `end` when there is none.
const std::uint8_t* next_start(const Pattern& pattern, const std::uint8_t* from,
                               const std::uint8_t* end) noexcept {
    auto find = [](std::uint8_t byte, const std::uint8_t* lo, const std::uint8_t* hi) {
        const void* hit = std::memchr(lo, byte, static_cast<std::size_t>(hi - lo));
        return hit ? static_cast<const std::uint8_t*>(hit) : hi;
    };
    const std::uint8_t* hit = find(pattern.first, from, end);
    if (pattern.first_upper != pattern.first) hit = find(pattern.first_upper, from, hit);
    return hit;
}

}  // namespace

Pattern compile(std::string_view query) noexcept {
    Pattern pattern;
    pattern.len = std::min(query.size(), MAX_PATTERN_BYTES);
    for (std::size_t i = 0; i < pattern.len; ++i) {
        const std::uint8_t x = fold(static_cast<std::uint8_t>(query[i]));
        pattern.char_mask |= std::uint64_t{1} << (x & 0x3F);
        // Every raw byte that folds to x gets the bit: x itself and, for a
        // small letter, its capital.
        pattern.masks[x] |= std::uint32_t{1} << i;
        if (x >= 'a' && x <= 'z') pattern.masks[x - 0x20] |= std::uint32_t{1} << i;
    }
    if (pattern.len > 0) {
        pattern.first = fold(static_cast<std::uint8_t>(query[0]));
        pattern.first_upper = (pattern.first >= 'a' && pattern.first <= 'z')
                                  ? static_cast<std::uint8_t>(pattern.first - 0x20)
                                  : pattern.first;
    }
    return pattern;
}

std::uint32_t error_budget(std::uint32_t max_errors, std::size_t m) noexcept {
    if (m < 4) return 0;
    if (m < 6) return std::min(max_errors, 1u);
    return std::min(max_errors, MAX_ERRORS);
}

// Shift-and with error levels. After each text byte, bit i of R[j] says that
// pattern bytes 0..i align with a stretch ending at that byte using at most
// j errors:
//
//   R[0]' = ((R[0] << 1) | 1) & B
//   R[j]' = (((R[j] << 1) | 1) & B)      exact step
//         | ((R[j-1] | R[j-1]') << 1)    substitution, deletion of a pattern byte
//         | R[j-1]                       insertion of a text byte
//
// with B the mask of the text byte. The `| 1` stands only in the exact step
// and the words start at zero, so the first pattern byte is never in error.
std::optional<Match> best_match(const Pattern& pattern, std::uint32_t k,
                                std::string_view text) noexcept {
    const std::size_t m = pattern.len;
    if (m == 0 || text.empty()) return std::nullopt;
    k = std::min(k, MAX_ERRORS);

    const std::uint32_t state_mask = m >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << m) - 1;
    const std::uint32_t accept = std::uint32_t{1} << (m - 1);
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = begin + text.size();

    std::uint32_t R[MAX_ERRORS + 1] = {};
    // Only levels below the best error count found so far can still improve
    // it, and no level feeds a lower one, so `top` shrinks with every match.
    std::uint32_t top = k;
    std::optional<Match> best;

    for (const std::uint8_t* p = begin; p < end;) {
        // With every word zero, only the first pattern byte can change the
        // state: jump to its next occurrence.
        if (R[top] == 0 && (p = next_start(pattern, p, end)) == end) break;

        const std::uint32_t B = pattern.masks[*p++];
        std::uint32_t old = R[0];
        R[0] = ((R[0] << 1) | 1) & B & state_mask;
        for (std::uint32_t j = 1; j <= top; ++j) {
            const std::uint32_t cur = R[j];
            R[j] = ((((cur << 1) | 1) & B) | ((old | R[j - 1]) << 1) | old) & state_mask;
            old = cur;
        }

        // Every bit of R[j-1] is also set in R[j]: test the top level first.
        if (R[top] & accept) {
            std::uint32_t j = 0;
            while (!(R[j] & accept)) ++j;
            best = Match{j, static_cast<std::size_t>(p - begin)};
            if (j == 0) break;  // nothing can beat an exact match
            top = j - 1;
        }
    }
    return best;
}

}  // namespace murvex
