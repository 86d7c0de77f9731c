// The trace file's writer.
#include "common/TraceFile.h"

#include "common/MonotonicClock.h"
#include "common/WallClock.h"

#include <cstdlib>

namespace wqn {

TraceFile::TraceFile(const char *pathVariable, const char *secretsVariable, const char *header, const char *secretsNote)
    : pathVariable_(pathVariable),
      secretsVariable_(secretsVariable),
      header_(header),
      secretsNote_(secretsNote)
{
}

int TraceFile::ReadEnvironment() noexcept
{
    try {
        LockHolder hold(lock_);
        int state = state_.load(std::memory_order_relaxed);
        if (state != kUnread)
            return state;
        const char *path = std::getenv(pathVariable_);
        const char *secrets = std::getenv(secretsVariable_);
        const bool showSecrets = secrets != nullptr && std::string_view(secrets) == "1";
        state = path != nullptr && OpenLocked(path, showSecrets) ? kOn : kOff;
        state_.store(state, std::memory_order_relaxed);
        return state;
    } catch (...) {
        state_.store(kOff, std::memory_order_relaxed);
        return kOff;
    }
}

bool TraceFile::OpenLocked(const std::string &path, bool secrets)
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (path.empty())
        return false;
    file_ = std::fopen(path.c_str(), "ab");
    if (file_ == nullptr)
        return false;
    secrets_ = secrets;
    startUs_ = MonotonicUs();
    std::fprintf(file_, "# %s, began at unix time %lld, times in seconds since then%s\n", header_,
                 static_cast<long long>(UnixTimeNow()), secrets ? secretsNote_ : "");
    std::fflush(file_);
    return true;
}

void TraceFile::Begin(const std::string &path, bool secrets)
{
    LockHolder hold(lock_);
    state_.store(OpenLocked(path, secrets) ? kOn : kOff, std::memory_order_relaxed);
}

bool TraceFile::ShowsSecrets()
{
    LockHolder hold(lock_);
    return secrets_;
}

void TraceFile::WriteLine(std::string_view text) noexcept
{
    try {
        LockHolder hold(lock_);
        if (file_ == nullptr)
            return;
        const std::int64_t us = MonotonicUs() - startUs_;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%lld.%06lld ", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
        std::string line = stamp;
        line += text;
        line += '\n';
        if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
            // A full disk or a vanished file: give the trace up rather than
            // slow every frame down with failing writes.
            std::fclose(file_);
            file_ = nullptr;
            state_.store(kOff, std::memory_order_relaxed);
        }
    } catch (...) {
    }
}

} // namespace wqn
