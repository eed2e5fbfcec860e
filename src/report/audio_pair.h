// zek-report on audio files: the stream API runs again over IN, a hop at a
// time so that every hop's gain is known, and its output, aligned on IN, is
// set beside what OUT holds frame for frame.
#ifndef ZEK_REPORT_AUDIO_H
#define ZEK_REPORT_AUDIO_H

#include <cstdio>
#include <string>

#include "audio/recording.h"
#include "report/levels.h"

namespace zek {

struct audio_pair {
    audio_input in, out;
    bool out_is_audio = false; // OUT is an audio file of IN's rate and channels: it can match
};

// Opens IN (its first bytes a `kind` header) and OUT, and sets the report's
// rate and channels. Returns "" or what is wrong with IN; an OUT that is not
// such an audio file is read as differing from its first frame.
std::string open_audio_pair(audio_pair& p, const input_file& in, container kind, const input_file& out,
                            const char* in_path, report& r);

// Measures the pair to their ends, printing each second's row on `rows`;
// the stream runs with zek's `options`.
read_failure measure_audio(audio_pair& p, report& r, std::FILE* rows, const run_options& options);

void close_audio_pair(audio_pair& p);

} // namespace zek

#endif
