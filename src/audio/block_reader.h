// Reads input blocks on a second thread, so that the kernel's copy out of
// the input overlaps levelling the block before (with the block writer, the
// three run side by side). Two blocks alternate: the thread fills one while
// the caller levels the other, and the caller takes them in turn, 0, 1, 0...
//
// Only for inputs whose reads always come back: regular files and block
// devices. A pipe or a terminal may keep a read waiting for as long as its
// writer likes, and a run that has to stop (a full disk) must not wait for
// it; such inputs, and inputs too short to be worth a thread, are read on the
// caller's thread when it takes a block, with the same result. So is
// everything when no thread can be had.
#ifndef ZEK_BLOCK_READER_H
#define ZEK_BLOCK_READER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "audio/audio_input.h"

namespace zek {

struct block_reader {
    int fd = -1;                  // bytes from here,
    audio_input* audio = nullptr; // or, when set, 16-bit frames through libsndfile
    unsigned char* blocks[2] = {};
    std::size_t capacity = 0;     // what a block takes: bytes, or frames of audio
    std::int64_t counts[2] = {};  // what each block holds: bytes or frames, 0 at the end, -1 failed
    int errs[2] = {};             // errno of a failed read
    bool full[2] = {};            // read, and not yet handed back
    int next = 0;                 // the block the thread reads into next
    bool ended = false;           // a read gave the end or failed: no more are made
    bool closing = false;
    bool threaded = false;
    std::mutex lock;
    std::condition_variable changed;
    pthread_t thread{};
};

// Starts reading into the two blocks, on a thread when `thread` is asked for
// and one can be had: set r.fd or r.audio first.
void reader_start(block_reader& r, unsigned char* block0, unsigned char* block1, std::size_t capacity, bool thread);

// Waits for block b: returns what it holds (bytes or frames), 0 at the end of
// the input, or -1 with errno set (0 for audio: its failure says why).
std::int64_t reader_take(block_reader& r, int b);

// Hands block b back, to be read into again.
void reader_give_back(block_reader& r, int b);

// Stops the thread; a read under way is finished first.
void reader_finish(block_reader& r);

// Whether an input may be read ahead on a thread: a regular file or a block
// device, with more than `bytes` left to read.
bool worth_reading_ahead(int fd, const struct stat& st, std::size_t bytes);

} // namespace zek

#endif
