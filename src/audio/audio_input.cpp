#include "audio/audio_input.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "agc/stream.h"
#include "audio/header_length.h"
#include "audio/input_peek.h"
#include "audio/samples.h"
#include "audio/sndfile_api.h"

namespace zek {

namespace {

sample_depth depth_of(int subtype, int& bits) {
    switch (subtype) {
    case SF_FORMAT_PCM_24: case SF_FORMAT_DWVW_24: case SF_FORMAT_ALAC_24: bits = 24; return sample_depth::wide;
    case SF_FORMAT_ALAC_20: bits = 20; return sample_depth::wide;
    case SF_FORMAT_PCM_32: case SF_FORMAT_ALAC_32: bits = 32; return sample_depth::wide;
    case SF_FORMAT_FLOAT: bits = 32; return sample_depth::floating;
    case SF_FORMAT_DOUBLE: bits = 64; return sample_depth::floating;
    default: bits = 16; return sample_depth::narrow;
    }
}

// Bytes a sample takes in the file for the plain encodings; 0 for codecs.
std::int64_t stored_bytes(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW: return 1;
    case SF_FORMAT_PCM_16: return 2;
    case SF_FORMAT_PCM_24: return 3;
    case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: return 4;
    case SF_FORMAT_DOUBLE: return 8;
    default: return 0;
    }
}

bool is_pipe(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode); }

// A header's bytes, peeked from a pipe: enough for every chunk writers put
// before the samples.
constexpr std::size_t HEADER_PEEK_BYTES = 4096;

// Where the samples of the header at the input's position lie: read with
// pread from a file, peeked from a pipe.
sample_span span_of(const input_file& inp, container kind, std::uint64_t base) {
    if (S_ISREG(inp.st.st_mode)) return find_samples({nullptr, 0, inp.fd, base}, kind);
    if (!is_pipe(inp.st)) return {};
    unsigned char head[HEADER_PEEK_BYTES];
    const ssize_t n = peek_input(inp.fd, inp.st, head, sizeof head);
    return n > 0 ? find_samples({head, static_cast<std::size_t>(n), -1, 0}, kind) : sample_span{};
}

// A WAV whose sizes were never filled in: libsndfile would read no samples,
// so they are read as headerless ones, from the end of the header on.
SNDFILE* open_unfinished(audio_input& a, const input_file& inp, const sample_span& span) {
    const bool file = S_ISREG(inp.st.st_mode);
    unsigned char skip[HEADER_PEEK_BYTES];
    for (std::size_t left = file ? 0 : static_cast<std::size_t>(span.start); left > 0;) { // a pipe: past the header
        const ssize_t n = read_some(inp.fd, skip, left);
        if (n <= 0) return nullptr;
        left -= static_cast<std::size_t>(n);
    }
    a.info = SF_INFO{0, span.rate, span.channels, span.raw_format, 0, 0};
    SNDFILE* sf = snd::open_fd(inp.fd, SFM_READ, &a.info, SF_FALSE);
    auto start = static_cast<sf_count_t>(span.start); // a file: its samples start there
    if (sf != nullptr && file &&
        (snd::command(sf, SFC_SET_RAW_START_OFFSET, &start, sizeof start) != 0 || snd::seek(sf, 0, SEEK_SET) != 0)) {
        snd::close(sf);
        return nullptr;
    }
    return sf;
}

// A regular file against its header: the samples it announces must be there.
std::string check_whole(const audio_input& a, const sample_span& span, std::uint64_t base) {
    if (!span.found || span.placeholder) return {};
    const auto size = static_cast<std::uint64_t>(a.st.st_size);
    const std::uint64_t have = size > base ? size - base : 0;
    if (span.start > have) {
        return words({"its header puts the samples at byte ", std::to_string(span.start), " of a file of ",
                      std::to_string(have), " bytes: the file is cut short"});
    }
    const std::uint64_t room = have - span.start < span.room ? have - span.start : span.room;
    if (span.bytes <= room) return {};
    const auto frame = static_cast<std::uint64_t>(stored_bytes(a.info.format & SF_FORMAT_SUBMASK) * a.info.channels);
    const char* unit = frame > 0 ? " frames" : " bytes of samples";
    const std::uint64_t per = frame > 0 ? frame : 1;
    return words({"its header announces ", std::to_string(span.bytes / per), unit, " but the file holds ",
                  std::to_string(room / per), ": the file is cut short"});
}

