// Lists every window that a process owns, top-level and message-only, so a
// test can tell which windows the launcher made while its prompt is up.
//
//   e2e_window_census --pid P   {"windows":[{"class":...,"title":...,"visible":B,"message_only":B},...]}
#include "common/win32.h"

#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>
#include <vector>

namespace {

struct Census {
    DWORD pid;
    std::vector<std::string> entries;
};

std::u16string ClassOf(HWND window) {
    wchar_t name[256];
    const int count = GetClassNameW(window, name, 256);
    return FromWide(name, count > 0 ? count : 0);
}

std::u16string TitleOf(HWND window) {
    wchar_t title[512];
    const int count = GetWindowTextW(window, title, 512);
    return FromWide(title, count > 0 ? count : 0);
}

void Record(Census& census, HWND window, bool messageOnly) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != census.pid) {
        return;
    }
    census.entries.push_back("{\"class\":" + JsonString(ClassOf(window)) + ",\"title\":" + JsonString(TitleOf(window)) +
                             ",\"visible\":" + (IsWindowVisible(window) ? "true" : "false") +
                             ",\"message_only\":" + (messageOnly ? "true" : "false") + "}");
}

BOOL CALLBACK RecordTopLevel(HWND window, LPARAM context) {
    Record(*reinterpret_cast<Census*>(context), window, false);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Census census{NumberArgument(argc, argv, u"--pid", 0), {}};
    EnumWindows(RecordTopLevel, reinterpret_cast<LPARAM>(&census));
    // EnumWindows passes over message-only windows; they hang below HWND_MESSAGE.
    for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window != nullptr;
         window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) {
        Record(census, window, true);
    }
    std::string list;
    for (const std::string& entry : census.entries) {
        list += (list.empty() ? "" : ",") + entry;
    }
    PrintUtf8("{\"windows\":[" + list + "]}\n");
    return 0;
}
