// An environment variable set (or removed) for a scope, its old value back
// afterwards.
#pragma once

#include "tests/support/TestPlatform.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace kelvara::testing {

class ScopedEnv {
public:
    // With no value the variable is removed for the scope.
    ScopedEnv(std::string name, const std::optional<std::string> &value)
        : name_(std::move(name))
    {
        if (const char *old = std::getenv(name_.c_str()))
            old_ = old;
        Set(value);
    }
    ~ScopedEnv() { wqn::testing::SetEnvironmentVariable(name_, old_); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

    // Another value for the rest of the scope; the one to restore stays.
    void Set(const std::optional<std::string> &value) { wqn::testing::SetEnvironmentVariable(name_, value); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

} // namespace kelvara::testing
