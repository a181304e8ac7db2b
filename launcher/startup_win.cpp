#include "common/win32.h"

#include "launcher/startup.h"

#include "catalogue/catalogue.h"
#include "launcher/command_line.h"
#include "launcher/main_program.h"
#include "launcher/single_instance.h"
#include "update/install_check.h"
#include "window/control.h"

TControl* LauncherForm = nullptr;

namespace {

constexpr wchar_t kMutexName[] = L"TapwrightServiceMutex";
constexpr char16_t kTitleKey[] = u"Tapwright";
constexpr char16_t kFormClassName[] = u"SvcTapwright";
constexpr char16_t kInstallArgument[] = u"/inst";

// The mutex lives in the current logon's namespace: copies started by other
// users do not see it. Existence is all the test needs, so it asks for no more
// access than that.
bool AnotherCopyRuns() {
    SetLastError(ERROR_SUCCESS);
    const bool opened = OpenMutexW(SYNCHRONIZE, FALSE, kMutexName) != nullptr;
    return AnotherCopyHoldsMutex(opened, GetLastError());
}

// The handle is deliberately never closed: the mutex is held until the process
// ends. Two copies can both pass the test above in the same instant; the one
// that creates the mutex second finds it already there and gives way.
bool TakeSingleInstanceMutex() {
    SetLastError(ERROR_SUCCESS);
    const bool created = CreateMutexW(nullptr, TRUE, kMutexName) != nullptr;
    return MutexTakenByThisCopy(created, GetLastError());
}

void BuildApplicationObjects() {
    Applet = CreateApplet(Translate(kTitleKey));
    Hide(Applet);
    LauncherForm = SetSize(CreateForm(Applet, Translate(kTitleKey)), 240, 40);
    SetClassName(LauncherForm, kFormClassName);
    Hide(LauncherForm);
}

}  // namespace

void RunStartupSequence() {
    if (AnotherCopyRuns()) {
        return;
    }
    if (!TakeSingleInstanceMutex()) {
        return;
    }
    UserLcid = GetUserDefaultLCID();
    BuildApplicationObjects();
    if (CheckInstallationAndUpdate()) {
        return;
    }
    if (GetArgument(1) != kInstallArgument) {
        return;
    }
    StartMainProgram();
}
