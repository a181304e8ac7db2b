// Stands in for the product's main program: it notes how it was started, in
// a file beside itself, and ends at once.
#include "common/win32.h"

#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>

int wmain() {
    const std::u16string module = ModulePath();
    const std::string record = "{\"pid\":" + std::to_string(GetCurrentProcessId()) +
                               ",\"module\":" + JsonString(module) +
                               ",\"command_line\":" + JsonString(FromWide(GetCommandLineW())) +
                               ",\"cwd\":" + JsonString(CurrentDirectory()) + "}";
    return AppendUtf8Line(module + u".started.jsonl", record) ? 0 : 1;
}
