// The engine's per-hop entry point: the fastest path the CPU runs.
#include "agc/process_fast.h"

std::int16_t agc_process(agc_frame& frame, agc_state& state, std::int16_t mix) {
    return agc::process_hop(frame.in, frame.out, state, mix);
}
