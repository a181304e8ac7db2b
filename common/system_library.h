#pragma once

#include "common/win32.h"

void RestrictDllSearch();
HMODULE LoadSystemLibrary(const wchar_t* name);

template <typename Function>
Function GetLibraryFunction(HMODULE module, const char* name) {
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
