// The lane kernel with NEON on aarch64: 16 lanes to a vector, run as pairs.
// NEON is part of the aarch64 baseline, so there is no target region.
#include "../platform.hpp"
#include "kernels.hpp"

#if defined(MURVEX_ARM64)
#include <arm_neon.h>

#include <bit>
#include <type_traits>

namespace murvex::detail::neon {

bool available() noexcept { return true; }

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

#include "pair.inc"
struct V : Pair<Half> {
    static constexpr int PACK = 2;
#ifndef MURVEX_PREFETCH_ROWS
    static constexpr std::size_t PREFETCH_ROWS = 64;
#else
    static constexpr std::size_t PREFETCH_ROWS = MURVEX_PREFETCH_ROWS;
#endif
};

#include "body.inc"

}  // namespace murvex::detail::neon

#endif
