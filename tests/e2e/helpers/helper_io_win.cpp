#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <vector>

std::u16string ModulePath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD count =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return FromWide(buffer.data(), count);
}

std::u16string CurrentDirectory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::vector<wchar_t> buffer(size + 1);
    const DWORD count = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return FromWide(buffer.data(), count);
}

std::u16string EnvironmentValue(const char16_t* name) {
    const DWORD size = GetEnvironmentVariableW(Wide(name), nullptr, 0);
    if (size == 0) return {};
    std::vector<wchar_t> buffer(size);
    const DWORD count = GetEnvironmentVariableW(Wide(name), buffer.data(), size);
    return FromWide(buffer.data(), count);
}

std::u16string DirectoryOf(const std::u16string& path) {
    const size_t last = path.find_last_of(u"\\/");
    return last == std::u16string::npos ? std::u16string() : path.substr(0, last + 1);
}

namespace {

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

}  // namespace

// One write per line with FILE_APPEND_DATA: several recorders may share a
// file, and each line must land whole.
bool AppendUtf8Line(const std::u16string& path, const std::string& line) {
    ScopedKernelHandle file(CreateFileW(Wide(path), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && WriteAll(file.get(), line + "\n");
}

// Written under a temporary name and moved into place, so that a reader that
// polls for the file never sees half of it.
bool WriteUtf8File(const std::u16string& path, const std::string& content) {
    const std::u16string temporary = path + u".part";
    {
        ScopedKernelHandle file(CreateFileW(Wide(temporary), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !WriteAll(file.get(), content)) return false;
    }
    return MoveFileExW(Wide(temporary), Wide(path), MOVEFILE_REPLACE_EXISTING) != 0;
}

void PrintUtf8(const std::string& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) WriteAll(out, text);
}

bool ArgumentValue(int argc, wchar_t** argv, const char16_t* name, std::u16string* value) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (FromWide(argv[i]) == name) {
            *value = FromWide(argv[i + 1]);
            return true;
        }
    }
    return false;
}

bool HexArgumentValue(int argc, wchar_t** argv, const char16_t* name, std::u16string* value) {
    std::u16string hex;
    return ArgumentValue(argc, argv, name, &hex) && DecodeHexUtf16(hex, value);
}

unsigned NumberArgument(int argc, wchar_t** argv, const char16_t* name, unsigned fallback) {
    std::u16string text;
    if (!ArgumentValue(argc, argv, name, &text) || text.empty()) return fallback;
    unsigned value = 0;
    for (char16_t digit : text) {
        if (digit < u'0' || digit > u'9') return fallback;
        value = value * 10 + (digit - u'0');
    }
    return value;
}

// What a program that starts others reports when it could not: the step that
// failed and the platform's error.
std::string StartFailure(const char* what) {
    return std::string("{\"started\":false,\"error\":\"") + what +
           "\",\"last_error\":" + std::to_string(GetLastError()) + "}";
}

// ~0 when the job cannot be asked, so that a waiter never takes it for empty.
unsigned long ActiveJobProcesses(void* job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof accounting, nullptr)) {
        return ~0ul;
    }
    return accounting.ActiveProcesses;
}

unsigned long TotalJobProcesses(void* job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                              sizeof accounting, nullptr);
    return accounting.TotalProcesses;
}
