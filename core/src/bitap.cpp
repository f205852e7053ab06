#include "murvex/bitap.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform.hpp"

#if defined(MURVEX_SSE2)
#include <emmintrin.h>
#endif

#include "murvex/fold.hpp"

namespace murvex {

namespace {

// The text bytes that match one of the first N / 2 pattern bytes: each
// pattern byte (folded) and its capital, or itself twice.
template <std::size_t N>
std::array<std::uint8_t, N> either_case(const Pattern& pattern) noexcept {
    std::array<std::uint8_t, N> values{};
    for (std::size_t i = 0; i < N / 2; ++i) {
        const std::uint8_t x = pattern.bytes[std::min(i, pattern.len - 1)];
        values[2 * i] = x;
        values[2 * i + 1] = x >= 'a' && x <= 'z' ? static_cast<std::uint8_t>(x - 0x20) : x;
    }
    return values;
}

// Position of the next byte at or after `p` that is one of `values`, or
// `end` when there is none.
template <std::size_t N>
MURVEX_ALWAYS_INLINE const std::uint8_t* next_of(const std::array<std::uint8_t, N>& values,
                                                 const std::uint8_t* p, const std::uint8_t* end) noexcept {
#if defined(MURVEX_SSE2)
    __m128i wanted[N];
    for (std::size_t i = 0; i < N; ++i) wanted[i] = _mm_set1_epi8(static_cast<char>(values[i]));
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_cmpeq_epi8(bytes, wanted[0]);
        for (std::size_t i = 1; i < N; ++i) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, wanted[i]));
        if (const int hits = _mm_movemask_epi8(hit)) return p + std::countr_zero(static_cast<unsigned>(hits));
    }
#endif
    for (; p < end; ++p)
        for (const std::uint8_t value : values)
            if (*p == value) return p;
    return p;
}

struct Scan {
    const Pattern& pattern;
    const std::uint8_t* begin;
    const std::uint8_t* end;
    std::uint32_t state_mask;
    std::uint32_t accept;
    std::array<std::uint8_t, 2> first;  // the bytes a match begins with
};

using State = std::array<std::uint32_t, MAX_ERRORS + 1>;

std::optional<Match> scan_below(std::uint32_t top, const Scan& scan, const std::uint8_t* p, const State& R,
                                std::optional<Match> best) noexcept;

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
//
// This is the kernel for K error levels above the exact one, from text
// position p with state R. Bits above the pattern's length are left in the words: they
// only ever move further up, so they cannot reach the accepting bit.
template <std::uint32_t K>
std::optional<Match> scan_levels(const Scan& scan, const std::uint8_t* p, const State& state,
                                 std::optional<Match> best) noexcept {
    // Everything the loop touches lives in locals, so that it stays in registers.
    const std::uint32_t* const masks = scan.pattern.masks.data();
    const std::uint8_t* const end = scan.end;
    const std::uint32_t state_mask = scan.state_mask, accept = scan.accept;
    std::uint32_t R[K + 1];
    for (std::uint32_t j = 0; j <= K; ++j) R[j] = state[j];

    while (p < end) {
        // With every word empty only the first pattern byte can change the
        // state: jump to its next occurrence.
        if ((R[K] & state_mask) == 0) {
            p = next_of(scan.first, p, end);
            if (p == end) break;
        }

        const std::uint32_t B = masks[*p++];
        std::uint32_t old = R[0];
        R[0] = ((R[0] << 1) | 1) & B;
        for (std::uint32_t j = 1; j <= K; ++j) {
            const std::uint32_t cur = R[j];
            R[j] = (((cur << 1) | 1) & B) | ((old | R[j - 1]) << 1) | old;
            old = cur;
        }

        // Every bit of R[j-1] is also set in R[j]: test the top level first.
        if (R[K] & accept) [[unlikely]] {
            std::uint32_t j = 0;
            while (!(R[j] & accept)) ++j;
            best = Match{j, static_cast<std::size_t>(p - scan.begin)};
            if (j == 0) return best;
            // Only levels below j can still improve on it, and no level
            // feeds a lower one: go on with those alone.
            State below{};
            for (std::uint32_t i = 0; i < j; ++i) below[i] = R[i];
            return scan_below(j - 1, scan, p, below, best);
        }
    }
    return best;
}

std::optional<Match> scan_below(std::uint32_t top, const Scan& scan, const std::uint8_t* p, const State& R,
                                std::optional<Match> best) noexcept {
    switch (top) {
        case 0: return scan_levels<0>(scan, p, R, best);
        case 1: return scan_levels<1>(scan, p, R, best);
        case 2: return scan_levels<2>(scan, p, R, best);
        default: return scan_levels<3>(scan, p, R, best);
    }
}

