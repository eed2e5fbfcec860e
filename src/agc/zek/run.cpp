// The command line, the two sample files, the lead-in and the hop loop.
#include "zek/run.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "agc/agc.h"
#include "agc/process_fast.h"
#include "zek/block_writer.h"
#include "zek/file_io.h"
#include "zek/output_file.h"
#include "zek/samples.h"
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
constexpr const char* MSG_OUTPUT_ERROR = "\nbinary output file error ";
constexpr const char* MSG_INPUT_ERROR = "\nbinary input file error ";
constexpr const char* MSG_SAME_FILE = "\ninput and output are the same file ";

constexpr std::size_t HOP_BYTES = 2 * hop;
constexpr std::size_t LEAD_IN_BYTES = 2 * LEAD_IN_SAMPLES;
// Block I/O: many hops per system call. Reads return what a pipe holds, so a
// live stream is processed and written as it arrives, never held for a block.
constexpr std::size_t BLOCK_BYTES = HOP_BYTES * 2048;

// One engine state for the whole run and the file blocks: static, so memory
// stays flat whatever the input's length.
agc_state state;
std::int16_t inp_samples[BLOCK_BYTES / 2];
std::int16_t out_samples[2][BLOCK_BYTES / 2];
unsigned char* const inp_block = reinterpret_cast<unsigned char*>(inp_samples);
unsigned char* const out_blocks[2] = {reinterpret_cast<unsigned char*>(out_samples[0]),
                                      reinterpret_cast<unsigned char*>(out_samples[1])};
block_writer writer;

// One hop from file bytes at inp_block + from to output block b at `to`
// (both even). On a little-endian host the bytes already are the samples:
// the engine reads and writes the blocks directly, with no copy.
void process_hop_at(std::size_t from, int b, std::size_t to) {
    if constexpr (std::endian::native == std::endian::little) {
        agc::process_hop(inp_samples + from / 2, out_samples[b] + to / 2, state, mix);
    } else {
        static agc_frame frame; // hop buffers for byte-swapping hosts
        decode_le(inp_block + from, frame.in, hop);
        agc_process(frame, state, mix);
        encode_le(frame.out, out_blocks[b] + to, hop);
    }
}

void print_usage() {
    for (const char* line : USAGE_TEXT) std::fputs(line, stdout);
    std::fflush(stdout);
}

// Whether everything written to standard output so far reached it.
bool stdout_ok() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

run_result failed(run_failure failure, const char* what, const char* path, int err) {
    static constexpr const char* messages[] = {nullptr, MSG_INPUT_ERROR, MSG_OUTPUT_ERROR, MSG_SAME_FILE};
    return {EXIT_FILE_ERROR, failure, messages[static_cast<int>(failure)], what, path, err, false};
}

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
        std::fprintf(stderr, "zek: %s '%s': %s\n", r.what, r.path, std::strerror(r.err));
    }
}

struct stream_result {
    int err;          // errno of the failure, 0 when the input ended normally
    bool output_side; // the failure was a write, not a read
};

// Moves the input through the lead-in and the hop loop until the input ends,
// filling the two output blocks in turn while the writer thread writes the
// other. Each read takes what is there, so a live stream is processed and
// handed to the writer as it arrives, never held back for a full block.
stream_result stream(int inp, block_writer& writer) {
    std::size_t have = 0;                  // bytes waiting in inp_block
    std::size_t lead_left = LEAD_IN_BYTES; // lead-in bytes still to copy
    int b = 0;                             // the output block being filled
    for (;;) {
        const ssize_t n = read_some(inp, inp_block + have, BLOCK_BYTES - have);
        if (n < 0) return {errno, false};
        if (n == 0) return {0, false}; // a partial hop and an odd byte at the end are dropped
        have += static_cast<std::size_t>(n);
        if (!writer_wait_free(writer, b)) return {errno, true};

        std::size_t pos = 0, produced = 0;
        if (lead_left > 0) {
            // The lead-in is copied byte for byte, whole samples only.
            pos = produced = std::min(lead_left, have & ~std::size_t{1});
            std::memcpy(out_blocks[b], inp_block, pos);
            lead_left -= pos;
        }
        if (lead_left == 0) {
            for (; have - pos >= HOP_BYTES; pos += HOP_BYTES, produced += HOP_BYTES) {
                process_hop_at(pos, b, produced);
            }
        }
        if (produced > 0) {
            writer_submit(writer, b, produced);
            b ^= 1;
        }
        std::memmove(inp_block, inp_block + pos, have - pos);
        have -= pos;
    }
}

// The run: everything that can fail is set up before the output is touched.
run_result run(const char* inp_path, const char* out_path) {
    // The input is opened and checked first: a mistyped input path must not
    // cost the user an existing output file.
    input_file inp;
    if (const int err = input_open(inp, inp_path)) return failed(run_failure::input, "cannot open", inp_path, err);
    if (const int err = input_check(inp)) return failed(run_failure::input, "cannot read", inp_path, err);

    output_file out;
    if (const int err = output_find(out, out_path)) {
        input_close(inp);
        return failed(run_failure::output, "cannot open", out_path, err);
    }
    if (out.exists && same_file(inp.st, out.st)) {
        input_close(inp);
        return failed(run_failure::same_file, nullptr, out_path, 0);
    }
    init_engine(state);
    writer_start(writer, out_blocks[0], out_blocks[1]);
    if (const int err = output_open(out)) {
        writer_finish(writer);
        input_close(inp);
        return failed(run_failure::output, "cannot open", out_path, err);
    }

    writer.fd = out.fd;
    stream_result r = stream(inp.fd, writer);
    const int write_err = writer_finish(writer);
    if (write_err != 0 && (r.err == 0 || r.output_side)) r = {write_err, true};
    input_close(inp);
    if (r.err != 0) {
        output_abandon(out);
        return r.output_side ? failed(run_failure::output, "cannot write", out_path, r.err)
                             : failed(run_failure::input, "cannot read", inp_path, r.err);
    }
    if (const int err = output_commit(out)) return failed(run_failure::output, "cannot write", out_path, err);
    return {};
}

} // namespace

run_result process_files(const char* inp_path, const char* out_path) {
    const bool output_is_stdout = names_standard_output(out_path);
    run_result r = run(inp_path, out_path);
    r.output_is_stdout = output_is_stdout;
    return r;
}

int zek_main(int argc, char** argv) {
    reserve_standard_streams();
    if (argc < 2) {
        print_usage();
        return EXIT_USAGE;
    }
    if (argc == 2) {
        const std::string_view arg = argv[1];
        if (arg == "-h" || arg == "--help") {
            print_usage();
            return stdout_ok() ? EXIT_OK : EXIT_FILE_ERROR;
        }
        if (arg == "--version") {
            std::fputs("zek " ZEK_VERSION "\n", stdout);
            return stdout_ok() ? EXIT_OK : EXIT_FILE_ERROR;
        }
        print_usage();
        std::fputs("zek: missing output file\n", stderr);
        return EXIT_USAGE;
    }
    const run_result r = process_files(argv[1], argv[2]);
    if (r.status != EXIT_OK) print_failure(r, argv[1], argv[2]);
    return r.status;
}

} // namespace zek
