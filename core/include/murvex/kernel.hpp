// The forms of the search kernel, for choosing one by hand (tests, the
// benchmark, the companion module); a search normally takes the widest.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace murvex {

// Which matcher a search runs. The lane kernel matches the texts of a lane
// block side by side in one of its forms: avx512 (64 lanes a step), avx2
// (32), ssse3 (16) or neon (16, on aarch64); one_by_one runs the matcher on
// one text after the other. automatic takes the widest form the CPU runs.
// Results are the same whichever runs.
enum class Kernel : std::uint8_t { automatic, avx512, avx2, ssse3, neon, one_by_one };

// Whether this build and CPU run the form (automatic and one_by_one always).
bool kernel_available(Kernel kernel) noexcept;

// The form `automatic` stands for on this CPU.
Kernel widest_kernel() noexcept;

// Every form this build and CPU run, widest first, one_by_one last.
std::vector<Kernel> available_kernels();

// "avx2" for Kernel::avx2 and so on; "automatic"; "unknown" for a form this
// build does not hold.
const char* kernel_name(Kernel kernel) noexcept;

// The form of that name that this build holds, or automatic for "automatic".
std::optional<Kernel> kernel_named(std::string_view name) noexcept;

}  // namespace murvex
