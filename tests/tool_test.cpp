// The tool through its real binary: command line, messages, exit statuses,
// and what happens to the files on every path.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tool_harness.h"

namespace fs = std::filesystem;
using harness::read_file;
using harness::write_file;

namespace {

const std::string USAGE =
    "\n ZEK winsize comp input output <optionnal adaptive gain file> "
    "\n     window size = 10*FS[kHz],  I/O files are in PCM raw format (short integer) "
    "\n     the adaptive gain file emulates the microphone noise detection ";
const std::string INPUT_ERROR = "\nbinary input file error ";
const std::string OUTPUT_ERROR = "\nbinary output file error ";
const std::string SAME_FILE = "\ninput and output are the same file ";

// Deterministic, full-range test signal.
std::vector<std::int16_t> ramp(std::size_t n) {
    std::vector<std::int16_t> s(n);
    for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<std::int16_t>(k * 2654435761u >> 16);
    return s;
}

class Tool : public harness::temp_dir_test {};

TEST_F(Tool, NoArgumentsPrintsUsageOnlyAndTouchesNothing) {
    const auto r = harness::zek({}, dir);
    EXPECT_EQ(r.out, USAGE);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Tool, SingleArgument) {
    struct {
        std::string arg;
        std::string out;
        int status;
    } const cases[] = {
        {"--version", "zek 0.1.0\n", 0},
        {"in.raw", USAGE, 2}, // the output path is missing
    };
    write_file(dir / "in.raw", harness::to_bytes(ramp(600)));
    for (const auto& c : cases) {
        const auto r = harness::zek({c.arg}, dir);
        EXPECT_EQ(r.out, c.out) << c.arg;
        EXPECT_EQ(r.status, c.status) << c.arg;
    }
    // Help tells how zek is used today: both kinds of input, whole lines.
    for (const char* arg : {"-h", "--help"}) {
        const auto r = harness::zek({arg}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: zek [OPTIONS] INPUT OUTPUT\n", 0), 0u) << r.out;
        for (const char* part : {"audio file", "raw file", "Exit status", "--speech", "--comp", "--link", "--mix"}) EXPECT_NE(r.out.find(part), std::string::npos);
        EXPECT_EQ(r.out.back(), '\n');
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
}

// Fewer samples than the lead-in come out unchanged; an odd last byte is not a sample.
TEST_F(Tool, ShortInputsAreCopied) {
    const std::string samples = harness::to_bytes(ramp(300));
    struct {
        std::string input, expected;
    } const cases[] = {
        {"", ""},
        {samples, samples},
        {samples + "x", samples},
        {"x", ""},
        {harness::to_bytes(ramp(512)), harness::to_bytes(ramp(512))},
    };
    for (const auto& c : cases) {
        write_file(dir / "in.raw", c.input);
        write_file(dir / "out.raw", "old contents of the output");
        const auto r = harness::zek({"in.raw", "out.raw"}, dir);
        EXPECT_EQ(r.status, 0) << c.input.size();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(dir / "out.raw"), c.expected) << c.input.size();
    }
}

TEST_F(Tool, FurtherArgumentsChangeNothing) {
    write_file(dir / "in.raw", harness::to_bytes(ramp(5000)));
    ASSERT_EQ(harness::zek({"in.raw", "a.raw"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"in.raw", "b.raw", "480", "1.0", "gain.raw"}, dir).status, 0);
    EXPECT_EQ(read_file(dir / "a.raw"), read_file(dir / "b.raw"));
    EXPECT_FALSE(fs::exists(dir / "gain.raw"));
    // An option after INPUT is still a name or ignored, but standard error
    // says so; after "--" names were meant, and nothing is said.
    const struct {
        std::vector<std::string> args;
        const char* output;
        std::string warning; // on standard error; "" for none
    } late[] = {
        {{"in.raw", "--speech", "c.raw"}, "--speech", "'--speech' comes after INPUT, so it is taken as OUTPUT's name"},
        {{"in.raw", "d.raw", "--link"}, "d.raw", "'--link' comes after INPUT, so it is ignored"},
        {{"in.raw", "e.raw", "-x", "--comp=0"}, "e.raw", "'--comp=0' comes after INPUT, so it is ignored"},
        {{"--", "in.raw", "--f.raw", "--link"}, "--f.raw", ""},
        {{"in.raw", "g.raw", "-", "480"}, "g.raw", ""},
    };
    for (const auto& c : late) {
        const auto r = harness::zek(c.args, dir);
        EXPECT_EQ(r.status, 0) << c.output;
        EXPECT_EQ(r.out, "") << c.output;
        EXPECT_EQ(read_file(dir / c.output), read_file(dir / "a.raw")) << c.output;
        if (c.warning.empty()) {
            EXPECT_EQ(r.err, "") << c.output;
        } else {
            EXPECT_NE(r.err.find("zek: warning: " + c.warning), std::string::npos) << c.output << ": " << r.err;
        }
    }
}

// Each failure: its message, status 1, a line on stderr naming the file and
// the reason, and the user's files exactly as they were.
TEST_F(Tool, FailuresLeaveFilesAsTheyWere) {
    const std::string input = harness::to_bytes(ramp(3000));
    const std::string existing = "an earlier take that must survive";
    write_file(dir / "in.raw", input);
    write_file(dir / "out.raw", existing);
    fs::create_directory(dir / "folder");
    fs::create_symlink("in.raw", dir / "link.raw");
    fs::create_hard_link(dir / "in.raw", dir / "hard.raw");

    struct {
        std::vector<std::string> args;
        std::string message;
        std::string reason; // expected on stderr
    } const cases[] = {
        {{"missing.raw", "out.raw"}, INPUT_ERROR, "cannot open 'missing.raw': No such file or directory"},
        {{"folder", "out.raw"}, INPUT_ERROR, "cannot read 'folder': Is a directory"},
        {{"/proc/self/mem", "out.raw"}, INPUT_ERROR, "cannot read '/proc/self/mem': Input/output error"},
        {{"in.raw", "folder"}, OUTPUT_ERROR, "cannot open 'folder': Is a directory"},
        {{"in.raw", "nowhere/out.raw"}, OUTPUT_ERROR, "cannot open 'nowhere/out.raw': No such file or directory"},
        {{"in.raw", "/dev/full"}, OUTPUT_ERROR, "cannot write '/dev/full': No space left on device"},
        {{"in.raw", "in.raw"}, SAME_FILE, "'in.raw' and 'in.raw' are the same file"},
        {{"in.raw", "./in.raw"}, SAME_FILE, "same file"},
        {{"in.raw", (dir / "in.raw").string()}, SAME_FILE, "same file"},
        {{"in.raw", "link.raw"}, SAME_FILE, "same file"},
        {{"link.raw", "in.raw"}, SAME_FILE, "same file"},
        {{"in.raw", "hard.raw"}, SAME_FILE, "same file"},
    };
    for (const auto& c : cases) {
        const auto r = harness::zek(c.args, dir);
        const std::string label = c.args[0] + " -> " + c.args[1];
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.out, c.message) << label;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << label << ": " << r.err;
        EXPECT_EQ(read_file(dir / "in.raw"), input) << label;
        EXPECT_EQ(read_file(dir / "out.raw"), existing) << label;
        EXPECT_FALSE(fs::exists(dir / "nowhere")) << label;
    }
    EXPECT_EQ(harness::names_in(dir), (std::vector<std::string>{"folder", "hard.raw", "in.raw", "link.raw", "out.raw"}));
}

// An existing output is replaced by a rename when the run succeeds: its
// permission bits stay, a symbolic link stays and its target is replaced,
// and nothing else is left. A file with other (hard) links is written in
// place, so that every name shows the new output, and so is a file in a
// directory the user may not create files in (as root, the run drops root's
// power to override permission bits).
TEST_F(Tool, ReplacingAnOutputKeepsWhatUsersRelyOn) {
    write_file(dir / "in.raw", harness::to_bytes(ramp(3000)));
    ASSERT_EQ(harness::zek({"in.raw", "expected.raw"}, dir).status, 0);
    const std::string expected = read_file(dir / "expected.raw");
    fs::create_directory(dir / "takes");
    for (const char* name : {"plain.raw", "target.raw", "linked.raw"}) write_file(dir / "takes" / name, "old take");
    fs::permissions(dir / "takes/plain.raw", fs::perms(0604));
    fs::create_symlink("takes/target.raw", dir / "symlink.raw");
    fs::create_hard_link(dir / "takes/linked.raw", dir / "takes/other-name.raw");
    for (const char* out : {"takes/plain.raw", "symlink.raw", "takes/linked.raw", "takes/new.raw"}) {
        const auto r = harness::zek({"in.raw", out}, dir);
        EXPECT_EQ(r.status, 0) << out << ": " << r.err;
    }
    for (const char* name : {"plain.raw", "target.raw", "linked.raw", "other-name.raw", "new.raw"}) {
        EXPECT_TRUE(read_file(dir / "takes" / name) == expected) << name;
    }
    EXPECT_EQ(fs::status(dir / "takes/plain.raw").permissions(), fs::perms(0604));
    EXPECT_TRUE(fs::is_symlink(dir / "symlink.raw"));
    EXPECT_EQ(harness::names_in(dir / "takes"),
              (std::vector<std::string>{"linked.raw", "new.raw", "other-name.raw", "plain.raw", "target.raw"}));

    std::vector<std::string> command = {ZEK_BINARY, "in.raw", "takes/plain.raw"};
    if (geteuid() == 0) // root, without the power to write where the permission bits forbid it
        command.insert(command.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search"});
    write_file(dir / "takes/plain.raw", "old take");
    fs::permissions(dir / "takes", fs::perms(0555));
    const auto r = harness::run(command[0], {command.begin() + 1, command.end()}, dir);
    fs::permissions(dir / "takes", fs::perms(0755));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir / "takes/plain.raw") == expected);
}

