// WAV headers for 16-bit PCM written by zek itself, where libsndfile cannot
// write WAV: into a pipe, which allows no seeking back to fill the sizes in.
#ifndef ZEK_WAV_HEADER_H
#define ZEK_WAV_HEADER_H

#include <cstddef>
#include <cstdint>

namespace zek {

inline constexpr std::size_t WAV_HEADER_MAX = 68;

// Writes the header for `frames` frames of 16-bit samples into `out` and
// returns its length. frames < 0, or more than the 32-bit sizes can hold,
// gives the streaming convention: both sizes 0xFFFFFFFF, "until the end".
// One or two channels get the plain PCM header (44 bytes), more get
// WAVE_FORMAT_EXTENSIBLE (68 bytes), as players expect.
std::size_t wav_header(unsigned char* out, int rate, int channels, std::int64_t frames);

} // namespace zek

#endif
