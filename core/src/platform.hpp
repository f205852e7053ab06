// What the build targets and the few compiler words the core needs, named
// once: GCC and clang spell them one way, MSVC another (it has no
// __x86_64__, no __SSE2__ and no __builtin_prefetch). Internal to the core.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define MURVEX_X86_64 1
#endif
#if defined(MURVEX_X86_64) || defined(__i386__) || defined(_M_IX86)
#define MURVEX_X86 1
#endif
#if defined(__SSE2__) || defined(MURVEX_X86_64)
#define MURVEX_SSE2 1  // x86-64 always has it
#endif
#if defined(__aarch64__) || defined(_M_ARM64)
#define MURVEX_ARM64 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#define MURVEX_MSVC 1
#include <intrin.h>
#define MURVEX_ALWAYS_INLINE __forceinline
#else
#define MURVEX_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif

namespace murvex::detail {

// Asks for the cache line at `address` ahead of its use.
MURVEX_ALWAYS_INLINE void prefetch(const void* address) noexcept {
#if defined(MURVEX_MSVC)
#if defined(MURVEX_X86)
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#endif
#else
    __builtin_prefetch(address);
#endif
}

}  // namespace murvex::detail
