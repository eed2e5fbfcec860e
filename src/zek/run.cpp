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

#include "agc/agc.h"
#include "agc/process_fast.h"
#include "agc/speech.h"
#include "audio/recording.h"
#include "zek/audio_run.h"
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
    "  --comp X     compression weight, 0 to 1 (default 1): 0 levels nothing\n"
    "  --link       one gain for all channels, from the loudest, so that a\n"
    "               stereo image stays in place (default: each on its own)\n"
    "  --mix FILE   one weight per hop from your own voice detection, in place of\n"
    "               --comp: 16-bit little-endian values from 0 to 32767 (32767\n"
    "               is 1), one per hop after the first 512 samples; the last\n"
    "               repeats\n"
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
    "a bad option.\n";

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
    std::size_t block_bytes = 0; // what a block takes: whole hops
    unsigned char* memory = nullptr; // two input blocks, then two output blocks

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
    if constexpr (std::endian::native == std::endian::little) {
        const auto* in = reinterpret_cast<const std::int16_t*>(from);
        auto* out = skip ? w.frame.out : reinterpret_cast<std::int16_t*>(w.out_block(b) + to);
        if (w.options.speech) {
            agc::process_hop_speech(in, out, w.state, w.speech, mix);
        } else {
            agc::process_hop(in, out, w.state, mix);
        }
    } else {
        decode_le(from, w.frame.in, hop);
        if (w.options.speech) {
            agc_process_speech(w.frame, w.state, w.speech, mix);
        } else {
            agc_process(w.frame, w.state, mix);
        }
        if (!skip) encode_le(w.frame.out, w.out_block(b) + to, hop);
    }
    return !skip;
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

struct stream_result {
    int err;          // errno of the failure, 0 when the input ended normally
    bool output_side; // the failure was a write, not a read
};

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
        if (produced > 0) {
            writer_submit(w.writer, b, produced);
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
            return lead_left == 0 && w.options.speech ? flush_ahead(w, b) : stream_result{0, false};
        }
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
        if (produced > 0) {
            writer_submit(w.writer, b, produced);
            b ^= 1;
        }
        carry = have - pos;
        std::memcpy(carried, data + pos, carry);
        reader_give_back(w.reader, i);
    }
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

// What zek does with an input that is not raw samples: levels an audio
// file, or refuses a compressed one. Returns false to go on with raw samples.
bool run_non_raw(const input_file& inp, output_file& out, const char* inp_path, const char* out_path,
                 const run_options& options, run_result& r) {
    unsigned char head[COMPRESSED_SNIFF_MAX];
    ssize_t got = peek_input(inp.fd, inp.st, head, SNIFF_BYTES);
    if (got > 0) { // an MPEG audio or AAC frame header: up to the next one
        const std::size_t need = compressed_sniff_bytes(head, static_cast<std::size_t>(got));
        if (need > static_cast<std::size_t>(got)) got = peek_input(inp.fd, inp.st, head, need);
    }
    if (got < 0) {
        r = failed(run_failure::input, "cannot read", inp_path, errno);
        return true;
    }
    const auto n = static_cast<std::size_t>(got);
    if (const char* compressed = sniff_compressed(head, n)) {
        r = failed(run_failure::input, "cannot read", inp_path,
                   words({compressed, " audio is compressed; zek reads uncompressed audio files and raw samples: ",
                          decode_advice(inp, inp_path)}));
        return true;
    }
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
    w->reader.fd = inp.fd;
    reader_start(w->reader, w->inp_block(0) + HEAD_BYTES, w->inp_block(1) + HEAD_BYTES, w->block_bytes, threads);
    stream_result r = stream(*w);
    reader_finish(w->reader);
    const int write_err = writer_finish(w->writer);
    if (write_err != 0 && (r.err == 0 || r.output_side)) r = {write_err, true};
    input_close(inp);
    if (r.err != 0) {
        output_abandon(out);
        return r.output_side ? failed(run_failure::output, "cannot write", out_path, r.err)
                             : failed(run_failure::input, "cannot read", inp_path, r.err);
    }
    return {};
}

} // namespace

run_result failed(run_failure failure, const char* what, const char* path, int err) {
    static constexpr const char* messages[] = {nullptr, MSG_INPUT_ERROR, MSG_OUTPUT_ERROR, MSG_SAME_FILE};
    return {EXIT_FILE_ERROR, failure, messages[static_cast<int>(failure)], what, path, err, false, {}, {}};
}

run_result failed(run_failure failure, const char* what, const char* path, std::string reason) {
    run_result r = failed(failure, what, path, 0);
    r.reason = std::move(reason);
    return r;
}

run_result run_files(const char* inp_path, const char* out_path, output_file& out, const run_options& options) {
    const bool output_is_stdout = names_standard_output(out_path);
    run_result r = run(inp_path, out_path, options, out);
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
    if (cl.paths.size() < 2) {
        print_usage();
        std::fputs(cl.paths.empty() ? "zek: missing input and output files\n" : "zek: missing output file\n", stderr);
        return EXIT_USAGE;
    }
    const char* inp_path = cl.paths[0];
    const char* out_path = cl.paths[1];
    run_result r = read_weights(cl);
    if (r.status == EXIT_OK) r = process_files(inp_path, out_path, cl.options);
    if (!r.note.empty()) std::fprintf(stderr, "zek: %s\n", r.note.c_str());
    if (r.status != EXIT_OK) print_failure(r, inp_path, out_path);
    return r.status;
}

} // namespace zek
