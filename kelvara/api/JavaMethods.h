// What the native methods of the Java class wqn.vorn.icnative.NativeClass
// do, on the library's 8-bit texts; the JNI layer (JavaExports.cpp) only
// takes the strings in and hands the results out. Unlike the C exports these
// never connect by themselves and never load or save the card's index on
// their own - the Java program calls ReadIcFileIndex and WriteIcFileIndex -
// and the transfers take their arguments the other way round. Each runs
// inside the caller's export frame.
#pragma once

#include <string>

namespace kelvara::java_methods {

bool CheckKelvara();
void ReleaseKelvara();
bool ReadIcFileIndex();
// False, writing nothing, unless the index in memory was loaded, formatted or
// changed for the card now connected (and that card is formatted).
bool WriteIcFileIndex();
// The names of the files copied, separated by ","; "" on failure. ReadIC
// and ICFileTime load the index first when none stands for this card.
std::string ReadIC(const std::string &cardFiles, const std::string &localDirectory);
bool WriteIC(const std::string &localFiles, const std::string &cardDirectory);
bool ICFileDel(const std::string &cardFiles);
bool ICFormat();
// YYYYMMDDhhmm, or "" when the card is not formatted or no file matches.
std::string ICFileTime(const std::string &name);
bool IsProcessExist(const std::string &name);
// Notice texts as the Java program gives them (UTF-8); converted here.
void ShowPro(const std::string &text);
void SetText(const std::string &text);
void HidePro();
void SetPortSpeed();

} // namespace kelvara::java_methods
