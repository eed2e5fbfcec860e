// zek's levelling for a live host that hands over planar float blocks of any
// size from its audio thread and changes settings from another, with no
// latency compensation of its own: OBS Studio's audio filters.
//
// The output is zek's, delayed by the stream's latency (40 ms, speech-aware
// or not). A change of the compression weight reaches the levelling at the next 5 ms hop, as a
// weight file would change it. Speech-aware mode and linked channels are
// fixed for a stream's life: a new stream with the new mode starts beside the
// running one, on the running one's hop grid and fed the same audio, and the
// output moves over to it at a hop boundary where both apply the same gain
// (within 0.27 dB on every channel), so that the gain goes on from where it
// was; where they have not met SWITCH_SECONDS after it started, it moves
// over in a 20 ms crossfade. Nothing is lost or repeated and the delay stays
// the same: no click, no gap.
#ifndef ZEK_OBS_LEVELLER_H
#define ZEK_OBS_LEVELLER_H

#include <agc/stream.h>

#include <cstdint>
#include <memory>

namespace zek_obs {

// What the user asks of the levelling.
struct settings {
    int comp = AGC_COMP_DEFAULT; // Q15 compression weight, 0 to 32767
    bool speech = false;         // speech-aware: pauses are not raised
    bool link = false;           // one gain for all channels of a frame
    // The loudness target and the true-peak ceiling join here once the
    // stream API takes them, beside the mode they change: a new stream when
    // the stream takes them at its start, as speech and link are taken.
};

// Frames converted and levelled at a time; a host's block of any size goes
// through in pieces of at most this many. OBS's own tick is 1024 frames.
constexpr int CHUNK = 1024;

// The longest a new mode waits for the running and the new levelling to
// agree before the output moves over regardless.
constexpr int SWITCH_SECONDS = 5;

struct leveller;

struct leveller_deleter {
    void operator()(leveller* l) const;
};
using leveller_ptr = std::unique_ptr<leveller, leveller_deleter>;

// A leveller for the host's rate and channel count with the first settings;
// nullptr for a rate or channel count the stream does not take.
leveller_ptr make_leveller(int rate, int channels, const settings& first);

// The delay of the output, in frames.
int latency(const leveller& l);

// Levels `frames` frames in place, one plane of floats per channel (full
// scale +-1.0), as `wanted` says from this block on. Never allocates, locks
// or fails; one thread at a time.
void process(leveller& l, float* const* planes, int frames, const settings& wanted);

} // namespace zek_obs

#endif
