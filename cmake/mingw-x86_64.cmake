# Cross-build for 64-bit Windows (the test build run under Wine) with mingw-w64.
# The win32 thread model: the posix one links winpthread, which needs
# GetTickCount64 and so Windows Vista; the DLLs must load on Windows XP.
# Without gthreads libstdc++ has no std::thread or std::mutex, and its
# steady_clock follows the wall clock: Windows code uses Win32 threads and
# GetTickCount instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
