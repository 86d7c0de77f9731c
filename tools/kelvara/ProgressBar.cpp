// Progress bar arithmetic and text.
#include "tools/kelvara/ProgressBar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvara::tool {
namespace {

constexpr double kQuietSeconds = 1.0; // transfers shorter than this show nothing
constexpr double kRedrawSeconds = 0.1;
constexpr int kBarWidth = 24;

} // namespace

std::string ProgressBar::Bytes(double bytes)
{
    const char *units[] = {"B", "kB", "MB", "GB"};
    int unit = 0;
    while (bytes >= 1000 && unit < 3) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f %s", bytes, units[unit]);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string ProgressBar::Duration(double seconds)
{
    const long s = std::lround(std::max(0.0, seconds));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::optional<std::string> ProgressBar::Update(std::string_view what, long long done, long long total, double seconds)
{
    if (what != what_ || done < lastDone_ || finished_) {
        what_ = std::string(what);
        start_ = seconds;
        lastDrawn_ = -1;
        shown_ = false;
        finished_ = false;
    }
    lastDone_ = done;
    const bool last = total > 0 && done >= total;
    finished_ = last;
    const double elapsed = seconds - start_;
    if (!shown_ && elapsed < kQuietSeconds)
        return std::nullopt;
    if (!last && lastDrawn_ >= 0 && seconds - lastDrawn_ < kRedrawSeconds)
        return std::nullopt;
    shown_ = true;
    lastDrawn_ = seconds;

    const double fraction = total > 0 ? std::min(1.0, double(done) / double(total)) : 0.0;
    const int filled = int(fraction * kBarWidth);
    std::string bar(std::size_t(filled), '#');
    bar.append(std::size_t(kBarWidth - filled), '.');
    const double bytesDone = double(done) * double(bytesPerUnit_);
    const double rate = elapsed > 0 ? bytesDone / elapsed : 0;
    std::string line = what_ + " [" + bar + "] " + std::to_string(int(fraction * 100)) + "% " + Bytes(bytesDone) +
        " of " + Bytes(double(total) * double(bytesPerUnit_)) + ", " + Bytes(rate) + "/s";
    if (last)
        line += ", took " + Duration(elapsed);
    else if (rate > 0)
        line += ", " + Duration((double(total) * double(bytesPerUnit_) - bytesDone) / rate) + " left";
    return line;
}

} // namespace kelvara::tool
