// An empty program that imports the same system DLLs as the launcher, and
// nothing more: starting it costs what loading those DLLs costs, which the
// launcher cannot avoid while it imports them.
#include "common/win32.h"

#include <shellapi.h>

namespace {

// One function of each DLL, referenced but never called: the linker keeps an
// import only for what the program refers to.
void* volatile kept_imports[] = {
    reinterpret_cast<void*>(&MessageBoxW),    // USER32
    reinterpret_cast<void*>(&ShellExecuteW),  // SHELL32
    reinterpret_cast<void*>(&DeleteObject),   // GDI32
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
    return kept_imports[0] == nullptr ? 1 : 0;
}
