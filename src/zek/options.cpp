#include "zek/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "audio/recording.h"

namespace zek {

namespace {

// --comp X: a number from 0 to 1. The text is read as the nearest double,
// as Python and JavaScript hold their numbers, so that every front end takes
// the same values: 1e-50 is in range (its weight is 0) and -1e-300 is not.
// strtod's ERANGE says nothing the range does not: an underflow gives 0 or a
// subnormal, an overflow an infinity. The weight is then taken from the
// value in single precision, as zek always has (comp_weight).
bool parse_comp(const char* text, int& weight) {
    char* end = nullptr;
    const double comp = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(comp >= 0.0 && comp <= 1.0)) return false; // NaN fails both
    weight = comp_weight(static_cast<float>(comp));
    return true;
}

std::string too_many_weights() {
    return words({"the weight file holds more than ", std::to_string(MAX_WEIGHTS),
                  " weights (128 MiB, one for each 5 ms hop of 93 hours), the most zek takes"});
}

// Room for `count` weights: what a file's size announced, else doubling, but
// never past the bound, so that a source that ends there takes no more.
void make_room(std::vector<std::int16_t>& weights, std::size_t count) {
    if (count > weights.capacity()) weights.reserve(std::min(MAX_WEIGHTS, std::max(2 * weights.capacity(), count)));
}

// A number of decibels from `low` to `high`, as thousandths.
bool parse_db(const char* text, double low, double high, std::int32_t& milli) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(v >= low && v <= high)) return false;
    milli = static_cast<std::int32_t>(std::lround(v * 1000));
    return true;
}

// The delivery standards' presets: what each sets unless an option
// says otherwise.
struct preset {
    const char* name;
    bool speech;
    std::int32_t target_mlufs, ceiling_mdb;
};
constexpr preset PRESETS[] = {
    {"podcast", true, -16000, -1000},
    {"ebu", false, -23000, -1000},
    {"streaming", false, -14000, -1000},
};

} // namespace

command_line parse_command_line(int argc, char** argv) {
    command_line cl;
    const preset* chosen = nullptr;
    bool target_given = false, ceiling_given = false;
    bool comp_given = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            cl.names_only = true;
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
            comp_given = true;
        } else if (arg == "--mix" || arg.starts_with("--mix=")) {
            cl.mix_path = arg == "--mix" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 6;
            if (cl.mix_path == nullptr || *cl.mix_path == '\0') {
                cl.error = "--mix takes the name of a file of weights";
                return cl;
            }
        } else if (parse_batch_option(cl, argc, argv, i)) {
            if (!cl.error.empty()) return cl;
        } else if (arg == "--target" || arg.starts_with("--target=") || arg == "--true-peak" ||
                   arg.starts_with("--true-peak=")) {
            const bool target = arg.starts_with("--target");
            const std::size_t name = target ? 8 : 11;
            const char* value = arg.size() == name ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + name + 1;
            std::int32_t& milli = target ? cl.options.target_mlufs : cl.options.ceiling_mdb;
            if (value == nullptr || !parse_db(value, target ? -70 : -9, target ? -5 : 0, milli)) {
                cl.error = words({target ? "--target takes an integrated loudness in LUFS from -70 to -5, not '"
                                         : "--true-peak takes a ceiling in dBTP from -9 to 0, not '",
                                  value ? value : "", "'"});
                return cl;
            }
            (target ? target_given : ceiling_given) = true;
        } else if (arg == "--preset" || arg.starts_with("--preset=")) {
            const char* value = arg == "--preset" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 9;
            chosen = nullptr;
            for (const preset& p : PRESETS) {
                if (value != nullptr && std::string_view(value) == p.name) chosen = &p;
            }
            if (chosen == nullptr) {
                cl.error = words({"--preset takes podcast, ebu or streaming, not '", value ? value : "", "'"});
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
    // A preset sets what the options left unsaid, wherever it stands.
    if (chosen != nullptr) {
        cl.options.speech = cl.options.speech || chosen->speech;
        if (!target_given) cl.options.target_mlufs = chosen->target_mlufs;
        if (!ceiling_given) cl.options.ceiling_mdb = chosen->ceiling_mdb;
        target_given = ceiling_given = true;
    }
    cl.options.target = target_given;
    cl.options.limit = ceiling_given;
    // The weight file gives every hop's weight, so a --comp beside it has no
    // say: the run goes on as asked, but the user should know.
    if (comp_given && cl.mix_path != nullptr) cl.warning = "--comp is ignored: --mix gives the weight of every hop";
    return cl;
}

bool misplaced_option(const command_line& cl, std::size_t k) {
    return !cl.names_only && k >= 1 && k < cl.paths.size() && std::string_view(cl.paths[k]).starts_with("--");
}

run_result read_weights(command_line& cl) {
    if (cl.mix_path == nullptr) return {};
    const char* path = cl.mix_path;
    input_file f;
    if (const int err = input_open(f, path)) return failed(run_failure::input, "cannot open", path, err);
    if (const int err = input_check(f)) return failed(run_failure::input, "cannot read", path, err);
    const auto refuse = [&](run_result r) {
        input_close(f);
        cl.weights = {};
        return r;
    };
    // A file's size is known: past the bound it is refused unread, and its
    // weights take their own memory and no more.
    if (S_ISREG(f.st.st_mode)) {
        const auto bytes = static_cast<std::uint64_t>(f.st.st_size);
        if (bytes / 2 > MAX_WEIGHTS) return refuse(failed(run_failure::input, "cannot read", path, too_many_weights()));
        cl.weights.reserve(static_cast<std::size_t>(bytes / 2));
    }
    unsigned char buf[1 << 16];
    std::size_t have = 0; // bytes in buf: an odd byte left from the last read, then what this one brought
    for (;;) {
        const ssize_t n = read_some(f.fd, buf + have, sizeof buf - have);
        if (n < 0) return refuse(failed(run_failure::input, "cannot read", path, errno));
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
        const std::size_t at = cl.weights.size(), count = have / 2;
        if (count > MAX_WEIGHTS - at) return refuse(failed(run_failure::input, "cannot read", path, too_many_weights()));
        make_room(cl.weights, at + count);
        cl.weights.resize(at + count);
        decode_le(buf, cl.weights.data() + at, count);
        for (std::size_t k = at; k < at + count; ++k) {
            if (cl.weights[k] < 0) {
                return refuse(failed(run_failure::input, "cannot read", path,
                                     words({"weight ", std::to_string(k), " is ", std::to_string(cl.weights[k]),
                                            ": weights are Q15 values from 0 (no levelling) to 32767"})));
            }
        }
        buf[0] = buf[have - 1];
        have %= 2;
    }
    cl.mix_st = f.st;
    input_close(f);
    if (have != 0 || cl.weights.empty()) {
        cl.weights = {};
        return failed(run_failure::input, "cannot read", path,
                      have == 0 ? "the weight file is empty: it needs one 16-bit weight per hop"
                                : "the weight file has an odd number of bytes: it holds 16-bit weights");
    }
    cl.options.mix = cl.weights.data();
    cl.options.mix_count = cl.weights.size();
    cl.options.mix_file = &cl.mix_st;
    return {};
}

} // namespace zek
