// The lane kernel: the matcher run over the LANES texts of a lane block at
// once, one byte of every text per step. Internal to the search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "murvex/bitap.hpp"
#include "murvex/store.hpp"

namespace murvex::detail {

// The best match of each lane; errors > k means none. `end` counts bytes of
// the lane's own text (for a window, from the window's first byte).
struct LaneMatches {
    std::uint64_t found;  // the lanes with a match
    std::array<std::uint8_t, LANES> errors;
    std::array<std::uint32_t, LANES> end;
};

// The pattern as the lane kernel reads it. The state of each lane is split
// into byte planes (bits 0-7 of the 32-bit word in plane 0, and so on), and
// the mask of a text byte x is looked up per plane from its two nibbles:
// bit i is set in lo[x & 15] & hi[x >> 4] exactly when x is pattern byte i
// in either case, because every pattern position has one low nibble and at
// most two high ones (a letter's capital differs from it in the high nibble).
struct LanePattern {
    int planes = 0;           // 1 to 4
    std::uint8_t accept = 0;  // the accepting bit within the last plane
    std::uint8_t first = 0, first_upper = 0;
    // 16 entries, repeated for every 128-bit part of a vector.
    alignas(64) std::array<std::array<std::uint8_t, 64>, 4> lo{};
    alignas(64) std::array<std::array<std::uint8_t, 64>, 4> hi{};
};

LanePattern lane_pattern(const Pattern& pattern) noexcept;

// The forms of the lane kernel; none is the one-record-at-a-time matcher.
enum class LaneIsa : std::uint8_t { none, ssse3, avx2, avx512, neon };

// Whether this CPU runs the form, and the widest form it runs.
bool lane_isa_available(LaneIsa isa) noexcept;
LaneIsa widest_lane_isa() noexcept;

// Scans the lanes in `active` (bit l for lane l) over their first `rows`
// bytes with error budget k (at most MAX_ERRORS). Only lanes in `active` get
// a result, and only lanes in `found` hold one; a match counts only where it
// ends within its lane's length.
// `isa` must be available and not none.
void scan_lanes(LaneIsa isa, const LanePattern& pattern, std::uint32_t k, const LaneBlock& block,
                std::uint64_t active, std::size_t rows, LaneMatches& matches) noexcept;

}  // namespace murvex::detail
