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

// Writes n bytes of v into b at `at`, in either byte order.
void put(std::string& b, std::size_t at, std::uint64_t v, int n, bool big_endian) {
    for (int k = 0; k < n; ++k) b[at + static_cast<std::size_t>(big_endian ? n - 1 - k : k)] = static_cast<char>(v >> (8 * k));
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

// Many channels at every rate, with lengths at the edges of zek's blocks
// (65536 samples) and of the stream's latency: past 136 channels at 48 kHz a
// latency is more frames than a block, which the flush once overran.
TEST_F(Audio, ChannelsUpTo256AtEveryRateAndBlockEdge) {
    for (const int rate : {8000, 16000, 44100, 48000, 96000}) {
        const int latency = 4 * ((rate + 200) / 400);
        for (const int channels : {2, 69, 137, 149, 256}) { // the first counts past a block at 96, 48, 44.1 kHz
            // Blocks of 65536 samples for pipes and short files, 524288 for
            // files read ahead; the flush alone may need more than either.
            const int block = 65536 / channels, big = 524288 / channels;
            for (const int frames : {100, latency - 1, latency + 1, block - 1, block + latency + 1, 2 * block + 3,
                                     big - 1, big + latency + 1}) {
                if (frames < 0) continue;
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels, " << frames << " frames");
                samples in(static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels));
                for (std::size_t k = 0; k < in.size(); ++k) in[k] = static_cast<std::int16_t>(k * 2654435761u >> 17);
                write_file(dir / "in.raw", harness::to_bytes(in));
                const std::string r = std::to_string(rate), c = std::to_string(channels);
                ASSERT_EQ(sh("sox -t raw -r " + r + " -c " + c + " -e signed -b 16 in.raw in.wav").status, 0);
                const auto run = harness::zek({"in.wav", "out.raw"}, dir); // bare interleaved samples
                ASSERT_EQ(run.status, 0) << run.err;
                ASSERT_TRUE(harness::to_samples(read_file(dir / "out.raw")) == levelled(in, rate, channels));
            }
        }
    }
}

// A plain 16-bit WAV of one or two channels is read and written by zek
// itself, without libsndfile: its output must be the bytes libsndfile's path
// gives (that path taken for the same samples with a JUNK chunk added, which
// libsndfile drops), into every kind of output. Where libsndfile cannot be
// loaded at all, plain WAV and raw samples still work, and the rest is
// refused with a message saying why.
TEST_F(Audio, PlainWavWithoutLibsndfile) {
    for (const int rate : {8000, 48000}) {
        for (const int channels : {1, 2}) {
            make("plain.wav", rate, channels, 16);
            std::string junk = read_file(dir / "plain.wav");
            ASSERT_EQ(junk.substr(36, 4), "data");
            junk.insert(36, std::string("JUNK\4\0\0\0\0\0\0\0", 12));
            put(junk, 4, junk.size() - 8, 4, false);
            write_file(dir / "junk.wav", junk);
            for (const char* out : {"out.wav", "out.flac", "out.raw"}) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels, " << out);
                ASSERT_EQ(harness::zek({"plain.wav", out}, dir).status, 0);
                const std::string fast = read_file(dir / out);
                ASSERT_EQ(harness::zek({"junk.wav", out}, dir).status, 0);
                EXPECT_TRUE(fast == read_file(dir / out));
            }
        }
    }
#if !defined(ZEK_EMULATED) // the emulator sets the library path of the program it runs itself
    make("in.flac", 16000, 1, 16);
    fs::create_directory(dir / "nolib");
    write_file(dir / "nolib/libsndfile.so.1", "not a library");
    const auto without = [&](const std::string& in, const std::string& out) {
        return sh("LD_LIBRARY_PATH=nolib '" ZEK_BINARY "' " + in + " " + out);
    };
    ASSERT_EQ(harness::zek({"plain.wav", "expected.wav"}, dir).status, 0);
    EXPECT_EQ(without("plain.wav", "got.wav").status, 0);
    EXPECT_TRUE(read_file(dir / "got.wav") == read_file(dir / "expected.wav"));
    const auto refused = without("in.flac", "got.wav");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("libsndfile (libsndfile.so.1) cannot be loaded"), std::string::npos) << refused.err;
