// The tool against what archives and live streams throw at it, through the
// real binary: a FIFO that stops early, an output pipe that closes, calls
// interrupted by signals and pipes that move a few bytes at a time, no thread
// to be had, a read error and a full disk part-way, and an input too long for
// 32-bit sample or byte counts.
#include <gtest/gtest.h>

#include <fstream>

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
// Extends the file at p to `size` bytes with zeros that take no room on
// disk; false where the file system cannot.
bool make_sparse_tail(const fs::path& p, std::uintmax_t size) {
    const std::uintmax_t had = fs::file_size(p);
    fs::resize_file(p, had + (std::uintmax_t{64} << 20));
    struct stat st {};
    if (stat(p.c_str(), &st) != 0 || st.st_blocks > 2048 + static_cast<blkcnt_t>(had / 512)) return false;
    fs::resize_file(p, size);
    return true;
}

bool make_sparse(const fs::path& p, std::uintmax_t size) {
    harness::write_file(p, "");
    return make_sparse_tail(p, size);
}

// Runs zek through the I/O shim (io_shim.cpp) with `knobs` ("IO_SHIM_...=...")
// set. g++'s AddressSanitizer runtime is a shared library and refuses to
// start behind a preloaded one, so its order check is switched off for this
// run only; clang links the runtime statically and ignores it. Under
// emulation only the emulated zek may load the shim, not the emulator or its
// launcher; the knobs reach it with the rest of the environment.
harness::result zek_through_shim(const std::vector<std::string>& knobs, const std::vector<std::string>& args,
                                 const fs::path& dir, const std::string& input = {}) {
#ifdef ZEK_EMULATED
    std::vector<std::string> env = {"QEMU_SET_ENV=LD_PRELOAD=" ZEK_IO_SHIM};
#else
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {"LD_PRELOAD=" ZEK_IO_SHIM,
                                    std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
#endif
    for (const auto& k : knobs) {
        if (!k.empty()) env.push_back(k);
    }
    env.push_back(ZEK_BINARY);
    env.insert(env.end(), args.begin(), args.end());
    return harness::run("env", env, dir, input);
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

// Through the shim every other open, read and write fails with EINTR and the
// rest move 1 to 7 bytes: files and pipes give the same bytes as a plain run.
TEST_F(HostileIo, InterruptedAndShortTransfersAreRetried) {
    const std::string input = harness::to_bytes(noise(LEAD + 30 * HOP + 101)) + "z";
    harness::write_file(dir / "in.raw", input);
    ASSERT_EQ(harness::zek({"in.raw", "plain.raw"}, dir).status, 0);
    const std::string expected = harness::read_file(dir / "plain.raw");
    struct {
        std::vector<std::string> args;
        std::string stdin_bytes;
    } const cases[] = {{{"in.raw", "out.raw"}, ""}, {{"/dev/stdin", "/dev/stdout"}, input}};
    for (const auto& c : cases) {
        fs::remove(dir / "out.raw");
        const auto r = zek_through_shim({}, c.args, dir, c.stdin_bytes);
        const std::string label = c.args[0] + " -> " + c.args[1];
        EXPECT_EQ(r.status, 0) << label << ": " << r.err;
        EXPECT_EQ(r.err, "io_shim: active\n") << label;
        const std::string got = c.stdin_bytes.empty() ? harness::read_file(dir / "out.raw") : r.out;
        EXPECT_EQ(got.size(), expected.size()) << label;
        EXPECT_TRUE(got == expected) << label << ": other bytes than a plain run";
    }
}

// No thread can be had for the reader and the writer (a process limit, as in
// a container with a pids limit running xargs -P, or a memory limit): the
// blocks are read and written on the main thread, with the same bytes. The
// input is long enough (several blocks) for zek to want both threads.
TEST_F(HostileIo, NoThreadForTheWriter) {
    harness::write_file(dir / "in.raw", harness::to_bytes(noise(LEAD + 5000 * HOP)));
    ASSERT_EQ(harness::zek({"in.raw", "plain.raw"}, dir).status, 0);
    harness::write_file(dir / "out.raw", "old take");
    const auto r = zek_through_shim({"IO_SHIM_NO_THREADS=1"}, {"in.raw", "out.raw"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "io_shim: active\nio_shim: refused a thread\n");
    EXPECT_TRUE(harness::read_file(dir / "out.raw") == harness::read_file(dir / "plain.raw"));
// AddressSanitizer needs far more address space than this, and so does an
// emulator, which maps the whole guest before zek runs.
#if !defined(ZEK_SANITIZE) && !defined(ZEK_EMULATED)
    harness::write_file(dir / "out.raw", "old take"); // as first found: under a 12 MB memory limit
    const auto limited = harness::run("bash", {"-c", "ulimit -v 12000; exec \"$0\" in.raw out.raw", ZEK_BINARY}, dir);
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_TRUE(harness::read_file(dir / "out.raw") == harness::read_file(dir / "plain.raw"));
#endif
}

// A read error part-way: the existing output stays exactly as it was, no new
// one appears, and no temporary file is left, whether it was unnamed
// (O_TMPFILE) or, as on file systems without it, named.
TEST_F(HostileIo, ReadErrorPartWayLeavesTheOutputAsItWas) {
    harness::write_file(dir / "in.raw", harness::to_bytes(noise(LEAD + 100 * HOP)));
    harness::write_file(dir / "out.raw", "old take");
    for (const char* temp : {"", "IO_SHIM_NO_TMPFILE=1"}) {
        for (const char* out : {"out.raw", "new.raw"}) {
            const auto r = zek_through_shim({"IO_SHIM_READ_FAILS_AFTER=20000", temp}, {"in.raw", out}, dir);
            EXPECT_EQ(r.status, 1) << out << " " << temp;
            EXPECT_NE(r.err.find("zek: cannot read 'in.raw': Input/output error\n"), std::string::npos) << r.err;
            EXPECT_EQ(harness::read_file(dir / "out.raw"), "old take") << out << " " << temp;
            EXPECT_EQ(harness::names_in(dir), (std::vector<std::string>{"in.raw", "out.raw"})) << out << " " << temp;
        }
    }
}

class FullDisk : public harness::small_disk_test {};

// A disk that fills part-way (a small tmpfs): the same. A run that fits
// then replaces the output, keeping its permission bits.
TEST_F(FullDisk, OutputsStayAsTheyWere) {
    if (const std::string why = mount_small(256); !why.empty()) GTEST_SKIP() << why;
    const std::string old(100 * 1024, 'o');
    harness::write_file(small / "out.raw", old);
    fs::permissions(small / "out.raw", fs::perms(0640));
    harness::write_file(dir / "in.raw", harness::to_bytes(noise(100'000)));
    for (const char* temp : {"", "IO_SHIM_NO_TMPFILE=1"}) {
        for (const char* out : {"small/out.raw", "small/new.raw"}) {
            const auto r = *temp ? zek_through_shim({temp}, {"in.raw", out}, dir) : harness::zek({"in.raw", out}, dir);
            EXPECT_EQ(r.status, 1) << out << " " << temp;
            EXPECT_NE(r.err.find("zek: cannot write '" + std::string(out) + "': No space left on device\n"),
                      std::string::npos)
                << r.err;
            EXPECT_TRUE(harness::read_file(small / "out.raw") == old) << out << " " << temp;
            EXPECT_EQ(harness::names_in(small), std::vector<std::string>{"out.raw"}) << out << " " << temp;
        }
    }
    harness::write_file(dir / "in.raw", harness::to_bytes(noise(3000)));
    ASSERT_EQ(harness::zek({"in.raw", "plain.raw"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"in.raw", "small/out.raw"}, dir).status, 0);
    EXPECT_TRUE(harness::read_file(small / "out.raw") == harness::read_file(dir / "plain.raw"));
    EXPECT_EQ(fs::status(small / "out.raw").permissions(), fs::perms(0640));
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

// Past 4 GiB of samples: a W64 file (64-bit sizes) gives a WAV output that
// must become RF64, whose 64-bit sizes hold it; a streamed WAV, whose 32-bit
// sizes cannot say so much and which libsndfile reads only that far, must be
// refused rather than cut short.
TEST_F(HostileIo, HugeInputPast4GiB) {
    const std::uint64_t data_bytes = 4'400'000'000; // 2.2 G samples of silence
    // sox makes a one-sample W64; its sizes are set to the huge length and the
    // file is extended, sparse, to match.
    ASSERT_EQ(harness::run("sox", {"-n", "-r", "48000", "-c", "1", "-b", "16", "-t", "w64", "huge.w64", "synth", "1s",
                                   "sine", "300"}, dir).status, 0);
    std::string w64 = harness::read_file(dir / "huge.w64");
    const std::size_t data = w64.find(std::string("data\xf3\xac\xd3\x11", 8));
    ASSERT_NE(data, std::string::npos);
    auto put64 = [&](std::size_t at, std::uint64_t v) {
        for (int k = 0; k < 8; ++k) w64[at + static_cast<std::size_t>(k)] = static_cast<char>(v >> (8 * k) & 0xFF);
    };
    put64(data + 16, 24 + data_bytes);
    put64(16, data + 24 + data_bytes);
    harness::write_file(dir / "huge.w64", w64.substr(0, data + 24));
    if (!make_sparse_tail(dir / "huge.w64", data + 24 + data_bytes)) GTEST_SKIP() << "no sparse files in " << dir;

    const auto r = harness::zek({"huge.w64", "out.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // RF64: the 64-bit size of the samples in the ds64 chunk that leads.
    char head[36];
    std::ifstream(dir / "out.wav", std::ios::binary).read(head, sizeof head);
    EXPECT_EQ(std::string(head, 4) + std::string(head + 8, 8), "RF64WAVEds64");
    std::uint64_t samples_size = 0;
    for (int k = 7; k >= 0; --k) samples_size = samples_size << 8 | static_cast<unsigned char>(head[28 + k]);
    EXPECT_EQ(samples_size, data_bytes);
    EXPECT_EQ(fs::file_size(dir / "out.wav") - data_bytes, 112u); // the header: nothing lost, nothing added
    fs::remove(dir / "out.wav");

    // A streamed WAV header (ffmpeg's, into a pipe), then the samples: from
    // the pipe, and as a file.
    ASSERT_EQ(harness::run("/bin/sh", {"-c", "ffmpeg -nostdin -loglevel error -f lavfi -i anullsrc=r=48000:cl=mono "
                                             "-t 0 -c:a pcm_s16le -f wav - > streamed.wav"}, dir).status, 0);
    const auto piped = harness::run("/bin/sh", {"-c", "{ cat streamed.wav; head -c " + std::to_string(data_bytes) +
                                                          " /dev/zero; } | '" ZEK_BINARY "' /dev/stdin out.wav"}, dir);
    ASSERT_TRUE(make_sparse_tail(dir / "streamed.wav", fs::file_size(dir / "streamed.wav") + data_bytes));
    for (const auto& r : {piped, harness::zek({"streamed.wav", "out.wav"}, dir)}) {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("4 GiB"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out.wav"));
    }
}

} // namespace
