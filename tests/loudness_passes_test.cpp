// A target's passes over a levelled recording held in memory give the bytes
// and figures of the passes that level it again each time: the limiter in
// two parts on two threads is one limiter, and what a run with a target
// writes is the same held, levelled again, or held until it outgrows its room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/true_peak.h"
#include "tool_harness.h"
#include "zek/held_passes.h"
#include "zek/held_recording.h"
#include "zek/tool.h"

namespace fs = std::filesystem;

namespace {

using samples = std::vector<std::int16_t>;

// Voiced syllables, as speech has them for a leveller and a limiter: 180 ms
// of a harmonic tone (its pitch and level new in each, its crests 10 dB
// and more over its mean) under a smooth rise and fall, 70 ms between
// them, and a pause of `pause_ms` every `every_ms` (none where 0), so that
// the limiter acts on the syllables and rests in the pauses.
samples speech_like(int rate, int channels, int seconds, int every_ms, int pause_ms, std::uint32_t seed) {
    std::uint32_t state = seed;
    const auto next = [&] {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        return state;
    };
    const auto nc = static_cast<std::size_t>(channels);
    const auto syllable = static_cast<std::size_t>(rate / 4), voiced = static_cast<std::size_t>(rate * 18 / 100);
    const std::size_t frames = static_cast<std::size_t>(rate) * static_cast<std::size_t>(seconds);
    samples s(frames * nc);
    // One period of the tone, eight harmonics falling as 1/k, read at the pitch.
    constexpr std::size_t PERIOD = 4096;
    std::vector<double> tone(PERIOD);
    for (std::size_t j = 0; j < PERIOD; ++j) {
        for (int k = 1; k <= 8; ++k) tone[j] += std::sin(2 * std::numbers::pi * k * static_cast<double>(j) / PERIOD) / k;
    }
    double f0 = 120, level = 0.3, phase = 0; // phase in periods
    for (std::size_t i = 0; i < frames; ++i) {
        if (i % syllable == 0) f0 = 90 + next() % 150, level = 0.1 + (next() % 1000) / 2500.0;
        const std::size_t in = i % syllable, ms = i * 1000 / static_cast<std::size_t>(rate);
        const bool paused = every_ms > 0 && ms % static_cast<std::size_t>(every_ms) >= static_cast<std::size_t>(every_ms - pause_ms);
        phase += f0 / rate;
        phase -= std::floor(phase);
        const double v = tone[static_cast<std::size_t>(phase * PERIOD) % PERIOD];
        const double rise = in < voiced ? std::sin(std::numbers::pi * static_cast<double>(in) / static_cast<double>(voiced)) : 0;
        for (std::size_t c = 0; c < nc; ++c) {
            const double x = paused ? 0 : 32767 * level * rise * rise * v * (c == 0 ? 1.0 : 0.7) / 1.8;
            s[i * nc + c] = static_cast<std::int16_t>(std::clamp(std::lround(x), -32768L, 32767L));
        }
    }
    return s;
}

// One limiter over the whole, as the run's: after `lead` frames of silence,
// its latency dropped and the frames after the end given out.
samples limited_whole(const samples& x, int rate, int channels, std::int32_t gain, std::int32_t ceiling, std::int64_t lead) {
    std::vector<unsigned char> memory(agc::limiter_size(channels) + 64);
    auto* l = reinterpret_cast<agc::limiter*>((reinterpret_cast<std::uintptr_t>(memory.data()) + 63) & ~std::uintptr_t{63});
    agc::limiter_init(*l, rate, channels, ceiling);
    agc::limiter_set_gain(*l, gain, 0);
    agc::limiter_skip_silence(*l, lead);
    const auto nc = static_cast<std::size_t>(channels), latency = static_cast<std::size_t>(l->latency);
    samples in = x;
    in.resize(x.size() + latency * nc, 0);
    samples out(in.size());
    agc::limiter_process(*l, in.data(), out.data(), static_cast<int>(in.size() / nc));
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(latency * nc));
    return out;
}

struct figures {
    std::int32_t integrated = 0, peak = 0;
    bool operator==(const figures&) const = default;
};
figures figures_of(agc_loudness* m) {
    figures f;
    agc_loudness_integrated(m, &f.integrated);
    agc_loudness_sample_peak(m, 0, &f.peak);
    return f;
}

