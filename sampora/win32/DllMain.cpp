// Sampora.dll's entry point: notes the end of the process for the worker
// (Worker.cpp); the runtime's own start-up and clean-up run around it.
#include "common/win32/WindowsHeaders.h"
#include "sampora/win32/ProcessEnd.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // A non-null `reserved` at detach: the process ends (not FreeLibrary).
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        sampora::NoteProcessEnding();
    return TRUE;
}
