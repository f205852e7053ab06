// The eight-lane writer's form that every CPU runs: the masks by a table
// lookup per byte. Wider forms live with their instruction set's kernel
// (kernels/avx2.cpp) and come through the table of forms.
#include "eight_lanes.hpp"

#include <algorithm>

#include "eight_lanes_impl.hpp"
#include "murvex/fold.hpp"

namespace murvex::detail {

namespace portable {
namespace {

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

}  // namespace

#include "eight_lanes_body.inc"

}  // namespace portable

}  // namespace murvex::detail