// In two parts where a pause lets the limiter rest near the middle, in one
// where none does; into the recording's own memory and into other memory;
// and the limited recording's meter, measured by each part, as one meter's.
TEST(HeldPasses, LimitedInPartsAsInOne) {
    constexpr int MODES = AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_SAMPLE_PEAK;
    struct {
        const char* what;
        int rate, channels, every_ms, pause_ms;
        std::int32_t gain, ceiling;
        std::int64_t lead;
    } cases[] = {
        {"48 kHz mono, pauses", 48000, 1, 4000, 1500, 3000, -1000, 480},
        {"44.1 kHz stereo, pauses", 44100, 2, 5000, 1200, 1500, -2000, 0},
        {"16 kHz mono, pauses", 16000, 1, 3000, 1000, 2000, -1000, 160},
        {"48 kHz mono, no pause", 48000, 1, 0, 0, 3000, -1000, 480},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const samples x = speech_like(c.rate, c.channels, 30, c.every_ms, c.pause_ms, 5u);
        const samples want = limited_whole(x, c.rate, c.channels, c.gain, c.ceiling, c.lead);
        agc_loudness* whole = agc_loudness_create(c.rate, c.channels, MODES, nullptr);
        agc_loudness_add_frames(whole, want.data(), want.size() / static_cast<std::size_t>(c.channels));
        const zek::held_view h{x.data(), x.size() / static_cast<std::size_t>(c.channels), c.channels, c.rate, c.lead};
        samples apart(x.size());
        agc_loudness* meter = nullptr;
        ASSERT_TRUE(zek::limit_held(h, c.gain, c.ceiling, apart.data(), MODES, &meter));
        EXPECT_EQ(apart, want);
        ASSERT_NE(meter, nullptr);
        EXPECT_EQ(figures_of(meter), figures_of(whole));
        agc_loudness_destroy(meter);
        samples in_place = x;
        const zek::held_view own{in_place.data(), h.frames, c.channels, c.rate, c.lead};
        ASSERT_TRUE(zek::limit_held(own, c.gain, c.ceiling, in_place.data()));
        EXPECT_EQ(in_place, want) << "in the recording's own memory";
        agc_loudness* parts = zek::measure_held(want.data(), h.frames, c.channels, c.rate, MODES);
        EXPECT_EQ(figures_of(parts), figures_of(whole));
        agc_loudness_destroy(parts);
        agc_loudness_destroy(whole);
    }
}

// The look for points over a floor in a held recording: each channel of
// its own, in the two halves it is looked at at once (the second after the
// frames before it) and up to the points the last samples make with the
// silence after them. A recording whose only loud point a pair of samples
// makes, at the start, across the middle, across the 1024 samples the scan
// takes at once (after which it passes by quiet ones whole) or at the end,
// is over a floor one under that point and under the point itself.
TEST(HeldPasses, PointsOverAFloorFoundAnywhere) {
    struct {
        const char* where;
        int channels;
        std::size_t frames, at; // the pair's first frame
        int channel;
    } cases[] = {
        {"mono, at the start", 1, 200000, 0, 0},
        {"mono, across a step of the look", 1, 200000, 1023, 0},
        {"stereo, the second channel, across the middle", 2, 200001, 99999, 1},
        {"three channels, the last two frames", 3, 150000, 149998, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const auto nc = static_cast<std::size_t>(c.channels);
        samples x(c.frames * nc);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<std::int16_t>((i * 7919 % 201) - 100);
        x[c.at * nc + static_cast<std::size_t>(c.channel)] = x[(c.at + 1) * nc + static_cast<std::size_t>(c.channel)] = 26000;
        // The largest point, every block of every channel interpolated (none
        // passed by), with silence before and after.
        std::int32_t point = 0;
        for (std::size_t ch = 0; ch < nc; ++ch) {
            samples w(agc::TRUE_PEAK_TAPS - 1, 0);
            for (std::size_t f = 0; f < c.frames; ++f) w.push_back(x[f * nc + ch]);
            w.resize(w.size() + 2 * agc::TRUE_PEAK_TAPS, 0);
            for (std::size_t i = 0; i + agc::TRUE_PEAK_BLOCK + agc::TRUE_PEAK_TAPS <= w.size(); i += agc::TRUE_PEAK_BLOCK) {
                std::int32_t m[agc::TRUE_PEAK_BLOCK];
                agc::true_peak_block(w.data() + i, m, false);
                point = std::max(point, *std::max_element(m, m + agc::TRUE_PEAK_BLOCK));
            }
        }
        zek::held_recording h;
        ASSERT_TRUE(h.memory.map(x.size()));
        std::copy(x.begin(), x.end(), h.memory.samples);
        h.size = x.size();
        h.channels = c.channels;
        EXPECT_TRUE(zek::held_points_under(h, point));
        EXPECT_FALSE(zek::held_points_under(h, point - 1));
    }
}

// A plain 16-bit PCM WAV file: the 44-byte header, then the samples.
void write_wav(const fs::path& path, const samples& x, int rate, int channels) {
    const auto le = [](std::string& b, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    const auto data = static_cast<std::uint32_t>(2 * x.size()), nc = static_cast<std::uint32_t>(channels);
    std::string b = "RIFF";
    le(b, 36 + data, 4);
    b += "WAVEfmt ";
    le(b, 16, 4), le(b, 1, 2), le(b, nc, 2), le(b, static_cast<std::uint32_t>(rate), 4);
    le(b, static_cast<std::uint32_t>(rate) * 2 * nc, 4), le(b, 2 * nc, 2), le(b, 16, 2);
    b += "data";
    le(b, data, 4);
    for (const std::int16_t v : x) le(b, static_cast<std::uint16_t>(v), 2);
    std::ofstream(path, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
}

std::string bytes_of(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The samples of a raw file, or of a WAV file's data chunk.
samples samples_of(const std::string& bytes, bool raw) {
    std::size_t at = 0, n = bytes.size();
    if (!raw) {
        const std::size_t data = bytes.find("data", 12);
        if (data == std::string::npos) return {};
        at = data + 8;
        n = bytes.size() - at;
    }
    samples s(n / 2);
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at + 2 * i]) |
                                         static_cast<std::uint8_t>(bytes[at + 2 * i + 1]) << 8);
    }
    return s;
}

