// zek --target: a recording made as loud as asked, measured first and then
// levelled under the gain that takes it there.
#ifndef ZEK_LOUDNESS_RUN_H
#define ZEK_LOUDNESS_RUN_H

#include "audio/output_file.h"
#include "zek/tool.h"

namespace zek {

// As run_files, for options with a target: the input (spooled to a
// temporary file first when it is a pipe, so that it can be read more than
// once) is levelled without writing to learn its loudness, and held in
// memory where it fits, then written under the gain to the target. Where
// the limiter will act, it takes some loudness off: the first gain under
// it is found on a sample of the levelled recording kept by the first
// pass, then each pass under the limiter is measured (in memory, or as it
// is written), and the gain corrected until one lands within 0.05 LU of
// the target (the output of a pass that misses is taken back; one that
// cannot be, a pipe's, is measured without writing first).
run_result run_to_loudness(const char* inp_path, const char* out_path, output_file& out, const run_options& options);

// The options that run_to_loudness writes with (the gain it measures its
// way to, the limiter), for a caller that replays a run: zek-report.
run_result loudness_options(const char* inp_path, const run_options& options, run_options& writing);

} // namespace zek

#endif
