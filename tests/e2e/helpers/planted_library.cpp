// A wininet.dll that someone planted beside a program: WinINet is no known
// DLL, so a program that imports it the ordinary way may load this copy.
// Loading it leaves a line in "<its own path>.loaded.jsonl"; its functions
// only fail. It exports everything that the programs under test take from
// WinINet, so that an importing program gets as far as running DllMain.
#include "common/win32.h"

#include <string>

namespace {

void AppendLoadRecord(HINSTANCE instance) {
    wchar_t own_path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(instance, own_path, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4 - 20) return;
    std::wstring record_path(own_path, length);
    record_path += L".loaded.jsonl";
    HANDLE file =
        CreateFileW(record_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line = "{\"pid\":" + std::to_string(GetCurrentProcessId()) + "}\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void* Refuse() {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

}  // namespace

// Only kernel32 is used here: DllMain runs under the loader lock.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) AppendLoadRecord(instance);
    return TRUE;
}

// Own declarations rather than <wininet.h>, whose functions are declared as
// imports.
extern "C" {

__declspec(dllexport) void* InternetOpenA(const char*, DWORD, const char*, const char*, DWORD) {
    return Refuse();
}
__declspec(dllexport) void* InternetOpenW(const wchar_t*, DWORD, const wchar_t*, const wchar_t*,
                                          DWORD) {
    return Refuse();
}
__declspec(dllexport) BOOL InternetSetOptionW(void*, DWORD, void*, DWORD) {
    return Refuse() != nullptr;
}
__declspec(dllexport) void* InternetOpenUrlW(void*, const wchar_t*, const wchar_t*, DWORD, DWORD,
                                             DWORD_PTR) {
    return Refuse();
}
__declspec(dllexport) BOOL InternetReadFile(void*, void*, DWORD, DWORD* read) {
    if (read != nullptr) *read = 0;
    return Refuse() != nullptr;
}
__declspec(dllexport) BOOL InternetCloseHandle(void*) {
    return Refuse() != nullptr;
}
__declspec(dllexport) BOOL HttpQueryInfoW(void*, DWORD, void*, DWORD*, DWORD*) {
    return Refuse() != nullptr;
}
}