#endif
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

    // FLAC needs to seek: into a pipe whose name asks for no container it
    // gives way to WAV; from a pipe, or into one named .flac, it is refused
    // before anything is written.
    ASSERT_EQ(sh("sox in.wav in.flac && mkfifo named.flac").status, 0);
    const auto into = harness::zek({"in.flac", "/dev/stdout"}, dir);
    EXPECT_EQ(into.status, 0) << into.err;
    EXPECT_TRUE(into.out == piped.out);
    for (const auto& r : {harness::zek({"/dev/stdin", "out.wav"}, dir, read_file(dir / "in.flac")),
                          harness::zek({"in.wav", "named.flac"}, dir)}) {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("pipe"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "out.wav"));
}

// A header that gives no length, with the samples after it to the end: a
// streaming writer's placeholder (sox's WAV and AIFF, arecord's WAV stopped
// early: 0x80000000), sizes never filled in (flac -d into a pipe), a FLAC
// that ffmpeg wrote into a pipe. Read whole from a pipe and as a file.
TEST_F(Audio, StreamsOfUnknownLengthAreReadToTheirEnd) {
    make("in.wav", 16000, 2, 16);
    const samples want = levelled(decode("in.wav"), 16000, 2);
    std::string arecord = read_file(dir / "in.wav");
    put(arecord, 4, 0x80000024, 4, false);
    put(arecord, 40, 0x80000000, 4, false);
    write_file(dir / "arecord.wav", arecord);
    const std::string raw = "sox in.wav -t raw - | sox -t raw -r 16000 -c 2 -e signed -b 16 - ";
    const struct {
        std::string stream;
        bool from_pipe; // else only as a file: FLAC cannot come through a pipe
    } cases[] = {
        {raw + "-t wav -", true},
        {raw + "-t aiff -", true},
        {"cat arecord.wav", true},
        {"ffmpeg -nostdin -loglevel error -i in.wav -f flac - | flac -dcs -", true},
        {"ffmpeg -nostdin -loglevel error -i in.wav -f flac - | cat", false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(sh(c.stream + " > saved").status, 0) << c.stream;
        for (const bool piped : {true, false}) {
            if (piped && !c.from_pipe) continue;
            const auto r = sh(piped ? c.stream + " | '" ZEK_BINARY "' /dev/stdin out.raw" : "'" ZEK_BINARY "' saved out.raw");
            EXPECT_EQ(r.status, 0) << c.stream << (piped ? " |" : " as a file") << ": " << r.err;
            EXPECT_TRUE(harness::to_samples(read_file(dir / "out.raw")) == want) << c.stream << (piped ? " |" : " as a file");
        }
    }
}

// An output's name asks for its container: RF64 is RF64 (only a .wav may
// become RF64 that turns back into WAV), and compressed containers, which zek
// does not write, are refused before anything is read or written.
TEST_F(Audio, OutputNames) {
    make("in.wav", 16000, 1, 16);
    ASSERT_EQ(harness::zek({"in.wav", "out.rf64"}, dir).status, 0);
    ASSERT_EQ(harness::zek({"in.wav", "out.wav"}, dir).status, 0);
    EXPECT_EQ(read_file(dir / "out.rf64").substr(0, 4), "RF64");
    EXPECT_EQ(read_file(dir / "out.wav").substr(0, 4), "RIFF");
    for (const char* name : {"out.mp3", "out.ogg", "out.opus", "out.M4A"}) {
        write_file(dir / name, "an earlier result");
        const auto r = harness::zek({"in.wav", name}, dir);
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find(".wav, .flac"), std::string::npos) << name << ": " << r.err;
        EXPECT_TRUE(read_file(dir / name) == "an earlier result") << name;
    }
}

