// LD_PRELOAD shim that makes every descriptor behave like a slow pipe in a
// process full of signals: every other open(), openat(), read() or write()
// fails with EINTR, and the rest move only 1 to 7 bytes. A tool that retries
// interrupted calls and continues short transfers writes the same bytes as
// without it. At exit it says on standard error that it was active, so that
// a test can tell a run through the shim from one where the preload did not
// take. Knobs in the environment add failures:
//   IO_SHIM_READ_FAILS_AFTER=N  reads fail with EIO once N bytes were read
//   IO_SHIM_NO_THREADS=1        pthread_create fails with EAGAIN, as under a process limit
//   IO_SHIM_NO_TMPFILE=1        O_TMPFILE fails with EOPNOTSUPP, as on NFS
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

unsigned long calls;       // counted loosely: the tool's writer thread comes here too
unsigned long interrupted; // calls failed with EINTR
unsigned long bytes_read;
bool refused_thread;

bool interrupt_this_call() {
    if (++calls % 2 == 0) return false;
    ++interrupted;
    errno = EINTR;
    return true;
}

std::size_t short_size(std::size_t size) { return std::min<std::size_t>(size, 1 + calls % 7); }

template <typename F> F real(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

__attribute__((destructor)) void report() {
    static const char line[] = "io_shim: active\n", refused[] = "io_shim: refused a thread\n";
    const auto real_write = real<ssize_t (*)(int, const void*, std::size_t)>("write");
    if (interrupted > 0) real_write(2, line, sizeof line - 1);
    if (refused_thread) real_write(2, refused, sizeof refused - 1);
}

mode_t mode_arg(int flags, va_list ap) { return flags & (O_CREAT | O_TMPFILE) ? va_arg(ap, mode_t) : 0; }

} // namespace

extern "C" int open(const char* path, int flags, ...) {
    static const auto real_open = real<int (*)(const char*, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (interrupt_this_call()) return -1;
    return real_open(path, flags, mode);
}

extern "C" int openat(int dir_fd, const char* path, int flags, ...) {
    static const auto real_openat = real<int (*)(int, const char*, int, ...)>("openat");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (interrupt_this_call()) return -1;
    if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("IO_SHIM_NO_TMPFILE")) return errno = EOPNOTSUPP, -1;
    return real_openat(dir_fd, path, flags, mode);
}

extern "C" ssize_t read(int fd, void* buf, std::size_t size) {
    static const auto real_read = real<ssize_t (*)(int, void*, std::size_t)>("read");
    static const char* const fails_after = std::getenv("IO_SHIM_READ_FAILS_AFTER");
    if (interrupt_this_call()) return -1;
    if (fails_after && bytes_read >= std::strtoul(fails_after, nullptr, 10)) return errno = EIO, -1;
    const ssize_t n = real_read(fd, buf, short_size(size));
    bytes_read += n > 0 ? static_cast<unsigned long>(n) : 0;
    return n;
}

extern "C" ssize_t write(int fd, const void* buf, std::size_t size) {
    static const auto real_write = real<ssize_t (*)(int, const void*, std::size_t)>("write");
    if (interrupt_this_call()) return -1;
    return real_write(fd, buf, short_size(size));
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    if (std::getenv("IO_SHIM_NO_THREADS")) return refused_thread = true, EAGAIN;
    return real<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create")(thread, attr,
                                                                                                          start, arg);
}
