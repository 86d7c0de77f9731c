// Whether a program runs more than once: a program that passes its own
// executable's file name learns whether another copy of it runs.
#pragma once

#include <string_view>

namespace kelvara {

// True when two or more running processes have the file name `name`: the
// part of a process's image after its last backslash, compared whole and
// ignoring case (double-byte aware in the system code page). No wildcards,
// no partial names; a name with a directory never matches. False on every
// failure. The walk stops at the second match.
bool IsProcessRunningTwice(std::string_view name);

// The matching rule alone, for one process's image text.
bool ProcessImageMatches(std::string_view image, std::string_view name);

} // namespace kelvara
