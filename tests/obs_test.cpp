// The OBS filter inside the real libobs: the module found and loaded by
// libobs from the build tree, on a source of the test's own that plays
// recordings sox made, its output taken where OBS hands a source's audio on
// after its filters, and compared with what the zek tool makes of the same
// recordings. libobs needs an X server (for its hotkeys) and nothing else
// here: without a DISPLAY the test starts Xvfb.
#include "tool_harness.h"

#include <obs.h>
#include <util/base.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using samples = std::vector<std::int16_t>;

fs::path work; // the recordings and the tool's outputs
// libobs logs from its own threads too (a released source is destroyed on
// the audio thread): the log is appended and read under a lock.
std::mutex log_lock;
std::string logged;
std::string log_text() {
    const std::lock_guard<std::mutex> hold(log_lock);
    return logged;
}
// Sources that OBS feeds only what the test pushes: a player, and one named
// as OBS names its audio input captures (microphones).
const char *PLAYER = "zek_test_player", *MICROPHONE = "zek_test_input_capture";

// The engine's hop, half its 10 ms window (a multiple of 4 frames), and the
// filter's latency: the live speech-aware mode's, whether it is on or not.
int hop_at(int rate) { return rate == 48000 ? 240 : 220; }
int latency_at(int rate) { return rate == 48000 ? 1920 : 1760; }

void sox(const std::vector<std::string>& args) {
    const harness::result r = harness::run("sox", args);
    EXPECT_EQ(r.status, 0) << r.err;
}

// docs/example.raw (sentences at very different levels, with pauses, 10 s)
// at `rate`; further channels hold it at lower levels, every other one
// backwards, so that the channels are levelled differently.
fs::path recording(int rate, int channels, int seconds) {
    const fs::path wav = work / ("in" + std::to_string(rate) + "x" + std::to_string(channels) + "-" + std::to_string(seconds) + ".wav");
    if (fs::exists(wav)) return wav;
    const fs::path mono = work / ("mono" + std::to_string(rate) + ".wav"), rev = work / "reverse.wav";
    sox({"-D", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "1", ZEK_SOURCE_DIR "/docs/example.raw", "-r",
         std::to_string(rate), mono.string(), "trim", "0", std::to_string(seconds)});
    if (channels == 1) return fs::copy_file(mono, wav), wav;
    sox({mono.string(), rev.string(), "reverse"});
    std::vector<std::string> merge = {"-M"};
    for (int ch = 0; ch < channels; ++ch) merge.insert(merge.end(), {"-v", std::to_string(1.0 / (1 + ch)), (ch % 2 ? rev : mono).string()});
    merge.push_back(wav.string());
    sox(merge);
    return wav;
}

// What the zek tool makes of `wav` from frame `from` on, as the filter gives
// it: `delay` frames late, in a recording of `total` frames.
samples zek(const fs::path& wav, std::vector<std::string> options, std::size_t nc, std::size_t delay, std::size_t from,
            std::size_t total) {
    const fs::path part = work / "part.wav", out = work / "zek.raw";
    sox({wav.string(), part.string(), "trim", std::to_string(from) + "s"});
    // The filter's speech-aware mode looks 30 ms ahead, as the tool's --live.
    if (std::find(options.begin(), options.end(), "--speech") != options.end()) options.push_back("--live");
    options.insert(options.end(), {part.string(), out.string()});
    const harness::result r = harness::zek(options);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const samples levelled = harness::to_samples(harness::read_file(out));
    samples late(total * nc);
    std::copy_n(levelled.begin(), std::min(levelled.size(), late.size() - (from + delay) * nc), late.begin() + static_cast<long>((from + delay) * nc));
    return late;
}

