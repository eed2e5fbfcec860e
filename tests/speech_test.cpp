// Real speech, synthesized with espeak-ng and converted with sox to 48 kHz
// 16-bit mono raw at a normal and a very low level: what an AGC must do to it,
// computed here rather than compared with stored outputs. And sentences at
// levels far apart between pauses over a noise floor, in the speech-aware
// mode: the pauses keep their level while the sentences are levelled.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <utility>
#include <vector>

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

// Real voices (Debian's telephone prompts, one speaker): sentences at peaks
// from -40 to -6 dBFS with pauses of 0.6 to 1.4 s, and a reading of 30 s
// that runs on without a pause of its own, over pink noise at -60 dBFS RMS,
// at 16 kHz, levelled with --speech as raw samples and as WAV files. The
// figures are those of bench/speech_figures.py, with wide margins: the gate
// rides through the gaps between words (round 1 shut it 1.5 to 2 times a
// second), every onset has its gain (round 1 faded them in by 15 dB or
// more), the pauses keep their level, the reading's speech is not taken
// for the floor however long it goes on, and the raw path, which looks
// ahead in the hop loop, gives the stream's samples.
class RealSpeech : public ::testing::Test {
protected:
    static constexpr std::size_t RATE = 16000, FRAME = RATE / 100;
    static void SetUpTestSuite() {
        if (!harness::have_program("sox") || !fs::exists(VOICE / "demo-congrats.wav")) return;
        dir = harness::make_temp_dir();
        const auto& raw = RAW;
        const struct {
            const char* name;
            double peak, pause;
        } parts[] = {{"vm-intro", -12, 1.0}, {"conf-getpin", -35, 0.7},    {"vm-theperson", -6, 1.4},
                     {"agent-loginok", -40, 0.9}, {"vm-password", -20, 0.6}, {"demo-congrats", -18, 1.2}};
        std::vector<double> speech(RATE, 0.0);
        for (const auto& part : parts) {
            const auto x = clip(part.name, part.peak);
            sentences.emplace_back(speech.size(), speech.size() + x.size());
            speech.insert(speech.end(), x.begin(), x.end());
            speech.resize(speech.size() + static_cast<std::size_t>(part.pause * RATE), 0.0);
            pauses.emplace_back(sentences.back().second, speech.size());
        }
        std::vector<std::string> args = {"-R", "-r", "16000", "-n"};
        args.insert(args.end(), raw.begin(), raw.end());
        args.insert(args.end(), {"noise.raw", "synth", std::to_string(speech.size()) + "s", "pinknoise"});
        ASSERT_EQ(harness::run("sox", args, dir).status, 0);
        const auto noise = load("noise.raw");
        floor = std::pow(10.0, -60.0 / 20) * 32768;
        const double scale = floor / rms(noise, 0, noise.size());
        mix.resize(speech.size());
        clean = speech;
        for (std::size_t k = 0; k < mix.size(); ++k) {
            mix[k] = static_cast<std::int16_t>(std::lround(std::clamp(speech[k] + scale * noise[k], -32768.0, 32767.0)));
        }
        harness::write_file(dir / "mix.raw", harness::to_bytes(mix));
        // The same samples as a 16 kHz WAV file, and as a 48 kHz one, the
        // rate zek takes raw samples to be at.
        for (const char* rate : {"16000", "48000"}) {
            args = {"-t", "raw", "-r", rate, "-e", "signed", "-b", "16", "-c", "1", "mix.raw", std::string("mix") + rate + ".wav"};
            ASSERT_EQ(harness::run("sox", args, dir).status, 0);
            const std::string out = std::string("speech") + rate;
            const auto r = harness::zek({"--speech", "mix" + std::string(rate) + ".wav", out + ".wav"}, dir);
            ASSERT_EQ(r.status, 0) << r.err;
            ASSERT_EQ(harness::run("sox", {out + ".wav", "-t", "raw", out + ".raw"}, dir).status, 0);
        }
        const auto r = harness::zek({"--speech", "mix.raw", "speech.raw"}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    static void TearDownTestSuite() {
        if (!dir.empty()) fs::remove_all(dir);
    }
    void SetUp() override {
        if (dir.empty()) {
            if (std::getenv("ZEK_REQUIRE_TOOLS")) FAIL() << "sox and asterisk-core-sounds-en-wav are required";
            GTEST_SKIP() << "sox or asterisk-core-sounds-en-wav not installed";
        }
    }
    static std::vector<std::int16_t> load(const std::string& name) {
        return harness::to_samples(harness::read_file(dir / name));
    }
    static inline const fs::path VOICE = "/usr/share/asterisk/sounds/en_US_f_Allison";
    static inline const std::vector<std::string> RAW = {"-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1"};
    // A prompt at 16 kHz, normalised to a peak in dBFS.
    static std::vector<std::int16_t> clip(const std::string& name, double peak) {
        std::vector<std::string> args = {"-R", (VOICE / (name + ".wav")).string()};
        args.insert(args.end(), RAW.begin(), RAW.end());
        args.insert(args.end(), {"clip.raw", "rate", "16000", "gain", "-n", std::to_string(peak)});
        EXPECT_EQ(harness::run("sox", args, dir).status, 0);
        return load("clip.raw");
    }
    // Levels 16 kHz samples with --speech as a user would, WAV file in and
    // out (zek takes raw samples to be at 48 kHz): the output's samples.
    static std::vector<std::int16_t> level_wav(const std::vector<std::int16_t>& x, const std::string& stem) {
        harness::write_file(dir / (stem + ".raw"), harness::to_bytes(x));
        std::vector<std::string> args = RAW;
        args.insert(args.end(), {stem + ".raw", stem + ".wav"});
        EXPECT_EQ(harness::run("sox", args, dir).status, 0);
        const auto r = harness::zek({"--speech", stem + ".wav", stem + ".out.wav"}, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(harness::run("sox", {stem + ".out.wav", "-t", "raw", stem + ".out.raw"}, dir).status, 0);
        return load(stem + ".out.raw");
    }
    static double rms(const std::vector<std::int16_t>& s, std::size_t from, std::size_t to) {
        double acc = 0;
        for (std::size_t k = from; k < to; ++k) acc += double(s[k]) * s[k];
        return std::sqrt(acc / double(to - from));
    }
    static double db(double a, double b) { return 20 * std::log10(std::max(a, 1e-9) / std::max(b, 1e-9)); }
    // All pause time together (50 ms cut off each end), output energy over
    // input energy in dB; the pauses lie `lead` samples on.
    static double pooled_pauses(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out, std::size_t lead) {
        const auto edge = RATE / 20;
        double pause_in = 0, pause_out = 0;
        for (auto [from, to] : pauses) {
            if (to - from < 4 * edge) continue;
            from += lead + edge, to += lead - edge;
            pause_in += std::pow(rms(in, from, to), 2) * double(to - from);
            pause_out += std::pow(rms(out, from, to), 2) * double(to - from);
        }
        return 10 * std::log10(pause_out / pause_in);
    }
    static fs::path dir;
    static std::vector<std::int16_t> mix;
    static std::vector<double> clean;
    static std::vector<std::pair<std::size_t, std::size_t>> sentences, pauses;
    static double floor;
};
fs::path RealSpeech::dir;
std::vector<std::int16_t> RealSpeech::mix;
std::vector<double> RealSpeech::clean;
std::vector<std::pair<std::size_t, std::size_t>> RealSpeech::sentences, RealSpeech::pauses;
double RealSpeech::floor;

TEST_F(RealSpeech, RidesThroughWordsKeepsOnsetsAndPauses) {
    const auto out = load("speech16000.raw");
    ASSERT_EQ(out.size(), mix.size());
    double closures = 0, seconds = 0;
    std::vector<double> onsets, raised;
    std::size_t dropped = 0, late = 0;
    for (const auto& [from, to] : sentences) {
        // The sentence's gain over its loud frames (within 30 dB of its loudest).
        double loudest = 0;
        for (std::size_t f = from; f + FRAME <= to; f += FRAME) {
            double e = 0;
            for (std::size_t k = f; k < f + FRAME; ++k) e += clean[k] * clean[k];
            loudest = std::max(loudest, e);
        }
        double in_e = 0, out_e = 0;
        std::size_t first = 0;
        for (std::size_t f = from; f + FRAME <= to; f += FRAME) {
            double e = 0;
            for (std::size_t k = f; k < f + FRAME; ++k) e += clean[k] * clean[k];
            if (e < loudest / 1000) continue;
            if (first == 0) first = f;
            const double a = rms(mix, f, f + FRAME), b = rms(out, f, f + FRAME);
            in_e += a * a, out_e += b * b;
        }
        const double gain = db(std::sqrt(out_e), std::sqrt(in_e));
        onsets.push_back(db(rms(out, first, first + 3 * FRAME), rms(mix, first, first + 3 * FRAME)) - gain);
        // The last syllable fades into the floor: 40 to 60 ms past its last
        // frame over the floor the gain is still the sentence's, give or
        // take, not the pause's (a gate that shuts in 40 ms has dropped it
        // by 19 to 28 dB there in three sentences of four).
        std::size_t last = from;
        for (std::size_t f = from; f + FRAME <= to; f += FRAME) {
            double e = 0;
            for (std::size_t k = f; k < f + FRAME; ++k) e += clean[k] * clean[k];
            if (e > floor * floor * double(FRAME)) last = f;
        }
        if (gain >= 15) {
            const std::size_t a = last + 4 * FRAME, b = last + 6 * FRAME;
            EXPECT_GT(db(rms(out, a, b), rms(mix, a, b)), gain - 12) << "the fade of the sentence at " << from;
        }
        bool under = false;
        for (std::size_t f = from + 10 * FRAME; f + 11 * FRAME <= to; f += FRAME) {
            const bool now = db(rms(out, f, f + FRAME), rms(mix, f, f + FRAME)) < gain - 15;
            closures += now && !under;
            under = now;
            if (f >= from + 300 * FRAME && rms(std::vector<std::int16_t>(clean.begin() + long(f), clean.begin() + long(f + FRAME)), 0, FRAME) > 3 * floor) {
                ++late;
                dropped += db(rms(out, f, f + FRAME), rms(mix, f, f + FRAME)) < gain - 10;
            }
        }
        if (gain >= 15) seconds += double(to - from) / RATE;
    }
    std::sort(onsets.begin(), onsets.end());
    EXPECT_LT(closures / seconds, 0.5) << closures << " closures in " << seconds << " s";
    EXPECT_GT(onsets[onsets.size() / 2], -4.0) << "the median onset";
    EXPECT_GT(onsets.front(), -12.0) << "the worst onset";
    EXPECT_LT(pooled_pauses(mix, out, 0), 6.0) << "the pauses, pooled";
    ASSERT_GT(late, 100u) << "the reading's frames 3 s on";
    EXPECT_LT(double(dropped) / double(late), 0.03) << dropped << " of " << late << " frames 3 s into a sentence dropped";
}

// A recorder's lead-in of digital silence before the noise floor comes in:
// the floor is learnt from the first sound, not from the silence, so the
// first sentence does not hold the gate open through the pause after it.
TEST_F(RealSpeech, LeadInOfDigitalSilenceIsNotTheFloor) {
    const std::size_t lead = RATE / 10;
    std::vector<std::int16_t> led(lead, 0);
    led.insert(led.end(), mix.begin(), mix.end());
    const auto out = level_wav(led, "led");
    ASSERT_EQ(out.size(), led.size());
    EXPECT_LT(pooled_pauses(led, out, lead), 6.0) << "the pauses, pooled";
    EXPECT_GT(db(rms(out, lead + sentences[0].first, lead + sentences[0].second),
                 rms(led, lead + sentences[0].first, lead + sentences[0].second)), 10.0)
        << "the first sentence is levelled";
}

// A reverberant room (sox's reverb, its tail kept) over pink noise at -60
// dBFS, with pauses of 0.6 to 0.9 s: the decay after a loud sentence stands
// over the background for most of its pause, so the gap after it must be told
// from a gap between words by more than the background's margin, or the
// rest of the pause is raised by 30 dB. The pauses (from where the decay has
// died into the floor, 50 ms off each end) keep their level; the decay of a
// loud sentence keeps its gain.
TEST_F(RealSpeech, RoomsPausesStayDownWhileItsDecayKeepsTheGain) {
    const struct {
        const char* name;
        double peak, pause;
    } parts[] = {{"vm-intro", -12, 0.8}, {"conf-getpin", -35, 0.7},   {"vm-theperson", -6, 0.7},
                 {"agent-loginok", -40, 0.9}, {"vm-password", -6, 0.6}, {"demo-congrats", -18, 0.8}};
    struct span {
        std::size_t from, to, pause_end;
    };
    std::vector<span> spans;
    std::vector<std::int16_t> dry(RATE, 0); // at half its level, so that the reverb does not clip
    for (const auto& part : parts) {
        const auto x = clip(part.name, part.peak - 6);
        spans.push_back({dry.size(), dry.size() + x.size(), dry.size() + x.size() + std::size_t(part.pause * RATE)});
        dry.insert(dry.end(), x.begin(), x.end());
        dry.resize(spans.back().pause_end, 0);
    }
    harness::write_file(dir / "dry.raw", harness::to_bytes(dry));
    std::vector<std::string> args = {"-R"}; // no random dither: the same room on every run
    args.insert(args.end(), RAW.begin(), RAW.end());
    args.push_back("dry.raw");
    args.insert(args.end(), RAW.begin(), RAW.end());
    args.insert(args.end(), {"wet.raw", "reverb", "60", "50", "90", "100", "20", "0"});
    ASSERT_EQ(harness::run("sox", args, dir).status, 0);
    args = {"-R", "-r", "16000", "-n"};
    args.insert(args.end(), RAW.begin(), RAW.end());
    args.insert(args.end(), {"room-noise.raw", "synth", std::to_string(dry.size()) + "s", "pinknoise"});
    ASSERT_EQ(harness::run("sox", args, dir).status, 0);
    const auto wet_half = load("wet.raw"), noise = load("room-noise.raw");
    ASSERT_GE(wet_half.size(), dry.size());
    const double scale = floor / rms(noise, 0, noise.size());
    std::vector<std::int16_t> wet(dry.size()), room(dry.size());
    for (std::size_t k = 0; k < dry.size(); ++k) {
        wet[k] = static_cast<std::int16_t>(std::clamp(2 * wet_half[k], -32768, 32767));
        room[k] = static_cast<std::int16_t>(std::lround(std::clamp(wet[k] + scale * noise[k], -32768.0, 32767.0)));
    }
    const auto out = level_wav(room, "room");
    ASSERT_EQ(out.size(), room.size());

    double pause_in = 0, pause_out = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        const auto [from, to, pause_end] = spans[i];
        double loudest = 0;
        for (std::size_t f = from; f + FRAME <= to; f += FRAME) loudest = std::max(loudest, rms(wet, f, f + FRAME));
        double in_e = 0, out_e = 0;
        for (std::size_t f = from; f + FRAME <= to; f += FRAME) {
            if (rms(wet, f, f + FRAME) < loudest / 32) continue;
            in_e += std::pow(rms(room, f, f + FRAME), 2), out_e += std::pow(rms(out, f, f + FRAME), 2);
        }
        const double gain = 10 * std::log10(out_e / in_e);
        // A loud sentence's decay lasts: it must keep the sentence's gain.
        if (parts[i].peak >= -12) {
            EXPECT_GT(db(rms(out, to + RATE / 20, to + RATE / 4), rms(room, to + RATE / 20, to + RATE / 4)), gain - 8)
                << "the decay 50 to 250 ms after the sentence at " << from;
        }
        std::size_t quiet = to; // where the decay has died into the floor for good
        for (std::size_t f = to; f + FRAME <= pause_end; f += FRAME) {
            if (rms(wet, f, f + FRAME) >= floor) quiet = f + FRAME;
        }
        const std::size_t a = quiet + RATE / 20, b = pause_end - RATE / 20;
        if (b < a + RATE / 20) continue;
        pause_in += std::pow(rms(room, a, b), 2) * double(b - a);
        pause_out += std::pow(rms(out, a, b), 2) * double(b - a);
    }
    ASSERT_GT(pause_in, 0.0) << "no pause outlives the decay";
    EXPECT_LT(10 * std::log10(pause_out / pause_in), 6.0) << "the pauses after the decay, pooled";
}

// Over digital silence each sentence ends in 100 ms of its room's faint
// noise (-88 dBFS, under the margin) before the silence, after the prompt's
// own quiet end (up to 300 ms): that fade keeps the sentence's gain (the
// word does not stop short), while the same faint noise through a whole
// pause, with no silence after it, keeps its level.
TEST_F(RealSpeech, FadeIntoDigitalSilenceKeepsTheGain) {
    const struct {
        const char* name;
        double peak;
    } parts[] = {{"vm-intro", -12}, {"conf-getpin", -35}, {"vm-theperson", -20}, {"agent-loginok", -40}};
    std::vector<std::string> args = {"-R", "-r", "16000", "-n"};
    args.insert(args.end(), RAW.begin(), RAW.end());
    args.insert(args.end(), {"faint.raw", "synth", "2", "pinknoise"});
    ASSERT_EQ(harness::run("sox", args, dir).status, 0);
    const auto noise = load("faint.raw");
    const double scale = std::pow(10.0, -88.0 / 20) * 32768 / rms(noise, 0, noise.size());
    for (const bool silence_after : {true, false}) {
        SCOPED_TRACE(silence_after ? "the fade ends in digital silence" : "the faint noise fills the pause");
        std::vector<std::array<std::size_t, 3>> spans; // sentence, and the faint noise after it up to fade_end
        std::vector<std::int16_t> x(RATE, 0);
        for (const auto& part : parts) {
            const auto c = clip(part.name, part.peak);
            const std::size_t from = x.size(), to = from + c.size(), fade_end = to + (silence_after ? RATE / 10 : RATE);
            x.insert(x.end(), c.begin(), c.end());
            x.resize(to + RATE, 0);
            for (std::size_t k = to; k < fade_end; ++k) x[k] = static_cast<std::int16_t>(std::lround(scale * noise[k - to]));
            spans.push_back({from, to, fade_end});
        }
        const auto out = level_wav(x, silence_after ? "fade" : "faint");
        ASSERT_EQ(out.size(), x.size());
        double faint_in = 0, faint_out = 0;
        for (const auto& [from, to, fade_end] : spans) {
            const std::size_t edge = silence_after ? RATE / 50 : RATE / 20, a = to + edge, b = fade_end - edge;
            const double gain = db(rms(out, from, to), rms(x, from, to));
            EXPECT_TRUE(!silence_after || db(rms(out, a, b), rms(x, a, b)) > gain - 10)
                << "the fade after the sentence at " << from << ": " << db(rms(out, a, b), rms(x, a, b)) << " dB, the sentence " << gain;
            faint_in += std::pow(rms(x, a, b), 2), faint_out += std::pow(rms(out, a, b), 2);
        }
        EXPECT_TRUE(silence_after || 10 * std::log10(faint_out / faint_in) < 6.0) << "the faint pauses, pooled";
    }
}

// The raw path's hop loop drops the look-ahead's first hops and brings out
// its last ones: its output is the stream's, one hop late, as in the default
// mode, and as long as the default mode's.
TEST_F(RealSpeech, RawPathGivesTheStreamsSamples) {
    const auto raw = load("speech.raw"), wav = load("speech48000.raw");
    ASSERT_EQ(raw.size(), LEAD + (mix.size() - LEAD) / HOP * HOP);
    ASSERT_TRUE(std::equal(raw.begin(), raw.begin() + LEAD, mix.begin())) << "the lead-in";
    for (std::size_t k = LEAD + HOP; k < raw.size(); ++k) {
        ASSERT_EQ(raw[k], wav[k - HOP]) << "sample " << k;
    }
}

} // namespace
