#include "audio/sndfile_api.h"

#include <dlfcn.h>
#include <mutex>
#include <string>

namespace zek {

namespace {

// libsndfile's entry points, looked up once.
struct api {
    decltype(&sf_open_fd) open_fd;
    decltype(&sf_close) close;
    decltype(&sf_readf_short) readf_short;
    decltype(&sf_readf_int) readf_int;
    decltype(&sf_readf_double) readf_double;
    decltype(&sf_writef_short) writef_short;
    decltype(&sf_seek) seek;
    decltype(&sf_command) command;
    decltype(&sf_error) error;
    decltype(&sf_strerror) strerror;
    decltype(&sf_error_number) error_number;
    decltype(&sf_get_string) get_string;
    decltype(&sf_set_string) set_string;
    decltype(&sf_format_check) format_check;
};

api lib;

template <typename F>
bool find(void* handle, const char* name, F& fn) {
    fn = reinterpret_cast<F>(dlsym(handle, name));
    return fn != nullptr;
}

const char* load_once() {
    void* handle = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return "libsndfile (libsndfile.so.1) cannot be loaded: install it (Debian: libsndfile1)";
    const bool all = find(handle, "sf_open_fd", lib.open_fd) && find(handle, "sf_close", lib.close) &&
                     find(handle, "sf_readf_short", lib.readf_short) && find(handle, "sf_readf_int", lib.readf_int) &&
                     find(handle, "sf_readf_double", lib.readf_double) &&
                     find(handle, "sf_writef_short", lib.writef_short) && find(handle, "sf_seek", lib.seek) &&
                     find(handle, "sf_command", lib.command) && find(handle, "sf_error", lib.error) &&
                     find(handle, "sf_strerror", lib.strerror) && find(handle, "sf_error_number", lib.error_number) &&
                     find(handle, "sf_get_string", lib.get_string) && find(handle, "sf_set_string", lib.set_string) &&
                     find(handle, "sf_format_check", lib.format_check);
    return all ? nullptr : "the libsndfile found lacks calls zek needs";
}

} // namespace

const char* sndfile_load() {
    static const char* const why_not = load_once(); // once, whichever thread comes first
    return why_not;
}

namespace {
// libsndfile keeps the reason an open failed in a global of its own, which
// sf_strerror(NULL) reads: runs on several threads (a batch's jobs) would
// read each other's. Opens take turns, and each thread keeps its own copy.
std::mutex opening;
thread_local std::string open_error;
} // namespace

namespace snd {
SNDFILE* open_fd(int fd, int mode, SF_INFO* info, int close_desc) {
    const std::lock_guard<std::mutex> held(opening);
    SNDFILE* sf = lib.open_fd(fd, mode, info, close_desc);
    open_error = lib.strerror(nullptr);
    return sf;
}
int close(SNDFILE* sf) { return lib.close(sf); }
sf_count_t readf_short(SNDFILE* sf, short* ptr, sf_count_t frames) { return lib.readf_short(sf, ptr, frames); }
sf_count_t readf_int(SNDFILE* sf, int* ptr, sf_count_t frames) { return lib.readf_int(sf, ptr, frames); }
sf_count_t readf_double(SNDFILE* sf, double* ptr, sf_count_t frames) { return lib.readf_double(sf, ptr, frames); }
sf_count_t writef_short(SNDFILE* sf, const short* ptr, sf_count_t frames) { return lib.writef_short(sf, ptr, frames); }
sf_count_t seek(SNDFILE* sf, sf_count_t frames, int whence) { return lib.seek(sf, frames, whence); }
int command(SNDFILE* sf, int cmd, void* data, int datasize) { return lib.command(sf, cmd, data, datasize); }
int error(SNDFILE* sf) { return lib.error(sf); }
const char* strerror(SNDFILE* sf) { return sf != nullptr ? lib.strerror(sf) : open_error.c_str(); }
const char* error_number(int errnum) { return lib.error_number(errnum); }
const char* get_string(SNDFILE* sf, int str_type) { return lib.get_string(sf, str_type); }
int set_string(SNDFILE* sf, int str_type, const char* str) { return lib.set_string(sf, str_type, str); }
int format_check(const SF_INFO* info) { return lib.format_check(info); }
} // namespace snd

} // namespace zek