// A weight file for zek --mix: `before` for the hops complete at frame `at`, then `after`.
std::string weights(int rate, std::size_t at, float before, float after) {
    auto q15 = [](float comp) { return static_cast<std::int16_t>(static_cast<double>(comp) * 32766.0); };
    samples w((at - 512) / static_cast<std::size_t>(hop_at(rate)), q15(before));
    w.push_back(q15(after));
    const fs::path file = work / ("weights" + std::to_string(at) + ".raw");
    harness::write_file(file, harness::to_bytes(w));
    return file.string();
}

struct change {
    std::size_t at; // frame
    const char* json;
};

// Plays `in` through the filter, in packets of `blocks` (the last repeating)
// with `changes` made on the way, and gives back what the source hands on.
// `nudge` moves every input sample that far between 16-bit steps, which the
// conversion must round away. Every sample out must be a 16-bit one.
samples play(int rate, int nc, const char* kind, const char* first, std::vector<std::uint32_t> blocks, std::vector<change> changes,
             const samples& in, float nudge) {
    const std::size_t n = in.size() / static_cast<std::size_t>(nc);
    const obs_audio_info ai = {static_cast<std::uint32_t>(rate), nc == 8 ? SPEAKERS_7POINT1 : static_cast<speaker_layout>(nc)};
    EXPECT_TRUE(obs_reset_audio(&ai));
    obs_source_t* source = obs_source_create(kind, "recording", nullptr, nullptr);
    obs_data_t* settings = obs_data_create_from_json(first);
    obs_source_t* filter = obs_source_create("zek_leveller", "zek", settings, nullptr);
    obs_data_release(settings);
    obs_source_filter_add(source, filter);
    std::vector<std::vector<float>> planes(static_cast<std::size_t>(nc), std::vector<float>(n)), out(planes.size());
    for (std::size_t k = 0; k < in.size(); ++k) planes[k % planes.size()][k / planes.size()] = (in[k] + nudge) / 32768.0f;
    auto capture = [](void* param, obs_source_t*, const audio_data* audio, bool) {
        for (auto& plane : *static_cast<decltype(out)*>(param)) {
            const auto* x = reinterpret_cast<const float*>(audio->data[&plane - static_cast<decltype(out)*>(param)->data()]);
            plane.insert(plane.end(), x, x + audio->frames);
        }
    };
    obs_source_add_audio_capture_callback(source, capture, &out);
    for (std::size_t at = 0, b = 0, next = 0; at < n; b = std::min(b + 1, blocks.size() - 1)) {
        for (; next < changes.size() && changes[next].at == at; ++next) {
            settings = obs_data_create_from_json(changes[next].json);
            obs_source_update(filter, settings);
            obs_data_release(settings);
        }
        const std::size_t block = std::min({static_cast<std::size_t>(blocks[b]), n - at, next < changes.size() ? changes[next].at - at : n});
        obs_source_audio audio = {{}, static_cast<std::uint32_t>(block), ai.speakers, AUDIO_FORMAT_FLOAT_PLANAR, ai.samples_per_sec,
                                  at * 1000000000ull / ai.samples_per_sec};
        for (std::size_t ch = 0; ch < planes.size(); ++ch) audio.data[ch] = reinterpret_cast<const std::uint8_t*>(planes[ch].data() + at);
        obs_source_output_audio(source, &audio);
        at += block;
    }
    obs_source_remove_audio_capture_callback(source, capture, &out);
    obs_source_filter_remove(source, filter);
    obs_source_release(filter);
    obs_source_release(source);
    samples r(out[0].size() * planes.size());
    std::size_t off_grid = 0;
    for (std::size_t k = 0; k < r.size(); ++k) {
        const float x = out[k % planes.size()][k / planes.size()] * 32768.0f;
        off_grid += x != static_cast<float>(r[k] = static_cast<std::int16_t>(x));
    }
    EXPECT_EQ(off_grid, 0u) << "samples no 16-bit value gives";
    EXPECT_EQ(r.size(), in.size());
    return r;
}