TEST_F(Tool, MissingInputDoesNotCreateTheOutput) {
    const auto r = harness::zek({"missing.raw", "out.raw"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "out.raw"));
}

// A weight file gives every hop's weight: a --comp beside it, in either order,
// changes nothing and says so on standard error, in zek and in zek-report;
// either option alone says nothing.
TEST_F(Tool, CompBesideMixIsIgnoredWithAWarning) {
    write_file(dir / "in.raw", harness::to_bytes(ramp(20000)));
    write_file(dir / "half.mix", harness::to_bytes({16384, 8192}));
    const std::string warning = "warning: --comp is ignored: --mix gives the weight of every hop";
    ASSERT_EQ(harness::zek({"--mix", "half.mix", "in.raw", "mix.raw"}, dir).status, 0);
    const std::string mixed = read_file(dir / "mix.raw");
    const struct {
        std::vector<std::string> options;
        bool warns;
    } cases[] = {
        {{"--comp", "0.2", "--mix", "half.mix"}, true},
        {{"--mix=half.mix", "--comp=0.7"}, true},
        {{"--mix", "half.mix"}, false},
        {{"--comp", "0.2"}, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"in.raw", "out.raw"});
        const auto r = harness::zek(args, dir);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.err.find("zek: " + warning) != std::string::npos, c.warns) << args[0] << ": " << r.err;
        if (c.options.size() > 2) {
            EXPECT_TRUE(read_file(dir / "out.raw") == mixed) << args[0];
        }
        args.back() = "mix.raw"; // the report replays the options against the --mix output
        const auto report = harness::run(ZEK_REPORT_BINARY, args, dir);
        EXPECT_EQ(report.err.find("zek-report: " + warning) != std::string::npos, c.warns) << args[0] << ": " << report.err;
    }
}

