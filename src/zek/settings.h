// The tool's built-in processing settings. Nothing is configurable at run time:
// these values define what zek does to a raw sample file.
#ifndef ZEK_SETTINGS_H
#define ZEK_SETTINGS_H

#include <cstdint>

#include "agc/agc.h"
#include "agc/builtin.h"

namespace zek {

// The rate the window was sized for; raw files do not record it.
inline constexpr int sample_rate = 48000;

// 10 ms at 48 kHz; the hop (half a window) is the unit of reading and processing.
inline constexpr std::int16_t winsize = 480;
inline constexpr int hop = winsize >> 1;

using agc::attack;
using agc::comp_curve;
using agc::flat_curve;
using agc::LEAD_IN_SAMPLES;
using agc::level_coef;
using agc::level_limit;
using agc::mix;
using agc::peak_limit;
using agc::release;

// Sets up `state`, whatever it held, to process exactly as zek does.
inline void init_engine(agc_state& state) { agc::init_builtin(state, winsize); }

} // namespace zek

#endif
