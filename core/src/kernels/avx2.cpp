// The lane kernel with AVX2: 32 lanes to a vector. Unlike the 16-lane forms
// it does not run as pairs: two of its vectors per level leave too few
// registers.
#include "kernels.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <bit>

#include "target.hpp"

namespace murvex::detail::avx2 {

bool available() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

MURVEX_TARGET_BEGIN("avx2")

struct V {
    using Vec = __m256i;
    using Mask = std::uint32_t;
    static constexpr std::size_t LANES = 32;
#ifndef MURVEX_PREFETCH_ROWS
    static constexpr std::size_t PREFETCH_ROWS = 64;
#else
    static constexpr std::size_t PREFETCH_ROWS = MURVEX_PREFETCH_ROWS;
#endif
    static Vec zero() { return _mm256_setzero_si256(); }
    static Vec set1(std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
    static Vec load(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(std::uint8_t* p, Vec v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static Vec and_(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    static Vec or_(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    static Vec add(Vec a, Vec b) { return _mm256_add_epi8(a, b); }
    static Vec min(Vec a, Vec b) { return _mm256_min_epu8(a, b); }
    static Vec eq(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
    static Vec lo_nibble(Vec x) { return _mm256_and_si256(x, set1(0x0F)); }
    static Vec hi_nibble(Vec x) { return _mm256_and_si256(_mm256_srli_epi16(x, 4), set1(0x0F)); }
    static Vec top_bit(Vec v) { return _mm256_and_si256(_mm256_srli_epi16(v, 7), set1(1)); }
    static Vec shuffle(Vec table, Vec index) { return _mm256_shuffle_epi8(table, index); }
    static Mask mask_of(Vec v) { return static_cast<Mask>(_mm256_movemask_epi8(v)); }
    static bool any(Vec a, Vec b) { return !_mm256_testz_si256(a, b); }
    static Vec bytes_of(Mask mask) {
        const __m256i spread = _mm256_shuffle_epi8(
            _mm256_set1_epi32(static_cast<int>(mask)),
            _mm256_setr_epi64x(0, 0x0101010101010101, 0x0202020202020202, 0x0303030303030303));
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
    }
};

#include "body.inc"

MURVEX_TARGET_END

}  // namespace murvex::detail::avx2

#endif
