// The Windows side of the end-to-end tests, the demo and the benchmark, one verb each (see
// wmain). Texts come in as hex of their UTF-16 units, so that no quoting rule can alter them;
// reports go out as one line of JSON on stdout.
#include "common/win32.h"

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/scoped_win.h"
#include "common/system_library.h"
#include "common/text.h"
#include "launcher/fatal_error.h"
#include "update/version_probe.h"

namespace {

using std::to_string;
using Strings = std::vector<std::string>;

constexpr int kBadArguments = 2;
constexpr DWORD kLongPath = 32768;
constexpr wchar_t kMutexName[] = L"TapwrightServiceMutex";

// The tests compare texts unit for unit, so nothing may be lost on the way out: control
// characters (a box's "\r\r") and lone surrogates travel as \u escapes, the rest as UTF-8.
std::string Json(const std::u16string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        char bytes[8];
        if (unit == u'"' || unit == u'\\') {
            out += {'\\', static_cast<char>(unit)};
        } else if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF && !pair)) {
            out.append(bytes, std::snprintf(bytes, sizeof bytes, "\\u%04x", unit + 0u));
        } else {
            out.append(bytes, WideCharToMultiByte(CP_UTF8, 0, Wide(text) + i, pair ? 2 : 1, bytes,
                                                  sizeof bytes, nullptr, nullptr));
            i += pair;
        }
    }
    return out + "\"";
}

std::string List(const Strings& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
    return "[" + out + "]";
}

// {"name":value,...}, from names and values that are JSON already.
template <typename... Fields>
std::string Object(const Fields&... fields) {
    const std::string parts[] = {std::string(fields)...};
    std::string out;
    for (size_t i = 0; i < sizeof...(fields); i += 2) {
        out += (i == 0 ? "\"" : ",\"") + parts[i] + "\":" + parts[i + 1];
    }
    return "{" + out + "}";
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

std::string Handle(const void* handle) {
    return to_string(reinterpret_cast<uintptr_t>(handle));
}

// The words after the verb, as "--name value" pairs. A value that is missing or malformed sets
// `bad`, so that a verb reads all it needs first and checks once.
struct Arguments {
    std::vector<std::u16string> words;
    mutable bool bad = false;

    // Four hex digits per UTF-16 unit, the low byte first, as the units lie in memory.
    std::u16string Decode(const std::u16string& hex) const {
        std::u16string text;
        bad |= hex.size() % 4 != 0 || hex.find_first_not_of(u"0123456789abcdefABCDEF") != hex.npos;
        for (size_t i = 0; !bad && i < hex.size(); i += 4) {
            const unsigned value = std::stoul(std::string(&hex[i], &hex[i] + 4), nullptr, 16);
            text.push_back(static_cast<char16_t>(value >> 8 | value << 8));
        }
        return text;
    }
    const std::u16string* Find(const char16_t* name) const {
        for (size_t i = 2; i + 1 < words.size(); ++i) {
            if (words[i] == name) return &words[i + 1];
        }
        return nullptr;
    }
    std::u16string Hex(const char16_t* name, bool required = true) const {
        bad |= required && Find(name) == nullptr;
        return Find(name) != nullptr ? Decode(*Find(name)) : u"";
    }
    uint64_t Number(const char16_t* name, std::optional<uint64_t> fallback = {}) const {
        const std::u16string* text = Find(name);
        wchar_t* end = nullptr;
        const uint64_t number = text ? wcstoull(Wide(*text), &end, 10) : fallback.value_or(0);
        bad |= text ? text->empty() || !iswdigit(text->front()) || *end != 0 : !fallback;
        return number;
    }
};

int Reply(const std::string& json, int exit_code = 0) {
    const std::string line = json + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), line.size(), &written, nullptr);
    return exit_code;
}

int Failure(const char* step) {
    const std::string error = to_string(GetLastError());
    return Reply(Object("error", "\"" + std::string(step) + "\"", "last_error", error), 1);
}