std::int64_t read_frames(audio_input& a, std::int16_t* dst, int frames) {
    if (a.depth == sample_depth::narrow) return snd::readf_short(a.sf, dst, frames);
    if (a.wide_frames < frames) {
        std::free(a.wide);
        a.wide = std::malloc(static_cast<std::size_t>(frames) * static_cast<std::size_t>(a.info.channels) * sizeof(double));
        a.wide_frames = a.wide ? frames : 0;
        if (a.wide == nullptr) return -1;
    }
    const std::size_t channels = static_cast<std::size_t>(a.info.channels);
    if (a.depth == sample_depth::wide) {
        auto* wide = static_cast<int*>(a.wide); // libsndfile puts every depth in the top bits of an int
        const sf_count_t n = snd::readf_int(a.sf, wide, frames);
        for (std::size_t k = 0; k < static_cast<std::size_t>(n) * channels; ++k) {
            dst[k] = static_cast<std::int16_t>(wide[k] >> 16);
        }
        return n;
    }
    const sf_count_t n = snd::readf_double(a.sf, static_cast<double*>(a.wide), frames);
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) * channels : 0;
    const std::size_t nan = float_to_int16(static_cast<const double*>(a.wide), dst, count);
    if (nan == count) return n;
    a.failure = words({"frame ", std::to_string(static_cast<std::size_t>(a.frames_read) + nan / channels),
                       ", channel ", std::to_string(nan % channels),
                       " (counting from 0) holds a NaN (not a number), which has no 16-bit value"});
    return -1;
}

// A plain 16-bit WAV file, read without libsndfile: its samples are already
// what the engine takes. Returns false for anything else.
bool open_plain_wav(audio_input& a, const input_file& inp, container kind) {
    if (kind != container::wav || !S_ISREG(inp.st.st_mode)) return false;
    const off_t at = lseek(inp.fd, 0, SEEK_CUR);
    if (at < 0 || inp.st.st_size < at) return false;
    const auto base = static_cast<std::uint64_t>(at);
    const sample_span span = plain_wav_samples(inp.fd, base, static_cast<std::uint64_t>(inp.st.st_size) - base);
    if (!span.found || span.rate < AGC_MIN_RATE || span.rate > AGC_MAX_RATE) return false;
    if (lseek(inp.fd, static_cast<off_t>(base + span.start), SEEK_SET) < 0) return false;
    const std::int64_t frames = static_cast<std::int64_t>(span.bytes / (2 * static_cast<std::uint64_t>(span.channels)));
    a.direct = true;
    a.info = SF_INFO{frames, span.rate, span.channels, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1};
    a.known_frames = frames;
    a.kind = kind;
    a.fd = inp.fd;
    a.st = inp.st;
    return true;
}

// Up to `frames` frames of a plain WAV file's samples, read where they lie.
std::int64_t read_direct(audio_input& a, std::int16_t* dst, int frames) {
    const auto frame_bytes = 2 * static_cast<std::size_t>(a.info.channels);
    const std::int64_t left = a.known_frames - a.frames_read;
    const std::size_t want = static_cast<std::size_t>(frames < left ? frames : left) * frame_bytes;
    auto* bytes = reinterpret_cast<unsigned char*>(dst);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = read_some(a.fd, bytes + got, want - got);
        if (n < 0) return -1;
        if (n == 0) break; // the file shrank under us: the end check says so
        got += static_cast<std::size_t>(n);
    }
    const std::size_t whole = got / frame_bytes;
    decode_le(bytes, dst, whole * static_cast<std::size_t>(a.info.channels)); // in place: a no-op or a byte swap
    return static_cast<std::int64_t>(whole);
}

