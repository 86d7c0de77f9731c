// The Java native methods of Kelvara for end-to-end tests, called in the
// current library process (RemoteKelvara.h) as a JVM calls them: with a JNI
// environment of the host's own that offers only the three JNI functions
// the library may use (tests/api/FakeJvm.h). Natively the host runs
// libkelvara.so, under Wine the JNI names of the 64-bit Kelvara.dll.
//
// A Java string is a std::optional: nullopt is a null reference. Local
// paths are translated for the host as RemoteKelvara.h does.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvara::remote::java {

using JString = std::optional<std::string>;

bool CheckKelvara();
void ReleaseKelvara();
bool ReadIcFileIndex();
bool WriteIcFileIndex();
JString ReadIC(const JString &cardFiles, const JString &localDirectory);
bool WriteIC(const JString &localFiles, const JString &cardDirectory);
bool ICFileDel(const JString &cardFiles);
bool ICFormat();
JString ICFileTime(const JString &name);
bool IsProcessExist(const JString &name);
void ShowPro(const JString &text);
void SetText(const JString &text);
void HidePro();
void SetPortSpeed();

// What the JNI environment saw since the process started.
struct JniTrail {
    int strayCalls = 0; // calls of JNI functions other than the three
    int outstanding = 0; // strings taken and never released
    // In order: "get TEXT", "release TEXT", "new TEXT", and what the library
    // asked the user meanwhile ("box TEXT", "progress OP TEXT") through the
    // handlers the test installed.
    std::vector<std::string> events;
};
JniTrail Trail();

} // namespace kelvara::remote::java
