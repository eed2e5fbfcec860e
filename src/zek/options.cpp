#include "zek/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "audio/recording.h"

namespace zek {

namespace {

// --comp X: a number from 0 to 1, read in single precision (comp_weight).
bool parse_comp(const char* text, int& weight) {
    char* end = nullptr;
    errno = 0;
    const float comp = std::strtof(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(comp >= 0.0f && comp <= 1.0f)) return false;
    weight = comp_weight(comp);
    return true;
}

} // namespace

command_line parse_command_line(int argc, char** argv) {
    command_line cl;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            cl.help = true;
        } else if (arg == "--version") {
            cl.version = true;
        } else if (arg == "--speech") {
            cl.options.speech = true;
        } else if (arg == "--live") {
            cl.options.live = true;
        } else if (arg == "--link") {
            cl.options.link = true;
        } else if (arg == "--comp" || arg.starts_with("--comp=")) {
            const char* value = arg == "--comp" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 7;
            if (value == nullptr || !parse_comp(value, cl.options.comp)) {
                cl.error = words({"--comp takes a number from 0 to 1, not '", value ? value : "", "'"});
                return cl;
            }
        } else if (arg == "--mix" || arg.starts_with("--mix=")) {
            cl.mix_path = arg == "--mix" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 6;
            if (cl.mix_path == nullptr || *cl.mix_path == '\0') {
                cl.error = "--mix takes the name of a file of weights";
                return cl;
            }
        } else if (arg.starts_with("--")) {
            cl.error = words({"unknown option '", arg, "' (zek --help lists the options)"});
            return cl;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) cl.paths.push_back(argv[i]);
    return cl;
}

run_result read_weights(command_line& cl) {
    if (cl.mix_path == nullptr) return {};
    const char* path = cl.mix_path;
    input_file f;
    if (const int err = input_open(f, path)) return failed(run_failure::input, "cannot open", path, err);
    if (const int err = input_check(f)) return failed(run_failure::input, "cannot read", path, err);
    std::string bytes;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = read_some(f.fd, buf, sizeof buf);
        if (n < 0) {
            const int err = errno;
            input_close(f);
            return failed(run_failure::input, "cannot read", path, err);
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    input_close(f);
    if (bytes.empty() || bytes.size() % 2 != 0) {
        return failed(run_failure::input, "cannot read", path,
                      bytes.empty() ? "the weight file is empty: it needs one 16-bit weight per hop"
                                    : "the weight file has an odd number of bytes: it holds 16-bit weights");
    }
    cl.weights.resize(bytes.size() / 2);
    decode_le(reinterpret_cast<const unsigned char*>(bytes.data()), cl.weights.data(), cl.weights.size());
    for (std::size_t k = 0; k < cl.weights.size(); ++k) {
        if (cl.weights[k] < 0) {
            return failed(run_failure::input, "cannot read", path,
                          words({"weight ", std::to_string(k), " is ", std::to_string(cl.weights[k]),
                                 ": weights are Q15 values from 0 (no levelling) to 32767"}));
        }
    }
    cl.options.mix = cl.weights.data();
    cl.options.mix_count = cl.weights.size();
    return {};
}

} // namespace zek