// A line is appended with one WriteFile, so that the lines of several writers land whole; any
// other file is written under a temporary name and moved into place, so that a poller never
// sees half of it.
bool WriteLine(const std::u16string& path, const std::string& json, bool append) {
    const std::u16string target = append ? path : path + u".part";
    const std::string line = json + "\n";
    DWORD written = 0;
    ScopedKernelHandle file(CreateFileW(Wide(target), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr));
    if (!file || !WriteFile(file.get(), line.data(), line.size(), &written, nullptr)) return false;
    file.reset();
    return append || MoveFileExW(Wide(target), Wide(path), MOVEFILE_REPLACE_EXISTING);
}

// What a call leaves in a buffer of kLongPath units, as many as the length it returns.
template <typename Fill>
std::u16string Filled(Fill fill) {
    std::vector<wchar_t> text(kLongPath);
    return FromWide(text.data(), fill(text.data()));
}

// CreateProcessW may write into the command line, hence the copy.
bool Start(std::u16string line, const std::u16string& app, const std::u16string& cwd, DWORD flags,
           PROCESS_INFORMATION* info) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(Wide(app), reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr,
                          FALSE, flags, nullptr, cwd.empty() ? nullptr : Wide(cwd), &startup, info);
}

// The copies run in a job, so that the runner can wait for everything they started (the main
// program, the browser) to end too, and so that closing the job ends whatever is left in it: a
// run cannot leak into the next one. The time runs from the copies' resumption to the end of
// the last one.
int Run(const Arguments& arguments) {
    const std::u16string app = arguments.Hex(u"--app"), line = arguments.Hex(u"--command-line"),
                         cwd = arguments.Hex(u"--cwd", false),
                         pids_path = arguments.Hex(u"--pids", false);
    const uint64_t count = arguments.Number(u"--copies", 1),
                   timeout = arguments.Number(u"--timeout", 20000),
                   grace = arguments.Number(u"--grace", 5000);
    if (arguments.bad || count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kBadArguments;
    ScopedKernelHandle job(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
        return Failure("job");
    }
    std::vector<ScopedKernelHandle> copies, threads;
    std::vector<HANDLE> waited;
    Strings pids, exit_codes;
    for (PROCESS_INFORMATION info{}; copies.size() < count; waited.push_back(info.hProcess)) {
        if (!Start(line, app, cwd, CREATE_SUSPENDED, &info)) return Failure("start");
        copies.emplace_back(info.hProcess);
        threads.emplace_back(info.hThread);
        pids.push_back(to_string(info.dwProcessId));
        if (!AssignProcessToJobObject(job.get(), info.hProcess)) return Failure("job");
    }
    if (!pids_path.empty() && !WriteLine(pids_path, List(pids), false)) return Failure("pids");
    const auto started = std::chrono::steady_clock::now();
    for (const ScopedKernelHandle& thread : threads) ResumeThread(thread.get());
    const bool timed_out =
        WaitForMultipleObjects(count, waited.data(), TRUE, timeout) == WAIT_TIMEOUT;
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - started;
    for (const ScopedKernelHandle& copy : copies) {
        DWORD exit_code = 0;
        GetExitCodeProcess(copy.get(), &exit_code);
        exit_codes.push_back(exit_code == STILL_ACTIVE ? "null" : to_string(exit_code));
    }
    if (timed_out) TerminateJobObject(job.get(), 1);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < grace; Sleep(5)) {
        QueryInformationJobObject(job.get(), JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr);
        if (accounting.ActiveProcesses == 0) break;
    }
    return Reply(Object("exit_codes", List(exit_codes), "elapsed_ms", to_string(elapsed.count())));
}

std::vector<HWND> Windows(HWND parent) {
    std::vector<HWND> found;
    const WNDENUMPROC collect = [](HWND window, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
    };
    const LPARAM list = reinterpret_cast<LPARAM>(&found);
    parent != nullptr ? EnumChildWindows(parent, collect, list) : EnumWindows(collect, list);
    return found;
}

std::u16string TextOf(HWND window) {
    return Filled([window](wchar_t* text) { return GetWindowTextW(window, text, kLongPath); });
}

