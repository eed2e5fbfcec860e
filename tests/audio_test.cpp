// zek on audio files made by other programs (sox, ffmpeg) and read back by
// other programs (sox, flac, Python's wave, ffprobe): rates, channel counts,
// depths and containers, pipes both ways, and refusals that leave an
// existing output as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "agc/stream.h"
#include "tool_harness.h"

namespace fs = std::filesystem;
using harness::read_file;
using harness::write_file;

namespace {

using samples = std::vector<std::int16_t>;

const std::string INPUT_ERROR = "\nbinary input file error ";

// What zek must make of interleaved 16-bit samples: the stream's output with
// its latency dropped, so aligned with the input and as long.
samples levelled(const samples& in, int rate, int channels) {
    agc_stream* st = agc_stream_create(rate, channels, nullptr);
    const auto latency = static_cast<std::size_t>(agc_stream_latency(st) * channels);
    samples out(in.size() + latency);
    agc_stream_process(st, in.data(), out.data(), static_cast<int>(in.size()) / channels);
    agc_stream_flush(st, out.data() + in.size());
    agc_stream_destroy(st);
    return samples(out.begin() + static_cast<std::ptrdiff_t>(latency), out.end());
}

std::uint32_t u32_at(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<std::size_t>(k)]);
    return v;
}

