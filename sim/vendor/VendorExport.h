// How the simulated vendor libraries export their functions: with the
// vendors' calling convention (stdcall in 32-bit Windows, see
// WQN_VENDOR_CALL), from a shared object by default visibility on Linux and
// through a .def file on Windows, which names them exactly as the vendors'
// DLLs do (no leading underscore, no @N).
#pragma once

#include "kelvara/services/DynamicLibrary.h"

#if defined(_WIN32)
#define WQN_SIM_EXPORT extern "C"
#else
#define WQN_SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
