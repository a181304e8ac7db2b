#include "common/win32.h"

#include "common/system_library.h"

#include <string>

namespace {

// Windows 7 without KB2533623 has neither SetDefaultDllDirectories nor the
// LOAD_LIBRARY_SEARCH_* flags; the loader would refuse a program that imports
// the function, so it is looked up instead.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
    return GetLibraryFunction<SetDefaultDllDirectoriesFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                               "SetDefaultDllDirectories");
}

}  // namespace

// Where the restriction is missing, the current directory at least leaves the
// search; the folder beside the program stays in it, which LoadSystemLibrary
// makes up for as far as the launcher's own loads go.
void RestrictDllSearch() {
    if (SetDefaultDllDirectoriesFunction restrict = FindSetDefaultDllDirectories()) {
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        SetDllDirectoryW(L"");
    }
}

// The launcher sits in a folder that its user may be able to write to. A DLL
// that Windows does not protect as a known DLL is therefore taken from
// System32 only, never from beside the executable, where someone could have
// planted a copy of it. Without the search flags, the full System32 path does
// that, and LOAD_WITH_ALTERED_SEARCH_PATH makes the DLL's own dependencies be
// looked for beside it in System32 before anywhere else.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    if (FindSetDefaultDllDirectories() != nullptr) {
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    wchar_t folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
