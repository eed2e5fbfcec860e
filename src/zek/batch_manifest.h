// The manifest of a batch: OUTDIR/zek-manifest.jsonl, one JSON object per
// line, one line per input, each written whole as its file finishes, so that
// an interrupted batch leaves a manifest that reads. A run appends to it
// (the last line of an input is the one that counts) and, when it ends,
// rewrites it with one line per input.
#ifndef ZEK_BATCH_MANIFEST_H
#define ZEK_BATCH_MANIFEST_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

namespace zek {

inline constexpr const char* MANIFEST_NAME = "zek-manifest.jsonl";

// What became of one input.
struct manifest_record {
    std::string root;    // the INPUT it was found under, as given ("" from the library)
    std::string input;   // its path under root
    std::string output;  // its output's path under the output folder
    std::string status;  // "done", "failed" (message says why) or "skipped" (done before, still as it was)
    std::string message; // failed: what went wrong, as zek says it
    std::string note;    // done: how the samples were converted to 16 bits, if they were
    std::string container;               // the output's ("WAV", "FLAC", "raw samples")
    std::int64_t frames = 0;             // the input's frames (a raw file's samples)
    int rate = 0, channels = 0;
    std::int64_t size = -1;              // the input's size and modification time
    std::int64_t mtime_ns = 0;           // when it was levelled (-1: unknown)
    std::string options;                 // the options as options_record() gives them (a JSON object)
    std::string sha256;                  // the output's
    std::optional<double> gain_min_db, gain_max_db; // the range of the gain applied; none without a hop
    std::optional<double> speech_share;  // speech-aware: the share of hops taken as speech
    std::optional<double> loudness_in, loudness_out; // integrated loudness (LUFS), when measured
};

// The record as one line of JSON, with its newline.
std::string manifest_line(const manifest_record& r);

// Reads a line written by manifest_line (or by anything writing the same
// fields). Returns false for a line that is not such a record.
bool parse_manifest_line(std::string_view line, manifest_record& r);

// A manifest open for a run: locked against a second run into the same
// folder. The records of earlier runs are indexed by a 64-bit hash of their
// output (a lookup reads the line and checks it); this run's lines, one per
// input, are not indexed at all, so that the run's memory does not grow with
// its files.
struct manifest_file {
    std::string path;
    int fd = -1;
    off_t end = 0;       // where the next line goes
    off_t run_start = 0; // where this run's lines start
    std::uint64_t dropped = 0; // lines that were no record (a cut last line)
    std::uint64_t read = 0;    // records read, those of outputs recorded twice included
    std::uint64_t superseded = 0;
    struct place {
        off_t at;
        std::uint32_t length;
        bool superseded; // this run has written a line for the same output
    };
    std::unordered_map<std::uint64_t, place> earlier; // the last line of each output before this run
    std::mutex lock;
};

// The index's hash of an output path (FNV-1a, 64 bits on every machine).
std::uint64_t output_hash(std::string_view output);

// Opens (creating) the manifest in `dir` and indexes what earlier runs
// recorded; a line cut short by a killed run is dropped. Returns "" or what
// is wrong, in words.
std::string manifest_open(manifest_file& m, const std::string& dir);

// The last record of an output, if the manifest has one.
std::optional<manifest_record> manifest_find(manifest_file& m, const std::string& output);

// Appends a record in one write. Returns 0 or the errno.
int manifest_append(manifest_file& m, const manifest_record& r);

// Rewrites the manifest with the last line of each output only (a
// temporary file renamed over it) and closes it. Returns 0 or the errno,
// after which the manifest is as it was: valid, with more lines.
int manifest_close(manifest_file& m);

} // namespace zek

#endif
