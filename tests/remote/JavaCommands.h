// kelvara-host's commands that call the Java native methods as a JVM does
// (JavaCommands.cpp), and the trail of what the library did meanwhile.
#pragma once

#include "tests/remote/Host.h"

#include <string>

namespace wqn::host {

void AddJavaCommands(Host &host);

// Adds a line ("box TEXT", "progress OP TEXT") to the JNI environment's
// trail, so a test sees whether a string was still held while the library
// asked the user something. Nothing happens before the first Java call.
void RecordUserEvent(const std::string &event);

} // namespace wqn::host
