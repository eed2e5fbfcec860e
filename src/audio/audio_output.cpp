#include "audio/audio_output.h"

#include <cerrno>
#include <unistd.h>

#include "agc/stream.h"
#include "audio/file_io.h"
#include "audio/samples.h"
#include "audio/sndfile_api.h"
#include "audio/wav_header.h"

namespace zek {

namespace {

output_problem problem(std::string reason) { return {"cannot write", 0, std::move(reason)}; }
output_problem system_problem(const char* what, int err) { return {what, err, {}}; }

// Every container but WAV, AU and raw samples goes back to its header when
// it is complete, which a pipe does not allow. When the input's container
// was taken, the pipe gets WAV, which every reader of a pipe takes; a
// container the output's name asks for is refused.
output_problem into_pipe(audio_output& o) {
    if (writes_to_pipe(o.kind)) return {};
    if (!o.named) {
        o.kind = container::wav;
        return {};
    }
    return problem(words({container_name(o.kind),
                          " cannot be written into a pipe, which cannot seek back to its header: write it to a "
                          "regular file, or send WAV, AU or raw samples into the pipe (a name ending in .wav, .au "
                          "or .raw, or none: /dev/stdout gets WAV)"}));
}

// Carries over what libsndfile knows beyond the samples: the text strings,
// the broadcast extension and the speaker positions of the channels. A
// container that cannot hold one of them simply goes without.
void copy_metadata(const audio_output& o) {
    for (int kind = SF_STR_FIRST; kind <= SF_STR_LAST; ++kind) {
        if (const char* s = snd::get_string(o.source, kind)) snd::set_string(o.sf, kind, s);
    }
    SF_BROADCAST_INFO bext{};
    if (snd::command(o.source, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE) {
        snd::command(o.sf, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
    }
    int map[AGC_MAX_CHANNELS];
    const int map_bytes = static_cast<int>(sizeof(int)) * o.channels;
    if (snd::command(o.source, SFC_GET_CHANNEL_MAP_INFO, map, map_bytes) == SF_TRUE) {
        snd::command(o.sf, SFC_SET_CHANNEL_MAP_INFO, map, map_bytes);
    }
}

// A recording that may pass 4 GiB (or whose length is unknown), too much for
// a WAV's 32-bit sizes.
bool may_grow(const audio_output& o) {
    return o.known_frames < 0 || o.known_frames * 2 * o.channels > 0xFFFFFFFFll - (1 << 20);
}

} // namespace

output_problem audio_output_plan(audio_output& o, const audio_input& in, container in_kind, const output_file& out,
                                 const char* out_path, container forced) {
    const container named = forced != container::none ? forced : container_of_name(out_path);
    o.named = named != container::none;
    o.kind = o.named ? named : in_kind;
    o.rate = in.info.samplerate;
    o.channels = in.info.channels;
    o.known_frames = in.known_frames;
    o.source = in.sf;
    o.streamed = out.way == output_way::standard_output || (out.exists && !S_ISREG(out.st.st_mode) &&
                                                             !S_ISBLK(out.st.st_mode) && !S_ISCHR(out.st.st_mode));
    o.own_wav = o.kind == container::wav && in.direct && o.channels <= 2 && o.known_frames >= 0 && !may_grow(o);
    if (o.kind != container::raw && !o.own_wav) {
        if (const char* why_not = sndfile_load()) return problem(why_not);
        SF_INFO check{0, o.rate, o.channels, sndfile_major(o.kind) | SF_FORMAT_PCM_16, 0, 0};
        if (!snd::format_check(&check)) {
            return problem(words({container_name(o.kind), " cannot hold ", std::to_string(o.channels),
                                  " channels of 16-bit samples at ", std::to_string(o.rate), " Hz"}));
        }
    }
    if (o.streamed) return into_pipe(o);
    return {};
}

output_problem audio_output_open(audio_output& o, const output_file& out, block_writer& w) {
    w.fd = out.fd;
    w.channels = o.channels;
    if (!o.streamed && lseek(out.fd, 0, SEEK_CUR) < 0) { // a character device that cannot seek: a terminal
        o.streamed = true;
        if (output_problem p = into_pipe(o)) return p;
    }
    if (o.kind == container::raw || o.own_wav || (o.streamed && o.kind == container::wav)) {
        o.fd = out.fd;
        if (o.kind == container::wav) {
            unsigned char header[WAV_HEADER_MAX];
            const std::size_t n = wav_header(header, o.rate, o.channels, o.known_frames);
            if (!write_all(o.fd, header, n)) return system_problem("cannot write", errno);
        }
        return {};
    }
    // WAV is written as players expect it: the plain PCM header for one or
    // two channels, WAVE_FORMAT_EXTENSIBLE for more. A recording that may
    // pass 4 GiB (or whose length is unknown) goes out as RF64, which
    // libsndfile turns back into WAV if it ends under 4 GiB after all.
    int major = sndfile_major(o.kind);
    const bool wav = o.kind == container::wav;
    if (wav) major = may_grow(o) ? SF_FORMAT_RF64 : o.channels > 2 ? SF_FORMAT_WAVEX : SF_FORMAT_WAV;
    SF_INFO info{0, o.rate, o.channels, major | SF_FORMAT_PCM_16, 0, 0};
    o.sf = snd::open_fd(out.fd, SFM_WRITE, &info, SF_FALSE);
    if (o.sf == nullptr) return problem(snd::strerror(nullptr));
    if (wav && major == SF_FORMAT_RF64) snd::command(o.sf, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    if (o.source != nullptr) copy_metadata(o);
    w.sf = o.sf;
    return {};
}

void audio_output_ready(const audio_output& o, std::int16_t* frames, std::size_t count) {
    if (o.sf == nullptr) encode_le(frames, reinterpret_cast<unsigned char*>(frames), count); // in place
}

output_problem audio_output_close(audio_output& o) {
    if (o.sf == nullptr) return {};
    // libsndfile closes a WAV that holds no frames without counting its
    // strings in the RIFF size, which then ends before the data chunk: the
    // header written now counts them.
    if (o.kind == container::wav) snd::command(o.sf, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    const int close_err = snd::close(o.sf);
    o.sf = nullptr;
    if (close_err != 0) return problem(snd::error_number(close_err));
    return {};
}

output_problem audio_output_write_failure(const audio_output& o, int err) {
    if (o.sf != nullptr && snd::error(o.sf) != SF_ERR_NO_ERROR) return problem(snd::strerror(o.sf));
    return system_problem("cannot write", err);
}

void audio_output_release(audio_output& o) {
    if (o.sf) snd::close(o.sf);
    o.sf = nullptr;
}

} // namespace zek
