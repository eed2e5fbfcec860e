// The tool's whole run, callable in process (the entry point and the fuzzer use it).
#ifndef ZEK_RUN_H
#define ZEK_RUN_H

namespace zek {

enum exit_status : int {
    EXIT_OK = 0,         // processed, including empty and short inputs
    EXIT_FILE_ERROR = 1, // a file could not be opened, read or written, or in == out
    EXIT_USAGE = 2,      // missing arguments
};

// Command line: zek input output [ignored...], or -h/--help/--version alone.
int zek_main(int argc, char** argv);

// Processes the file at inp_path into out_path and reports failures on
// standard output and standard error. Returns an exit_status.
int run_files(const char* inp_path, const char* out_path);

} // namespace zek

#endif
