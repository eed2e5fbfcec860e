#include "audio/block_reader.h"

#include <cerrno>
#include <unistd.h>

#include "audio/file_io.h"

namespace zek {

namespace {

// As the block writer's: little stack, so that it starts under tight limits.
constexpr std::size_t READER_STACK = 256 * 1024;

// Reads block b: bytes, or frames of audio. Returns the count, 0 at the end,
// -1 on failure with its errno in `err`.
std::int64_t read_block(block_reader& r, int b, int& err) {
    std::int64_t n;
    if (r.audio != nullptr) {
        n = audio_read(*r.audio, reinterpret_cast<std::int16_t*>(r.blocks[b]), static_cast<int>(r.capacity));
    } else {
        n = read_some(r.fd, r.blocks[b], r.capacity);
    }
    err = n < 0 ? errno : 0;
    return n;
}

void* reader_loop(void* arg) {
    block_reader& r = *static_cast<block_reader*>(arg);
    std::unique_lock<std::mutex> held(r.lock);
    for (;;) {
        r.changed.wait(held, [&] { return r.closing || (!r.ended && !r.full[r.next]); });
        if (r.closing) return nullptr;
        const int b = r.next;
        held.unlock();
        int err = 0;
        const std::int64_t n = read_block(r, b, err);
        held.lock();
        r.counts[b] = n;
        r.errs[b] = err;
        r.full[b] = true;
        r.ended = n <= 0;
        r.next = b ^ 1;
        r.changed.notify_all();
    }
}

} // namespace

void reader_start(block_reader& r, unsigned char* block0, unsigned char* block1, std::size_t capacity, bool thread) {
    r.blocks[0] = block0;
    r.blocks[1] = block1;
    r.capacity = capacity;
    r.full[0] = r.full[1] = false;
    r.next = 0;
    r.ended = r.closing = false;
    r.threaded = false;
    if (!thread) return;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setstacksize(&attr, READER_STACK);
    r.threaded = pthread_create(&r.thread, &attr, reader_loop, &r) == 0;
    pthread_attr_destroy(&attr);
}

std::int64_t reader_take(block_reader& r, int b) {
    if (!r.threaded) {
        int err = 0;
        const std::int64_t n = read_block(r, b, err);
        errno = err;
        return n;
    }
    std::unique_lock<std::mutex> held(r.lock);
    r.changed.wait(held, [&] { return r.full[b]; });
    errno = r.errs[b];
    return r.counts[b];
}

void reader_give_back(block_reader& r, int b) {
    if (!r.threaded) return;
    {
        const std::lock_guard<std::mutex> held(r.lock);
        r.full[b] = false;
    }
    r.changed.notify_all();
}

void reader_finish(block_reader& r) {
    if (!r.threaded) return;
    {
        const std::lock_guard<std::mutex> held(r.lock);
        r.closing = true;
    }
    r.changed.notify_all();
    pthread_join(r.thread, nullptr);
    r.threaded = false;
}

bool worth_reading_ahead(int fd, const struct stat& st, std::size_t bytes) {
    if (S_ISBLK(st.st_mode)) return true;
    if (!S_ISREG(st.st_mode)) return false;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    return at >= 0 && st.st_size > at && static_cast<std::uint64_t>(st.st_size - at) > bytes;
}

} // namespace zek
