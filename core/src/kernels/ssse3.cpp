// The lane kernel with SSSE3: 16 lanes to a vector, run as pairs in the strict mode.
#include "../platform.hpp"
#include "kernels.hpp"

#if defined(MURVEX_X86)
#include <immintrin.h>

#include <bit>
#include <type_traits>

#include "target.hpp"
#include "x86_features.hpp"

namespace murvex::detail::ssse3 {

bool available() noexcept { return x86_features().ssse3; }

MURVEX_TARGET_BEGIN("ssse3")

struct Half {
    using Vec = __m128i;
    using Mask = std::uint16_t;
    static constexpr std::size_t LANES = 16;
    static Vec zero() { return _mm_setzero_si128(); }
    static Vec set1(std::uint8_t b) { return _mm_set1_epi8(static_cast<char>(b)); }
    static Vec load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(std::uint8_t* p, Vec v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static Vec and_(Vec a, Vec b) { return _mm_and_si128(a, b); }
    static Vec or_(Vec a, Vec b) { return _mm_or_si128(a, b); }
    static Vec add(Vec a, Vec b) { return _mm_add_epi8(a, b); }
    static Vec min(Vec a, Vec b) { return _mm_min_epu8(a, b); }
    static Vec eq(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
    static Vec lo_nibble(Vec x) { return _mm_and_si128(x, set1(0x0F)); }
    static Vec hi_nibble(Vec x) { return _mm_and_si128(_mm_srli_epi16(x, 4), set1(0x0F)); }
    static Vec top_bit(Vec v) { return _mm_and_si128(_mm_srli_epi16(v, 7), set1(1)); }
    static Vec shuffle(Vec table, Vec index) { return _mm_shuffle_epi8(table, index); }
    static Mask mask_of(Vec v) { return static_cast<Mask>(_mm_movemask_epi8(v)); }
    static bool any(Vec a, Vec b) {
        return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(a, b), zero())) != 0xFFFF;
    }
    // 0xFF in the lanes of `mask`, 0 elsewhere.
    static Vec bytes_of(Mask mask) {
        const __m128i spread = _mm_shuffle_epi8(
            _mm_cvtsi32_si128(mask), _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
        const __m128i bit = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
        return _mm_cmpeq_epi8(_mm_and_si128(spread, bit), bit);
    }
};

#ifndef MURVEX_PREFETCH_ROWS
constexpr std::size_t PREFETCH = 64;
#else
constexpr std::size_t PREFETCH = MURVEX_PREFETCH_ROWS;
#endif

#include "pair.inc"

// The strict mode runs two vectors side by side. The forgiving mode keeps
// twice the state per level (the words before the previous byte too), which
// as a pair no longer fits the 16 registers: it runs one vector at a time,
// which `murvex_kernel_bench modes` finds faster for it (and slower for the
// strict mode).
namespace paired {
struct V : Pair<Half> {
    static constexpr int PACK = 1;  // a pair of one plane each already fills the registers
    static constexpr std::size_t PREFETCH_ROWS = PREFETCH;
};
#include "body.inc"
}  // namespace paired

namespace single {
struct V : Half {
    static constexpr int PACK = 1;
    static constexpr std::size_t PREFETCH_ROWS = PREFETCH;
};
#include "body.inc"
}  // namespace single

void scan_block(const CompiledQuery& query, std::uint32_t k, const LaneBlock& block, std::uint64_t active,
                std::size_t rows, LaneMatches& matches) noexcept {
    if (query.forgiving)
        single::scan_block(query, k, block, active, rows, matches);
    else
        paired::scan_block(query, k, block, active, rows, matches);
}

void scan_pack(std::span<const PackMember> members, const LaneBlock& block) noexcept {
    scan_each(scan_block, members, block);
}

MURVEX_TARGET_END

}  // namespace murvex::detail::ssse3

#endif
