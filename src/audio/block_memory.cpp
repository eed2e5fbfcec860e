#include "audio/block_memory.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace zek {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Huge pages for half of one and more: below that, the few small faults cost
// less than clearing a whole huge page.
bool worth_huge(std::size_t bytes) { return bytes >= HUGE_PAGE / 2; }

std::size_t mapped(std::size_t bytes) {
    const std::size_t unit = worth_huge(bytes) ? HUGE_PAGE : static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + unit - 1) / unit * unit;
}

// The last blocks a thread freed, kept for its next run. A batch's job
// levels file after file: unmapping in a process with several threads
// interrupts every other CPU that ran one of them (to flush its TLB), which
// cost more than levelling a short file, and fresh pages fault again. Kept,
// the blocks are as they were at the run before: cleared, and ready.
struct kept_blocks {
    void* p = nullptr;
    std::size_t size = 0;
    ~kept_blocks() {
        if (p != nullptr) munmap(p, size);
    }
};
thread_local kept_blocks kept;

} // namespace

void* blocks_alloc(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    const std::size_t size = mapped(bytes);
    if (kept.p != nullptr && kept.size == size) {
        void* p = kept.p;
        kept.p = nullptr;
        std::memset(p, 0, bytes);
        return p;
    }
    const std::size_t slack = worth_huge(bytes) ? HUGE_PAGE : 0; // room to align to a huge page
    void* map = mmap(nullptr, size + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    if (slack == 0) return map;
    const auto at = reinterpret_cast<std::uintptr_t>(map);
    const std::uintptr_t start = (at + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
    if (start > at) munmap(map, start - at);
    if (start + size < at + size + slack) munmap(reinterpret_cast<void*>(start + size), at + slack - start);
    auto* p = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
    madvise(p, size, MADV_HUGEPAGE); // a hint: where it is refused or ignored, the pages stay small
#endif
    return p;
}

void blocks_free(void* p, std::size_t bytes) {
    if (p == nullptr) return;
    if (kept.p == nullptr) {
        kept.p = p;
        kept.size = mapped(bytes);
        return;
    }
    munmap(p, mapped(bytes));
}

} // namespace zek
