// The tool against what archives and live streams throw at it, through the
// real binary: a FIFO that stops early, an output pipe that closes, calls
// interrupted by signals and pipes that move a few bytes at a time, and an
// input too long for 32-bit sample or byte counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t LEAD = 512, HOP = 240;

std::vector<std::int16_t> noise(std::size_t n) {
    std::vector<std::int16_t> s(n);
    for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<std::int16_t>(k * 2654435761u >> 16);
    return s;
}

// A file of `size` zero bytes that takes no disk space; false where the file
// system would really write them (then the test is skipped, not run).
bool make_sparse(const fs::path& p, std::uintmax_t size) {
    harness::write_file(p, "");
    fs::resize_file(p, std::uintmax_t{64} << 20);
    struct stat st {};
    if (stat(p.c_str(), &st) != 0 || st.st_blocks > 2048) return false;
    fs::resize_file(p, size);
    return true;
}

class HostileIo : public harness::temp_dir_test {};

// A live source that stops after 700 samples: the lead-in comes out, the 188
// samples after it do not make a hop, and the end of the stream is no error.
TEST_F(HostileIo, FifoWhoseWriterStopsEarly) {
    const fs::path fifo = dir / "live.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sent = harness::to_bytes(noise(700));
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY); // waits for zek to open the reading end
        if (fd < 0) return;
        EXPECT_EQ(write(fd, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
        close(fd);
    });
    const auto r = harness::run("timeout", {"-s", "KILL", "20", ZEK_BINARY, "live.fifo", "out.raw"}, dir);
    // If zek never opened the FIFO, this reader releases the writer thread.
    const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    close(unblock);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(harness::read_file(dir / "out.raw"), sent.substr(0, 2 * LEAD));
}

// The reader of the output goes away after 100 bytes. With SIGPIPE at its
// default zek dies of it, as every filter in a pipeline does; with SIGPIPE
// ignored the write fails with EPIPE and zek reports it. Either way it ends
// at once, never loops on the dead pipe (the timeout only guards a hang).
TEST_F(HostileIo, BrokenOutputPipeEndsTheRun) {
    if (!make_sparse(dir / "big.raw", std::uintmax_t{1} << 30)) GTEST_SKIP() << "no sparse files in " << dir;
    // zek's standard output stays the test's (fd 3); the output file is the pipe (fd 4).
    const std::string pipeline = "exec 3>&1; { timeout -s KILL 20 \"$0\" big.raw /dev/fd/4 4>&1 >&3; "
                                 "echo \"status $?\" >&3; } | head -c 100 >/dev/null";
    struct {
        const char* sigpipe;
        std::string out;
        const char* err;
    } const cases[] = {
        {"", "status 141\n", ""}, // 128 + SIGPIPE, as the shell reports it
        {"trap '' PIPE; ", "\nbinary output file error status 1\n", "zek: cannot write '/dev/fd/4': Broken pipe\n"},
    };
    for (const auto& c : cases) {
        const auto r = harness::run("/bin/sh", {"-c", c.sigpipe + pipeline, ZEK_BINARY}, dir);
        EXPECT_EQ(r.out, c.out) << "SIGPIPE " << (*c.sigpipe ? "ignored" : "default");
        EXPECT_EQ(r.err, c.err);
    }
}

// Through an LD_PRELOAD shim every other open, read and write fails with
// EINTR and the rest move 1 to 7 bytes: files and pipes give the same bytes
// as a plain run. (g++'s AddressSanitizer runtime is a shared library and
// refuses to start behind a preloaded one, so its order check is switched off
// for this run only; clang links the runtime statically and ignores it.)
TEST_F(HostileIo, InterruptedAndShortTransfersAreRetried) {
    const std::string input = harness::to_bytes(noise(LEAD + 30 * HOP + 101)) + "z";
    harness::write_file(dir / "in.raw", input);
    ASSERT_EQ(harness::zek({"in.raw", "plain.raw"}, dir).status, 0);
    const std::string expected = harness::read_file(dir / "plain.raw");
#ifdef ZEK_EMULATED
    // Only the emulated zek may load the shim, not the emulator or its launcher.
    const std::vector<std::string> env = {"QEMU_SET_ENV=LD_PRELOAD=" ZEK_IO_SHIM, ZEK_BINARY};
#else
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> env = {"LD_PRELOAD=" ZEK_IO_SHIM,
                                          std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0",
                                          ZEK_BINARY};
#endif
    struct {
        std::vector<std::string> args;
        std::string stdin_bytes;
    } const cases[] = {{{"in.raw", "out.raw"}, ""}, {{"/dev/stdin", "/dev/stdout"}, input}};
    for (const auto& c : cases) {
        std::vector<std::string> args = env;
        args.insert(args.end(), c.args.begin(), c.args.end());
        fs::remove(dir / "out.raw");
        const auto r = harness::run("env", args, dir, c.stdin_bytes);
        const std::string label = c.args[0] + " -> " + c.args[1];
        EXPECT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_EQ(r.err, "io_shim: active\n") << label;
        const std::string got = c.stdin_bytes.empty() ? harness::read_file(dir / "out.raw") : r.out;
        EXPECT_EQ(got.size(), expected.size()) << label;
        EXPECT_TRUE(got == expected) << label << ": other bytes than a plain run";
    }
}

// 4.6 GB of silence plus a partial hop and an odd byte: 2.3 billion samples,
// past both 2^31 samples and 2^32 bytes. The output is counted through a pipe,
// never written to disk.
TEST_F(HostileIo, HugeInputKeepsItsLength) {
    const std::uint64_t in_bytes = 4'600'000'001;
    if (!make_sparse(dir / "huge.raw", in_bytes)) GTEST_SKIP() << "no sparse files in " << dir;
    const std::string command = "exec '" ZEK_BINARY "' '" + (dir / "huge.raw").string() + "' /dev/stdout";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    fcntl(fileno(out), F_SETPIPE_SZ, 1 << 20); // fewer wake-ups; a smaller pipe only costs time
    std::vector<char> buf(1 << 20), zeros(1 << 20);
    std::uint64_t total = 0;
    bool silent = true;
    for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), out)) > 0; total += n)
        silent = silent && std::memcmp(buf.data(), zeros.data(), n) == 0;
    EXPECT_EQ(pclose(out), 0);
    EXPECT_EQ(total, 2 * (LEAD + HOP * ((in_bytes / 2 - LEAD) / HOP)));
    EXPECT_TRUE(silent);
}

} // namespace