// The first frame at which a and b differ (their length when they do not),
// and the first from which they agree to the end.
std::size_t first_difference(const samples& a, const samples& b, std::size_t nc) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin()) / nc;
}
std::size_t agree_from(const samples& a, const samples& b, std::size_t nc) {
    return (static_cast<std::size_t>(a.rend() - std::mismatch(a.rbegin(), a.rend(), b.rbegin()).first) + nc - 1) / nc;
}

TEST(ObsFilter, DescribesItself) {
    EXPECT_STREQ(obs_source_get_display_name("zek_leveller"), "zek leveller");
    struct property {
        const char *name, *shown; // shown: from the module's locale data
        obs_property_type type;
        double player_default, microphone_default;
    };
    const property expected[] = {{"speech", "Speech-aware", OBS_PROPERTY_BOOL, 0, 1},
                                 {"comp", "Compression", OBS_PROPERTY_FLOAT, 1, 1},
                                 {"link", "Linked channels", OBS_PROPERTY_BOOL, 0, 0}};
    for (const auto& [rate, line] : {std::pair{48000, "latency 1920 frames (40.00 ms) at 48000 Hz, 1 channel:"},
                                     std::pair{44100, "latency 1760 frames (39.91 ms) at 44100 Hz, 2 channels:"}}) {
        const obs_audio_info ai = {static_cast<std::uint32_t>(rate), rate == 48000 ? SPEAKERS_MONO : SPEAKERS_STEREO};
        ASSERT_TRUE(obs_reset_audio(&ai));
        {
            const std::lock_guard<std::mutex> hold(log_lock);
            logged.clear();
        }
        for (const char* kind : {PLAYER, MICROPHONE}) {
            obs_source_t* source = obs_source_create(kind, "source", nullptr, nullptr);
            obs_source_t* filter = obs_source_create("zek_leveller", "zek", nullptr, nullptr);
            obs_source_filter_add(source, filter);
            obs_properties_t* list = obs_source_properties(filter);
            obs_data_t* values = obs_source_get_settings(filter);
            std::size_t count = 0;
            for (obs_property_t* p = obs_properties_first(list); p != nullptr && count < 3; obs_property_next(&p), ++count) {
                const property& e = expected[count];
                EXPECT_STREQ(obs_property_name(p), e.name);
                EXPECT_STREQ(obs_property_description(p), e.shown);
                EXPECT_GT(std::strlen(obs_property_long_description(p)), 20u);
                ASSERT_EQ(obs_property_get_type(p), e.type);
                const double value = e.type == OBS_PROPERTY_BOOL ? obs_data_get_bool(values, e.name) : obs_data_get_double(values, e.name);
                EXPECT_EQ(value, kind == PLAYER ? e.player_default : e.microphone_default) << e.name << " on " << kind;
                EXPECT_TRUE(e.type != OBS_PROPERTY_FLOAT || (obs_property_float_min(p) == 0 && obs_property_float_max(p) == 1));
            }
            EXPECT_EQ(count, 3u);
            obs_data_release(values);
            obs_properties_destroy(list);
            obs_source_filter_remove(source, filter);
            obs_source_release(filter);
            obs_source_release(source);
        }
        const std::string log = log_text();
        EXPECT_NE(log.find(line), std::string::npos) << log;
        EXPECT_NE(log.find("set the source's Sync Offset to -40 ms"), std::string::npos) << log;
    }
}

