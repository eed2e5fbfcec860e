// The stream API behind whole recordings, chunks and float samples, for the
// Python module. Nothing here knows about Python or needs the GIL.
//
// T is the caller's sample type: std::int16_t goes to the stream as it is;
// float and double (full scale +-1.0) are converted to 16 bits on the way in,
// scaled by 32768, rounded to the nearest integer (halves to even, as
// numpy.rint) and clipped to -32768..32767, and back on the way out, divided
// by 32768 (exactly).
#ifndef ZEK_PYTHON_LEVEL_H
#define ZEK_PYTHON_LEVEL_H

#include <cstddef>
#include <cstdint>

#include "agc/loudness.h"
#include "agc/stream.h"

namespace zekpy {

// Float input holding a NaN, which has no 16-bit value; *nan_at is then the
// index of the first one among the samples. Apart from the AGC_ERR_* codes.
constexpr int ERR_NAN = -100;

// A whole recording levelled in place: out[t] is input frame t under its
// gain, the stream's latency taken out. st is fresh and is flushed; in and
// out are distinct. Returns 0 or an error code.
template <typename T>
int level(agc_stream* st, const T* in, T* out, std::size_t frames, int channels, std::size_t* nan_at);

// agc_stream_process for any number of frames (the C call counts them in an
// int). in == out is allowed; nothing goes into the stream when there is a
// NaN. Returns 0 or an error code.
template <typename T>
int process(agc_stream* st, const T* in, T* out, std::size_t frames, int channels, std::size_t* nan_at);

// agc_stream_flush: the last latency frames into out. Returns 0 or an error code.
template <typename T>
int flush(agc_stream* st, T* out, int channels);

// Measures `frames` frames (floats converted as on the way into a stream).
// Returns 0 or an error code.
template <typename T>
int measure(agc_loudness* m, const T* in, std::size_t frames, int channels, std::size_t* nan_at);

} // namespace zekpy

#endif
