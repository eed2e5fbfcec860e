// Shared set-up for engine tests: a state initialised with the tool's settings.
#ifndef ZEK_TESTS_ENGINE_FIXTURE_H
#define ZEK_TESTS_ENGINE_FIXTURE_H

#include <cstdint>

#include "agc/agc.h"
#include "zek/settings.h"

inline agc_state builtin_state(std::int16_t win_size = zek::winsize) {
    agc_state s{};
    agc_init(s, win_size, zek::flat_curve, zek::comp_curve, zek::peak_limit, zek::attack,
             zek::release, zek::level_limit, zek::level_coef);
    return s;
}

#endif
