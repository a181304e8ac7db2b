#include "common/win32.h"

#include "launcher/shell_open.h"

#include <objbase.h>
#include <shellapi.h>

#include "common/system_library.h"

namespace {

// COM comes from System32 at run time, only when something is opened: a
// second copy, which opens nothing, starts without loading it.
class ComApartment {
public:
    ComApartment() {
        HMODULE ole32 = LoadSystemLibrary(L"ole32.dll");
        auto initialize = GetLibraryFunction<decltype(&::CoInitializeEx)>(ole32, "CoInitializeEx");
        uninitialize_ = GetLibraryFunction<decltype(&::CoUninitialize)>(ole32, "CoUninitialize");
        joined_ = initialize && uninitialize_ &&
                  SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    }
    ~ComApartment() {
        if (joined_) {
            uninitialize_();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    decltype(&::CoUninitialize) uninitialize_ = nullptr;
    bool joined_ = false;
};

}  // namespace

// The launcher exits right after asking the shell, and the shell may hand the
// "open" verb to a COM handler, to DDE or to a thread of its own: a request
// still under way when the process ends is lost, while the launcher has
// already given up starting the main program for it. So the request runs in
// a single-threaded COM apartment without OLE1 DDE, and SEE_MASK_NOASYNC makes
// the call return only once the shell has done its part. The result is not
// examined: nothing is reported to the user either way.
void ShellOpen(const std::u16string& file, int show) {
    ComApartment apartment;
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOASYNC;
    request.lpVerb = L"open";
    request.lpFile = Wide(file);
    request.nShow = show;
    ShellExecuteExW(&request);
}
