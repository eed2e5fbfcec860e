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

#endif
