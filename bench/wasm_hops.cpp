// The hop path alone in WebAssembly, as engine_bench's BM_fast times it
// natively: each hop copied into the frame, then processed at a given level.
// Built and run by wasm_bench.mjs; the JavaScript writes the recording into
// signal() first.
#include <algorithm>
#include <cstdint>

#include "agc/process_fast.h"
#include "zek/settings.h"

namespace {
constexpr int HOPS = 4096; // ~20 s of audio, cycled through
std::int16_t recording[HOPS * zek::hop];
agc_state state;
agc_frame frame;
} // namespace

extern "C" __attribute__((export_name("signal"))) std::int16_t* signal() { return recording; }

// Runs `count` hops at the SIMD128 level (simd != 0) or the plain one.
extern "C" __attribute__((export_name("hops"))) int hops(int count, int simd) {
    if (state.win_size == 0) zek::init_engine(state);
    const agc::simd_level level = simd ? agc::simd_level::simd128 : agc::simd_level::portable;
    int gains = 0;
    for (int h = 0; h < count; ++h) {
        std::copy_n(recording + (h % HOPS) * zek::hop, zek::hop, frame.in);
        gains += agc::process_fast(frame.in, frame.out, state, zek::mix, level);
    }
    return gains + frame.out[0];
}
