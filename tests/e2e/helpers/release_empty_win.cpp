// The cheapest Windows program this tool chain makes: the same start-up code
// and static runtime as the launcher, and nothing else. The benchmarks start
// it beside the launcher to tell Wine's own cost of a process from ours.
#include "common/win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    return 0;
}
