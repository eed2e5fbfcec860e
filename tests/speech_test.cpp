// Real speech, synthesized with espeak-ng and converted with sox to 48 kHz
// 16-bit mono raw at a normal and a very low level: what an AGC must do to it,
// computed here rather than compared with stored outputs. And sentences at
// levels far apart between pauses over a noise floor, in the speech-aware
// mode: the pauses keep their level while the sentences are levelled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

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

// Six sentences at peaks from -40 to -3 dBFS with pauses of 0.6 to 1.5 s,
// over pink noise at -50 dBFS RMS (sox's), levelled with --speech as raw
// samples. The margins are wide: the bench's table (bench/speech_quality.py)
// measures the real figures. Pauses are measured without their first and
// last 100 ms (the hangover, the next onset's crossfade).
TEST_F(Speech, SpeechAwareModeKeepsPausesAndLevelsSentences) {
    const struct {
        const char* text;
        double peak, pause; // dBFS, seconds after it
    } parts[] = {
        {"The birch canoe slid on the smooth planks.", -6, 1.0},
        {"Glue the sheet to the dark blue background.", -30, 0.6},
        {"It is easy to tell the depth of a well.", -12, 1.5},
        {"These days a chicken leg is a rare dish.", -40, 0.8},
        {"Rice is often served in round bowls.", -20, 1.2},
        {"The juice of lemons makes fine punch.", -3, 1.0},
    };
    constexpr std::size_t RATE = 48000;
    const std::vector<std::string> raw = {"-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1"};
    std::vector<double> speech(RATE, 0.0); // a second of noise alone first
    std::vector<std::pair<std::size_t, std::size_t>> sentences, pauses;
    for (std::size_t k = 0; k < std::size(parts); ++k) {
        std::string stem = "s"; // (built in steps: GCC 12 warns falsely on "s" + to_string(k))
        stem += std::to_string(k);
        const std::string wav = stem + ".wav", part = stem + ".raw";
        ASSERT_EQ(harness::run("espeak-ng", {"-w", wav, parts[k].text}, dir).status, 0);
        std::vector<std::string> args = {wav};
        args.insert(args.end(), raw.begin(), raw.end());
        args.insert(args.end(), {part, "rate", "48000", "silence", "1", "0.02", "0.3%", "reverse", "silence", "1", "0.02",
                                 "0.3%", "reverse", "gain", "-n", std::to_string(parts[k].peak)});
        ASSERT_EQ(harness::run("sox", args, dir).status, 0);
        const auto said = load(part);
        sentences.emplace_back(speech.size(), speech.size() + said.size());
        speech.insert(speech.end(), said.begin(), said.end());
        pauses.emplace_back(speech.size(), speech.size() + static_cast<std::size_t>(parts[k].pause * RATE));
        speech.resize(pauses.back().second, 0.0);
    }
    std::vector<std::string> args = {"-R", "-n"};
    args.insert(args.end(), raw.begin(), raw.end());
    args.insert(args.end(), {"noise.raw", "synth", std::to_string(speech.size() / RATE + 1), "pinknoise"});
    ASSERT_EQ(harness::run("sox", args, dir).status, 0);
    const auto noise = load("noise.raw");
    ASSERT_GE(noise.size(), speech.size());
    const double floor = std::pow(10.0, -50.0 / 20) * 32768, scale = floor / rms(noise, 0, speech.size());
    std::vector<std::int16_t> mix(speech.size());
    for (std::size_t k = 0; k < mix.size(); ++k) {
        mix[k] = static_cast<std::int16_t>(std::lround(std::clamp(speech[k] + scale * noise[k], -32768.0, 32767.0)));
    }
    harness::write_file(dir / "mix.raw", harness::to_bytes(mix));
    ASSERT_EQ(harness::zek({"--speech", "mix.raw", "speech.out.raw"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"mix.raw", "default.out.raw"}, dir).status, 0);
    // The raw output is one hop late: output sample k + HOP is input sample k.
    const auto aligned = [&](const char* name) {
        auto y = load(name);
        y.erase(y.begin() + LEAD, y.begin() + LEAD + HOP);
        return y;
    };
    const auto out = aligned("speech.out.raw"), plain = aligned("default.out.raw");
    const auto db = [](double a, double b) { return 20 * std::log10(a / b); };

    std::vector<double> raised, raised_by_default;
    const std::size_t edge = RATE / 10;
    for (const auto& [from, to] : pauses) {
        if (to > out.size()) break; // the end that the raw output drops
        raised.push_back(db(rms(out, from + edge, to - edge), rms(mix, from + edge, to - edge)));
        raised_by_default.push_back(db(rms(plain, from + edge, to - edge), rms(mix, from + edge, to - edge)));
    }
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    EXPECT_GT(median(raised_by_default), 20.0);
    EXPECT_LT(median(raised), 6.0);

    std::vector<double> levels; // of the sentences 10 dB or more over the floor
    for (const auto& [from, to] : sentences) {
        const double in = rms(mix, from, to), level = rms(out, from, to);
        EXPECT_GT(db(level, in), -1.0) << "sentence at " << from << " came out quieter";
        if (db(in, floor) >= 10) levels.push_back(db(level, 32768));
    }
    ASSERT_GE(levels.size(), 4u);
    const double mean = std::accumulate(levels.begin(), levels.end(), 0.0) / double(levels.size());
    double spread = 0;
    for (double v : levels) spread += (v - mean) * (v - mean);
    EXPECT_LT(std::sqrt(spread / double(levels.size())), 3.0);
    EXPECT_TRUE(std::none_of(out.begin(), out.end(), [](std::int16_t v) { return v == 32767 || v == -32768; }));
}

} // namespace
