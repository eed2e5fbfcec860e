// printf-style appending to a string, for the report's table and plot.
#ifndef ZEK_REPORT_TEXT_H
#define ZEK_REPORT_TEXT_H

#include <string>

namespace zek {

void appendf(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace zek

#endif
