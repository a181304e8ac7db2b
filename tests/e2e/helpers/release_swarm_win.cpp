// Starts several copies of a program at the same moment, as a user who
// double-clicks in a hurry would:
//
//   release_swarm --app HEX --command-line HEX --cwd HEX --count N
//                 --pids HEX --ended HEX --result HEX [--timeout MS] [--grace MS]
//
// Every copy is created suspended, then all are resumed back to back. The
// pids file lists them before they run; each copy that ends adds a line to
// the ended file at once, so that a test can look at the survivors while
// they still run. All copies live in one job object: closing it ends
// whatever they left behind.
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"

#include <string>
#include <vector>

namespace {

struct Copy {
    DWORD pid = 0;
    ScopedKernelHandle process;
    ScopedKernelHandle thread;
    bool ended = false;
    DWORD exit_code = 0;
    double ms = 0;
};

std::string Run(int argc, wchar_t** argv) {
    std::u16string app, command_line, cwd, pids_path, ended_path;
    if (!HexArgumentValue(argc, argv, u"--app", &app) ||
        !HexArgumentValue(argc, argv, u"--command-line", &command_line) ||
        !HexArgumentValue(argc, argv, u"--cwd", &cwd) ||
        !HexArgumentValue(argc, argv, u"--pids", &pids_path) ||
        !HexArgumentValue(argc, argv, u"--ended", &ended_path)) {
        return StartFailure("bad arguments");
    }
    const unsigned count = NumberArgument(argc, argv, u"--count", 8);
    const DWORD timeout = NumberArgument(argc, argv, u"--timeout", 30000);
    const DWORD grace = NumberArgument(argc, argv, u"--grace", 5000);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return StartFailure("bad count");

    ScopedKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return StartFailure("CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

    std::vector<Copy> copies(count);
    std::string pids = "[";
    for (unsigned i = 0; i < count; ++i) {
        std::vector<wchar_t> line(command_line.begin(), command_line.end());
        line.push_back(L'\0');
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(Wide(app), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                            nullptr, Wide(cwd), &startup, &info)) {
            return StartFailure("CreateProcessW");
        }
        copies[i].pid = info.dwProcessId;
        copies[i].process.reset(info.hProcess);
        copies[i].thread.reset(info.hThread);
        AssignProcessToJobObject(job.get(), info.hProcess);
        pids += (i > 0 ? "," : "") + std::to_string(info.dwProcessId);
    }
    pids += "]";
    WriteUtf8File(pids_path, pids + "\n");

    LARGE_INTEGER frequency, started, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    for (Copy& copy : copies) ResumeThread(copy.thread.get());

    unsigned running = count;
    const ULONGLONG deadline = GetTickCount64() + timeout;
    while (running > 0 && GetTickCount64() < deadline) {
        std::vector<HANDLE> waiting;
        std::vector<Copy*> owners;
        for (Copy& copy : copies) {
            if (!copy.ended) {
                waiting.push_back(copy.process.get());
                owners.push_back(&copy);
            }
        }
        const DWORD left = static_cast<DWORD>(deadline - GetTickCount64());
        const DWORD woken =
            WaitForMultipleObjects(static_cast<DWORD>(waiting.size()), waiting.data(), FALSE, left);
        if (woken >= WAIT_OBJECT_0 + waiting.size()) break;
        QueryPerformanceCounter(&now);
        Copy* copy = owners[woken - WAIT_OBJECT_0];
        copy->ended = true;
        GetExitCodeProcess(copy->process.get(), &copy->exit_code);
        copy->ms = 1000.0 * static_cast<double>(now.QuadPart - started.QuadPart) /
                   static_cast<double>(frequency.QuadPart);
        AppendUtf8Line(ended_path, "{\"pid\":" + std::to_string(copy->pid) +
                                       ",\"exit_code\":" + std::to_string(copy->exit_code) + "}");
        --running;
    }

    // What the copies started (the main program) may outlive them briefly.
    const ULONGLONG settle_start = GetTickCount64();
    bool settled = false;
    while (GetTickCount64() - settle_start < grace) {
        if (ActiveJobProcesses(job.get()) == 0) {
            settled = true;
            break;
        }
        Sleep(5);
    }

    std::string listed = "[";
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0) listed += ",";
        listed += "{\"pid\":" + std::to_string(copies[i].pid) +
                  ",\"ended\":" + (copies[i].ended ? "true" : "false") +
                  ",\"exit_code\":" + std::to_string(copies[i].exit_code) +
                  ",\"ms\":" + std::to_string(copies[i].ms) + "}";
    }
    listed += "]";
    return std::string("{\"started\":true,\"timed_out\":") + (running > 0 ? "true" : "false") +
           ",\"settled\":" + (settled ? "true" : "false") + ",\"copies\":" + listed + "}";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::u16string result_path;
    const std::string result = Run(argc, argv);
    if (HexArgumentValue(argc, argv, u"--result", &result_path)) {
        return WriteUtf8File(result_path, result + "\n") ? 0 : 1;
    }
    PrintUtf8(result + "\n");
    return 0;
}
