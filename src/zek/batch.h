// Many files in one process: `zek [OPTIONS] -o OUTDIR INPUT...`, and the
// same jobs for the Python package. Each file is levelled exactly as
// `zek INPUT OUTPUT` levels it, with the same guarantees (an existing output
// replaced only on success, nothing half-written left behind), by a pool of
// threads; what became of each file is recorded in a manifest
// (batch_manifest.h), from which a later run resumes.
#ifndef ZEK_BATCH_H
#define ZEK_BATCH_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "zek/batch_manifest.h"
#include "zek/tool.h"

namespace zek {

// How every file of a batch is levelled.
struct batch_settings {
    run_options options;               // the levelling options (their format is set per file)
    container format = container::none; // --format: every audio file's output container; none: its input's
    std::string format_name;            // --format's EXT, for the record
    std::string mix_sha256;             // the --mix file's digest, for the record
    bool force = false;                 // redo files the manifest shows done
    bool loudness = false;              // measure each input's and output's integrated loudness
};

// One input of a batch, found by walk_inputs.
// Kept for every input of a batch while it runs: small, so that a corpus of
// millions of files takes little memory.
struct batch_item {
    const char* root = ""; // the INPUT it was found under, as given (the caller keeps it)
    std::string input;     // its path under root; a file named alone: its name
    std::string output;    // the output's path under the output folder; "" when it is input's
    bool alone = false; // named on the command line itself: read whatever it holds, raw samples included
    container kind = container::none; // what its first bytes say (none: raw samples, or unreadable)
    std::uint64_t size = 0;           // bytes, when walked: for the time left
    int walk_err = 0;                 // a folder that could not be read (input names it)
};

// The path to open for an item: the INPUT itself, or a file under it.
std::string item_path(const batch_item& item);
// An item's output path under the output folder.
inline const std::string& item_output(const batch_item& item) { return item.output.empty() ? item.input : item.output; }

// What the walk found: the inputs in order (each folder's entries sorted by
// name), and the files left alone because they hold no audio.
struct walk_result {
    std::vector<batch_item> items;
    std::uint64_t not_audio = 0;
    std::string clash; // two inputs that would be written to one output: the usage error
};

// Lists the inputs: each INPUT a file, taken whatever it holds, or a folder
// walked recursively (symbolic links to folders are not followed) for the
// audio files zek reads or refuses, told by their first bytes; raw samples
// are taken only from a file named alone. Outputs mirror the layout: a
// folder's files under the output folder as they lie under it, a file named
// alone under its name; with `format`, every audio file's extension becomes
// format_name. The folder `skip` (the output folder, when it lies inside an
// input) is not walked.
walk_result walk_inputs(const std::vector<const char*>& inputs, const batch_settings& s, const struct stat* skip);

// The record of the options, as the manifest holds it and a resume compares it.
std::string options_record(const batch_settings& s);

// Levels one item from inp_path into out_path (its folder made first), or,
// when `previous` shows it done with this same input and these options and
// its output still holds what was recorded, skips it. Stopped by
// s.options.cancel, the run's output is abandoned and `finished` is false.
manifest_record level_item(const batch_item& item, const std::string& inp_path, const std::string& out_path,
                           const batch_settings& s, const std::string& options, const manifest_record* previous,
                           bool& finished);

// Levels items[k] into out_paths[k] on up to `jobs` threads, each as
// level_item with previous[k] (none: level it), into records[k]; finished[k]
// stays 0 for an item abandoned when s.options.cancel was set. `done` counts
// the items finished, for a caller watching from another thread.
void level_items(const std::vector<batch_item>& items, const std::vector<std::string>& out_paths,
                 const std::vector<const manifest_record*>& previous, const batch_settings& s, unsigned jobs,
                 std::vector<manifest_record>& records, std::vector<char>& finished, std::atomic<std::size_t>& done);

// The SHA-256 of a file, in hexadecimal; "" with errno set when it cannot be read.
std::string file_sha256(const char* path);

// How far a batch has come.
struct batch_counts {
    std::uint64_t total = 0;    // inputs
    std::uint64_t levelled = 0; // done
    std::uint64_t skipped = 0;  // done before
    std::uint64_t failed = 0;
    std::uint64_t bytes_total = 0, bytes_finished = 0; // of the inputs, all and those finished
    double audio_seconds = 0;   // levelled
    std::uint64_t notes = 0;    // outputs whose samples were converted to 16 bits
};

// "1234 of 10000 files, 1.03 h of audio, 812x real time, 2 failed, 0:12 left"
std::string progress_line(const batch_counts& c, double elapsed_seconds);
// The last line: what was done, how much audio, in how long.
std::string summary_line(const batch_counts& c, double elapsed_seconds, bool interrupted);

// zek -o OUTDIR INPUT...: the whole batch, with progress and its summary on
// standard error. Returns the exit status.
struct command_line;
int batch_main(command_line& cl);

} // namespace zek

#endif
