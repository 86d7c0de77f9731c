// The trace file both libraries write their wire traces to: named by an
// environment variable read once, appended to with a header line, one line
// per event stamped with the seconds since tracing began on the monotonic
// clock, given up silently when it cannot be written. After the first
// look at the environment, On() costs one load and one branch while off.
// Each library keeps one, made on first use and never destroyed: a hook may
// run from a destructor, or from a worker thread, while statics go away.
#pragma once

#include "common/Lock.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace wqn {

class TraceFile {
public:
    // `pathVariable` names the file, `secretsVariable` set to 1 shows
    // secrets; `header` starts the first line ("kelvara trace 1") and
    // `secretsNote` ends it when secrets are shown.
    TraceFile(const char *pathVariable, const char *secretsVariable, const char *header, const char *secretsNote);

    bool On() noexcept
    {
        const int state = state_.load(std::memory_order_relaxed);
        return state == kOn || (state == kUnread && ReadEnvironment() == kOn);
    }

    // Trace to `path` from now on (an empty path stops tracing); for tests
    // and benchmarks.
    void Begin(const std::string &path, bool secrets);
    // Whether secrets were asked for when tracing began.
    bool ShowsSecrets();
    // Writes "<seconds>.<microseconds> " and `text` as one line. Never throws.
    void WriteLine(std::string_view text) noexcept;

private:
    static constexpr int kUnread = 0;
    static constexpr int kOff = 1;
    static constexpr int kOn = 2;

    int ReadEnvironment() noexcept;
    bool OpenLocked(const std::string &path, bool secrets);

    const char *pathVariable_;
    const char *secretsVariable_;
    const char *header_;
    const char *secretsNote_;
    std::atomic<int> state_{kUnread};
    Lock lock_;
    std::FILE *file_ = nullptr;
    bool secrets_ = false;
    std::int64_t startUs_ = 0;
};

} // namespace wqn
