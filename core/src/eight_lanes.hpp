// Eight records' texts written down eight neighbouring lanes at once, with
// their character masks: the bulk append's inner loop. Its forms are columns
// of the table of instruction sets (kernels/kernels.hpp): one for each set
// that finds the masks faster than a table can, and the portable one.
#pragma once

#include <cstdint>
#include <string_view>

namespace murvex::detail {

// Writes eight texts of at most LANE_TEXT_LIMIT bytes down eight neighbouring
// lanes, the first at `lane`: text j's byte p to lane[p * LANES + j]. Rows
// up to the longest text's length rounded up to LANE_ROW_STEP are written,
// the shorter texts' with zeros there. masks[j] becomes text j's character
// mask.
using EightLanesWriter = void (*)(const std::string_view* texts, std::uint8_t* lane,
                                  std::uint64_t* masks) noexcept;

// The widest form this CPU runs.
EightLanesWriter eight_lanes_writer() noexcept;

// The form every CPU runs.
namespace portable {
void write_eight(const std::string_view* texts, std::uint8_t* lane, std::uint64_t* masks) noexcept;
}

// Eight words as an 8x8 byte matrix, word j in row j, transposed: byte j of
// the result's word r is byte r of words[j].
inline void transpose_bytes(const std::uint64_t* words, std::uint64_t* rows) noexcept {
    for (int r = 0; r < 8; ++r) {
        rows[r] = 0;
        for (int j = 0; j < 8; ++j) rows[r] |= (words[j] >> (8 * r) & 0xFF) << (8 * j);
    }
}

}  // namespace murvex::detail
