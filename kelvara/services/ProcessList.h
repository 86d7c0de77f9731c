// The running processes as the process check sees them: one image text per
// process (the executable's path on Windows, its file name on Linux).
#pragma once

#include <functional>
#include <string_view>

namespace kelvara {

// Calls `visit` with the image text of every running process the system
// lets this process see, until `visit` returns false. Processes whose image
// cannot be had are skipped; when the list itself cannot be had, `visit` is
// never called.
void ForEachProcessImage(const std::function<bool(std::string_view image)> &visit);

} // namespace kelvara
