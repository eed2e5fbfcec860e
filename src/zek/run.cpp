// The command line, the two sample files, the lead-in and the hop loop.
#include "zek/tool.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "agc/agc.h"
#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/process_fast.h"
#include "agc/speech.h"
#include "audio/recording.h"
#include "zek/audio_run.h"
#include "zek/batch.h"
#include "zek/limiter_storage.h"
#include "zek/loudness_run.h"
#include "zek/options.h"
#include "zek/settings.h"

#ifndef ZEK_VERSION
#define ZEK_VERSION "0.0.0"
#endif

namespace zek {

namespace {

constexpr const char* USAGE_TEXT[] = {
    "\n ZEK winsize comp input output <optionnal adaptive gain file> ",
    "\n     window size = 10*FS[kHz],  I/O files are in PCM raw format (short integer) ",
    "\n     the adaptive gain file emulates the microphone noise detection ",
};
// What --help prints: how zek is used today. The three strings above stay
// what zek prints without arguments, as scripts that call it expect.
constexpr const char* HELP_TEXT =
    "usage: zek [OPTIONS] INPUT OUTPUT\n"
    "       zek [OPTIONS] -o OUTDIR INPUT...\n"
    "       zek -h | --help | --version\n"
    "\n"
    "Evens out the loudness of speech: quiet passages are raised by up to 36 dB,\n"
    "loud ones are held just below full scale, and the gain glides from one\n"
    "5 ms hop to the next.\n"
    "\n"
    "Options (before INPUT; \"--\" ends them):\n"
    "  --speech     speech-aware: pauses between sentences are not raised with\n"
    "               the speech (the detector looks 480 ms ahead)\n"
    "  --live       with --speech, look only 30 ms ahead, as the plugins and\n"
    "               the browser's worklet do live\n"
    "  --comp X     compression weight, 0 to 1 (default 1): 0 raises nothing\n"
    "               (the output is 0.15 dB quieter, loud passages still held down)\n"
    "  --link       one gain for all channels, from the loudest, so that a\n"
    "               stereo image stays in place (default: each on its own)\n"
    "  --mix FILE   one weight per hop from your own voice detection, in place of\n"
    "               --comp (a --comp beside it is ignored, with a warning):\n"
    "               16-bit little-endian values from 0 to 32767 (32767 is 1),\n"
    "               one per hop after the first 512 samples; the last repeats\n"
    "  --target LUFS  make the output's integrated loudness LUFS (-70 to -5):\n"
    "               INPUT is levelled once to measure it (a pipe is kept in a\n"
    "               temporary file meanwhile), and written under the gain that\n"
    "               brings it there; without --true-peak, peaks are held at\n"
    "               0 dBTP so that nothing clips\n"
    "  --true-peak DBTP  hold every true peak (between the samples as well as at\n"
    "               them) at or under DBTP (-9 to 0) with a look-ahead limiter\n"
    "               that leaves what stays under it untouched\n"
    "  --preset NAME  a delivery standard: podcast (--speech, -16 LUFS,\n"
    "               -1 dBTP, mono as stereo), ebu (-23 LUFS, -1 dBTP) or\n"
    "               streaming (-14 LUFS, -1 dBTP); --target and --true-peak\n"
    "               given as well take precedence\n"
    "\n"
    "Many files (-o OUTDIR; the options above apply to every file):\n"
    "  -o OUTDIR    level each INPUT into OUTDIR: a file under its own name, a\n"
    "               folder's audio files (subfolders included, told by their\n"
    "               content, not by name) under their paths in it; raw samples\n"
    "               only from files named alone. Each output has its input's\n"
    "               container and replaces an existing one only on success\n"
    "  -j N         N files at a time (default: one per core)\n"
    "  --format EXT every audio output in this container, its extension EXT\n"
    "               (wav, flac, aiff, w64, rf64, au, caf, sph, voc or raw)\n"
    "  --progress   progress on standard error even when it is no terminal\n"
    "               (a line every 5 s); --quiet: no progress, no summary\n"
    "  --force      level every file again, even those done before\n"
    "  --loudness   measure each input's and output's integrated loudness\n"
    "               into the manifest (the meter's time on top of the run's)\n"
    "  OUTDIR/zek-manifest.jsonl records each input as it finishes (status,\n"
    "  length, options, the output's SHA-256, the gain's range, the loudness\n"
    "  in and out with --loudness); the same\n"
    "  command again skips the files it shows done whose input, options and\n"
    "  output are unchanged. Ctrl-C stops at once, keeping the old outputs of\n"
    "  the files in flight (exit status 130).\n"
    "\n"
    "INPUT is recognised by its content, whatever its name:\n"
    "  audio file  WAV (WAVE_FORMAT_EXTENSIBLE included), RF64, W64, AIFF, FLAC,\n"
    "              AU, CAF, NIST SPHERE or VOC, at 8000 to 96000 Hz, with 1 to 256\n"
    "              channels of 8- to 32-bit or floating-point samples. OUTPUT\n"
    "              has the same rate, channels and length, every sample in its\n"
    "              place; each channel is levelled on its own with a 10 ms window.\n"
    "              OUTPUT holds 16-bit samples (deeper ones lose their low bits)\n"
    "              in the container its name ends in (.wav .rf64 .w64 .aif .aiff\n"
    "              .flac .au .caf .sph .voc, or .raw for bare samples), otherwise\n"
    "              in INPUT's. Into a pipe go WAV, AU and raw samples only (WAV\n"
    "              when OUTPUT's name gives no container, as /dev/stdout).\n"
    "              Compressed audio (MP3, AAC, Ogg, ...) is refused: decode it\n"
    "              first; so is a file shorter than its header says.\n"
    "  raw file    anything else: 16-bit signed little-endian mono samples, taken\n"
    "              to be at 48 kHz. The first 512 samples are copied unchanged and\n"
    "              the rest come out one 240-sample hop late; the last whole hop\n"
    "              and any partial hop are dropped, so OUTPUT is shorter.\n"
    "\n"
    "/dev/stdin and /dev/stdout work, as the descriptors they name. An existing\n"
    "OUTPUT is replaced only when the run succeeds.\n"
    "\n"
    "Exit status: 0 done; 1 INPUT or the weight file cannot be read or taken,\n"
    "OUTPUT cannot be written, or they are the same file; 2 missing arguments or\n"
    "a bad option. With -o: 0 every file done; 1 any file failed; 2 as above;\n"
    "130 interrupted.\n";

constexpr const char* MSG_OUTPUT_ERROR = "\nbinary output file error ";
constexpr const char* MSG_INPUT_ERROR = "\nbinary input file error ";
constexpr const char* MSG_SAME_FILE = "\ninput and output are the same file ";

constexpr std::size_t HOP_BYTES = 2 * hop;
constexpr std::size_t LEAD_IN_BYTES = 2 * LEAD_IN_SAMPLES;
// Block I/O: many hops per system call. Reads return what a pipe holds, so a
// live stream is processed and written as it arrives, never held for a block.
constexpr std::size_t BLOCK_BYTES = HOP_BYTES * 2048;
// Room before each input block's bytes for what the block before left over (a
// partial hop, or an odd byte of the lead-in): it goes there, so that the hop
// it starts is processed whole where it lies. Two more bytes at the end let
// the block's bytes move up one, to keep samples at even addresses.
constexpr std::size_t HEAD_BYTES = HOP_BYTES;

// What one run of the raw path holds: the engine state, and the file blocks
// with their reader and writer (in memory of their own, about 4 MB for a long
// input, less for a short one), allocated once for the run, so that memory
// stays flat whatever the input's length and runs on distinct threads (a
// Python program's) never meet.
struct raw_run {
    agc_state state;
    agc_speech speech; // the speech detector, in speech-aware mode
    std::unique_ptr<unsigned char[]> ahead; // its look-ahead's storage
    int hops_to_skip = 0; // the look-ahead's silent hops at the start, not written out
    agc_frame frame;   // hop buffers for byte-swapping hosts
    block_reader reader;
    block_writer writer;
    run_options options;
    std::uint64_t hops = 0;     // hops processed after the lead-in: the index into options.mix
    std::uint64_t bytes_in = 0; // of the input, for the record of the run
    agc_stream_stats stats{};   // the gain's range and the speech hops
    std::size_t block_bytes = 0; // what a block takes: whole hops
    unsigned char* memory = nullptr; // two input blocks, then two output blocks
    // After the levelling: the gain and the limiter (when the options ask
    // for them), the output frames of its latency still to drop, the
    // probe's meter, and the samples of a block on their way through.
    std::vector<unsigned char> post_memory;
    agc::limiter* post = nullptr;
    std::int64_t to_drop = 0;
    agc_loudness* meter = nullptr;
    agc_loudness* input_meter = nullptr; // the probe's, when it asks for the input's loudness
    agc_loudness* peak_meter = nullptr;  // and the probe's of the true peak, fed on this thread
    std::vector<std::int16_t> post_samples;

