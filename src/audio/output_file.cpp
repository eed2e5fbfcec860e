#include "audio/output_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "audio/file_io.h"

namespace zek {

namespace {

constexpr int MAX_LINKS = 40; // symbolic links followed, as the kernel does

// Splits `text` at its last '/' into a directory and a name, and opens the
// directory relative to `base_fd` (its previous value is closed). Returns 0,
// or an errno; `plain` is false, and nothing is opened, when the name is no
// file name ("", ".", "..").
int enter(output_file& f, int base_fd, const char* text, bool& plain) {
    const char* slash = std::strrchr(text, '/');
    const char* name = slash ? slash + 1 : text;
    plain = *name != '\0' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
    if (!plain) return 0;
    if (std::strlen(name) > NAME_MAX) return ENAMETOOLONG;
    char dir[PATH_MAX];
    const std::size_t dir_len = slash == nullptr ? 0 : slash == text ? 1 : static_cast<std::size_t>(slash - text);
    if (dir_len >= sizeof dir) return ENAMETOOLONG;
    std::memcpy(dir, dir_len > 0 ? text : ".", dir_len > 0 ? dir_len : 1);
    dir[dir_len > 0 ? dir_len : 1] = '\0';
    const int dir_fd = open_file(dir, O_PATH | O_DIRECTORY | O_CLOEXEC, 0, base_fd);
    if (dir_fd < 0) return errno;
    if (f.dir_fd >= 0) close(f.dir_fd);
    f.dir_fd = dir_fd;
    std::strcpy(f.name, name);
    return 0;
}

bool on_procfs(int dir_fd) {
    struct statfs fs {};
    return fstatfs(dir_fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Follows symbolic links from f.path to the file they end at (which need not
// exist yet): its directory and name. Sets `by_path` for a path that is left
// to be opened as it is: a name that is no file name ("", ".", ".."), where
// opening fails as it always did, and a descriptor link of /proc (/dev/fd/3),
// whose target has no name a rename could go to. Returns 0 or an errno.
int resolve(output_file& f, bool& by_path) {
    bool plain = false;
    int err = enter(f, AT_FDCWD, f.path, plain);
    for (int links = 0; err == 0 && plain && !on_procfs(f.dir_fd); ++links) {
        char target[PATH_MAX];
        const ssize_t n = readlinkat(f.dir_fd, f.name, target, sizeof target);
        if (n < 0) return errno == EINVAL || errno == ENOENT ? 0 : errno; // not a link, or nothing yet
        if (links == MAX_LINKS) return ELOOP;
        if (static_cast<std::size_t>(n) >= sizeof target) return ENAMETOOLONG;
        target[n] = '\0';
        err = enter(f, f.dir_fd, target, plain);
    }
    by_path = true;
    return err;
}

void release(output_file& f) {
    if (f.dir_fd >= 0) close(f.dir_fd);
    f.dir_fd = -1;
}

// ".NAME.zek-XXXXXXXX", unique enough; O_EXCL or linkat makes sure.
void make_temp_name(output_file& f) {
    static std::atomic<std::uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
                      (counter++ * 0x9E3779B97F4A7C15u);
    x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9u;
    std::snprintf(f.temp_name, sizeof f.temp_name, ".%.*s.zek-%08x", NAME_MAX - 14, f.name,
                  static_cast<unsigned>(x >> 32));
}

// The temporary file for f.fd: unnamed where the file system can (O_TMPFILE),
// so that nothing is left behind even when the process is killed; it gets a
// name only at commit. Elsewhere a named one, removed on failure.
int create_temp(output_file& f) {
    const mode_t mode = f.exists ? f.st.st_mode & 0777 : 0666;
    f.fd = open_file(".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode, f.dir_fd);
    if (f.fd >= 0) {
        char proc[32]; // the name linkat gives it a name through, at commit
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", f.fd);
        if (faccessat(AT_FDCWD, proc, F_OK, AT_SYMLINK_NOFOLLOW) == 0) return 0;
        close(f.fd);
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return errno; // no room, no permission: a named file would fare no better
    }
    // No O_TMPFILE here: EOPNOTSUPP from the file system (NFS), EISDIR or
    // EINVAL from an older kernel; or no /proc to name the file through.
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temp_name(f);
        f.fd = open_file(f.temp_name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode, f.dir_fd);
        if (f.fd >= 0) return 0;
        if (errno != EEXIST) break;
    }
    f.temp_name[0] = '\0';
    return errno;
}

// Gives the unnamed temporary file a name in the output's directory.
int name_temp(output_file& f) {
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", f.fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        make_temp_name(f);
        if (linkat(AT_FDCWD, proc, f.dir_fd, f.temp_name, AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno != EEXIST) break;
    }
    f.temp_name[0] = '\0';
    return errno;
}

void discard_temp(output_file& f) {
    if (f.fd >= 0) close(f.fd);
    f.fd = -1;
    if (f.target_fd >= 0) close(f.target_fd); // an output written in place: untouched
    f.target_fd = -1;
    if (f.temp_name[0] != '\0') unlinkat(f.dir_fd, f.temp_name, 0);
    f.temp_name[0] = '\0';
}

// What a rename keeps of the old output: its owner and group where we may
// set them, and its permission bits.
bool keep_owner_and_mode(output_file& f) {
    struct stat now {};
    if (fstat(f.fd, &now) != 0) return false;
    if ((now.st_uid != f.st.st_uid || now.st_gid != f.st.st_gid) && fchown(f.fd, f.st.st_uid, f.st.st_gid) != 0) {
        return false;
    }
    return fchmod(f.fd, f.st.st_mode & 07777) == 0;
}

// Puts the written temporary file in the output's place. An existing output
// is swapped with it (RENAME_EXCHANGE) and then removed, not renamed over:
// ext4 takes a rename over an existing file for an application replacing a
// file without fsync and flushes the whole new file to disk in the rename
// (auto_da_alloc), which made replacing an output half as slow again as
// writing a new one. The swap is as atomic for anyone opening the output.
// Where it is not supported (NFS, older kernels), or the old output is gone
// meanwhile, a plain rename does the same.
int put_in_place(output_file& f) {
    if (f.exists && renameat2(f.dir_fd, f.temp_name, f.dir_fd, f.name, RENAME_EXCHANGE) == 0) {
        unlinkat(f.dir_fd, f.temp_name, 0); // the old output, under the temporary name
        f.temp_name[0] = '\0';
        return 0;
    }
    if (f.exists && errno != EINVAL && errno != ENOSYS && errno != ENOENT) return errno;
    return renameat(f.dir_fd, f.temp_name, f.dir_fd, f.name) == 0 ? 0 : errno;
}

// Whether renaming over the existing output keeps what users rely on.
bool may_replace(const output_file& f) {
    // Hard links: the other names would keep the old contents, where a user
    // who linked them expects every name to show the new output.
    if (f.st.st_nlink > 1) return false;
    // A sticky directory (/tmp) refuses the rename of another user's file
    // over it, after the whole output was written; only writing in place works.
    struct stat dir {};
    const uid_t me = geteuid();
    return fstat(f.dir_fd, &dir) == 0 && (!(dir.st_mode & S_ISVTX) || me == 0 || me == dir.st_uid || me == f.st.st_uid);
}

// The spool of an output written in place: an unnamed file, so that nothing
// is left behind even when the run is killed. Beside the output where we may
// create files (the same disk, as a replacement would use), else in $TMPDIR
// or /tmp, else in memory.
int create_spool(output_file& f) {
    if (f.dir_fd >= 0) {
        f.fd = open_file(".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600, f.dir_fd);
        if (f.fd >= 0) return 0;
    }
    const char* tmpdir = std::getenv("TMPDIR");
    for (const char* dir : {tmpdir != nullptr && *tmpdir == '/' ? tmpdir : "/tmp", "/tmp"}) {
        f.fd = open_file(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (f.fd >= 0) return 0;
        char name[PATH_MAX]; // no O_TMPFILE there: a named file, unnamed at once
        if (std::snprintf(name, sizeof name, "%s/.zek-spool-XXXXXX", dir) >= static_cast<int>(sizeof name)) continue;
        f.fd = mkostemp(name, O_CLOEXEC);
        if (f.fd >= 0) {
            unlink(name);
            return 0;
        }
    }
    f.fd = memfd_create("zek-output", MFD_CLOEXEC);
    return f.fd < 0 ? errno : 0;
}

// An existing output that must keep its inode: opened now, so that a file
// we may not write is refused before the run, and written only at commit.
int open_in_place(output_file& f) {
    f.way = output_way::in_place;
    f.target_fd = f.dir_fd >= 0 ? open_file(f.name, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0, f.dir_fd)
                                : open_file(f.path, O_WRONLY | O_CLOEXEC);
    if (f.target_fd < 0) return errno;
    if (const int err = create_spool(f)) {
        close(f.target_fd);
        f.target_fd = -1;
        return err;
    }
    return 0;
}

// Copies `size` bytes from the start of `from` to the start of `to`: in the
// kernel where it can, else through a buffer.
int copy_from_start(int from, int to, off_t size) {
    off_t in = 0, out = 0;
    while (in < size) {
        const ssize_t n = copy_file_range(from, &in, to, &out, static_cast<std::size_t>(size - in), 0);
        if (n > 0) continue;
        if (n == 0) return EIO; // the spool is shorter than it says
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return errno;
        break; // across file systems on older kernels, or not supported there: copy it ourselves
    }
    unsigned char buf[64 * 1024];
    while (in < size) {
        const std::size_t want = static_cast<std::size_t>(size - in < off_t{sizeof buf} ? size - in : off_t{sizeof buf});
        const ssize_t n = pread(from, buf, want, in);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? EIO : errno;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = pwrite(to, buf + done, static_cast<std::size_t>(n - done), out);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return w == 0 ? EIO : errno;
            done += w;
            out += w;
        }
        in += n;
    }
    return 0;
}

// The one window in which an output written in place can be lost: the copy
// of the finished spool into it. Concurrent runs onto one file take turns
// (the lock), so the file ends as one run's output, never a mix; room for
// the new length is reserved first, so that a full disk is met before a
// byte of the old output changes; and the signals that end a run wait until
// the copy is whole.
int commit_in_place(output_file& f) {
    struct stat spool {}, old {};
    if (fstat(f.fd, &spool) != 0) return errno;
    while (flock(f.target_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            if (errno == ENOLCK || errno == EOPNOTSUPP) break; // a file system without locks: unguarded
            return errno;
        }
    }
    if (spool.st_size > 0 && fallocate(f.target_fd, FALLOC_FL_KEEP_SIZE, 0, spool.st_size) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
        return errno;
    }
    sigset_t ending {}, before {};
    sigemptyset(&ending);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ}) sigaddset(&ending, sig);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    int err = copy_from_start(f.fd, f.target_fd, spool.st_size);
    if (err == 0 && fstat(f.target_fd, &old) != 0) err = errno;
    if (err == 0 && old.st_size > spool.st_size && ftruncate(f.target_fd, spool.st_size) != 0) err = errno;
    if (close(f.target_fd) != 0 && err == 0) err = errno; // a deferred write error (NFS, quota)
    f.target_fd = -1;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return err;
}

int open_replacement(output_file& f) {
    if (f.exists) {
        // A file the user may not write stays protected, as it was when the
        // tool wrote in place (renaming needs only the directory's permission).
        if (faccessat(f.dir_fd, f.name, W_OK, AT_EACCESS) != 0) return errno;
        if (!may_replace(f)) return open_in_place(f);
    }
    const int err = create_temp(f);
    // A directory we may not create files in still lets us write a file in
    // it that we may write: in place, as before.
    if ((err == EACCES || err == EPERM) && f.exists) return open_in_place(f);
    if (err != 0) return err;
    if (f.exists && !keep_owner_and_mode(f)) {
        discard_temp(f);
        return open_in_place(f); // another user's file, say: a new file would be ours
    }
    return 0;
}

} // namespace

bool names_standard_output(const char* path) {
    if (standard_stream_named(path) == STDOUT_FILENO) return true;
    struct stat named {}, std_out {};
    return standard_stream_usable(STDOUT_FILENO) && stat(path, &named) == 0 && fstat(STDOUT_FILENO, &std_out) == 0 &&
           named.st_dev == std_out.st_dev && named.st_ino == std_out.st_ino;
}

int output_find(output_file& f, const char* path) {
    f = output_file{};
    f.path = path;
    if (names_standard_output(path)) {
        f.way = output_way::standard_output;
        f.exists = standard_stream_usable(STDOUT_FILENO) && fstat(STDOUT_FILENO, &f.st) == 0;
        return 0;
    }
    f.way = output_way::replace;
    bool by_path = false;
    int err = resolve(f, by_path);
    if (err == 0 && by_path) {
        f.exists = stat(path, &f.st) == 0;
        f.way = f.exists && S_ISREG(f.st.st_mode) ? output_way::in_place : output_way::direct;
    } else if (err == 0 && fstatat(f.dir_fd, f.name, &f.st, AT_SYMLINK_NOFOLLOW) == 0) {
        f.exists = true;
        if (!S_ISREG(f.st.st_mode)) f.way = output_way::direct;
    } else if (err == 0 && errno != ENOENT) {
        err = errno;
    }
    if (err != 0 || f.way != output_way::replace) release(f);
    return err;
}

int output_open(output_file& f) {
    int err = 0;
    switch (f.way) {
    case output_way::standard_output:
        if (!standard_stream_usable(STDOUT_FILENO)) return EBADF; // closed when the tool started
        f.fd = STDOUT_FILENO;
        return 0;
    case output_way::direct:
        f.fd = open_file(f.path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        return f.fd < 0 ? errno : 0;
    case output_way::replace: err = open_replacement(f); break;
    case output_way::in_place: err = open_in_place(f); break;
    }
    if (err != 0) release(f);
    return err;
}

int output_commit(output_file& f) {
    int err = 0;
    if (f.way == output_way::replace && f.temp_name[0] == '\0') err = name_temp(f);
    if (f.way == output_way::in_place && f.target_fd >= 0) err = commit_in_place(f);
    if (f.fd >= 0 && f.way != output_way::standard_output && close(f.fd) != 0 && err == 0) {
        err = errno; // where a deferred write error (NFS, quota) shows; it counts
    }
    f.fd = -1;
    if (f.way == output_way::replace && err == 0) err = put_in_place(f);
    if (err != 0) discard_temp(f);
    release(f);
    return err;
}

void output_abandon(output_file& f) {
    if (f.way == output_way::standard_output) f.fd = -1;
    discard_temp(f);
    release(f);
}

} // namespace zek
