#include "common/win32.h"

#include "update/install_check.h"

#include "catalogue/catalogue.h"
#include "launcher/command_line.h"
#include "launcher/main_program.h"
#include "launcher/shell_open.h"
#include "launcher/startup.h"
#include "update/json_unescape.h"
#include "update/product_host.h"
#include "update/update_query.h"
#include "window/control.h"

namespace {

constexpr char16_t kParagraphSeparator[] = u"\r\r";

constexpr UINT kRepairPromptStyle = 0x50010;  // MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST
constexpr UINT kUpdatePromptStyle = 0x50044;  // MB_YESNO | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST

void OpenAddress(const std::u16string& address) { ShellOpen(address, SW_SHOWNORMAL); }

}  // namespace

// The form never gets a window on this path, so the prompts have no owner: the
// topmost and foreground styles bring them to the front instead.
bool CheckInstallationAndUpdate() {
    if (!IsExistingFile(MainProgramPath())) {
        const std::u16string caption = GetCaption(LauncherForm);
        const std::u16string text = Translate(u"The application configuration file is invalid.") +
                                    kParagraphSeparator + Translate(u"Please reinstall and run.");
        MessageBoxW(LauncherForm->Window, Wide(text), Wide(caption), kRepairPromptStyle);
        OpenAddress(HomePageAddress());
        return true;
    }

    const std::u16string address = UnescapeJson(ExtractUpdateField(FetchUpdateReply()));
    if (!IsWebAddress(address)) {
        return false;
    }
    const std::u16string caption = GetCaption(LauncherForm);
    const std::u16string text = Translate(u"This program has been updated.") + kParagraphSeparator +
                                Translate(u"It is recommended to download and execute new for stable use.") +
                                kParagraphSeparator + Translate(u"Do you want to download it?");
    if (MessageBoxW(LauncherForm->Window, Wide(text), Wide(caption), kUpdatePromptStyle) != IDYES) {
        return false;
    }
    OpenAddress(address);
    return true;
}
