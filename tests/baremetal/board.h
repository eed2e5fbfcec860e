// What the firmware has of its board: start-up, and the host's files and
// console through semihosting (the debugger's, here the emulator's, system
// calls). Nothing else: no C library is linked.
#ifndef ZEK_TESTS_BAREMETAL_BOARD_H
#define ZEK_TESTS_BAREMETAL_BOARD_H

namespace board {

enum mode { READ_BINARY = 1, WRITE_BINARY = 5 }; // semihosting's fopen modes "rb" and "wb"

// A host file: a handle, or -1.
int open(const char* path, mode m);
// Reads up to `size` bytes; returns how many came (0 at the end).
int read(int handle, void* buf, int size);
// Writes all `size` bytes; false if the host took fewer.
bool write(int handle, const void* buf, int size);
void close(int handle);

// Text on the emulator's console.
void print(const char* text);
void print(unsigned number);

// Ends the run: the emulator exits with status 0, or 1 when !ok.
[[noreturn]] void exit(bool ok);

} // namespace board

#endif
