// Holds the launcher's single-instance mutex, as a first copy would, so that
// every launcher started meanwhile takes the second-copy path:
//
//   release_mutex_holder --ready HEX --stop HEX [--timeout MS]
//
// It writes the ready file once it owns the mutex, and lets go when the stop
// file appears or the time is up.
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"

#include <string>

namespace {

constexpr wchar_t kMutexName[] = L"TapwrightServiceMutex";
constexpr DWORD kPollMs = 20;

bool FileExists(const std::u16string& path) {
    return GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::u16string ready, stop;
    if (!HexArgumentValue(argc, argv, u"--ready", &ready) ||
        !HexArgumentValue(argc, argv, u"--stop", &stop)) {
        PrintUtf8("usage: release_mutex_holder --ready HEX --stop HEX [--timeout MS]\n");
        return 2;
    }
    const DWORD timeout = NumberArgument(argc, argv, u"--timeout", 600000);
    SetLastError(ERROR_SUCCESS);
    ScopedKernelHandle mutex(CreateMutexW(nullptr, TRUE, kMutexName));
    const DWORD error = GetLastError();
    if (!mutex || error == ERROR_ALREADY_EXISTS) {
        WriteUtf8File(ready, "{\"held\":false,\"last_error\":" + std::to_string(error) + "}\n");
        return 1;
    }
    WriteUtf8File(ready, "{\"held\":true,\"pid\":" + std::to_string(GetCurrentProcessId()) + "}\n");
    const ULONGLONG started = GetTickCount64();
    while (!FileExists(stop) && GetTickCount64() - started < timeout) {
        Sleep(kPollMs);
    }
    return 0;
}
