// The report's text: a summary and one row per second of the recording.
#ifndef ZEK_REPORT_TABLE_H
#define ZEK_REPORT_TABLE_H

#include <string>

#include "zek/report_levels.h"

namespace zek {

std::string render_table(const report& r, const char* in_path, const char* out_path);

} // namespace zek

#endif
