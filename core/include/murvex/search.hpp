// The search: scoring, threshold and ranking over a record store.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "murvex/store.hpp"

namespace murvex {

// Largest accepted max_results.
inline constexpr std::uint64_t MAX_RESULTS_LIMIT = 100;

// The three settings of an engine, held in the forms the search uses. The
// core trusts them: the bindings validate before storing.
struct Settings {
    std::uint16_t threshold = 250;   // minimum score in thousandths, 0..1000, inclusive
    std::uint32_t max_errors = 2;    // 0..3
    std::uint64_t max_results = 50;  // 0..MAX_RESULTS_LIMIT
};

// One result, as the caller sees it.
struct ResultEntry {
    std::uint32_t id;
    float score;          // thousandths / 1000, in single precision
    std::uint32_t start;  // byte position: end - m, or 0 where that would be negative
    std::uint32_t end;    // byte position one past the match
};

// The whole state of one engine.
struct Engine {
    RecordStore records;
    Settings settings;
};

// Score in thousandths of a match with `errors` errors ending at `end`, for a
// pattern of m bytes: 1000 - 250 per error, plus 50 when the match ends
// within the first m bytes or 25 within the first m + 9, capped at 1000.
constexpr std::uint16_t score_milli(std::uint32_t errors, std::size_t end, std::size_t m) noexcept {
    const int base = 1000 - 250 * static_cast<int>(errors);
    const int bonus = end <= m ? 50 : end < m + 10 ? 25 : 0;
    return static_cast<std::uint16_t>(std::min(1000, base + bonus));
}

// Which matcher a search runs. The lane kernel matches the texts of a lane
// block side by side in one of its forms: avx512 (64 lanes a step), avx2
// (32), ssse3 (16) or neon (16, on aarch64); one_by_one runs the matcher on
// one text after the other. automatic takes the widest form the CPU runs.
// Results are the same whichever runs.
enum class Kernel : std::uint8_t { automatic, avx512, avx2, ssse3, neon, one_by_one };

// Whether this CPU runs the form (automatic and one_by_one always).
bool kernel_available(Kernel kernel) noexcept;

// The form `automatic` stands for on this CPU.
Kernel widest_kernel() noexcept;

// Every record matching the first 32 bytes of `query` with a score of at
// least settings.threshold, best first, ties in store order, at most
// settings.max_results of them. Empty for an empty query or store. A form of
// the kernel that the CPU does not run is replaced by the widest one it does.
// Throws std::bad_alloc when memory runs out; the engine is only read.
std::vector<ResultEntry> search(const Engine& engine, std::string_view query,
                                Kernel kernel = Kernel::automatic);

}  // namespace murvex
