#include "lanes.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MURVEX_X86_LANES 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define MURVEX_NEON_LANES 1
#endif

namespace murvex::detail {

LanePattern lane_pattern(const Pattern& pattern) noexcept {
    LanePattern lanes;
    const std::size_t m = pattern.len;
    lanes.planes = static_cast<int>((m + 7) / 8);
    lanes.accept = static_cast<std::uint8_t>(1u << ((m - 1) % 8));
    lanes.first = pattern.first;
    lanes.first_upper = pattern.first_upper;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint8_t x = pattern.bytes[i];  // folded: a small letter stands for its capital too
        const auto bit = static_cast<std::uint8_t>(1u << (i % 8));
        auto& lo = lanes.lo[i / 8];
        auto& hi = lanes.hi[i / 8];
        lo[x & 15] |= bit;
        hi[x >> 4] |= bit;
        if (x >= 'a' && x <= 'z') hi[(x - 0x20) >> 4] |= bit;
    }
    for (int plane = 0; plane < lanes.planes; ++plane)
        for (std::size_t copy = 16; copy < 64; copy += 16) {
            std::memcpy(lanes.lo[plane].data() + copy, lanes.lo[plane].data(), 16);
            std::memcpy(lanes.hi[plane].data() + copy, lanes.hi[plane].data(), 16);
        }
    return lanes;
}

// Each form is a struct V of vector operations on V::LANES one-byte lanes,
// and the kernel body compiled with it in a namespace of its own. The 16-lane
// forms run as pairs of their vectors, which gives the CPU two independent
// chains to overlap (SSSE3: 2.2 against 2.3 ms on the benchmark mix, on an
// AMD EPYC); AVX2 does not, as two of its vectors per level leave too few
// registers (2.7 against 1.1 ms).

#if MURVEX_X86_LANES

