#include "audio/input_peek.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace zek {

namespace {

// A file: read at the current position without moving it.
ssize_t peek_file(int fd, unsigned char* buf, std::size_t size) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0) return -1;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, buf + got, size - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// A pipe: tee(2) copies what the pipe holds into a pipe of our own and leaves
// it in place. Writers send headers in one piece, but a pipe may hold fewer
// bytes than wanted for a moment; then the copy is made again, from the
// start, until there are enough or no writer is left.
ssize_t peek_pipe(int fd, unsigned char* buf, std::size_t size) {
    int own[2];
    if (pipe2(own, O_CLOEXEC) != 0) return -1;
    ssize_t result = -1;
    for (;;) {
        const ssize_t n = tee(fd, own[1], size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) { // a non-blocking pipe, empty for now
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 && errno != EINTR) break;
            continue;
        }
        if (n < 0) break;
        std::size_t got = 0;
        while (got < static_cast<std::size_t>(n)) { // our own pipe holds them all: no short wait
            const ssize_t r = read(own[0], buf + got, static_cast<std::size_t>(n) - got);
            if (r <= 0) break;
            got += static_cast<std::size_t>(r);
        }
        pollfd p{fd, POLLIN, 0};
        if (got == size || n == 0 || (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP))) {
            result = static_cast<ssize_t>(got);
            break;
        }
        const timespec pause{0, 1000000}; // 1 ms for the writer to send the rest
        nanosleep(&pause, nullptr);
    }
    const int err = errno;
    close(own[0]);
    close(own[1]);
    errno = err;
    return result;
}

// A socket: recv can look without taking, and wait for all of it.
ssize_t peek_socket(int fd, unsigned char* buf, std::size_t size) {
    for (;;) {
        const ssize_t n = recv(fd, buf, size, MSG_PEEK | MSG_WAITALL);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return -1;
    }
}

} // namespace

ssize_t peek_input(int fd, const struct stat& st, unsigned char* buf, std::size_t size) {
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return peek_file(fd, buf, size);
    if (S_ISFIFO(st.st_mode)) return peek_pipe(fd, buf, size);
    if (S_ISSOCK(st.st_mode)) return peek_socket(fd, buf, size);
    return 0;
}

container peek_container(int fd, const struct stat& st) {
    unsigned char head[SNIFF_BYTES];
    const ssize_t got = peek_input(fd, st, head, sizeof head);
    return got > 0 ? sniff_container(head, static_cast<std::size_t>(got)) : container::none;
}

} // namespace zek
