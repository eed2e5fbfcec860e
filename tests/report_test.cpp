// zek-report through its real binary: the per-second table against levels and
// gains computed here, the check that OUT is zek's output of IN, failures, and
// the plot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "engine_fixture.h"
#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t LEAD = 512, HOP = 240, RATE = 48000;

harness::result report(const std::vector<std::string>& args, const fs::path& dir) {
    return harness::run(ZEK_REPORT_BINARY, args, dir);
}

struct row {
    double in_peak, in_rms, out_peak, out_rms, gain_min, gain_max;
};

std::vector<row> parse_rows(const std::string& table) {
    std::vector<row> rows;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::size_t second = 0;
        row r{};
        if (std::sscanf(line.c_str(), "%zu | %lf %lf | %lf %lf | %lf %lf", &second, &r.in_peak, &r.in_rms, &r.out_peak,
                        &r.out_rms, &r.gain_min, &r.gain_max) == 7) {
            EXPECT_EQ(second, rows.size());
            rows.push_back(r);
        }
    }
    return rows;
}

double db(double magnitude) { return 20 * std::log10(magnitude / 32768); }

// A tone a second quiet, a second loud, then in between: the gain must move.
std::vector<std::int16_t> steps(std::size_t n) {
    std::vector<std::int16_t> s(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double level = k < RATE ? 300.0 : k < 2 * RATE ? 24000.0 : 3000.0;
        s[k] = static_cast<std::int16_t>(std::lround(level * std::sin(0.0731 * double(k))));
    }
    return s;
}

class Report : public harness::temp_dir_test {
protected:
    // Writes IN, has zek make OUT, and returns both.
    std::vector<std::int16_t> make_pair(const std::vector<std::int16_t>& in) {
        harness::write_file(dir / "in.raw", harness::to_bytes(in));
        EXPECT_EQ(harness::zek({"in.raw", "out.raw"}, dir).status, 0);
        return harness::to_samples(harness::read_file(dir / "out.raw"));
    }
};

// Each row measures one second of the input and the same audio in the output
// (one hop later), and the gains that the engine applied to it.
TEST_F(Report, RowsMatchLevelsAndGainsComputedHere) {
    const auto in = steps(3 * RATE + 20000);
    const auto out = make_pair(in);
    const auto r = report({"in.raw", "out.raw"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("bit for bit what zek makes of the input"), std::string::npos) << r.out;
    const auto rows = parse_rows(r.out);

    agc_state state = builtin_state();
    agc_frame frame{};
    std::vector<std::int16_t> gains;
    for (std::size_t at = LEAD; at + HOP <= in.size(); at += HOP) {
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at), HOP, frame.in);
        gains.push_back(agc_process(frame, state, zek::mix));
    }
    const std::size_t covered = out.size() - HOP;
    ASSERT_EQ(rows.size(), (covered + RATE - 1) / RATE);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        double in_peak = 0, in_sq = 0, out_peak = 0, out_sq = 0, count = 0;
        int g_min = 1 << 16, g_max = -1;
        for (std::size_t i = k * RATE; i < std::min(covered, (k + 1) * RATE); ++i, ++count) {
            const double x = std::abs(double(in[i]));
            const double y = std::abs(double(out[i < LEAD ? i : i + HOP]));
            in_peak = std::max(in_peak, x), in_sq += x * x;
            out_peak = std::max(out_peak, y), out_sq += y * y;
            const std::size_t h = (i - LEAD) / HOP;
            for (int g : i < LEAD ? std::vector<int>{256} : std::vector<int>{gains[h], gains[h + 1]}) {
                g_min = std::min(g_min, g), g_max = std::max(g_max, g);
            }
        }
        const row& got = rows[k];
        EXPECT_NEAR(got.in_peak, db(in_peak), 0.051) << "second " << k;
        EXPECT_NEAR(got.in_rms, db(std::sqrt(in_sq / count)), 0.051) << "second " << k;
        EXPECT_NEAR(got.out_peak, db(out_peak), 0.051) << "second " << k;
        EXPECT_NEAR(got.out_rms, db(std::sqrt(out_sq / count)), 0.051) << "second " << k;
        EXPECT_NEAR(got.gain_min, 20 * std::log10(g_min / 256.0), 0.051) << "second " << k;
        EXPECT_NEAR(got.gain_max, 20 * std::log10(g_max / 256.0), 0.051) << "second " << k;
    }
    // The quiet first second is raised, the loud second one is not.
    EXPECT_GT(rows[0].gain_max, 10);
    EXPECT_LT(rows[1].out_peak, 0);
}