// The forgiving matcher. Against the strict recurrence: the substitution
// and the deletion of the first pattern byte are allowed (they feed bit 0
// at every level above 0), and a swap of two neighbours is one edit:
//
//   R[j]' = ... | 1 | ((((A[j-1] << 2) | 2) & Bprev & (B << 1))
//
// with A the words before the previous byte and Bprev that byte's mask.
// Before the text, R[j] holds the first j bits: as many pattern bytes
// deleted. That is also the quiet state the words return to after bytes
// that match none of the first K + 1 pattern bytes, and such bytes leave it
// unchanged (no swap can start from them either): in it, skip to the next
// byte that matches one of those.
struct Forgiving {
    const Pattern& pattern;
    std::string_view text;
    std::uint32_t state_mask;
    std::uint32_t accept;
};

struct ForgivingState {
    State R{}, A{};
    std::uint32_t Bprev = 0;
};

constexpr std::uint32_t quiet(std::uint32_t j) noexcept { return (std::uint32_t{1} << j) - 1; }

std::optional<Match> forgiving_below(std::uint32_t top, const Forgiving& scan, std::size_t pos,
                                     const ForgivingState& state, std::optional<Match> best) noexcept;

template <std::uint32_t K>
std::optional<Match> scan_forgiving(const Forgiving& scan, std::size_t pos, const ForgivingState& state,
                                    std::optional<Match> best) noexcept {
    const std::uint32_t* const masks = scan.pattern.masks.data();
    const auto* const text = reinterpret_cast<const std::uint8_t*>(scan.text.data());
    const std::size_t size = scan.text.size();
    const std::uint32_t state_mask = scan.state_mask, accept = scan.accept;
    // The quiet state accepts when the pattern is no longer than K: no skipping then.
    const bool skips = !(accept & quiet(K));
    const auto wakes = either_case<2 * (K + 1)>(scan.pattern);
    std::uint32_t R[K + 1], A[K + 1], before[K + 1];
    for (std::uint32_t j = 0; j <= K; ++j) R[j] = state.R[j], A[j] = state.A[j];
    std::uint32_t Bprev = state.Bprev;
    while (pos < size) {
        std::uint32_t stirred = 0;
        for (std::uint32_t j = 0; j <= K; ++j) stirred |= R[j] ^ quiet(j);
        // A and Bprev may be left behind by the skip: the words before a
        // quiet state were quiet too below K (a substitution carries any
        // other bit up a level) and the byte that led to it woke nothing, so
        // either way they start no swap.
        if (skips && stirred == 0) {
            pos = static_cast<std::size_t>(next_of(wakes, text + pos, text + size) - text);
            if (pos == size) break;
        }
        const std::uint32_t B = masks[text[pos++]];
        for (std::uint32_t j = 0; j <= K; ++j) before[j] = R[j];
        R[0] = ((R[0] << 1) | 1) & B;
        for (std::uint32_t j = 1; j <= K; ++j) {
            const std::uint32_t swap = ((A[j - 1] << 2) | 2) & Bprev & (B << 1);
            R[j] =
                (((before[j] << 1) | 1) & B) | ((before[j - 1] | R[j - 1]) << 1) | before[j - 1] | 1 | swap;
        }
        for (std::uint32_t j = 0; j <= K; ++j) {
            R[j] &= state_mask;
            A[j] = before[j] & state_mask;
        }
        Bprev = B;
        // Every bit of R[j-1] is also set in R[j]: test the top level first.
        if (R[K] & accept) [[unlikely]] {
            std::uint32_t j = 0;
            while (!(R[j] & accept)) ++j;
            best = Match{j, pos};
            if (j == 0) return best;  // nothing can do better
            // Only levels below j can still improve on it, and no level
            // feeds a lower one: go on with those alone.
            ForgivingState below;
            for (std::uint32_t i = 0; i < j; ++i) below.R[i] = R[i], below.A[i] = A[i];
            below.Bprev = Bprev;
            return forgiving_below(j - 1, scan, pos, below, best);
        }
    }
    return best;
}

std::optional<Match> forgiving_below(std::uint32_t top, const Forgiving& scan, std::size_t pos,
                                     const ForgivingState& state, std::optional<Match> best) noexcept {
    switch (top) {
        case 0: return scan_forgiving<0>(scan, pos, state, best);
        case 1: return scan_forgiving<1>(scan, pos, state, best);
        case 2: return scan_forgiving<2>(scan, pos, state, best);
        default: return scan_forgiving<3>(scan, pos, state, best);
    }
}

}  // namespace

