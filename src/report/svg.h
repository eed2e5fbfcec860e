// The report's plot: input and output level envelopes above, the gain below,
// on one time axis. Written as SVG text, with no library.
#ifndef ZEK_REPORT_SVG_H
#define ZEK_REPORT_SVG_H

#include <string>

#include "report/levels.h"

namespace zek {

std::string render_svg(const report& r, const char* in_path, const char* out_path);

} // namespace zek

#endif
