#include "audio/wav_header.h"

#include <cstring>

namespace zek {

namespace {

struct writer {
    unsigned char* p;
    void tag(const char* t) {
        std::memcpy(p, t, 4);
        p += 4;
    }
    void u16(std::uint32_t v) {
        *p++ = static_cast<unsigned char>(v & 0xFF);
        *p++ = static_cast<unsigned char>((v >> 8) & 0xFF);
    }
    void u32(std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
};

// KSDATAFORMAT_SUBTYPE_PCM: 00000001-0000-0010-8000-00aa00389b71, as stored.
constexpr unsigned char PCM_GUID[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

} // namespace

std::size_t wav_header(unsigned char* out, int rate, int channels, std::int64_t frames) {
    const bool extensible = channels > 2;
    const std::uint32_t fmt_size = extensible ? 40 : 16;
    const auto block = static_cast<std::uint32_t>(2 * channels);
    const std::uint32_t header = 4 + 8 + fmt_size + 8; // "WAVE", fmt chunk, data chunk header
    const bool known = frames >= 0 && static_cast<std::uint64_t>(frames) * block <= 0xFFFFFFFFu - header;
    const std::uint32_t data = known ? static_cast<std::uint32_t>(frames) * block : 0xFFFFFFFFu;

    writer w{out};
    w.tag("RIFF");
    w.u32(known ? header + data : 0xFFFFFFFFu);
    w.tag("WAVE");
    w.tag("fmt ");
    w.u32(fmt_size);
    w.u16(extensible ? 0xFFFE : 1);
    w.u16(static_cast<std::uint32_t>(channels));
    w.u32(static_cast<std::uint32_t>(rate));
    w.u32(static_cast<std::uint32_t>(rate) * block);
    w.u16(block);
    w.u16(16);
    if (extensible) {
        w.u16(22); // the extension's size
        w.u16(16); // valid bits per sample
        w.u32(0);  // channel mask: no assignment to speaker positions
        std::memcpy(w.p, PCM_GUID, sizeof PCM_GUID);
        w.p += sizeof PCM_GUID;
    }
    w.tag("data");
    w.u32(data);
    return static_cast<std::size_t>(w.p - out);
}

} // namespace zek
