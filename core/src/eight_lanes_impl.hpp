// What every form of the eight-lane writer shares: reading a text's words
// and writing eight rows down eight lanes. Included by each form's file
// before its instruction set's region; always inlined, so that in a wider
// form they are compiled for its set (a call from AVX2 code into code of the
// baseline's encoding of vector instructions stalls).
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform.hpp"

#if defined(MURVEX_X86)
#include <immintrin.h>
#endif

#include "eight_lanes.hpp"
#include "murvex/lane_slots.hpp"

namespace murvex::detail {

// Eight bytes of `text` from byte p on, zeros past its end. The last bytes
// of a text of 8 or more come from its last 8, shifted: no copy of a length
// known only here.
MURVEX_ALWAYS_INLINE std::uint64_t word_at(std::string_view text, std::size_t p) noexcept {
    std::uint64_t word = 0;
    if (p + 8 <= text.size()) {
        std::memcpy(&word, text.data() + p, 8);
    } else if (p < text.size() && text.size() >= 8) {
        std::memcpy(&word, text.data() + text.size() - 8, 8);
        word >>= 8 * (p + 8 - text.size());
    } else if (p < text.size()) {
        std::memcpy(&word, text.data() + p, text.size() - p);
    }
    return word;
}

// Eight texts' next eight bytes, word j text j's, written as eight rows of
// eight neighbouring lanes from `lane` on: one 8x8 byte transposition, so
// that a store writes eight bytes, not one.
MURVEX_ALWAYS_INLINE void write_rows(const std::uint64_t* words, std::uint8_t* lane) noexcept {
#if defined(MURVEX_X86_64)
    const auto load = [words](int j) { return _mm_cvtsi64_si128(static_cast<long long>(words[j])); };
    const __m128i pairs01 = _mm_unpacklo_epi8(load(0), load(1)),
                  pairs23 = _mm_unpacklo_epi8(load(2), load(3)),
                  pairs45 = _mm_unpacklo_epi8(load(4), load(5)),
                  pairs67 = _mm_unpacklo_epi8(load(6), load(7));
    const __m128i low03 = _mm_unpacklo_epi16(pairs01, pairs23), high03 = _mm_unpackhi_epi16(pairs01, pairs23),
                  low47 = _mm_unpacklo_epi16(pairs45, pairs67), high47 = _mm_unpackhi_epi16(pairs45, pairs67);
    const __m128i rows[4] = {_mm_unpacklo_epi32(low03, low47), _mm_unpackhi_epi32(low03, low47),
                             _mm_unpacklo_epi32(high03, high47), _mm_unpackhi_epi32(high03, high47)};
    for (std::size_t r = 0; r < 4; ++r) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(lane + 2 * r * LANES), rows[r]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(lane + (2 * r + 1) * LANES), _mm_srli_si128(rows[r], 8));
    }
#else
    std::uint64_t rows[8];
    transpose_bytes(words, rows);
    for (std::size_t r = 0; r < 8; ++r) std::memcpy(lane + r * LANES, &rows[r], 8);
#endif
}

}  // namespace murvex::detail
