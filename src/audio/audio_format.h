// The audio containers zek reads and writes through libsndfile: recognised in
// an input by its first bytes (never by its name), named for an output by the
// output's extension.
#ifndef ZEK_AUDIO_FORMAT_H
#define ZEK_AUDIO_FORMAT_H

#include <cstddef>

namespace zek {

enum class container { none, wav, rf64, w64, aiff, flac, au, caf, nist, voc, raw };

// Bytes enough to recognise every container by its start.
inline constexpr std::size_t SNIFF_BYTES = 16;

// The container an input starting with `head` (n bytes) is in; none for
// anything else, which is a raw sample file.
container sniff_container(const unsigned char* head, std::size_t n);

// The name of a compressed format that zek recognises but does not read
// (Ogg, MP3 and other MPEG audio, AAC, MP4/M4A, Matroska/WebM, WMA/ASF,
// WavPack, TTA, AC-3, E-AC-3, DTS), or nullptr: such an input is refused,
// not taken for samples. A frame of MPEG audio, AAC, AC-3, E-AC-3 or DTS
// counts only when its header's fields are valid and the next frame follows
// where the header says: raw samples may start with the same bytes.
const char* sniff_compressed(const unsigned char* head, std::size_t n);

// The bytes sniff_compressed needs to see of an input starting with `head`
// (n bytes): SNIFF_BYTES, or more to reach the next frame after a frame
// header, at most COMPRESSED_SNIFF_MAX (a DTS frame is up to 16 KiB).
inline constexpr std::size_t COMPRESSED_SNIFF_MAX = 16384 + 16;
std::size_t compressed_sniff_bytes(const unsigned char* head, std::size_t n);

// The compressed format an output's extension names (.mp3, .ogg, .opus,
// .m4a, ...), which zek does not write, or nullptr.
const char* compressed_of_name(const char* path);

// The container an output's extension names (case-insensitive), or none.
// .raw and .pcm name raw: headerless 16-bit little-endian samples.
container container_of_name(const char* path);

// libsndfile's major format for a container (0 for none and raw).
int sndfile_major(container c);
// The container of a libsndfile major format, or none.
container container_of_major(int major);

// For messages: "WAV", "FLAC", ...
const char* container_name(container c);

// What works through a pipe. libsndfile reads these containers from a pipe
// intact; RF64 loses frames, CAF reads nothing, FLAC loses sync and VOC is
// refused. Into a pipe, zek writes WAV and raw itself and libsndfile writes
// AU; every other container needs to seek back to its header.
bool reads_from_pipe(container c);
bool writes_to_pipe(container c);

} // namespace zek

#endif
