// The remote Java native methods (the host's "java" commands).
#include "tests/remote/RemoteJava.h"

#include "tests/remote/RemoteKelvara.h"

#include <cstdlib>

namespace kelvara::remote::java {
namespace {

using wqn::host::Tokens;

Tokens Call(const Tokens &command) { return wqn::host::CallLibrary(LibraryProcess::Current(), command); }

std::string Arg(const JString &s) { return s ? "=" + *s : std::string(wqn::host::kNull); }
std::string PathArg(const JString &s) { return s ? "=" + wqn::host::runner::HostPath(*s) : Arg(s); }

Tokens Java(const std::string &method, const std::vector<std::string> &args = {})
{
    Tokens command{"java", method};
    command.insert(command.end(), args.begin(), args.end());
    return Call(command);
}

bool Boolean(const Tokens &r) { return r.size() == 1 && r[0] == "1"; }

JString String(const Tokens &r)
{
    if (r.size() != 1 || r[0] == wqn::host::kNull)
        return std::nullopt;
    return r[0].substr(1);
}

} // namespace

bool CheckKelvara() { return Boolean(Java("CheckKelvara")); }
void ReleaseKelvara() { Java("ReleaseKelvara"); }
bool ReadIcFileIndex() { return Boolean(Java("ReadIcFileIndex")); }
bool WriteIcFileIndex() { return Boolean(Java("WriteIcFileIndex")); }

JString ReadIC(const JString &cardFiles, const JString &localDirectory)
{
    return String(Java("ReadIC", {Arg(cardFiles), PathArg(localDirectory)}));
}

bool WriteIC(const JString &localFiles, const JString &cardDirectory)
{
    return Boolean(Java("WriteIC", {PathArg(localFiles), Arg(cardDirectory)}));
}

bool ICFileDel(const JString &cardFiles) { return Boolean(Java("ICFileDel", {Arg(cardFiles)})); }
bool ICFormat() { return Boolean(Java("ICFormat")); }
JString ICFileTime(const JString &name) { return String(Java("ICFileTime", {Arg(name)})); }
bool IsProcessExist(const JString &name) { return Boolean(Java("IsProcessExist", {Arg(name)})); }
void ShowPro(const JString &text) { Java("ShowPro", {Arg(text)}); }
void SetText(const JString &text) { Java("SetText", {Arg(text)}); }
void HidePro() { Java("HidePro"); }
void SetPortSpeed() { Java("SetPortSpeed"); }

JniTrail Trail()
{
    const Tokens r = Call({"jni-trail"});
    JniTrail trail;
    if (r.size() < 2)
        return trail;
    trail.strayCalls = std::atoi(r[0].c_str());
    trail.outstanding = std::atoi(r[1].c_str());
    trail.events.assign(r.begin() + 2, r.end());
    return trail;
}

} // namespace kelvara::remote::java
