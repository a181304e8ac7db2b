#pragma once

#include "common/win32.h"

HMODULE LoadSystemLibrary(const wchar_t* name);

template <typename Function>
Function GetLibraryFunction(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
