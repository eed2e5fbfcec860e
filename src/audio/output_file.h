// Where a tool's output goes, and how an existing output is replaced: only
// when the run succeeds. A regular file, new or existing, is written as a
// temporary file in its directory and renamed over it on success; on failure
// the temporary file goes and the old output stays exactly as it was. An
// output that must keep its inode (hard links, another user's file, a
// directory we may not create files in) is spooled to an unnamed file and
// copied into the old one only on success, under a lock.
//
//   output_find    examines the path and touches nothing (the caller can refuse
//                  an output that is its input, and set up all else that can fail)
//   output_open    gives the descriptor to write
//   output_commit  puts the result in place; output_abandon removes it
//
// The writer of the descriptor can be anything: the tool's block writer, or a
// library writing to a descriptor.
#ifndef ZEK_OUTPUT_FILE_H
#define ZEK_OUTPUT_FILE_H

#include <climits>
#include <sys/stat.h>

namespace zek {

enum class output_way {
    standard_output, // descriptor 1 as it is: offset and append mode kept, never truncated or reopened
    direct,          // not a regular file (a pipe, a terminal, a device): opened and written as it is
    replace,         // a regular file: a temporary file renamed over it on success
    in_place,        // an existing regular file that a rename would change in ways users rely on:
                     // spooled, and copied into it on success
};

struct output_file {
    const char* path = nullptr; // as the user gave it
    output_way way = output_way::direct;
    bool exists = false; // st holds the existing output (or standard output)
    struct stat st {};
    int fd = -1;     // after output_open: what the writer writes (in_place: the spool)
    int target_fd = -1; // in_place: the existing output, opened to write at commit
    int dir_fd = -1; // replace and in_place: the directory that holds the output, symbolic links followed
    char name[NAME_MAX + 1] = {};      // the output's name in dir_fd
    char temp_name[NAME_MAX + 1] = {}; // replace: the temporary file's name; empty while it has none
};

// Whether `path` is the process's standard output: one of its names, or the
// same device and inode as descriptor 1.
bool names_standard_output(const char* path);

// Examines `path`: where the output goes and, if it exists, what it is.
// Returns 0, or the errno of the failure (a missing directory, a loop).
int output_find(output_file& f, const char* path);

// Opens what output_find chose; nothing existing is changed. Returns 0, or
// the errno of the failure, after which the output is as it was and f needs
// no abandon.
int output_open(output_file& f);

// Finishes a successful run: closes the descriptor (standard output stays
// open) and renames a temporary file over the output, keeping the old
// output's permission bits, or copies the spool into an output written in
// place. Returns 0, or the errno of the failure, after which the temporary
// file is gone and the old output is as it was, but for a failure during the
// copy into an output written in place (a disk error then), which leaves it
// part-written.
int output_commit(output_file& f);

// Ends a failed run, or one refused after output_find: closes what is open
// (the directory included) and removes a temporary file. Once ended, calling
// it again does nothing.
void output_abandon(output_file& f);

} // namespace zek

#endif
