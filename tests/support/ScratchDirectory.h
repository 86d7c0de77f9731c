// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace kelvara::testing {

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        // A fresh directory under the system's temporary directory (the
        // tests also run as Windows programs, so no mkdtemp).
        std::random_device random;
        for (;;) {
            path_ = std::filesystem::temp_directory_path() / ("kelvara-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(path_))
                break;
        }
    }
    ~ScratchDirectory()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path &path() const { return path_; }
    // The directory as the card file system wants it: with a final separator.
    std::string WithSlash() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

} // namespace kelvara::testing
