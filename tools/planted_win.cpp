// A wininet.dll that someone planted beside a program: WinINet is no known DLL, so a program
// that finds its DLLs the ordinary way may load this copy. Each load leaves a line in
// "<its own path>.loaded.jsonl". Kernel32 only: DllMain runs under the loader lock.
#include "common/win32.h"

#include "common/scoped_win.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    wchar_t path[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (reason != DLL_PROCESS_ATTACH || length == 0 || length >= MAX_PATH) return TRUE;
    lstrcpyW(path + length, L".loaded.jsonl");
    char digits[16], line[32] = "{\"pid\":";
    int count = 0, end = lstrlenA(line);
    DWORD pid = GetCurrentProcessId();
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
    } while ((pid /= 10) != 0);
    while (count > 0) line[end++] = digits[--count];
    lstrcpyA(line + end, "}\n");
    ScopedKernelHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) WriteFile(file.get(), line, end + 2, &written, nullptr);
    return TRUE;
}
