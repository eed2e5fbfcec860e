// The first bytes of an input, read without taking them from it: whichever
// path then reads the input (the raw hop loop or libsndfile) starts from its
// first byte, on a pipe as on a file.
#ifndef ZEK_INPUT_PEEK_H
#define ZEK_INPUT_PEEK_H

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

#include "audio/audio_format.h"

namespace zek {

// Up to `size` bytes from the input's current position: fewer only when the
// input ends first. Returns the count, or -1 with errno set. An input that
// cannot be looked at without being read (a terminal, a character device)
// gives 0: it is taken for raw samples.
ssize_t peek_input(int fd, const struct stat& st, unsigned char* buf, std::size_t size);

// The audio container the input starts with, or none (raw samples, or an
// input that cannot be read).
container peek_container(int fd, const struct stat& st);

} // namespace zek

#endif
