// zek on audio files: WAV, RF64, W64, AIFF, FLAC, AU, CAF, NIST SPHERE and
// VOC in, through libsndfile; the same rate, channels and length out, as
// 16-bit PCM in the container the output's name gives, or else the input's.
#ifndef ZEK_AUDIO_RUN_H
#define ZEK_AUDIO_RUN_H

#include "audio/recording.h"
#include "zek/tool.h"

namespace zek {

// Levels the audio file open in `inp` (its first bytes are a `kind` header)
// into the output that `out` has found but not opened. Whatever is wrong with
// the input is found before the output is opened; on any failure the output
// is abandoned, as it was. A successful run leaves it pending, to be committed
// by the caller.
run_result run_audio(const input_file& inp, container kind, output_file& out, const char* inp_path,
                     const char* out_path, const run_options& options);

} // namespace zek

#endif
