// Real speech, synthesized with espeak-ng and converted with sox to 48 kHz
// 16-bit mono raw at a normal and a very low level: what an AGC must do to it,
// computed here rather than compared with stored outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t LEAD = 512, HOP = 240;

double rms(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
    double acc = 0;
    for (std::size_t k = from; k < to; ++k) acc += double(s[k]) * s[k];
    return std::sqrt(acc / double(to - from));
}

class Speech : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!harness::have_program("espeak-ng") || !harness::have_program("sox")) return;
        dir = harness::make_temp_dir();
        const auto said = harness::run(
            "espeak-ng", {"-w", "speech.wav",
                          "The quick brown fox jumps over the lazy dog. Automatic gain control raises "
                          "quiet speech, and holds loud passages under a ceiling, hop after hop."},
            dir);
        ASSERT_EQ(said.status, 0) << said.err;
        const std::vector<std::string> raw = {"-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1"};
        auto convert = [&](const std::string& name, const std::string& volume) {
            std::vector<std::string> args = {"speech.wav"};
            args.insert(args.end(), raw.begin(), raw.end());
            args.insert(args.end(), {name, "gain", "-n", "-1", "vol", volume});
            const auto r = harness::run("sox", args, dir);
            ASSERT_EQ(r.status, 0) << r.err;
        };
        convert("normal.raw", "1.0");
        convert("quiet.raw", "0.01"); // -40 dB
        for (const char* take : {"normal", "quiet"}) {
            const auto r = harness::zek({std::string(take) + ".raw", std::string(take) + ".out.raw"}, dir);
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }
    static void TearDownTestSuite() {
        if (!dir.empty()) fs::remove_all(dir);
    }
    void SetUp() override {
        if (dir.empty()) {
            if (std::getenv("ZEK_REQUIRE_TOOLS")) FAIL() << "espeak-ng and sox are required";
            GTEST_SKIP() << "espeak-ng or sox not installed";
        }
    }
    static std::vector<std::int16_t> load(const std::string& name) {
        return harness::to_samples(harness::read_file(dir / name));
    }
    static fs::path dir;
};
fs::path Speech::dir;

TEST_F(Speech, QuietTakeComesOutLouder) {
    const auto in = load("quiet.raw"), out = load("quiet.out.raw");
    ASSERT_GT(out.size(), LEAD + 100 * HOP);
    const std::size_t end = out.size() - HOP; // output lags input by a hop
    // Compare the second half, once the slow rise has had time to act.
    const std::size_t mid = (LEAD + end) / 2;
    const double before = rms(in, mid - HOP, end - HOP), after = rms(out, mid, end);
    EXPECT_GT(after, 8.0 * before) << "input RMS " << before << ", output RMS " << after;
}

TEST_F(Speech, TakesAtDifferentLevelsComeOutCloser) {
    const auto qi = load("quiet.raw"), qo = load("quiet.out.raw");
    const auto ni = load("normal.raw"), no = load("normal.out.raw");
    const std::size_t end = qo.size() - HOP, mid = (LEAD + end) / 2;
    const double ratio_in = rms(ni, mid - HOP, end - HOP) / rms(qi, mid - HOP, end - HOP);
    const double ratio_out = rms(no, mid, end) / rms(qo, mid, end);
    EXPECT_NEAR(ratio_in, 100.0, 5.0);
    EXPECT_LT(ratio_out, ratio_in / 6.0);
}

// No take clips or wraps: every output sample keeps its input sample's sign
// and stays under full scale.
TEST_F(Speech, NothingClipsOrWraps) {
    for (const char* take : {"normal", "quiet"}) {
        const auto in = load(std::string(take) + ".raw"), out = load(std::string(take) + ".out.raw");
        ASSERT_EQ(out.size(), LEAD + (in.size() - LEAD) / HOP * HOP) << take;
        for (std::size_t m = 0; LEAD + HOP + m < out.size(); ++m) {
            const int x = in[LEAD + m], y = out[LEAD + HOP + m];
            ASSERT_GE(x * y, 0) << take << ": sample " << m << " wrapped";
            ASSERT_LT(std::abs(y), 32767) << take << ": sample " << m << " at full scale";
        }
    }
}

} // namespace