    std::size_t input_stride() const { return (HEAD_BYTES + block_bytes + 2 + 63) & ~std::size_t{63}; }
    std::size_t memory_bytes() const { return 2 * input_stride() + 2 * block_bytes; }
    unsigned char* inp_block(int b) { return memory + static_cast<std::size_t>(b) * input_stride(); }
    unsigned char* out_block(int b) { return memory + 2 * input_stride() + static_cast<std::size_t>(b) * block_bytes; }
    ~raw_run() { blocks_free(memory, memory_bytes()); }
};

// Blocks for a short file, read and written on one thread: small, so that
// the few pages they take are faulted in once and used again.
constexpr std::size_t SHORT_BLOCK_BYTES = HOP_BYTES * 64;

// The blocks for an input: whole hops, many for a long file or a pipe (a
// pipe's reads give what it holds, and fault in only what they fill), few
// for a short file.
std::size_t raw_block_bytes(const input_file& inp) {
    if (!S_ISREG(inp.st.st_mode)) return BLOCK_BYTES;
    const off_t at = lseek(inp.fd, 0, SEEK_CUR);
    const std::uint64_t left = at >= 0 && inp.st.st_size > at ? static_cast<std::uint64_t>(inp.st.st_size - at) : 0;
    return left > BLOCK_BYTES ? BLOCK_BYTES : SHORT_BLOCK_BYTES;
}

// One hop from file bytes at `from` to output block b at `to` (both at even
// addresses). On a little-endian host the bytes already are the samples:
// the engine reads and writes the blocks directly, with no copy.
//
// In the speech-aware mode the engine looks ahead: its first hops out are
// the look-ahead's silence, dropped here, and silent hops at the end bring
// out the last ones, so that the output keeps the default mode's layout.
// Returns whether a hop was written.
bool process_hop_at(raw_run& w, const unsigned char* from, int b, std::size_t to) {
    const std::int16_t mix = hop_weight(w.options, w.hops++);
    const bool skip = w.hops_to_skip > 0;
    if (skip) --w.hops_to_skip;
    std::int16_t gain;
    if constexpr (std::endian::native == std::endian::little) {
        const auto* in = reinterpret_cast<const std::int16_t*>(from);
        auto* out = skip ? w.frame.out : reinterpret_cast<std::int16_t*>(w.out_block(b) + to);
        gain = w.options.speech ? agc::process_hop_speech(in, out, w.state, w.speech, mix)
                                : agc::process_hop(in, out, w.state, mix);
    } else {
        decode_le(from, w.frame.in, hop);
        gain = w.options.speech ? agc_process_speech(w.frame, w.state, w.speech, mix)
                                : agc_process(w.frame, w.state, mix);
        if (!skip) encode_le(w.frame.out, w.out_block(b) + to, hop);
    }
    if (skip) return false;
    // The gain's range and the hops taken as speech, as the stream counts them.
    agc_stream_stats& s = w.stats;
    if (s.hops == 0 || gain < s.min_gain) s.min_gain = gain;
    if (s.hops == 0 || gain > s.max_gain) s.max_gain = gain;
    ++s.hops;
    if (w.options.speech && agc_speech_in_speech(w.speech)) ++s.speech_hops;
    return true;
}

struct stream_result {
    int err;          // errno of the failure, 0 when the input ended normally
    bool output_side; // the failure was a write, not a read
};

// Hands the first `bytes` of output block b to the writer, and to the
// probe's taker on this thread.
void submit_block(raw_run& w, int b, std::size_t bytes) {
    if (w.options.probe != nullptr && w.options.probe->take != nullptr) {
        void* context = w.options.probe->watch_context;
        if constexpr (std::endian::native == std::endian::little) {
            w.options.probe->take(context, reinterpret_cast<const std::int16_t*>(w.out_block(b)), bytes / 2, 1);
        } else {
            std::int16_t s[1024];
            for (std::size_t at = 0; at < bytes / 2; at += 1024) {
                const std::size_t n = std::min<std::size_t>(1024, bytes / 2 - at);
                decode_le(w.out_block(b) + 2 * at, s, n);
                w.options.probe->take(context, s, n, 1);
            }
        }
    }
    writer_submit(w.writer, b, bytes);
}

// What the run wrote in a block, through the stage after the levelling
// (gain and limiter, or the gain alone), in place; the limiter's latency
// is dropped from the front of the recording, so that the output keeps its
// place and length. Returns the bytes left in the block.
std::size_t finish_block(raw_run& w, unsigned char* block, std::size_t bytes) {
    if (w.peak_meter) measure_le(w.peak_meter, 1, block, bytes); // as a limiter here would take it in
    if (!w.post && !w.options.gain_alone) return bytes;
    std::size_t n = bytes / 2;
    std::int16_t* s = w.post_samples.data();
    decode_le(block, s, n);
    if (w.post) {
        agc::limiter_process(*w.post, s, s, static_cast<int>(n));
    } else {
        agc::limiter_gain_alone(s, s, n, w.options.gain_mdb);
    }
    const std::size_t drop = static_cast<std::size_t>(std::min<std::int64_t>(w.to_drop, static_cast<std::int64_t>(n)));
    w.to_drop -= static_cast<std::int64_t>(drop);
    n -= drop;
    encode_le(s + drop, block, n);
    return 2 * n;
}

// The end of the recording: the limiter's last latency samples (it is fed
// silence), into output block b.
stream_result finish_recording(raw_run& w, int b) {
    if (w.peak_meter) end_peak_meter(w.options.probe, 1);
    if (!w.post) return {0, false};
    if (!writer_wait_free(w.writer, b)) return {errno, true};
    const std::size_t n = static_cast<std::size_t>(w.post->latency);
    std::int16_t* s = w.post_samples.data();
    agc::limiter_process(*w.post, nullptr, s, static_cast<int>(n));
    const std::size_t drop = static_cast<std::size_t>(std::min<std::int64_t>(w.to_drop, static_cast<std::int64_t>(n)));
    encode_le(s + drop, w.out_block(b), n - drop);
    if (n > drop) submit_block(w, b, 2 * (n - drop));
    return {0, false};
}

void print_usage() {
    for (const char* line : USAGE_TEXT) std::fputs(line, stdout);
    std::fflush(stdout);
}

// Whether everything written to standard output so far reached it.
bool stdout_ok() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

// Each failure: the tool's message on standard output and, for people and
// logs, one line on standard error naming the file and the system's reason.
// When the output is standard output, as in `zek in.raw /dev/stdout | sox ...`,
// a message printed there would be spliced into the samples the next program
// reads, so the line on standard error carries it alone.
void print_failure(const run_result& r, const char* inp_path, const char* out_path) {
    if (!r.output_is_stdout) {
        std::fputs(r.message, stdout);
        std::fflush(stdout);
    }
    if (r.failure == run_failure::same_file) {
        std::fprintf(stderr, "zek: '%s' and '%s' are the same file\n", inp_path, out_path);
    } else {
        const std::string why = r.reason.empty() ? std::strerror(r.err) : r.reason;
        std::fprintf(stderr, "zek: %s '%s': %s\n", r.what, r.path, why.c_str());
    }
}


// The speech-aware mode's last hops: the look-ahead's silent hops in, the
// hops it still holds out, block after block.
stream_result flush_ahead(raw_run& w, int& b) {
    static const unsigned char silence[HOP_BYTES] = {};
    for (int left = w.speech.ahead; left > 0;) {
        if (!writer_wait_free(w.writer, b)) return {errno, true};
        std::size_t produced = 0;
        for (; left > 0 && produced + HOP_BYTES <= w.block_bytes; --left) {
            if (process_hop_at(w, silence, b, produced)) produced += HOP_BYTES;
        }
        if (produced > 0) produced = finish_block(w, w.out_block(b), produced);
        if (produced > 0) {
            submit_block(w, b, produced);
            b ^= 1;
        }
    }
    return {0, false};
}

// Moves the input through the lead-in and the hop loop until the input ends,
// taking the input blocks in turn while the reader reads the other, and
// filling the two output blocks in turn while the writer writes the other.
// Each read takes what is there, so a live stream is processed and handed to
// the writer as it arrives, never held back for a full block.
stream_result stream(raw_run& w) {
    unsigned char carried[HEAD_BYTES];     // what the last block left over
    std::size_t carry = 0;                 // bytes of it
    std::size_t lead_left = LEAD_IN_BYTES; // lead-in bytes still to copy
    int b = 0;                             // the output block being filled
    for (int i = 0;; i ^= 1) {
        const std::int64_t n = reader_take(w.reader, i);
        if (n < 0) return {errno, false};
        if (n == 0) { // a partial hop and an odd byte at the end are dropped
            if (w.input_meter) measure_le(w.input_meter, 1, carried, carry); // but they are the input's
            if (lead_left == 0 && w.options.speech) {
                if (const stream_result r = flush_ahead(w, b); r.err != 0) return r;
            }
            return finish_recording(w, b);
        }
        if (cancelled(w.options)) return {EINTR, false};
        w.bytes_in += static_cast<std::uint64_t>(n);
        unsigned char* fresh = w.inp_block(i) + HEAD_BYTES;
        if (carry % 2 != 0) { // an odd byte carried over: the samples must start at an even address
            std::memmove(fresh + 1, fresh, static_cast<std::size_t>(n));
            ++fresh;
        }
        unsigned char* const data = fresh - carry;
        std::memcpy(data, carried, carry);
        const std::size_t have = carry + static_cast<std::size_t>(n);
        if (!writer_wait_free(w.writer, b)) return {errno, true};

        std::size_t pos = 0, produced = 0;
        if (lead_left > 0) {
            // The lead-in is copied byte for byte, whole samples only.
            pos = produced = std::min(lead_left, have & ~std::size_t{1});
            std::memcpy(w.out_block(b), data, pos);
            lead_left -= pos;
        }
        if (lead_left == 0) {
            for (; have - pos >= HOP_BYTES; pos += HOP_BYTES) {
                if (process_hop_at(w, data + pos, b, produced)) produced += HOP_BYTES;
            }
        }
        if (w.input_meter) measure_le(w.input_meter, 1, data, pos); // what this block took of the input
        if (produced > 0) produced = finish_block(w, w.out_block(b), produced);
        if (produced > 0) {
            submit_block(w, b, produced);
            b ^= 1;
        }
        carry = have - pos;
        std::memcpy(carried, data + pos, carry);
        reader_give_back(w.reader, i);
    }
}

// The levelled samples given, block after block, through the stage after
// the levelling, to the writer: the bytes a run that levels writes.
stream_result write_levelled(raw_run& w) {
    const std::int16_t* from = w.options.levelled;
    const std::size_t samples = w.options.levelled_frames, per_block = w.block_bytes / 2;
    int b = 0;
    for (std::size_t at = 0; at < samples; at += per_block) {
        if (cancelled(w.options)) return {EINTR, false};
        if (!writer_wait_free(w.writer, b)) return {errno, true};
        const std::size_t n = std::min(per_block, samples - at);
        encode_le(from + at, w.out_block(b), n);
        if (const std::size_t produced = finish_block(w, w.out_block(b), 2 * n); produced > 0) {
            submit_block(w, b, produced);
            b ^= 1;
        }
    }
    return finish_recording(w, b);
}

// What zek does with an input that is not raw samples: levels an audio
// file, or refuses a compressed one. Returns false to go on with raw samples.
bool run_non_raw(const input_file& inp, output_file& out, const char* inp_path, const char* out_path,
                 const run_options& options, run_result& r) {
    std::string refusal;
    if (const int err = peek_compressed(inp, inp_path, refusal)) {
        r = failed(run_failure::input, "cannot read", inp_path, err);
        return true;
    }
    if (!refusal.empty()) {
        r = failed(run_failure::input, "cannot read", inp_path, refusal);
        return true;
    }
    unsigned char head[SNIFF_BYTES];
    const ssize_t got = peek_input(inp.fd, inp.st, head, SNIFF_BYTES);
    if (got < 0) {
        r = failed(run_failure::input, "cannot read", inp_path, errno);
        return true;
    }
    const auto n = static_cast<std::size_t>(got);
    const container kind = sniff_container(head, n);
    if (kind == container::none) return false;
    r = run_audio(inp, kind, out, inp_path, out_path, options);
    return true;
}

// The run: everything that can fail is set up before the output is touched.
// A successful run leaves its output pending in `out`, for the caller to commit.
run_result run(const char* inp_path, const char* out_path, const run_options& options, output_file& out) {
    // The input is opened and checked first: a mistyped input path must not
    // cost the user an existing output file.
    input_file inp;
    if (const int err = input_open(inp, inp_path)) return failed(run_failure::input, "cannot open", inp_path, err);
    if (const int err = input_check(inp)) return failed(run_failure::input, "cannot read", inp_path, err);

    // A compressed container zek does not write, asked for by name: refused
    // before anything is read, rather than written as WAV under that name.
    if (const char* compressed = compressed_of_name(out_path)) {
        input_close(inp);
        return failed(run_failure::output, "cannot write", out_path,
                      words({"zek does not write ", compressed, ", a compressed format: name the output .wav, .flac, "
                             ".aiff, .w64, .rf64, .au, .caf, .sph, .voc or .raw, and encode that afterwards"}));
    }
    if (const int err = output_find(out, out_path)) {
        input_close(inp);
        return failed(run_failure::output, "cannot open", out_path, err);
    }
    if (out.exists && same_file(inp.st, out.st)) {
        input_close(inp);
        return failed(run_failure::same_file, nullptr, out_path, 0);
    }
    // The weight file is an input too, read whole before the run: an output
    // written over it would leave neither the weights nor a way to redo the run.
    if (out.exists && options.mix_file != nullptr && same_file(*options.mix_file, out.st)) {
        input_close(inp);
        return failed(run_failure::output, "cannot write", out_path,
                      "it is the weight file given to --mix, which the output would overwrite");
    }
    if (run_result audio; run_non_raw(inp, out, inp_path, out_path, options, audio)) {
        input_close(inp);
        return audio;
    }
    const std::unique_ptr<raw_run> w(new (std::nothrow) raw_run);
    if (w) {
        w->block_bytes = raw_block_bytes(inp);
        w->memory = static_cast<unsigned char*>(blocks_alloc(w->memory_bytes()));
    }
    if (!w || !w->memory) {
        input_close(inp);
        return failed(run_failure::output, "cannot write", out_path, ENOMEM);
    }
    init_engine(w->state);
    agc_speech_init(w->speech);
    if (const int ahead = speech_ahead(options)) {
        w->ahead.reset(new (std::nothrow) unsigned char[agc_speech_storage(ahead)]);
        if (!w->ahead) {
            input_close(inp);
            return failed(run_failure::output, "cannot write", out_path, ENOMEM);
        }
        agc_speech_init_ahead(w->speech, static_cast<std::int16_t>(winsize), ahead, w->ahead.get());
        w->hops_to_skip = ahead;
    }
    w->options = options;
    if (options.probe) options.probe->rate = sample_rate;
    if (options.probe && options.probe->output) {
        w->meter = options.probe->meter =
            agc_loudness_create(sample_rate, 1, loudness_probe::OUTPUT_MODES, nullptr);
    }
    if (options.probe) {
        if (options.probe->input) {
            w->input_meter = options.probe->input_meter = agc_loudness_create(sample_rate, 1, AGC_LOUDNESS_MODE_I, nullptr);
        }
    }
    if (after_levelling(options)) w->post_samples.resize(std::max(w->block_bytes / 2, std::size_t{256}));
    if (after_levelling(options) && !options.gain_alone) {
        w->post = place_limiter(w->post_memory, 1);
        agc::limiter_init(*w->post, sample_rate, 1, options.limit ? options.ceiling_mdb : 0);
        agc::limiter_set_gain(*w->post, options.gain_mdb, 0);
        w->to_drop = w->post->latency;
    }
    const bool peak_meter = create_peak_meter(options.probe, sample_rate, 1);
    if (options.probe) w->peak_meter = options.probe->peak_meter;
    if (options.probe && ((options.probe->output && !w->meter) || (options.probe->input && !w->input_meter) || !peak_meter)) {
        input_close(inp);
        return failed(run_failure::output, "cannot write", out_path, ENOMEM);
    }
    // Short files are read and written on this thread alone: starting two
    // threads would cost more than it saves.
    const bool threads = worth_reading_ahead(inp.fd, inp.st, BLOCK_BYTES);
    writer_start(w->writer, w->out_block(0), w->out_block(1), threads || !S_ISREG(inp.st.st_mode));
    if (const int err = output_open(out)) {
        writer_finish(w->writer);
        input_close(inp);
        return failed(run_failure::output, "cannot open", out_path, err);
    }

    w->writer.fd = out.fd;
    w->writer.meter = w->meter; // what is written is measured as it is written
    w->writer.meter_batch = meter_batch_frames(sample_rate, 1);
    if (options.probe) {
        w->writer.watch = options.probe->watch, w->writer.watch_context = options.probe->watch_context;
        w->writer.discard = options.probe->discard;
    }
    w->reader.fd = inp.fd;
    if (!options.levelled) reader_start(w->reader, w->inp_block(0) + HEAD_BYTES, w->inp_block(1) + HEAD_BYTES, w->block_bytes, threads);
    stream_result r = options.levelled ? write_levelled(*w) : stream(*w);
    reader_finish(w->reader);
    const int write_err = writer_finish(w->writer);
    if (write_err != 0 && (r.err == 0 || r.output_side)) r = {write_err, true};
    input_close(inp);
    if (r.err != 0) {
        output_abandon(out);
        return r.output_side ? failed(run_failure::output, "cannot write", out_path, r.err)
                             : failed(run_failure::input, "cannot read", inp_path, r.err);
    }
    run_result done;
    done.stats.kind = container::raw;
    done.stats.frames = static_cast<std::int64_t>(w->bytes_in / 2);
    done.stats.rate = sample_rate;
    done.stats.channels = 1;
    done.stats.gain = w->stats;
    return done;
}

} // namespace

void end_peak_meter(loudness_probe* probe, int channels) {
    if (probe == nullptr || probe->peak_meter == nullptr) return;
    std::vector<std::int16_t> silence(static_cast<std::size_t>(agc::TRUE_PEAK_TAPS) * static_cast<std::size_t>(channels));
    agc_loudness_add_frames(probe->peak_meter, silence.data(), agc::TRUE_PEAK_TAPS);
}

run_result failed(run_failure failure, const char* what, const char* path, int err) {
    static constexpr const char* messages[] = {nullptr, MSG_INPUT_ERROR, MSG_OUTPUT_ERROR, MSG_SAME_FILE};
    run_result r;
    r.status = EXIT_FILE_ERROR;
    r.failure = failure;
    r.message = messages[static_cast<int>(failure)];
    r.what = what;
    r.path = path;
    r.err = err;
    return r;
}

run_result failed(run_failure failure, const char* what, const char* path, std::string reason) {
    run_result r = failed(failure, what, path, 0);
    r.reason = std::move(reason);
    return r;
}

run_result run_files(const char* inp_path, const char* out_path, output_file& out, const run_options& options) {
    const bool output_is_stdout = names_standard_output(out_path);
    run_result r = options.target ? run_to_loudness(inp_path, out_path, out, options) : run(inp_path, out_path, options, out);
    r.output_is_stdout = output_is_stdout;
    return r;
}

run_result finish_files(output_file& out, const run_result& r, bool commit) {
    // A failed run has abandoned an output it opened, but one refused before
    // that (a cut input, the same file) still holds the output's directory:
    // abandoning again gives it back, or a batch through the library runs
    // out of descriptors.
    if (r.status != EXIT_OK || !commit) {
        output_abandon(out);
        return r;
    }
    if (const int err = output_commit(out)) {
        run_result f = failed(run_failure::output, "cannot write", out.path, err);
        f.output_is_stdout = r.output_is_stdout;
        return f;
    }
    return r;
}

run_result process_files(const char* inp_path, const char* out_path, const run_options& options) {
    output_file out;
    return finish_files(out, run_files(inp_path, out_path, out, options), true);
}

int zek_main(int argc, char** argv) {
    reserve_standard_streams();
    if (argc < 2) {
        print_usage();
        return EXIT_USAGE;
    }
    command_line cl = parse_command_line(argc, argv);
    if (!cl.error.empty()) {
        std::fprintf(stderr, "zek: %s\n", cl.error.c_str());
        return EXIT_USAGE;
    }
    if (cl.help || cl.version) {
        std::fputs(cl.help ? HELP_TEXT : "zek " ZEK_VERSION "\n", stdout);
        return stdout_ok() ? EXIT_OK : EXIT_FILE_ERROR;
    }
    if (cl.outdir != nullptr || cl.jobs > 0 || cl.format || cl.progress || cl.quiet || cl.force) return batch_main(cl);
    if (cl.paths.size() < 2) {
        print_usage();
        std::fputs(cl.paths.empty() ? "zek: missing input and output files\n" : "zek: missing output file\n", stderr);
        return EXIT_USAGE;
    }
    if (!cl.warning.empty()) std::fprintf(stderr, "zek: warning: %s\n", cl.warning.c_str());
    const char* inp_path = cl.paths[0];
    const char* out_path = cl.paths[1];
    for (std::size_t k = 1; k < cl.paths.size(); ++k) {
        if (!misplaced_option(cl, k)) continue;
        std::fprintf(stderr, "zek: warning: '%s' comes after INPUT, so it is %s, not an option (options go before INPUT)\n",
                     cl.paths[k], k == 1 ? "taken as OUTPUT's name" : "ignored");
    }
    run_result r = read_weights(cl);
    if (r.status == EXIT_OK) r = process_files(inp_path, out_path, cl.options);
    if (!r.note.empty()) std::fprintf(stderr, "zek: %s\n", r.note.c_str());
    if (r.status != EXIT_OK) print_failure(r, inp_path, out_path);
    return r.status;
}

} // namespace zek