// The tool's output, 10 ms late, bit for bit: with settings held, with a new
// compression from the next hop on (as a weight file gives it), and with a
// new mode (speech-aware, linked), which is the tool's levelling of the
// audio from the change on, moved over to once: exactly at a hop boundary
// where the two levellings' gains agree, or, where they have not within 5 s,
// in a 20 ms crossfade whose every sample lies between the two.
TEST(ObsFilter, LevelsAsZekDoes) {
    using options = std::vector<std::string>;
    struct level_case {
        const char* what;
        int rate, channels;
        const char *kind, *first;
        std::vector<std::uint32_t> blocks;
        std::vector<change> changes;
        options before;               // the tool's options
        std::optional<options> after; // a new mode's, from the (first) change on
        bool crossfades = false;
        float nudge = 0;
        int seconds = 4;
    };
    const level_case cases[] = {
        {"mono 48 kHz, OBS's ticks", 48000, 1, PLAYER, "{}", {1024}, {}, {}, {}},
        {"between 16-bit steps, packets of any size", 48000, 1, PLAYER, "{}", {480, 1, 333, 4096, 7}, {}, {}, {}, false, 0.49f},
        {"a microphone is speech-aware", 44100, 1, MICROPHONE, "{}", {441}, {}, {"--speech"}, {}, false, -0.49f},
        {"unless set otherwise", 44100, 2, MICROPHONE, R"({"speech":false})", {1024}, {}, {}, {}},
        {"stereo 48 kHz, linked, compression 0.5", 48000, 2, PLAYER, R"({"link":true,"comp":0.5})", {1024}, {}, {"--link", "--comp", "0.5"}, {}},
        {"7.1 at 44.1 kHz, packets over the filter's pieces", 44100, 8, PLAYER, "{}", {1500, 3000}, {}, {}, {}},
        {"compression 1 to 0.4", 48000, 1, PLAYER, "{}", {1024}, {{120000, R"({"comp":0.4})"}}, {"--mix", weights(48000, 120000, 1, 0.4f)}, {}},
        {"compression 0.3 to 1, microphone", 44100, 2, MICROPHONE, R"({"comp":0.3})", {441}, {{150001, R"({"comp":1})"}},
         {"--speech", "--mix", weights(44100, 150001, 0.3f, 1)}, {}},
        {"speech-aware on", 48000, 1, PLAYER, "{}", {1024}, {{96000, R"({"speech":true})"}}, {}, options{"--speech"}, false, 0, 10},
        {"speech-aware off, microphone, between hops", 44100, 2, MICROPHONE, "{}", {441}, {{130001, R"({"speech":false})"}},
         {"--speech"}, options{}, false, 0, 10},
        // The second channel is another signal: its own gain and the linked one seldom meet.
        {"linked on", 48000, 2, PLAYER, "{}", {480, 1, 2000}, {{100000, R"({"link":true})"}}, {}, options{"--link"}, true, 0, 10},
        {"both, 7.1 at 48 kHz", 48000, 8, PLAYER, R"({"comp":0.7})", {1024}, {{150000, R"({"comp":0.7,"speech":true,"link":true})"}},
         {"--comp", "0.7"}, options{"--comp", "0.7", "--speech", "--link"}, true, 0, 10},
        {"a mode changed back before it is heard", 48000, 2, PLAYER, "{}", {1024},
         {{96000, R"({"speech":true})"}, {100000, R"({"speech":false})"}}, {}, {}, false, 0, 10},
    };
    for (const level_case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path wav = recording(c.rate, c.channels, c.seconds);
        const std::string bytes = harness::read_file(wav);
        const samples in = harness::to_samples(bytes.substr(bytes.find("data") + 8));
        const auto nc = static_cast<std::size_t>(c.channels), n = in.size() / nc, hop = static_cast<std::size_t>(hop_at(c.rate));
        const auto delay = static_cast<std::size_t>(latency_at(c.rate));
        const samples out = play(c.rate, c.channels, c.kind, c.first, c.blocks, c.changes, in, c.nudge);
        const samples old_out = zek(wav, c.before, nc, delay, 0, n);
        const std::size_t old_until = first_difference(out, old_out, nc);
        if (!c.after) {
            EXPECT_EQ(old_until, n) << "of " << n << " frames";
            continue;
        }
        // The new levelling starts on the first one's hop grid, at or after the change.
        const std::size_t start = (c.changes[0].at + hop - 1) / hop * hop, wait = 5 * static_cast<std::size_t>(c.rate);
        const samples new_out = zek(wav, *c.after, nc, delay, start, n);
        const std::size_t new_from = agree_from(out, new_out, nc);
        ASSERT_LT(new_from, n) << "the output never moved over";
        ASSERT_EQ(new_from > old_until, c.crossfades) << "the old levelling until " << old_until << ", the new from " << new_from;
        if (!c.crossfades) {
            // Somewhere in [new_from, old_until]: an output hop boundary after the new lead-in, within the wait.
            std::size_t at = std::max(new_from, start + 512 + delay);
            while (at <= old_until && (at - 512) % hop != 0) ++at;
            EXPECT_LE(at, std::min(old_until, start + wait + delay)) << "moved between " << new_from << " and " << old_until;
            continue;
        }
        EXPECT_GE(old_until, start + wait);
        EXPECT_LE(new_from, std::min(start + wait + 6 * hop, old_until + 4 * hop));
        for (std::size_t k = old_until * nc; k < new_from * nc; ++k)
            ASSERT_TRUE(out[k] >= std::min(old_out[k], new_out[k]) && out[k] <= std::max(old_out[k], new_out[k])) << "frame " << k / nc;
    }
}

