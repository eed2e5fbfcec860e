// Memory for a run's blocks. A fresh page costs a fault on its first touch,
// and a virtual machine makes faults dear (here about 3 us each, 11 ms for
// the 4 MB a long run's blocks take, a tenth of the whole run): the blocks
// are asked for in huge pages (2 MiB, one fault each) where the kernel
// offers them for the asking, and a short input gets blocks no larger than
// it needs.
#ifndef ZEK_BLOCK_MEMORY_H
#define ZEK_BLOCK_MEMORY_H

#include <cstddef>

namespace zek {

// `bytes` of zeroed memory, aligned to 2 MiB; nullptr when there is none.
void* blocks_alloc(std::size_t bytes);

// Frees what blocks_alloc gave for `bytes` (nullptr is fine). The thread
// keeps the last blocks it freed for its next blocks_alloc of that size.
void blocks_free(void* p, std::size_t bytes);

} // namespace zek

#endif
