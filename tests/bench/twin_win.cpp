// The launcher's twins for the benchmark: built exactly as the launcher is (the
// same objects, resources, manifest and link flags, hence the same import
// table), differing only in what the process entry does. A flag that is never
// set keeps the start-up sequence, and with it every import, in the program
// without running it.
#include "common/win32.h"

#include "common/system_library.h"
#include "launcher/startup.h"
#include "update/update_query.h"

volatile bool kRunTheLauncher = false;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    if (kRunTheLauncher) {
        RunStartupSequence();
    }
#ifdef TWIN_FETCHES
    // The update query alone, as the launcher makes it.
    RestrictDllSearch();
    FetchUpdateReply();
#endif
    return 0;
}