// Xvfb on a display number of its choosing. It resets when its last client
// leaves (libobs opens and closes a connection before its own) and then
// writes its number again: -noreset, and the pipe stays open.
pid_t start_x_server() {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // gone with the test, even one that crashes
        dup2(open("/dev/null", O_WRONLY), 2); // it names each taken display on its way to a free one
        execlp("Xvfb", "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char number[16] = {};
    if (read(fds[0], number, sizeof number - 1) <= 0) return -1;
    setenv("DISPLAY", (":" + std::to_string(std::atoi(number))).c_str(), 1);
    return pid;
}

// The module as OBS finds it in a user's plugin folder, NAME/bin/64bit and NAME/data.
bool load_module() {
    obs_add_module_path(ZEK_OBS_PLUGINS "/%module%/bin/64bit", ZEK_OBS_PLUGINS "/%module%/data");
    std::pair<std::string, std::string> paths;
    obs_find_modules([](void* p, const obs_module_info* m) {
        if (fs::path(m->bin_path).filename() == "zek-leveller.so") *static_cast<decltype(paths)*>(p) = {m->bin_path, m->data_path};
    }, &paths);
    obs_module_t* module = nullptr;
    return !paths.first.empty() && obs_open_module(&module, paths.first.c_str(), paths.second.c_str()) == MODULE_SUCCESS &&
           obs_init_module(module);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const bool need_x = std::getenv("DISPLAY") == nullptr;
    for (const char* tool : {"sox", need_x ? "Xvfb" : "sox"}) {
        if (std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) == 0) continue;
        std::printf("%s not installed: %s\n", tool, std::getenv("ZEK_REQUIRE_TOOLS") ? "it is required" : "skipped");
        return std::getenv("ZEK_REQUIRE_TOOLS") ? 1 : 77;
    }
    const pid_t x_server = need_x ? start_x_server() : 0;
    work = harness::make_temp_dir();
    base_set_log_handler([](int, const char* format, va_list args, void*) {
        char line[1024];
        std::vsnprintf(line, sizeof line, format, args);
        const std::lock_guard<std::mutex> hold(log_lock);
        logged += std::string(line) + "\n";
    }, nullptr);
    int status = 1;
    if (x_server < 0 || !obs_startup("en-US", nullptr, nullptr)) {
        std::printf("libobs did not start (Xvfb: %s)\n", x_server < 0 ? "did not start" : need_x ? "started" : "not needed");
    } else {
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
        if (load_module()) status = RUN_ALL_TESTS();
        else std::printf("libobs did not load zek-leveller.so from " ZEK_OBS_PLUGINS "\n");
        obs_shutdown();
    }
    fs::remove_all(work);
    if (x_server > 0) {
        kill(x_server, SIGTERM);
        waitpid(x_server, nullptr, 0);
    }
    return status;
}
