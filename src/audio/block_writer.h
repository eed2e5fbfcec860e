// Writes finished output blocks on a second thread, so that the kernel's copy
// into the output file overlaps reading and processing the next block. Two
// blocks alternate: one is filled while the other is written. When no thread
// can be had (a process limit, a memory limit), each block is written at once
// on the caller's thread instead, with the same result.
#ifndef ZEK_BLOCK_WRITER_H
#define ZEK_BLOCK_WRITER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <sndfile.h>
#include <vector>

#include "agc/loudness.h"

namespace zek {

struct block_writer {
    int fd = -1;                 // set before the first block is submitted: the bytes go here,
    SNDFILE* sf = nullptr;       // or, when set, 16-bit samples go to libsndfile, which writes the container
    int channels = 1;            // of those samples
    // When set (before the first block), each block is measured on the
    // writer's thread just before it is written, so that the meter's work
    // overlaps the levelling of the next block rather than following it.
    agc_loudness* meter = nullptr;
    // When set too, the meter takes whole batches of this many frames,
    // gathered here (the last, shorter one when the writer finishes): a
    // long stretch is filtered several segments at once, in vector lanes.
    std::size_t meter_batch = 0;
    std::vector<std::int16_t> meter_pending;
    // And, when set, given each block's samples (whole frames of `channels`)
    // the same way: to keep some of what is written.
    void (*watch)(void* context, const std::int16_t* samples, std::size_t frames, int channels) = nullptr;
    void* watch_context = nullptr;
    bool discard = false;        // measured and watched, never written: only the figures are wanted
    unsigned char* blocks[2] = {};
    std::size_t sizes[2] = {};   // bytes of each block waiting to be written
    int queue[2] = {};           // blocks handed over, oldest first
    int queued = 0;
    bool busy[2] = {};           // handed over and not yet written
    bool closing = false;        // no more blocks will come
    int err = 0;                 // errno of the first failed write; later blocks are dropped
    bool threaded = false;       // the writer thread runs
    std::mutex lock;
    std::condition_variable changed;
    pthread_t thread{};
};

// Adds `size` bytes of little-endian samples (whole frames of `channels`)
// to a meter.
void measure_le(agc_loudness* meter, int channels, const unsigned char* bytes, std::size_t size);

// The batch for w.meter_batch at a rate and a number of channels: the
// meter's (32 s), or none where gathering one would hold more than 32 MiB
// (six channels at 48 kHz, four at 96 kHz, are gathered).
std::size_t meter_batch_frames(int rate, int channels);

// Starts the writer with the two blocks the caller fills in turn, on a thread
// unless `thread` is false (an input too short to be worth one). It cannot
// fail, so it is called before the output is opened: set w.fd before the
// first writer_submit (and w.meter, if the output is to be measured).
void writer_start(block_writer& w, unsigned char* block0, unsigned char* block1, bool thread = true);

// Waits until block b may be filled again. Returns false, with errno set,
// once a write has failed: the caller stops, and writer_finish says why.
bool writer_wait_free(block_writer& w, int b);

// Hands the first `size` bytes of block b to the writer.
void writer_submit(block_writer& w, int b, std::size_t size);

// Writes what was handed over, stops the thread, and returns the errno of
// the first failed write, or 0 (EIO for a failure libsndfile reports: its
// sf_strerror says more).
int writer_finish(block_writer& w);

} // namespace zek

#endif
