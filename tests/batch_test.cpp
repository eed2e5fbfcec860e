// zek -o OUTDIR INPUT...: folders of files made by sox levelled in one
// process, each output as `zek INPUT OUTPUT` makes it; the manifest, resume,
// an interrupted batch; and the manifest's and the progress line's pieces in
// process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tool_harness.h"
#include "zek/batch.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class Batch : public harness::temp_dir_test {
public:
    void SetUp() override {
        temp_dir_test::SetUp();
        for (const char* tool : {"sox", "sha256sum"}) {
            if (!harness::have_program(tool)) GTEST_FAIL() << tool << " is required";
        }
    }
    harness::result sh(const std::string& command) { return harness::run("/bin/bash", {"-c", command}, dir); }
    void make(const std::string& file, int rate, int channels, const std::string& type = "") {
        fs::create_directories((dir / file).parent_path());
        const auto r = sh("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " + type +
                          " '" + file + "' synth 1.5 pinknoise tremolo 1.5 90 gain -25");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // The manifest's records by output.
    std::map<std::string, json> manifest(const std::string& outdir) {
        std::map<std::string, json> by_output;
        std::istringstream lines(harness::read_file(dir / outdir / "zek-manifest.jsonl"));
        for (std::string line; std::getline(lines, line);) {
            const json j = json::parse(line, nullptr, false);
            EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
            if (j.is_object()) by_output[j["output"].get<std::string>()] = j;
        }
        return by_output;
    }
    std::size_t manifest_lines(const std::string& outdir) {
        const std::string m = harness::read_file(dir / outdir / "zek-manifest.jsonl");
        return static_cast<std::size_t>(std::count(m.begin(), m.end(), '\n'));
    }
    // What `zek INPUT OUTPUT` makes of an input.
    std::string single(const std::string& input, const std::string& name, const std::vector<std::string>& options = {}) {
        std::vector<std::string> args = options;
        args.push_back(input);
        args.push_back("single-" + name);
        const auto r = harness::zek(args, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        return harness::read_file(dir / ("single-" + name));
    }
    std::map<std::string, std::string> statuses(const std::string& outdir) {
        std::map<std::string, std::string> s;
        for (const auto& [output, j] : manifest(outdir)) s[output] = j["status"];
        return s;
    }
};

// A corpus as they come: subfolders, WAV and FLAC at several rates, a FLAC
// file named .wav, a transcript, raw samples in a folder (not audio there)
// and raw samples named alone (levelled as zek levels them).
void make_corpus(Batch& t, const fs::path& dir) {
    t.make("corpus/spk1/a.wav", 16000, 1);
    t.make("corpus/spk1/b.flac", 16000, 1);
    t.make("corpus/spk2/c.wav", 44100, 2);
    t.make("corpus/spk2/mislabelled.wav", 22050, 1, "-t flac");
    harness::write_file(dir / "corpus/spk2/c.txt", "a transcript, not audio\n");
    std::vector<std::int16_t> raw(9000);
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::int16_t>((k * 7919) % 2001 - 1000);
    harness::write_file(dir / "corpus/spk2/d.raw", harness::to_bytes(raw));
    harness::write_file(dir / "alone.raw", harness::to_bytes(raw));
}

TEST_F(Batch, FoldersMirrorTheLayoutAndEachOutputIsTheSingleRuns) {
    make_corpus(*this, dir);
    const struct {
        std::vector<std::string> options;
        std::map<std::string, std::string> outputs; // output under OUT -> input
        const char* container_of_mislabelled;
    } cases[] = {
        {{"-j", "3"},
         {{"spk1/a.wav", "corpus/spk1/a.wav"}, {"spk1/b.flac", "corpus/spk1/b.flac"},
          {"spk2/c.wav", "corpus/spk2/c.wav"}, {"spk2/mislabelled.wav", "corpus/spk2/mislabelled.wav"},
          {"alone.raw", "alone.raw"}},
         "fLaC"}, // the input's container, whatever the name says
        {{"-j", "1", "--format", "flac", "--speech"},
         {{"spk1/a.flac", "corpus/spk1/a.wav"}, {"spk1/b.flac", "corpus/spk1/b.flac"},
          {"spk2/c.flac", "corpus/spk2/c.wav"}, {"spk2/mislabelled.flac", "corpus/spk2/mislabelled.wav"},
          {"alone.raw", "alone.raw"}}, // raw samples stay raw
         "fLaC"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string out = "out" + std::to_string(n++);
        SCOPED_TRACE(out);
        std::vector<std::string> args = c.options;
        for (const char* a : {"-o", out.c_str(), "corpus", "alone.raw"}) args.push_back(a);
        const auto r = harness::zek(args, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << "a batch prints nothing on standard output";
        EXPECT_NE(r.err.find("5 files: 5 levelled, 0 skipped (done before), 0 failed"), std::string::npos) << r.err;
        const bool speech = c.options.back() == "--speech";
        const auto records = manifest(out);
        EXPECT_EQ(records.size(), c.outputs.size());
        EXPECT_EQ(manifest_lines(out), c.outputs.size());
        for (const auto& [output, input] : c.outputs) {
            SCOPED_TRACE(output);
            // The single run is named so that it picks the batch's container.
            std::string name = fs::path(output).filename().string();
            if (name == "mislabelled.wav") name = "mislabelled.flac";
            const std::string bytes = harness::read_file(dir / out / output);
            std::vector<std::string> single_options;
            if (speech) single_options.push_back("--speech");
            EXPECT_EQ(bytes, single(input, name, single_options)) << "not what zek INPUT OUTPUT makes";
            ASSERT_EQ(records.count(output), 1u);
            const json& j = records.at(output);
            EXPECT_EQ(j["status"], "done");
            EXPECT_EQ(j["input"], input == "alone.raw" ? "alone.raw" : input.substr(std::string("corpus/").size()));
            EXPECT_EQ(j["root"], input == "alone.raw" ? "alone.raw" : "corpus");
            const auto sum = sh("sha256sum '" + out + "/" + output + "'");
            EXPECT_EQ(j["sha256"], sum.out.substr(0, 64));
            EXPECT_EQ(j["size"], fs::file_size(dir / input));
            // The gain rises over the quiet noise (in speech-aware mode the
            // raw file's steady tone may pass as a pause, at unity).
            EXPECT_GE(j["gain_db"]["max"].get<double>(), speech ? 0.0 : 10.0);
            EXPECT_LE(j["gain_db"]["min"].get<double>(), j["gain_db"]["max"].get<double>());
            EXPECT_EQ(j["speech_share"].is_number(), speech);
            EXPECT_TRUE(j.contains("loudness_in") && j.contains("loudness_out"));
        }
        EXPECT_EQ(records.at("alone.raw")["rate"], 48000);
        EXPECT_EQ(records.at("alone.raw")["frames"], 9000);
        EXPECT_EQ(records.at("spk1/b.flac")["rate"], 16000);
        const std::string mis = speech ? "spk2/mislabelled.flac" : "spk2/mislabelled.wav";
        EXPECT_EQ(harness::read_file(dir / out / mis).substr(0, 4), c.container_of_mislabelled);
        EXPECT_EQ(records.at(mis)["channels"], 1);
        EXPECT_EQ(records.at(mis)["frames"], 33075); // 1.5 s at 22050 Hz
        EXPECT_FALSE(fs::exists(dir / out / "spk2/d.raw")) << "raw samples in a folder are no audio file";
        EXPECT_FALSE(fs::exists(dir / out / "spk2/c.txt"));
    }
}

TEST_F(Batch, FailuresAreNamedAndLeaveTheOldOutputs) {
    make("corpus/good.wav", 16000, 1);
    make("corpus/fast.wav", 192000, 1);
    make("corpus/cut.wav", 16000, 1);
    const std::string cut = harness::read_file(dir / "corpus/cut.wav");
    harness::write_file(dir / "corpus/cut.wav", cut.substr(0, cut.size() - 1001));
    harness::write_file(dir / "corpus/song.mp3.wav", std::string("ID3\x03\0\0\0\0\0\0", 10) + std::string(4000, 'x'));
    fs::create_directories(dir / "out");
    for (const char* old : {"out/fast.wav", "out/cut.wav"}) harness::write_file(dir / old, "an earlier result");
    const auto r = harness::zek({"-j", "2", "-o", "out", "corpus", "missing.wav"}, dir);
    EXPECT_EQ(r.status, 1) << r.err;
    for (const char* said : {"192000 Hz", "cut short", "MP3 audio is compressed", "cannot open 'missing.wav'",
                             "5 files: 1 levelled, 0 skipped (done before), 4 failed"}) {
        EXPECT_NE(r.err.find(said), std::string::npos) << said << " in:\n" << r.err;
    }
    EXPECT_EQ(harness::read_file(dir / "out/fast.wav"), "an earlier result");
    EXPECT_EQ(harness::read_file(dir / "out/cut.wav"), "an earlier result");
    EXPECT_EQ(harness::names_in(dir / "out"),
              (std::vector<std::string>{"cut.wav", "fast.wav", "good.wav", "zek-manifest.jsonl"}))
        << "no temporary file, no output of a refused input";
    const auto records = manifest("out");
    EXPECT_EQ(records.at("cut.wav")["status"], "failed");
    EXPECT_NE(records.at("cut.wav")["message"].get<std::string>().find("cut short"), std::string::npos);
    EXPECT_TRUE(records.at("cut.wav")["sha256"].is_null());
    EXPECT_EQ(records.at("missing.wav")["status"], "failed");
}

TEST_F(Batch, ResumeSkipsOnlyWhatIsStillDone) {
    make("corpus/a.wav", 16000, 1);
    make("corpus/b.wav", 16000, 1);
    make("corpus/c.wav", 8000, 1);
    const std::vector<std::string> batch = {"-o", "out", "corpus"};
    ASSERT_EQ(harness::zek(batch, dir).status, 0);
    const std::string b_before = harness::read_file(dir / "out/b.wav");
    const struct {
        const char* what;
        std::string change;                 // a shell command run before the batch again
        std::vector<std::string> options;   // added before -o
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"nothing changed", "", {}, {{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}},
        {"an input touched", "touch -d '2001-01-01' corpus/a.wav", {},
         {{"a.wav", "done"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}},
        {"an output changed", "printf x >> out/b.wav", {},
         {{"a.wav", "skipped"}, {"b.wav", "done"}, {"c.wav", "skipped"}}},
        {"an output removed", "rm out/c.wav", {}, {{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "done"}}},
        {"other options", "", {"--comp", "0.5"}, {{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}},
        {"--force", "", {"--comp", "0.5", "--force"}, {{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}},
        {"the same again", "", {"--comp", "0.5"}, {{"a.wav", "skipped"}, {"b.wav", "skipped"}, {"c.wav", "skipped"}}},
        {"a loudness target", "", {"--comp", "0.5", "--target", "-20"}, {{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}},
        {"a ceiling too", "", {"--comp", "0.5", "--target", "-20", "--true-peak", "-2"},
         {{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}},
        {"and the loudness measured", "", {"--comp", "0.5", "--target", "-20", "--true-peak", "-2", "--loudness"},
         {{"a.wav", "done"}, {"b.wav", "done"}, {"c.wav", "done"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.change.empty()) {
            ASSERT_EQ(sh(c.change).status, 0);
        }
        std::vector<std::string> args = c.options;
        args.insert(args.end(), batch.begin(), batch.end());
        const auto r = harness::zek(args, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(statuses("out"), c.expected);
        EXPECT_EQ(manifest_lines("out"), 3u) << "one line per input once the run is over";
        if (std::string(c.what) == "an output changed") {
            EXPECT_EQ(harness::read_file(dir / "out/b.wav"), b_before);
        }
    }
}

// With --loudness every record holds its input's and output's integrated
// loudness, zek-report's figures for the same pair; without it, none. A
// target's output measures the target.
TEST_F(Batch, LoudnessInAndOutAreTheMetersFigures) {
    make_corpus(*this, dir);
    const struct {
        const char* what;
        std::vector<std::string> options;
        bool measured;
    } cases[] = {
        {"not asked for", {}, false},
        {"asked for", {"--loudness"}, true},
        {"with a target", {"--loudness", "--target", "-18"}, true},
        {"speech-aware, with a ceiling", {"--loudness", "--speech", "--true-peak", "-3"}, true},
        // far over the levelled loudness: written and measured more than once
        {"with a target the limiter holds down", {"--loudness", "--target", "-8", "--true-peak", "-3"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--quiet", "-o", "out", "corpus", "alone.raw"});
        ASSERT_EQ(harness::zek(args, dir).status, 0);
        const auto records = manifest("out");
        ASSERT_EQ(records.size(), 5u); // four audio files in the corpus, and the raw samples named alone
        for (const auto& [output, r] : records) {
            SCOPED_TRACE(output);
            ASSERT_EQ(r["status"], "done");
            if (!c.measured) {
                EXPECT_TRUE(r["loudness_in"].is_null() && r["loudness_out"].is_null());
                continue;
            }
            const fs::path in = fs::path(r["root"].get<std::string>()) == "alone.raw"
                                    ? fs::path("alone.raw") : fs::path("corpus") / r["input"].get<std::string>();
            std::vector<std::string> report = c.options;
            report.erase(std::remove(report.begin(), report.end(), "--loudness"), report.end());
            report.insert(report.end(), {"--json", in.string(), (fs::path("out") / output).string()});
            const auto rep = harness::run(ZEK_REPORT_BINARY, report, dir);
            ASSERT_EQ(rep.status, 0) << rep.err;
            const json figures = json::parse(rep.out);
            for (const auto& [side, field] : {std::pair{"input", "loudness_in"}, std::pair{"output", "loudness_out"}}) {
                const json& want = figures[side]["integrated_lufs"];
                if (want.is_null()) {
                    EXPECT_TRUE(r[field].is_null()) << field;
                } else {
                    EXPECT_NEAR(r[field].get<double>(), want.get<double>(), 0.0005) << field;
                }
            }
            if (std::string(c.what) == "with a target" && r["loudness_in"].is_number()) { // 0.4 s or more
                EXPECT_NEAR(r["loudness_out"].get<double>(), -18, 0.1);
            }
        }
        fs::remove_all(dir / "out");
    }
}

// Opens the FIFO for writing once zek reads it (a job has it in flight),
// waiting at most 20 s.
int open_writer(const fs::path& fifo) {
    for (int k = 0; k < 2000; ++k) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// Ctrl-C with a file in flight: a FIFO named alone, which zek reads as it is
// written, so that the signal comes while it is being levelled.
TEST_F(Batch, InterruptedBatchKeepsOldOutputsAndResumes) {
    make("corpus/a.wav", 16000, 1);
    make("corpus/b.flac", 16000, 1);
    ASSERT_EQ(mkfifo((dir / "live.raw").c_str(), 0644), 0);
    fs::create_directories(dir / "out");
    harness::write_file(dir / "out/live.raw", "an earlier result");
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    harness::child zek = harness::zek_spawn({"-j", "1", "-o", "out", "corpus", "live.raw"});
    fs::current_path(cwd);
    const int fifo = open_writer(dir / "live.raw");
    ASSERT_GE(fifo, 0) << "zek never read the FIFO";
    const std::string samples(48000, '\x11');
    ASSERT_TRUE(write(fifo, samples.data(), 4096) == 4096);
    kill(zek.pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // More samples, in case the job still waits for them: the read they end
    // finds the batch stopped. (A job that stopped at once has closed the
    // FIFO: the write fails, and must not kill the test.)
    const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    const ssize_t more = write(fifo, samples.data(), samples.size());
    std::signal(SIGPIPE, old_pipe);
    EXPECT_TRUE(more > 0 || errno == EPIPE) << std::strerror(errno);
    close(fifo);
    const int status = harness::wait_status(zek.pid);
    std::string err(65536, '\0');
    err.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(zek.err, err.data(), err.size()))));
    for (const int fd : {zek.in, zek.out, zek.err}) close(fd);
    EXPECT_EQ(status, 130) << err;
    EXPECT_NE(err.find("3 files: 2 levelled, 0 skipped (done before), 0 failed, 1 not done (interrupted)"),
              std::string::npos) << err;
    EXPECT_EQ(harness::read_file(dir / "out/live.raw"), "an earlier result");
    EXPECT_EQ(harness::names_in(dir / "out"),
              (std::vector<std::string>{"a.wav", "b.flac", "live.raw", "zek-manifest.jsonl"}));
    EXPECT_EQ(statuses("out"), (std::map<std::string, std::string>{{"a.wav", "done"}, {"b.flac", "done"}}));

    harness::write_file(dir / "more.raw", samples);
    const auto r = harness::zek({"-o", "out", "corpus", "more.raw"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(statuses("out"),
              (std::map<std::string, std::string>{{"a.wav", "skipped"}, {"b.flac", "skipped"}, {"more.raw", "done"}}));
    EXPECT_EQ(harness::read_file(dir / "out/more.raw"), single("more.raw", "more.raw"));
}

TEST_F(Batch, UsageErrorsTouchNothing) {
    make("corpus/a.wav", 16000, 1);
    make("corpus/sub/a.wav", 16000, 1);
    fs::create_directories(dir / "other");
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"-j", "0", "-o", "out", "corpus"}, "-j takes a number of jobs from 1 to 4096, not '0'"},
        {{"-jx", "-o", "out", "corpus"}, "-j takes a number of jobs"},
        {{"--format", "mp3", "-o", "out", "corpus"}, "zek does not write MP3"},
        {{"--format", "doc", "-o", "out", "corpus"}, "not a container zek writes"},
        {{"-o"}, "-o takes the folder"},
        {{"-j", "2", "corpus/a.wav", "out.wav"}, "go with -o OUTDIR"},
        {{"--progress", "corpus/a.wav", "out.wav"}, "go with -o OUTDIR"},
        {{"-o", "out"}, "missing inputs"},
        {{"-o", "corpus", "corpus"}, "the outputs would replace their inputs"},
        {{"-o", "out", "corpus/a.wav", "corpus/sub/a.wav"}, "would both be written to 'a.wav'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        const auto r = harness::zek(c.args, dir);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / "out/a.wav"));
        EXPECT_FALSE(fs::exists(dir / "out.wav"));
    }
    EXPECT_FALSE(fs::exists(dir / "corpus/zek-manifest.jsonl"));
}

TEST_F(Batch, ProgressAndSummaryOnStandardError) {
    make("corpus/a.wav", 16000, 1);
    const struct {
        std::vector<std::string> options;
        bool summary;
    } cases[] = {{{}, true}, {{"--progress"}, true}, {{"--quiet", "--force"}, false}};
    for (const auto& c : cases) {
        std::vector<std::string> args = c.options;
        for (const char* a : {"-o", "out", "corpus"}) args.push_back(a);
        const auto r = harness::zek(args, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.find("1 file: "), c.summary ? 5u : std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no terminal: no line redrawn";
    }
}

TEST(BatchProgress, LinesSayHowFarAndHowFast) {
    zek::batch_counts c;
    c.total = 10000;
    c.levelled = 2000;
    c.failed = 2;
    c.skipped = 498;
    c.audio_seconds = 7200;
    c.bytes_total = 4000;
    c.bytes_finished = 1000;
    EXPECT_EQ(zek::progress_line(c, 10), "2500 of 10000 files, 2.00 h of audio, 720x real time, 2 failed, 0:30 left");
    EXPECT_EQ(zek::progress_line(c, 1300), "2500 of 10000 files, 2.00 h of audio, 6x real time, 2 failed, 1:05:00 left");
    EXPECT_EQ(zek::summary_line(c, 10, true), "10000 files: 2000 levelled, 498 skipped (done before), 2 failed, "
                                              "7500 not done (interrupted); 2.00 h of audio in 10.0 s, 720x real time");
    zek::batch_counts none;
    none.total = 1;
    EXPECT_EQ(zek::progress_line(none, 0), "0 of 1 file, 0.00 h of audio, 0 failed");
}

TEST(BatchManifest, ACutLastLineIsDroppedAndASecondRunRefused) {
    const fs::path dir = harness::make_temp_dir();
    zek::manifest_record r;
    r.root = "corpus";
    r.input = "ümlaut/a.wav";
    r.output = "ümlaut/a.wav";
    r.status = "done";
    r.frames = 16000;
    r.rate = 16000;
    r.channels = 1;
    r.gain_min_db = -1.5;
    r.gain_max_db = 30.25;
    const std::string line = zek::manifest_line(r);
    harness::write_file(dir / "zek-manifest.jsonl", line + line.substr(0, 40)); // killed mid-line
    zek::manifest_file m;
    ASSERT_EQ(zek::manifest_open(m, dir.string()), "");
    EXPECT_EQ(m.dropped, 1u);
    zek::manifest_file second;
    EXPECT_NE(zek::manifest_open(second, dir.string()).find("another zek is writing"), std::string::npos);
    const auto found = zek::manifest_find(m, "ümlaut/a.wav");
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->input, "ümlaut/a.wav");
    EXPECT_EQ(*found->gain_max_db, 30.25);
    r.status = "skipped";
    ASSERT_EQ(zek::manifest_append(m, r), 0);
    EXPECT_EQ(harness::read_file(dir / "zek-manifest.jsonl"), line + zek::manifest_line(r)) << "the cut line is gone";
    ASSERT_EQ(zek::manifest_close(m), 0);
    EXPECT_EQ(harness::read_file(dir / "zek-manifest.jsonl"), zek::manifest_line(r)) << "one line per output";
    fs::remove_all(dir);
}

} // namespace
