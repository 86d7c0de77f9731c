// The tool's progress bar: bytes done of bytes to do, the rate and the time
// left, on one line. It appears only once a transfer has run for a second
// (short ones stay quiet) and is redrawn at most ten times a second. Pure:
// the caller gives the time and draws the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvara::tool {

class ProgressBar {
public:
    // `bytesPerUnit`: bytes one counted unit (a page) stands for.
    explicit ProgressBar(long long bytesPerUnit)
        : bytesPerUnit_(bytesPerUnit)
    {
    }

    // `done` of `total` units of `what` at `seconds` (any monotonic clock).
    // The line to draw now, or nothing. A new `what`, or `done` going back,
    // starts a new transfer. At `done` == `total` the final line is given
    // (when the bar was shown at all) and Finished() becomes true.
    std::optional<std::string> Update(std::string_view what, long long done, long long total, double seconds);

    bool Shown() const { return shown_; }
    bool Finished() const { return finished_; }

    // "1.5 MB", "264 B".
    static std::string Bytes(double bytes);
    // "1:05", "1:02:03".
    static std::string Duration(double seconds);

private:
    long long bytesPerUnit_;
    std::string what_;
    long long lastDone_ = -1;
    double start_ = 0;
    double lastDrawn_ = -1;
    bool shown_ = false;
    bool finished_ = false;
};

} // namespace kelvara::tool
