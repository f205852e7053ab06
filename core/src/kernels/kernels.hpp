// The block scanners: the matcher run over the lanes of a lane block, in
// every form, behind one table. Internal to the search.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "../eight_lanes.hpp"
#include "murvex/bitap.hpp"
#include "murvex/kernel.hpp"
#include "murvex/lane_slots.hpp"

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

// A query compiled for every scanner: the matcher's pattern and the lanes',
// and the mode it is matched in.
struct CompiledQuery {
    Pattern pattern;
    LanePattern lanes;
    bool forgiving = false;
};

CompiledQuery compile_query(std::string_view query, bool forgiving = false) noexcept;

// The longest text among the lanes in `lanes` (bit l for lane l).
inline std::size_t longest_lane(const LaneBlock& block, std::uint64_t lanes) noexcept {
    std::size_t longest = 0;
    for (; lanes; lanes &= lanes - 1)
        longest = std::max<std::size_t>(longest, block.lengths[std::countr_zero(lanes)] & ~LaneBlock::WINDOW);
    return longest;
}

// Scans the lanes in `active` (bit l for lane l) over their first `rows`
// bytes with error budget k (at most MAX_ERRORS). Only lanes in `active` get
// a result, and only lanes in `found` hold one; a match counts only where it
// ends within its lane's length.
using ScanBlock = void (*)(const CompiledQuery& query, std::uint32_t k, const LaneBlock& block,
                           std::uint64_t active, std::size_t rows, LaneMatches& matches) noexcept;

// The most lanes with which a scan still looks for rows where every one is
// idle, to jump over them. A query with more is worth packing.
inline constexpr int SPARSE_LANES = 8;

// One query of several scanned over a block in one pass: as ScanBlock's
// arguments, each lane over its own length.
struct PackMember {
    const CompiledQuery* query;
    std::uint32_t k;
    std::uint64_t active;
    LaneMatches* matches;
};

// The most queries a form's pass takes.
inline constexpr std::size_t MAX_PACK = 4;

// Scans the members (at most the form's `pack`, all of one mode) over the
// block, each as ScanBlock would.
using ScanPack = void (*)(std::span<const PackMember> members, const LaneBlock& block) noexcept;

// Each member on its own with `scan`: the pass of a form that runs one query at a time.
inline void scan_each(ScanBlock scan, std::span<const PackMember> members, const LaneBlock& block) noexcept {
    for (const PackMember& member : members)
        scan(*member.query, member.k, block, member.active, block.rows, *member.matches);
}

// One row of the table of forms: an instruction set, and what the core
// runs in it.
struct KernelForm {
    Kernel kernel;
    const char* name;
    bool (*available)() noexcept;  // whether this CPU runs it
    ScanBlock scan;
    ScanPack scan_pack;
    std::size_t pack;  // how many queries scan_pack takes
    // The eight-lane writer (eight_lanes.hpp) in this set, or null where it
    // has none of its own: a narrower form's is used.
    EightLanesWriter write_eight;
};

// Every form this build holds, widest first, the one-by-one matcher last.
std::span<const KernelForm> kernel_forms() noexcept;

// The form a search with `kernel` runs: that one when the CPU runs it, else
// the widest that it does.
const KernelForm& kernel_form(Kernel kernel) noexcept;

}  // namespace murvex::detail
