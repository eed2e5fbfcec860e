// zek in shell pipelines, as the README's recipes use it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

class Pipe : public harness::temp_dir_test {
protected:
    // Runs a bash pipeline in `dir` with ZEK and REPORT naming the binaries under test;
    // pipefail, so that a failure anywhere in it shows in the status.
    harness::result shell(const std::string& script) {
        return harness::run("/usr/bin/env", {"ZEK=" ZEK_BINARY, "REPORT=" ZEK_REPORT_BINARY, "bash", "-o", "pipefail", "-c", script},
                            dir);
    }
    // Writes IN (3000 samples) and returns what zek makes of the input from byte `skip` on.
    std::string make_input(std::size_t skip = 0) {
        std::vector<std::int16_t> in(3000);
        for (std::size_t k = 0; k < in.size(); ++k) in[k] = static_cast<std::int16_t>(k * 2654435761u >> 16);
        harness::write_file(dir / "in.raw", harness::to_bytes(in));
        harness::write_file(dir / "part.raw", harness::to_bytes(in).substr(skip));
        EXPECT_EQ(harness::zek({"part.raw", "expected.raw"}, dir).status, 0);
        return harness::read_file(dir / "expected.raw");
    }
};

// The README's recipe: a WAV file through sox, zek and sox again gives the
// samples zek writes for the same audio as a raw file.
TEST_F(Pipe, SoxRoundTripMatchesFileRun) {
    if (!harness::have_program("sox")) {
        if (std::getenv("ZEK_REQUIRE_TOOLS")) FAIL() << "sox is required";
        GTEST_SKIP() << "sox not installed";
    }
    std::vector<std::int16_t> in(48000 * 3 + 77);
    for (std::size_t k = 0; k < in.size(); ++k) {
        const double level = k < 48000 ? 300.0 : k < 96000 ? 20000.0 : 2000.0;
        in[k] = static_cast<std::int16_t>(std::lround(level * std::sin(0.05 * double(k))));
    }
    harness::write_file(dir / "in.raw", harness::to_bytes(in));
    const std::string raw = "-t raw -r 48000 -e signed -b 16 -c 1";
    ASSERT_EQ(shell("sox " + raw + " in.raw in.wav").status, 0);

    const auto piped = shell("sox in.wav " + raw + " - | \"$ZEK\" /dev/stdin /dev/stdout | sox " + raw + " - out.wav");
    ASSERT_EQ(piped.status, 0) << piped.err;
    ASSERT_EQ(shell("sox out.wav " + raw + " piped.raw").status, 0);
    ASSERT_EQ(harness::zek({"in.raw", "file.raw"}, dir).status, 0);
    const std::string from_file = harness::read_file(dir / "file.raw");
    EXPECT_EQ(from_file.size(), 2 * (512 + 240 * ((in.size() - 512) / 240)));
    EXPECT_TRUE(harness::read_file(dir / "piped.raw") == from_file) << "the pipeline changed the samples";
}

// When the output is standard output, a failure must not splice its message
// into the samples the next program reads; stderr carries it, and the status
// fails the pipeline.
TEST_F(Pipe, FailureMessagesStayOutOfTheSampleStream) {
    const auto r = shell("\"$ZEK\" missing.raw /dev/stdout | od -c");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "0000000\n") << "bytes reached the next program";
    EXPECT_NE(r.err.find("zek: cannot open 'missing.raw': No such file or directory"), std::string::npos) << r.err;

    // Into a file named on the command line, the message is printed as always.
    const auto to_file = harness::zek({"missing.raw", "out.raw"}, dir);
    EXPECT_EQ(to_file.out, "\nbinary input file error ");
}

// Standard output named as the output is written as it is, never truncated
// or reopened: what a redirection put there before stays. Standard input is
// read from where it stands.
TEST_F(Pipe, StandardStreamsAreUsedAsTheyAre) {
    const std::string expected = make_input();
    const auto r = shell("printf HEADER > log.raw && \"$ZEK\" in.raw /dev/stdout >> log.raw && "
                         "{ printf HDR; \"$ZEK\" in.raw /dev/fd/1; } > fd.raw && "
                         "{ printf HDR; \"$ZEK\" in.raw /proc/self/fd/1; } > proc.raw");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(harness::read_file(dir / "log.raw") == "HEADER" + expected);
    EXPECT_TRUE(harness::read_file(dir / "fd.raw") == "HDR" + expected);
    EXPECT_TRUE(harness::read_file(dir / "proc.raw") == "HDR" + expected);

    const std::string rest = make_input(1000);
    const auto s = shell("{ dd bs=1000 count=1 of=/dev/null status=none; \"$ZEK\" /dev/stdin rest.raw; } < in.raw");
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_TRUE(harness::read_file(dir / "rest.raw") == rest);
}

// Sockets as standard input and output (socket-activated services, process
// runners built on socketpair): here one socket for both, as inetd does.
TEST_F(Pipe, SocketAsStandardStreams) {
    const std::string expected = make_input();
    const std::string input = harness::read_file(dir / "in.raw");
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    const auto c = harness::spawn(ZEK_BINARY, {"/dev/stdin", "/dev/stdout"}, dir, {sockets[1], sockets[1]});
    close(sockets[1]), close(c.in), close(c.out);
    // The socket holds the whole input, then the whole output: no thread needed.
    EXPECT_EQ(write(sockets[0], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    shutdown(sockets[0], SHUT_WR); // the end of the input
    std::string got, err;
    char buf[65536];
    for (ssize_t n; (n = read(sockets[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    for (ssize_t n; (n = read(c.err, buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
    close(sockets[0]), close(c.err);
    EXPECT_EQ(harness::wait_status(c.pid), 0) << err;
    EXPECT_TRUE(got == expected);
}

// A standard stream closed at start-up is never taken by a file zek opens,
// and naming it fails; a FIFO named as input and output is one file. Each
// used to hang or to report the wrong thing.
TEST_F(Pipe, ClosedStreamsAndAFifoNamedTwice) {
    const std::string expected = make_input();
    const auto r = shell("\"$ZEK\" in.raw /dev/stdout >&-; echo \"closed stdout: $?\"; "
                         "cat in.raw | timeout -s KILL 20 \"$ZEK\" /dev/stdin /dev/stdout >&-; echo \"own input: $?\"; "
                         "mkfifo ff; cat in.raw > ff 2>/dev/null & timeout -s KILL 20 \"$ZEK\" ff ff >/dev/null; "
                         "echo \"fifo twice: $?\"; wait; "
                         "\"$ZEK\" in.raw out.raw <&- >&-; echo \"closed stdin and stdout: $?\"");
    EXPECT_EQ(r.out, "closed stdout: 1\nown input: 1\nfifo twice: 1\nclosed stdin and stdout: 0\n");
    EXPECT_EQ(r.err, "zek: cannot open '/dev/stdout': Bad file descriptor\n"
                     "zek: cannot open '/dev/stdout': Bad file descriptor\n"
                     "zek: 'ff' and 'ff' are the same file\n");
    EXPECT_TRUE(harness::read_file(dir / "out.raw") == expected);
}

// Help and version that cannot be written are a failure, for both tools.
TEST_F(Pipe, HelpAndVersionOnAFullDisk) {
    const auto r = shell("for t in \"$ZEK\" \"$REPORT\"; do for a in --help --version; do "
                         "\"$t\" $a > /dev/full; echo -n \"$? \"; done; done");
    EXPECT_EQ(r.out, "1 1 1 1 ");
}

} // namespace
