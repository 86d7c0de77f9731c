# Cross-build for 32-bit Windows (the product DLLs) with mingw-w64.
# The win32 thread model: the posix one links winpthread, which needs
# GetTickCount64 and so Windows Vista; the DLLs must load on Windows XP.
# Without gthreads libstdc++ has no std::thread or std::mutex, and its
# steady_clock follows the wall clock: Windows code uses Win32 threads and
# GetTickCount instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_DLLTOOL i686-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