// Inputs too short for a hop, or for two, are reported without a fault.
TEST_F(Report, ShortInputs) {
    struct {
        std::size_t samples, rows;
    } const cases[] = {{0, 0}, {300, 1}, {600, 1}, {752, 1}, {992, 1}};
    for (const auto& c : cases) {
        make_pair(steps(c.samples));
        const auto r = report({"in.raw", "out.raw", "plot.svg"}, dir);
        EXPECT_EQ(r.status, 0) << c.samples << ": " << r.err;
        EXPECT_EQ(parse_rows(r.out).size(), c.rows) << c.samples;
        EXPECT_TRUE(fs::exists(dir / "plot.svg")) << c.samples;
    }
}

// An OUT that is not what zek writes for IN is reported with where it first
// differs; the table is still printed.
TEST_F(Report, OutputThatIsNotZeksIsFlagged) {
    const auto in = steps(RATE + 5000);
    const std::string made = harness::to_bytes(make_pair(in));
    const std::size_t n = made.size() / 2;
    std::string changed = made;
    changed[2 * 1000] = static_cast<char>(changed[2 * 1000] ^ 1);
    struct {
        std::string out;
        std::size_t first_difference;
        const char* what;
    } const cases[] = {
        {made.substr(0, made.size() - 2), n - 1, "one sample short"},
        {made + std::string(2, '\0'), n, "one sample more"},
        {made + "x", n, "an odd trailing byte"},
        {changed, 1000, "one sample changed"},
        {harness::to_bytes(in), LEAD, "the input itself"},
    };
    for (const auto& c : cases) {
        harness::write_file(dir / "out.raw", c.out);
        const auto r = report({"in.raw", "out.raw"}, dir);
        EXPECT_EQ(r.status, 3) << c.what;
        EXPECT_NE(r.err.find("first difference at sample " + std::to_string(c.first_difference) + ")"),
                  std::string::npos)
            << c.what << ": " << r.err;
        EXPECT_NE(r.out.find("NOT what zek makes of the input"), std::string::npos) << c.what;
        EXPECT_EQ(parse_rows(r.out).size(), 2u) << c.what;
    }
}

// Files that cannot be read or written: status 1, a message naming the file,
// and no file written or changed.
TEST_F(Report, FailuresAndArguments) {
    const std::string out = harness::to_bytes(make_pair(steps(5000)));
    fs::create_directory(dir / "folder");
    struct {
        std::vector<std::string> args;
        int status;
        std::string message; // on stderr
    } const cases[] = {
        {{"missing.raw", "out.raw", "plot.svg"}, 1, "cannot read 'missing.raw': No such file or directory"},
        {{"in.raw", "missing.raw", "plot.svg"}, 1, "cannot read 'missing.raw': No such file or directory"},
        {{"folder", "out.raw", "plot.svg"}, 1, "cannot read 'folder': Is a directory"},
        {{"in.raw", "out.raw", "nowhere/plot.svg"}, 1, "cannot open 'nowhere/plot.svg': No such file or directory"},
        {{"in.raw", "out.raw", "folder"}, 1, "cannot open 'folder': Is a directory"},
        {{"in.raw", "out.raw", "/dev/full"}, 1, "cannot write '/dev/full': No space left on device"},
        {{"in.raw", "out.raw", "out.raw"}, 1, "'out.raw' is IN or OUT; the plot would overwrite it"},
        {{"in.raw", "out.raw", "./in.raw"}, 1, "'./in.raw' is IN or OUT"},
        {{}, 2, "usage: zek-report [OPTIONS] IN OUT [PLOT.svg]"},
        {{"in.raw"}, 2, "usage: zek-report [OPTIONS] IN OUT [PLOT.svg]"},
        {{"in.raw", "out.raw", "plot.svg", "extra"}, 2, "usage: zek-report [OPTIONS] IN OUT [PLOT.svg]"},
        {{"--loud", "in.raw", "out.raw"}, 2, "unknown option '--loud'"},
        // zek's options for many files mean nothing here: refused, not ignored.
        {{"-j", "2", "in.raw", "out.raw"}, 2, "-o, -j, --format, --force and --loudness are zek's"},
        {{"-o", "levelled", "in.raw", "out.raw"}, 2, "-o, -j, --format, --force and --loudness are zek's"},
        {{"--loudness", "in.raw", "out.raw"}, 2, "-o, -j, --format, --force and --loudness are zek's"},
        {{"--mix", "none.mix", "in.raw", "out.raw"}, 1, "cannot open 'none.mix': No such file or directory"},
        // The weight file is read as it comes: an endless source is refused at
        // a bound, noise at its first negative weight; and it is never the plot.
        {{"--mix", "/dev/zero", "in.raw", "out.raw"}, 1, "cannot read '/dev/zero': the weight file holds more than"},
        {{"--mix", "/dev/urandom", "in.raw", "out.raw"}, 1, ": weights are Q15 values from 0"},
        {{"--mix", "w.mix", "in.raw", "out.raw", "w.mix"}, 1, "'w.mix' is the weight file given to --mix; the plot would"},
        {{"--mix", "w.mix", "in.raw", "out.raw", "link.mix"}, 1, "'link.mix' is the weight file given to --mix"},
        {{"--mix=link.mix", "in.raw", "out.raw", "./w.mix"}, 1, "'./w.mix' is the weight file given to --mix"},
        // An option after IN is a name, as it always was, but a warning says so.
        {{"in.raw", "out.raw", "--speech"}, 0, "warning: '--speech' comes after IN, so it is taken as the plot's name"},
    };
    const std::string weights = harness::to_bytes({0, 32767});
    harness::write_file(dir / "w.mix", weights);
    fs::create_symlink("w.mix", dir / "link.mix");
    const std::string in = harness::read_file(dir / "in.raw");
    for (const auto& c : cases) {
        const auto r = report(c.args, dir);
        std::string label;
        for (const auto& a : c.args) label += a + " ";
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << label << ": " << r.err;
        EXPECT_EQ(harness::read_file(dir / "in.raw"), in) << label;
        EXPECT_EQ(harness::read_file(dir / "out.raw"), out) << label;
        EXPECT_EQ(harness::read_file(dir / "w.mix"), weights) << label;
        EXPECT_FALSE(fs::exists(dir / "plot.svg")) << label;
    }
}

