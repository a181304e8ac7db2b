#include "common/win32.h"

#include "launcher/fatal_error.h"
#include "launcher/startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    InstallFatalErrorHandlers();
    RunStartupSequence();
    return 0;
}
