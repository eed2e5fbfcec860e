// The audio-file path: an input in a container libsndfile reads, levelled by
// the stream API (every channel on its own, a 10 ms window at the file's
// rate, aligned and of the same length), written as 16-bit PCM in the
// container the output's name asks for, or else the input's.
#include "zek/audio_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <utility>

#include "agc/stream.h"
#include "zek/audio_input.h"
#include "zek/block_writer.h"
#include "zek/file_io.h"
#include "zek/samples.h"
#include "zek/wav_header.h"

namespace zek {

namespace {

// Samples per buffer: large enough that libsndfile and the engine work in
// long runs, small enough to stay in the cache.
constexpr std::size_t BLOCK_SAMPLES = std::size_t{1} << 16;

// Everything one run holds; released by release().
struct job {
    const char* inp_path = nullptr;
    const char* out_path = nullptr;
    audio_input in;
    container out_kind = container::none;
    bool streamed = false;   // written in one pass, by zek (WAV, raw) or libsndfile (AU), no seeking back
    SNDFILE* out = nullptr;  // libsndfile writes the container
    int out_fd = -1;         // or zek writes little-endian samples here
    agc_stream* stream = nullptr;
    int frames_per_block = 0;
    std::int16_t* in16 = nullptr;
    std::int16_t* out16 = nullptr; // two blocks: one is filled while the writer writes the other
    std::int64_t to_drop = 0;      // output frames still to drop: the stream's latency
    block_writer writer;
};

run_result input_problem(const job& j, std::string reason) {
    return failed(run_failure::input, "cannot read", j.inp_path, std::move(reason));
}

run_result output_problem(const job& j, std::string reason) {
    return failed(run_failure::output, "cannot write", j.out_path, std::move(reason));
}

void release(job& j) {
    audio_close(j.in);
    if (j.out) sf_close(j.out);
    agc_stream_destroy(j.stream);
    std::free(j.in16);
    std::free(j.out16);
    j.out = nullptr;
    j.stream = nullptr;
    j.in16 = j.out16 = nullptr;
}

// Every container but WAV, AU and raw samples goes back to its header when
// it is complete, which a pipe does not allow.
run_result pipe_refusal(const job& j) {
    return output_problem(j, words({container_name(j.out_kind),
                                    " cannot be written into a pipe: name an output file, or send WAV (a WAV input, "
                                    "or a file name ending in .wav) or raw samples (.raw) into the pipe"}));
}

// The output's container and how it is written, and its buffers: what can
// fail is set up before the output is opened.
run_result plan_output(job& j, container in_kind, const output_file& out) {
    const container named = container_of_name(j.out_path);
    j.out_kind = named != container::none ? named : in_kind;
    j.streamed = out.way == output_way::standard_output || (out.exists && !S_ISREG(out.st.st_mode) &&
                                                             !S_ISBLK(out.st.st_mode) && !S_ISCHR(out.st.st_mode));
    if (j.out_kind != container::raw) {
        SF_INFO check{0, j.in.info.samplerate, j.in.info.channels, sndfile_major(j.out_kind) | SF_FORMAT_PCM_16, 0, 0};
        if (!sf_format_check(&check)) {
            return output_problem(j, words({container_name(j.out_kind), " cannot hold ",
                                            std::to_string(j.in.info.channels), " channels of 16-bit samples at ",
                                            std::to_string(j.in.info.samplerate), " Hz"}));
        }
    }
    if (j.streamed && !writes_to_pipe(j.out_kind)) return pipe_refusal(j);

    int error = 0;
    j.stream = agc_stream_create(j.in.info.samplerate, j.in.info.channels, &error);
    j.frames_per_block = static_cast<int>(BLOCK_SAMPLES / static_cast<std::size_t>(j.in.info.channels));
    const std::size_t samples = static_cast<std::size_t>(j.frames_per_block) * static_cast<std::size_t>(j.in.info.channels);
    j.in16 = static_cast<std::int16_t*>(std::malloc(samples * sizeof(std::int16_t)));
    j.out16 = static_cast<std::int16_t*>(std::malloc(2 * samples * sizeof(std::int16_t)));
    if (j.stream == nullptr || !j.in16 || !j.out16) {
        return failed(run_failure::output, "cannot write", j.out_path, ENOMEM);
    }
    j.to_drop = agc_stream_latency(j.stream);
    return {};
}

// Carries over what libsndfile knows beyond the samples: the text strings,
// the broadcast extension and the speaker positions of the channels. A
// container that cannot hold one of them simply goes without.
void copy_metadata(job& j) {
    for (int kind = SF_STR_FIRST; kind <= SF_STR_LAST; ++kind) {
        if (const char* s = sf_get_string(j.in.sf, kind)) sf_set_string(j.out, kind, s);
    }
    SF_BROADCAST_INFO bext{};
    if (sf_command(j.in.sf, SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE) {
        sf_command(j.out, SFC_SET_BROADCAST_INFO, &bext, sizeof bext);
    }
    int map[AGC_MAX_CHANNELS];
    const int map_bytes = static_cast<int>(sizeof(int)) * j.in.info.channels;
    if (sf_command(j.in.sf, SFC_GET_CHANNEL_MAP_INFO, map, map_bytes) == SF_TRUE) {
        sf_command(j.out, SFC_SET_CHANNEL_MAP_INFO, map, map_bytes);
    }
}

run_result open_output(job& j, output_file& out) {
    if (const int err = output_open(out)) return failed(run_failure::output, "cannot open", j.out_path, err);
    j.writer.fd = out.fd;
    j.writer.channels = j.in.info.channels;
    if (!j.streamed && lseek(out.fd, 0, SEEK_CUR) < 0) { // a character device that cannot seek: a terminal
        j.streamed = true;
        if (!writes_to_pipe(j.out_kind)) return pipe_refusal(j);
    }
    if (j.out_kind == container::raw || (j.streamed && j.out_kind == container::wav)) {
        j.out_fd = out.fd;
        if (j.out_kind == container::wav) {
            unsigned char header[WAV_HEADER_MAX];
            const std::size_t n = wav_header(header, j.in.info.samplerate, j.in.info.channels, j.in.known_frames);
            if (!write_all(j.out_fd, header, n)) return failed(run_failure::output, "cannot write", j.out_path, errno);
        }
        return {};
    }
    // WAV is written as players expect it: the plain PCM header for one or
    // two channels, WAVE_FORMAT_EXTENSIBLE for more. A recording that may
    // pass 4 GiB (or whose length is unknown) goes out as RF64, which
    // libsndfile turns back into WAV if it ends under 4 GiB after all.
    int major = sndfile_major(j.out_kind);
    const bool wav = j.out_kind == container::wav;
    const bool may_grow = j.in.known_frames < 0 || j.in.known_frames * 2 * j.in.info.channels > 0xFFFFFFFFll - (1 << 20);
    if (wav) major = may_grow ? SF_FORMAT_RF64 : j.in.info.channels > 2 ? SF_FORMAT_WAVEX : SF_FORMAT_WAV;
    SF_INFO info{0, j.in.info.samplerate, j.in.info.channels, major | SF_FORMAT_PCM_16, 0, 0};
    j.out = sf_open_fd(out.fd, SFM_WRITE, &info, SF_FALSE);
    if (j.out == nullptr) return output_problem(j, sf_strerror(nullptr));
    if (major == SF_FORMAT_RF64) sf_command(j.out, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    copy_metadata(j);
    j.writer.sf = j.out;
    return {};
}

std::int16_t* block(const job& j, int b) {
    return j.out16 + static_cast<std::size_t>(b) * static_cast<std::size_t>(j.frames_per_block) *
                         static_cast<std::size_t>(j.in.info.channels);
}

// Hands n frames of the stream's output in block b to the writer, less those
// of its latency still to drop.
void submit(job& j, int b, std::int64_t n) {
    const auto channels = static_cast<std::size_t>(j.in.info.channels);
    std::int16_t* frames = block(j, b);
    const std::int64_t drop = n < j.to_drop ? n : j.to_drop;
    j.to_drop -= drop;
    n -= drop;
    const std::size_t count = static_cast<std::size_t>(n) * channels;
    if (drop > 0) std::memmove(frames, frames + static_cast<std::size_t>(drop) * channels, count * 2);
    if (n == 0) return;
    if (j.out == nullptr) encode_le(frames, reinterpret_cast<unsigned char*>(frames), count); // in place
    writer_submit(j.writer, b, count * 2);
}

run_result write_failure(const job& j, int err) {
    if (j.out != nullptr && sf_error(j.out) != SF_ERR_NO_ERROR) return output_problem(j, sf_strerror(j.out));
    return failed(run_failure::output, "cannot write", j.out_path, err);
}

// Reads, levels and hands over block after block; the writer thread writes
// each one while the next is read and levelled.
run_result level(job& j) {
    int b = 0;
    run_result r;
    bool writing = true; // no write has failed
    for (;;) {
        const std::int64_t n = audio_read(j.in, j.in16, j.frames_per_block);
        if (n < 0) {
            r = failed(run_failure::input, "cannot read", j.inp_path, ENOMEM);
            break;
        }
        if (n == 0) break;
        if (!(writing = writer_wait_free(j.writer, b))) break;
        agc_stream_process(j.stream, j.in16, block(j, b), static_cast<int>(n));
        submit(j, b, n);
        b ^= 1;
    }
    if (writing && r.status == EXIT_OK) { // else a failed write says why, below
        const std::string problem = audio_check_end(j.in);
        if (!problem.empty()) r = input_problem(j, problem);
    }
    if (writing && r.status == EXIT_OK && writer_wait_free(j.writer, b)) {
        submit(j, b, agc_stream_flush(j.stream, block(j, b)));
    }
    const int err = writer_finish(j.writer);
    if (r.status != EXIT_OK) return r;
    if (err != 0) return write_failure(j, err);
    if (j.out != nullptr) {
        const int close_err = sf_close(j.out);
        j.out = nullptr;
        if (close_err != 0) return output_problem(j, sf_error_number(close_err));
    }
    return {};
}

} // namespace

run_result run_audio(const input_file& inp, container kind, output_file& out, const char* inp_path,
                     const char* out_path) {
    job j;
    j.inp_path = inp_path;
    j.out_path = out_path;
    const std::string problem = audio_open(j.in, inp, kind, inp_path);
    run_result r = problem.empty() ? plan_output(j, kind, out) : input_problem(j, problem);
    if (r.status != EXIT_OK) {
        release(j);
        return r;
    }
    auto* blocks = reinterpret_cast<unsigned char*>(j.out16);
    writer_start(j.writer, blocks, reinterpret_cast<unsigned char*>(block(j, 1)));
    r = open_output(j, out);
    if (r.status == EXIT_OK) {
        r = level(j);
    } else {
        writer_finish(j.writer);
    }
    const std::string note = audio_conversion_note(j.in, inp_path);
    release(j);
    if (r.status != EXIT_OK) {
        output_abandon(out);
        return r;
    }
    if (const int err = output_commit(out)) return failed(run_failure::output, "cannot write", out_path, err);
    r.note = note;
    return r;
}

} // namespace zek
