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

hop_measure measure_fast(const std::int16_t* in, const agc_state& state, bool mean, simd_level level) {
    switch (simd_level_runs(level) ? level : cpu_best) {
    case simd_level::avx512: return avx512::measure_vectors(in, state, mean);
    case simd_level::avx2: return avx2::measure_vectors(in, state, mean);
    default: return measure_reference(in, state, mean);
    }
}

std::int32_t apply_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                        std::int16_t gain, bool ac, simd_level level) {
    switch (m.plain ? simd_level::portable : simd_level_runs(level) ? level : cpu_best) {
    case simd_level::avx512: return avx512::apply_vectors(in, out, state, gain, ac, m.mean);
    case simd_level::avx2: return avx2::apply_vectors(in, out, state, gain, ac, m.mean);
    default: return apply_reference(in, out, state, gain, ac, m.mean);
    }
}

hop_measure measure_hop(const std::int16_t* in, const agc_state& state, bool mean) {
    return measure_fast(in, state, mean, cpu_best);
}

std::int32_t distance_fast(const std::int16_t* in, const agc_state& state, std::int16_t mean, simd_level level) {
    switch (simd_level_runs(level) ? level : cpu_best) {
    case simd_level::avx512: return avx512::distance_vectors(in, state, mean);
    case simd_level::avx2: return avx2::distance_vectors(in, state, mean);
    default: return distance_reference(in, state, mean);
    }
}

std::int32_t distance_hop(const std::int16_t* in, const agc_state& state, std::int16_t mean) {
    return distance_fast(in, state, mean, cpu_best);
}

std::int16_t process_speech_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                 std::int16_t mix, simd_level level) {
    return process_speech_at(in, out, state, speech, mix, simd_level_runs(level) ? level : cpu_best);
}

std::int16_t process_hop_speech(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                std::int16_t mix) {
    return process_speech_at(in, out, state, speech, mix, cpu_best);
}

std::int32_t apply_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                       std::int16_t gain, bool ac) {
    return apply_fast(in, out, state, m, gain, ac, cpu_best);
}

#else // one fixed path, known at compile time

#if AGC_NEON_PATH
#define AGC_FIXED_PATH 1
namespace fixed = neon;
#elif AGC_WASM_SIMD_PATH
#define AGC_FIXED_PATH 1
namespace fixed = simd128;
#endif

bool simd_level_runs(simd_level level) { return level == simd_level::portable || level == best_simd_level(); }

std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level) {
#if AGC_FIXED_PATH
    if (level != simd_level::portable) return fixed::process_vectors(in, out, state, mix);
#else
    (void)level;
#endif
    return process_reference(in, out, state, mix);
}

std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
#if AGC_FIXED_PATH
    return fixed::process_vectors(in, out, state, mix);
#else
    return process_reference(in, out, state, mix);
#endif
}

hop_measure measure_fast(const std::int16_t* in, const agc_state& state, bool mean, simd_level level) {
#if AGC_FIXED_PATH
    if (level != simd_level::portable) return fixed::measure_vectors(in, state, mean);
#else
    (void)level;
#endif
    return measure_reference(in, state, mean);
}

std::int32_t apply_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                        std::int16_t gain, bool ac, simd_level level) {
#if AGC_FIXED_PATH
    if (!m.plain && level != simd_level::portable) return fixed::apply_vectors(in, out, state, gain, ac, m.mean);
#else
    (void)level;
#endif
    return apply_reference(in, out, state, gain, ac, m.mean);
}

hop_measure measure_hop(const std::int16_t* in, const agc_state& state, bool mean) {
    return measure_fast(in, state, mean, best_simd_level());
}

std::int32_t apply_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, const hop_measure& m,
                       std::int16_t gain, bool ac) {
    return apply_fast(in, out, state, m, gain, ac, best_simd_level());
}

std::int32_t distance_fast(const std::int16_t* in, const agc_state& state, std::int16_t mean, simd_level level) {
#if AGC_FIXED_PATH
    if (level != simd_level::portable) return fixed::distance_vectors(in, state, mean);
#else
    (void)level;
#endif
    return distance_reference(in, state, mean);
}

std::int32_t distance_hop(const std::int16_t* in, const agc_state& state, std::int16_t mean) {
    return distance_fast(in, state, mean, best_simd_level());
}

std::int16_t process_speech_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                 std::int16_t mix, simd_level level) {
    return process_speech_at(in, out, state, speech, mix, level);
}

std::int16_t process_hop_speech(const std::int16_t* in, std::int16_t* out, agc_state& state, agc_speech& speech,
                                std::int16_t mix) {
    return process_speech_at(in, out, state, speech, mix, best_simd_level());
}

#endif

} // namespace agc
