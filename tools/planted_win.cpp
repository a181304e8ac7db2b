// A wininet.dll that someone planted beside a program: WinINet is no known DLL, so a program
// that finds its DLLs the ordinary way may load this copy. A load leaves the file
// "<its own path>.loaded", made with kernel32 alone: DllMain runs under the loader lock.
#include "common/win32.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    wchar_t path[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(path + length, L".loaded");
    CloseHandle(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return TRUE;
}
