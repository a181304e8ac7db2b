#include "common/win32.h"

#include "common/system_library.h"

// The launcher sits in a folder that its user may be able to write to. A DLL
// that Windows does not protect as a known DLL is therefore taken from
// System32 only, never from beside the executable, where someone could have
// planted a copy of it.
HMODULE LoadSystemLibrary(const wchar_t* name) {
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
