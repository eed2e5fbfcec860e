// The target's passes over a levelled recording held in memory: the limiter
// and the meter, each in two parts on two threads, to the same bytes and
// figures as one after the other.
#ifndef ZEK_HELD_PASSES_H
#define ZEK_HELD_PASSES_H

#include <cstddef>
#include <cstdint>

#include "agc/loudness.h"

namespace zek {

// A levelled recording in memory, as the run wrote it: `frames` interleaved
// frames of `channels` at `rate`. `lead`: the frames of silence a limiter
// after the levelling takes in before the first of them (the stream's own
// latency, where the stream carries the limiter), on whose grid its blocks lie.
struct held_view {
    const std::int16_t* samples = nullptr;
    std::size_t frames = 0;
    int channels = 1, rate = 0;
    std::int64_t lead = 0;
};

// The recording under a gain and a ceiling (thousandths of a dB and of a
// dBTP) into `out` (as many samples; the recording's own memory is fine),
// as the run's limiter gives it out, aligned: the part after a pause near
// the middle on a second thread, where the recording has one in which the
// limiter comes to rest. False only where `out` is the recording's memory
// and the two parts' limiters did not meet after all: what is there then
// is neither the recording nor the limited one. With `modes` (not 0), the
// limited recording is measured too, each part on its thread: *meter is
// that meter (nullptr where there is no memory for it).
bool limit_held(const held_view& h, std::int32_t gain_mdb, std::int32_t ceiling_mdb, std::int16_t* out, int modes = 0,
                agc_loudness** meter = nullptr);

// A meter of `modes` fed the frames of `samples` (the first half and the
// second on two threads, joined); nullptr where there is no memory for it.
agc_loudness* measure_held(const std::int16_t* samples, std::size_t frames, int channels, int rate, int modes);

} // namespace zek

#endif
