// Starts a program with an exact command line and tells how its run went.
//
//   e2e_run --app HEX --command-line HEX --cwd HEX --result HEX
//           [--pid-file HEX] [--timeout MS] [--grace MS]
//
// HEX is a text as hex of its UTF-16 code units, so that the command line
// reaches CreateProcessW without any quoting rule in between. The program
// runs in a job object: when it has ended, the runner waits (at most the
// grace time) until every process that it started has ended too, and lists
// them. The result is one JSON object written to the result file.
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>
#include <vector>

namespace {

struct Descendant {
    DWORD pid;
    std::u16string image;
};

// Completion-port messages name every process that joins the job while it
// still exists, so the runner can tell which programs the launcher started
// without any of them having to cooperate.
void DrainJobMessages(HANDLE port, DWORD wait_ms, DWORD launcher_pid,
                      std::vector<Descendant>* descendants) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED data = nullptr;
    while (GetQueuedCompletionStatus(port, &message, &key, &data, wait_ms)) {
        wait_ms = 0;
        if (message != JOB_OBJECT_MSG_NEW_PROCESS) continue;
        const DWORD pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(data));
        if (pid == launcher_pid) continue;
        Descendant descendant{pid, {}};
        ScopedKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (process) {
            wchar_t image[MAX_PATH * 4];
            DWORD size = MAX_PATH * 4;
            if (QueryFullProcessImageNameW(process.get(), 0, image, &size)) {
                descendant.image = FromWide(image, size);
            }
        }
        descendants->push_back(descendant);
    }
}

std::string Run(int argc, wchar_t** argv) {
    std::u16string app, command_line, cwd, pid_file;
    if (!HexArgumentValue(argc, argv, u"--app", &app) ||
        !HexArgumentValue(argc, argv, u"--command-line", &command_line)) {
        return StartFailure("bad arguments");
    }
    const bool has_cwd = HexArgumentValue(argc, argv, u"--cwd", &cwd);
    const bool has_pid_file = HexArgumentValue(argc, argv, u"--pid-file", &pid_file);
    const DWORD timeout = NumberArgument(argc, argv, u"--timeout", 20000);
    const DWORD grace = NumberArgument(argc, argv, u"--grace", 5000);

    // Closing the runner's last job handle ends whatever the program left
    // behind, so a case that goes wrong cannot leak into the next one.
    ScopedKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return StartFailure("CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    ScopedKernelHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{};
    association.CompletionKey = job.get();
    association.CompletionPort = port.get();
    const bool has_port =
        port && SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation,
                                        &association, sizeof association);

    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    if (!CreateProcessW(Wide(app), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        has_cwd ? Wide(cwd) : nullptr, &startup, &info)) {
        return StartFailure("CreateProcessW");
    }
    ScopedKernelHandle process(info.hProcess);
    ScopedKernelHandle thread(info.hThread);
    const bool in_job = AssignProcessToJobObject(job.get(), process.get());
    if (has_pid_file) WriteUtf8File(pid_file, std::to_string(info.dwProcessId));
    QueryPerformanceCounter(&started);
    ResumeThread(thread.get());

    const bool timed_out = WaitForSingleObject(process.get(), timeout) == WAIT_TIMEOUT;
    QueryPerformanceCounter(&ended);
    DWORD exit_code = 0;
    if (timed_out) {
        TerminateJobObject(job.get(), 0xDEAD);
    } else {
        GetExitCodeProcess(process.get(), &exit_code);
    }

    std::vector<Descendant> descendants;
    const ULONGLONG settle_start = GetTickCount64();
    bool settled = false;
    for (;;) {
        if (has_port) DrainJobMessages(port.get(), 0, info.dwProcessId, &descendants);
        if (ActiveJobProcesses(job.get()) == 0) {
            settled = true;
            break;
        }
        if (GetTickCount64() - settle_start >= grace) break;
        Sleep(5);
    }
    const ULONGLONG settle_ms = GetTickCount64() - settle_start;
    if (has_port) DrainJobMessages(port.get(), 0, info.dwProcessId, &descendants);
    const DWORD total = TotalJobProcesses(job.get());
    if (!settled) TerminateJobObject(job.get(), 0xDEAD);

    std::string listed = "[";
    for (size_t i = 0; i < descendants.size(); ++i) {
        if (i > 0) listed += ",";
        listed += "{\"pid\":" + std::to_string(descendants[i].pid) +
                  ",\"image\":" + JsonString(descendants[i].image) + "}";
    }
    listed += "]";
    const double elapsed_ms =
        1000.0 * static_cast<double>(ended.QuadPart - started.QuadPart) / frequency.QuadPart;
    return "{\"started\":true,\"pid\":" + std::to_string(info.dwProcessId) +
           ",\"in_job\":" + (in_job ? "true" : "false") +
           ",\"job_messages\":" + (has_port ? "true" : "false") +
           ",\"timed_out\":" + (timed_out ? "true" : "false") +
           ",\"exit_code\":" + std::to_string(exit_code) +
           ",\"elapsed_ms\":" + std::to_string(elapsed_ms) +
           ",\"descendants_settled\":" + (settled ? "true" : "false") +
           ",\"settle_ms\":" + std::to_string(settle_ms) +
           ",\"total_processes\":" + std::to_string(total) + ",\"descendants\":" + listed + "}";
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
