// Writing a recording as 16-bit PCM: the container the output's name asks
// for (or else the input's), through libsndfile where the output can seek,
// and by zek itself (WAV with its own header, raw samples) into a pipe.
//
//   audio_output_plan   picks the container and checks it can hold the
//                       recording and go where the output goes; touches nothing
//   audio_output_open   after output_open: the header and libsndfile's handle
//   audio_output_ready  turns a block of frames into what the writer takes
//   audio_output_close  finishes the container (libsndfile's sizes and trailer)
#ifndef ZEK_AUDIO_OUTPUT_H
#define ZEK_AUDIO_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <sndfile.h>
#include <string>

#include "audio/audio_format.h"
#include "audio/audio_input.h"
#include "audio/block_writer.h"
#include "audio/output_file.h"

namespace zek {

// What went wrong on the output side: the system's errno, or a reason in words.
struct output_problem {
    const char* what = nullptr; // "cannot open" or "cannot write"; nullptr: nothing went wrong
    int err = 0;
    std::string reason;
    explicit operator bool() const { return what != nullptr; }
};

struct audio_output {
    container kind = container::none;
    bool named = false;     // the output's name chose the container, not the input's
    bool streamed = false;  // written in one pass, by zek (WAV, raw) or libsndfile (AU), no seeking back
    SNDFILE* sf = nullptr;  // libsndfile writes the container
    int fd = -1;            // or zek writes little-endian samples here
    int rate = 0, channels = 0;
    std::int64_t known_frames = -1; // the recording's length, when its input's header gives it
    // WAV written by zek itself to a file too: the input is a plain 16-bit
    // WAV (nothing to carry over but its samples) of one or two channels,
    // whose length is known and fits a WAV's sizes. The header zek writes is
    // the one libsndfile would, byte for byte, and libsndfile is not needed.
    bool own_wav = false;
    // Metadata to carry over from the input (libsndfile's strings, bext, channel map).
    SNDFILE* source = nullptr;
};

// Chooses the output's container (out_path's extension, else in_kind) and
// how it is written, for the recording `in`; refuses what the container or
// a pipe cannot take. Into a pipe, an input's container that needs seeking
// (FLAC, RF64, ...) gives way to WAV; one the output's name asks for is refused.
// A `forced` container (not none) is taken whatever the name says, as if named.
output_problem audio_output_plan(audio_output& o, const audio_input& in, container in_kind, const output_file& out,
                                 const char* out_path, container forced = container::none);

// Starts the container on the opened output `out` and points the writer at
// it: zek's own WAV header into a pipe, or libsndfile's handle.
output_problem audio_output_open(audio_output& o, const output_file& out, block_writer& w);

// Makes `count` samples of `frames` ready for the writer: little-endian bytes,
// in place, where zek writes them itself.
void audio_output_ready(const audio_output& o, std::int16_t* frames, std::size_t count);

// After the writer has finished without error: completes the container.
output_problem audio_output_close(audio_output& o);

// Why the writer failed: libsndfile's reason where it reported one, else err.
output_problem audio_output_write_failure(const audio_output& o, int err);

// Releases what is left open after a failure.
void audio_output_release(audio_output& o);

} // namespace zek

#endif
