// A limiter in storage of its own, for the tool's passes: the record and its
// channels after it, aligned to 64 bytes as its lanes like them.
#ifndef ZEK_LIMITER_STORAGE_H
#define ZEK_LIMITER_STORAGE_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "agc/limiter.h"

namespace zek {

// Sizes `memory` for a limiter of `channels` channels and gives the limiter's
// place in it (not yet set up: limiter_init comes next).
inline agc::limiter* place_limiter(std::vector<unsigned char>& memory, int channels) {
    memory.resize(agc::limiter_size(channels) + 64);
    return reinterpret_cast<agc::limiter*>((reinterpret_cast<std::uintptr_t>(memory.data()) + 63) & ~std::uintptr_t{63});
}

// The same, owning its storage.
struct owned_limiter {
    std::vector<unsigned char> memory;
    agc::limiter* l;
    explicit owned_limiter(int channels) : l(place_limiter(memory, channels)) {}
    void copy_from(const owned_limiter& o) { std::memcpy(l, o.l, agc::limiter_size(o.l->channels)); }
};

} // namespace zek

#endif
