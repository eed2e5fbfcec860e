// The zek tool as a library: its whole run in process (the entry point, the
// Python package and the fuzzer use it), and what a run came to.
#ifndef ZEK_TOOL_H
#define ZEK_TOOL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agc/loudness.h"
#include "agc/speech.h"
#include "agc/stream.h"
#include "audio/audio_format.h"
#include "audio/output_file.h"

namespace zek {

enum exit_status : int {
    EXIT_OK = 0,         // processed, including empty and short inputs
    EXIT_FILE_ERROR = 1, // a file could not be opened, read or written, or in == out
    EXIT_USAGE = 2,      // missing arguments, or a bad option
};

enum class run_failure {
    none,
    input,     // the input could not be opened or read
    output,    // the output could not be opened or written
    same_file, // input and output are one file; nothing was written
};

// What a run came to. Nothing is printed: zek_main prints it.
struct run_result {
    int status = EXIT_OK; // an exit_status
    run_failure failure = run_failure::none;
    const char* message = nullptr; // the tool's message for standard output ("\nbinary input file error ")
    const char* what = nullptr;    // "cannot open", "cannot read" or "cannot write"
    const char* path = nullptr;    // the file that failed: the input's or the output's path
    int err = 0;                   // the system's reason (an errno); 0 for the same file
    bool output_is_stdout = false; // the output is standard output: no message may go there
    std::string reason; // what is wrong when it is not the system's error (an audio file zek cannot
                        // take, a format a pipe cannot carry): said in place of errno's text
    std::string note;   // a line for standard error even on success (how samples were converted)
    // What a successful run levelled, for a record of it (the batch's manifest).
    struct {
        container kind = container::none; // the output's container; raw for raw samples
        std::int64_t frames = 0;          // the input's frames (a raw file's whole samples)
        int rate = 0, channels = 0;
        agc_stream_stats gain{};          // the range of the gain applied, the hops taken as speech
    } stats;
};

// What a run can tell of the loudness of what it writes: when a run is
// given one, it measures its output (created for the recording's rate and
// channels, integrated loudness and sample peak) and, with `input` set, its
// input's integrated loudness; the caller destroys them.
struct loudness_probe {
    // What the output's meter measures.
    static constexpr int OUTPUT_MODES = AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_SAMPLE_PEAK;
    bool output = true; // measure the output (false: only what else is asked for)
    agc_loudness* meter = nullptr;
    bool input = false;
    agc_loudness* input_meter = nullptr;
    // When set, also given what the run writes, as it is written (whole
    // frames of `channels`).
    void (*watch)(void* context, const std::int16_t* samples, std::size_t frames, int channels) = nullptr;
    void* watch_context = nullptr;
    // And the same on the run's own thread, as it hands each block to the
    // writer (the context is watch_context): work that would hold up the
    // writer's meter.
    void (*take)(void* context, const std::int16_t* samples, std::size_t frames, int channels) = nullptr;
    // Set when only the measure is wanted: what the run would write is
    // measured (and watched) but never written, so the output is untouched.
    bool discard = false;
    // With `true_peak` set, also the true peak of what the run writes, as a
    // limiter after it would take it in (the latency it drops, and the
    // silence after the end, included), on the run's own thread, which has
    // time to spare while the writer's meter works.
    bool true_peak = false;
    agc_loudness* peak_meter = nullptr;
    // Set by a run with no gain or limiter: the frames of silence a limiter
    // after its levelling would take in before the first frame written
    // (where the stream carries the limiter, the stream's own latency), on
    // whose grid its blocks would lie.
    std::int64_t limiter_lead = 0;
    int rate = 0; // set by the run before its first block: the recording's
};

// How a run levels, beyond the built-in behaviour (the command line's options).
struct run_options {
    int comp = AGC_COMP_DEFAULT;          // Q15 compression weight, 0 to 32767
    bool speech = false;                  // speech-aware: pauses are not raised
    bool live = false;                    // the speech-aware mode's short look-ahead, as a live stream's
    bool link = false;                    // one gain for all channels
    const std::int16_t* mix = nullptr;    // one Q15 weight per hop after the lead-in, or none;
    std::size_t mix_count = 0;            // the last one repeats
    const struct stat* mix_file = nullptr; // the file the weights were read from: an input, which
                                           // the run refuses to write over as its output
    // An audio file's output container, whatever the output's name says
    // (none: the one the name gives, else the input's). Raw samples stay raw.
    container format = container::none;
    // Once set (from another thread, or a signal handler), the run stops at
    // its next block and fails with EINTR: its output is abandoned.
    const std::atomic<bool>* cancel = nullptr;
    // Loudness, off by default: the output's integrated loudness made
    // target_mlufs (thousandths of LUFS), and its true peaks held at
    // ceiling_mdb (thousandths of dBTP).
    bool target = false;
    std::int32_t target_mlufs = 0;
    bool limit = false;
    std::int32_t ceiling_mdb = 0;
    // The gain that the loudness run has measured its way to (thousandths
    // of a dB), applied after the levelling; and where a run tells what it wrote.
    std::int32_t gain_mdb = 0;
    loudness_probe* probe = nullptr;
    // Set when the measure found that the limiter would rest all through
    // (every true peak under the gain far enough below the ceiling): the
    // gain is applied alone, with the limiter's bytes and none of its work.
    bool gain_alone = false;
    // When set, the levelling has been done: these frames (interleaved, as
    // a run of these options without the gain and limiter wrote them) are
    // written in its place, under the gain and the limiter. The input is
    // still opened, for its format, but not read.
    const std::int16_t* levelled = nullptr;
    std::size_t levelled_frames = 0;
    // The most samples a target's passes hold in memory (SIZE_MAX: a
    // sixteenth of the memory, and no more than 1 GiB); a longer recording,
    // or any where this is 0, is levelled again for each pass.
    std::size_t held_most = SIZE_MAX;
};

// Whether a run has been asked to stop.
inline bool cancelled(const run_options& o) { return o.cancel != nullptr && o.cancel->load(std::memory_order_relaxed); }

// The historical compression factor, a single-precision number from 0 to 1,
// as the engine's Q15 weight: scaled in double precision and truncated, so
// that 1.0 gives the built-in 32766.
inline int comp_weight(float comp) { return static_cast<int>(static_cast<double>(comp) * 32766.0); }

// The compression weight of hop k after the lead-in: the weight file's
// (its last value held), or the constant one.
inline std::int16_t hop_weight(const run_options& o, std::uint64_t k) {
    if (o.mix == nullptr) return static_cast<std::int16_t>(o.comp);
    return o.mix[k < o.mix_count ? k : o.mix_count - 1];
}

// The speech-aware mode's look-ahead in hops for these options.
inline int speech_ahead(const run_options& how) {
    return !how.speech ? 0 : how.live ? AGC_SPEECH_AHEAD_LIVE : AGC_SPEECH_AHEAD_FILE;
}

// The stream API's options record that levels as these options say.
inline agc_stream_options stream_options(const run_options& how) {
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.comp = how.comp;
    o.speech = how.speech;
    o.link = how.link;
    o.mix = how.mix;
    o.mix_count = how.mix_count;
    o.gain = how.gain_alone ? 0 : how.gain_mdb; // a gain alone is the caller's to apply
    o.limit = how.gain_alone ? 0 : how.limit;
    o.ceiling = how.ceiling_mdb;
    o.offline = how.live ? 0 : 1; // a file is levelled whole: the speech-aware mode may look far ahead
    return o;
}

// Whether a run applies a gain or a limiter after the levelling.
inline bool after_levelling(const run_options& o) { return o.gain_mdb != 0 || o.limit; }

// The probe's meter of the true peak (none where it asks for none), for a
// run of `channels` channels at `rate`: its figures are read by the caller,
// who destroys it. Returns false when it is asked for and cannot be had.
inline bool create_peak_meter(loudness_probe* probe, int rate, int channels) {
    if (probe == nullptr || !probe->true_peak) return true;
    probe->peak_meter = agc_loudness_create(rate, channels, AGC_LOUDNESS_MODE_TRUE_PEAK, nullptr);
    return probe->peak_meter != nullptr;
}

// The silence after the end, into the probe's meter of the true peak: the
// points a limiter would make of the last samples and what follows them.
void end_peak_meter(loudness_probe* probe, int channels);

// The result of a run that failed on one side, with the tool's message for it.
run_result failed(run_failure failure, const char* what, const char* path, int err);
// The same, for a reason in words (a file zek cannot take, a format a pipe
// cannot carry) where the system gave no error.
run_result failed(run_failure failure, const char* what, const char* path, std::string reason);

// Command line: zek [options] input output [ignored...], or -h/--help/--version alone.
int zek_main(int argc, char** argv);

// Processes the file at inp_path into out_path. An existing output is
// replaced only when the run succeeds. Throws nothing and prints nothing.
// Reentrant: runs on distinct threads hold nothing in common.
run_result process_files(const char* inp_path, const char* out_path, const run_options& options = {});

// process_files in two steps, for a caller that has something to settle
// between the run and the replacement of the output (the Python package
// issues its conversion warning there, which may be raised as an error).
// run_files leaves the output of a successful run written but pending in
// `out`: an existing output is still as it was (unless it is written in place
// or is not a regular file). finish_files then puts it in place (commit) or
// removes it (abandon), and returns the run's result, or the failure to put
// the output in place. After a failed run, finish_files gives back what the
// run still holds of the output (its directory) and returns the failure.
run_result run_files(const char* inp_path, const char* out_path, output_file& out, const run_options& options = {});
run_result finish_files(output_file& out, const run_result& r, bool commit);

} // namespace zek

#endif
