// The OBS filter inside the real libobs: the module found and loaded by
// libobs from the build tree's plugin folder, the filter created on a source
// of the test's own that plays recordings sox made, and what comes out taken
// where OBS hands a source's audio on after its filters. It must be what the
// zek tool makes of the same recordings, bit for bit, 10 ms late, with
// settings changed as the audio plays. libobs needs an X server for its
// hotkeys and nothing else here: without a DISPLAY the test starts Xvfb.
#include "tool_harness.h"

#include <obs.h>
#include <util/base.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using samples = std::vector<std::int16_t>;

fs::path work; // the recordings and the tool's outputs

// What libobs logged, for the latency line.
std::vector<std::string> logged;
void keep_log(int, const char* format, va_list args, void*) {
    char line[4096];
    std::vsnprintf(line, sizeof line, format, args);
    logged.emplace_back(line);
}

// Sources of the test's own that OBS feeds only what the test pushes with
// obs_source_output_audio: a player, and one whose kind is named as OBS
// names its audio input captures (microphones).
const char* PLAYER = "zek_test_player";
const char* MICROPHONE = "zek_test_input_capture";
void register_sources() {
    for (const char* id : {PLAYER, MICROPHONE}) {
        obs_source_info info = {};
        info.id = id;
        info.type = OBS_SOURCE_TYPE_INPUT;
        info.output_flags = OBS_SOURCE_AUDIO;
        info.get_name = [](void*) { return "zek test source"; };
        info.create = [](obs_data_t*, obs_source_t* source) -> void* { return source; };
        info.destroy = [](void*) {};
        obs_register_source(&info);
    }
}

// The stream's documented delay, 10 ms rounded to a multiple of 4 frames;
// the levelling goes in hops of half of it.
int latency_at(int rate) { return rate == 48000 ? 480 : 440; }

// docs/example.raw (espeak-ng's sentences at very different levels, with
// pauses, 10 s) at `rate`; more channels hold it at other levels, the odd
// ones backwards, so that the channels are levelled differently. `seconds`:
// its beginning only.
fs::path recording(int rate, int channels, int seconds = 10) {
    const std::string name = std::to_string(rate) + "-" + std::to_string(channels) + "-" + std::to_string(seconds);
    const fs::path wav = work / ("in-" + name + "s.wav");
    if (fs::exists(wav)) return wav;
    auto sox = [](std::vector<std::string> args) {
        const harness::result r = harness::run("sox", args);
        EXPECT_EQ(r.status, 0) << r.err;
    };
    if (seconds < 10) {
        sox({recording(rate, channels).string(), wav.string(), "trim", "0", std::to_string(seconds)});
        return wav;
    }
    const fs::path mono = work / ("mono-" + std::to_string(rate) + ".wav");
    const fs::path rev = work / ("reverse-" + std::to_string(rate) + ".wav");
    sox({"-D", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1", ZEK_SOURCE_DIR "/docs/example.raw",
         "-r", std::to_string(rate), channels == 1 ? wav.string() : mono.string()});
    if (channels == 1) return wav;
    sox({mono.string(), rev.string(), "reverse"});
    std::vector<std::string> merge = {"-M"};
    for (int ch = 0; ch < channels; ++ch) merge.insert(merge.end(), {"-v", std::to_string(1.0 / (1 + ch)), (ch % 2 ? rev : mono).string()});
    merge.push_back(wav.string());
    sox(merge);
    return wav;
}

