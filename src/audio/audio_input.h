// Reading an audio file as zek levels it: through libsndfile, as 16-bit
// samples. Shared by zek and zek-report, so that the report checks an output
// against exactly the samples zek took in.
#ifndef ZEK_AUDIO_INPUT_H
#define ZEK_AUDIO_INPUT_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <sndfile.h>
#include <string>
#include <string_view>

#include "audio/audio_format.h"
#include "audio/file_io.h"

namespace zek {

enum class sample_depth { narrow, wide, floating }; // up to 16 bits, 20 to 32 bits, floating point

struct audio_input {
    SNDFILE* sf = nullptr;  // libsndfile reads it, or
    bool direct = false;    // zek does: a plain 16-bit WAV file, its samples read where they lie
    SF_INFO info{};
    sample_depth depth = sample_depth::narrow;
    int bits = 16;
    std::int64_t known_frames = -1; // the length its header gives, or -1 (a stream from a pipe)
    void* wide = nullptr;           // int or double samples as read, before they become 16-bit
    int wide_frames = 0;
    container kind = container::none;
    int fd = -1;                    // the input libsndfile reads
    struct stat st {};
    std::int64_t frames_read = 0;
    std::string failure; // why audio_read failed, in words for the user
};

// Opens the audio file in `inp`, whose first bytes are a `kind` header, and
// checks it: a pipe that cannot carry the container, a file libsndfile cannot
// read, MPEG audio inside it, a rate outside 8000 to 96000 Hz, more channels than zek levels, a
// file shorter than its header says. A length that is a streaming writer's
// placeholder, or none (a FLAC written into a pipe), is no length: the input
// is read to its end. Returns "" or what is wrong, in words for the user
// (the input closed).
std::string audio_open(audio_input& a, const input_file& inp, container kind, const char* path);

// Reads up to `frames` frames as 16-bit samples: 20- to 32-bit samples lose
// their low bits (an arithmetic shift: no dither, the same result on every
// run), floating point is scaled by 32768, rounded and clipped. Returns the
// frames read, 0 at the end, or -1 with a.failure saying why (a NaN, which
// has no 16-bit value) or empty (out of memory).
std::int64_t audio_read(audio_input& a, std::int16_t* dst, int frames);

// Whether libsndfile reported an error while reading.
bool audio_error(const audio_input& a);

// After the last frame: "" or why the input is not read whole after all. A
// WAV's sizes are 32-bit, and libsndfile stops at 4 GiB of samples even where
// more follow (a stream that says "until the end", an oversized file): such
// a recording is refused, not cut short.
std::string audio_check_end(audio_input& a);

// What the conversion to 16 bits does to this input, for a line on standard
// error; "" when it keeps every sample.
std::string audio_conversion_note(const audio_input& a, const char* path);

void audio_close(audio_input& a);

// Why a compressed input is refused: `what` it holds ("MP3 audio", "MP3
// audio in a WAV file"), and a command that decodes it into something zek
// reads (into a WAV file beside a file; on the way in from a pipe).
std::string compressed_refusal(std::string_view what, const input_file& inp, const char* path);

// Looks at the first bytes of an opened input, left in place, for compressed
// audio zek recognises but does not decode. Returns 0 with `refusal` empty
// when there is none, with `refusal` set (see compressed_refusal) when there
// is; or the errno of a failed read.
int peek_compressed(const input_file& inp, const char* path, std::string& refusal);

// A message from its parts. (GCC 12 warns, wrongly, about chains of std::string +.)
std::string words(std::initializer_list<std::string_view> parts);

} // namespace zek

#endif
