#include "audio/file_io.h"

#include <cerrno>
#include <cstring>
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

// Standard descriptors found closed at start-up (set by reserve_standard_streams).
bool standard_closed[3];

} // namespace

int open_file(const char* path, int flags, mode_t mode, int dir_fd) {
    for (;;) {
        const int fd = openat(dir_fd, path, flags, mode);
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

void reserve_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        standard_closed[fd] = true;
        // The lowest free number is this one; should /dev/null be missing,
        // the descriptor stays closed and only the EBADF rule holds.
        const int held = open_file("/dev/null", O_RDWR);
        if (held >= 0 && held != fd) close(held);
    }
}

int standard_stream_named(const char* path) {
    static const char* const names[2][3] = {{"/dev/stdin", "/dev/fd/0", "/proc/self/fd/0"},
                                            {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}};
    for (int fd = 0; fd < 2; ++fd) {
        for (const char* name : names[fd]) {
            if (std::strcmp(path, name) == 0) return fd;
        }
    }
    return -1;
}

bool standard_stream_usable(int fd) { return !standard_closed[fd]; }

bool same_file(const struct stat& a, const struct stat& b) {
    const bool kind = (S_ISREG(a.st_mode) && S_ISREG(b.st_mode)) || (S_ISFIFO(a.st_mode) && S_ISFIFO(b.st_mode));
    return kind && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int input_open(input_file& f, const char* path) {
    f = input_file{};
    if (standard_stream_named(path) == STDIN_FILENO) {
        if (!standard_stream_usable(STDIN_FILENO)) return EBADF;
        f.fd = STDIN_FILENO;
        f.borrowed = true;
        return 0;
    }
    f.fd = open_file(path, O_RDONLY | O_CLOEXEC);
    return f.fd < 0 ? errno : 0;
}

int input_check(input_file& f) {
    const int err = fstat(f.fd, &f.st) != 0 ? errno : S_ISDIR(f.st.st_mode) ? EISDIR : 0;
    if (err != 0) input_close(f);
    return err;
}

void input_close(input_file& f) {
    if (f.fd >= 0 && !f.borrowed) close(f.fd);
    f.fd = -1;
}

} // namespace zek
