// The plugins as a host loads them (dlopen, descriptor, ports), against the
// stream API on the same 16-bit samples: what real hosts do not vary on
// their own (one-frame blocks, a buffer shared in and out, controls changed
// mid-run, samples that are not numbers, rates out of range).
#include <agc/stream.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <ladspa.h>
#include <lv2/core/lv2.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace {

using samples = std::vector<std::int16_t>;

struct plugin {
    std::function<void*(double rate)> instantiate;
    std::function<void(void*, unsigned long, void*)> connect;
    std::function<void(void*)> activate, cleanup;
    std::function<void(void*, unsigned long)> run;
};

plugin load(bool lv2, int channels) {
    void* so = dlopen(lv2 ? ZEK_LV2_PLUGIN : ZEK_LADSPA_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(so, nullptr) << dlerror();
    const unsigned index = channels == 1 ? 0 : 1;
    if (lv2) {
        auto* d = reinterpret_cast<LV2_Descriptor_Function>(dlsym(so, "lv2_descriptor"))(index);
        return {[d](double r) { return d->instantiate(d, r, "", nullptr); },
                [d](void* h, unsigned long p, void* x) { d->connect_port(h, static_cast<uint32_t>(p), x); },
                d->activate, d->cleanup, [d](void* h, unsigned long n) { d->run(h, static_cast<uint32_t>(n)); }};
    }
    auto* d = reinterpret_cast<LADSPA_Descriptor_Function>(dlsym(so, "ladspa_descriptor"))(index);
    return {[d](double r) { return d->instantiate(d, static_cast<unsigned long>(r)); },
            [d](void* h, unsigned long p, void* x) { d->connect_port(h, p, static_cast<float*>(x)); }, d->activate,
            d->cleanup, d->run};
}

// The controls from a frame on: speech-aware, compression weight, link.
struct setting {
    std::size_t from;
    float speech = 0, comp = 1, link = 0;
};

// The plugin over interleaved 16-bit frames (or planar floats `in`), in
// blocks of the given sizes (the last repeating), with the settings changed
// at the start of a block; its output as 16-bit frames.
struct run_plan {
    std::vector<unsigned long> blocks;
    bool in_place = false;
    std::vector<setting> settings = {{0}};
    std::vector<float> in;
};

samples run_plugin(const plugin& p, std::size_t channels, const samples& frames, run_plan s) {
    const std::size_t n = frames.size() / channels;
    std::vector<float> in = s.in, out(frames.size());
    if (in.empty()) {
        in.resize(frames.size());
        for (std::size_t k = 0; k < frames.size(); ++k) in[k % channels * n + k / channels] = frames[k] / 32768.0f;
    }
    void* h = p.instantiate(48000);
    setting now = s.settings[0];
    float latency = -1;
    float* controls[] = {&now.speech, &now.comp, &now.link}; // the ports after the audio, then latency
    for (std::size_t k = 0; k < channels + 1; ++k) p.connect(h, 2 * channels + k, controls[k]);
    p.connect(h, 3 * channels + 1, &latency);
    p.activate(h);
    for (std::size_t at = 0, b = 0; at < n; at += s.blocks[b], b = std::min(b + 1, s.blocks.size() - 1)) {
        for (const setting& x : s.settings)
            if (x.from == at) now = x;
        for (std::size_t ch = 0; ch < channels; ++ch) {
            float* inp = in.data() + ch * n + at;
            p.connect(h, ch, inp);
            p.connect(h, channels + ch, s.in_place ? inp : out.data() + ch * n + at);
        }
        p.run(h, std::min(s.blocks[b], n - at));
    }
    p.cleanup(h);
    EXPECT_EQ(latency, now.speech > 0 ? 1920.0f : 480.0f) << "the latency of the last stream: one window, and live look-ahead";
    const std::vector<float>& result = s.in_place ? in : out;
    samples r(frames.size());
    for (std::size_t k = 0; k < r.size(); ++k) r[k] = static_cast<std::int16_t>(result[k % channels * n + k / channels] * 32768.0f);
    return r;
}

// The stream API's output for the same frames: a stream per setting, each
// one's output and then its flush at their own places, summed (a flush falls
// on the next stream's opening silence).
samples run_stream(int channels, const samples& frames, std::vector<setting> settings = {{0}}) {
    const auto nc = static_cast<std::size_t>(channels), n = frames.size() / nc;
    std::vector<int> sum(frames.size());
    samples out(frames.size() + nc * 23520); // room for the longest flush
    for (std::size_t i = 0; i < settings.size(); ++i) {
        const setting& x = settings[i];
        const std::size_t end = i + 1 < settings.size() ? settings[i + 1].from : n;
        agc_stream_options o;
        agc_stream_options_init(&o);
        o.speech = x.speech > 0, o.link = channels > 1 && x.link > 0, o.comp = static_cast<int>(double(x.comp) * 32766.0);
        agc_stream* st = agc_stream_create_with(48000, channels, &o, nullptr);
        agc_stream_process(st, frames.data() + x.from * nc, out.data(), static_cast<int>(end - x.from));
        const auto flushed = static_cast<std::size_t>(agc_stream_flush(st, out.data() + (end - x.from) * nc));
        agc_stream_destroy(st);
        for (std::size_t k = 0; k < (end - x.from + flushed) * nc && x.from * nc + k < sum.size(); ++k)
            sum[x.from * nc + k] += out[k];
    }
    return samples(sum.begin(), sum.end());
}

samples recording(std::size_t channels) {
    samples s(48000 * 2 * channels); // 2 s, each second rising from a whisper to full scale
    for (std::size_t k = 0; k < s.size(); ++k) {
        const double t = static_cast<double>(k / channels) / 48000, level = std::pow(10.0, -2.5 + 2.5 * std::fmod(t, 1.0));
        s[k] = static_cast<std::int16_t>(32767 * level * std::sin(2 * std::numbers::pi * (k % channels ? 300 : 170) * t));
    }
    return s;
}

struct kind {
    int lv2, channels;
};
std::string name_of(const kind& k) { return std::string(k.lv2 ? "Lv2" : "Ladspa") + (k.channels == 1 ? "Mono" : "Stereo"); }
// How GoogleTest and ctest show each case's parameter.
void PrintTo(const kind& k, std::ostream* os) { *os << name_of(k); }
class Plugin : public testing::TestWithParam<kind> {};

TEST_P(Plugin, LevelsAsTheStreamAndRefusesRatesOutOfRange) {
    const auto [lv2, ch] = GetParam();
    const plugin p = load(lv2, ch);
    const auto nc = static_cast<std::size_t>(ch);
    const samples in = recording(nc);
    // Every 997th sample not a number, infinite or past full scale: silence, or clipped.
    samples clipped = in;
    std::vector<float> odd(in.size());
    const float odd_values[] = {NAN, INFINITY, -INFINITY, 3e38f, -2.0f};
    for (std::size_t k = 0; k < in.size(); ++k) {
        const float v = k % 997 ? in[k] / 32768.0f : odd_values[k / 997 % 5];
        odd[k % nc * (in.size() / nc) + k / nc] = v;
        if (k % 997 == 0) clipped[k] = static_cast<std::int16_t>(std::isfinite(v) ? (v > 0 ? 32767 : -32768) : 0);
    }
    const setting other{0, 1, 0.3f, 1};
    const std::vector<setting> changes = {{0}, {3000, 1, 0.3f, 1}, {3100, 0, 0.5f, 1}, {60000, 0, 0.75f, 0}};
    const struct {
        const char* what;
        run_plan plan;
        samples expected;
    } cases[] = {
        {"blocks of 1 frame", {{1}, false, {{0}}, {}}, run_stream(ch, in)},
        {"host block sizes, in place", {{128, 1024, 2048, 4608, 8192, 3}, true, {{0}}, {}}, run_stream(ch, in)},
        {"controls set before the start", {{2049}, false, {other}, {}}, run_stream(ch, in, {other})},
        {"controls changed, twice within the latency", {{100}, false, changes, {}}, run_stream(ch, in, changes)},
        {"samples out of range", {{512}, false, {{0}}, odd}, run_stream(ch, clipped)},
    };
    for (const auto& c : cases) EXPECT_EQ(run_plugin(p, nc, in, c.plan), c.expected) << c.what;

    for (double rate : {0.0, 7999.0, 96001.0, lv2 ? 44100.5 : 1e9}) EXPECT_EQ(p.instantiate(rate), nullptr) << rate;
    for (double rate : {8000.0, 96000.0}) {
        void* h = p.instantiate(rate);
        EXPECT_NE(h, nullptr) << rate;
        p.cleanup(h);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Plugin, testing::Values(kind{0, 1}, kind{0, 2}, kind{1, 1}, kind{1, 2}),
                         [](const auto& i) { return name_of(i.param); });

} // namespace
