// Whole-call opens, reads and writes on file descriptors: interrupted calls
// and non-blocking descriptors are retried, short writes are continued.
#ifndef ZEK_FILE_IO_H
#define ZEK_FILE_IO_H

#include <cstddef>
#include <sys/types.h>

namespace zek {

// open(2), retried when a signal interrupts it (opening a FIFO waits for the
// other end, and a caller in process may have handlers without SA_RESTART).
int open_file(const char* path, int flags, mode_t mode = 0);

// Reads what is available, up to `size` bytes, waiting for at least one.
// Returns the count, 0 at end of input, or -1 with errno set.
ssize_t read_some(int fd, void* buf, std::size_t size);

// Writes all `size` bytes. Returns false with errno set on failure.
bool write_all(int fd, const void* buf, std::size_t size);

} // namespace zek

#endif
