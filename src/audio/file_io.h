// Whole-call opens, reads and writes on file descriptors: interrupted calls
// and non-blocking descriptors are retried, short writes are continued.
// Also the standard streams, and the input side of a tool: a path or
// standard input as it is.
#ifndef ZEK_FILE_IO_H
#define ZEK_FILE_IO_H

#include <cstddef>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace zek {

// openat(2) (AT_FDCWD: open(2)), retried when a signal interrupts it (opening
// a FIFO waits for the other end, and a caller in process may have handlers
// without SA_RESTART).
int open_file(const char* path, int flags, mode_t mode = 0, int dir_fd = AT_FDCWD);

// Reads what is available, up to `size` bytes, waiting for at least one.
// Returns the count, 0 at end of input, or -1 with errno set.
ssize_t read_some(int fd, void* buf, std::size_t size);

// Writes all `size` bytes. Returns false with errno set on failure.
bool write_all(int fd, const void* buf, std::size_t size);

// A tool calls this first thing. A standard descriptor (0, 1, 2) that is
// closed at start-up is held on /dev/null, so that no file opened later takes
// its number (an input opened as descriptor 1 would pass for standard
// output), and is remembered as closed: naming it fails with EBADF.
void reserve_standard_streams();

// The standard descriptor that `path` names by one of its own names
// (/dev/stdin, /dev/fd/0, /proc/self/fd/0, and likewise for 1), or -1.
int standard_stream_named(const char* path);

// Whether standard descriptor `fd` may be used: it was open at start-up.
bool standard_stream_usable(int fd);

// The same file for reading and writing: a regular file or a FIFO by device
// and inode (any path spelling, symbolic or hard link). Devices and sockets
// are not: /dev/null twice is fine, and a socket is read and written at once.
bool same_file(const struct stat& a, const struct stat& b);

// A tool's input: the file at a path, or standard input as it is (its offset
// kept, never reopened) when the path names it.
struct input_file {
    int fd = -1;
    bool borrowed = false; // standard input: never closed here
    struct stat st {};
};

// Opens `path` to read. Returns 0, or the errno of the failure.
int input_open(input_file& f, const char* path);

// Checks the opened input: a directory is refused here (EISDIR), not at the
// first read. Returns 0, or the errno after closing the input.
int input_check(input_file& f);

void input_close(input_file& f);

} // namespace zek

#endif
