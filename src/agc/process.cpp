// The engine's per-hop entry point.
#include "agc/hop.h"

std::int16_t agc_process(agc_frame& frame, agc_state& state, std::int16_t mix) {
    return agc::process_reference(frame, state, mix);
}
