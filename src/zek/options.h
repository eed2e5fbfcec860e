// The command line's options, before INPUT: how the recording is levelled.
#ifndef ZEK_OPTIONS_H
#define ZEK_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "zek/tool.h"

namespace zek {

// The most weights a --mix file may hold: 2^26, a file of 128 MiB, one weight
// for each 5 ms hop of more than 93 hours. A source past it (/dev/zero, a
// recording named by mistake) is refused when it has been read that far,
// rather than filling memory until the run is killed.
inline constexpr std::size_t MAX_WEIGHTS = std::size_t{1} << 26;

struct command_line {
    run_options options;
    std::vector<std::int16_t> weights; // the --mix file's weights; options.mix points here
    const char* mix_path = nullptr;
    struct stat mix_st {};             // the --mix file, once read; options.mix_file points here
    bool help = false, version = false;
    bool names_only = false;        // "--" ended the options: every argument after it is a name
    std::vector<const char*> paths; // INPUT, OUTPUT and whatever follows (ignored); in a batch, the INPUTs
    std::string error;              // a usage error, for standard error
    // A batch (-o OUTDIR): its options, read by parse_batch_option.
    const char* outdir = nullptr;
    int jobs = 0; // 0: one per core
    const char* format = nullptr;
    bool progress = false, quiet = false, force = false, loudness = false;
    std::string warning;            // an option that has no effect, for standard error
};

// Reads argv[i] (and its value, moving i on) if it is one of a batch's
// options; sets cl.error for a bad value. Returns whether it was one.
bool parse_batch_option(command_line& cl, int argc, char** argv, int& i);

// Splits argv into options and paths. Options come first; "--" ends them,
// so that a file whose name starts with "--" can still be named.
command_line parse_command_line(int argc, char** argv);

// Whether paths[k], an argument after INPUT, looks like an option ("--speech"
// put last by mistake): it is taken as a name or ignored, as it always was,
// but the user should hear of it. Never after "--", where names were meant.
bool misplaced_option(const command_line& cl, std::size_t k);

// Reads the --mix file into cl.weights: whole 16-bit little-endian values,
// each 0 to 32767, at most MAX_WEIGHTS of them, each checked as it arrives
// (a source of noise is refused at its first negative value). Returns a
// failed run_result (nothing touched) or success.
run_result read_weights(command_line& cl);

} // namespace zek

#endif
