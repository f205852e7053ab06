#include "lanes.hpp"

#include <bit>

#include "murvex/fold.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MURVEX_HAVE_LANE_KERNEL 1
#endif

namespace murvex::detail {

LanePattern lane_pattern(const Pattern& pattern) noexcept {
    LanePattern lanes;
    const std::size_t m = pattern.len;
    lanes.planes = static_cast<int>((m + 7) / 8);
    lanes.accept = static_cast<std::uint8_t>(1u << ((m - 1) % 8));
    lanes.first = pattern.first;
    lanes.first_upper = pattern.first_upper;
    // pattern.masks[x] has bit i for every raw byte x that folds to pattern
    // byte i; split each such bit by the nibbles of x.
    for (int x = 0; x < 256; ++x) {
        const std::uint32_t bits = pattern.masks[static_cast<std::size_t>(x)];
        for (int plane = 0; plane < lanes.planes; ++plane) {
            const auto byte = static_cast<std::uint8_t>(bits >> (8 * plane));
            for (int copy = 0; copy < 4; ++copy) {
                lanes.lo[plane][copy * 16 + (x & 15)] |= byte;
                lanes.hi[plane][copy * 16 + (x >> 4)] |= byte;
            }
        }
    }
    return lanes;
}

#if MURVEX_HAVE_LANE_KERNEL

namespace avx2 {
#define MURVEX_KERNEL_TARGET __attribute__((target("avx2")))

// Vector operations on 32 one-byte lanes.
struct V {
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
    MURVEX_KERNEL_TARGET static Vec srl4(Vec a) { return _mm256_srli_epi16(a, 4); }
    MURVEX_KERNEL_TARGET static Vec srl7(Vec a) { return _mm256_srli_epi16(a, 7); }
    MURVEX_KERNEL_TARGET static Vec shuffle(Vec table, Vec index) {
        return _mm256_shuffle_epi8(table, index);
    }
    MURVEX_KERNEL_TARGET static Mask eq(Vec a, Vec b) {
        return static_cast<Mask>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, b)));
    }
    MURVEX_KERNEL_TARGET static bool any(Vec a, Vec b) { return !_mm256_testz_si256(a, b); }
    // 0xFF in the lanes of `mask`, 0 elsewhere.
    MURVEX_KERNEL_TARGET static Vec bytes_of(Mask mask) {
        const __m256i spread = _mm256_shuffle_epi8(
            _mm256_set1_epi32(static_cast<int>(mask)),
            _mm256_setr_epi64x(0, 0x0101010101010101, 0x0202020202020202, 0x0303030303030303));
        const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
    }
};

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace avx2

namespace avx512 {
#define MURVEX_KERNEL_TARGET __attribute__((target("avx2,avx512f,avx512bw")))

// Vector operations on 64 one-byte lanes.
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
    MURVEX_KERNEL_TARGET static Vec srl4(Vec a) { return _mm512_srli_epi16(a, 4); }
    MURVEX_KERNEL_TARGET static Vec srl7(Vec a) { return _mm512_srli_epi16(a, 7); }
    MURVEX_KERNEL_TARGET static Vec shuffle(Vec table, Vec index) {
        return _mm512_shuffle_epi8(table, index);
    }
    MURVEX_KERNEL_TARGET static Mask eq(Vec a, Vec b) { return _mm512_cmpeq_epi8_mask(a, b); }
    MURVEX_KERNEL_TARGET static bool any(Vec a, Vec b) { return _mm512_test_epi8_mask(a, b) != 0; }
    MURVEX_KERNEL_TARGET static Vec bytes_of(Mask mask) { return _mm512_movm_epi8(mask); }
};

#include "lanes_kernel.inc"
#undef MURVEX_KERNEL_TARGET
}  // namespace avx512

LaneIsa lane_isa() noexcept {
    static const LaneIsa widest = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512bw")) return LaneIsa::avx512;
        if (__builtin_cpu_supports("avx2")) return LaneIsa::avx2;
        return LaneIsa::none;
    }();
    return widest;
}

void scan_lanes(LaneIsa isa, const LanePattern& pattern, std::uint32_t k, const LaneBlock& block,
                std::uint64_t active, std::size_t rows, LaneMatches& matches) noexcept {
    matches.errors.fill(static_cast<std::uint8_t>(k + 1));
    if (isa == LaneIsa::avx512)
        avx512::scan_block(pattern, k, block, active, rows, matches);
    else if (isa == LaneIsa::avx2)
        avx2::scan_block(pattern, k, block, active, rows, matches);
}

#else

LaneIsa lane_isa() noexcept { return LaneIsa::none; }

void scan_lanes(LaneIsa, const LanePattern&, std::uint32_t k, const LaneBlock&, std::uint64_t, std::size_t,
                LaneMatches& matches) noexcept {
    matches.errors.fill(static_cast<std::uint8_t>(k + 1));
}

#endif

}  // namespace murvex::detail
