// Reading and writing recordings: the one header the tools, the bindings and
// the tests include from this room. A run goes in this order:
//
//   input_open, input_check       the input file, or standard input as it is
//   peek_input / peek_container   its first bytes, left in place: a container or raw samples
//   audio_open, audio_read,       a container through libsndfile, as 16-bit frames; its
//   audio_check_end               length checked against its header at the end
//   output_find                   where the output goes (a new file, a replacement, a pipe)
//   audio_output_plan             its container, checked before anything is touched
//   output_open, audio_output_open
//   reader_start, reader_take     blocks of a file read ahead on a thread of their own
//   writer_start, writer_submit   blocks written on a second thread
//   output_commit / output_abandon  the result put in place, or the old output kept
//
// Raw samples skip the container steps: decode_le/encode_le (samples.h) turn
// file bytes into samples on any host.
#ifndef ZEK_AUDIO_RECORDING_H
#define ZEK_AUDIO_RECORDING_H

#include "audio/audio_format.h"
#include "audio/audio_input.h"
#include "audio/audio_output.h"
#include "audio/block_memory.h"
#include "audio/block_reader.h"
#include "audio/block_writer.h"
#include "audio/file_io.h"
#include "audio/input_peek.h"
#include "audio/output_file.h"
#include "audio/samples.h"

#endif
