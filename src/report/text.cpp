#include "report/text.h"

#include <cstdarg>
#include <cstdio>

namespace zek {

void appendf(std::string& s, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        const std::size_t at = s.size();
        s.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(s.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        s.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

} // namespace zek