// Devices are never refused as "the same file", even when both sides are one device.
TEST_F(Tool, DevicesAreNotTheSameFile) {
    EXPECT_EQ(harness::zek({"/dev/null", "/dev/null"}, dir).status, 0);
    write_file(dir / "in.raw", harness::to_bytes(ramp(3000)));
    EXPECT_EQ(harness::zek({"in.raw", "/dev/null"}, dir).status, 0);
    const auto r = harness::zek({"/dev/null", "out.raw"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir / "out.raw"), "");
}

// Options: a bad one is refused before any file is touched (status 2 for the
// command line, 1 for a weight file that cannot be taken), and the weights
// reach the engine: --comp 1 and a file of 32766s are the built-in weight,
// a file of zeros is --comp 0, "--" lets an input be named like an option.
TEST_F(Tool, Options) {
    std::vector<std::int16_t> quiet = ramp(20000); // about -42 dBFS: the curves decide its gain
    for (auto& s : quiet) s = static_cast<std::int16_t>(s / 128);
    write_file(dir / "in.raw", harness::to_bytes(quiet));
    write_file(dir / "--speech", harness::to_bytes(quiet));
    write_file(dir / "out.raw", "old");
    const auto weights = [&](const char* name, std::vector<std::int16_t> w, std::string extra = {}) {
        write_file(dir / name, harness::to_bytes(w) + extra);
    };
    weights("zeros.mix", {0, 0});
    weights("builtin.mix", {32766});
    weights("negative.mix", {100, -1});
    weights("odd.mix", {100}, "x");
    weights("empty.mix", {});
    struct {
        std::vector<std::string> args;
        int status;
        std::string reason;
    } const bad[] = {
        {{"--comp", "1.5", "in.raw", "out.raw"}, 2, "--comp takes a number from 0 to 1, not '1.5'"},
        {{"--comp=nan", "in.raw", "out.raw"}, 2, "not 'nan'"},
        {{"--comp", "0.5x", "in.raw", "out.raw"}, 2, "not '0.5x'"},
        {{"--comp", "-1e-300", "in.raw", "out.raw"}, 2, "not '-1e-300'"},
        {{"--comp", "-0.5", "in.raw", "out.raw"}, 2, "not '-0.5'"},
        {{"--comp", "1.00000001", "in.raw", "out.raw"}, 2, "not '1.00000001'"}, // 1 in single precision, but more than 1
        {{"--comp=-inf", "in.raw", "out.raw"}, 2, "not '-inf'"},
        {{"--comp", "1e400", "in.raw", "out.raw"}, 2, "not '1e400'"},
        {{"--comp", "", "in.raw", "out.raw"}, 2, "not ''"},
        {{"--loud", "in.raw", "out.raw"}, 2, "unknown option '--loud'"},
        {{"--mix"}, 2, "--mix takes the name of a file"},
        {{"--speech", "in.raw"}, 2, "missing output file"},
        {{"--mix", "negative.mix", "in.raw", "out.raw"}, 1, "weight 1 is -1"},
        {{"--mix", "odd.mix", "in.raw", "out.raw"}, 1, "odd number of bytes"},
        {{"--mix", "empty.mix", "in.raw", "out.raw"}, 1, "is empty"},
        {{"--mix=none.mix", "in.raw", "out.raw"}, 1, "cannot open 'none.mix'"},
    };
    for (const auto& c : bad) {
        const auto r = harness::zek(c.args, dir);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(read_file(dir / "out.raw"), "old") << c.args[0];
    }
    const auto level = [&](std::vector<std::string> args) {
        args.push_back("o.raw");
        EXPECT_EQ(harness::zek(args, dir).status, 0) << args[0];
        return read_file(dir / "o.raw");
    };
    const std::string builtin = level({"in.raw"});
    EXPECT_TRUE(level({"--comp", "1", "in.raw"}) == builtin);
    EXPECT_TRUE(level({"--mix", "builtin.mix", "in.raw"}) == builtin);
    EXPECT_TRUE(level({"--", "--speech"}) == builtin);
    EXPECT_TRUE(level({"--mix=zeros.mix", "in.raw"}) == level({"--comp=0", "in.raw"}));
    EXPECT_TRUE(level({"--comp", "0", "in.raw"}) != builtin);
    // Every number from 0 to 1 is taken, however small (its weight is 0).
    for (const char* tiny : {"1e-50", "4.9e-324", "-0", "0x1p-30"}) {
        EXPECT_TRUE(level({"--comp", tiny, "in.raw"}) == level({"--comp=0", "in.raw"})) << tiny;
    }
}

