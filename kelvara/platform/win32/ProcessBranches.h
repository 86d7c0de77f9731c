// The two ways Windows lists its processes, each looked up at run time so
// the library loads where one of them is missing: the tool-help functions
// of KERNEL32 (Windows 95/98/Me) and the process-status functions of
// psapi.dll (the NT family). ForEachProcessImage picks one by the platform;
// both are open to tests. Each branch lists only the processes of the
// caller's own session, so users of one terminal server never count each
// other's programs.
#pragma once

#include "common/win32/WindowsHeaders.h"

#include <functional>
#include <string_view>
#include <vector>

namespace kelvara {

using ImageVisitor = std::function<bool(std::string_view image)>;

// ProcessIdToSessionId's shape: the session a process runs in.
using SessionOfFn = BOOL(WINAPI *)(DWORD processId, DWORD *session);
// KERNEL32's ProcessIdToSessionId, looked up at run time; null where the
// system has none (and so only one session).
SessionOfFn SystemSessionOf();

// `sessionOf` null, or failing for the caller itself: every process counts.
// Otherwise a process counts only when it is known to share the caller's
// session.
void ToolHelpProcessImages(const ImageVisitor &visit, SessionOfFn sessionOf);
void PsapiProcessImages(const ImageVisitor &visit, SessionOfFn sessionOf);

// Every process identifier EnumProcesses has, asking again with a larger
// list for as long as the list comes back full; empty when it fails.
using EnumProcessesFn = BOOL(WINAPI *)(DWORD *, DWORD, DWORD *);
std::vector<DWORD> AllProcessIds(EnumProcessesFn enumProcesses);

} // namespace kelvara
