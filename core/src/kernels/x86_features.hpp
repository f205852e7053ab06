// What an x86-64 CPU and its operating system run, asked of the CPU itself:
// the compilers' own checks are missing from some runtimes (zig's for
// Windows answers no to everything). Internal to the kernels.
#pragma once

namespace murvex::detail {

struct X86Features {
    bool ssse3 = false;
    bool avx2 = false;      // with the AVX state saved by the system
    bool avx512bw = false;  // AVX-512 F and BW, with the ZMM and mask state saved by the system
};

const X86Features& x86_features() noexcept;

}  // namespace murvex::detail
