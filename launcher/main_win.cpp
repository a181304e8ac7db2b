#include "common/win32.h"

#include "common/system_library.h"
#include "launcher/fatal_error.h"
#include "launcher/startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    // First of all: from here on libraries come from System32, not from the
    // launcher's own folder, where someone could have planted one.
    RestrictDllSearch();
    InstallFatalErrorHandlers();
    RunStartupSequence();
    return 0;
}