// Neither a name nor first samples that look like the start of compressed
// audio make raw samples audio: a frame header with no frame where its
// length says (MPEG FF FB 90 64; AC-3 0B 77, whose two bytes are the sample
// 30475; DTS), a second frame of another rate, a header with a field out of
// range, or a file header's first bytes without the rest.
TEST_F(Audio, RawSamplesNamedWavStayRaw) {
    std::string noise;
    for (int k = 0; k < 20000; ++k) noise += static_cast<char>(k * 37 % 251);
    // A valid AC-3 header: 48 kHz, 192 kbit/s (768 bytes a frame), bsid 8.
    const std::string ac3 = std::string("\x0B\x77\x8E\x71\x14\x40", 6), dts("\x7F\xFE\x80\x01\xFC\x3C\x75\xB0\xB6", 9);
    const auto at = [&](std::string head, std::size_t where, const std::string& second) {
        std::string s = head + noise.substr(head.size());
        return s.replace(where, second.size(), second);
    };
    std::string other_rate = ac3;
    other_rate[4] = '\x54'; // 44.1 kHz
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"an MPEG frame header alone", at("\xFF\xFB\x90\x64", 0, "")},
        {"0B 77 and noise", at("\x0B\x77", 0, "")},
        {"an AC-3 header alone", at(ac3, 0, "")},
        {"an AC-3 header, the next two bytes late", at(ac3, 770, ac3)},
        {"an AC-3 header, the next frame at another rate", at(ac3, 768, other_rate)},
        {"an AC-3 header with frame size code 38", at(ac3, 768, ac3).replace(4, 1, "\x26")},
        {"an AC-3 header with bsid 17", at(ac3, 768, ac3).replace(5, 1, "\x88")},
        {"a DTS header alone", at(dts, 0, "")},
        {"a DTS termination frame", at(dts, 1884, dts).replace(4, 1, "\x7C")},
        {"the first half of the ASF GUID", at(std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11", 8), 0, "")},
        {"wvpk of no version", at("wvpk\x40\x96\0\0\x10\x05", 0, "")},
        {"TTA1 of format 0", at(std::string("TTA1\0\0\x02\0\x10\0", 10), 0, "")},
    };
    for (const auto& c : cases) {
        for (const char* name : {"take.wav", "take.raw"}) write_file(dir / name, c.bytes);
        const auto as_wav = harness::zek({"take.wav", "a.wav"}, dir);
        ASSERT_EQ(as_wav.status, 0) << c.what << ": " << as_wav.err;
        ASSERT_EQ(harness::zek({"take.raw", "b.raw"}, dir).status, 0) << c.what;
        EXPECT_EQ(read_file(dir / "a.wav"), read_file(dir / "b.raw")) << c.what;
        EXPECT_EQ(read_file(dir / "a.wav").size(), 2 * (512 + (10000 - 512) / 240 * 240)) << c.what;
    }
}

