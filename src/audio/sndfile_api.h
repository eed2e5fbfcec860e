// libsndfile, loaded the first time a recording needs it rather than when the
// program starts. Loading it and the codecs it links (FLAC, Vorbis, Opus,
// MP3) with all their relocations is most of a process's start-up, which a
// corpus of short files pays once per file, and which raw samples, plain
// 16-bit WAV files and --help never need.
//
// Call sndfile_load() first; the calls below have libsndfile's own meaning,
// but for strerror(nullptr): why this thread's last open failed.
#ifndef ZEK_SNDFILE_API_H
#define ZEK_SNDFILE_API_H

#include <sndfile.h>

namespace zek {

// Loads libsndfile, once for the process (any thread may ask). Returns
// nullptr, or why it cannot be loaded (for a message).
const char* sndfile_load();

namespace snd {
SNDFILE* open_fd(int fd, int mode, SF_INFO* info, int close_desc);
int close(SNDFILE* sf);
sf_count_t readf_short(SNDFILE* sf, short* ptr, sf_count_t frames);
sf_count_t readf_int(SNDFILE* sf, int* ptr, sf_count_t frames);
sf_count_t readf_double(SNDFILE* sf, double* ptr, sf_count_t frames);
sf_count_t writef_short(SNDFILE* sf, const short* ptr, sf_count_t frames);
sf_count_t seek(SNDFILE* sf, sf_count_t frames, int whence);
int command(SNDFILE* sf, int cmd, void* data, int datasize);
int error(SNDFILE* sf);
const char* strerror(SNDFILE* sf);
const char* error_number(int errnum);
const char* get_string(SNDFILE* sf, int str_type);
int set_string(SNDFILE* sf, int str_type, const char* str);
int format_check(const SF_INFO* info);
} // namespace snd

} // namespace zek

#endif
