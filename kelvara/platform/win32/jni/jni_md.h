/* The Windows half of the JNI types for the mingw-w64 builds, which compile
 * against the (platform-neutral) jni.h of a Linux JDK: stdcall entry points
 * and Windows' 32-bit long. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

/* Empty on purpose: the .def files name every export of Kelvara.dll exactly
 * (the 32-bit DLL under the decorated stdcall names); dllexport would add a
 * second, differently decorated name for each method. */
#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
