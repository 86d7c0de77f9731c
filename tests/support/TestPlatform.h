// What unit tests that also run as Windows programs (under Wine) need from
// the OS they run on; one implementation per OS (posix/, win32/).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace wqn::testing {

// A new, empty directory under the system's temporary directory.
std::filesystem::path MakeScratchDirectory(const std::string &prefix);

// Sets (or, with no value, removes) a variable of this process's environment,
// as the C library's getenv sees it.
void SetEnvironmentVariable(const std::string &name, const std::optional<std::string> &value);

// Removes Kelvara's stored settings where they are shared between tests (the
// registry on Windows; on Linux each test names a settings file of its own).
void ClearStoredSettings();

// Whether the library file at `path` is loaded in this process now.
bool LibraryLoaded(const std::string &path);

} // namespace wqn::testing
