// Runs the real zek binary on real files, for end-to-end tests.
#ifndef ZEK_TESTS_TOOL_HARNESS_H
#define ZEK_TESTS_TOOL_HARNESS_H

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

struct result {
    int status = -1;    // exit status, or 128 + signal number
    std::string out;    // standard output
    std::string err;    // standard error
    long max_rss_kib = 0; // peak resident memory
};

// A running program with pipes to its standard input, output and error.
struct child {
    pid_t pid;
    int in, out, err;
};

// Starts `program args...` in `cwd`; the caller closes the pipes and waits.
// A descriptor in `std_fds` is given to the child as its standard input or
// output in place of a pipe (that pipe is then -1).
child spawn(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& cwd,
            std::array<int, 2> std_fds = {-1, -1});

// Waits for the child: its exit status, or 128 + signal number.
int wait_status(pid_t pid, long* max_rss_kib = nullptr);

// Runs `program args...` in `cwd`, feeding `input` on standard input.
result run(const std::string& program, const std::vector<std::string>& args,
           const std::filesystem::path& cwd = ".", const std::string& input = {});

// Runs the zek binary under test.
result zek(const std::vector<std::string>& args, const std::filesystem::path& cwd = ".",
           const std::string& input = {});

// A fresh directory under the system's temporary directory.
std::filesystem::path make_temp_dir();

// A test that works in a fresh temporary directory of its own, `dir`.
class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
};

// Starts the zek binary under test in the current directory.
child zek_spawn(const std::vector<std::string>& args);


std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& bytes);

// The names in a directory, hidden ones included, sorted.
std::vector<std::string> names_in(const std::filesystem::path& dir);

// Little-endian 16-bit samples to and from file bytes.
std::string to_bytes(const std::vector<std::int16_t>& samples);
std::vector<std::int16_t> to_samples(const std::string& bytes);

// Mounts a tmpfs of `kib` KiB on the directory `at`. Returns "" or why it
// could not (no privilege to mount here): the test is then skipped.
std::string mount_tmpfs(const std::filesystem::path& at, int kib);
void unmount(const std::filesystem::path& at);

// A temp_dir_test that can mount a small tmpfs at `small`, a disk that fills.
class small_disk_test : public temp_dir_test {
protected:
    // Returns "" when mounted, else why not: the test then skips.
    std::string mount_small(int kib) {
        small = dir / "small";
        const std::string why = mount_tmpfs(small, kib);
        mounted = why.empty();
        return why;
    }
    void TearDown() override {
        if (mounted) unmount(small);
        temp_dir_test::TearDown();
    }
    std::filesystem::path small;
    bool mounted = false;
};

// Whether a program is on PATH (for tests that need sox or espeak-ng).
bool have_program(const std::string& name);

} // namespace harness

#endif
