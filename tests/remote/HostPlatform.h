// What the host programs need from the OS they run on; one implementation
// per OS (posix/, win32/).
#pragma once

#include "tests/remote/Host.h"

#include <functional>
#include <string>

namespace wqn::host::platform {

// Prepares stdin and stdout for the protocol (binary on Windows).
void Init();

// Kelvara's stored settings, read and written past the library, as the OS
// keeps them: the registry key HKCU\Software\WQN_Ltd.\Kelvara\Settings on
// Windows, the file named by KELVARA_SETTINGS on Linux. Dumped as triplets
// name, type ("dword", "sz" or another registry type; "ini" on Linux), value.
Tokens DumpSettings();
void ClearSettings();
void StoreSettingInt(const std::string &name, long value);
void StoreSettingText(const std::string &name, const std::string &value);

// The code page of 8-bit texts ("936" on a Chinese Windows, "utf-8" on Linux).
std::string CodePage();

// Sets a variable of this process's environment (an empty value removes it).
void SetEnvironment(const std::string &name, const std::string &value);

// The separator of local path components.
char PathSeparator();

// Runs `a` and `b` on two threads at once and waits for both.
void RunTogether(const std::function<void()> &a, const std::function<void()> &b);

// Loading a library at run time; null or false on failure.
void *LoadLibraryFile(const std::string &name);
void *LibrarySymbol(void *library, const char *name);
bool FreeLibraryHandle(void *library);
// Whether the library `name` is still mapped into this process.
bool LibraryLoaded(const std::string &name);

// Milliseconds of a monotonic clock, for timing a command.
long long NowMs();

// Commands only this OS has (Windows: posted window messages, watching the
// library's own message box, the USB device stand-in).
void AddPlatformCommands(Host &host);

} // namespace wqn::host::platform
