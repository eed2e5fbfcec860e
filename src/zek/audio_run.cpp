// The audio-file path: an input in a container libsndfile reads, levelled by
// the stream API (every channel on its own, a 10 ms window at the file's
// rate, aligned and of the same length), written as 16-bit PCM in the
// container the output's name asks for, or else the input's.
#include "zek/audio_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/stream.h"
#include "audio/recording.h"
#include "zek/limiter_storage.h"

namespace zek {

namespace {

// Samples per buffer. A long file, read ahead on a thread, takes large
// blocks, so that the three threads hand them over seldom. A pipe takes
// small ones, which keep a live stream moving (libsndfile waits for a whole
// block from a pipe), and so does a short file, whose few pages are faulted
// in once and used again.
constexpr std::size_t BLOCK_SAMPLES = std::size_t{1} << 14;
constexpr std::size_t FILE_BLOCK_SAMPLES = std::size_t{1} << 19;

// Everything one run holds; released by release().
struct job {
    const char* inp_path = nullptr;
    const char* out_path = nullptr;
    audio_input in;
    audio_output out;
    agc_stream* stream = nullptr;
    int frames_per_block = 0;
    std::int16_t* in16 = nullptr;  // two blocks: one is levelled while the reader reads the other
    std::int16_t* out16 = nullptr; // two blocks: one is filled while the writer writes the other
    std::size_t memory_bytes = 0;  // of the four blocks, in16's memory
    std::int64_t to_drop = 0;      // output frames still to drop: the stream's latency
    agc_loudness* meter = nullptr; // the probe's, when the run is asked what it writes
    agc_loudness* input_meter = nullptr; // and what it reads
    agc_loudness* peak_meter = nullptr;  // and the true peak of what it writes, on this thread
    bool threads = false;          // read ahead and write on threads of their own
    // Where the levelled frames are given (options.levelled): the limiter
    // they go through in place of the stream's, and its storage.
    std::vector<unsigned char> post_memory;
    agc::limiter* post = nullptr;
    run_options options;
    block_reader reader;
    block_writer writer;
};

run_result input_problem(const job& j, std::string reason) {
    return failed(run_failure::input, "cannot read", j.inp_path, std::move(reason));
}

run_result output_failure(const job& j, const output_problem& p) {
    if (!p.reason.empty()) return failed(run_failure::output, p.what, j.out_path, p.reason);
    return failed(run_failure::output, p.what, j.out_path, p.err);
}

std::size_t block_samples(const job& j) {
    return static_cast<std::size_t>(j.frames_per_block) * static_cast<std::size_t>(j.in.info.channels);
}

void release(job& j) {
    audio_close(j.in);
    audio_output_release(j.out);
    agc_stream_destroy(j.stream);
    blocks_free(j.in16, j.memory_bytes);
    j.stream = nullptr;
    j.in16 = j.out16 = nullptr;
}

// The output's container and how it is written, and the run's buffers: what
// can fail is set up before the output is opened.
run_result plan_output(job& j, container in_kind, const output_file& out, const run_options& options) {
    if (const output_problem p = audio_output_plan(j.out, j.in, in_kind, out, j.out_path, options.format)) {
        return output_failure(j, p);
    }
    int error = 0;
    const agc_stream_options o = stream_options(options);
    j.stream = agc_stream_create_with(j.in.info.samplerate, j.in.info.channels, &o, &error);
    // The flush writes a whole latency at once, and with many channels at a
    // high rate that is more frames than a block of BLOCK_SAMPLES holds.
    const int latency = j.stream ? agc_stream_latency(j.stream) : 0;
    const std::size_t samples_wanted = j.threads ? FILE_BLOCK_SAMPLES : BLOCK_SAMPLES;
    const int frames = static_cast<int>(samples_wanted / static_cast<std::size_t>(j.in.info.channels));
    j.frames_per_block = frames > latency ? frames : latency;
    const std::size_t samples = static_cast<std::size_t>(j.frames_per_block) * static_cast<std::size_t>(j.in.info.channels);
    j.memory_bytes = 4 * samples * sizeof(std::int16_t);
    j.in16 = static_cast<std::int16_t*>(blocks_alloc(j.memory_bytes));
    j.out16 = j.in16 ? j.in16 + 2 * samples : nullptr;
    if (options.probe != nullptr) {
        if (options.probe->output) {
            options.probe->meter = agc_loudness_create(j.in.info.samplerate, j.in.info.channels,
                                                       loudness_probe::OUTPUT_MODES, nullptr);
        }
        j.meter = options.probe->meter;
        if (options.probe->input) {
            j.input_meter = options.probe->input_meter =
                agc_loudness_create(j.in.info.samplerate, j.in.info.channels, AGC_LOUDNESS_MODE_I, nullptr);
        }
    }
    const bool peak_meter = create_peak_meter(options.probe, j.in.info.samplerate, j.in.info.channels);
    if (options.probe != nullptr) j.peak_meter = options.probe->peak_meter;
    if (j.stream == nullptr || !j.in16 ||
        (options.probe != nullptr &&
         ((options.probe->output && j.meter == nullptr) || (options.probe->input && j.input_meter == nullptr) || !peak_meter))) {
        return failed(run_failure::output, "cannot write", j.out_path, ENOMEM);
    }
    j.to_drop = latency;
    if (options.probe != nullptr && !after_levelling(options)) options.probe->limiter_lead = latency;
    if (options.probe != nullptr) options.probe->rate = j.in.info.samplerate;
    return {};
}

std::int16_t* block(const job& j, int b) { return j.out16 + static_cast<std::size_t>(b) * block_samples(j); }
std::int16_t* input_block(const job& j, int i) { return j.in16 + static_cast<std::size_t>(i) * block_samples(j); }

// Hands n frames of the stream's output in block b to the writer, less those
// of its latency still to drop, under the gain when it is applied alone
// (unless `gained`: it has been).
void submit(job& j, int b, std::int64_t n, bool gained = false) {
    const auto channels = static_cast<std::size_t>(j.in.info.channels);
    std::int16_t* frames = block(j, b);
    if (j.peak_meter != nullptr) agc_loudness_add_frames(j.peak_meter, frames, static_cast<std::size_t>(n));
    const std::int64_t drop = n < j.to_drop ? n : j.to_drop;
    j.to_drop -= drop;
    n -= drop;
    const std::size_t count = static_cast<std::size_t>(n) * channels;
    if (drop > 0) std::memmove(frames, frames + static_cast<std::size_t>(drop) * channels, count * 2);
    if (n == 0) return;
    if (j.options.gain_alone && !gained) agc::limiter_gain_alone(frames, frames, count, j.options.gain_mdb);
    if (j.options.probe != nullptr && j.options.probe->take != nullptr) {
        j.options.probe->take(j.options.probe->watch_context, frames, static_cast<std::size_t>(n), j.in.info.channels);
    }
    audio_output_ready(j.out, frames, count);
    writer_submit(j.writer, b, count * 2);
}

// The writer's last blocks out and the output closed: the run's result
// (a failure before, or one of these, the first that came).
run_result finish_writing(job& j, const run_result& r) {
    const int err = writer_finish(j.writer);
    if (r.status != EXIT_OK) return r;
    if (err != 0) return output_failure(j, audio_output_write_failure(j.out, err));
    if (const output_problem p = audio_output_close(j.out)) return output_failure(j, p);
    return {};
}

// Levels block after block: the reader thread reads the next while one is
// levelled, and the writer thread writes the one before.
run_result level(job& j) {
    int b = 0;
    run_result r;
    bool writing = true; // no write has failed
    j.reader.audio = &j.in;
    reader_start(j.reader, reinterpret_cast<unsigned char*>(input_block(j, 0)),
                 reinterpret_cast<unsigned char*>(input_block(j, 1)), static_cast<std::size_t>(j.frames_per_block),
                 j.threads);
    for (int i = 0;; i ^= 1) {
        const std::int64_t n = reader_take(j.reader, i);
        if (n < 0) {
            r = j.in.failure.empty() ? failed(run_failure::input, "cannot read", j.inp_path, ENOMEM)
                                     : input_problem(j, j.in.failure);
            break;
        }
        if (n == 0) break;
        if (cancelled(j.options)) {
            r = failed(run_failure::input, "cannot read", j.inp_path, EINTR);
            break;
        }
        if (!(writing = writer_wait_free(j.writer, b))) break;
        if (j.input_meter != nullptr) agc_loudness_add_frames(j.input_meter, input_block(j, i), static_cast<std::size_t>(n));
        agc_stream_process(j.stream, input_block(j, i), block(j, b), static_cast<int>(n));
        reader_give_back(j.reader, i);
        submit(j, b, n);
        b ^= 1;
    }
    reader_finish(j.reader);
    if (writing && r.status == EXIT_OK) { // else a failed write says why, below
        const std::string problem = audio_check_end(j.in);
        if (!problem.empty()) r = input_problem(j, problem);
    }
    if (writing && r.status == EXIT_OK && writer_wait_free(j.writer, b)) {
        submit(j, b, agc_stream_flush(j.stream, block(j, b)));
        end_peak_meter(j.options.probe, j.in.info.channels);
    }
    return finish_writing(j, r);
}

// The levelled frames given, block after block, through a limiter of the
// stream's (which it takes in after the stream's own latency of silence,
// so that its blocks fall on the same frames) or the gain alone, to the
// writer: the bytes a run that levels writes.
run_result write_levelled(job& j) {
    const auto nc = static_cast<std::size_t>(j.in.info.channels);
    const std::int16_t* from = j.options.levelled;
    const std::size_t frames = j.options.levelled_frames;
    const auto per_block = static_cast<std::size_t>(j.frames_per_block);
    run_result r;
    bool writing = true;
    int b = 0;
    j.to_drop = j.post ? j.post->latency : 0;
    for (std::size_t at = 0; writing && at < frames; at += per_block, b ^= 1) {
        if (cancelled(j.options)) {
            r = failed(run_failure::input, "cannot read", j.inp_path, EINTR);
            break;
        }
        if (!(writing = writer_wait_free(j.writer, b))) break;
        const std::size_t n = std::min(per_block, frames - at);
        const std::int16_t* x = from + at * nc;
        if (j.post) {
            agc::limiter_process(*j.post, x, block(j, b), static_cast<int>(n));
        } else if (j.options.gain_alone) {
            agc::limiter_gain_alone(x, block(j, b), n * nc, j.options.gain_mdb);
        } else {
            std::memcpy(block(j, b), x, n * nc * sizeof(std::int16_t));
        }
        submit(j, b, static_cast<std::int64_t>(n), true);
    }
    if (writing && r.status == EXIT_OK && j.post && writer_wait_free(j.writer, b)) {
        agc::limiter_process(*j.post, nullptr, block(j, b), j.post->latency);
        submit(j, b, j.post->latency, true);
    }
    return finish_writing(j, r);
}

// The limiter for levelled frames given, where the options ask for one.
void plan_levelled(job& j) {
    if (j.options.levelled == nullptr || !after_levelling(j.options) || j.options.gain_alone) return;
    const int channels = j.in.info.channels;
    j.post = place_limiter(j.post_memory, channels);
    agc::limiter_init(*j.post, j.in.info.samplerate, channels, j.options.limit ? j.options.ceiling_mdb : 0);
    agc::limiter_set_gain(*j.post, j.options.gain_mdb, 0);
    agc::limiter_skip_silence(*j.post, agc_stream_latency(j.stream) - j.post->latency);
}

} // namespace

run_result run_audio(const input_file& inp, container kind, output_file& out, const char* inp_path,
                     const char* out_path, const run_options& options) {
    job j;
    j.inp_path = inp_path;
    j.out_path = out_path;
    j.options = options;
    const std::string problem = audio_open(j.in, inp, kind, inp_path);
    // Short files are read and written on this thread alone: starting two
    // threads would cost more than it saves.
    j.threads = problem.empty() && worth_reading_ahead(inp.fd, inp.st, FILE_BLOCK_SAMPLES * 2);
    run_result r = problem.empty() ? plan_output(j, kind, out, options) : input_problem(j, problem);
    if (r.status != EXIT_OK) {
        release(j);
        return r;
    }
    auto* blocks = reinterpret_cast<unsigned char*>(j.out16);
    writer_start(j.writer, blocks, reinterpret_cast<unsigned char*>(block(j, 1)), j.threads || !S_ISREG(inp.st.st_mode));
    if (const int err = output_open(out)) {
        r = failed(run_failure::output, "cannot open", out_path, err);
    } else if (const output_problem p = audio_output_open(j.out, out, j.writer)) {
        r = output_failure(j, p);
    }
    j.writer.meter = j.meter; // what is written is measured as it is written
    j.writer.meter_batch = meter_batch_frames(j.in.info.samplerate, j.writer.channels);
    if (options.probe) {
        j.writer.watch = options.probe->watch, j.writer.watch_context = options.probe->watch_context;
        j.writer.discard = options.probe->discard;
    }
    if (r.status == EXIT_OK) {
        plan_levelled(j);
        r = options.levelled ? write_levelled(j) : level(j);
        r.stats.kind = j.out.kind;
        r.stats.frames = j.in.frames_read;
        r.stats.rate = j.in.info.samplerate;
        r.stats.channels = j.in.info.channels;
        agc_stream_get_stats(j.stream, &r.stats.gain);
    } else {
        writer_finish(j.writer);
    }
    const std::string note = audio_conversion_note(j.in, inp_path);
    release(j);
    if (r.status != EXIT_OK) {
        output_abandon(out);
        return r;
    }
    r.note = note; // the output is left for the caller to commit
    return r;
}

} // namespace zek
