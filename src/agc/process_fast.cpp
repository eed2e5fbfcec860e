// Dispatch of the signal path to the widest vector unit the CPU has. Only
// x86-64 asks the CPU, at start-up; aarch64 always has NEON, a WebAssembly
// module built for SIMD128 runs only where it is supported, and on every
// other target the plain path is all there is: no dispatch is compiled there.
#include "agc/process_fast.h"

#include "agc/hop.h"

namespace agc {

simd_level best_simd_level() {
#if AGC_X86_PATHS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
        return simd_level::avx512;
    }
    if (__builtin_cpu_supports("avx2")) return simd_level::avx2;
    return simd_level::portable;
#elif AGC_NEON_PATH
    return simd_level::neon;
#elif AGC_WASM_SIMD_PATH
    return simd_level::simd128;
#else
    return simd_level::portable;
#endif
}

const char* simd_level_name(simd_level level) {
    switch (level) {
    case simd_level::avx512: return "avx512";
    case simd_level::avx2: return "avx2";
    case simd_level::neon: return "neon";
    case simd_level::simd128: return "simd128";
    case simd_level::portable: break;
    }
    return "portable";
}

#if AGC_X86_PATHS

namespace {
// Chosen once, before main. A namespace-scope constant needs no guard variable,
// so the engine does not depend on the C++ runtime (C programs link it with
// cc). Code that runs before it is set (another static initialiser) sees the
// zero value, the plain path: slower, the same bytes.
const simd_level cpu_best = best_simd_level();
} // namespace

bool simd_level_runs(simd_level level) {
    switch (level) {
    case simd_level::portable: return true;
    case simd_level::avx2: return cpu_best == simd_level::avx2 || cpu_best == simd_level::avx512;
    case simd_level::avx512: return cpu_best == simd_level::avx512;
    case simd_level::neon: case simd_level::simd128: break;
    }
    return false;
}

std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level) {
    switch (simd_level_runs(level) ? level : cpu_best) {
    case simd_level::avx512: return avx512::process_vectors(in, out, state, mix);
    case simd_level::avx2: return avx2::process_vectors(in, out, state, mix);
    default: return process_reference(in, out, state, mix);
    }
}

std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
    return process_fast(in, out, state, mix, cpu_best);
}

#else // one fixed path, known at compile time

bool simd_level_runs(simd_level level) { return level == simd_level::portable || level == best_simd_level(); }

std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level) {
#if AGC_NEON_PATH
    if (level != simd_level::portable) return neon::process_vectors(in, out, state, mix);
#elif AGC_WASM_SIMD_PATH
    if (level != simd_level::portable) return simd128::process_vectors(in, out, state, mix);
#else
    (void)level;
#endif
    return process_reference(in, out, state, mix);
}

std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
#if AGC_NEON_PATH
    return neon::process_vectors(in, out, state, mix);
#elif AGC_WASM_SIMD_PATH
    return simd128::process_vectors(in, out, state, mix);
#else
    return process_reference(in, out, state, mix);
#endif
}

#endif

} // namespace agc
