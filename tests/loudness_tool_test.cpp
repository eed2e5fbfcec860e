// zek --target, --true-peak and --preset through the real binary on real
// speech, judged by ffmpeg's loudness meter; and zek-report's loudness and
// its JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

const fs::path PROMPTS = "/usr/share/asterisk/sounds/en_US_f_Allison";

struct ffmpeg_reading {
    double integrated = NAN, true_peak = NAN; // LUFS, dBTP
};

// ffmpeg's ebur128 meter with true peak: its last frame's figures.
ffmpeg_reading ffmpeg_meter(const fs::path& file, const fs::path& dir) {
    const harness::result r = harness::run(
        "ffmpeg", {"-nostats", "-v", "error", "-i", file.string(), "-af",
                   "ebur128=peak=true:metadata=1,ametadata=print:file=-", "-f", "null", "-"},
        dir);
    std::map<std::string, double> last;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (line.rfind("lavfi.r128.", 0) == 0 && eq != std::string::npos) last[line.substr(11, eq - 11)] = std::stod(line.substr(eq + 1));
    }
    ffmpeg_reading x;
    if (last.count("I")) x.integrated = last["I"];
    if (last.count("true_peak")) x.true_peak = 20 * std::log10(last["true_peak"]);
    return x;
}

std::size_t frames_of(const fs::path& file, const fs::path& dir) {
    const harness::result r = harness::run("soxi", {"-s", file.string()}, dir);
    return static_cast<std::size_t>(std::stoull(r.out.empty() ? "0" : r.out));
}

class LoudnessTool : public harness::temp_dir_test {
protected:
    // Real speech: Asterisk's prompts joined and resampled to 44.1 kHz mono,
    // the same as stereo at 48 kHz with a different prompt on the right, and
    // espeak-ng's voice at 22.05 kHz. Empty when the tools are missing.
    bool make_speech() {
        for (const char* tool : {"sox", "soxi", "ffmpeg", "espeak-ng"}) {
            if (!harness::have_program(tool)) return false;
        }
        const char* prompts[] = {"demo-instruct", "demo-congrats", "conf-adminmenu", "demo-echotest"};
        std::vector<std::string> files;
        for (const char* p : prompts) {
            const fs::path f = PROMPTS / (std::string(p) + ".wav");
            if (!fs::exists(f)) return false;
            files.push_back(f.string());
        }
        const auto sox = [&](std::vector<std::string> args) { return harness::run("sox", args, dir).status == 0; };
        return sox({files[0], files[1], files[2], "-r", "44100", "mono44.wav"}) &&
               sox({files[3], files[1], "-r", "44100", "right.wav"}) &&
               sox({"-M", "mono44.wav", "right.wav", "-r", "48000", "stereo48.wav", "trim", "0", "40"}) &&
               harness::run("espeak-ng", {"-w", "espeak.wav", "The birch canoe slid on the smooth planks. Glue the "
                                          "sheet to the dark blue background. It is easy to tell the depth of a well. "
                                          "These days a chicken leg is a rare dish."}, dir).status == 0;
    }
    void need_speech() {
        if (make_speech()) return;
        if (std::getenv("ZEK_REQUIRE_TOOLS")) FAIL() << "sox, ffmpeg, espeak-ng and asterisk-core-sounds-en-wav are required";
        GTEST_SKIP() << "sox, ffmpeg, espeak-ng or asterisk-core-sounds-en-wav not installed";
    }
};

