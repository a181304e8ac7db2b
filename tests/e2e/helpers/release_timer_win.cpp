// Times whole runs of programs, from CreateProcessW to the end of the
// process, taking turns between them so that a slow spell of the machine
// falls on all of them alike:
//
//   release_timer --runs N [--warm-up W] [--timeout MS]
//                 --case APP_HEX COMMAND_LINE_HEX CWD_HEX [--case ...]
//
// Round r starts with case r modulo the number of cases. The report on
// stdout is {"cases":[{"ms":[...],"exit_codes":[...],"timed_out":K},...]};
// warm-up rounds are run and left out.
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>
#include <vector>

namespace {

struct Case {
    std::u16string app;
    std::u16string command_line;
    std::u16string cwd;
    std::vector<double> ms;
    std::vector<DWORD> exit_codes;
    int timed_out = 0;
};

bool ReadCases(int argc, wchar_t** argv, std::vector<Case>* cases) {
    for (int i = 1; i < argc; ++i) {
        if (FromWide(argv[i]) != u"--case") continue;
        if (i + 3 >= argc) return false;
        Case entry;
        if (!DecodeHexUtf16(FromWide(argv[i + 1]), &entry.app) ||
            !DecodeHexUtf16(FromWide(argv[i + 2]), &entry.command_line) ||
            !DecodeHexUtf16(FromWide(argv[i + 3]), &entry.cwd)) {
            return false;
        }
        cases->push_back(entry);
        i += 3;
    }
    return !cases->empty();
}

// A run that does not end in time is ended, and counted as timed out rather
// than timed.
bool TimeOneRun(Case* entry, DWORD timeout, bool keep) {
    std::vector<wchar_t> line(entry->command_line.begin(), entry->command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    if (!CreateProcessW(Wide(entry->app), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        Wide(entry->cwd), &startup, &info)) {
        return false;
    }
    ScopedKernelHandle process(info.hProcess);
    ScopedKernelHandle thread(info.hThread);
    const bool timed_out = WaitForSingleObject(process.get(), timeout) == WAIT_TIMEOUT;
    QueryPerformanceCounter(&ended);
    if (timed_out) {
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
    }
    if (!keep) return true;
    if (timed_out) {
        ++entry->timed_out;
        return true;
    }
    DWORD exit_code = 0;
    GetExitCodeProcess(process.get(), &exit_code);
    entry->exit_codes.push_back(exit_code);
    entry->ms.push_back(1000.0 * static_cast<double>(ended.QuadPart - started.QuadPart) /
                        static_cast<double>(frequency.QuadPart));
    return true;
}

std::string Report(const std::vector<Case>& cases) {
    std::string out = "{\"cases\":[";
    for (size_t c = 0; c < cases.size(); ++c) {
        if (c > 0) out += ",";
        out += "{\"ms\":[";
        for (size_t i = 0; i < cases[c].ms.size(); ++i) {
            if (i > 0) out += ",";
            out += std::to_string(cases[c].ms[i]);
        }
        out += "],\"exit_codes\":[";
        for (size_t i = 0; i < cases[c].exit_codes.size(); ++i) {
            if (i > 0) out += ",";
            out += std::to_string(cases[c].exit_codes[i]);
        }
        out += "],\"timed_out\":" + std::to_string(cases[c].timed_out) + "}";
    }
    return out + "]}\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<Case> cases;
    if (!ReadCases(argc, argv, &cases)) {
        PrintUtf8("{\"error\":\"usage: release_timer --runs N --case APP CMD CWD ...\"}\n");
        return 2;
    }
    const unsigned runs = NumberArgument(argc, argv, u"--runs", 25);
    const unsigned warm_up = NumberArgument(argc, argv, u"--warm-up", 2);
    const DWORD timeout = NumberArgument(argc, argv, u"--timeout", 30000);
    for (unsigned round = 0; round < warm_up + runs; ++round) {
        for (size_t turn = 0; turn < cases.size(); ++turn) {
            Case& entry = cases[(round + turn) % cases.size()];
            if (!TimeOneRun(&entry, timeout, round >= warm_up)) {
                PrintUtf8("{\"error\":\"CreateProcessW failed\",\"last_error\":" +
                          std::to_string(GetLastError()) + "}\n");
                return 1;
            }
        }
    }
    PrintUtf8(Report(cases));
    return 0;
}
