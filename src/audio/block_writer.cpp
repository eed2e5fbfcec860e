#include "audio/block_writer.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>

#include "agc/k_weighting.h"
#include "audio/file_io.h"
#include "audio/samples.h"
#include "audio/sndfile_api.h"

namespace zek {

namespace {

// The thread needs little stack; asking for little lets it start under a
// tight memory limit, where the default (often 8 MiB) would not.
constexpr std::size_t WRITER_STACK = 256 * 1024;

// Hands `size` bytes of little-endian samples to `see` as native 16-bit
// samples, whole frames of `frame` at a time: the bytes themselves where
// they are the samples, else decoded a chunk at a time.
template <typename F>
void each_le_run(const unsigned char* bytes, std::size_t size, std::size_t frame, F see) {
    if constexpr (std::endian::native == std::endian::little) {
        if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::int16_t) == 0) {
            see(reinterpret_cast<const std::int16_t*>(bytes), size / (2 * frame));
            return;
        }
    }
    constexpr std::size_t CHUNK = 1024;
    std::int16_t s[CHUNK];
    const std::size_t per_chunk = CHUNK / frame * frame;
    for (std::size_t done = 0, total = size / (2 * frame) * frame; done < total;) {
        const std::size_t n = total - done < per_chunk ? total - done : per_chunk;
        decode_le(bytes + 2 * done, s, n);
        see(s, n / frame);
        done += n;
    }
}

// Block b's samples to `see`: as they are for libsndfile, else from the
// little-endian bytes of a raw output.
template <typename F>
void each_run(const block_writer& w, int b, F see) {
    const auto frame = static_cast<std::size_t>(w.channels);
    if (w.sf != nullptr) {
        see(reinterpret_cast<const std::int16_t*>(w.blocks[b]), w.sizes[b] / (2 * frame));
        return;
    }
    each_le_run(w.blocks[b], w.sizes[b], frame, see);
}

// Frames to the writer's meter: gathered into whole batches where it takes them so.
void feed_meter(block_writer& w, const std::int16_t* s, std::size_t frames) {
    if (w.meter_batch == 0) {
        agc_loudness_add_frames(w.meter, s, frames);
        return;
    }
    const auto nc = static_cast<std::size_t>(w.channels);
    if (w.meter_pending.capacity() == 0) w.meter_pending.reserve(w.meter_batch * nc);
    while (frames > 0) {
        const std::size_t held = w.meter_pending.size() / nc;
        if (held == 0 && frames >= w.meter_batch) { // whole batches need no gathering
            const std::size_t n = frames / w.meter_batch * w.meter_batch;
            agc_loudness_add_frames(w.meter, s, n);
            s += n * nc;
            frames -= n;
            continue;
        }
        const std::size_t n = std::min(frames, w.meter_batch - held);
        w.meter_pending.insert(w.meter_pending.end(), s, s + n * nc);
        s += n * nc;
        frames -= n;
        if (held + n == w.meter_batch) {
            agc_loudness_add_frames(w.meter, w.meter_pending.data(), w.meter_batch);
            w.meter_pending.clear();
        }
    }
}

void flush_meter(block_writer& w) {
    if (w.meter == nullptr || w.meter_pending.empty()) return;
    agc_loudness_add_frames(w.meter, w.meter_pending.data(), w.meter_pending.size() / static_cast<std::size_t>(w.channels));
    w.meter_pending.clear();
}

// Writes block b, or skips it once a write has failed. Returns the errno.
int write_block(block_writer& w, int b, bool skip) {
    if (skip) return 0;
    if (w.meter != nullptr || w.watch != nullptr) {
        each_run(w, b, [&](const std::int16_t* s, std::size_t frames) {
            if (w.meter != nullptr) feed_meter(w, s, frames);
            if (w.watch != nullptr) w.watch(w.watch_context, s, frames, w.channels);
        });
    }
    if (w.discard) return 0;
    if (w.sf != nullptr) {
        const auto frames = static_cast<sf_count_t>(w.sizes[b] / (2 * static_cast<std::size_t>(w.channels)));
        return snd::writef_short(w.sf, reinterpret_cast<const short*>(w.blocks[b]), frames) == frames ? 0 : EIO;
    }
    return write_all(w.fd, w.blocks[b], w.sizes[b]) ? 0 : errno;
}

void* writer_loop(void* arg) {
    block_writer& w = *static_cast<block_writer*>(arg);
    std::unique_lock<std::mutex> held(w.lock);
    for (;;) {
        w.changed.wait(held, [&] { return w.queued > 0 || w.closing; });
        if (w.queued == 0) return nullptr; // closing, and everything is written
        const int b = w.queue[0];
        w.queue[0] = w.queue[1];
        --w.queued;
        const bool skip = w.err != 0;
        held.unlock();
        const int write_err = write_block(w, b, skip);
        held.lock();
        if (write_err != 0 && w.err == 0) w.err = write_err;
        w.busy[b] = false;
        w.changed.notify_all();
    }
}

} // namespace

void measure_le(agc_loudness* meter, int channels, const unsigned char* bytes, std::size_t size) {
    each_le_run(bytes, size, static_cast<std::size_t>(channels),
                [&](const std::int16_t* s, std::size_t frames) { agc_loudness_add_frames(meter, s, frames); });
}

std::size_t meter_batch_frames(int rate, int channels) {
    const std::size_t frames = agc::k_batch_frames(rate);
    return frames * static_cast<std::size_t>(channels) * sizeof(std::int16_t) > (std::size_t{32} << 20) ? 0 : frames;
}

void writer_start(block_writer& w, unsigned char* block0, unsigned char* block1, bool thread) {
    w.fd = -1;
    w.sf = nullptr;
    w.channels = 1;
    w.meter = nullptr;
    w.meter_batch = 0;
    w.meter_pending.clear();
    w.watch = nullptr;
    w.watch_context = nullptr;
    w.discard = false;
    w.blocks[0] = block0;
    w.blocks[1] = block1;
    w.queued = 0;
    w.busy[0] = w.busy[1] = false;
    w.closing = false;
    w.err = 0;
    pthread_attr_t attr;
    w.threaded = thread && pthread_attr_init(&attr) == 0;
    if (w.threaded) {
        pthread_attr_setstacksize(&attr, WRITER_STACK);
        w.threaded = pthread_create(&w.thread, &attr, writer_loop, &w) == 0;
        pthread_attr_destroy(&attr);
    }
}

bool writer_wait_free(block_writer& w, int b) {
    std::unique_lock<std::mutex> held(w.lock);
    w.changed.wait(held, [&] { return !w.busy[b] || w.err != 0; });
    if (w.err != 0) {
        errno = w.err;
        return false;
    }
    return true;
}

void writer_submit(block_writer& w, int b, std::size_t size) {
    w.sizes[b] = size;
    if (!w.threaded) { // no thread: written here and now
        if (w.err == 0) w.err = write_block(w, b, false);
        return;
    }
    {
        const std::lock_guard<std::mutex> held(w.lock);
        w.busy[b] = true;
        w.queue[w.queued++] = b;
    }
    w.changed.notify_all();
}

int writer_finish(block_writer& w) {
    if (w.threaded) {
        {
            const std::lock_guard<std::mutex> held(w.lock);
            w.closing = true;
        }
        w.changed.notify_all();
        pthread_join(w.thread, nullptr);
        w.threaded = false;
    }
    flush_meter(w);
    return w.err;
}

} // namespace zek
