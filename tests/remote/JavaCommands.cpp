// The Java native methods called from kelvara-host as a JVM calls them, with
// the JNI environment of tests/api/FakeJvm.h (only the three functions the
// library may use work) living in this process:
//   java METHOD ARG...   calls Java_wqn_vorn_icnative_NativeClass_METHOD;
//                        a string argument is "=" and its text, or "null"
//                        -> 0 or 1 for a boolean, "=" and the text (or
//                           "null") for a string, nothing for void
//   jni-trail            -> calls of other JNI functions, strings taken and
//                           not released, then the trail: "get TEXT",
//                           "release TEXT", "new TEXT" and the user events
//   progress-log PATH    a progress-notice handler that appends each op to
//                        PATH, a line each (it outlives the test's link,
//                        up to the library's unload)
#include "tests/remote/JavaCommands.h"

#include "kelvara.h"
#include "kelvara/api/JavaExports.h"
#include "tests/api/FakeJvm.h"

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

#define JAVA(method) Java_wqn_vorn_icnative_NativeClass_##method

namespace wqn::host {
namespace {

using kelvara::jni_test::FakeJvm;

std::unique_ptr<FakeJvm> g_jvm;
std::string g_progressLog;

FakeJvm &Jvm()
{
    if (!g_jvm)
        g_jvm = std::make_unique<FakeJvm>();
    return *g_jvm;
}

jstring Arg(const Tokens &args, std::size_t index)
{
    const std::string &token = Host::Text(args, index);
    if (token == kNull)
        return nullptr;
    if (token.empty() || token[0] != '=')
        throw CommandError("a Java string is =TEXT or null: " + token);
    return Jvm().String(token.substr(1));
}

std::string Out(jstring s) { return s == nullptr ? std::string(kNull) : "=" + FakeJvm::Text(s); }
std::string Out(jboolean b) { return b ? "1" : "0"; }

using Method = std::function<Tokens(JNIEnv *env, const Tokens &args)>;

const std::map<std::string, Method> &Methods()
{
    static const std::map<std::string, Method> methods = {
        {"CheckKelvara", [](JNIEnv *e, const Tokens &) { return Tokens{Out(JAVA(CheckKelvara)(e, nullptr))}; }},
        {"ReleaseKelvara",
         [](JNIEnv *e, const Tokens &) {
             JAVA(ReleaseKelvara)(e, nullptr);
             return Tokens{};
         }},
        {"ReadIcFileIndex", [](JNIEnv *e, const Tokens &) { return Tokens{Out(JAVA(ReadIcFileIndex)(e, nullptr))}; }},
        {"WriteIcFileIndex", [](JNIEnv *e, const Tokens &) { return Tokens{Out(JAVA(WriteIcFileIndex)(e, nullptr))}; }},
        {"ReadIC",
         [](JNIEnv *e, const Tokens &a) { return Tokens{Out(JAVA(ReadIC)(e, nullptr, Arg(a, 0), Arg(a, 1)))}; }},
        {"WriteIC",
         [](JNIEnv *e, const Tokens &a) { return Tokens{Out(JAVA(WriteIC)(e, nullptr, Arg(a, 0), Arg(a, 1)))}; }},
        {"ICFileDel", [](JNIEnv *e, const Tokens &a) { return Tokens{Out(JAVA(ICFileDel)(e, nullptr, Arg(a, 0)))}; }},
        {"ICFormat", [](JNIEnv *e, const Tokens &) { return Tokens{Out(JAVA(ICFormat)(e, nullptr))}; }},
        {"ICFileTime", [](JNIEnv *e, const Tokens &a) { return Tokens{Out(JAVA(ICFileTime)(e, nullptr, Arg(a, 0)))}; }},
        {"IsProcessExist",
         [](JNIEnv *e, const Tokens &a) { return Tokens{Out(JAVA(IsProcessExist)(e, nullptr, Arg(a, 0)))}; }},
        {"ShowPro",
         [](JNIEnv *e, const Tokens &a) {
             JAVA(ShowPro)(e, nullptr, Arg(a, 0));
             return Tokens{};
         }},
        {"SetText",
         [](JNIEnv *e, const Tokens &a) {
             JAVA(SetText)(e, nullptr, Arg(a, 0));
             return Tokens{};
         }},
        {"HidePro",
         [](JNIEnv *e, const Tokens &) {
             JAVA(HidePro)(e, nullptr);
             return Tokens{};
         }},
        {"SetPortSpeed",
         [](JNIEnv *e, const Tokens &) {
             JAVA(SetPortSpeed)(e, nullptr);
             return Tokens{};
         }},
    };
    return methods;
}

void AppendProgress(void *, int op, const char *)
{
    if (FILE *log = std::fopen(g_progressLog.c_str(), "ab")) {
        std::fprintf(log, "%d\n", op);
        std::fclose(log);
    }
}

} // namespace

void RecordUserEvent(const std::string &event)
{
    if (g_jvm)
        g_jvm->events.push_back(event);
}

void AddJavaCommands(Host &host)
{
    host.Add("java", [](const Tokens &args) {
        const auto it = Methods().find(Host::Text(args, 0));
        if (it == Methods().end())
            throw CommandError("no such native method: " + args[0]);
        return it->second(Jvm().Env(), Tokens(args.begin() + 1, args.end()));
    });
    host.Add("jni-trail", [](const Tokens &) {
        FakeJvm &jvm = Jvm();
        Tokens trail{std::to_string(jvm.strayCalls), std::to_string(jvm.Outstanding())};
        trail.insert(trail.end(), jvm.events.begin(), jvm.events.end());
        return trail;
    });
    host.Add("progress-log", [](const Tokens &args) {
        g_progressLog = Host::Text(args, 0);
        KelvaraSetProgressNoticeHandler(&AppendProgress, nullptr);
        return Tokens{};
    });
}

} // namespace wqn::host