namespace ssse3 {
#define MURVEX_KERNEL_TARGET __attribute__((target("ssse3")))

struct Half {
    using Vec = __m128i;
    using Mask = std::uint16_t;
    static constexpr std::size_t LANES = 16;
    MURVEX_KERNEL_TARGET static Vec zero() { return _mm_setzero_si128(); }
    MURVEX_KERNEL_TARGET static Vec set1(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
    MURVEX_KERNEL_TARGET static Vec load(const std::uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    MURVEX_KERNEL_TARGET static void store(std::uint8_t* p, Vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    }
    MURVEX_KERNEL_TARGET static Vec and_(Vec a, Vec b) { return _mm_and_si128(a, b); }
    MURVEX_KERNEL_TARGET static Vec or_(Vec a, Vec b) { return _mm_or_si128(a, b); }
    MURVEX_KERNEL_TARGET static Vec add(Vec a, Vec b) { return _mm_add_epi8(a, b); }
    MURVEX_KERNEL_TARGET static Vec min(Vec a, Vec b) { return _mm_min_epu8(a, b); }
    MURVEX_KERNEL_TARGET static Vec eq(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
    MURVEX_KERNEL_TARGET static Vec lo_nibble(Vec x) { return _mm_and_si128(x, set1(0x0F)); }
    MURVEX_KERNEL_TARGET static Vec hi_nibble(Vec x) {
        return _mm_and_si128(_mm_srli_epi16(x, 4), set1(0x0F));
    }
    MURVEX_KERNEL_TARGET static Vec top_bit(Vec v) { return _mm_and_si128(_mm_srli_epi16(v, 7), set1(1)); }
    MURVEX_KERNEL_TARGET static Vec shuffle(Vec table, Vec index) { return _mm_shuffle_epi8(table, index); }
    MURVEX_KERNEL_TARGET static Mask mask_of(Vec v) { return static_cast<Mask>(_mm_movemask_epi8(v)); }
    MURVEX_KERNEL_TARGET static bool any(Vec a, Vec b) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(a, b), zero())) != 0xFFFF;
    }
    // 0xFF in the lanes of `mask`, 0 elsewhere.
    MURVEX_KERNEL_TARGET static Vec bytes_of(Mask mask) {
        const __m128i spread = _mm_shuffle_epi8(
            _mm_cvtsi32_si128(mask), _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
        const __m128i bit = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        return _mm_cmpeq_epi8(_mm_and_si128(spread, bit), bit);
    }
};

#include "lanes_pair.inc"
using V = Pair<Half>;

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace ssse3

namespace avx2 {
#define MURVEX_KERNEL_TARGET __attribute__((target("avx2")))

struct Half {
    using Vec = __m256i;
    using Mask = std::uint32_t;
    static constexpr std::size_t LANES = 32;
    MURVEX_KERNEL_TARGET static Vec zero() { return _mm256_setzero_si256(); }
    MURVEX_KERNEL_TARGET static Vec set1(std::uint8_t b) { return _mm256_set1_epi8(static_cast<char>(b)); }
    MURVEX_KERNEL_TARGET static Vec load(const std::uint8_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    MURVEX_KERNEL_TARGET static void store(std::uint8_t* p, Vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }
    MURVEX_KERNEL_TARGET static Vec and_(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    MURVEX_KERNEL_TARGET static Vec or_(Vec a, Vec b) { return _mm256_or_si256(a, b); }
    MURVEX_KERNEL_TARGET static Vec add(Vec a, Vec b) { return _mm256_add_epi8(a, b); }
    MURVEX_KERNEL_TARGET static Vec min(Vec a, Vec b) { return _mm256_min_epu8(a, b); }
    MURVEX_KERNEL_TARGET static Vec eq(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
    MURVEX_KERNEL_TARGET static Vec lo_nibble(Vec x) { return _mm256_and_si256(x, set1(0x0F)); }
    MURVEX_KERNEL_TARGET static Vec hi_nibble(Vec x) {
        return _mm256_and_si256(_mm256_srli_epi16(x, 4), set1(0x0F));
    }
    MURVEX_KERNEL_TARGET static Vec top_bit(Vec v) {
        return _mm256_and_si256(_mm256_srli_epi16(v, 7), set1(1));
    }
    MURVEX_KERNEL_TARGET static Vec shuffle(Vec table, Vec index) {
        return _mm256_shuffle_epi8(table, index);
    }
    MURVEX_KERNEL_TARGET static Mask mask_of(Vec v) { return static_cast<Mask>(_mm256_movemask_epi8(v)); }
    MURVEX_KERNEL_TARGET static bool any(Vec a, Vec b) { return !_mm256_testz_si256(a, b); }
    MURVEX_KERNEL_TARGET static Vec bytes_of(Mask mask) {
        const __m256i spread = _mm256_shuffle_epi8(
            _mm256_set1_epi32(static_cast<int>(mask)),
            _mm256_setr_epi64x(0, 0x0101010101010101, 0x0202020202020202, 0x0303030303030303));
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
    }
};

#include "lanes_pair.inc"
using V = Half;

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace avx2

namespace avx512 {
#define MURVEX_KERNEL_TARGET __attribute__((target("avx2,avx512f,avx512bw")))

struct V {
    using Vec = __m512i;
    using Mask = std::uint64_t;
    static constexpr std::size_t LANES = 64;
    MURVEX_KERNEL_TARGET static Vec zero() { return _mm512_setzero_si512(); }
    MURVEX_KERNEL_TARGET static Vec set1(std::uint8_t b) { return _mm512_set1_epi8(static_cast<char>(b)); }
    MURVEX_KERNEL_TARGET static Vec load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
    MURVEX_KERNEL_TARGET static void store(std::uint8_t* p, Vec v) { _mm512_storeu_si512(p, v); }
    MURVEX_KERNEL_TARGET static Vec and_(Vec a, Vec b) { return _mm512_and_si512(a, b); }
    MURVEX_KERNEL_TARGET static Vec or_(Vec a, Vec b) { return _mm512_or_si512(a, b); }
    MURVEX_KERNEL_TARGET static Vec add(Vec a, Vec b) { return _mm512_add_epi8(a, b); }
    MURVEX_KERNEL_TARGET static Vec min(Vec a, Vec b) { return _mm512_min_epu8(a, b); }
    MURVEX_KERNEL_TARGET static Vec eq(Vec a, Vec b) {
        return _mm512_movm_epi8(_mm512_cmpeq_epi8_mask(a, b));
    }
    MURVEX_KERNEL_TARGET static Vec lo_nibble(Vec x) { return _mm512_and_si512(x, set1(0x0F)); }
    MURVEX_KERNEL_TARGET static Vec hi_nibble(Vec x) {
        return _mm512_and_si512(_mm512_srli_epi16(x, 4), set1(0x0F));
    }
    MURVEX_KERNEL_TARGET static Vec top_bit(Vec v) {
        return _mm512_and_si512(_mm512_srli_epi16(v, 7), set1(1));
    }
    MURVEX_KERNEL_TARGET static Vec shuffle(Vec table, Vec index) {
        return _mm512_shuffle_epi8(table, index);
    }
    MURVEX_KERNEL_TARGET static Mask mask_of(Vec v) { return _mm512_movepi8_mask(v); }
    MURVEX_KERNEL_TARGET static bool any(Vec a, Vec b) { return _mm512_test_epi8_mask(a, b) != 0; }
    MURVEX_KERNEL_TARGET static Vec bytes_of(Mask mask) { return _mm512_movm_epi8(mask); }
};

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace avx512

#endif  // MURVEX_X86_LANES

#if MURVEX_NEON_LANES

namespace neon {
#define MURVEX_KERNEL_TARGET

struct Half {
    using Vec = uint8x16_t;
    using Mask = std::uint16_t;
    static constexpr std::size_t LANES = 16;
    static Vec zero() { return vdupq_n_u8(0); }
    static Vec set1(std::uint8_t b) { return vdupq_n_u8(b); }
    static Vec load(const std::uint8_t* p) { return vld1q_u8(p); }
    static void store(std::uint8_t* p, Vec v) { vst1q_u8(p, v); }
    static Vec and_(Vec a, Vec b) { return vandq_u8(a, b); }
    static Vec or_(Vec a, Vec b) { return vorrq_u8(a, b); }
    static Vec add(Vec a, Vec b) { return vaddq_u8(a, b); }
    static Vec min(Vec a, Vec b) { return vminq_u8(a, b); }
    static Vec eq(Vec a, Vec b) { return vceqq_u8(a, b); }
    static Vec lo_nibble(Vec x) { return vandq_u8(x, vdupq_n_u8(0x0F)); }
    static Vec hi_nibble(Vec x) { return vshrq_n_u8(x, 4); }
    static Vec top_bit(Vec v) { return vshrq_n_u8(v, 7); }
    static Vec shuffle(Vec table, Vec index) { return vqtbl1q_u8(table, index); }
    static Vec lane_bits() {
        static constexpr std::uint8_t bits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
        return vld1q_u8(bits);
    }
    static Mask mask_of(Vec v) {
        const uint8x16_t bits = vandq_u8(v, lane_bits());
        return static_cast<Mask>(vaddv_u8(vget_low_u8(bits)) | (vaddv_u8(vget_high_u8(bits)) << 8));
    }
    static bool any(Vec a, Vec b) { return vmaxvq_u8(vandq_u8(a, b)) != 0; }
    static Vec bytes_of(Mask mask) {
        const uint8x16_t spread = vcombine_u8(vdup_n_u8(static_cast<std::uint8_t>(mask)),
                                              vdup_n_u8(static_cast<std::uint8_t>(mask >> 8)));
        return vtstq_u8(spread, lane_bits());
    }
};

#include "lanes_pair.inc"
using V = Pair<Half>;

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace neon

#endif  // MURVEX_NEON_LANES

bool lane_isa_available(LaneIsa isa) noexcept {
#if MURVEX_X86_LANES
    static const bool ready = (__builtin_cpu_init(), true);
    (void)ready;
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f");
    switch (isa) {
        case LaneIsa::ssse3: return ssse3;
        case LaneIsa::avx2: return avx2;
        case LaneIsa::avx512: return avx512;
        default: return isa == LaneIsa::none;
    }
#elif MURVEX_NEON_LANES
    return isa == LaneIsa::none || isa == LaneIsa::neon;
#else
    return isa == LaneIsa::none;
#endif
}

LaneIsa widest_lane_isa() noexcept {
    for (const LaneIsa isa : {LaneIsa::avx512, LaneIsa::avx2, LaneIsa::ssse3, LaneIsa::neon})
        if (lane_isa_available(isa)) return isa;
    return LaneIsa::none;
}

void scan_lanes(LaneIsa isa, const LanePattern& pattern, std::uint32_t k, const LaneBlock& block,
                std::uint64_t active, std::size_t rows, LaneMatches& matches) noexcept {
    matches.found = 0;
    switch (isa) {
#if MURVEX_X86_LANES
        case LaneIsa::avx512: return avx512::scan_block(pattern, k, block, active, rows, matches);
        case LaneIsa::avx2: return avx2::scan_block(pattern, k, block, active, rows, matches);
        case LaneIsa::ssse3: return ssse3::scan_block(pattern, k, block, active, rows, matches);
#endif
#if MURVEX_NEON_LANES
        case LaneIsa::neon: return neon::scan_block(pattern, k, block, active, rows, matches);
#endif
        default: return;
    }
}

}  // namespace murvex::detail
