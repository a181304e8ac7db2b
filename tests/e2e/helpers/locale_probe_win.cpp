// Tells which locale Wine derived from the Unix environment, as the
// launcher will see it.
#include "common/win32.h"

#include "tests/e2e/helpers/helper_io.h"

#include <string>

int wmain() {
    PrintUtf8("{\"user_lcid\":" + std::to_string(GetUserDefaultLCID()) +
              ",\"system_lcid\":" + std::to_string(GetSystemDefaultLCID()) +
              ",\"ui_language\":" + std::to_string(GetUserDefaultUILanguage()) +
              ",\"ansi_code_page\":" + std::to_string(GetACP()) + "}\n");
    return 0;
}
