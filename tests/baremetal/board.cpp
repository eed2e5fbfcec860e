// Start-up for the MPS2 AN386 board (Cortex-M4) under qemu-system-arm, and
// semihosting. The linker script puts the vector table at address 0, where
// the core reads its initial stack pointer and reset address.
#include "board.h"

#include <cstddef>
#include <cstdint>

namespace {

// Semihosting: operation in r0, its argument block in r1, then bkpt 0xAB.
int semihost(int op, const void* arg) {
    register int r0 asm("r0") = op;
    register const void* r1 asm("r1") = arg;
    asm volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

enum : int { SYS_OPEN = 0x01, SYS_CLOSE = 0x02, SYS_WRITE0 = 0x04, SYS_WRITE = 0x05, SYS_READ = 0x06, SYS_EXIT = 0x18 };
constexpr int APPLICATION_EXIT = 0x20026, RUN_TIME_ERROR = 0x20023;

[[gnu::optimize("no-tree-loop-distribute-patterns")]] int length(const char* s) {
    int n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

} // namespace

namespace board {

int open(const char* path, mode m) {
    const std::intptr_t block[3] = {reinterpret_cast<std::intptr_t>(path), m, length(path)};
    return semihost(SYS_OPEN, block);
}

// SYS_READ and SYS_WRITE return how many bytes were NOT transferred.
int read(int handle, void* buf, int size) {
    const std::intptr_t block[3] = {handle, reinterpret_cast<std::intptr_t>(buf), size};
    return size - semihost(SYS_READ, block);
}

bool write(int handle, const void* buf, int size) {
    const std::intptr_t block[3] = {handle, reinterpret_cast<std::intptr_t>(buf), size};
    return semihost(SYS_WRITE, block) == 0;
}

void close(int handle) {
    const std::intptr_t block[1] = {handle};
    semihost(SYS_CLOSE, block);
}

void print(const char* text) { semihost(SYS_WRITE0, text); }

void print(unsigned number) {
    char digits[12];
    char* p = digits + sizeof digits;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    print(p);
}

void exit(bool ok) {
    semihost(SYS_EXIT, reinterpret_cast<const void*>(ok ? APPLICATION_EXIT : RUN_TIME_ERROR));
    for (;;) {
    }
}

} // namespace board

// The compiler may turn copy and fill loops into these calls; with no C
// library linked, the firmware brings its own (and they must not call
// themselves, hence plain loops the optimiser leaves alone).
extern "C" {
[[gnu::optimize("no-tree-loop-distribute-patterns")]] void* memcpy(void* dst, const void* src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    while (n-- > 0) *d++ = *s++;
    return dst;
}
// Overlapping runs (a window of stretches shifted along) copy from the end.
[[gnu::optimize("no-tree-loop-distribute-patterns")]] void* memmove(void* dst, const void* src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (n-- > 0) *d++ = *s++;
    } else {
        while (n-- > 0) d[n] = s[n];
    }
    return dst;
}
[[gnu::optimize("no-tree-loop-distribute-patterns")]] void* memset(void* dst, int c, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    while (n-- > 0) *d++ = static_cast<unsigned char>(c);
    return dst;
}

int main();
extern std::uint32_t __bss_start__[], __bss_end__[], __stack_top__[];

[[noreturn]] void reset_handler() {
    for (std::uint32_t* p = __bss_start__; p < __bss_end__; ++p) *p = 0;
    board::exit(main() == 0);
}

// The core starts from the first two words: the stack pointer, then the
// reset handler. Nothing else is expected to interrupt this program.
struct vector_table {
    void* stack;
    void (*reset)();
};
[[gnu::section(".vectors"), gnu::used]] const vector_table vectors = {__stack_top__, reset_handler};
}