class Audio : public harness::temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        for (const char* tool : {"sox", "soxi", "ffmpeg", "ffprobe", "flac"}) {
            if (!harness::have_program(tool)) GTEST_FAIL() << tool << " is required (sox, ffmpeg and flac packages)";
        }
    }
    harness::result sh(const std::string& command) { return harness::run("/bin/bash", {"-c", command}, dir); }
    // A file's samples as sox decodes them, reduced to 16 bits by dropping
    // the low ones (sox reads every depth exactly at 32 bits).
    samples decode(const std::string& file) {
        const auto r = sh("sox '" + file + "' -t raw -e signed -b 32 -");
        EXPECT_EQ(r.status, 0) << r.err;
        samples s(r.out.size() / 4);
        for (std::size_t k = 0; k < s.size(); ++k) s[k] = static_cast<std::int16_t>(static_cast<std::int32_t>(u32_at(r.out, 4 * k)) >> 16);
        return s;
    }
    std::string soxi(const char* what, const std::string& file) {
        const auto r = sh(std::string("soxi -") + what + " '" + file + "'");
        return r.out.substr(0, r.out.find('\n'));
    }
    // Levelled speech-like sound: noise swelling and fading, 2.5 s.
    void make(const std::string& file, int rate, int channels, int bits, const std::string& extra = "") {
        const auto r = sh("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b " +
                          std::to_string(bits) + " " + extra + " '" + file +
                          "' synth 2.5 pinknoise tremolo 1.5 90 gain -25");
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(Audio, ContainersRatesChannelsAndDepths) {
    const struct {
        std::string in, out;
        int rate, channels, bits;
        const char* note; // what standard error must say, if anything
    } cases[] = {
        {"mono16k.wav", "a.wav", 16000, 1, 16, nullptr},
        {"stereo44k.wav", "b.wav", 44100, 2, 16, nullptr},
        {"six48k-24bit.wav", "c.wav", 48000, 6, 24, "24-bit samples"}, // WAVE_FORMAT_EXTENSIBLE
        {"mono8k.flac", "d.flac", 8000, 1, 16, nullptr},
        {"stereo96k-24bit.flac", "e.wav", 96000, 2, 24, "24-bit samples"},
        {"mono48k.wav", "f.flac", 48000, 1, 16, nullptr},
        {"stereo44k.aiff", "g", 44100, 2, 16, nullptr}, // no extension: the input's container
        {"mono16k-float.wav", "h.wav", 16000, 1, 32, "floating-point"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in + " -> " + c.out);
        make(c.in, c.rate, c.channels, c.bits, c.note && std::strstr(c.note, "float") ? "-e floating-point" : "");
        const auto r = harness::zek({c.in, c.out}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        if (c.note) {
            EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        }
        EXPECT_EQ(soxi("r", c.out), std::to_string(c.rate));
        EXPECT_EQ(soxi("c", c.out), std::to_string(c.channels));
        EXPECT_EQ(soxi("s", c.out), soxi("s", c.in)); // the length, in frames
        EXPECT_EQ(soxi("b", c.out), "16");
        EXPECT_EQ(soxi("t", c.out), soxi("t", c.out == "g" ? c.in : c.out));
        samples in = decode(c.in);
        if (c.note && std::strstr(c.note, "float")) { // scaled by 32768, rounded, clipped
            const auto f = sh("sox '" + c.in + "' -t f64 -L -"); // little-endian, whatever CPU runs the test
            for (std::size_t k = 0; k < in.size(); ++k) {
                const double v = std::bit_cast<double>(std::uint64_t{u32_at(f.out, 8 * k + 4)} << 32 | u32_at(f.out, 8 * k));
                in[k] = static_cast<std::int16_t>(std::max(-32768.0, std::min(32767.0, std::nearbyint(v * 32768))));
            }
        }
        const samples want = levelled(in, c.rate, c.channels), got = decode(c.out);
        ASSERT_EQ(got.size(), want.size());
        const auto diff = std::mismatch(got.begin(), got.end(), want.begin()).first;
        EXPECT_TRUE(diff == got.end()) << "first difference at sample " << (diff - got.begin());
    }
    // Independent readers: FLAC's own decoder checks the stream and its MD5,
    // Python's wave module reads the plain WAV header.
    EXPECT_EQ(sh("flac -t -s d.flac f.flac").status, 0);
    const auto py = sh("/usr/bin/python3 -c \"import wave,sys\nfor n in sys.argv[1:]:\n w=wave.open(n); "
                       "print(w.getnchannels(), w.getframerate(), w.getsampwidth(), w.getnframes())\" a.wav b.wav");
    EXPECT_EQ(py.out, "1 16000 2 40000\n2 44100 2 110250\n") << py.err;
}

TEST_F(Audio, PipesBothWays) {
    make("in.wav", 16000, 2, 16);
    ASSERT_EQ(harness::zek({"in.wav", "file.wav"}, dir).status, 0);
    const std::string file = read_file(dir / "file.wav");
    const std::string data = file.substr(file.size() - 40000 * 4); // 2.5 s of 16 kHz stereo

    // In and out through pipes: a WAV header of zek's own with exact sizes.
    const auto piped = harness::zek({"/dev/stdin", "/dev/stdout"}, dir, read_file(dir / "in.wav"));
    ASSERT_EQ(piped.status, 0) << piped.err;
    ASSERT_EQ(piped.out.size(), 44 + data.size());
    EXPECT_EQ(u32_at(piped.out, 4), piped.out.size() - 8);
    EXPECT_EQ(u32_at(piped.out, 40), data.size());
    EXPECT_EQ(piped.out.substr(44), data);

    // A streamed WAV (ffmpeg into a pipe: no sizes) gives a streamed WAV.
    const auto streamed = sh("ffmpeg -nostdin -loglevel error -i in.wav -f wav - | '" ZEK_BINARY "' /dev/stdin /dev/stdout");
    ASSERT_EQ(streamed.status, 0) << streamed.err;
    EXPECT_EQ(u32_at(streamed.out, 4), 0xFFFFFFFFu);
    EXPECT_EQ(u32_at(streamed.out, 40), 0xFFFFFFFFu);
    EXPECT_EQ(streamed.out.substr(44), data);

    // FLAC goes through neither end of a pipe: refused before anything is written.
    ASSERT_EQ(sh("sox in.wav in.flac").status, 0);
    const auto into = harness::zek({"in.flac", "/dev/stdout"}, dir);
    EXPECT_EQ(into.status, 1);
    EXPECT_EQ(into.out, "");
    EXPECT_NE(into.err.find("pipe"), std::string::npos) << into.err;
    const auto from = harness::zek({"/dev/stdin", "out.wav"}, dir, read_file(dir / "in.flac"));
    EXPECT_EQ(from.status, 1);
    EXPECT_NE(from.err.find("pipe"), std::string::npos) << from.err;
    EXPECT_FALSE(fs::exists(dir / "out.wav"));
}

TEST_F(Audio, RawSamplesNamedWavStayRaw) {
    std::string raw;
    for (int k = 0; k < 5000; ++k) raw += static_cast<char>(k * 37 % 251);
    write_file(dir / "take.wav", raw);
    write_file(dir / "take.raw", raw);
    ASSERT_EQ(harness::zek({"take.wav", "a.wav"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"take.raw", "b.raw"}, dir).status, 0);
    EXPECT_EQ(read_file(dir / "a.wav"), read_file(dir / "b.raw"));
    EXPECT_EQ(read_file(dir / "a.wav").size(), 2 * (512 + (2500 - 512) / 240 * 240));
}

TEST_F(Audio, RefusalsLeaveTheOutputAsItWas) {
    make("good.wav", 16000, 1, 16);
    make("fast.wav", 192000, 1, 16);
    std::string good = read_file(dir / "good.wav"), mp3_in_wav = good;
    mp3_in_wav[20] = 0x55; // the format tag of MPEG layer 3 in a WAV header
    write_file(dir / "short.wav", good.substr(0, 30));
    write_file(dir / "codec.wav", mp3_in_wav);
    write_file(dir / "voice.ogg", "OggS" + std::string(200, '\0'));
    const struct {
        const char* in;
        const char* says;
    } cases[] = {
        {"fast.wav", "192000 Hz"}, {"short.wav", "not a readable audio file"},
        {"codec.wav", "not a readable audio file"}, {"voice.ogg", "Ogg"},
    };
    for (const auto& c : cases) {
        write_file(dir / "out.wav", "an earlier result");
        const auto r = harness::zek({c.in, "out.wav"}, dir);
        EXPECT_EQ(r.status, 1) << c.in;
        EXPECT_EQ(r.out, INPUT_ERROR) << c.in;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.in << ": " << r.err;
        EXPECT_EQ(read_file(dir / "out.wav"), "an earlier result") << c.in;
    }
    EXPECT_NE(harness::zek({"fast.wav", "out.wav"}, dir).err.find("sox"), std::string::npos); // how to resample
}

TEST_F(Audio, MetadataIsKept) {
    const auto made = sh("ffmpeg -nostdin -loglevel error -f lavfi -i anoisesrc=d=1:r=22050:a=0.05 "
                         "-metadata title='Take 7' -metadata artist='The Speakers' -c:a pcm_s16le in.wav");
    ASSERT_EQ(made.status, 0) << made.err;
    for (const char* out : {"out.wav", "out.flac"}) {
        ASSERT_EQ(harness::zek({"in.wav", out}, dir).status, 0);
        const auto tags = sh(std::string("ffprobe -v error -show_entries format_tags=title,artist -of csv=p=0 ") + out);
        EXPECT_EQ(tags.out, "Take 7,The Speakers\n") << out << tags.err;
    }
}

TEST_F(Audio, ReportReadsAudioFiles) {
    make("in.wav", 22050, 2, 16);
    ASSERT_EQ(harness::zek({"in.wav", "out.wav"}, dir).status, 0);
    const auto good = harness::run(ZEK_REPORT_BINARY, {"in.wav", "out.wav"}, dir);
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("bit for bit"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("22050 Hz"), std::string::npos) << good.out;
    std::string changed = read_file(dir / "out.wav");
    changed[changed.size() - 1000] ^= 1;
    write_file(dir / "changed.wav", changed);
    EXPECT_EQ(harness::run(ZEK_REPORT_BINARY, {"in.wav", "changed.wav"}, dir).status, 3);
}

} // namespace