std::optional<Match> best_match_forgiving(const Pattern& pattern, std::uint32_t k,
                                          std::string_view text) noexcept {
    const std::size_t m = pattern.len;
    if (m == 0 || text.empty()) return std::nullopt;
    const Forgiving scan{pattern, text, m >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << m) - 1,
                         std::uint32_t{1} << (m - 1)};
    ForgivingState start;
    for (std::uint32_t j = 0; j <= MAX_ERRORS; ++j) start.R[j] = start.A[j] = quiet(j) & scan.state_mask;
    return forgiving_below(std::min(k, MAX_ERRORS), scan, 0, start, std::nullopt);
}

// The pattern and the text read backwards from the end, the stretch anchored
// there: after L bytes, bit i of S[j] says that the last i + 1 pattern bytes
// are at most j edits from the last L text bytes. Before any byte, S[j] has
// the bits of the j deletions 0..j-1; the empty pattern part is L edits from
// L bytes, so the start terms hold only while L is small enough.
std::size_t forgiving_start(const Pattern& pattern, std::uint32_t errors,
                            std::string_view before_end) noexcept {
    const std::size_t m = pattern.len, end = before_end.size();
    const std::uint32_t k = std::min(errors, MAX_ERRORS);
    const std::uint32_t last = std::uint32_t{1} << (m - 1);
    // Bit i of a mask: the i-th pattern byte from the end equals the text
    // byte, the pattern's own mask reversed.
    const auto mask_of = [&](std::uint8_t byte) {
        std::uint32_t x = pattern.masks[byte];
        x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
        x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
        x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
        x = ((x >> 8) & 0x00FF00FFu) | ((x & 0x00FF00FFu) << 8);
        x = (x >> 16) | (x << 16);
        return x >> (32 - m);
    };
    if (m <= k) return end;  // the empty stretch: every pattern byte deleted
    std::uint32_t S[MAX_ERRORS + 1], A[MAX_ERRORS + 1], before[MAX_ERRORS + 1];
    for (std::uint32_t j = 0; j <= k; ++j) A[j] = S[j] = (std::uint32_t{1} << j) - 1;
    std::uint32_t Bprev = 0;
    for (std::size_t L = 1; L <= end && L <= m + k; ++L) {
        const std::uint32_t B = mask_of(static_cast<std::uint8_t>(before_end[end - L]));
        // The empty pattern part is L - 1, L and L - 2 edits from what the
        // exact step, the deletion and the swap start from.
        const auto start = [&](std::size_t edits, std::uint32_t j) { return std::uint32_t{edits <= j}; };
        for (std::uint32_t j = 0; j <= k; ++j) before[j] = S[j];
        S[0] = ((before[0] << 1) | start(L - 1, 0)) & B;
        for (std::uint32_t j = 1; j <= k; ++j) {
            const std::uint32_t swap =
                L >= 2 ? ((A[j - 1] << 2) | (start(L - 2, j - 1) << 1)) & Bprev & (B << 1) : 0;
            S[j] = (((before[j] << 1) | start(L - 1, j)) & B) | (before[j - 1] << 1) | start(L - 1, j - 1) |
                   (S[j - 1] << 1) | start(L, j - 1) | before[j - 1] | swap;
        }
        for (std::uint32_t j = 0; j <= k; ++j) A[j] = before[j];
        Bprev = B;
        if (S[k] & last) return end - L;
    }
    return end >= m ? end - m : 0;  // never: the match's own stretch is at that distance
}

Pattern compile(std::string_view query) noexcept {
    Pattern pattern;
    pattern.len = std::min(query.size(), MAX_PATTERN_BYTES);
    for (std::size_t i = 0; i < pattern.len; ++i) {
        const std::uint8_t x = fold(static_cast<std::uint8_t>(query[i]));
        pattern.bytes[i] = x;
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

std::optional<Match> best_match(const Pattern& pattern, std::uint32_t k, std::string_view text) noexcept {
    const std::size_t m = pattern.len;
    if (m == 0 || text.empty()) return std::nullopt;
    const auto* const begin = reinterpret_cast<const std::uint8_t*>(text.data());
    const Scan scan{pattern,
                    begin,
                    begin + text.size(),
                    m >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << m) - 1,
                    std::uint32_t{1} << (m - 1),
                    {pattern.first, pattern.first_upper}};
    return scan_below(std::min(k, MAX_ERRORS), scan, begin, State{}, std::nullopt);
}

}  // namespace murvex