TEST_F(Audio, RefusalsLeaveTheOutputAsItWas) {
    make("good.wav", 16000, 1, 16);
    make("fast.wav", 192000, 1, 16);
    std::string good = read_file(dir / "good.wav"), mp3_in_wav = good;
    mp3_in_wav[20] = 0x55; // the format tag of MPEG layer 3 in a WAV header
    write_file(dir / "short.wav", good.substr(0, 30));
    write_file(dir / "codec.wav", mp3_in_wav);
    write_file(dir / "voice.ogg", "OggS" + std::string(200, '\0'));
    std::vector<std::pair<std::string, std::string>> cases = {
        {"fast.wav", "192000 Hz"}, {"short.wav", "not a readable audio file"},
        {"codec.wav", "not a readable audio file"}, {"voice.ogg", "Ogg"},
    };
    // Every container cut short as `head -c` leaves it, whole files beside
    // them; and headers that announce more than their file holds.
    const std::vector<std::string> kinds = {"wav", "aiff", "au", "w64", "sph", "voc", "caf", "rf64"};
    for (const auto& k : kinds) {
        if (k != "rf64") make("whole." + k, 16000, 2, 16);
    }
    ASSERT_EQ(sh("ffmpeg -nostdin -loglevel error -i whole.wav -f wav -rf64 always whole.rf64").status, 0);
    for (const auto& k : kinds) {
        const std::string whole = read_file(dir / ("whole." + k));
        write_file(dir / ("cut." + k), whole.substr(0, whole.size() - 1001));
        cases.push_back({"cut." + k, "cut short"});
    }
    std::string aiff = read_file(dir / "whole.aiff"), w64 = read_file(dir / "whole.w64"),
                rf64 = read_file(dir / "whole.rf64"), au = read_file(dir / "whole.au"), sph = read_file(dir / "whole.sph");
    put(aiff, aiff.find("COMM") + 10, 80000, 4, true); // frames: SSND holds 40000
    put(w64, w64.find(std::string("data\xf3\xac\xd3\x11", 8)) + 16, std::uint64_t{1} << 62, 8, false);
    put(rf64, rf64.find("ds64") + 16, std::uint64_t{1} << 50, 8, false); // the samples' size
    put(au, 4, au.size() + 100, 4, true);                                // where they start
    const std::size_t count = sph.find("sample_count -i ") + 16;
    sph.replace(count, sph.find('\n', count) - count, "999999999");
    sph.erase(sph.find("end_head\n") + 9, 4); // the header keeps its size
    for (const auto& [name, bytes] : {std::pair{"big.aiff", aiff}, {"big.w64", w64}, {"big.rf64", rf64},
                                      {"big.au", au}, {"big.sph", sph}}) {
        write_file(dir / name, bytes);
        cases.push_back({name, "cut short"});
    }
    // Compressed audio, whatever its name: the message gives a command that decodes it.
    const struct {
        const char *file, *codec, *decode;
    } compressed[] = {
        {"take 1.mp3", "libmp3lame -id3v2_version 0", "ffmpeg -i 'take 1.mp3' 'take 1.wav'"},
        {"take 1.m4a", "aac", "ffmpeg -i 'take 1.m4a' 'take 1.wav'"},
        {"take1", "aac -f adts", "ffmpeg -i 'take1' 'take1.wav'"},
        {"take1.webm", "libopus", "ffmpeg -i 'take1.webm' 'take1.wav'"},
    };
    for (const auto& c : compressed) {
        ASSERT_EQ(sh(std::string("ffmpeg -nostdin -loglevel error -i good.wav -c:a ") + c.codec + " '" + c.file + "'").status, 0);
        cases.push_back({c.file, c.decode});
    }
    // A NaN has no 16-bit value: refused, naming its frame and channel.
    make("float.wav", 16000, 2, 32, "-e floating-point");
    std::string nan = read_file(dir / "float.wav");
    put(nan, nan.find("data") + 8 + 4 * (2 * 700 + 1), 0x7FC00000, 4, false);
    write_file(dir / "nan.wav", nan);
    cases.push_back({"nan.wav", "frame 700, channel 1 (counting from 0) holds a NaN"});
    for (const auto& [in, says] : cases) {
        write_file(dir / "out.wav", "an earlier result");
        const auto r = harness::zek({in, "out.wav"}, dir);
        EXPECT_EQ(r.status, 1) << in;
        EXPECT_EQ(r.out, INPUT_ERROR) << in;
        EXPECT_NE(r.err.find(says), std::string::npos) << in << ": " << r.err;
        EXPECT_EQ(read_file(dir / "out.wav"), "an earlier result") << in;
    }
    // The whole files are levelled; cut ones are refused through a pipe too.
    for (const auto& k : kinds) {
        EXPECT_EQ(harness::zek({"whole." + k, "out.wav"}, dir).status, 0) << k;
        if (k == "voc" || k == "caf" || k == "rf64") continue; // no pipe carries them
        const auto piped = harness::zek({"/dev/stdin", "out.wav"}, dir, read_file(dir / ("cut." + k)));
        EXPECT_NE(piped.err.find("cut short"), std::string::npos) << k << " through a pipe: " << piped.err;
    }
    // sox writes a VOC block's size 8 bytes short, or wrapped to 24 bits from
    // 16 MiB on: where the walk lands, a sample byte of 1 to 9 reads as a
    // block that runs past the end. Such a file is whole.
    const std::string voc = read_file(dir / "whole.voc");
    const auto byte = [&voc](std::size_t at) { return std::size_t{static_cast<unsigned char>(voc[at])}; };
    const std::size_t block = 26, block_end = block + 4 + (byte(block + 1) | byte(block + 2) << 8 | byte(block + 3) << 16);
    for (const std::size_t at : {block_end, std::size_t{block + 4 + 1000}}) {
        std::string lands = voc;
        if (at != block_end) put(lands, block + 1, 1000, 3, false); // the size as a wrap leaves it
        put(lands, at, 0xFFFFFF07, 4, false);                       // type 7, 16 MiB
        write_file(dir / "lands.voc", lands);
        const auto r = harness::zek({"lands.voc", "out.wav"}, dir);
        EXPECT_EQ(r.status, 0) << "a sample byte at " << at << " read as a block: " << r.err;
    }
    EXPECT_NE(harness::zek({"fast.wav", "out.wav"}, dir).err.find("sox"), std::string::npos); // how to resample
}

