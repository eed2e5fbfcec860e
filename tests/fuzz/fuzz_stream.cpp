// Feeds arbitrary bytes through the stream API twice, once in one call and
// once in the chunks the bytes choose (in place or not), and stops at the
// first output sample where the two differ.
//
// Layout of an input: 1 byte choosing the rate, 1 the channel count, 1 of
// flags (bit 0 in place, bit 1 speech-aware, bit 2 linked channels), 8 of
// chunk sizes, then interleaved samples (little-endian) until the bytes run
// out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agc/stream.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

constexpr int RATES[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 8001, 95999};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 11) return 0;
    const int rate = RATES[data[0] % (sizeof RATES / sizeof RATES[0])];
    const int channels = 1 + data[1] % 8;
    const std::uint8_t flags = data[2];
    const bool in_place = flags & 1;
    const std::uint8_t* sizes = data + 3;
    data += 11;
    size -= 11;
    const auto frames = static_cast<int>(size / 2 / static_cast<std::size_t>(channels));
    const std::size_t count = static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels);
    std::vector<std::int16_t> in(count);
    if (count > 0) std::memcpy(in.data(), data, count * 2); // the host's byte order: any bits will do

    agc_stream_options options;
    agc_stream_options_init(&options);
    options.speech = (flags >> 1) & 1;
    options.link = (flags >> 2) & 1;
    agc_stream* whole = agc_stream_create_with(rate, channels, &options, nullptr);
    agc_stream* chunked = agc_stream_create_with(rate, channels, &options, nullptr);
    require(whole != nullptr && chunked != nullptr);
    const int latency = agc_stream_latency(whole);
    const std::size_t total = count + static_cast<std::size_t>(latency) * static_cast<std::size_t>(channels);
    std::vector<std::int16_t> a(total), b(total);
    require(agc_stream_process(whole, in.data(), a.data(), frames) == frames);
    require(agc_stream_flush(whole, a.data() + count) == latency);

    std::vector<std::int16_t> work = in;
    const std::int16_t* src = in_place ? work.data() : in.data();
    std::int16_t* dst = in_place ? work.data() : b.data();
    auto process = [&](int at, int n) {
        const std::size_t off = static_cast<std::size_t>(at) * static_cast<std::size_t>(channels);
        require(agc_stream_process(chunked, src + off, dst + off, n) == n);
        return n;
    };
    for (int at = 0, k = 0; at < frames; ++k) {
        // Chunks of 0 to 4095 frames; an empty one is followed by a single frame.
        int n = sizes[k % 8] * 16 + (sizes[(k + 1) % 8] & 15);
        at += process(at, n < frames - at ? n : frames - at);
        if (n == 0) at += process(at, 1);
    }
    if (in_place && count > 0) std::memcpy(b.data(), work.data(), count * 2);
    require(agc_stream_flush(chunked, b.data() + count) == latency);
    require(std::memcmp(a.data(), b.data(), total * 2) == 0);
    agc_stream_destroy(whole);
    agc_stream_destroy(chunked);
    return 0;
}
