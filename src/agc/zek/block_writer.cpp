#include "zek/block_writer.h"

#include <cerrno>

#include "zek/file_io.h"

namespace zek {

namespace {

void writer_loop(block_writer& w) {
    std::unique_lock<std::mutex> held(w.lock);
    for (;;) {
        w.changed.wait(held, [&] { return w.queued > 0 || w.closing; });
        if (w.queued == 0) return; // closing, and everything is written
        const int b = w.queue[0];
        w.queue[0] = w.queue[1];
        --w.queued;
        const bool skip = w.err != 0;
        held.unlock();
        const bool ok = skip || write_all(w.fd, w.blocks[b], w.sizes[b]);
        const int write_err = ok ? 0 : errno;
        held.lock();
        if (!ok && w.err == 0) w.err = write_err;
        w.busy[b] = false;
        w.changed.notify_all();
    }
}

} // namespace

void writer_start(block_writer& w, int fd, unsigned char* block0, unsigned char* block1) {
    w.fd = fd;
    w.blocks[0] = block0;
    w.blocks[1] = block1;
    w.queued = 0;
    w.busy[0] = w.busy[1] = false;
    w.closing = false;
    w.err = 0;
    w.thread = std::thread(writer_loop, std::ref(w));
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
    {
        const std::lock_guard<std::mutex> held(w.lock);
        w.sizes[b] = size;
        w.busy[b] = true;
        w.queue[w.queued++] = b;
    }
    w.changed.notify_all();
}

int writer_finish(block_writer& w) {
    {
        const std::lock_guard<std::mutex> held(w.lock);
        w.closing = true;
    }
    w.changed.notify_all();
    w.thread.join();
    return w.err;
}

} // namespace zek
