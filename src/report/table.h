// The report's text: one row per second of the recording, printed as each
// second is measured, between a heading and a summary.
#ifndef ZEK_REPORT_TABLE_H
#define ZEK_REPORT_TABLE_H

#include <cstddef>
#include <cstdio>

#include "report/levels.h"

namespace zek {

void print_heading(std::FILE* f, const report& r, const char* in_path, const char* out_path);
void print_row(std::FILE* f, std::size_t second, const second_levels& sec);
void print_summary(std::FILE* f, const report& r);

// The loudness of IN and OUT as one JSON object: {"input": {...}, "output":
// {...}}, each figure a number or null where it does not exist (silence).
void print_json(std::FILE* f, const report& r);

} // namespace zek

#endif