// No longer than 256 units, and Wine fails a longer buffer (its length in bytes is a USHORT).
std::u16string ClassOf(HWND window) {
    return Filled([window](wchar_t* name) { return GetClassNameW(window, name, 256); });
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::vector<HWND> Buttons(HWND box) {
    std::vector<HWND> buttons = Windows(box);
    std::erase_if(
        buttons, [](HWND child) { return ClassOf(child) != u"Button" || !IsWindowVisible(child); });
    return buttons;
}

// What a rectangle of the source shows, or an icon drawn on a plain background.
std::vector<uint32_t> Picture(HDC source, RECT area, HICON icon, uint32_t background) {
    const int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFO format{};
    format.bmiHeader = {sizeof format.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    uint32_t* bits = nullptr;
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS,
                                      reinterpret_cast<void**>(&bits), nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    if (bits != nullptr) std::fill(bits, bits + width * height, background);
    if (source) BitBlt(memory, 0, 0, width, height, source, area.left, area.top, SRCCOPY);
    if (icon != nullptr) DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    GdiFlush();
    std::vector<uint32_t> picture(bits, bits == nullptr ? bits : bits + width * height);
    for (uint32_t& pixel : picture) pixel &= 0xFFFFFF;
    DeleteObject(SelectObject(memory, previous));
    DeleteDC(memory);
    return picture;
}

// Under Wine an icon handle works only in the process that loaded it (GetIconInfo fails with
// ERROR_INVALID_CURSOR_HANDLE), so what the box shows is compared with each system icon drawn
// on the same background. The box's own DC yields only its visible part: a covered icon reads
// as "other", never as another box's icon.
std::u16string IconName(HWND box) {
    const std::pair<const char16_t*, const wchar_t*> kSystem[] = {
        {u"error", IDI_ERROR}, {u"information", IDI_INFORMATION}, {u"question", IDI_QUESTION},
        {u"warning", IDI_WARNING}};
    HWND control = nullptr;
    DWORD_PTR shown = 0;
    for (HWND child : Windows(box)) {
        if (shown == 0 && ClassOf(child) == u"Static") {
            control = child;
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 1000, &shown);
        }
    }
    if (shown == 0) return u"none";
    RECT frame, area;
    GetWindowRect(box, &frame);
    GetWindowRect(control, &area);
    OffsetRect(&area, -frame.left, -frame.top);
    const RECT size{0, 0, area.right - area.left, area.bottom - area.top};
    // A box that has just appeared may not be painted yet.
    for (const ULONGLONG start = GetTickCount64(); GetTickCount64() - start < 1000; Sleep(20)) {
        HDC source = GetWindowDC(box);
        const std::vector<uint32_t> seen = Picture(source, area, nullptr, 0);
        ReleaseDC(box, source);
        for (const auto& [name, id] : kSystem) {
            if (seen.size() > 0 &&
                Picture(nullptr, size, LoadIconW(nullptr, id), seen[0]) == seen) {
                return name;
            }
        }
    }
    return u"other";
}

std::string DescribeBox(HWND box) {
    Strings buttons;
    for (HWND button : Buttons(box)) {
        buttons.push_back(
            Object("id", to_string(GetDlgCtrlID(button)), "text", Json(TextOf(button))));
    }
    RECT r{};
    GetWindowRect(box, &r);
    return Object(
        "hwnd", Handle(box), "pid", to_string(ProcessOf(box)), "caption", Json(TextOf(box)), "text",
        Json(TextOf(GetDlgItem(box, 0xFFFF))), "buttons", List(buttons), "rect",
        List({to_string(r.left), to_string(r.top), to_string(r.right), to_string(r.bottom)}),
        "owner", Handle(GetWindow(box, GW_OWNER)), "icon", Json(IconName(box)));
}

// A box counts once it is visible and has its buttons: by then its text is set. The runner
// holds the watched process open until it has reported, so that its id cannot pass to another.
int Boxes(const Arguments& arguments) {
    const uint64_t pid = arguments.Number(u"--pid", 0), wait = arguments.Number(u"--wait", 0);
    if (arguments.bad) return kBadArguments;
    std::vector<HWND> boxes;
    bool ended = false;
    for (const ULONGLONG start = GetTickCount64(); boxes.empty() && !ended; Sleep(5)) {
        boxes = Windows(nullptr);
        std::erase_if(boxes, [pid](HWND window) {
            return !IsWindowVisible(window) || ClassOf(window) != u"#32770" ||
                   (pid != 0 && ProcessOf(window) != pid) || Buttons(window).empty();
        });
        ScopedKernelHandle process(pid != 0 ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr);
        ended = pid != 0 && (!process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0);
        if (GetTickCount64() - start >= wait) break;
    }
    Strings described;
    for (HWND box : boxes) described.push_back(DescribeBox(box));
    return Reply(Object("boxes", List(described), "ended", Bool(ended)));
}

// The click arrives as the button's own notification, exactly what a mouse click would send.
int Press(const Arguments& arguments) {
    HWND box = reinterpret_cast<HWND>(arguments.Number(u"--hwnd"));
    const uint64_t id = arguments.Number(u"--button");
    if (arguments.bad) return kBadArguments;
    const bool posted = PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    for (const ULONGLONG end = GetTickCount64() + 5000; IsWindow(box) && GetTickCount64() < end;)
        Sleep(5);
    return Reply(Object("closed", Bool(!IsWindow(box))), posted && !IsWindow(box) ? 0 : 1);
}

// EnumWindows passes over message-only windows: they hang below HWND_MESSAGE.
int ListWindows(const Arguments& arguments) {
    const uint64_t pid = arguments.Number(u"--pid");
    if (arguments.bad) return kBadArguments;
    Strings listed;
    std::vector<HWND> windows = Windows(nullptr);
    for (HWND window = nullptr; (window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr));) {
        windows.push_back(window);
    }
    for (HWND window : windows) {
        if (ProcessOf(window) != pid) continue;
        listed.push_back(Object("class", Json(ClassOf(window)), "visible",
                                Bool(IsWindowVisible(window))));
    }
    return Reply(Object("windows", List(listed)));
}

