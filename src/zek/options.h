// The command line's options, before INPUT: how the recording is levelled.
#ifndef ZEK_OPTIONS_H
#define ZEK_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "zek/tool.h"

namespace zek {

struct command_line {
    run_options options;
    std::vector<std::int16_t> weights; // the --mix file's weights; options.mix points here
    const char* mix_path = nullptr;
    bool help = false, version = false;
    std::vector<const char*> paths; // INPUT, OUTPUT and whatever follows (ignored)
    std::string error;              // a usage error, for standard error
};

// Splits argv into options and paths. Options come first; "--" ends them,
// so that a file whose name starts with "--" can still be named.
command_line parse_command_line(int argc, char** argv);

// The historical compression factor, a single-precision number from 0 to 1,
// as the engine's Q15 weight: scaled in double precision and truncated, so
// that 1.0 gives the built-in 32766.
inline int comp_weight(float comp) { return static_cast<int>(static_cast<double>(comp) * 32766.0); }

// The compression weight of hop k after the lead-in: the weight file's
// (its last value held), or the constant one.
inline std::int16_t hop_weight(const run_options& o, std::uint64_t k) {
    if (o.mix == nullptr) return static_cast<std::int16_t>(o.comp);
    return o.mix[k < o.mix_count ? k : o.mix_count - 1];
}

// Reads the --mix file into cl.weights: whole 16-bit little-endian values,
// each 0 to 32767. Returns a failed run_result (nothing touched) or success.
run_result read_weights(command_line& cl);

} // namespace zek

#endif
