#include "eight_lanes.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "kernels/target.hpp"
#include "murvex/fold.hpp"
#include "murvex/lane_slots.hpp"

namespace murvex::detail {

namespace {

// Eight bytes of `text` from byte p on, zeros past its end. The last bytes
// of a text of 8 or more come from its last 8, shifted: no copy of a length
// known only here.
[[gnu::always_inline]] inline std::uint64_t word_at(std::string_view text, std::size_t p) noexcept {
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
// that a store writes eight bytes, not one. Always inlined: called from
// AVX2 code, a call to it would mix the two encodings of vector
// instructions, which stalls.
[[gnu::always_inline]] inline void write_rows(const std::uint64_t* words, std::uint8_t* lane) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
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

// The masks by a table lookup per byte: the form every CPU runs.
namespace portable {

bool available() noexcept { return true; }

struct Masks {
    std::uint64_t found[8] = {};

    void add(const std::uint64_t* words) noexcept {
        for (int j = 0; j < 8; ++j)
            for (int shift = 0; shift < 64; shift += 8) found[j] |= CHAR_BITS[words[j] >> shift & 0xFF];
    }
    void add_ending(const std::uint64_t*, const std::string_view* texts, std::size_t p) noexcept {
        for (int j = 0; j < 8; ++j) found[j] |= char_mask(texts[j].substr(std::min(p, texts[j].size()), 8));
    }
    void store(std::uint64_t* masks) const noexcept { std::copy(std::begin(found), std::end(found), masks); }
};

#include "eight_lanes_body.inc"

}  // namespace portable

#if defined(__x86_64__) || defined(__i386__)
namespace avx2 {

bool available() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

MURVEX_TARGET_BEGIN("avx2")

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

#include "eight_lanes_body.inc"

MURVEX_TARGET_END

}  // namespace avx2
#endif

constexpr EightLanesForm FORMS[] = {
#if defined(__x86_64__) || defined(__i386__)
    {"avx2", avx2::available, avx2::write_eight},
#endif
    {"portable", portable::available, portable::write_eight},
};

}  // namespace

std::span<const EightLanesForm> eight_lanes_forms() noexcept { return FORMS; }

EightLanesWriter eight_lanes_writer() noexcept {
    static const EightLanesWriter widest = [] {
        for (const EightLanesForm& form : FORMS)
            if (form.available()) return form.write;
        return FORMS[std::size(FORMS) - 1].write;
    }();
    return widest;
}

}  // namespace murvex::detail
