// The module that holds this code, found from the address of a function in it.
#include "kelvara/platform/win32/LibraryModule.h"

namespace kelvara {

HMODULE LibraryModule()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&LibraryModule), &module);
    return module;
}

} // namespace kelvara
