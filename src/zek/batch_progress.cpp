// The batch's progress line and its summary, for people watching a terminal
// and for logs.
#include <cmath>
#include <cstdio>

#include "zek/batch.h"

namespace zek {

namespace {

// 0:07, 12:34, 1:02:03: whole seconds.
std::string clock_time(double seconds) {
    const auto s = static_cast<long long>(seconds < 0 ? 0 : std::llround(seconds));
    char buf[32];
    if (s >= 3600) {
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    }
    return buf;
}

std::string hours(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f h of audio", seconds / 3600);
    return buf;
}

// How many times real time: the audio levelled against the wall time.
std::string rate(double audio, double elapsed) {
    char buf[48];
    if (elapsed <= 0 || audio <= 0) return "";
    std::snprintf(buf, sizeof buf, ", %.0fx real time", audio / elapsed);
    return buf;
}

std::string count(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string progress_line(const batch_counts& c, double elapsed) {
    const std::uint64_t finished = c.levelled + c.skipped + c.failed;
    std::string line = std::to_string(finished) + " of " + count(c.total, "file", "files") + ", " +
                       hours(c.audio_seconds) + rate(c.audio_seconds, elapsed) + ", " + std::to_string(c.failed) +
                       " failed";
    // The time left from the bytes still to go at the pace of those done:
    // files of any length count for what they hold.
    if (c.bytes_finished > 0 && elapsed > 0 && c.bytes_total >= c.bytes_finished) {
        const double left = elapsed * static_cast<double>(c.bytes_total - c.bytes_finished) /
                            static_cast<double>(c.bytes_finished);
        line += ", " + clock_time(left) + " left";
    }
    return line;
}

std::string summary_line(const batch_counts& c, double elapsed, bool interrupted) {
    std::string line = count(c.total, "file", "files") + ": " + std::to_string(c.levelled) + " levelled, " +
                       std::to_string(c.skipped) + " skipped (done before), " + std::to_string(c.failed) + " failed";
    const std::uint64_t left = c.total - c.levelled - c.skipped - c.failed;
    if (interrupted) line += ", " + std::to_string(left) + " not done (interrupted)";
    char wall[32];
    std::snprintf(wall, sizeof wall, "%.1f s", elapsed);
    line += "; " + hours(c.audio_seconds) + " in " + wall + rate(c.audio_seconds, elapsed);
    if (c.notes > 0) line += "; " + count(c.notes, "file", "files") + " converted to 16 bits (the manifest's notes say how)";
    return line;
}

} // namespace zek
