// The two ways Windows lists its processes, each looked up at run time so
// the library loads where one of them is missing: the tool-help functions
// of KERNEL32 (Windows 95/98/Me) and the process-status functions of
// psapi.dll (the NT family). ForEachProcessImage picks one by the platform;
// both are open to tests.
#pragma once

#include <functional>
#include <string_view>

namespace kelvara {

using ImageVisitor = std::function<bool(std::string_view image)>;

void ToolHelpProcessImages(const ImageVisitor &visit);
void PsapiProcessImages(const ImageVisitor &visit);

} // namespace kelvara