// A path as one word for the shell.
std::string shell_quoted(std::string_view path) {
    std::string q = "'";
    for (const char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// How to decode a compressed input into something zek reads: a file into a
// WAV file beside it, a stream on its way in.
std::string decode_advice(const input_file& inp, std::string_view path) {
    if (!S_ISREG(inp.st.st_mode)) return "decode it on the way in, e.g. ffmpeg -i - -f wav - | zek /dev/stdin out.wav";
    const std::size_t slash = path.rfind('/'), dot = path.rfind('.');
    const bool has_extension = dot != std::string_view::npos && dot > (slash == std::string_view::npos ? 0 : slash + 1);
    std::string wav = std::string(has_extension ? path.substr(0, dot) : path) + ".wav";
    if (wav == path) wav.insert(wav.size() - 4, ".decoded");
    return words({"decode it first, e.g. ffmpeg -i ", shell_quoted(path), " ", shell_quoted(wav)});
}

// MPEG audio (MP3) inside a WAV file: libsndfile decodes it, but not to the
// length the header counts (the decoder's delay and the encoder's padding
// come with it), so the output could not be the recording sample for sample.
// It is refused as the same audio outside a WAV file is.
const char* mpeg_in_container(int subtype) {
    switch (subtype) {
    case SF_FORMAT_MPEG_LAYER_I: return "MP1";
    case SF_FORMAT_MPEG_LAYER_II: return "MP2";
    case SF_FORMAT_MPEG_LAYER_III: return "MP3";
    default: return nullptr;
    }
}

} // namespace

std::string compressed_refusal(std::string_view what, const input_file& inp, const char* path) {
    return words({what, " is compressed; zek reads uncompressed audio files and raw samples: ", decode_advice(inp, path)});
}

int peek_compressed(const input_file& inp, const char* path, std::string& refusal) {
    refusal.clear();
    unsigned char head[COMPRESSED_SNIFF_MAX];
    ssize_t got = peek_input(inp.fd, inp.st, head, SNIFF_BYTES);
    if (got > 0) { // a frame header of compressed audio: up to the next frame, to be sure
        const std::size_t need = compressed_sniff_bytes(head, static_cast<std::size_t>(got));
        if (need > static_cast<std::size_t>(got)) got = peek_input(inp.fd, inp.st, head, need);
    }
    if (got < 0) return errno;
    if (const char* compressed = sniff_compressed(head, static_cast<std::size_t>(got))) {
        refusal = compressed_refusal(words({compressed, " audio"}), inp, path);
    }
    return 0;
}

std::string words(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view p : parts) s.append(p);
    return s;
}

std::string audio_open(audio_input& a, const input_file& inp, container kind, const char* path) {
    if (is_pipe(inp.st) && !reads_from_pipe(kind)) {
        return words({container_name(kind), " cannot be read from a pipe: give the file itself, or convert it to "
                                            "WAV on the way, e.g. ffmpeg -i in -f wav - | zek /dev/stdin out.wav"});
    }
    if (open_plain_wav(a, inp, kind)) return {};
    if (const char* why_not = sndfile_load()) return why_not;
    a.kind = kind;
    a.fd = inp.fd;
    a.st = inp.st;
    const off_t at = S_ISREG(inp.st.st_mode) ? lseek(inp.fd, 0, SEEK_CUR) : 0;
    const std::uint64_t base = at > 0 ? static_cast<std::uint64_t>(at) : 0;
    const sample_span span = span_of(inp, kind, base);
    if (!span.fault.empty()) return words({"not a readable audio file: ", span.fault});
    const bool unfinished = span.unfinished && span.raw_format != 0;
    a.sf = unfinished ? open_unfinished(a, inp, span) : snd::open_fd(inp.fd, SFM_READ, &a.info, SF_FALSE);
    if (a.sf == nullptr) return words({"not a readable audio file: ", snd::strerror(nullptr)});
    if (const char* mpeg = mpeg_in_container(a.info.format & SF_FORMAT_SUBMASK)) {
        audio_close(a);
        return compressed_refusal(words({mpeg, " audio in a ", container_name(kind), " file"}), inp, path);
    }
    std::string problem;
    if (a.info.samplerate < AGC_MIN_RATE || a.info.samplerate > AGC_MAX_RATE) {
        problem = words({"its sample rate, ", std::to_string(a.info.samplerate),
                         " Hz, is outside the 8000 to 96000 Hz zek levels; resample it first, e.g. sox '", path,
                         "' -r 48000 resampled.wav"});
    } else if (a.info.channels < 1 || a.info.channels > AGC_MAX_CHANNELS) {
        problem = words({std::to_string(a.info.channels), " channels: zek levels 1 to ",
                         std::to_string(AGC_MAX_CHANNELS)});
    }
    if (!problem.empty()) {
        audio_close(a);
        return problem;
    }
    a.depth = depth_of(a.info.format & SF_FORMAT_SUBMASK, a.bits);
    if (S_ISREG(inp.st.st_mode) && !unfinished) problem = check_whole(a, span, base);
    if (!problem.empty()) {
        audio_close(a);
        return problem;
    }
    // The length the end is checked against. libsndfile gives a regular
    // file's as what the file holds, and none for a FLAC written into a pipe
    // (the largest count). From a pipe it gives the header's for WAV, AIFF
    // and AU, none for W64 and NIST: the header's own figure is taken, unless
    // it is a streaming writer's placeholder, or more than 32-bit sizes hold.
    const std::int64_t stored = stored_bytes(a.info.format & SF_FORMAT_SUBMASK);
    const std::int64_t frame_bytes = (stored > 0 ? stored : a.bits / 8) * a.info.channels;
    if (unfinished || a.info.frames < 0 || a.info.frames >= SF_COUNT_MAX / frame_bytes) {
        a.known_frames = -1;
    } else if (!is_pipe(inp.st)) {
        a.known_frames = a.info.frames;
    } else if (span.found) {
        const bool length = !span.placeholder && span.bytes > 0 && stored > 0 && !placeholder_length(span.bytes);
        a.known_frames = length ? static_cast<std::int64_t>(span.bytes / static_cast<std::uint64_t>(frame_bytes)) : -1;
    } else if (!placeholder_length(static_cast<std::uint64_t>(a.info.frames * frame_bytes))) {
        a.known_frames = a.info.frames;
    }
    return {};
}

