// The engine's per-hop entry point: the fastest path the CPU runs.
#include "agc/process_fast.h"

std::int16_t agc::process_hop(const std::int16_t* in, std::int16_t* out, agc_state& state, std::int16_t mix) {
    static const simd_level level = best_simd_level();
    return process_fast(in, out, state, mix, level);
}

std::int16_t agc_process(agc_frame& frame, agc_state& state, std::int16_t mix) {
    return agc::process_hop(frame.in, frame.out, state, mix);
}
