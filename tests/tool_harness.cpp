#include "tool_harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harness {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

} // namespace

child spawn(const std::string& program, const std::vector<std::string>& args, const std::filesystem::path& cwd,
            std::array<int, 2> std_fds) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    check(pipe2(in_pipe, O_CLOEXEC) == 0 && pipe2(out_pipe, O_CLOEXEC) == 0 &&
              pipe2(err_pipe, O_CLOEXEC) == 0,
          "pipe");

    // posix_spawn has no portable chdir action, so a tiny /bin/sh wrapper
    // changes to `cwd` and then execs the program itself.
    std::vector<std::string> argv_s = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", cwd.string(), program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, std_fds[0] >= 0 ? std_fds[0] : in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, std_fds[1] >= 0 ? std_fds[1] : out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    // The child starts with default SIGPIPE handling, as from a shell.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
    for (int* unused : {std_fds[0] >= 0 ? &in_pipe[1] : nullptr, std_fds[1] >= 0 ? &out_pipe[0] : nullptr}) {
        if (unused) close(*unused), *unused = -1;
    }
    return {pid, in_pipe[1], out_pipe[0], err_pipe[0]};
}

int wait_status(pid_t pid, long* max_rss_kib) {
    int wstatus = 0;
    rusage usage{};
    while (wait4(pid, &wstatus, 0, &usage) < 0 && errno == EINTR) {
    }
    if (max_rss_kib) *max_rss_kib = usage.ru_maxrss;
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

result run(const std::string& program, const std::vector<std::string>& args,
           const std::filesystem::path& cwd, const std::string& input) {
    const child c = spawn(program, args, cwd);
    int in_pipe[2] = {-1, c.in}, out_pipe[2] = {c.out, -1}, err_pipe[2] = {c.err, -1};

    // Feed stdin and drain both outputs together so that no pipe fills up.
    result r;
    std::size_t fed = 0;
    // Non-blocking, so that a large input is fed in pieces between reads.
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    }
    signal(SIGPIPE, SIG_IGN);
    pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {in_pipe[1], POLLOUT, 0}};
    int open_outputs = 2;
    while (open_outputs > 0 || in_pipe[1] >= 0) {
        fds[2].fd = in_pipe[1];
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            const ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_outputs;
            }
        }
        if (in_pipe[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(in_pipe[1], input.data() + fed, input.size() - fed);
            if (n > 0) fed += static_cast<std::size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || fed == input.size()) {
                close(in_pipe[1]);
                in_pipe[1] = -1;
            }
        }
    }
    r.status = wait_status(c.pid, &r.max_rss_kib);
    return r;
}

result zek(const std::vector<std::string>& args, const std::filesystem::path& cwd,
           const std::string& input) {
    return run(ZEK_BINARY, args, cwd, input);
}

child zek_spawn(const std::vector<std::string>& args) { return spawn(ZEK_BINARY, args, "."); }

std::filesystem::path make_temp_dir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zek-test-XXXXXX").string();
    check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    return tmpl;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + p.string());
    return {std::istreambuf_iterator<char>(f), {}};
}

void write_file(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + p.string());
}

std::vector<std::string> names_in(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string to_bytes(const std::vector<std::int16_t>& samples) {
    std::string b;
    b.reserve(samples.size() * 2);
    for (std::int16_t s : samples) {
        const auto u = static_cast<std::uint16_t>(s);
        b.push_back(static_cast<char>(u & 0xFF));
        b.push_back(static_cast<char>(u >> 8));
    }
    return b;
}

std::vector<std::int16_t> to_samples(const std::string& bytes) {
    std::vector<std::int16_t> s(bytes.size() / 2);
    for (std::size_t k = 0; k < s.size(); ++k) {
        const auto lo = static_cast<unsigned char>(bytes[2 * k]);
        const auto hi = static_cast<unsigned char>(bytes[2 * k + 1]);
        s[k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
    }
    return s;
}

std::string mount_tmpfs(const std::filesystem::path& at, int kib) {
    std::filesystem::create_directories(at);
    const std::string options = "size=" + std::to_string(kib) + "k";
    if (mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) return "";
    return std::string("cannot mount a tmpfs here (") + std::strerror(errno) + ")";
}

void unmount(const std::filesystem::path& at) { umount2(at.c_str(), MNT_DETACH); }

bool have_program(const std::string& name) {
    return run("/bin/sh", {"-c", "command -v \"$0\" >/dev/null", name}).status == 0;
}

} // namespace harness
