// What zek did to a recording, measured by running the engine again on the
// input beside the output the tool wrote. The output is aligned on the input
// (its one-hop delay removed), so every figure compares the same audio.
// Memory stays flat however long the recording: each second is printed as a
// table row when it is complete, and the plot keeps a fixed number of slots.
#ifndef ZEK_REPORT_LEVELS_H
#define ZEK_REPORT_LEVELS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <string>

#include "agc/loudness.h"
#include "zek/tool.h"

namespace zek {

// One second of the input that reaches the output (the last may be shorter).
struct second_levels {
    double in_peak = 0;        // largest magnitude, in sample units (32768 is full scale)
    double in_square_sum = 0;  // for the RMS
    double out_peak = 0;
    double out_square_sum = 0;
    std::size_t samples = 0;     // input samples of this second, of every channel
    std::size_t out_samples = 0; // of them, those whose output sample exists in OUT
    std::int16_t gain_min = INT16_MAX; // Q8 gains applied during this second
    std::int16_t gain_max = INT16_MIN;
};

// A stretch of the plot: the lead-in or a hop at first, then runs of them.
struct plot_slot {
    std::size_t start = 0, end = 0; // input samples [start, end)
    double in_peak = 0;
    double out_peak = 0;
    double gain_sum = 0; // dB, each hop's mean of its crossfade's two ends
    std::size_t hops = 0;
    double weight_sum = 0;        // compression weight of the hops (1.0 is full), for those that have one
    std::size_t weighted_hops = 0; // the hops after the lead-in
    double in_short = -HUGE_VAL, out_short = -HUGE_VAL; // the largest short-term loudness (LUFS) at its hops' ends
};

// The plot's slots. The length of a recording is not known before its end (a
// pipe), so each slot starts as one hop; when the recording outgrows them,
// neighbours are merged pairwise and each slot then takes twice as many hops.
// Twice the plot's columns, so that at least one slot falls in each column.
inline constexpr std::size_t PLOT_SLOTS = 1700;

inline constexpr std::size_t NO_DIFFERENCE = SIZE_MAX;

struct report {
    int rate = 48000;   // samples per second: raw files are taken to be at 48 kHz
    std::atomic<std::size_t>* measured = nullptr; // when set: the input frames measured so far, for a progress line
    int channels = 1;   // interleaved in audio files; every figure covers them all
    bool audio = false; // IN is an audio file: OUT is aligned on it, frame for frame
    bool speech = false; // levelled speech-aware: the weight is the speech gate's
    second_levels second;         // the second being measured
    std::size_t second_index = 0; // its number
    plot_slot slots[PLOT_SLOTS];
    std::size_t slot_count = 0;
    std::size_t hops_per_slot = 1;
    std::int16_t gain_lowest = 256, gain_highest = 256; // of every hop, Q8
    std::int16_t weight_lowest = INT16_MAX, weight_highest = INT16_MIN; // Q15, of every hop after the lead-in
    // Lengths in frames (a frame is a sample of every channel; one sample in a raw file).
    std::size_t in_samples = 0;       // whole frames in IN
    std::size_t out_samples = 0;      // whole frames in OUT
    std::size_t expected_samples = 0; // what zek writes for IN
    std::size_t covered_samples = 0;  // input frames that reach the output
    // First OUT frame that is not what zek writes for IN (a missing, extra or
    // odd trailing byte counts), or NO_DIFFERENCE.
    std::size_t first_difference = NO_DIFFERENCE;
    // An audio OUT of another rate or channel count than IN's: its own (else 0).
    int out_rate = 0, out_channels = 0;
    // The loudness of IN and of OUT (what OUT holds of it), measured as the
    // stretches are accounted for; made at the first, freed by free_loudness.
    agc_loudness* in_meter = nullptr;
    agc_loudness* out_meter = nullptr;
};

// Frees the report's meters.
void free_loudness(report& r);

struct read_failure {
    int err = 0;             // errno of a failed read; 0 when both files were read to the end
    bool output_side = false; // the failed read was of OUT
    std::string reason;      // what is wrong, when it is not the system's error
};

// Reads IN and OUT to their ends, hop by hop, fills `r` and prints each
// second's table row on `rows` as soon as the second is complete. The gain
// control runs as zek runs it with `options`.
read_failure measure(int in_fd, int out_fd, report& r, std::FILE* rows, const run_options& options);

// Adds a stretch of `frames` frames that starts at input frame `start`: the
// input, the output OUT holds for it (out_frames of them), the gains at the
// two ends of its crossfade and its compression weight (Q15; NO_WEIGHT for
// the lead-in). Prints the rows of the seconds it completes.
inline constexpr std::int32_t NO_WEIGHT = -1;
void account(report& r, std::FILE* rows, std::size_t start, const std::int16_t* in, const std::int16_t* out,
             std::size_t frames, std::size_t out_frames, std::int16_t gain_from, std::int16_t gain_to,
             std::int32_t weight);

// Ends the measurement: the last second's row is printed.
void end_second(report& r, std::FILE* rows);

// Level in dB relative to full scale (32768); -infinity for silence.
double dbfs(double magnitude);
// Q8 gain in dB.
double gain_db(std::int16_t gain);

} // namespace zek

#endif
