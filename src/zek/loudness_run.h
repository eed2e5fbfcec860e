// zek --target: a recording made as loud as asked, measured first and then
// levelled under the gain that takes it there.
#ifndef ZEK_LOUDNESS_RUN_H
#define ZEK_LOUDNESS_RUN_H

#include "audio/output_file.h"
#include "zek/tool.h"

namespace zek {

// As run_files, for options with a target: the input (spooled to a
// temporary file first when it is a pipe, so that it can be read more than
// once) is levelled without writing to learn its loudness, then, where the
// limiter will act, under the gain to the target and the limiter without
// writing to learn what the limiter takes off, and then written under the
// gain that corrects for it.
run_result run_to_loudness(const char* inp_path, const char* out_path, output_file& out, const run_options& options);

// The options that run_to_loudness writes with (the gain it measures its
// way to, the limiter), for a caller that replays a run: zek-report.
run_result loudness_options(const char* inp_path, const run_options& options, run_options& writing);

} // namespace zek

#endif