// Compressed formats whose first bytes say so, and MP3 inside a WAV file
// (which libsndfile decodes, but longer than the recording was): refused,
// from a file or a pipe, naming a command that decodes them into something
// zek levels.
TEST_F(Audio, CompressedAudioIsRefusedWithACommandThatWorks) {
    make("stereo.wav", 48000, 2, 16);
    const struct {
        const char *file, *codec, *says;
    } headed[] = {
        {"a take.wma", "wmav2", "WMA/ASF audio is compressed"},
        {"b take.wv", "wavpack", "WavPack audio is compressed"},
        {"c take.tta", "tta", "TTA audio is compressed"},
        {"d take.ac3", "ac3", "AC-3 audio is compressed"},
        {"take2", "ac3 -ar 44100 -b:a 96k -f ac3", "AC-3 audio is compressed"}, // frames of two sizes
        {"e take.eac3", "eac3", "E-AC-3 audio is compressed"},
        {"f take.dts", "dca -strict -2", "DTS audio is compressed"},
        {"g take.wav", "libmp3lame -f wav", "MP3 audio in a WAV file is compressed"},
    };
    std::string encode = "ffmpeg -nostdin -loglevel error -i stereo.wav";
    for (const auto& c : headed) encode += std::string(" -c:a ") + c.codec + " '" + c.file + "'";
    ASSERT_EQ(sh(encode).status, 0) << encode;
    for (const auto& c : headed) {
        SCOPED_TRACE(c.file);
        write_file(dir / "out.wav", "an earlier result");
        const auto r = harness::zek({c.file, "out.wav"}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, INPUT_ERROR);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir / "out.wav"), "an earlier result");
        const auto report = harness::run(ZEK_REPORT_BINARY, {c.file, "out.wav"}, dir); // not read as raw samples
        EXPECT_EQ(report.status, 1) << report.out;
        EXPECT_NE(report.err.find(c.says), std::string::npos) << report.err;
        const std::size_t e_g = r.err.find("e.g. ffmpeg -i ");
        ASSERT_NE(e_g, std::string::npos) << r.err;
        const std::string decode = r.err.substr(e_g + 5, r.err.find('\n', e_g) - e_g - 5);
        ASSERT_EQ(sh("ffmpeg -nostdin -loglevel error" + decode.substr(6)).status, 0) << decode;
        const std::string decoded = decode.substr(decode.rfind(" '") + 2, decode.size() - decode.rfind(" '") - 3);
        EXPECT_EQ(harness::zek({decoded, "out.wav"}, dir).status, 0) << decoded;
        const auto piped = harness::zek({"/dev/stdin", "out.wav"}, dir, read_file(dir / c.file));
        EXPECT_EQ(piped.status, 1);
        EXPECT_NE(piped.err.find(std::string(c.says) + "; zek reads uncompressed audio files and raw samples: decode "
                                 "it on the way in, e.g. ffmpeg -i - -f wav - | zek /dev/stdin out.wav"),
                  std::string::npos) << piped.err;
    }
    const auto on_the_way = sh(std::string("ffmpeg -nostdin -loglevel error -i - -f wav - < 'f take.dts' | ") +
                               ZEK_BINARY + " /dev/stdin out.wav");
    EXPECT_EQ(on_the_way.status, 0) << on_the_way.err;
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
    ASSERT_EQ(harness::zek({"in.wav", "out.raw"}, dir).status, 0); // bare interleaved samples
    ASSERT_EQ(sh("sox out.wav -r 16000 other.wav").status, 0);
    write_file(dir / "cut.wav", changed.substr(0, changed.size() - 2000));
    const struct {
        const char* out;
        int status;
        std::string says; // on standard error
    } cases[] = {
        {"out.raw", 0, ""},
        {"changed.wav", 3, "first difference at frame " + std::to_string((changed.size() - 1000 - 44) / 4) + ")"},
        {"other.wav", 3, "16000 Hz and 2, are not the input's, 22050 Hz and 2"},
        {"cut.wav", 3, "cut short"},
    };
    for (const auto& c : cases) {
        const auto r = harness::run(ZEK_REPORT_BINARY, {"in.wav", c.out}, dir);
        EXPECT_EQ(r.status, c.status) << c.out << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.out << ": " << r.err;
    }
}

// The heading and the summary name the channels the levels cover, in words
// that fit one channel as well as many.
TEST_F(Audio, ReportNamesTheChannels) {
    const struct {
        int channels;
        const char* heading;
        const char* summary;
    } cases[] = {
        {1, "(32768 = 0 dB) of its one channel;", "frames of 1 channel,"},
        {2, "(32768 = 0 dB) over all 2 channels;", "frames of 2 channels,"},
        {6, "(32768 = 0 dB) over all 6 channels;", "frames of 6 channels,"},
    };
    for (const auto& c : cases) {
        make("in.wav", 16000, c.channels, 16);
        ASSERT_EQ(harness::zek({"in.wav", "out.wav"}, dir).status, 0);
        const auto r = harness::run(ZEK_REPORT_BINARY, {"in.wav", "out.wav"}, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.heading), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    }
}

} // namespace