// The weight file is an input: never written over as the output, under any
// name; read as it comes, each weight checked on arrival, so that a source
// of noise is refused at once and an endless one at a bound rather than
// when memory runs out; and held in memory once.
TEST_F(Tool, WeightFileIsAnInput) {
    write_file(dir / "in.raw", harness::to_bytes(ramp(5000)));
    write_file(dir / "out.raw", "old");
    const std::string weights = harness::to_bytes({100, 32767, 0});
    write_file(dir / "w.mix", weights);
    fs::create_symlink("w.mix", dir / "link.mix");
    fs::create_hard_link(dir / "w.mix", dir / "hard.mix");
    write_file(dir / "big.mix", "");
    fs::resize_file(dir / "big.mix", 2 * ((std::uintmax_t{1} << 26) + 1)); // one weight past the bound, sparse
    const std::string as_output = "it is the weight file given to --mix", too_many = "more than 67108864 weights";
    struct {
        std::vector<std::string> args;
        std::string message, reason;
    } const cases[] = {
        {{"--mix", "w.mix", "in.raw", "w.mix"}, OUTPUT_ERROR, "cannot write 'w.mix': " + as_output},
        {{"--mix=w.mix", "in.raw", "./w.mix"}, OUTPUT_ERROR, as_output},
        {{"--mix", "w.mix", "in.raw", (dir / "w.mix").string()}, OUTPUT_ERROR, as_output},
        {{"--mix", "w.mix", "in.raw", "link.mix"}, OUTPUT_ERROR, as_output},
        {{"--mix", "link.mix", "in.raw", "hard.mix"}, OUTPUT_ERROR, as_output},
        {{"--speech", "--mix", "hard.mix", "--", "in.raw", "w.mix"}, OUTPUT_ERROR, as_output},
        {{"--mix", "/dev/zero", "in.raw", "out.raw"}, INPUT_ERROR, "cannot read '/dev/zero': the weight file holds " + too_many},
        {{"--mix", "big.mix", "in.raw", "out.raw"}, INPUT_ERROR, too_many},
        {{"--mix", "/dev/urandom", "in.raw", "out.raw"}, INPUT_ERROR, ": weights are Q15 values from 0"},
    };
    for (const auto& c : cases) {
        const auto r = harness::zek(c.args, dir);
        const std::string label = c.args[1] + " -> " + c.args.back();
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.out, c.message) << label;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << label << ": " << r.err;
        EXPECT_EQ(read_file(dir / "w.mix"), weights) << label;
        EXPECT_EQ(read_file(dir / "out.raw"), "old") << label;
    }
    EXPECT_EQ(harness::zek({"--mix", "w.mix", "w.mix", "out.raw"}, dir).status, 0) << "read twice, written never";

    // 16 MiB of weights (zeros: --comp 0) take 16 MiB, not the 32 that holding
    // the file's bytes beside its weights took.
    write_file(dir / "zeros.mix", "");
    fs::resize_file(dir / "zeros.mix", std::uintmax_t{16} << 20);
    const auto plain = harness::zek({"--comp", "0", "in.raw", "a.raw"}, dir);
    const auto mixed = harness::zek({"--mix", "zeros.mix", "in.raw", "b.raw"}, dir);
    ASSERT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_EQ(read_file(dir / "a.raw"), read_file(dir / "b.raw"));
    EXPECT_LT(mixed.max_rss_kib - plain.max_rss_kib, 24 * 1024) << "KiB for 16 MiB of weights";
}

} // namespace
