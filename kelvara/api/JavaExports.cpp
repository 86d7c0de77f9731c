// The native methods of wqn.vorn.icnative.NativeClass. Each runs inside the
// export frame like the TS_ functions; the object or class argument is never
// used. Only three functions of the JNI environment are called -
// GetStringUTFChars, ReleaseStringUTFChars and NewStringUTF - and no Java
// exception is raised or checked: failures come back as false or "".
#include "kelvara/api/JavaExports.h"

#include "kelvara/api/ExportFrame.h"
#include "kelvara/api/JavaMethods.h"
#include "kelvara/services/CodePageText.h"

#include <string>

using namespace kelvara;

namespace {

// A Java string as the library's 8-bit text: its modified UTF-8 bytes,
// copied and released at once so no JVM buffer is held while the library
// works. A null string (or one the JVM cannot hand over) counts as empty.
std::string Take(JNIEnv *env, jstring text)
{
    if (env == nullptr || text == nullptr)
        return {};
    const char *chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr)
        return {};
    std::string copy;
    try {
        copy = chars;
    } catch (...) {
        env->ReleaseStringUTFChars(text, chars);
        throw;
    }
    env->ReleaseStringUTFChars(text, chars);
    return copy;
}

// A new Java string from the library's text. NewStringUTF takes only
// well-formed modified UTF-8, so names written in another code page are
// converted; names that are modified UTF-8 already pass byte for byte.
jstring Give(JNIEnv *env, const std::string &text)
{
    return env != nullptr ? env->NewStringUTF(JavaTextFrom(text).c_str()) : nullptr;
}

jboolean Bool(bool value) { return value ? JNI_TRUE : JNI_FALSE; }

// String results: a failure inside the frame still yields "", never null.
template <class Body>
jstring StringResult(JNIEnv *env, Body body)
{
    std::string result = RunExport(std::string(), body);
    try {
        return Give(env, result);
    } catch (...) {
        return nullptr;
    }
}

} // namespace

extern "C" {

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_CheckKelvara(JNIEnv *, jclass)
{
    return RunExport(jboolean(JNI_FALSE), [] { return Bool(java_methods::CheckKelvara()); });
}

JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_ReleaseKelvara(JNIEnv *, jclass)
{
    RunExportVoid([] { java_methods::ReleaseKelvara(); });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ReadIcFileIndex(JNIEnv *, jclass)
{
    return RunExport(jboolean(JNI_FALSE), [] { return Bool(java_methods::ReadIcFileIndex()); });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_WriteIcFileIndex(JNIEnv *, jclass)
{
    return RunExport(jboolean(JNI_FALSE), [] { return Bool(java_methods::WriteIcFileIndex()); });
}

JNIEXPORT jstring JNICALL Java_wqn_vorn_icnative_NativeClass_ReadIC(JNIEnv *env, jclass, jstring cardFiles,
                                                                    jstring localDirectory)
{
    return StringResult(env, [&] {
        const std::string files = Take(env, cardFiles);
        const std::string directory = Take(env, localDirectory);
        return java_methods::ReadIC(files, directory);
    });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_WriteIC(JNIEnv *env, jclass, jstring localFiles,
                                                                      jstring cardDirectory)
{
    return RunExport(jboolean(JNI_FALSE), [&] {
        const std::string files = Take(env, localFiles);
        const std::string directory = Take(env, cardDirectory);
        return Bool(java_methods::WriteIC(files, directory));
    });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ICFileDel(JNIEnv *env, jclass, jstring cardFiles)
{
    return RunExport(jboolean(JNI_FALSE), [&] { return Bool(java_methods::ICFileDel(Take(env, cardFiles))); });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ICFormat(JNIEnv *, jclass)
{
    return RunExport(jboolean(JNI_FALSE), [] { return Bool(java_methods::ICFormat()); });
}

JNIEXPORT jstring JNICALL Java_wqn_vorn_icnative_NativeClass_ICFileTime(JNIEnv *env, jclass, jstring name)
{
    return StringResult(env, [&] { return java_methods::ICFileTime(Take(env, name)); });
}

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_IsProcessExist(JNIEnv *env, jclass, jstring name)
{
    return RunExport(jboolean(JNI_FALSE), [&] { return Bool(java_methods::IsProcessExist(Take(env, name))); });
}

JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_ShowPro(JNIEnv *env, jclass, jstring text)
{
    RunExportVoid([&] { java_methods::ShowPro(Take(env, text)); });
}

JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_SetText(JNIEnv *env, jclass, jstring text)
{
    RunExportVoid([&] { java_methods::SetText(Take(env, text)); });
}

JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_HidePro(JNIEnv *, jclass)
{
    RunExportVoid([] { java_methods::HidePro(); });
}

JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_SetPortSpeed(JNIEnv *, jclass)
{
    RunExportVoid([] { java_methods::SetPortSpeed(); });
}

} // extern "C"
