// The inputs of a batch: files named alone, and the audio files under the
// folders named, told by their first bytes as a single run tells them.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "audio/recording.h"
#include "zek/batch.h"

namespace zek {

namespace {

// What a file's first bytes say: a container zek reads, a compressed format
// it refuses (still an input, so that the refusal is named), or neither.
bool holds_audio(int fd, const struct stat& st, container& kind) {
    unsigned char head[COMPRESSED_SNIFF_MAX];
    ssize_t got = peek_input(fd, st, head, SNIFF_BYTES);
    if (got > 0) {
        const std::size_t need = compressed_sniff_bytes(head, static_cast<std::size_t>(got));
        if (need > static_cast<std::size_t>(got)) got = peek_input(fd, st, head, need);
    }
    if (got <= 0) return false;
    const auto n = static_cast<std::size_t>(got);
    kind = sniff_container(head, n);
    return kind != container::none || sniff_compressed(head, n) != nullptr;
}

// A name with its extension replaced by `ext` (or given one).
std::string with_extension(std::string_view name, const std::string& ext) {
    const std::size_t slash = name.rfind('/');
    const std::size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    const std::size_t dot = name.rfind('.');
    const bool has = dot != std::string_view::npos && dot > base;
    return words({has ? name.substr(0, dot) : name, ".", ext});
}

struct walker {
    const batch_settings& s;
    const struct stat* skip;
    walk_result& found;

    std::string output_of(const std::string& input, container kind) const {
        if (s.format == container::none || kind == container::none) return {}; // the input's
        return with_extension(input, s.format_name);
    }

    // The entries of the folder open in dir_fd, `rel` under root, in name order.
    void folder(int dir_fd, const char* root, const std::string& rel) {
        DIR* d = fdopendir(dir_fd);
        if (d == nullptr) {
            const int err = errno;
            close(dir_fd);
            found.items.push_back({root, rel, {}, false, container::none, 0, err});
            return;
        }
        std::vector<std::pair<std::string, unsigned char>> entries;
        errno = 0;
        while (const dirent* e = readdir(d)) {
            const std::string_view name = e->d_name;
            if (name != "." && name != "..") entries.emplace_back(name, e->d_type);
        }
        if (errno != 0) found.items.push_back({root, rel, {}, false, container::none, 0, errno});
        std::sort(entries.begin(), entries.end());
        for (const auto& [name, type] : entries) {
            const std::string path = rel.empty() ? name : words({rel, "/", name});
            struct stat st {};
            // Symbolic links to files are followed; to folders, not (a loop
            // would never end), as find(1) does by default.
            if (type == DT_DIR || type == DT_UNKNOWN || type == DT_LNK) {
                if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                if (S_ISDIR(st.st_mode)) {
                    if (skip != nullptr && st.st_dev == skip->st_dev && st.st_ino == skip->st_ino) continue;
                    const int sub = openat(dirfd(d), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    if (sub < 0) {
                        found.items.push_back({root, path, {}, false, container::none, 0, errno});
                    } else {
                        folder(sub, root, path);
                    }
                    continue;
                }
            } else if (type != DT_REG) {
                continue; // devices, FIFOs, sockets: no recordings
            }
            const int fd = openat(dirfd(d), name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            container kind = container::none;
            bool audio = false;
            if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) audio = holds_audio(fd, st, kind);
            if (fd < 0 && errno != ENOENT) audio = true; // unreadable: an input that fails, named
            if (fd >= 0) close(fd);
            if (audio) {
                found.items.push_back({root, path, output_of(path, kind), false, kind,
                                       static_cast<std::uint64_t>(st.st_size), 0});
            } else if (fd >= 0) {
                ++found.not_audio;
            }
        }
        closedir(d);
    }
};

std::string base_name(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace

std::string item_path(const batch_item& item) {
    const std::string_view root = item.root;
    if (item.alone || item.input.empty()) return std::string(root);
    return words({root, root.ends_with('/') ? "" : "/", item.input});
}

walk_result walk_inputs(const std::vector<const char*>& inputs, const batch_settings& s, const struct stat* skip) {
    walk_result found;
    walker w{s, skip, found};
    for (const char* root : inputs) {
        const int fd = open_file(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            w.folder(fd, root, "");
            continue;
        }
        // A file named alone is an input whatever it holds; one that cannot
        // be opened fails in its job, with the single run's message.
        batch_item item{root, base_name(root), {}, true, container::none, 0, 0};
        // Only a regular file is looked at here: opening a FIFO would wait
        // for its writer, and peeking at it take what the run must read.
        struct stat st {};
        input_file f;
        if (stat(root, &st) == 0 && S_ISREG(st.st_mode) && input_open(f, root) == 0 && input_check(f) == 0) {
            item.size = static_cast<std::uint64_t>(f.st.st_size);
            holds_audio(f.fd, f.st, item.kind);
            input_close(f);
        }
        item.output = w.output_of(item.input, item.kind);
        found.items.push_back(std::move(item));
    }
    std::unordered_set<std::string_view> outputs;
    outputs.reserve(found.items.size());
    for (const batch_item& item : found.items) {
        if (item.walk_err != 0 || outputs.insert(item_output(item)).second) continue;
        const auto first = std::find_if(found.items.begin(), found.items.end(),
                                        [&](const batch_item& o) { return item_output(o) == item_output(item); });
        found.clash = words({"'", item_path(*first), "' and '", item_path(item), "' would both be written to '",
                             item_output(item), "' under the output folder"});
        break;
    }
    return found;
}

} // namespace zek
