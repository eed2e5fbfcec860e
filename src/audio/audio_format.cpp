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

} // namespace

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
    return nullptr;
}

container container_of_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* base = slash ? slash + 1 : path;
    const char* dot = std::strrchr(base, '.');
    if (dot == nullptr || dot == base) return container::none;
    for (const auto& e : EXTENSIONS) {
        if (strcasecmp(dot + 1, e.extension) == 0) return e.c;
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