// With --deny the mutex stands for one that a copy started by an elevated installer holds: its
// access list denies everyone, this user included, every access.
int HoldMutex(const Arguments& arguments) {
    const std::u16string ready = arguments.Hex(u"--ready"), stop = arguments.Hex(u"--stop");
    const std::u16string name = arguments.Hex(u"--name", false);  // another mutex than ours
    const uint64_t timeout = arguments.Number(u"--timeout", 600000);
    const bool deny = std::count(arguments.words.begin(), arguments.words.end(), u"--deny") > 0;
    if (arguments.bad) return kBadArguments;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (deny &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(D;;GA;;;WD)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
        return Failure("DACL");
    }
    SetLastError(ERROR_SUCCESS);
    ScopedKernelHandle mutex(
        CreateMutexW(deny ? &attributes : nullptr, TRUE, name.empty() ? kMutexName : Wide(name)));
    const DWORD error = GetLastError();
    const bool held = mutex && error != ERROR_ALREADY_EXISTS;
    WriteLine(ready, Object("held", Bool(held), "last_error", to_string(error)), false);
    for (const ULONGLONG start = GetTickCount64(); held && GetTickCount64() - start < timeout;
         Sleep(20)) {
        if (GetFileAttributesW(Wide(stop)) != INVALID_FILE_ATTRIBUTES) break;
    }
    return held ? 0 : 1;
}

