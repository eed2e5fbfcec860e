#include "audio/audio_format.h"

#include <cstring>
#include <sndfile.h>
#include <strings.h>

namespace zek {

namespace {

bool starts(const unsigned char* head, std::size_t n, std::size_t at, const char* magic) {
    const std::size_t len = std::strlen(magic);
    return n >= at + len && std::memcmp(head + at, magic, len) == 0;
}

// Sony Wave64 starts with the GUID of its "riff" chunk.
constexpr unsigned char W64_RIFF[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                        0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

struct named {
    container c;
    const char* name;
    int major;
};

constexpr named CONTAINERS[] = {
    {container::wav, "WAV", SF_FORMAT_WAV},     {container::rf64, "RF64", SF_FORMAT_RF64},
    {container::w64, "W64", SF_FORMAT_W64},     {container::aiff, "AIFF", SF_FORMAT_AIFF},
    {container::flac, "FLAC", SF_FORMAT_FLAC},  {container::au, "AU", SF_FORMAT_AU},
    {container::caf, "CAF", SF_FORMAT_CAF},     {container::nist, "NIST SPHERE", SF_FORMAT_NIST},
    {container::voc, "VOC", SF_FORMAT_VOC},     {container::raw, "raw", 0},
};

constexpr struct {
    const char* extension;
    container c;
} EXTENSIONS[] = {
    {"wav", container::wav},   {"wave", container::wav}, {"rf64", container::rf64}, {"w64", container::w64},
    {"aif", container::aiff},  {"aiff", container::aiff}, {"aifc", container::aiff}, {"flac", container::flac},
    {"au", container::au},     {"snd", container::au},    {"caf", container::caf},   {"sph", container::nist},
    {"nist", container::nist}, {"voc", container::voc},   {"raw", container::raw},   {"pcm", container::raw},
};

constexpr struct {
    const char* extension;
    const char* name;
} COMPRESSED_EXTENSIONS[] = {
    {"mp3", "MP3"},  {"mp2", "MP2"},   {"ogg", "Ogg"},   {"oga", "Ogg"},       {"opus", "Opus"}, {"spx", "Speex"},
    {"m4a", "M4A"},  {"m4b", "M4A"},   {"aac", "AAC"},   {"mp4", "MP4"},       {"webm", "WebM"}, {"mka", "Matroska"},
    {"wma", "WMA"},  {"ac3", "AC-3"},  {"amr", "AMR"},   {"wv", "WavPack"},    {"ape", "APE"},
};

// The extension of a path's last component (after its last dot), or nullptr.
const char* extension_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* dot = std::strrchr(base, '.');
    return dot == nullptr || dot == base ? nullptr : dot + 1;
}

// A frame header of a compressed stream that has no file header, only
// frames (MPEG audio, AAC in ADTS, AC-3, E-AC-3, DTS): its length in bytes,
// and what the next frame of the same stream repeats. A sync word of 16 or
// 32 bits can begin raw samples by chance; a frame counts only when its
// fields are valid and the next frame follows where its length says.
struct frame_header {
    std::size_t length = 0; // 0: no frame header
    unsigned key = 0;       // the family, and what stays put from frame to frame (version, layer, rate)
    const char* name = nullptr;
};

// The bytes a frame header is read from: DTS's sample rate is in the ninth.
constexpr std::size_t FRAME_HEADER_BYTES = 9;

// MPEG audio (layers I to III) and ADTS: an 11- or 12-bit sync of ones.
frame_header mpeg_frame_at(const unsigned char* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return {};
    const unsigned layer = (p[1] >> 1) & 3;
    if (layer == 0) { // ADTS: a 12-bit sync, the frame's length in 13 bits
        const unsigned rate = (p[2] >> 2) & 0xF;
        const std::size_t length = (std::size_t{p[3] & 3u} << 11) | (std::size_t{p[4]} << 3) | (p[5] >> 5);
        if ((p[1] & 0xF0) != 0xF0 || rate > 12 || length < 7) return {};
        return {length, (p[1] & 0xF6u) << 8 | (p[2] & 0xFCu), "AAC"};
    }
    static constexpr unsigned short KBPS[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // MPEG-2/2.5 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // MPEG-2/2.5 layers II, III
    };
    static constexpr unsigned RATES[3] = {44100, 48000, 32000};
    const unsigned version = (p[1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const unsigned bitrate = p[2] >> 4, rate_index = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rate_index == 3) return {};
    const unsigned l = 4 - layer; // 1, 2 or 3
    const unsigned table = version == 3 ? l - 1 : l == 1 ? 3 : 4;
    const unsigned rate = RATES[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const std::size_t bps = std::size_t{KBPS[table][bitrate]} * 1000;
    const std::size_t length = l == 1                    ? (12 * bps / rate + padding) * 4
                               : l == 3 && version != 3 ? 72 * bps / rate + padding
                                                         : 144 * bps / rate + padding;
    return {length, (p[1] & 0xFEu) << 8 | (p[2] & 0x0Cu), l == 3 ? "MP3" : l == 2 ? "MP2" : "MP1"};
}

// AC-3 and E-AC-3: the sync word 0B 77. The bitstream id (bsid) tells them
// apart: up to 8 is AC-3 (9 and 10 its half- and quarter-rate forms), 11 to
// 16 E-AC-3. AC-3 gives its frame size as a code for the bit rate at one of
// three sample rates, E-AC-3 as a count of 16-bit words.
frame_header ac3_frame_at(const unsigned char* p) {
    if (p[0] != 0x0B || p[1] != 0x77) return {};
    const unsigned bsid = p[5] >> 3, fscod = p[4] >> 6;
    if (bsid <= 10) {
        static constexpr unsigned short KBPS[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                                    192, 224, 256, 320, 384, 448, 512, 576, 640};
        const unsigned code = p[4] & 0x3F;
        if (fscod == 3 || code >= 38) return {};
        const std::size_t kbps = KBPS[code >> 1];
        // 1536 samples a frame, in 16-bit words: 2 per kbit/s at 48 kHz, 3 at
        // 32 kHz; at 44.1 kHz the odd codes add the word that evens the rate out.
        const std::size_t words = fscod == 0 ? 2 * kbps : fscod == 2 ? 3 * kbps : kbps * 96000 / 44100 + (code & 1);
        return {2 * words, 0x10000u | fscod, "AC-3"};
    }
    if (bsid > 16 || p[2] >> 6 == 3 || (fscod == 3 && ((p[4] >> 4) & 3) == 3)) return {}; // stream type, rate
    const std::size_t words = ((std::size_t{p[2]} & 7) << 8 | p[3]) + 1;
    return {words < 8 ? 0 : 2 * words, 0x20000u | fscod, "E-AC-3"};
}

// A DTS core frame: the sync word 7F FE 80 01, then a normal frame (not a
// termination frame: flag 1, deficit count 31) of 6 to 128 blocks of 32
// samples, 96 to 16384 bytes long, at one of the sample rates DTS defines.
frame_header dts_frame_at(const unsigned char* p) {
    if (p[0] != 0x7F || p[1] != 0xFE || p[2] != 0x80 || p[3] != 0x01) return {};
    const unsigned normal = p[4] >> 7, deficit = (p[4] >> 2) & 31, blocks = ((p[4] & 1u) << 6 | p[5] >> 2) + 1;
    const std::size_t bytes = ((std::size_t{p[5]} & 3) << 12 | std::size_t{p[6]} << 4 | p[7] >> 4) + 1;
    const unsigned rate = (p[8] >> 2) & 0xF;
    constexpr unsigned RATES = 1u << 1 | 1u << 2 | 1u << 3 | 1u << 6 | 1u << 7 | 1u << 8 | 1u << 11 | 1u << 12 | 1u << 13;
    if (normal != 1 || deficit != 31 || blocks < 6 || bytes < 96 || !(RATES >> rate & 1)) return {};
    return {bytes, 0x30000u | rate, "DTS"};
}

frame_header frame_at(const unsigned char* p) {
    if (p[0] == 0xFF) return mpeg_frame_at(p);
    if (p[0] == 0x0B) return ac3_frame_at(p);
    return dts_frame_at(p);
}

// Whether the bytes at p go on with the stream whose frame f is: a frame of
// the same kind, or after a DTS core frame the DTS-HD extension substream
// that carries the rest of a high-resolution or lossless stream.
bool continues(const frame_header& f, const unsigned char* p) {
    const frame_header next = frame_at(p);
    if (next.length != 0 && next.key == f.key) return true;
    return f.key >> 16 == 3 && p[0] == 0x64 && p[1] == 0x58 && p[2] == 0x20 && p[3] == 0x25;
}

// Compressed formats with a file header of their own, told by its first
// bytes: ASF (WMA) by the 16-byte GUID of its header object, WavPack by its
// block id and a version it defines, TTA by its id, format, channels and
// sample depth.
constexpr unsigned char ASF_HEADER[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

unsigned le16(const unsigned char* p) { return p[0] | unsigned{p[1]} << 8; }

const char* headed_compressed(const unsigned char* head, std::size_t n) {
    if (n >= sizeof ASF_HEADER && std::memcmp(head, ASF_HEADER, sizeof ASF_HEADER) == 0) return "WMA/ASF";
    if (starts(head, n, 0, "wvpk") && n >= 10 && le16(head + 8) >= 0x402 && le16(head + 8) <= 0x410) return "WavPack";
    if (starts(head, n, 0, "TTA1") && n >= 10) {
        const unsigned format = le16(head + 4), channels = le16(head + 6), bits = le16(head + 8);
        if ((format == 1 || format == 2) && channels > 0 && bits >= 8 && bits <= 32) return "TTA";
    }
    return nullptr;
}

} // namespace

std::size_t compressed_sniff_bytes(const unsigned char* head, std::size_t n) {
    const frame_header f = n >= FRAME_HEADER_BYTES ? frame_at(head) : frame_header{};
    const std::size_t need = f.length + FRAME_HEADER_BYTES;
    return f.length == 0 ? SNIFF_BYTES : need < COMPRESSED_SNIFF_MAX ? need : COMPRESSED_SNIFF_MAX;
}

const char* compressed_of_name(const char* path) {
    const char* ext = extension_of(path);
    for (const auto& e : COMPRESSED_EXTENSIONS) {
        if (ext != nullptr && strcasecmp(ext, e.extension) == 0) return e.name;
    }
    return nullptr;
}

container sniff_container(const unsigned char* head, std::size_t n) {
    const bool wave = starts(head, n, 8, "WAVE");
    if ((starts(head, n, 0, "RIFF") || starts(head, n, 0, "RIFX")) && wave) return container::wav;
    if (starts(head, n, 0, "RF64") && wave) return container::rf64;
    if (n >= sizeof W64_RIFF && std::memcmp(head, W64_RIFF, sizeof W64_RIFF) == 0) return container::w64;
    if (starts(head, n, 0, "FORM") && (starts(head, n, 8, "AIFF") || starts(head, n, 8, "AIFC"))) return container::aiff;
    if (starts(head, n, 0, "fLaC")) return container::flac;
    if (starts(head, n, 0, ".snd") || starts(head, n, 0, "dns.")) return container::au;
    if (starts(head, n, 0, "caff")) return container::caf;
    if (starts(head, n, 0, "NIST_1A\n")) return container::nist;
    if (starts(head, n, 0, "Creative Voice F")) return container::voc;
    return container::none;
}

const char* sniff_compressed(const unsigned char* head, std::size_t n) {
    if (starts(head, n, 0, "OggS")) return "Ogg";
    if (starts(head, n, 0, "ID3")) return "MP3";
    if (starts(head, n, 4, "ftyp")) return "MP4/M4A";
    if (starts(head, n, 0, "\x1A\x45\xDF\xA3")) return "Matroska/WebM"; // EBML
    if (const char* name = headed_compressed(head, n)) return name;
    const frame_header f = n >= FRAME_HEADER_BYTES ? frame_at(head) : frame_header{};
    if (f.length == 0 || n < f.length + FRAME_HEADER_BYTES) return nullptr;
    return continues(f, head + f.length) ? f.name : nullptr;
}

container container_of_name(const char* path) {
    const char* ext = extension_of(path);
    for (const auto& e : EXTENSIONS) {
        if (ext != nullptr && strcasecmp(ext, e.extension) == 0) return e.c;
    }
    return container::none;
}

int sndfile_major(container c) {
    for (const named& k : CONTAINERS) {
        if (k.c == c) return k.major;
    }
    return 0;
}

container container_of_major(int major) {
    for (const named& k : CONTAINERS) {
        if (k.major != 0 && k.major == major) return k.c;
    }
    return container::none;
}

const char* container_name(container c) {
    for (const named& k : CONTAINERS) {
        if (k.c == c) return k.name;
    }
    return "raw samples";
}

bool reads_from_pipe(container c) {
    return c == container::wav || c == container::w64 || c == container::aiff || c == container::au ||
           c == container::nist;
}

bool writes_to_pipe(container c) { return c == container::wav || c == container::raw || c == container::au; }

} // namespace zek
