// The levelled recording a target's first measure holds in memory, as the
// run writes it, and the meter that follows it there on a thread of its own.
#ifndef ZEK_HELD_RECORDING_H
#define ZEK_HELD_RECORDING_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "agc/loudness.h"
#include "zek/tool.h"

namespace zek {

// Samples in memory mapped as they are first written, so that they cost
// only the pages they take, and given back whole at the end. In small
// pages: a virtual machine's host takes back the guest's free memory in
// huge blocks within seconds, and a huge page taken afresh then costs a
// fault on the host too (here 0.5 s for the 220 MiB of 40 minutes, against
// 0.09 s in small pages, and 0.04 s in huge pages still warm). The pages
// are taken a few MiB at a time ahead of the writes, in one call each,
// rather than by a fault on every page.
struct mapped_samples {
    std::int16_t* samples = nullptr;
    std::size_t room = 0;  // samples
    std::size_t taken = 0; // samples whose pages are taken
    mapped_samples() = default;
    mapped_samples(const mapped_samples&) = delete;
    mapped_samples& operator=(const mapped_samples&) = delete;
    ~mapped_samples() { let_go(); }
    bool map(std::size_t n); // false where there is no such memory
    void take_pages(std::size_t n); // before the first n samples are written
    void let_go();
};

// The whole levelled recording, as the first measure writes it, where it
// fits in the room set aside for it: the passes after it then take their
// frames from memory, with no levelling and no reading.
struct held_recording {
    mapped_samples memory;
    std::size_t room = 0; // samples it may hold
    std::size_t size = 0; // samples held
    int channels = 0;
    bool whole = true; // every frame so far is held
    std::size_t frames() const { return memory.samples == nullptr ? 0 : size / static_cast<std::size_t>(channels); }
    bool complete() const { return whole && memory.samples != nullptr; } // the whole recording is here
};

// The room: a sixteenth of the memory, and no more than 1 GiB (40 minutes
// of mono at 48 kHz take 220 MiB); a longer recording is levelled again
// for each pass.
std::size_t room_for_held();

// The meter that follows the held recording as the run fills it, on a
// thread of its own: the K-weighting, the longest work of the first
// measure, runs beside the levelling rather than after it. When the run
// ends, the follower is given a frame to stop at, on a 4 s boundary about
// halfway through what it still has to measure, and a part's meter takes
// the rest on the run's thread; the two are joined. It measures the
// integrated loudness and the sample peak: the true peak matters only
// against the limiter's resting point, known once the loudness is, and is
// then looked for in memory (held_points_under).
struct follower {
    const held_recording* h = nullptr;
    agc_loudness* meter = nullptr;
    std::size_t batch = 0;        // frames it takes at once while the run goes on
    std::mutex lock;
    std::condition_variable changed;
    std::size_t filled = 0;       // frames held so far
    std::size_t measured = 0;     // frames the meter has taken
    std::size_t claimed = 0;      // and is taking
    std::size_t stop = SIZE_MAX;  // frames it stops at
    bool ended = false;           // no more frames will come
    bool running = false;
    pthread_t thread{};
    follower() = default;
    follower(const follower&) = delete;
    follower& operator=(const follower&) = delete;
    ~follower() { agc_loudness_destroy(meter); }
};

// Adds a block of what the run writes (at `rate`) to the held recording,
// mapping its room and starting the follower at the first; lets it all go,
// the follower stopped first, where it outgrows the room.
void hold(held_recording& h, follower& f, int rate, const std::int16_t* x, std::size_t frames, int channels);

// Stops the follower where it is and waits for it (none running: nothing).
void stop_following(follower& f);

// Whether no point of the held recording, at or between its samples in
// the true-peak interpolator's Q14 units, the points its last samples make
// with the silence after them among them, comes over `floor`: stretches
// that cannot reach it are passed by, and the scan stops at the first that
// does. Where the limiter's resting point is the floor, a true peak of the
// recording is not needed to know that the limiter would rest: only whether
// anything reaches that high, which on most recordings costs little more
// than a pass over the samples' magnitudes.
bool held_points_under(const held_recording& h, std::int32_t floor);

// The meter of the whole held recording, once the run has ended: the
// follower's, joined to a part's meter of the frames it was not to reach
// (or, where it could not follow, the two halves measured now).
agc_loudness* finish_following(follower& f, const held_recording& h, int rate);

} // namespace zek

#endif
