// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include "tests/support/TestPlatform.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace kelvara::testing {

class ScratchDirectory {
public:
    // `prefix` begins the directory's name, so one left behind tells which
    // tests made it. The path is empty when no directory could be made.
    explicit ScratchDirectory(const std::string &prefix = "kelvara-test")
        : path_(wqn::testing::MakeScratchDirectory(prefix))
    {
    }
    ~ScratchDirectory()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // A file in the directory.
    std::string File(const std::string &name) const { return (path_ / name).string(); }
    // The directory as the card file system wants it: with a final separator.
    std::string WithSlash() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

} // namespace kelvara::testing
