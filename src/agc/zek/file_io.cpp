#include "zek/file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace zek {

namespace {

// A descriptor inherited in non-blocking mode answers EAGAIN; wait until it is
// ready instead of treating that as an error or as end of input.
bool wait_ready(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = poll(&p, 1, -1);
        if (r >= 0) return true;
        if (errno != EINTR) return false;
    }
}

} // namespace

int open_file(const char* path, int flags, mode_t mode) {
    for (;;) {
        const int fd = open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

ssize_t read_some(int fd, void* buf, std::size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buf, size);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(fd, POLLIN)) continue;
        return -1;
    }
}

bool write_all(int fd, const void* buf, std::size_t size) {
    const char* p = static_cast<const char*>(buf);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(fd, POLLOUT)) continue;
        if (n == 0) errno = EIO; // a write that takes nothing would loop forever
        return false;
    }
    return true;
}

} // namespace zek
