#include "common/win32.h"

#include "launcher/fatal_error.h"
#include "launcher/startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    // First of all: from here on no library loads from the launcher's own
    // folder, where someone could have planted one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    InstallFatalErrorHandlers();
    RunStartupSequence();
    return 0;
}