// The plot is well-formed SVG with both panels' labels and the legend, and
// file names that XML cannot carry as they are (markup, bytes that are not
// UTF-8, control characters) are escaped or shown as \xHH.
TEST_F(Report, PlotIsLabelledSvg) {
    make_pair(steps(3 * RATE));
    const std::string name = "a&<b>\xe4\x01\xc3\xa9.raw";
    fs::rename(dir / "in.raw", dir / name);
    const auto r = report({name, "out.raw", "plot.svg"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("plot: plot.svg"), std::string::npos);
    const std::string svg = harness::read_file(dir / "plot.svg");
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    for (const char* text : {"input peak level", "output peak level", ">gain<", "level (dBFS)", "gain (dB)",
                             "time (s)", "a&amp;&lt;b&gt;\\xE4\\x01\xc3\xa9.raw", ">-96<", ">0<", ">2<"}) {
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    }
    if (!std::filesystem::exists("/usr/bin/python3")) {
        if (std::getenv("ZEK_REQUIRE_TOOLS")) FAIL() << "python3 is required";
        GTEST_SKIP() << "no /usr/bin/python3 to parse the plot";
    }
    const auto parsed =
        harness::run("/usr/bin/python3", {"-c", "import sys, xml.etree.ElementTree as x; x.parse(sys.argv[1])", "plot.svg"}, dir);
    EXPECT_EQ(parsed.status, 0) << parsed.err;
}

// zek-report replays zek with the options zek was given: with them OUT is
// zek's output, without them it is not; the plot draws the weight under the
// gain when it changes from hop to hop (speech-aware mode, a weight file),
// not when it is constant. Raw samples and a stereo WAV file made by sox.
TEST_F(Report, OptionsAreReplayed) {
    std::vector<std::int16_t> x(5 * RATE); // faint noise, with tones in seconds 1 and 3
    std::uint32_t seed = 1;
    for (std::size_t k = 0; k < x.size(); ++k) {
        seed = seed * 1664525 + 1013904223;
        const double tone = (k / RATE) % 2 == 1 ? (k < 2 * RATE ? 3000.0 : 300.0) * std::sin(0.0731 * double(k)) : 0.0;
        x[k] = static_cast<std::int16_t>(std::lround(tone + double(seed >> 27) - 16));
    }
    harness::write_file(dir / "in.raw", harness::to_bytes(x));
    harness::write_file(dir / "ramp.mix", harness::to_bytes({0, 8000, 16000, 24000, 32000}));
    const auto made = harness::run("sox", {"-M", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1", "in.raw",
                                           "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1", "in.raw",
                                           "in.wav", "remix", "1", "2v0.3"}, dir);
    ASSERT_EQ(made.status, 0) << made.err;
    // The lane under the gain: the weight file's weights, or the speech
    // gate, which also shades where speech was heard.
    struct {
        std::vector<std::string> options;
        const char* in;
        const char* lane; // none: no lane drawn
    } const cases[] = {
        {{"--speech"}, "in.raw", ">speech gate<"}, {{"--comp", "0.5"}, "in.raw", nullptr},
        {{"--mix", "ramp.mix"}, "in.raw", ">weight<"}, {{"--speech", "--link"}, "in.wav", ">speech gate<"},
        {{"--speech", "--live"}, "in.wav", ">speech gate<"}, {{"--link", "--comp", "0.3"}, "in.wav", nullptr},
    };
    for (const auto& c : cases) {
        const std::string out = std::string("out.") + (std::string(c.in).ends_with("wav") ? "wav" : "raw");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {c.in, out});
        SCOPED_TRACE(args[0] + " " + c.in);
        ASSERT_EQ(harness::zek(args, dir).status, 0);
        args.push_back("plot.svg");
        const auto r = report(args, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("bit for bit what zek makes of the input"), std::string::npos) << r.out;
        const std::string svg = harness::read_file(dir / "plot.svg");
        EXPECT_EQ(svg.find(">weight<") != std::string::npos, c.lane && std::string(c.lane) == ">weight<");
        EXPECT_EQ(svg.find(">speech gate<") != std::string::npos, c.lane && std::string(c.lane) == ">speech gate<");
        EXPECT_EQ(svg.find(">speech<") != std::string::npos, c.lane && std::string(c.lane) == ">speech gate<")
            << "the legend of the speech bands";
        EXPECT_EQ(report({c.in, out}, dir).status, 3); // without the options: not zek's output
    }
}

