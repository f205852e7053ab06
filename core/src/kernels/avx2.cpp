// The lane kernel with AVX2: 32 lanes to a vector. Unlike the 16-lane forms
// it does not run as pairs: two of its vectors per level leave too few
// registers. And the eight-lane writer's masks, four texts to a vector.
#include "../platform.hpp"
#include "kernels.hpp"

#if defined(MURVEX_X86)
#include <immintrin.h>

#include <algorithm>
#include <bit>

#include "../eight_lanes_impl.hpp"
#include "target.hpp"
#include "x86_features.hpp"

namespace murvex::detail::avx2 {

bool available() noexcept { return x86_features().avx2; }

MURVEX_TARGET_BEGIN("avx2")

struct V {
    using Vec = __m256i;
    using Mask = std::uint32_t;
    static constexpr std::size_t LANES = 32;
    static constexpr int PACK = 2;
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

// Four texts to a vector, a 64-bit lane each: a byte's bit is one shifted
// by the folded byte's low six bits, a variable shift per lane.
struct Masks {
    __m256i found[2];

    // Written out: a constructor the compiler writes is not compiled for AVX2.
    Masks() noexcept : found{_mm256_setzero_si256(), _mm256_setzero_si256()} {}

    // The four words from words[first] on, 'A'..'Z' folded to 'a'..'z'.
    static __m256i folded(const std::uint64_t* words, int first) noexcept {
        const __m256i w = _mm256_set_epi64x(
            static_cast<long long>(words[first + 3]), static_cast<long long>(words[first + 2]),
            static_cast<long long>(words[first + 1]), static_cast<long long>(words[first]));
        const __m256i upper = _mm256_and_si256(_mm256_cmpgt_epi8(w, _mm256_set1_epi8('A' - 1)),
                                               _mm256_cmpgt_epi8(_mm256_set1_epi8('Z' + 1), w));
        return _mm256_or_si256(w, _mm256_and_si256(upper, _mm256_set1_epi8(0x20)));
    }
    // The bits of each lane's eight bytes: one shifted by each byte's low
    // six bits. A shift of 64 or more gives no bit: where a lane's `left`
    // (bytes before its text's end) is 0 or less, ENDING makes it so.
    template <bool ENDING>
    static __m256i bits(__m256i w, __m256i left) noexcept {
        const __m256i one = _mm256_set1_epi64x(1), six_bits = _mm256_set1_epi64x(63);
        __m256i all = _mm256_setzero_si256();
        for (int k = 0; k < 8; ++k, w = _mm256_srli_epi64(w, 8)) {
            __m256i shift = _mm256_and_si256(w, six_bits);
            if constexpr (ENDING) {
                const __m256i within = _mm256_cmpgt_epi64(left, _mm256_setzero_si256());
                shift = _mm256_or_si256(shift, _mm256_andnot_si256(within, _mm256_set1_epi64x(64)));
                left = _mm256_sub_epi64(left, one);
            }
            all = _mm256_or_si256(all, _mm256_sllv_epi64(one, shift));
        }
        return all;
    }

    void add(const std::uint64_t* words) noexcept {
        found[0] = _mm256_or_si256(found[0], bits<false>(folded(words, 0), _mm256_setzero_si256()));
        found[1] = _mm256_or_si256(found[1], bits<false>(folded(words, 4), _mm256_setzero_si256()));
    }
    void add_ending(const std::uint64_t* words, const std::string_view* texts, std::size_t p) noexcept {
        const auto left = [texts, p](int j) {
            return static_cast<long long>(texts[j].size()) - static_cast<long long>(p);
        };
        found[0] = _mm256_or_si256(
            found[0], bits<true>(folded(words, 0), _mm256_set_epi64x(left(3), left(2), left(1), left(0))));
        found[1] = _mm256_or_si256(
            found[1], bits<true>(folded(words, 4), _mm256_set_epi64x(left(7), left(6), left(5), left(4))));
    }
    void store(std::uint64_t* masks) const noexcept {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(masks), found[0]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(masks + 4), found[1]);
    }
};

#include "../eight_lanes_body.inc"

MURVEX_TARGET_END

}  // namespace murvex::detail::avx2

#endif
