// The search: scoring, threshold and ranking over a record store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "murvex/kernel.hpp"
#include "murvex/scoring.hpp"
#include "murvex/store.hpp"

namespace murvex {

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

// Every record matching the first 32 bytes of `query` with a score of at
// least settings.threshold, best first, ties in store order, at most
// settings.max_results of them (in the forgiving and words modes, ranked as
// words_scan.hpp says). Empty for an empty query or store. A form of
// the kernel that the CPU does not run is replaced by the widest one it does.
// Throws std::bad_alloc when memory runs out; the engine is only read.
std::vector<ResultEntry> search(const Engine& engine, std::string_view query,
                                Kernel kernel = Kernel::automatic);

}  // namespace murvex
