// The tool's whole file path in process on arbitrary bytes: any length, odd
// ones included, any samples. Whatever raw samples come in, the output must
// have the shape every recording gets: the length of the lead-in plus whole
// hops, the lead-in copied unchanged, the first processed hop silent, each
// later hop what the engine makes of the hop before it, and the input left as
// it was. Bytes that start like an audio file (the fuzzer finds the headers)
// must end in a clean success or a clean refusal that leaves no output.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/stat.h>

#include "engine_fixture.h"
#include "audio/audio_format.h"
#include "zek/tool.h"

namespace {

constexpr std::size_t LEAD = zek::LEAD_IN_SAMPLES, HOP = zek::hop;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_tool: %s\n", what);
    std::abort();
}

// The scratch files of the whole session, in a directory removed at exit.
struct scratch_files {
    std::string dir, inp, out;
};

const scratch_files& scratch() {
    static const scratch_files files = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/zek-fuzz-XXXXXX";
        check(mkdtemp(dir.data()) != nullptr, "cannot make a scratch directory");
        return scratch_files{dir, dir + "/in.raw", dir + "/out.raw"};
    }();
    static const int cleanup = std::atexit([] {
        std::remove(scratch().inp.c_str());
        std::remove(scratch().out.c_str());
        std::remove(scratch().dir.c_str());
    });
    (void)cleanup;
    return files;
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    check(f != nullptr, "cannot write the input");
    const bool ok = std::fwrite(data, 1, size, f) == size;
    check(std::fclose(f) == 0 && ok, "cannot write the input");
}

std::string read_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    check(f != nullptr, "cannot read a file back");
    std::string bytes;
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

// Descriptors this process has open: a run must give back every one it
// opened, or a batch of files through the library ends in "too many open files".
int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

std::int16_t sample_at(const std::uint8_t* bytes, std::size_t k) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const scratch_files& files = scratch();
    write_file(files.inp, data, size);
    std::remove(files.out.c_str()); // a new output, which must appear only when the run succeeds
    const int descriptors = open_descriptors();
    const zek::run_result r = zek::process_files(files.inp.c_str(), files.out.c_str());
    check(open_descriptors() == descriptors, "the run left a descriptor open");
    if (zek::sniff_container(data, size) != zek::container::none || zek::sniff_compressed(data, size) != nullptr) {
        struct stat st {};
        check(r.status == zek::EXIT_OK || r.status == zek::EXIT_FILE_ERROR, "an audio file ended oddly");
        check(r.status == zek::EXIT_OK || stat(files.out.c_str(), &st) != 0, "a refused audio file left an output");
        std::remove(files.out.c_str());
        return 0;
    }
    if (r.status != zek::EXIT_OK) {
        std::fprintf(stderr, "fuzz_tool: %s %s: %s (errno %d)\n", r.what ? r.what : "", r.path ? r.path : "",
                     r.reason.c_str(), r.err);
    }
    check(r.status == zek::EXIT_OK, "the run failed");
    const std::string out_bytes = read_file(files.out);
    const auto* out = reinterpret_cast<const std::uint8_t*>(out_bytes.data());

    // An odd last byte is no sample; a partial hop and the last whole hop stay
    // behind as history, so hop h of the output is input hop h - 1.
    const std::size_t samples = size / 2;
    const std::size_t lead = std::min(samples, LEAD);
    const std::size_t hops = samples > LEAD ? (samples - LEAD) / HOP : 0;
    check(out_bytes.size() == 2 * (lead + hops * HOP), "output length is not the lead-in plus whole hops");
    check(std::equal(out, out + 2 * lead, data), "the lead-in changed");

    agc_state state = builtin_state();
    agc_frame frame{};
    for (std::size_t h = 0; h < hops; ++h) {
        for (std::size_t j = 0; j < HOP; ++j) frame.in[j] = sample_at(data, LEAD + h * HOP + j);
        agc_process(frame, state, zek::mix);
        for (std::size_t j = 0; j < HOP; ++j) {
            const std::int16_t got = sample_at(out, LEAD + h * HOP + j);
            check(h > 0 || got == 0, "the first processed hop is not silent");
            check(got == frame.out[j], "a processed hop differs from the engine's");
        }
    }
    check(read_file(files.inp) == std::string(reinterpret_cast<const char*>(data), size), "the input changed");
    return 0;
}
