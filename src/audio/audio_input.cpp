#include "audio/audio_input.h"

#include <cstdlib>
#include <unistd.h>

#include "agc/stream.h"
#include "audio/samples.h"

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

bool is_pipe(const struct stat& st) { return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode); }

std::int64_t read_frames(audio_input& a, std::int16_t* dst, int frames) {
    if (a.depth == sample_depth::narrow) return sf_readf_short(a.sf, dst, frames);
    if (a.wide_frames < frames) {
        std::free(a.wide);
        a.wide = std::malloc(static_cast<std::size_t>(frames) * static_cast<std::size_t>(a.info.channels) * sizeof(double));
        a.wide_frames = a.wide ? frames : 0;
        if (a.wide == nullptr) return -1;
    }
    const std::size_t channels = static_cast<std::size_t>(a.info.channels);
    if (a.depth == sample_depth::wide) {
        auto* wide = static_cast<int*>(a.wide); // libsndfile puts every depth in the top bits of an int
        const sf_count_t n = sf_readf_int(a.sf, wide, frames);
        for (std::size_t k = 0; k < static_cast<std::size_t>(n) * channels; ++k) {
            dst[k] = static_cast<std::int16_t>(wide[k] >> 16);
        }
        return n;
    }
    const sf_count_t n = sf_readf_double(a.sf, static_cast<double*>(a.wide), frames);
    if (n > 0) float_to_int16(static_cast<const double*>(a.wide), dst, static_cast<std::size_t>(n) * channels);
    return n;
}

} // namespace

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
    a.kind = kind;
    a.fd = inp.fd;
    a.st = inp.st;
    a.sf = sf_open_fd(inp.fd, SFM_READ, &a.info, SF_FALSE);
    if (a.sf == nullptr) return words({"not a readable audio file: ", sf_strerror(nullptr)});
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
    // A header read from a pipe may give no length: streamed WAV and AU say
    // 0xFFFFFFFF bytes, W64 and NIST a huge count. More than 32-bit sizes
    // hold counts as no length.
    const std::int64_t frame_bytes = std::int64_t{a.bits / 8} * a.info.channels;
    if (!is_pipe(inp.st) || (a.info.frames >= 0 && a.info.frames * frame_bytes < 0xFFFFFFFFll - 0xFFFF)) {
        a.known_frames = a.info.frames;
    }
    return {};
}

std::int64_t audio_read(audio_input& a, std::int16_t* dst, int frames) {
    const std::int64_t n = read_frames(a, dst, frames);
    if (n > 0) a.frames_read += n;
    return n;
}

std::string audio_check_end(audio_input& a) {
    if (sf_error(a.sf) != SF_ERR_NO_ERROR) return sf_strerror(a.sf);
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
    if (a.sf) sf_close(a.sf);
    std::free(a.wide);
    a = audio_input{};
}

} // namespace zek
