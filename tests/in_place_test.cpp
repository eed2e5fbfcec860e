// Outputs that must keep their inode (a file with other hard links, a file in
// a folder we may not create files in, another user's file) through the real
// binary: whatever ends a run early (a refusal at the end of the stream, a
// read error, a signal) leaves the old bytes under every name and nothing
// else behind; concurrent runs onto one such file leave one run's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_harness.h"

namespace fs = std::filesystem;
using harness::read_file;
using harness::write_file;

namespace {

const std::string OLD = "PRECIOUS: an earlier take under two names";

std::vector<std::int16_t> noise(std::size_t n, unsigned seed = 1) {
    std::vector<std::int16_t> s(n);
    for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<std::int16_t>((k + seed * 7919) * 2654435761u >> 17);
    return s;
}

void put32(std::string& s, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>(v >> (8 * b)));
}

// A mono 48 kHz WAV header announcing `frames` frames of `bits`-bit samples
// in `format` (1 PCM, 3 float), followed by `data`.
std::string wav(std::uint16_t format, std::uint16_t bits, std::uint32_t frames, const std::string& data) {
    const std::uint32_t bytes = frames * (bits / 8u);
    std::string h = "RIFF";
    put32(h, 36 + bytes);
    h += "WAVEfmt ";
    put32(h, 16);
    put32(h, format | 1u << 16);
    put32(h, 48000);
    put32(h, 48000 * (bits / 8u));
    put32(h, (bits / 8u) | static_cast<std::uint32_t>(bits) << 16);
    h += "data";
    put32(h, bytes);
    return h + data;
}

// How the output comes to be written in place, and the command that runs zek
// (as root, without the powers that would let it replace the file instead).
struct way {
    const char* name;
    const char* out; // the output, relative to the test's folder
    bool root_only;
    std::vector<std::string> command;
};

class InPlace : public harness::temp_dir_test {
protected:
    // Makes the output for `w` hold OLD, with a second name for a hard link.
    void prepare(const way& w) {
        if (fs::exists(dir / "ro")) fs::permissions(dir / "ro", fs::perms(0755));
        for (const char* old : {"ro", "spool", "out.raw", "second-name.raw"}) fs::remove_all(dir / old);
        fs::create_directory(dir / "ro");
        fs::create_directory(dir / "spool"); // TMPDIR: where a spool goes that cannot lie beside the output
        write_file(dir / w.out, OLD);
        if (std::strcmp(w.name, "hard link") == 0) fs::create_hard_link(dir / w.out, dir / "second-name.raw");
        if (std::strcmp(w.name, "another user's file") == 0) {
            ASSERT_EQ(chown((dir / w.out).c_str(), 65534, 65534), 0);
            fs::permissions(dir / w.out, fs::perms(0666));
        }
        fs::permissions(dir / "ro", fs::perms(0555));
    }
    void TearDown() override {
        if (fs::exists(dir / "ro")) fs::permissions(dir / "ro", fs::perms(0755));
        temp_dir_test::TearDown();
    }
    harness::result run(const way& w, const std::vector<std::string>& knobs, std::vector<std::string> args,
                        const std::string& input = {}) {
        std::vector<std::string> env = {"TMPDIR=" + (dir / "spool").string()};
        if (!knobs.empty()) { // the shim: g++'s AddressSanitizer runtime would refuse to start behind it
            const char* asan = std::getenv("ASAN_OPTIONS");
            env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0");
        }
        env.insert(env.end(), w.command.begin(), w.command.end());
        // The knobs (the shim among them) for zek alone, set by a second env
        // after setpriv: an instrumented shim does not load into another program.
        env.push_back("env");
        env.insert(env.end(), knobs.begin(), knobs.end());
        env.push_back(ZEK_BINARY);
        env.insert(env.end(), args.begin(), args.end());
        return harness::run("env", env, dir, input);
    }
    // The old bytes under every name, no file added anywhere.
    void expect_untouched(const way& w, const std::string& label) {
        EXPECT_TRUE(read_file(dir / w.out) == OLD) << label;
        if (fs::exists(dir / "second-name.raw")) {
            EXPECT_TRUE(read_file(dir / "second-name.raw") == OLD) << label;
        }
        EXPECT_EQ(harness::names_in(dir / "ro"), (std::string(w.out).rfind("ro/", 0) == 0
                                                      ? std::vector<std::string>{fs::path(w.out).filename()}
                                                      : std::vector<std::string>{}))
            << label;
        EXPECT_TRUE(fs::is_empty(dir / "spool")) << label;
    }
};

