// One file of a batch: levelled as a single run levels it, or skipped when an
// earlier run's record shows it done, and the record of what became of it.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "audio/recording.h"
#include "zek/batch.h"

namespace zek {

namespace {

// A Q8 gain (256 is unity) in dB, to a hundredth (a Q8 step is 0.03 dB at the least).
double gain_db(int q8) { return q8 > 0 ? std::round(2000.0 * std::log10(q8 / 256.0)) / 100.0 : -HUGE_VAL; }

std::int64_t mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// What zek says of a failed run on standard error, without "zek: ".
std::string failure_text(const run_result& r, const std::string& inp, const std::string& out) {
    if (r.failure == run_failure::same_file) return "'" + inp + "' and '" + out + "' are the same file";
    const std::string why = r.reason.empty() ? std::strerror(r.err) : r.reason;
    return std::string(r.what ? r.what : "cannot use") + " '" + (r.path ? r.path : out.c_str()) + "': " + why;
}

// Whether the earlier record still holds for this input: levelled whole,
// from the same bytes (by size and modification time), with the same
// options, into an output that still holds what it held then.
bool still_done(const manifest_record& prev, const batch_item& item, const struct stat& st,
                const std::string& options, const std::string& out_path) {
    if (prev.status != "done" && prev.status != "skipped") return false;
    if (prev.root != item.root || prev.input != item.input || prev.options != options) return false;
    if (prev.size != static_cast<std::int64_t>(st.st_size) || prev.mtime_ns != mtime_ns(st)) return false;
    return !prev.sha256.empty() && file_sha256(out_path.c_str()) == prev.sha256;
}

} // namespace

std::string file_sha256(const char* path) {
    const int fd = open_file(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    sha256_ctx ctx;
    sha256_init(&ctx);
    unsigned char buf[1 << 16];
    for (;;) {
        const ssize_t n = read_some(fd, buf, sizeof buf);
        if (n < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return {};
        }
        if (n == 0) break;
        sha256_update(&ctx, static_cast<std::size_t>(n), buf);
    }
    close(fd);
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    static constexpr char HEX[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : digest) {
        hex += HEX[b >> 4];
        hex += HEX[b & 15];
    }
    return hex;
}

// Thousandths as a decimal number: -16000 is -16.
std::string decimal(std::int32_t milli) {
    char text[24];
    std::snprintf(text, sizeof text, "%.3f", milli / 1000.0);
    std::string t = text;
    while (t.back() == '0') t.pop_back();
    if (t.back() == '.') t.pop_back();
    return t;
}

// A probe meter's integrated loudness in LUFS (none for silence or a
// recording under 0.4 s), and the meter destroyed.
std::optional<double> integrated(agc_loudness*& meter) {
    std::optional<double> lufs;
    std::int32_t milli = AGC_LOUDNESS_NONE;
    if (meter != nullptr && agc_loudness_integrated(meter, &milli) == 0 && milli != AGC_LOUDNESS_NONE) lufs = milli / 1000.0;
    agc_loudness_destroy(meter);
    meter = nullptr;
    return lufs;
}

std::string options_record(const batch_settings& s) {
    const run_options& o = s.options;
    std::string j = "{\"comp_q15\":" + std::to_string(o.comp);
    j += ",\"format\":" + (s.format_name.empty() ? std::string("null") : "\"" + s.format_name + "\"");
    j += std::string(",\"link\":") + (o.link ? "true" : "false");
    j += std::string(",\"live\":") + (o.live ? "true" : "false");
    j += std::string(",\"loudness\":") + (s.loudness ? "true" : "false");
    j += ",\"mix_sha256\":" + (s.mix_sha256.empty() ? std::string("null") : "\"" + s.mix_sha256 + "\"");
    j += std::string(",\"speech\":") + (o.speech ? "true" : "false");
    const auto milli = [](bool on, std::int32_t v) { return on ? decimal(v) : std::string("null"); };
    j += ",\"target_lufs\":" + milli(o.target, o.target_mlufs);
    j += ",\"true_peak_dbtp\":" + milli(o.limit, o.ceiling_mdb) + "}";
    return j;
}

manifest_record level_item(const batch_item& item, const std::string& inp_path, const std::string& out_path,
                           const batch_settings& s, const std::string& options, const manifest_record* previous,
                           bool& finished) {
    finished = true;
    manifest_record r;
    r.root = item.root;
    r.input = item.input;
    r.output = item_output(item);
    r.options = options;
    r.status = "failed";
    if (item.walk_err != 0) {
        r.message = "cannot read folder '" + inp_path + "': " + std::strerror(item.walk_err);
        return r;
    }
    struct stat st {};
    if (stat(inp_path.c_str(), &st) == 0) {
        r.size = static_cast<std::int64_t>(st.st_size);
        r.mtime_ns = mtime_ns(st);
        if (previous != nullptr && still_done(*previous, item, st, options, out_path)) {
            manifest_record skipped = *previous;
            skipped.status = "skipped";
            return skipped;
        }
    }
    // The output's folder, as the input's lies under its root.
    const std::filesystem::path parent = std::filesystem::path(out_path).parent_path();
    std::error_code ec;
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    if (ec) {
        r.message = "cannot write '" + parent.string() + "': " + ec.message();
        return r;
    }
    run_options how = s.options;
    how.format = s.format != container::none ? s.format : item.kind;
    loudness_probe probe;
    probe.input = true;
    if (s.loudness) how.probe = &probe;
    const run_result run = process_files(inp_path.c_str(), out_path.c_str(), how);
    const std::optional<double> lufs_in = integrated(probe.input_meter), lufs_out = integrated(probe.meter);
    if (run.status != EXIT_OK) {
        if (run.err == EINTR && cancelled(s.options)) {
            finished = false; // abandoned: a later run levels it
            return r;
        }
        r.message = failure_text(run, inp_path, out_path);
        return r;
    }
    r.status = "done";
    r.note = run.note;
    r.container = container_name(run.stats.kind);
    r.frames = run.stats.frames;
    r.rate = run.stats.rate;
    r.channels = run.stats.channels;
    r.sha256 = file_sha256(out_path.c_str());
    r.loudness_in = lufs_in;
    r.loudness_out = lufs_out;
    const agc_stream_stats& g = run.stats.gain;
    if (g.hops > 0) {
        r.gain_min_db = gain_db(g.min_gain);
        r.gain_max_db = gain_db(g.max_gain);
        if (s.options.speech) r.speech_share = static_cast<double>(g.speech_hops) / static_cast<double>(g.hops);
    }
    return r;
}

void level_items(const std::vector<batch_item>& items, const std::vector<std::string>& out_paths,
                 const std::vector<const manifest_record*>& previous, const batch_settings& s, unsigned jobs,
                 std::vector<manifest_record>& records, std::vector<char>& finished, std::atomic<std::size_t>& done) {
    records.assign(items.size(), {});
    finished.assign(items.size(), 0);
    const std::string options = options_record(s);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t k; !cancelled(s.options) && (k = next++) < items.size();) {
            bool whole = true;
            records[k] = level_item(items[k], item_path(items[k]), out_paths[k], s, options, previous[k], whole);
            if (!whole) break;
            finished[k] = 1;
            ++done;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < jobs && t < items.size(); ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break; // fewer threads, the same records
        }
    }
    work();
    for (std::thread& t : pool) t.join();
}

} // namespace zek
