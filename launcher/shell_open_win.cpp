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
// the call return only once the shell has done its part. A failed start is
// not reported to the user, by the shell either: without SEE_MASK_FLAG_NO_UI
// it shows its own error box (a main program of zero bytes, an address no
// program opens) and the launcher would wait on it, holding the
// single-instance mutex, so that every later start ended silently until
// someone closed it. ShellExecuteW sets the flag for its callers.
void ShellOpen(const std::u16string& file, int show) {
    ComApartment apartment;
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    request.lpVerb = L"open";
    request.lpFile = Wide(file);
    request.nShow = show;
    ShellExecuteExW(&request);
}