// A file held as a virus scanner, the search indexer or Explorer's thumbnailer holds one:
// reading and writing shared, deleting (so renaming too) not. It watches for the file to appear,
// since a setup makes its files as it goes (and with --when, for that one first), and holds it
// for --ms.
int HoldFile(const Arguments& arguments) {
    const std::u16string path = arguments.Hex(u"--file"), ready = arguments.Hex(u"--ready"),
                         when = arguments.Hex(u"--when", false);
    const uint64_t ms = arguments.Number(u"--ms"), wait = arguments.Number(u"--wait", 60000);
    if (arguments.bad) return kBadArguments;
    WriteLine(ready, Object("held", "false"), false);  // watching
    ScopedKernelHandle file;
    for (const ULONGLONG start = GetTickCount64(); !file && GetTickCount64() - start < wait;
         Sleep(1)) {
        if (when.empty() || GetFileAttributesW(Wide(when)) != INVALID_FILE_ATTRIBUTES) {
            file.reset(CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
        }
    }
    WriteLine(ready, Object("held", Bool(static_cast<bool>(file))), false);
    if (file) Sleep(ms);
    return file ? 0 : 1;
}

// Kept out of line and behind volatile values, so that the compiler can neither prove a fault
// away nor move it out of this module. Exhausted memory is a request that no allocator can meet;
// anything else is a throw that nothing catches.
__attribute__((noinline)) void TakeFault(const std::u16string& kind) {
    volatile int* volatile target = nullptr;
    volatile size_t absurd = SIZE_MAX / 2;
    if (kind == u"access-violation") *target = 216;
    if (kind == u"out-of-memory") ::operator delete(::operator new(absurd));
    throw std::bad_alloc();
}

int Fault(const Arguments& arguments) {
    const std::u16string kind = arguments.words.size() > 2 ? arguments.words[2] : u"";
    const std::u16string path = arguments.Hex(u"--module");
    if (arguments.bad) return kBadArguments;
    InstallFatalErrorHandlers();
    // A fault taken while the loader lock is held: no new thread can start then.
    if (std::count(arguments.words.begin(), arguments.words.end(), u"--loader-lock") > 0) {
        using LockLoader = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
        ULONG_PTR cookie = 0;
        reinterpret_cast<LockLoader>(reinterpret_cast<void*>(GetProcAddress(
            GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")))(0, nullptr, &cookie);
    }
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    WriteLine(path,
              Object("base", Handle(base), "size", to_string(headers->OptionalHeader.SizeOfImage)),
              false);
    TakeFault(kind);
    return 1;
}

// Each run points the recorder at a folder of its own. A program's address is downloaded (by
// urlmon from System32: no planted WinINet) into the current folder and run silently, as users do.
int Open(const Arguments& arguments) {
    Strings words;
    for (size_t i = 2; i < arguments.words.size(); ++i) words.push_back(Json(arguments.words[i]));
    const std::u16string folder = Filled([](wchar_t* path) {
        return GetEnvironmentVariableW(L"TAPWRIGHT_E2E_RECORD_DIR", path, kLongPath);
    });
    if (!WriteLine(folder + u"\\opened.jsonl", Object("arguments", List(words)), true)) return 1;
    if (!arguments.words.back().ends_with(u".exe")) return 0;
    using Download = HRESULT(WINAPI*)(void*, const wchar_t*, const wchar_t*, DWORD, void*);
    const auto download = GetLibraryFunction<Download>(LoadSystemLibrary(L"urlmon.dll"),
                                                       "URLDownloadToFileW");
    PROCESS_INFORMATION info{};
    const bool ran = download &&
                     download(nullptr, Wide(arguments.words.back()), L"setup.exe", 0, 0) == S_OK &&
                     Start(u"setup.exe /S", u"setup.exe", u"", 0, &info);
    ScopedKernelHandle process(info.hProcess), thread(info.hThread);
    return ran && WaitForSingleObject(process.get(), INFINITE) == WAIT_OBJECT_0 ? 0 : 1;
}

}  // namespace

// Started without arguments, the program stands in for the main program (the tests copy it into
// install folders as Tapwright.exe) and notes how the launcher started it.
int wmain(int argc, wchar_t** argv) {
    Arguments arguments;
    for (int i = 0; i < argc; ++i) arguments.words.push_back(FromWide(argv[i]));
    if (argc == 1) {
        const std::u16string module =
            Filled([](wchar_t* path) { return GetModuleFileNameW(nullptr, path, kLongPath); });
        const std::u16string cwd =
            Filled([](wchar_t* path) { return GetCurrentDirectoryW(kLongPath, path); });
        WriteLine(module + u".started.jsonl",
                  Object("version", Json(GetInstalledVersion()), "command_line",
                         Json(FromWide(GetCommandLineW())), "cwd", Json(cwd)),
                  true);
        return 0;
    }
    const std::pair<const char16_t*, int (*)(const Arguments&)> kVerbs[] = {
        {u"run", Run},         {u"boxes", Boxes}, {u"press", Press}, {u"windows", ListWindows},
        {u"mutex", HoldMutex}, {u"hold", HoldFile}, {u"fault", Fault}, {u"open", Open}};
    for (const auto& [name, verb] : kVerbs) {
        const int exit_code = arguments.words[1] == name ? verb(arguments) : kBadArguments;
        if (exit_code != kBadArguments) return exit_code;
    }
    return Reply(
        "usage: tapwright_bench run|boxes|press|windows|mutex|hold|fault|open [--name value]...",
        kBadArguments);
}
