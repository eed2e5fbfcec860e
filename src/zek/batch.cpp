// zek [OPTIONS] -o OUTDIR INPUT...: the inputs walked, levelled by a pool of
// jobs in this one process, each recorded in the manifest as it finishes;
// progress and a summary on standard error; Ctrl-C stops cleanly.
#include "zek/batch.h"
#include "zek/held_recording.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio/recording.h"
#include "zek/options.h"

namespace zek {

namespace {

// Set by SIGINT or SIGTERM: the jobs stop where they are and take no more.
std::atomic<bool> stop_asked{false};
int stop_signal = 0;

// SIGINT and SIGTERM are blocked in every thread of the batch (the jobs'
// readers and writers start with the mask of the thread that makes them) and
// taken by the waiting main thread with sigtimedwait. No handler runs, so no
// read or write is interrupted part-way, and no thread's registers are
// restored from a signal frame (which qemu-i386 gets wrong for the thread
// pointer of a process with several threads: the main thread then takes
// itself for another and cannot join it).
struct stop_signals {
    sigset_t set {}, before {};
    struct sigaction old_int {}, old_term {};
    stop_signals() {
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaction(SIGINT, nullptr, &old_int);
        sigaction(SIGTERM, nullptr, &old_term);
        pthread_sigmask(SIG_BLOCK, &set, &before);
    }
    // Waits up to `ms` for a stop signal. The first one taken asks the jobs
    // to stop and lets the next end the process at once: outputs in flight
    // are unnamed temporary files, and every manifest line is whole or cut.
    void wait(int ms) {
        if (stop_signal != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            return;
        }
        const timespec limit{0, static_cast<long>(ms) * 1000000L};
        const int sig = sigtimedwait(&set, nullptr, &limit);
        if (sig <= 0) return;
        stop_signal = sig;
        stop_asked.store(true);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(SIGINT, &dfl, nullptr);
        sigaction(SIGTERM, &dfl, nullptr);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
    ~stop_signals() {
        // One that came as the last job ended found nothing left to stop.
        const timespec now{0, 0};
        while (stop_signal == 0 && sigtimedwait(&set, nullptr, &now) > 0) {
        }
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
};

using clock_type = std::chrono::steady_clock;

// Everything the jobs share.
struct batch_run {
    const std::vector<batch_item>& items;
    const batch_settings& settings;
    std::string options; // their record
    std::string outdir;
    manifest_file& manifest;
    std::atomic<std::size_t> next{0};
    std::mutex lock; // the counts, standard error
    batch_counts counts;
    int jobs_running = 0;
    int manifest_err = 0;
    bool line_shown = false; // a progress line is on the terminal, to clear before another line
};

void clear_line(batch_run& b) {
    if (b.line_shown) std::fputs("\r\033[K", stderr);
    b.line_shown = false;
}

void finish_item(batch_run& b, const batch_item& item, const manifest_record& r, int append_err) {
    const std::lock_guard<std::mutex> held(b.lock);
    batch_counts& c = b.counts;
    c.bytes_finished += item.size;
    if (r.status == "done") {
        ++c.levelled;
        if (r.rate > 0) c.audio_seconds += static_cast<double>(r.frames) / r.rate;
        if (!r.note.empty()) ++c.notes;
    } else if (r.status == "skipped") {
        ++c.skipped;
    } else {
        ++c.failed;
        clear_line(b);
        std::fprintf(stderr, "zek: %s\n", r.message.c_str());
    }
    if (append_err != 0 && b.manifest_err == 0) {
        b.manifest_err = append_err;
        stop_asked.store(true); // no record, no resume: stop now rather than level unrecorded
        clear_line(b);
        std::fprintf(stderr, "zek: cannot write '%s': %s\n", b.manifest.path.c_str(), std::strerror(append_err));
    }
}

void job(batch_run& b) {
    for (;;) {
        if (stop_asked.load(std::memory_order_relaxed)) break;
        const std::size_t k = b.next++;
        if (k >= b.items.size()) break;
        const batch_item& item = b.items[k];
        std::optional<manifest_record> previous;
        if (!b.settings.force) previous = manifest_find(b.manifest, item_output(item));
        bool finished = true;
        const manifest_record r = level_item(item, item_path(item), b.outdir + "/" + item_output(item), b.settings,
                                             b.options, previous ? &*previous : nullptr, finished);
        if (!finished) break;
        finish_item(b, item, r, manifest_append(b.manifest, r));
    }
    const std::lock_guard<std::mutex> held(b.lock);
    --b.jobs_running;
}

int usage_error(const std::string& what) {
    std::fprintf(stderr, "zek: %s\n", what.c_str());
    return EXIT_USAGE;
}

int file_error(const std::string& what) {
    std::fprintf(stderr, "zek: %s\n", what.c_str());
    return EXIT_FILE_ERROR;
}

bool positive(const char* text, int& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 1 || v > 4096) return false;
    value = static_cast<int>(v);
    return true;
}

// The value of an option given as "-o DIR", "--output-dir DIR" or "--output-dir=DIR".
const char* value_of(std::string_view arg, std::string_view name, int argc, char** argv, int& i) {
    if (arg.size() > name.size() && arg[name.size()] == '=') return argv[i] + name.size() + 1;
    return i + 1 < argc ? argv[++i] : nullptr;
}

bool is(std::string_view arg, std::string_view name) {
    return arg == name || (name.starts_with("--") && arg.starts_with(name) && arg.size() > name.size() &&
                           arg[name.size()] == '=');
}

} // namespace

bool parse_batch_option(command_line& cl, int argc, char** argv, int& i) {
    const std::string_view arg = argv[i];
    if (arg == "--progress") {
        cl.progress = true;
    } else if (arg == "--quiet") {
        cl.quiet = true;
    } else if (arg == "--force") {
        cl.force = true;
    } else if (arg == "--loudness") {
        cl.loudness = true;
    } else if (arg == "-o" || is(arg, "--output-dir")) {
        cl.outdir = value_of(arg, arg == "-o" ? "-o" : "--output-dir", argc, argv, i);
        if (cl.outdir == nullptr || *cl.outdir == '\0') cl.error = "-o takes the folder the outputs go to";
    } else if (arg == "-j" || is(arg, "--jobs")) {
        const char* v = value_of(arg, arg == "-j" ? "-j" : "--jobs", argc, argv, i);
        if (v == nullptr || !positive(v, cl.jobs)) {
            cl.error = words({"-j takes a number of jobs from 1 to 4096, not '", v ? v : "", "'"});
        }
    } else if (arg.starts_with("-j") && arg.size() > 2) {
        if (!positive(argv[i] + 2, cl.jobs)) cl.error = words({"-j takes a number of jobs from 1 to 4096, not '", arg.substr(2), "'"});
    } else if (is(arg, "--format")) {
        cl.format = value_of(arg, "--format", argc, argv, i);
        const std::string probe = std::string("x.") + (cl.format ? cl.format : "");
        if (cl.format == nullptr || *cl.format == '\0' || std::strchr(cl.format, '/') != nullptr) {
            cl.error = "--format takes an extension: wav, flac, aiff, w64, rf64, au, caf, sph, voc or raw";
        } else if (const char* compressed = compressed_of_name(probe.c_str())) {
            cl.error = words({"zek does not write ", compressed, ", a compressed format: give --format wav, flac, "
                                                                 "aiff, w64, rf64, au, caf, sph, voc or raw"});
        } else if (container_of_name(probe.c_str()) == container::none) {
            cl.error = words({"--format ", cl.format, ": not a container zek writes (wav, flac, aiff, w64, rf64, au, "
                                                      "caf, sph, voc or raw)"});
        }
    } else {
        return false;
    }
    return true;
}

int batch_main(command_line& cl) {
    if (cl.outdir == nullptr) {
        return usage_error("-j, --format, --progress, --quiet, --force and --loudness go with -o OUTDIR (zek --help)");
    }
    if (cl.paths.empty()) return usage_error("missing inputs: zek [OPTIONS] -o OUTDIR INPUT...");
    const run_result weights = read_weights(cl);
    if (weights.status != EXIT_OK) {
        return file_error(words({weights.what, " '", weights.path, "': ", weights.reason.empty() ? std::strerror(weights.err) : weights.reason}));
    }
    batch_settings s;
    s.options = cl.options;
    s.force = cl.force;
    s.loudness = cl.loudness;
    if (cl.format != nullptr) {
        s.format_name = cl.format;
        s.format = container_of_name((std::string("x.") + cl.format).c_str());
    }
    if (cl.mix_path != nullptr) s.mix_sha256 = file_sha256(cl.mix_path);
    s.options.cancel = &stop_asked;

    const std::string outdir = cl.outdir;
    std::error_code ec;
    std::filesystem::create_directories(outdir, ec);
    struct stat out_st {};
    if (ec || stat(outdir.c_str(), &out_st) != 0 || !S_ISDIR(out_st.st_mode)) {
        return file_error(words({"cannot write '", outdir, "': ", ec ? ec.message() : std::strerror(ENOTDIR)}));
    }
    for (const char* input : cl.paths) {
        struct stat in_st {};
        if (stat(input, &in_st) == 0 && in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
            return usage_error(words({"the output folder '", outdir, "' is the input '", input,
                                      "': the outputs would replace their inputs; give another folder"}));
        }
    }
    const walk_result found = walk_inputs(cl.paths, s, &out_st);
    if (!found.clash.empty()) return usage_error(found.clash);

    manifest_file manifest;
    if (const std::string problem = manifest_open(manifest, outdir); !problem.empty()) return file_error(problem);

    const unsigned cores = std::thread::hardware_concurrency();
    const std::size_t wanted = cl.jobs > 0 ? static_cast<std::size_t>(cl.jobs) : cores > 0 ? cores : 1;
    const std::size_t jobs = std::max<std::size_t>(1, std::min(wanted, found.items.size()));
    // The jobs share the room a target's passes hold levelled recordings in.
    s.options.held_most = room_for_held() / jobs;

    stop_asked = false;
    stop_signal = 0;
    stop_signals signals;
    batch_run b{found.items, s, options_record(s), outdir, manifest, {}, {}, {}, 0, 0, false};
    b.counts.total = found.items.size();
    for (const batch_item& item : found.items) b.counts.bytes_total += item.size;

    const bool terminal = isatty(STDERR_FILENO) == 1;
    const bool show = !cl.quiet && (terminal || cl.progress);
    const auto every = terminal ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
    const clock_type::time_point start = clock_type::now();
    auto seconds = [&] { return std::chrono::duration<double>(clock_type::now() - start).count(); };

    std::vector<std::thread> pool;
    {
        const std::lock_guard<std::mutex> held(b.lock);
        for (std::size_t k = 0; k < jobs; ++k) {
            try {
                pool.emplace_back(job, std::ref(b));
                ++b.jobs_running;
            } catch (const std::system_error&) {
                if (pool.empty()) return file_error("cannot start a job: no thread could be had");
                break; // fewer jobs, the same result
            }
        }
    }
    // Polled: the jobs' end is seen within 10 ms, a stop signal at once.
    for (auto shown = clock_type::now();;) {
        signals.wait(10);
        const std::lock_guard<std::mutex> held(b.lock);
        if (b.jobs_running == 0) break;
        if (show && clock_type::now() - shown >= every) {
            shown = clock_type::now();
            const std::string line = progress_line(b.counts, seconds());
            if (terminal) {
                std::fprintf(stderr, "\r\033[Kzek: %s", line.c_str());
                b.line_shown = true;
            } else {
                std::fprintf(stderr, "zek: %s\n", line.c_str());
            }
            std::fflush(stderr);
        }
    }
    for (std::thread& t : pool) t.join();
    const int close_err = manifest_close(manifest);
    if (close_err != 0) {
        std::fprintf(stderr, "zek: cannot rewrite '%s' (it stands as written, valid): %s\n", manifest.path.c_str(),
                     std::strerror(close_err));
    }
    const bool interrupted = stop_signal != 0;
    clear_line(b);
    if (!cl.quiet) std::fprintf(stderr, "zek: %s\n", summary_line(b.counts, seconds(), interrupted).c_str());
    if (interrupted) return 128 + stop_signal;
    return b.counts.failed > 0 || b.manifest_err != 0 ? EXIT_FILE_ERROR : EXIT_OK;
}

} // namespace zek
