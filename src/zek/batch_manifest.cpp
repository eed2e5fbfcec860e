#include "zek/batch_manifest.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "audio/file_io.h"

namespace zek {

namespace {

using json = nlohmann::json;

json optional_number(const std::optional<double>& v) { return v ? json(*v) : json(nullptr); }

std::optional<double> number_of(const json& j, const char* key) {
    const auto it = j.find(key);
    if (it == j.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

std::string string_of(const json& j, const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename T>
T integer_of(const json& j, const char* key, T otherwise) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number_integer() ? it->get<T>() : otherwise;
}

// A file name that is no valid UTF-8 cannot be a JSON string as it is: its
// bad bytes become U+FFFD. Such a record does not match the file on resume,
// which is then levelled again: slower, never wrong.
std::string words_errno(const char* what, const std::string& path, int err) {
    return std::string(what) + " '" + path + "': " + std::strerror(err);
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// Reads the whole manifest, line by line, into the index.
int index_lines(manifest_file& m) {
    std::string pending;
    std::vector<char> buf(1 << 16);
    off_t line_start = 0, at = 0;
    for (;;) {
        const ssize_t n = read_some(m.fd, buf.data(), buf.size());
        if (n < 0) return errno;
        if (n == 0) break;
        for (ssize_t k = 0; k < n; ++k) {
            if (buf[static_cast<std::size_t>(k)] != '\n') {
                pending += buf[static_cast<std::size_t>(k)];
                continue;
            }
            manifest_record r;
            if (parse_manifest_line(pending, r)) {
                m.earlier[output_hash(r.output)] = {line_start, static_cast<std::uint32_t>(pending.size()), false};
                ++m.read;
            } else {
                ++m.dropped;
            }
            pending.clear();
            line_start = at + k + 1;
        }
        at += n;
    }
    // A last line without its newline was cut when a run was killed in the
    // middle of writing it: cut it off, or the next line would join it.
    if (!pending.empty()) {
        ++m.dropped;
        if (ftruncate(m.fd, line_start) != 0) return errno;
    }
    m.end = m.run_start = line_start;
    return 0;
}

} // namespace

std::uint64_t output_hash(std::string_view output) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char c : output) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    return h;
}

std::string manifest_line(const manifest_record& r) {
    json j;
    if (!r.root.empty()) j["root"] = r.root;
    j["input"] = r.input;
    j["output"] = r.output;
    j["status"] = r.status;
    j["message"] = r.message.empty() ? json(nullptr) : json(r.message);
    j["note"] = r.note.empty() ? json(nullptr) : json(r.note);
    j["container"] = r.container.empty() ? json(nullptr) : json(r.container);
    j["frames"] = r.frames;
    j["rate"] = r.rate;
    j["channels"] = r.channels;
    j["seconds"] = r.rate > 0 ? static_cast<double>(r.frames) / r.rate : 0.0;
    j["size"] = r.size;
    j["mtime_ns"] = r.mtime_ns;
    j["options"] = r.options.empty() ? json(nullptr) : json::parse(r.options, nullptr, false);
    j["sha256"] = r.sha256.empty() ? json(nullptr) : json(r.sha256);
    j["gain_db"] = r.gain_min_db ? json{{"min", *r.gain_min_db}, {"max", *r.gain_max_db}} : json(nullptr);
    j["speech_share"] = optional_number(r.speech_share);
    j["loudness_in"] = optional_number(r.loudness_in);
    j["loudness_out"] = optional_number(r.loudness_out);
    return dump(j) + "\n";
}

bool parse_manifest_line(std::string_view line, manifest_record& r) {
    const json j = json::parse(line, nullptr, false);
    if (!j.is_object() || !j.contains("output") || !j["output"].is_string() || !j.contains("status")) return false;
    r = manifest_record{};
    r.root = string_of(j, "root");
    r.input = string_of(j, "input");
    r.output = string_of(j, "output");
    r.status = string_of(j, "status");
    r.message = string_of(j, "message");
    r.note = string_of(j, "note");
    r.container = string_of(j, "container");
    r.frames = integer_of<std::int64_t>(j, "frames", 0);
    r.rate = integer_of<int>(j, "rate", 0);
    r.channels = integer_of<int>(j, "channels", 0);
    r.size = integer_of<std::int64_t>(j, "size", -1);
    r.mtime_ns = integer_of<std::int64_t>(j, "mtime_ns", -1);
    if (j.contains("options") && j["options"].is_object()) r.options = dump(j["options"]);
    r.sha256 = string_of(j, "sha256");
    if (j.contains("gain_db") && j["gain_db"].is_object()) {
        r.gain_min_db = number_of(j["gain_db"], "min");
        r.gain_max_db = number_of(j["gain_db"], "max");
    }
    r.speech_share = number_of(j, "speech_share");
    r.loudness_in = number_of(j, "loudness_in");
    r.loudness_out = number_of(j, "loudness_out");
    return true;
}

std::string manifest_open(manifest_file& m, const std::string& dir) {
    m.path = dir + "/" + MANIFEST_NAME;
    m.fd = open_file(m.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (m.fd < 0) return words_errno("cannot open", m.path, errno);
    // Two runs appending to one manifest would each rewrite it at the end
    // and lose the other's lines.
    if (flock(m.fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(m.fd);
        m.fd = -1;
        if (err == EWOULDBLOCK) return "another zek is writing to '" + dir + "': let it finish, or stop it first";
        return words_errno("cannot lock", m.path, err);
    }
    if (const int err = index_lines(m)) {
        close(m.fd);
        m.fd = -1;
        return words_errno("cannot read", m.path, err);
    }
    return {};
}

std::optional<manifest_record> manifest_find(manifest_file& m, const std::string& output) {
    manifest_file::place p{};
    {
        const std::lock_guard<std::mutex> held(m.lock);
        const auto it = m.earlier.find(output_hash(output));
        if (it == m.earlier.end() || it->second.superseded) return std::nullopt;
        p = it->second;
    }
    std::string line(p.length, '\0');
    if (pread(m.fd, line.data(), line.size(), p.at) != static_cast<ssize_t>(line.size())) return std::nullopt;
    manifest_record r;
    // Another output of the same hash: none found, and the file is levelled again.
    if (!parse_manifest_line(line, r) || r.output != output) return std::nullopt;
    return r;
}

int manifest_append(manifest_file& m, const manifest_record& r) {
    const std::string line = manifest_line(r);
    const std::lock_guard<std::mutex> held(m.lock);
    // One write at the end: a run killed meanwhile leaves a whole line, or a
    // cut one that the next run drops.
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = pwrite(m.fd, line.data() + done, line.size() - done, m.end + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    if (const auto it = m.earlier.find(output_hash(r.output)); it != m.earlier.end() && !it->second.superseded) {
        it->second.superseded = true;
        ++m.superseded;
    }
    m.end += static_cast<off_t>(line.size());
    return 0;
}

int manifest_close(manifest_file& m) {
    if (m.fd < 0) return 0;
    // A manifest that holds one line per output already (a first run's, or
    // one whose run levelled only new files) stays as it is.
    if (m.read == m.earlier.size() && m.dropped == 0 && m.superseded == 0) {
        close(m.fd);
        m.fd = -1;
        return 0;
    }
    // The lines that count, in the order they were written: the earlier
    // runs' last line of each output this run did not level, then this run's.
    std::vector<manifest_file::place> keep;
    for (const auto& [hash, p] : m.earlier) {
        if (!p.superseded) keep.push_back(p);
    }
    std::sort(keep.begin(), keep.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
    for (off_t at = m.run_start; at < m.end; at += 1 << 20) { // this run's, in pieces of 1 MiB
        const off_t piece = std::min<off_t>(m.end - at, 1 << 20);
        keep.push_back({at, static_cast<std::uint32_t>(piece - 1), false});
    }
    int err = 0;
    {
        const std::string temp = m.path + ".new";
        const int out = open_file(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (out < 0) err = errno;
        std::string block, line;
        for (std::size_t k = 0; err == 0 && k < keep.size(); ++k) {
            line.resize(keep[k].length + 1);
            if (pread(m.fd, line.data(), line.size(), keep[k].at) != static_cast<ssize_t>(line.size())) {
                err = errno != 0 ? errno : EIO;
                break;
            }
            block += line;
            if (block.size() >= (1 << 16) || k + 1 == keep.size()) {
                if (!write_all(out, block.data(), block.size())) err = errno;
                block.clear();
            }
        }
        if (out >= 0 && close(out) != 0 && err == 0) err = errno;
        // The rewritten manifest takes the place of the old one at once; until
        // then, and if anything failed, the old one stands, valid.
        if (err == 0 && rename(temp.c_str(), m.path.c_str()) != 0) err = errno;
        if (err != 0) unlink(temp.c_str());
    }
    close(m.fd); // the lock goes with it
    m.fd = -1;
    return err;
}

} // namespace zek
