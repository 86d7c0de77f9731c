// The one way the Windows files of both libraries include <windows.h>:
// lean, without the min/max macros, and declaring only what Windows XP has,
// so a newer function fails to compile instead of failing to load.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#include <windows.h>