class ReportDisk : public harness::small_disk_test {};

// A plot that does not fit on the disk leaves the old plot as it was, and no
// temporary file.
TEST_F(ReportDisk, PlotOnAFullDisk) {
    if (const std::string why = mount_small(64); !why.empty()) GTEST_SKIP() << why;
    const std::string old(48 * 1024, 'o');
    harness::write_file(small / "plot.svg", old);
    harness::write_file(dir / "in.raw", harness::to_bytes(steps(10 * RATE)));
    ASSERT_EQ(harness::zek({"in.raw", "out.raw"}, dir).status, 0);
    const auto r = report({"in.raw", "out.raw", "small/plot.svg"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write 'small/plot.svg': No space left on device"), std::string::npos) << r.err;
    EXPECT_TRUE(harness::read_file(small / "plot.svg") == old);
    EXPECT_EQ(harness::names_in(small), std::vector<std::string>{"plot.svg"});
}

// Memory does not grow with the recording: 10 and 100 MB of silence (sparse
// files, and zek's output of silence is silence).
TEST_F(Report, MemoryStaysFlat) {
    long rss[2] = {};
    for (int k = 0; k < 2; ++k) {
        const std::uintmax_t bytes = (k == 0 ? 10u : 100u) << 20;
        for (const char* name : {"in.raw", "out.raw"}) harness::write_file(dir / name, "");
        fs::resize_file(dir / "in.raw", bytes);
        fs::resize_file(dir / "out.raw", 2 * (LEAD + HOP * ((bytes / 2 - LEAD) / HOP)));
        const auto r = report({"in.raw", "out.raw", "plot.svg"}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        rss[k] = r.max_rss_kib;
    }
    EXPECT_LT(rss[1] - rss[0], 1024) << "KiB more for 100 MB than for 10 MB";
}

// The demo's recording: speech at very different levels comes out evened.
TEST_F(Report, DemoRecording) {
    const fs::path example = fs::path(ZEK_SOURCE_DIR) / "docs" / "example.raw";
    ASSERT_EQ(harness::zek({example.string(), "out.raw"}, dir).status, 0);
    const auto r = report({example.string(), "out.raw"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = parse_rows(r.out);
    ASSERT_EQ(rows.size(), 10u);
    double quietest_in = 0, quietest_out = 0;
    for (const row& s : rows) {
        EXPECT_LT(s.out_peak, -0.1); // held under the ceiling
        quietest_in = std::min(quietest_in, s.in_peak);
        quietest_out = std::min(quietest_out, s.out_peak);
    }
    EXPECT_LT(quietest_in, -38); // the whisper
    EXPECT_GT(quietest_out, -16) << "the whisper was raised by more than 22 dB";
}

} // namespace
