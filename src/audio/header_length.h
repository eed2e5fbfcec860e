// Where an audio file's samples lie and how many bytes of them its header
// announces, read from the header's own bytes. libsndfile shrinks a length
// to what a regular file holds, so a file cut short reads as a shorter
// recording; the header itself still says what should be there. Streaming
// writers put placeholders in those fields instead (sox, arecord, ffmpeg
// and flac into a pipe), which mean "until the end", not a length.
#ifndef ZEK_HEADER_LENGTH_H
#define ZEK_HEADER_LENGTH_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/audio_format.h"

namespace zek {

// The header's bytes: the start of a pipe, peeked into memory, or a file
// read where needed from `base`, the offset its header starts at.
struct header_source {
    const unsigned char* mem = nullptr;
    std::size_t mem_size = 0;
    int fd = -1;
    std::uint64_t base = 0;
};

struct sample_span {
    bool found = false;       // the header was understood and its samples located
    std::uint64_t start = 0;  // the first byte of the samples, from the header's first byte
    std::uint64_t bytes = 0;  // the bytes of samples announced
    std::uint64_t room = UINT64_MAX; // the most the samples' chunk can hold (AIFF's SSND chunk)
    bool placeholder = false; // `bytes` is a streaming writer's "until the end"
    // WAV whose data size was never filled in (0: flac -d writes that into
    // a pipe, with a RIFF size of 0), with its samples after the header to
    // the end.
    bool unfinished = false;
    // WAV: the libsndfile format of its samples read as headerless ones
    // (SF_FORMAT_RAW, subtype and byte order), or 0 for a codec.
    int raw_format = 0;
    int channels = 0, rate = 0;
    // WAV: why its chunks cannot be read as one recording (a second fmt or
    // data chunk, samples before their format, a depth no reader takes), in
    // words for the user; "" when they can.
    std::string fault;
};

// The samples of a `kind` container (WAV, RF64, W64, AIFF, AU, CAF, NIST
// SPHERE, VOC; none for the others). A WAV file's chunks are looked through
// to its end, for a second fmt or data chunk; a pipe's only up to its
// samples, which is as far as its header goes.
sample_span find_samples(const header_source& src, container kind);

// The samples of a plain WAV file: the 44-byte header of 16-bit PCM with one
// or two channels (a "fmt " chunk of 16 or 18 bytes, then "data", nothing
// else) and its samples to the file's end, as `file_bytes` says. Such a file
// is read and written without libsndfile: it holds nothing libsndfile would
// carry over but the samples. Anything else gives found = false.
sample_span plain_wav_samples(int fd, std::uint64_t base, std::uint64_t file_bytes);

// Whether a 32-bit length is one of the placeholders streaming writers use:
// the 0xFFFFFFFF family (ffmpeg, AU's "unknown"), 0x80000000 and 0x7FFFF000
// (arecord, sox's WAV), 0x7F000000 (sox's AIFF), each less up to a frame.
bool placeholder_length(std::uint64_t bytes);

} // namespace zek

#endif