std::int64_t audio_read(audio_input& a, std::int16_t* dst, int frames) {
    a.failure.clear();
    const std::int64_t n = a.direct ? read_direct(a, dst, frames) : read_frames(a, dst, frames);
    if (n > 0) a.frames_read += n;
    return n;
}

bool audio_error(const audio_input& a) { return a.sf != nullptr && snd::error(a.sf) != SF_ERR_NO_ERROR; }

std::string audio_check_end(audio_input& a) {
    if (audio_error(a)) return snd::strerror(a.sf);
    if (a.known_frames >= 0 && a.frames_read != a.known_frames) {
        return words({"its header announces ", std::to_string(a.known_frames), " frames but ",
                      std::to_string(a.frames_read), " could be read: the file is cut short"});
    }
    const std::int64_t block = std::int64_t{a.bits / 8} * a.info.channels;
    if (a.kind != container::wav || a.frames_read * block < 0xFFFFFFFFll - block + 1) return {};
    // The samples filled a WAV's 32-bit size: does anything follow them?
    bool more = false;
    if (is_pipe(a.st)) {
        char c;
        more = read_some(a.fd, &c, 1) > 0;
    } else {
        const off_t at = lseek(a.fd, 0, SEEK_CUR);
        more = at >= 0 && a.st.st_size > at;
    }
    if (!more) return {};
    return "it holds more than 4 GiB of samples, which a WAV header cannot describe, and libsndfile reads "
           "only the first 4 GiB: convert it to RF64 or W64 first, e.g. ffmpeg -ignore_length 1 -i in.wav "
           "-rf64 always in.rf64.wav";
}

std::string audio_conversion_note(const audio_input& a, const char* path) {
    if (a.depth == sample_depth::wide) {
        return words({"'", path, "' has ", std::to_string(a.bits),
                      "-bit samples: reduced to 16 bits by dropping the low ", std::to_string(a.bits - 16),
                      " bits (no dither)"});
    }
    if (a.depth == sample_depth::floating) {
        return words({"'", path, "' has floating-point samples: converted to 16 bits "
                                 "(scaled by 32768, rounded, clipped at full scale)"});
    }
    return {};
}

void audio_close(audio_input& a) {
    if (a.sf) snd::close(a.sf);
    std::free(a.wide);
    a = audio_input{};
}

} // namespace zek
