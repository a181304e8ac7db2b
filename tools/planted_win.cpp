// A wininet.dll that someone planted beside a program: WinINet is no known DLL, so a program
// that finds its DLLs the ordinary way may load this copy. Each load leaves a line in
// "<its own path>.loaded.jsonl", with kernel32 and the C runtime alone: DllMain runs under the
// loader lock.
#include "common/win32.h"

#include <cstdio>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(path + length, L".loaded.jsonl");
    char line[32];
    const int size = std::snprintf(line, sizeof line, "{\"pid\":%lu}\n", GetCurrentProcessId());
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, line, size, &written, nullptr);
    CloseHandle(file);
    return TRUE;
}
