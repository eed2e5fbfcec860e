// The vectorised signal path and its run-time dispatch.
#ifndef AGC_PROCESS_FAST_H
#define AGC_PROCESS_FAST_H

#include <cstdint>

#include "agc/agc.h"

namespace agc {

// Instruction sets the fast path is built for; the best one the running CPU
// has is chosen once, at the first call.
enum class simd_level { portable, avx2, avx512 };

simd_level best_simd_level();
const char* simd_level_name(simd_level level);

// Bit-identical to process_reference for every input and state, at any level
// the CPU supports (a level it lacks falls back to the best it has).
std::int16_t process_fast(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix,
                          simd_level level);

// agc_process on the caller's own buffers (distinct, each of a hop), at the
// best level: lets a caller process hops where they lie in a larger block.
std::int16_t process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix);

} // namespace agc

#endif
