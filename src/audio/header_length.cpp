#include "audio/header_length.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sndfile.h>
#include <unistd.h>
#include <utility>

#include "audio/audio_input.h"

namespace zek {

namespace {

constexpr std::uint64_t ALL = UINT64_MAX;
// Chunks (VOC: blocks) looked through before the samples; a header with more
// is not checked, only read.
constexpr int MAX_CHUNKS = 4096;

// n bytes at `at` from the header's first byte; false when they are not all there.
bool get(const header_source& s, std::uint64_t at, unsigned char* dst, std::size_t n) {
    if (s.mem != nullptr) {
        if (at > s.mem_size || n > s.mem_size - at) return false;
        std::memcpy(dst, s.mem + at, n);
        return true;
    }
    if (at > (ALL >> 2) - s.base) return false; // past any file
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = pread(s.fd, dst + got, n - got, static_cast<off_t>(s.base + at + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

std::uint64_t little(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int k = n - 1; k >= 0; --k) v = v << 8 | p[k];
    return v;
}

std::uint64_t big(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = v << 8 | p[k];
    return v;
}

// Sums and products that stop at 2^64 - 1: a hostile header's sizes go
// past any file, never around to a small number.
std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > ALL - b ? ALL : a + b; }
std::uint64_t mul(std::uint64_t a, std::uint64_t b) { return b != 0 && a > ALL / b ? ALL : a * b; }

// Chunk sizes of RIFF and AIFF leave a pad byte after an odd size.
std::uint64_t next_chunk(std::uint64_t pos, std::uint64_t header, std::uint64_t size) {
    return add(add(pos, header), add(size, size & 1));
}

// WAV's format tag and bits per sample as libsndfile reads headerless
// samples, or 0 where it reads none. Each sample takes its bits rounded up
// to whole bytes; the block align is not consulted: where a writer gets it
// wrong, libsndfile and ffmpeg both go by the bits.
int raw_format(std::uint64_t tag, std::uint64_t bits, bool big_endian) {
    static constexpr int PCM[] = {0, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32};
    const std::uint64_t bytes = (bits + 7) / 8;
    int subtype = 0;
    if (tag == 1 && bytes <= 4) subtype = PCM[bytes];
    else if (tag == 3) subtype = bytes == 4 ? SF_FORMAT_FLOAT : bytes == 8 ? SF_FORMAT_DOUBLE : 0;
    else if ((tag == 6 || tag == 7) && bits == 8) subtype = tag == 6 ? SF_FORMAT_ALAW : SF_FORMAT_ULAW;
    if (subtype == 0) return 0;
    return SF_FORMAT_RAW | subtype | (big_endian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
}

// After a data chunk that gives a size of 0: whether samples follow it (the
// size was never filled in) rather than nothing or another chunk (an empty
// recording, its metadata after it). A chunk is told by an id of four
// printable ASCII characters and a size that ends within the RIFF chunk:
// samples seldom start so (two loud samples, then a size that fits).
bool samples_follow(const header_source& s, std::uint64_t at, std::uint64_t riff_end, bool be) {
    unsigned char c[8];
    if (!get(s, at, c, 1)) return false;
    if (!get(s, at, c, sizeof c)) return true;
    for (int k = 0; k < 4; ++k) {
        if (c[k] < 0x20 || c[k] > 0x7E) return true;
    }
    return add(at + 8, be ? big(c + 4, 4) : little(c + 4, 4)) > riff_end;
}

sample_span with_fault(sample_span span, std::string fault) {
    span.fault = std::move(fault);
    return span;
}

// WAV (RIFF, RIFX) and RF64: chunks after "WAVE"; RF64's 64-bit sizes come
// first, in "ds64". One fmt chunk, then one data chunk: a second of either,
// or samples before their format, would leave readers to guess which
// recording is meant, and each guesses differently.
sample_span wav_samples(const header_source& s, container kind) {
    unsigned char h[12];
    if (!get(s, 0, h, sizeof h)) return {};
    const bool be = std::memcmp(h, "RIFX", 4) == 0;
    const auto u = [be](const unsigned char* p, int n) { return be ? big(p, n) : little(p, n); };
    const std::uint64_t riff_size = u(h + 4, 4);
    sample_span span;
    bool fmt = false;
    std::uint64_t tag = 0, bits = 0;
    std::uint64_t ds64_data = ALL;
    std::uint64_t pos = 12;
    for (int k = 0; k < MAX_CHUNKS; ++k) {
        unsigned char c[8];
        if (!get(s, pos, c, sizeof c)) break;
        const std::uint64_t size = u(c + 4, 4);
        if (std::memcmp(c, "ds64", 4) == 0) {
            unsigned char d[16];
            if (get(s, pos + 8, d, sizeof d)) ds64_data = little(d + 8, 8);
        } else if (std::memcmp(c, "fmt ", 4) == 0) {
            if (fmt) return with_fault(span, "it has a second fmt chunk: which format its samples are in is not clear");
            if (size < 16) {
                return with_fault(span, words({"its fmt chunk has ", std::to_string(size),
                                               " bytes, fewer than the 16 of a format"}));
            }
            fmt = true;
            unsigned char f[40] = {};
            const std::size_t n = size < sizeof f ? static_cast<std::size_t>(size) : sizeof f;
            if (get(s, pos + 8, f, n)) {
                tag = u(f, 2);
                if (tag == 0xFFFE && n == sizeof f) tag = u(f + 24, 2); // WAVE_FORMAT_EXTENSIBLE: its sub-format
                span.channels = static_cast<int>(u(f + 2, 2));
                span.rate = static_cast<int>(u(f + 4, 4) & 0x7FFFFFFF);
                bits = u(f + 14, 2);
                span.raw_format = raw_format(tag, bits, be);
            }
        } else if (std::memcmp(c, "data", 4) == 0) {
            if (!fmt) {
                return with_fault(span, "its samples (the data chunk) come before any fmt chunk to say what they are");
            }
            if (span.found) return with_fault(span, "it has a second data chunk: a WAV file holds its samples in one");
            span.found = true;
            span.start = pos + 8;
            if (kind == container::rf64 && size == 0xFFFFFFFF) {
                span.bytes = ds64_data;
                span.placeholder = ds64_data == ALL;
            } else {
                span.bytes = size;
                span.placeholder = placeholder_length(size);
            }
            span.unfinished = kind == container::wav && size == 0 &&
                              (8 + riff_size < span.start || samples_follow(s, span.start, add(8, riff_size), be));
            // The samples run to the end, or come from a pipe: no chunk
            // after them is looked at.
            if (span.placeholder || span.unfinished || s.mem != nullptr) break;
        }
        pos = next_chunk(pos, 8, size);
    }
    if (!span.found) return {};
    if ((tag == 1 || tag == 3) && span.raw_format == 0) {
        return with_fault(span, words({"its fmt chunk gives ", std::to_string(bits), "-bit ",
                                       tag == 1 ? "integer" : "floating-point",
                                       " samples; zek reads integers of 1 to 32 bits and floats of 32 or 64"}));
    }
    if (span.unfinished && span.raw_format == 0) {
        return with_fault(span, "its data chunk gives a size of 0 with samples after it, and they are compressed: "
                                "where they end cannot be told");
    }
    return span;
}

// Sony Wave64: 16-byte GUIDs and 64-bit sizes that count their own 24-byte
// header, each chunk on an 8-byte boundary.
sample_span w64_samples(const header_source& s) {
    static constexpr unsigned char DATA[16] = {'d', 'a', 't', 'a', 0xF3, 0xAC, 0xD3, 0x11,
                                               0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    std::uint64_t pos = 40; // after the riff chunk's header and the wave GUID
    for (int k = 0; k < MAX_CHUNKS; ++k) {
        unsigned char c[24];
        if (!get(s, pos, c, sizeof c)) return {};
        const std::uint64_t size = little(c + 16, 8);
        if (std::memcmp(c, DATA, sizeof DATA) == 0) {
            sample_span span;
            span.found = true;
            span.start = pos + 24;
            span.bytes = size >= 24 ? size - 24 : 0;
            span.placeholder = size == ALL || span.bytes == 0; // sox into a pipe: 0, samples follow
            return span;
        }
        if (size < 24) return {};
        pos = add(pos, add(size, 7) & ~std::uint64_t{7});
    }
    return {};
}

// AIFF and AIFC: the frames in COMM, the samples in SSND, in either order.
sample_span aiff_samples(const header_source& s) {
    unsigned char h[12];
    if (!get(s, 0, h, sizeof h)) return {};
    const bool aifc = std::memcmp(h + 8, "AIFC", 4) == 0;
    std::uint64_t frames = 0, channels = 0, sample_bytes = 0;
    bool comm = false;
    sample_span span;
    std::uint64_t pos = 12;
    for (int k = 0; k < MAX_CHUNKS && !(comm && span.found); ++k) {
        unsigned char c[8];
        if (!get(s, pos, c, sizeof c)) break;
        const std::uint64_t size = big(c + 4, 4);
        if (std::memcmp(c, "COMM", 4) == 0) {
            unsigned char m[22] = {};
            const std::size_t n = size < sizeof m ? static_cast<std::size_t>(size) : sizeof m;
            if (n >= 18 && get(s, pos + 8, m, n)) {
                comm = true;
                channels = big(m, 2);
                frames = big(m + 2, 4);
                sample_bytes = (big(m + 6, 2) + 7) / 8;
                // AIFC names its encoding: byte counts for the uncompressed ones only.
                const char* kind = reinterpret_cast<const char*>(m + 18);
                if (aifc && n == sizeof m) {
                    if (!std::memcmp(kind, "fl32", 4) || !std::memcmp(kind, "FL32", 4)) sample_bytes = 4;
                    else if (!std::memcmp(kind, "fl64", 4) || !std::memcmp(kind, "FL64", 4)) sample_bytes = 8;
                    else if (!std::memcmp(kind, "ulaw", 4) || !std::memcmp(kind, "alaw", 4) ||
                             !std::memcmp(kind, "ULAW", 4) || !std::memcmp(kind, "ALAW", 4)) sample_bytes = 1;
                    else if (std::memcmp(kind, "NONE", 4) && std::memcmp(kind, "twos", 4) &&
                             std::memcmp(kind, "sowt", 4) && std::memcmp(kind, "in24", 4) &&
                             std::memcmp(kind, "in32", 4) && std::memcmp(kind, "raw ", 4)) sample_bytes = 0;
                }
            }
        } else if (std::memcmp(c, "SSND", 4) == 0) {
            unsigned char o[4];
            if (!get(s, pos + 8, o, sizeof o)) break;
            const std::uint64_t offset = big(o, 4);
            span.found = true;
            span.start = add(pos + 16, offset);
            span.room = size >= add(8, offset) ? size - 8 - offset : 0;
        }
        pos = next_chunk(pos, 8, size);
    }
    if (!span.found) return {};
    span.bytes = comm && sample_bytes > 0 ? mul(mul(frames, channels), sample_bytes) : span.room;
    span.placeholder = placeholder_length(span.bytes) || placeholder_length(span.room);
    return span;
}

// AU: the offset of the samples and their size, big-endian (".snd") or
// little-endian ("dns."); a size of 0xFFFFFFFF is "unknown".
sample_span au_samples(const header_source& s) {
    unsigned char h[12];
    if (!get(s, 0, h, sizeof h)) return {};
    const bool le = std::memcmp(h, "dns.", 4) == 0;
    sample_span span;
    span.found = true;
    span.start = le ? little(h + 4, 4) : big(h + 4, 4);
    span.bytes = le ? little(h + 8, 4) : big(h + 8, 4);
    span.placeholder = span.bytes == 0xFFFFFFFF;
    return span;
}

// CAF: 64-bit chunk sizes; a data size of -1 runs to the end of the file.
sample_span caf_samples(const header_source& s) {
    std::uint64_t pos = 8;
    for (int k = 0; k < MAX_CHUNKS; ++k) {
        unsigned char c[12];
        if (!get(s, pos, c, sizeof c)) return {};
        const std::uint64_t size = big(c + 4, 8);
        if (std::memcmp(c, "data", 4) == 0) {
            sample_span span;
            span.found = true;
            span.start = pos + 12;
            span.bytes = size;
            span.placeholder = size == ALL;
            return span;
        }
        if (size >> 63) return {};
        pos = add(pos, add(12, size));
    }
    return {};
}

// NIST SPHERE: a text header of "name -type value" lines; sample_count
// counts frames.
sample_span nist_samples(const header_source& s) {
    char h[4097] = {};
    if (!get(s, 0, reinterpret_cast<unsigned char*>(h), 16)) return {};
    const std::uint64_t header = std::strtoull(h + 8, nullptr, 10);
    if (header < 16) return {};
    const std::size_t n = header < sizeof h - 1 ? static_cast<std::size_t>(header) : sizeof h - 1;
    if (!get(s, 0, reinterpret_cast<unsigned char*>(h), n)) return {};
    h[n] = '\0';
    const auto field = [&h](const char* name, std::uint64_t otherwise) {
        const std::size_t len = std::strlen(name);
        for (const char* p = std::strstr(h, name); p != nullptr; p = std::strstr(p + 1, name)) {
            if ((p == h || p[-1] == '\n') && std::strncmp(p + len, " -i ", 4) == 0) {
                errno = 0;
                const std::uint64_t v = std::strtoull(p + len + 4, nullptr, 10);
                return errno == ERANGE ? ALL : v;
            }
        }
        return otherwise;
    };
    const std::uint64_t frames = field("sample_count", ALL);
    if (frames == ALL) return {};
    sample_span span;
    span.found = true;
    span.start = header;
    span.bytes = mul(mul(frames, field("channel_count", 1)), field("sample_n_bytes", 2));
    return span;
}

// VOC: blocks of a type byte (1 to 9) and a 24-bit size, to a terminating 0
// or the end of the file. Only the first block's size is trusted to find a
// cut file: later "blocks" may be samples. sox writes a stereo or 16-bit
// block's size 8 bytes short, and a block of 16 MiB or more with its size
// wrapped to 24 bits, so a walk lands inside the samples on whatever byte
// lies there. A later block therefore counts only when it lies wholly in the
// file, and the walk ends at the first that does not.
sample_span voc_samples(const header_source& s) {
    unsigned char h[22];
    if (!get(s, 0, h, sizeof h)) return {};
    sample_span span;
    span.start = little(h + 20, 2);
    std::uint64_t pos = span.start;
    for (int k = 0; k < MAX_CHUNKS; ++k) {
        unsigned char b[4];
        const bool block = get(s, pos, b, 1) && b[0] != 0 && b[0] <= 9;
        const std::uint64_t end = block && get(s, pos, b, sizeof b) ? pos + 4 + little(b + 1, 3) : pos + 4;
        if (!block || (k > 0 && (end == pos + 4 || !get(s, end - 1, b, 1)))) {
            span.found = true;
            span.bytes = pos - span.start;
            return span;
        }
        pos = end;
    }
    return {};
}

} // namespace

sample_span plain_wav_samples(int fd, std::uint64_t base, std::uint64_t file_bytes) {
    unsigned char h[46];
    const header_source s{nullptr, 0, fd, base};
    if (file_bytes < 44 || !get(s, 0, h, 44)) return {};
    const std::uint64_t fmt_size = little(h + 16, 4);
    if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVEfmt ", 8) != 0 || (fmt_size != 16 && fmt_size != 18)) {
        return {};
    }
    const std::uint64_t data_at = 20 + fmt_size; // the "data" chunk's header
    if (fmt_size == 18 && (!get(s, 0, h, 46) || little(h + 36, 2) != 0)) return {}; // cbSize 0: nothing follows
    unsigned char d[8];
    if (!get(s, data_at, d, sizeof d) || std::memcmp(d, "data", 4) != 0) return {};
    const std::uint64_t channels = little(h + 22, 2), rate = little(h + 24, 4), block = little(h + 32, 2);
    const std::uint64_t bytes = little(d + 4, 4), start = data_at + 8;
    const bool plain = little(h + 20, 2) == 1 && (channels == 1 || channels == 2) && little(h + 34, 2) == 16 &&
                       block == 2 * channels && little(h + 28, 4) == rate * block && bytes % block == 0 &&
                       start + bytes == file_bytes && little(h + 4, 4) + 8 == file_bytes;
    if (!plain) return {};
    sample_span span;
    span.found = true;
    span.start = start;
    span.bytes = bytes;
    span.channels = static_cast<int>(channels);
    span.rate = static_cast<int>(rate);
    span.raw_format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    return span;
}

bool placeholder_length(std::uint64_t bytes) {
    const auto below = [bytes](std::uint64_t mark) { return bytes <= mark && mark - bytes <= 0xFFFF; };
    return bytes >= 0xFFFF0000 || below(0x7F000000) || below(0x80000000);
}

sample_span find_samples(const header_source& src, container kind) {
    switch (kind) {
    case container::wav: case container::rf64: return wav_samples(src, kind);
    case container::w64: return w64_samples(src);
    case container::aiff: return aiff_samples(src);
    case container::au: return au_samples(src);
    case container::caf: return caf_samples(src);
    case container::nist: return nist_samples(src);
    case container::voc: return voc_samples(src);
    default: return {};
    }
}

} // namespace zek
