// The native methods of the Java class wqn.vorn.icnative.NativeClass as
// libkelvara.so and Kelvara.dll export them (the JNI names; stdcall on
// 32-bit Windows). The class declares them static, so the second argument
// is the class; the library never uses it.
#pragma once

#include <jni.h>

#ifdef __cplusplus
extern "C" {
#endif

JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_CheckKelvara(JNIEnv *, jclass);
JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_ReleaseKelvara(JNIEnv *, jclass);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ReadIcFileIndex(JNIEnv *, jclass);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_WriteIcFileIndex(JNIEnv *, jclass);
JNIEXPORT jstring JNICALL Java_wqn_vorn_icnative_NativeClass_ReadIC(JNIEnv *, jclass, jstring cardFiles,
                                                                    jstring localDirectory);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_WriteIC(JNIEnv *, jclass, jstring localFiles,
                                                                      jstring cardDirectory);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ICFileDel(JNIEnv *, jclass, jstring cardFiles);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_ICFormat(JNIEnv *, jclass);
JNIEXPORT jstring JNICALL Java_wqn_vorn_icnative_NativeClass_ICFileTime(JNIEnv *, jclass, jstring name);
JNIEXPORT jboolean JNICALL Java_wqn_vorn_icnative_NativeClass_IsProcessExist(JNIEnv *, jclass, jstring name);
JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_ShowPro(JNIEnv *, jclass, jstring text);
JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_SetText(JNIEnv *, jclass, jstring text);
JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_HidePro(JNIEnv *, jclass);
JNIEXPORT void JNICALL Java_wqn_vorn_icnative_NativeClass_SetPortSpeed(JNIEnv *, jclass);

#ifdef __cplusplus
}
#endif
