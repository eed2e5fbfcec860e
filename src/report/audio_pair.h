// zek-report on audio files: the stream API runs again over IN, a hop at a
// time so that every hop's gain is known, and its output, aligned on IN, is
// set beside what OUT holds frame for frame.
#ifndef ZEK_REPORT_AUDIO_H
#define ZEK_REPORT_AUDIO_H

#include <cstdio>
#include <string>
#include <vector>

#include "audio/recording.h"
#include "report/levels.h"

namespace zek {

struct audio_pair {
    audio_input in, out;
    bool out_is_audio = false; // OUT is an audio file of IN's rate and channels: it can match
    int out_raw = -1;          // or OUT holds bare interleaved samples (zek's .raw output): read here
    std::vector<unsigned char> raw_bytes; // OUT's bare samples as read
    std::string out_problem;              // why OUT, an audio file, cannot be read (cut short, ...)
};

// Opens IN (its first bytes a `kind` header) and OUT, and sets the report's
// rate and channels. Returns "" or what is wrong with IN. OUT is an audio
// file, or bare interleaved 16-bit little-endian samples, which zek writes
// for an OUTPUT named .raw; an audio file of another rate or channel count is
// noted in the report (out_rate, out_channels) and differs from its first frame.
std::string open_audio_pair(audio_pair& p, const input_file& in, container kind, const input_file& out,
                            const char* in_path, report& r);

// Measures the pair to their ends, printing each second's row on `rows`;
// the stream runs with zek's `options`.
read_failure measure_audio(audio_pair& p, report& r, std::FILE* rows, const run_options& options);

void close_audio_pair(audio_pair& p);

} // namespace zek

#endif
