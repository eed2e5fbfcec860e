// zek in shell pipelines, as the README's recipes use it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

class Pipe : public harness::temp_dir_test {
protected:
    // Runs a bash pipeline in `dir` with ZEK naming the binary under test;
    // pipefail, so that a failure anywhere in it shows in the status.
    harness::result shell(const std::string& script) {
        return harness::run("/usr/bin/env", {"ZEK=" ZEK_BINARY, "bash", "-o", "pipefail", "-c", script}, dir);
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

} // namespace
