// The vectorised signal paths and their dispatch.
#ifndef AGC_PROCESS_FAST_H
#define AGC_PROCESS_FAST_H

#include <cstdint>

#include "agc/agc.h"
#include "agc/hop.h"
#include "agc/speech.h"

// The vector paths this build has. x86-64 chooses AVX-512 or AVX2 at run
// time; every aarch64 CPU has NEON (ASIMD); WebAssembly has SIMD128 when
// built with -msimd128 (a runtime without it refuses the whole module, so
// the choice is made by loading the build without it). Elsewhere only the
// plain path is built, and nothing of the dispatch.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define AGC_X86_PATHS 1
#endif
#if defined(__aarch64__) && defined(__ARM_NEON)
#define AGC_NEON_PATH 1
#endif
#if defined(__wasm_simd128__)
#define AGC_WASM_SIMD_PATH 1
#endif

namespace agc {

// Instruction sets the fast path is built for.
enum class simd_level { portable, neon, avx2, avx512, simd128 };
inline constexpr simd_level all_simd_levels[] = {simd_level::portable, simd_level::neon, simd_level::avx2,
                                                 simd_level::avx512, simd_level::simd128};

// The best level this build and this CPU run, chosen once, before main.
simd_level best_simd_level();
// Whether this build has `level`'s path and this CPU runs it.
bool simd_level_runs(simd_level level);
const char* simd_level_name(simd_level level);

// Bit-identical to process_reference for every input and state, at any level
// that runs here (a level that does not run falls back to the best one).
std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level);

// agc_process on the caller's own buffers (distinct, each of a hop), at the
// best level: lets a caller process hops where they lie in a larger block.
std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix);

// The hop in two halves (measure_reference and apply_reference), each
// bit-identical to the plain one, at `level` or at the best level. The
// measurement says whether its hop must be applied the plain way; with `ac`
// the output pass sums the hop's distances from the mean it measured.
hop_measure measure_fast(const std::int16_t* in, const agc_state& state, bool mean, simd_level level);
std::int32_t apply_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                        std::int16_t gain, bool ac, simd_level level);
std::int32_t distance_fast(const std::int16_t* in, const agc_state& state, std::int16_t mean, simd_level level);
hop_measure measure_hop(const std::int16_t* in, const agc_state& state, bool mean);
std::int32_t distance_hop(const std::int16_t* in, const agc_state& state, std::int16_t mean);
std::int32_t apply_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                       std::int16_t gain, bool ac);

// agc_process_speech on the caller's own buffers, bit-identical to
// process_speech_reference, at `level` or at the best level.
std::int16_t process_speech_at(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                               std::int16_t mix, simd_level level);
std::int16_t process_speech_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                 std::int16_t mix, simd_level level);
std::int16_t process_hop_speech(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                std::int16_t mix);

// The vector kernels, one per instruction set (simd_kernel.inc), each
// declaring the same entry points (kernel_api.inc).
#if AGC_X86_PATHS
namespace avx2 {
#include "agc/kernel_api.inc"
}
namespace avx512 {
#include "agc/kernel_api.inc"
}
#endif
#if AGC_NEON_PATH
namespace neon {
#include "agc/kernel_api.inc"
}
#endif
#if AGC_WASM_SIMD_PATH
namespace simd128 {
#include "agc/kernel_api.inc"
}
#endif

} // namespace agc

#endif
