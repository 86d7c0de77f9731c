// The two ways Windows lists its processes, each looked up at run time so
// the library loads where one of them is missing: the tool-help functions
// of KERNEL32 (Windows 95/98/Me) and the process-status functions of
// psapi.dll (the NT family). ForEachProcessImage picks one by the platform;
// both are open to tests.
#pragma once

#include "common/win32/WindowsHeaders.h"

#include <functional>
#include <string_view>
#include <vector>

namespace kelvara {

using ImageVisitor = std::function<bool(std::string_view image)>;

void ToolHelpProcessImages(const ImageVisitor &visit);
void PsapiProcessImages(const ImageVisitor &visit);

// Every process identifier EnumProcesses has, asking again with a larger
// list for as long as the list comes back full; empty when it fails.
using EnumProcessesFn = BOOL(WINAPI *)(DWORD *, DWORD, DWORD *);
std::vector<DWORD> AllProcessIds(EnumProcessesFn enumProcesses);

} // namespace kelvara
