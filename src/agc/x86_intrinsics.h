// <immintrin.h> for the files that build x86 vector paths in target
// regions. GCC 12 reports its own AVX-512 intrinsics' deliberately
// undefined pass-through operands as uninitialized when they are inlined at
// -O3; the warnings are silenced for the header's own lines only.
#ifndef AGC_X86_INTRINSICS_H
#define AGC_X86_INTRINSICS_H

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

// Function attributes for a region of code, applied by pragma: the default
// build needs no -m flags and still has AVX2 or AVX-512 code to choose at
// run time where the CPU has them.
#define AGC_STR(x) #x
#if defined(__clang__)
#define AGC_TARGET_REGION(isa) _Pragma(AGC_STR(clang attribute push(__attribute__((target(isa))), apply_to = function)))
#define AGC_TARGET_REGION_END _Pragma("clang attribute pop")
#else
#define AGC_TARGET_REGION(isa) _Pragma("GCC push_options") _Pragma(AGC_STR(GCC target(isa)))
#define AGC_TARGET_REGION_END _Pragma("GCC pop_options")
#endif

#endif
