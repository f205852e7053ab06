// A region of code compiled for an instruction set beyond the build's
// baseline. Only functions defined inside it use that set, so a form's file
// can be linked into a program that runs on any CPU: they are called only
// after the CPU has been asked. Include every header before the region, so
// that nothing inline from them is compiled for the wider set.
#pragma once

#define MURVEX_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define MURVEX_TARGET_BEGIN(isa) \
    MURVEX_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define MURVEX_TARGET_END MURVEX_PRAGMA(clang attribute pop)
#elif defined(__GNUC__)
#define MURVEX_TARGET_BEGIN(isa) MURVEX_PRAGMA(GCC push_options) MURVEX_PRAGMA(GCC target(isa))
#define MURVEX_TARGET_END MURVEX_PRAGMA(GCC pop_options)
#else
#error "a compiler with per-function targets is needed (GCC or clang)"
#endif