// The recording's frames, interleaved, as sox reads it.
samples frames_of(const fs::path& wav) {
    const fs::path raw = work / "frames.raw";
    const harness::result r = harness::run("sox", {wav.string(), "-t", "raw", "-e", "signed", "-b", "16", raw.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return harness::to_samples(harness::read_file(raw));
}

// The same recording as floats off the 16-bit grid, some beyond full scale,
// as a microphone's come: a 32-bit float WAV for the tool, and its samples.
fs::path float_recording(const fs::path& wav) {
    const fs::path f = work / ("float-" + wav.filename().string());
    const harness::result r = harness::run("sox", {"-D", wav.string(), "-e", "floating-point", "-b", "32", f.string(), "gain", "5.3"});
    EXPECT_EQ(r.status, 0) << r.err;
    return f;
}
std::vector<float> float_frames_of(const fs::path& wav) {
    const std::string bytes = harness::read_file(wav);
    const std::size_t data = bytes.find("data") + 8; // after sox's fmt and fact chunks
    std::vector<float> r((bytes.size() - data) / 4);
    std::memcpy(r.data(), bytes.data() + data, r.size() * 4);
    return r;
}

// What the zek tool makes of `wav` from frame `from` on, with `options`.
samples zek(const fs::path& wav, std::vector<std::string> options, std::size_t from = 0) {
    fs::path in = wav;
    if (from > 0) {
        in = work / "part.wav";
        const harness::result r = harness::run("sox", {wav.string(), in.string(), "trim", std::to_string(from) + "s"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    const fs::path out = work / "zek.raw";
    options.insert(options.end(), {in.string(), out.string()});
    const harness::result r = harness::zek(options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return harness::to_samples(harness::read_file(out));
}

// The filter's settings as OBS stores them, in JSON.
obs_data_t* settings(const std::string& json) { return obs_data_create_from_json(json.empty() ? "{}" : json.c_str()); }

// A settings change from frame `at` on.
struct change {
    std::size_t at;
    std::string json;
};

struct run_plan {
    int rate = 48000;
    int channels = 1;
    const char* source = PLAYER;
    std::string first;                   // the filter's settings when it is made
    std::vector<std::uint32_t> blocks = {1024}; // the source's packets, the last size repeating
    std::vector<change> changes;
};

void capture(void* param, obs_source_t*, const audio_data* audio, bool) {
    auto* out = static_cast<std::vector<std::vector<float>>*>(param);
    for (std::size_t ch = 0; ch < out->size(); ++ch) {
        const auto* plane = reinterpret_cast<const float*>(audio->data[ch]);
        (*out)[ch].insert((*out)[ch].end(), plane, plane + audio->frames);
    }
}

// Plays `frames` through the filter in libobs and gives back what the
// source hands on, as interleaved 16-bit frames. Every sample must be one of
// the 16-bit grid's, as zek's output is.
samples play(const run_plan& plan, const std::vector<float>& frames) {
    const auto nc = static_cast<std::size_t>(plan.channels), n = frames.size() / nc;
    const obs_audio_info ai = {static_cast<std::uint32_t>(plan.rate),
                               plan.channels == 8 ? SPEAKERS_7POINT1 : static_cast<speaker_layout>(plan.channels)};
    EXPECT_TRUE(obs_reset_audio(&ai));
    obs_source_t* source = obs_source_create(plan.source, "recording", nullptr, nullptr);
    obs_data_t* first = settings(plan.first);
    obs_source_t* filter = obs_source_create("zek_leveller", "zek", first, nullptr);
    obs_data_release(first);
    EXPECT_NE(filter, nullptr);
    obs_source_filter_add(source, filter);
    std::vector<std::vector<float>> out(nc);
    obs_source_add_audio_capture_callback(source, capture, &out);

    std::vector<std::vector<float>> planes(nc, std::vector<float>(n));
    for (std::size_t k = 0; k < frames.size(); ++k) planes[k % nc][k / nc] = frames[k];
    std::size_t next_change = 0, b = 0;
    for (std::size_t at = 0; at < n;) {
        while (next_change < plan.changes.size() && plan.changes[next_change].at <= at) {
            obs_data_t* s = settings(plan.changes[next_change++].json);
            obs_source_update(filter, s);
            obs_data_release(s);
        }
        std::size_t block = std::min<std::size_t>(plan.blocks[b], n - at);
        if (next_change < plan.changes.size()) block = std::min(block, plan.changes[next_change].at - at);
        b = std::min(b + 1, plan.blocks.size() - 1);
        obs_source_audio audio = {};
        for (std::size_t ch = 0; ch < nc; ++ch) audio.data[ch] = reinterpret_cast<const std::uint8_t*>(planes[ch].data() + at);
        audio.frames = static_cast<std::uint32_t>(block);
        audio.speakers = ai.speakers;
        audio.format = AUDIO_FORMAT_FLOAT_PLANAR;
        audio.samples_per_sec = ai.samples_per_sec;
        audio.timestamp = at * 1000000000ull / static_cast<std::uint64_t>(plan.rate);
        obs_source_output_audio(source, &audio);
        at += block;
    }
    obs_source_remove_audio_capture_callback(source, capture, &out);
    obs_source_filter_remove(source, filter);
    obs_source_release(filter);
    obs_source_release(source);

    samples r(out[0].size() * nc);
    std::size_t off_grid = 0;
    for (std::size_t k = 0; k < r.size(); ++k) {
        const float x = out[k % nc][k / nc] * 32768.0f;
        r[k] = static_cast<std::int16_t>(x);
        off_grid += x != static_cast<float>(r[k]);
    }
    EXPECT_EQ(off_grid, 0u) << "samples that no 16-bit value gives";
    EXPECT_EQ(r.size(), frames.size());
    return r;
}
samples play(const run_plan& plan, const samples& frames) {
    std::vector<float> x(frames.size());
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = frames[k] / 32768.0f;
    return play(plan, x);
}

// The tool's output as the filter gives it: `delay` frames late, from frame
// `from` of the filter's output on.
samples late(const samples& zek_out, std::size_t channels, std::size_t delay, std::size_t from, std::size_t total) {
    samples r(total * channels);
    for (std::size_t k = 0; k < zek_out.size() && (from + delay) * channels + k < r.size(); ++k)
        r[(from + delay) * channels + k] = zek_out[k];
    return r;
}

// The first frame at which a and b differ (their length when they do not).
std::size_t first_difference(const samples& a, const samples& b, std::size_t channels) {
    std::size_t k = 0;
    while (k < a.size() && a[k] == b[k]) ++k;
    return k / channels;
}
// The first frame from which a and b agree to the end.
std::size_t agree_from(const samples& a, const samples& b, std::size_t channels) {
    std::size_t k = a.size();
    while (k > 0 && a[k - 1] == b[k - 1]) --k;
    return (k + channels - 1) / channels;
}

// ---------------------------------------------------------------------------

TEST(ObsFilter, PropertiesAndDefaults) {
    EXPECT_STREQ(obs_source_get_display_name("zek_leveller"), "zek leveller");
    obs_data_t* defaults = obs_get_source_defaults("zek_leveller");
    EXPECT_FALSE(obs_data_get_bool(defaults, "speech"));
    EXPECT_EQ(obs_data_get_double(defaults, "comp"), 1.0);
    EXPECT_FALSE(obs_data_get_bool(defaults, "link"));
    obs_data_release(defaults);

    struct expected {
        const char* name;
        obs_property_type type;
        const char* shown;
    };
    const expected props[] = {{"speech", OBS_PROPERTY_BOOL, "Speech-aware"},
                              {"comp", OBS_PROPERTY_FLOAT, "Compression"},
                              {"link", OBS_PROPERTY_BOOL, "Linked channels"}};
    // On a microphone the dialog shows speech-aware on, as it runs there.
    for (const char* kind : {PLAYER, MICROPHONE}) {
        SCOPED_TRACE(kind);
        const obs_audio_info ai = {48000, SPEAKERS_STEREO};
        ASSERT_TRUE(obs_reset_audio(&ai));
        obs_source_t* source = obs_source_create(kind, "source", nullptr, nullptr);
        obs_source_t* filter = obs_source_create("zek_leveller", "zek", nullptr, nullptr);
        obs_source_filter_add(source, filter);
        obs_properties_t* list = obs_source_properties(filter);
        std::size_t count = 0;
        for (obs_property_t* p = obs_properties_first(list); p != nullptr; obs_property_next(&p), ++count) {
            ASSERT_LT(count, std::size(props));
            EXPECT_STREQ(obs_property_name(p), props[count].name);
            EXPECT_EQ(obs_property_get_type(p), props[count].type);
            EXPECT_STREQ(obs_property_description(p), props[count].shown); // from the module's locale data
            EXPECT_NE(std::string(obs_property_long_description(p)).find(' '), std::string::npos);
            if (props[count].type == OBS_PROPERTY_FLOAT) {
                EXPECT_EQ(obs_property_float_min(p), 0.0);
                EXPECT_EQ(obs_property_float_max(p), 1.0);
            }
        }
        EXPECT_EQ(count, std::size(props));
        obs_properties_destroy(list);
        obs_data_t* s = obs_source_get_settings(filter);
        EXPECT_EQ(obs_data_get_bool(s, "speech"), kind == MICROPHONE);
        EXPECT_EQ(obs_data_get_double(s, "comp"), 1.0);
        obs_data_release(s);
        obs_source_filter_remove(source, filter);
        obs_source_release(filter);
        obs_source_release(source);
    }
}

TEST(ObsFilter, LogsItsLatencyAndTheSyncOffsetToSet) {
    for (const auto& [rate, line] : std::map<int, std::string>{{48000, "latency 480 frames (10.00 ms) at 48000 Hz"},
                                                               {44100, "latency 440 frames (9.98 ms) at 44100 Hz"}}) {
        const obs_audio_info ai = {static_cast<std::uint32_t>(rate), SPEAKERS_MONO};
        ASSERT_TRUE(obs_reset_audio(&ai));
        logged.clear();
        obs_source_t* filter = obs_source_create("zek_leveller", "zek", nullptr, nullptr);
        obs_source_release(filter);
        std::string all;
        for (const std::string& l : logged) all += l + "\n";
        EXPECT_NE(all.find(line), std::string::npos) << all;
        EXPECT_NE(all.find("Sync Offset to -10 ms"), std::string::npos) << all;
    }
}

// Steady settings: the tool's output, late by the latency, whatever the
// rate, the layout and the packets.
struct steady_case {
    const char* what;
    run_plan plan;
    std::vector<std::string> zek_options;
    bool floats = false; // off the 16-bit grid and past full scale: converted as the tool converts them
};

TEST(ObsFilter, LevelsAsZekDoes) {
    const steady_case cases[] = {
        {"mono 48 kHz, OBS's 1024-frame ticks", {48000, 1, PLAYER, "", {1024}, {}}, {}},
        {"mono 48 kHz, packets of any size", {48000, 1, PLAYER, "", {480, 1, 333, 4096, 7, 2000}, {}}, {}},
        {"a microphone is levelled speech-aware", {48000, 1, MICROPHONE, "", {441}, {}}, {"--speech"}},
        {"a microphone the user set otherwise", {44100, 1, MICROPHONE, R"({"speech":false})", {1024}, {}}, {}},
        {"stereo 44.1 kHz", {44100, 2, PLAYER, "", {441, 1024}, {}}, {}},
        {"stereo 48 kHz, linked, compression 0.5",
         {48000, 2, PLAYER, R"({"link":true,"comp":0.5})", {1024}, {}},
         {"--link", "--comp", "0.5"}},
        {"stereo 48 kHz microphone", {48000, 2, MICROPHONE, "", {480}, {}}, {"--speech"}},
        {"7.1 at 48 kHz, packets over the filter's piece size", {48000, 8, PLAYER, "", {1500, 3000}, {}}, {}},
        {"7.1 at 44.1 kHz, linked", {44100, 8, PLAYER, R"({"link":true})", {1024}, {}}, {"--link"}},
        {"floats, mono 48 kHz", {48000, 1, PLAYER, "", {1024}, {}}, {}, true},
        {"floats, stereo 44.1 kHz microphone", {44100, 2, MICROPHONE, "", {480}, {}}, {"--speech"}, true},
    };
    for (const steady_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path wav = recording(c.plan.rate, c.plan.channels, 4);
        if (c.floats) wav = float_recording(wav);
        const samples in = c.floats ? samples() : frames_of(wav);
        const std::vector<float> in_floats = c.floats ? float_frames_of(wav) : std::vector<float>();
        const auto nc = static_cast<std::size_t>(c.plan.channels), n = (c.floats ? in_floats.size() : in.size()) / nc;
        const samples expected = late(zek(wav, c.zek_options), nc, static_cast<std::size_t>(latency_at(c.plan.rate)), 0, n);
        const samples out = c.floats ? play(c.plan, in_floats) : play(c.plan, in);
        EXPECT_EQ(first_difference(out, expected, nc), n) << "of " << n << " frames";
    }
}

// A new compression weight reaches the levelling at the next hop, as a
// weight file changes it for the tool: one weight per hop after the
// lead-in, the old one for the hops complete before the change.
TEST(ObsFilter, CompressionChangesAtTheNextHop) {
    struct weight_case {
        const char* what;
        run_plan plan;
        std::vector<std::string> zek_options;
        double before, after;
    };
    const weight_case cases[] = {
        {"mono 48 kHz", {48000, 1, PLAYER, "", {1024}, {{120000, R"({"comp":0.4})"}}}, {}, 1.0, 0.4},
        {"stereo 44.1 kHz microphone",
         {44100, 2, MICROPHONE, R"({"comp":0.3})", {441}, {{150001, R"({"comp":1.0})"}}},
         {"--speech"},
         0.3,
         1.0},
    };
    for (const weight_case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path wav = recording(c.plan.rate, c.plan.channels, 4);
        const samples in = frames_of(wav);
        const auto nc = static_cast<std::size_t>(c.plan.channels), n = in.size() / nc;
        const auto hop = static_cast<std::size_t>(latency_at(c.plan.rate) / 2);
        const std::size_t at = c.plan.changes[0].at, old_hops = (at - 512) / hop;
        auto q15 = [](double comp) { return static_cast<std::int16_t>(static_cast<double>(static_cast<float>(comp)) * 32766.0); };
        samples weights(old_hops, q15(c.before));
        weights.push_back(q15(c.after));
        harness::write_file(work / "weights.raw", harness::to_bytes(weights));
        std::vector<std::string> options = c.zek_options;
        options.insert(options.end(), {"--mix", (work / "weights.raw").string()});
        const samples expected = late(zek(wav, options), nc, static_cast<std::size_t>(latency_at(c.plan.rate)), 0, n);
        const samples out = play(c.plan, in);
        EXPECT_EQ(first_difference(out, expected, nc), n) << "of " << n << " frames";
        // The weight did change: with it held, the output differs after the change.
        EXPECT_LT(first_difference(out, late(zek(wav, {"--comp", std::to_string(c.before)}), nc, hop * 2, 0, n), nc), n);
    }
}

// A new mode (speech-aware, linked) is a new levelling of the audio from the
// change on, and the output moves over to it once, with nothing lost or
// repeated and the same delay: exactly at a hop boundary where the two
// levellings' gains agree, or where they have not agreed within 5 s, in a
// 20 ms crossfade whose every sample lies between the two levellings'.
TEST(ObsFilter, ModeChangesMoveOverWithoutAStep) {
    struct mode_case {
        const char* what;
        run_plan plan;
        std::vector<std::string> before, after; // the tool's options
        bool crossfades;
    };
    const mode_case cases[] = {
        {"speech-aware on, mono 48 kHz",
         {48000, 1, PLAYER, "", {1024}, {{96000, R"({"speech":true})"}}},
         {},
         {"--speech"},
         false},
        {"speech-aware off on a microphone, stereo 44.1 kHz, between hops",
         {44100, 2, MICROPHONE, "", {441}, {{130001, R"({"speech":false})"}}},
         {"--speech"},
         {},
         false},
        // The second channel is another signal: its own gain and the linked
        // one never meet.
        {"linked on, stereo 48 kHz",
         {48000, 2, PLAYER, "", {480, 1, 2000}, {{100000, R"({"link":true})"}}},
         {},
         {"--link"},
         true},
        {"both at once, 7.1 at 48 kHz",
         {48000, 8, PLAYER, R"({"comp":0.7})", {1024}, {{150000, R"({"comp":0.7,"speech":true,"link":true})"}}},
         {"--comp", "0.7"},
         {"--comp", "0.7", "--speech", "--link"},
         true},
    };
    for (const mode_case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path wav = recording(c.plan.rate, c.plan.channels);
        const samples in = frames_of(wav);
        const auto nc = static_cast<std::size_t>(c.plan.channels), n = in.size() / nc;
        const auto delay = static_cast<std::size_t>(latency_at(c.plan.rate)), hop = delay / 2;
        // The new levelling starts on the hop grid of the first, at or after the change.
        const std::size_t start = (c.plan.changes[0].at + hop - 1) / hop * hop;
        const std::size_t wait = 5 * static_cast<std::size_t>(c.plan.rate);
        const samples old_out = late(zek(wav, c.before), nc, delay, 0, n);
        const samples new_out = late(zek(wav, c.after, start), nc, delay, start, n);
        const samples out = play(c.plan, in);
        const std::size_t old_until = first_difference(out, old_out, nc), new_from = agree_from(out, new_out, nc);
        ASSERT_LT(new_from, n) << "the output never moved over";
        ASSERT_LT(old_until, n);
        EXPECT_EQ(new_from > old_until, c.crossfades) << "old levelling until " << old_until << ", new from " << new_from;
        if (new_from <= old_until) {
            // Some frame in [new_from, old_until] is where it moved: on an
            // output hop boundary, once the new levelling's lead-in is out,
            // and before the wait is over.
            std::size_t at = std::max(new_from, start + 512 + 2 * hop);
            while (at <= old_until && (at - 512) % hop != 0) ++at;
            EXPECT_LE(at, std::min(old_until, start + wait + 2 * hop)) << "moved between " << new_from << " and " << old_until;
        } else {
            EXPECT_GE(old_until, start + wait);
            EXPECT_LE(new_from, start + wait + 6 * hop);
            EXPECT_LE(new_from - old_until, 4 * hop);
            std::size_t outside = 0;
            for (std::size_t k = old_until * nc; k < new_from * nc; ++k)
                outside += out[k] < std::min(old_out[k], new_out[k]) || out[k] > std::max(old_out[k], new_out[k]);
            EXPECT_EQ(outside, 0u) << "crossfade samples beyond both levellings";
        }
        std::printf("%s: moved over %.3f s after the change\n", c.what,
                    static_cast<double>(new_from - c.plan.changes[0].at) / c.plan.rate);
    }
}

// A mode changed and changed back before the output moved over leaves the
// running levelling alone.
TEST(ObsFilter, AModeChangedBackIsDropped) {
    run_plan plan = {48000, 2, PLAYER, "", {1024}, {{96000, R"({"speech":true})"}, {100000, R"({"speech":false})"}}};
    const fs::path wav = recording(plan.rate, plan.channels);
    const samples in = frames_of(wav);
    const std::size_t n = in.size() / 2;
    EXPECT_EQ(first_difference(play(plan, in), late(zek(wav, {}), 2, 480, 0, n), 2), n);
}

// Xvfb on a display number of its choosing, for libobs's hotkeys. An X
// server resets when its last client leaves (libobs opens and closes one
// connection to log the server's details before it opens its own) and then
// writes its number again, so it runs with -noreset.
pid_t start_x_server() {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 2); // it says which display numbers are taken on its way to a free one
        execlp("Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0",
               "8x8x24",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char number[16] = {};
    // The pipe stays open while the server runs: it may write to it again.
    const ssize_t got = read(fds[0], number, sizeof number - 1);
    if (got <= 0) return -1;
    std::string display = ":" + std::string(number);
    if (display.back() == '\n') display.pop_back();
    setenv("DISPLAY", display.c_str(), 1);
    return pid;
}

bool on_path(const char* tool) {
    return std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) == 0;
}

// The module as OBS finds it in a user's plugin folder: NAME/bin/64bit and NAME/data.
bool load_module() {
    obs_add_module_path(ZEK_OBS_PLUGINS "/%module%/bin/64bit", ZEK_OBS_PLUGINS "/%module%/data");
    std::string bin, data;
    auto found = [](void* param, const obs_module_info* info) {
        auto* paths = static_cast<std::pair<std::string, std::string>*>(param);
        if (fs::path(info->bin_path).filename() == "zek-leveller.so") *paths = {info->bin_path, info->data_path};
    };
    std::pair<std::string, std::string> paths;
    obs_find_modules(found, &paths);
    obs_module_t* module = nullptr;
    if (paths.first.empty() || obs_open_module(&module, paths.first.c_str(), paths.second.c_str()) != MODULE_SUCCESS) {
        std::fprintf(stderr, "libobs did not find zek-leveller.so in " ZEK_OBS_PLUGINS "\n");
        return false;
    }
    return obs_init_module(module);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool need_x = std::getenv("DISPLAY") == nullptr;
    for (const char* tool : {"sox", need_x ? "Xvfb" : "sox"}) {
        if (on_path(tool)) continue;
        std::printf("%s not installed: %s\n", tool, std::getenv("ZEK_REQUIRE_TOOLS") ? "it is required" : "skipped");
        return std::getenv("ZEK_REQUIRE_TOOLS") ? 1 : 77;
    }
    const pid_t x_server = need_x ? start_x_server() : 0;
    if (x_server < 0) {
        std::printf("Xvfb did not start\n");
        return 1;
    }
    work = harness::make_temp_dir();
    base_set_log_handler(keep_log, nullptr);
    int status = 1;
    if (!obs_startup("en-US", nullptr, nullptr)) {
        std::printf("obs_startup failed\n");
    } else {
        register_sources();
        if (load_module()) status = RUN_ALL_TESTS();
        obs_shutdown();
    }
    fs::remove_all(work);
    if (x_server > 0) {
        kill(x_server, SIGTERM);
        waitpid(x_server, nullptr, 0);
    }
    return status;
}
