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
    std::string warning;            // an option that has no effect, for standard error
};

// Splits argv into options and paths. Options come first; "--" ends them,
// so that a file whose name starts with "--" can still be named.
command_line parse_command_line(int argc, char** argv);

// Reads the --mix file into cl.weights: whole 16-bit little-endian values,
// each 0 to 32767. Returns a failed run_result (nothing touched) or success.
run_result read_weights(command_line& cl);

} // namespace zek

#endif
