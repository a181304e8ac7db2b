// Registered in the test prefix as the shell's "open" command for http and
// https: it notes each address that the shell hands it and ends at once.
#include "common/win32.h"

#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>

int wmain(int argc, wchar_t** argv) {
    std::string arguments = "[";
    for (int i = 1; i < argc; ++i) {
        if (i > 1) arguments += ",";
        arguments += JsonString(FromWide(argv[i]));
    }
    arguments += "]";
    const std::string record = "{\"pid\":" + std::to_string(GetCurrentProcessId()) +
                               ",\"command_line\":" + JsonString(FromWide(GetCommandLineW())) +
                               ",\"arguments\":" + arguments +
                               ",\"cwd\":" + JsonString(CurrentDirectory()) + "}";
    // Each case points the recorder at its own folder; a stray start outside
    // a case still leaves a trace beside the recorder.
    std::u16string folder = EnvironmentValue(u"TAPWRIGHT_E2E_RECORD_DIR");
    if (folder.empty()) folder = DirectoryOf(ModulePath());
    if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
    return AppendUtf8Line(folder + u"opened.jsonl", record) ? 0 : 1;
}