const std::vector<way> WAYS = {
    {"hard link", "out.raw", false, {}},
    {"read-only folder", "ro/out.raw", false,
     {"setpriv", "--bounding-set=-dac_override,-dac_read_search"}},
    {"another user's file", "out.raw", true, {"setpriv", "--bounding-set=-chown,-fowner"}},
};

bool usable(const way& w) {
    if (w.root_only && geteuid() != 0) return false;
    return w.command.empty() || geteuid() == 0; // setpriv drops root's powers; others have none to drop
}

std::vector<std::string> no_setpriv(const way& w) {
    return geteuid() == 0 ? w.command : std::vector<std::string>{};
}

TEST_F(InPlace, FailedRunsLeaveTheOldBytes) {
    const std::vector<std::int16_t> samples = noise(48000 * 3);
    const std::string pcm = harness::to_bytes(samples);
    write_file(dir / "in.raw", pcm);
    std::string with_nan(pcm.size() * 2, '\0'); // 32-bit float, small, and a NaN in the last frame
    for (std::size_t k = 0; k + 4 < with_nan.size(); k += 4) std::memcpy(&with_nan[k + 2], "\x80\x3a", 2);
    std::memcpy(&with_nan[with_nan.size() - 4], "\x00\x00\xc0\x7f", 4);
    write_file(dir / "nan.wav", wav(3, 32, static_cast<std::uint32_t>(samples.size()), with_nan));
    const std::string cut = wav(1, 16, static_cast<std::uint32_t>(samples.size()), pcm.substr(0, pcm.size() - 1000));

    struct {
        const char* name;
        std::vector<std::string> knobs;
        std::vector<std::string> args;
        std::string input;
        const char* reason;
    } const failures[] = {
        {"a WAV cut short, from a pipe", {}, {"/dev/stdin"}, cut, "the file is cut short"},
        {"a NaN in the last frame", {}, {"nan.wav"}, {}, "holds a NaN"},
        {"a read error part-way", {"LD_PRELOAD=" ZEK_IO_SHIM, "IO_SHIM_READ_FAILS_AFTER=200000"}, {"in.raw"}, {},
         "Input/output error"},
        {"the same, with no unnamed files",
         {"LD_PRELOAD=" ZEK_IO_SHIM, "IO_SHIM_READ_FAILS_AFTER=200000", "IO_SHIM_NO_TMPFILE=1"}, {"in.raw"}, {},
         "Input/output error"},
    };
    for (const way& w0 : WAYS) {
        if (!usable(w0)) continue;
        way w = w0;
        w.command = no_setpriv(w0);
        for (const auto& f : failures) {
#ifdef ZEK_EMULATED
            if (!f.knobs.empty()) continue; // the shim is preloaded into the emulator's zek elsewhere
#endif
            const std::string label = std::string(w.name) + ", " + f.name;
            prepare(w);
            std::vector<std::string> args = f.args;
            args.push_back(w.out);
            const auto r = run(w, f.knobs, args, f.input);
            EXPECT_EQ(r.status, 1) << label << ": " << r.err;
            EXPECT_NE(r.err.find(f.reason), std::string::npos) << label << ": " << r.err;
            expect_untouched(w, label);
        }
        // And a run that succeeds writes the new output into the same file.
        prepare(w);
        struct stat before {}, after {};
        ASSERT_EQ(stat((dir / w.out).c_str(), &before), 0);
        const auto r = run(w, {}, {"in.raw", w.out});
        EXPECT_EQ(r.status, 0) << w.name << ": " << r.err;
        ASSERT_EQ(harness::zek({"in.raw", "fresh.raw"}, dir).status, 0);
        const std::string expected = read_file(dir / "fresh.raw");
        EXPECT_TRUE(read_file(dir / w.out) == expected) << w.name;
        if (fs::exists(dir / "second-name.raw")) {
            EXPECT_TRUE(read_file(dir / "second-name.raw") == expected);
        }
        ASSERT_EQ(stat((dir / w.out).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << w.name;
        EXPECT_EQ(after.st_uid, before.st_uid) << w.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << w.name;
        EXPECT_TRUE(fs::is_empty(dir / "spool")) << w.name;
        fs::remove(dir / "fresh.raw");
        fs::remove(dir / "second-name.raw");
    }
}

// A signal part-way through a run (the input a pipe we hold open, so the run
// is surely under way): the old bytes stay under both names.
TEST_F(InPlace, SignalsPartWayLeaveTheOldBytes) {
    const std::string pcm = harness::to_bytes(noise(1 << 20));
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        write_file(dir / "out.raw", OLD);
        fs::remove(dir / "second-name.raw");
        fs::create_hard_link(dir / "out.raw", dir / "second-name.raw");
        harness::child c = harness::spawn("env", {"TMPDIR=" + dir.string(), ZEK_BINARY, "/dev/stdin", "out.raw"}, dir);
        // The pipe holds 64 KiB: once 1 MiB went in, zek has read and levelled most of it.
        ASSERT_EQ(write(c.in, pcm.data(), pcm.size() / 2), static_cast<ssize_t>(pcm.size() / 2));
        kill(c.pid, sig);
        close(c.in);
        close(c.out);
        close(c.err);
        EXPECT_EQ(harness::wait_status(c.pid), 128 + sig) << strsignal(sig);
        EXPECT_TRUE(read_file(dir / "out.raw") == OLD) << strsignal(sig);
        EXPECT_TRUE(read_file(dir / "second-name.raw") == OLD) << strsignal(sig);
        EXPECT_EQ(harness::names_in(dir), (std::vector<std::string>{"out.raw", "second-name.raw"})) << strsignal(sig);
    }
}

// Twenty runs at once onto one hard-linked output, each levelling a
// different input: every run succeeds, and the file ends as exactly one
// run's output, never a mix of several.
TEST_F(InPlace, ConcurrentRunsLeaveOneRunsOutput) {
    constexpr int RUNS = 20;
    std::vector<std::string> expected;
    for (int k = 0; k < RUNS; ++k) {
        const std::string in = "in" + std::to_string(k) + ".raw";
        write_file(dir / in, harness::to_bytes(noise(300'000 + 2400 * static_cast<std::size_t>(k), static_cast<unsigned>(k + 1))));
        ASSERT_EQ(harness::zek({in, "alone.raw"}, dir).status, 0);
        expected.push_back(read_file(dir / "alone.raw"));
    }
    fs::remove(dir / "alone.raw");
    for (int round = 0; round < 3; ++round) {
        write_file(dir / "out.raw", OLD);
        fs::remove(dir / "second-name.raw");
        fs::create_hard_link(dir / "out.raw", dir / "second-name.raw");
        std::vector<harness::child> runs;
        for (int k = 0; k < RUNS; ++k) runs.push_back(harness::spawn(ZEK_BINARY, {"in" + std::to_string(k) + ".raw", "out.raw"}, dir));
        for (auto& c : runs) {
            close(c.in);
            close(c.out);
            close(c.err);
            EXPECT_EQ(harness::wait_status(c.pid), 0) << "round " << round;
        }
        const std::string got = read_file(dir / "out.raw");
        EXPECT_TRUE(std::find(expected.begin(), expected.end(), got) != expected.end())
            << "round " << round << ": " << got.size() << " bytes that are no single run's output";
        EXPECT_TRUE(read_file(dir / "second-name.raw") == got);
    }
}

} // namespace