// Every preset, and targets and ceilings with the levelling's own options,
// on real speech: ffmpeg reads the output within 0.1 LU of the target and
// every true peak at the ceiling or under; the output keeps the input's
// length, and zek-report, replaying a preset and the levelling's options
// (slow under emulation, so not every case), finds it bit for bit what zek
// makes.
TEST_F(LoudnessTool, TargetsAndCeilingsOnRealSpeechByFfmpegsMeter) {
    need_speech();
    if (HasFatalFailure() || IsSkipped()) return;
    struct run_case {
        std::vector<std::string> options;
        const char* input;
        double lufs, ceiling;
        bool report = false;
    };
    const run_case cases[] = {
        {{"--preset", "podcast"}, "mono44.wav", -16, -1, true},
        {{"--preset", "podcast"}, "espeak.wav", -16, -1},
        {{"--preset", "podcast"}, "stereo48.wav", -16, -1},
        {{"--preset", "ebu"}, "stereo48.wav", -23, -1},
        {{"--preset", "streaming"}, "mono44.wav", -14, -1},
        {{"--target", "-12", "--true-peak", "-3", "--link"}, "stereo48.wav", -12, -3, true},
        {{"--comp", "0.5", "--target=-20", "--true-peak=-2"}, "mono44.wav", -20, -2, true},
        {{"--true-peak", "-6", "--preset", "podcast"}, "espeak.wav", -16, -6},
    };
    for (const run_case& c : cases) {
        std::vector<std::string> args = c.options;
        std::string label = c.input;
        for (const std::string& a : c.options) label += " " + a;
        args.push_back(c.input);
        args.push_back("out.wav");
        const harness::result r = harness::zek(args, dir);
        ASSERT_EQ(r.status, 0) << label << ": " << r.err;
        const ffmpeg_reading m = ffmpeg_meter(dir / "out.wav", dir);
        EXPECT_NEAR(m.integrated, c.lufs, 0.1) << label;
        EXPECT_LE(m.true_peak, c.ceiling) << label;
        EXPECT_EQ(frames_of(dir / "out.wav", dir), frames_of(dir / c.input, dir)) << label;
        if (!c.report) continue;
        std::vector<std::string> report_args = c.options;
        report_args.insert(report_args.begin(), "--json");
        report_args.push_back(c.input);
        report_args.push_back("out.wav");
        const harness::result rep = harness::run(ZEK_REPORT_BINARY, report_args, dir);
        EXPECT_EQ(rep.status, 0) << label << ": " << rep.err;
    }
    // A target the ceiling keeps out of reach is written as near as it
    // gets, and the note says how near, as ffmpeg reads it.
    const harness::result r = harness::zek({"--target", "-5", "--true-peak", "-9", "mono44.wav", "out.wav"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string said = "the output's integrated loudness is ";
    const std::size_t at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not the target's -5.0: the ceiling of -9.0 dBTP holds it down"), std::string::npos) << r.err;
    const ffmpeg_reading m = ffmpeg_meter(dir / "out.wav", dir);
    EXPECT_NEAR(m.integrated, std::stod(r.err.substr(at + said.size())), 0.1) << r.err;
    EXPECT_LT(m.integrated, -6.0) << r.err;
    EXPECT_LE(m.true_peak, -9.0) << r.err;
}

// Where nothing reaches the ceiling, --true-peak changes no byte of what
// zek writes (the limiter's delay is aligned away); a piped input is
// spooled and gives the bytes a file gives, and so does every kind of
// output; raw samples keep their length.
TEST_F(LoudnessTool, UnderTheCeilingAndThroughAPipe) {
    need_speech();
    if (HasFatalFailure() || IsSkipped()) return;
    ASSERT_EQ(harness::run("sox", {"mono44.wav", "quiet.wav", "gain", "-20"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"--comp", "0", "quiet.wav", "plain.wav"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"--comp", "0", "--true-peak", "0", "quiet.wav", "limited.wav"}, dir).status, 0);
    EXPECT_EQ(harness::read_file(dir / "limited.wav"), harness::read_file(dir / "plain.wav"));

    ASSERT_EQ(harness::zek({"--preset", "podcast", "mono44.wav", "file.wav"}, dir).status, 0);
    const harness::result piped = harness::zek({"--preset", "podcast", "/dev/stdin", "pipe.wav"}, dir,
                                               harness::read_file(dir / "mono44.wav"));
    ASSERT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(harness::read_file(dir / "pipe.wav"), harness::read_file(dir / "file.wav"));
    // Where the limiter takes loudness off, as it does from espeak-ng's
    // voice, the limited recording is measured before it is written, and
    // limited again until it lands; to standard output, which cannot be
    // taken back, and to an existing output written in place, through
    // another of its links: the same bytes.
    ASSERT_EQ(harness::zek({"--preset", "podcast", "espeak.wav", "espeak_file.wav"}, dir).status, 0);
    const harness::result to_stdout = harness::zek({"--preset", "podcast", "espeak.wav", "/dev/stdout"}, dir);
    ASSERT_EQ(to_stdout.status, 0) << to_stdout.err;
    EXPECT_EQ(to_stdout.out, harness::read_file(dir / "espeak_file.wav"));
    harness::write_file(dir / "linked.wav", "old bytes");
    fs::create_hard_link(dir / "linked.wav", dir / "other_name.wav");
    ASSERT_EQ(harness::zek({"--preset", "podcast", "espeak.wav", "linked.wav"}, dir).status, 0);
    EXPECT_EQ(harness::read_file(dir / "other_name.wav"), harness::read_file(dir / "espeak_file.wav"));

    ASSERT_EQ(harness::run("sox", {"mono44.wav", "-r", "48000", "-t", "raw", "-e", "signed", "-b", "16", "-L", "in.raw"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"in.raw", "default.raw"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"--preset", "ebu", "in.raw", "ebu.raw"}, dir).status, 0);
    EXPECT_EQ(fs::file_size(dir / "ebu.raw"), fs::file_size(dir / "default.raw"));
    const harness::result rep = harness::run(ZEK_REPORT_BINARY, {"--preset", "ebu", "--json", "in.raw", "ebu.raw"}, dir);
    EXPECT_EQ(rep.status, 0) << rep.err;
    const std::size_t at = rep.out.find("\"output\": {\"integrated_lufs\": ");
    ASSERT_NE(at, std::string::npos) << rep.out;
    EXPECT_NEAR(std::stod(rep.out.substr(at + 30)), -23.0, 0.1) << rep.out;
}

// Bad values are usage errors that touch nothing; silence under a target is
// written as zek levels it, with a note; zek-report's JSON says null for
// what silence has not.
TEST_F(LoudnessTool, RefusalsSilenceAndNull) {
    harness::write_file(dir / "silence.raw", std::string(2 * 48000 * 2, '\0'));
    harness::write_file(dir / "out.raw", "keep");
    struct refusal {
        std::vector<std::string> args;
        const char* message;
    };
    const refusal refusals[] = {
        {{"--target", "-71"}, "--target takes an integrated loudness in LUFS from -70 to -5, not '-71'"},
        {{"--target=-4.9"}, "from -70 to -5, not '-4.9'"},
        {{"--target", "loud"}, "not 'loud'"},
        {{"--target"}, "--target takes"},
        {{"--true-peak", "0.5"}, "--true-peak takes a ceiling in dBTP from -9 to 0, not '0.5'"},
        {{"--true-peak=-9.5"}, "not '-9.5'"},
        {{"--preset", "loud"}, "--preset takes podcast, ebu or streaming, not 'loud'"},
    };
    for (const refusal& f : refusals) {
        std::vector<std::string> args = f.args;
        args.push_back("silence.raw");
        args.push_back("out.raw");
        const harness::result r = harness::zek(args, dir);
        EXPECT_EQ(r.status, 2) << f.message;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
        EXPECT_EQ(harness::read_file(dir / "out.raw"), "keep");
    }
    const harness::result r = harness::zek({"--target", "-16", "silence.raw", "out.raw"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("no loudness to measure"), std::string::npos) << r.err;
    ASSERT_EQ(harness::zek({"silence.raw", "plain.raw"}, dir).status, 0);
    EXPECT_EQ(harness::read_file(dir / "out.raw"), harness::read_file(dir / "plain.raw"));
    const harness::result rep = harness::run(ZEK_REPORT_BINARY, {"--json", "silence.raw", "plain.raw"}, dir);
    EXPECT_EQ(rep.status, 0) << rep.err;
    EXPECT_EQ(rep.out, "{\"input\": {\"integrated_lufs\": null, \"loudness_range_lu\": null, \"true_peak_dbtp\": null, "
                       "\"sample_peak_dbfs\": null, \"momentary_max_lufs\": null, \"shortterm_max_lufs\": null}, "
                       "\"output\": {\"integrated_lufs\": null, \"loudness_range_lu\": null, \"true_peak_dbtp\": null, "
                       "\"sample_peak_dbfs\": null, \"momentary_max_lufs\": null, \"shortterm_max_lufs\": null}}\n");
}

} // namespace
