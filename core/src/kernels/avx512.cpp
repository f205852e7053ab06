// The lane kernel with AVX-512 (F and BW): 64 lanes to a vector, a whole
// block in one.
#include "../platform.hpp"
#include "kernels.hpp"

#if defined(MURVEX_X86)
#include <immintrin.h>

#include <bit>

#include "target.hpp"
#include "x86_features.hpp"

namespace murvex::detail::avx512 {

bool available() noexcept { return x86_features().avx512bw; }

MURVEX_TARGET_BEGIN("avx2,avx512f,avx512bw")

struct V {
    using Vec = __m512i;
    using Mask = std::uint64_t;
    static constexpr std::size_t LANES = 64;
    static constexpr int PACK = 4;
#ifndef MURVEX_PREFETCH_ROWS
    static constexpr std::size_t PREFETCH_ROWS = 64;
#else
    static constexpr std::size_t PREFETCH_ROWS = MURVEX_PREFETCH_ROWS;
#endif
    static Vec zero() { return _mm512_setzero_si512(); }
    static Vec set1(std::uint8_t b) { return _mm512_set1_epi8(static_cast<char>(b)); }
    static Vec load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    static void store(std::uint8_t* p, Vec v) { _mm512_storeu_si512(p, v); }
    static Vec and_(Vec a, Vec b) { return _mm512_and_si512(a, b); }
    static Vec or_(Vec a, Vec b) { return _mm512_or_si512(a, b); }
    static Vec add(Vec a, Vec b) { return _mm512_add_epi8(a, b); }
    static Vec min(Vec a, Vec b) { return _mm512_min_epu8(a, b); }
    static Vec eq(Vec a, Vec b) { return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b)); }
    static Vec lo_nibble(Vec x) { return _mm512_and_si512(x, set1(0x0F)); }
    static Vec hi_nibble(Vec x) { return _mm512_and_si512(_mm512_srli_epi16(x, 4), set1(0x0F)); }
    static Vec top_bit(Vec v) { return _mm512_and_si512(_mm512_srli_epi16(v, 7), set1(1)); }
    static Vec shuffle(Vec table, Vec index) { return _mm512_shuffle_epi8(table, index); }
    static Mask mask_of(Vec v) { return _mm512_movepi8_mask(v); }
    static bool any(Vec a, Vec b) { return _mm512_test_epi8_mask(a, b) != 0; }
    static Vec bytes_of(Mask mask) { return _mm512_movm_epi8(mask); }
};

#include "body.inc"

MURVEX_TARGET_END

}  // namespace murvex::detail::avx512

#endif