class HeldTarget : public harness::temp_dir_test {};

// Targets where the limiter acts and is measured (1.5 LU under the
// levelled loudness, the ceiling 2 dB under its peaks), where it rests (the
// gain alone), with the channels linked, through raw samples: each written alike held whole,
// levelled again for every pass, and held until the recording outgrows the
// room half-way (then measured once more as it is levelled).
TEST_F(HeldTarget, SameBytesHeldOrLevelledAgain) {
    struct {
        const char* what;
        int rate, channels;
        bool raw, link, limited;
    } cases[] = {
        {"48 kHz WAV, the limiter measured", 48000, 1, false, false, true},
        {"48 kHz WAV, the gain alone", 48000, 1, false, false, false},
        {"44.1 kHz stereo WAV, linked", 44100, 2, false, true, true},
        {"raw samples", 48000, 1, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const samples x = speech_like(c.rate, c.channels, 60, 4000, 1200, 9u);
        const fs::path in = dir / (c.raw ? "in.raw" : "in.wav"), out = dir / (c.raw ? "out.raw" : "out.wav");
        if (c.raw) {
            std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(2 * x.size()));
        } else {
            write_wav(in, x, c.rate, c.channels);
        }
        // The levelled recording's loudness and peak, for the target.
        zek::run_options plain;
        plain.link = c.link;
        ASSERT_EQ(zek::process_files(in.c_str(), out.c_str(), plain).status, zek::EXIT_OK);
        const samples levelled = samples_of(bytes_of(out), c.raw);
        agc_loudness* m = agc_loudness_create(c.rate, c.channels, AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_SAMPLE_PEAK, nullptr);
        agc_loudness_add_frames(m, levelled.data(), levelled.size() / static_cast<std::size_t>(c.channels));
        std::int32_t lufs = 0, peak = 0; // of the levelled recording
        agc_loudness_integrated(m, &lufs);
        agc_loudness_sample_peak(m, 0, &peak);
        agc_loudness_destroy(m);
        const std::int32_t target = c.limited ? lufs - 1500 : lufs - 10000, ceiling = c.limited ? peak - 2000 : -1000;
        std::string first;
        for (const std::size_t most : {SIZE_MAX, std::size_t{0}, x.size() / 2}) {
            zek::run_options o = plain;
            o.target = o.limit = true;
            o.target_mlufs = target;
            o.ceiling_mdb = ceiling;
            o.held_most = most;
            const zek::run_result r = zek::process_files(in.c_str(), out.c_str(), o);
            ASSERT_EQ(r.status, zek::EXIT_OK) << r.reason;
            const std::string written = bytes_of(out);
            if (most == SIZE_MAX) {
                first = written;
                ASSERT_FALSE(first.empty());
            } else {
                EXPECT_TRUE(written == first) << "held at most " << most << " samples";
            }
        }
    }
}

} // namespace
