#include "common/win32.h"

#include "update/version_probe.h"

#include <deque>

#include "common/system_library.h"
#include "common/text.h"
#include "launcher/main_program.h"

// The argument slots and the wide copies live on the heap, sized to the call:
// fixed tables for the largest call would take about a megabyte of stack.
std::u16string FormatWide(const std::u16string& format, const std::vector<FormatArgument>& arguments) {
    if (arguments.empty() || arguments.size() > kMaxFormatArguments) {
        return {};
    }
    std::vector<uintptr_t> slots;
    slots.reserve(arguments.size());
    std::deque<std::u16string> copies;  // a deque never moves what it holds
    for (const FormatArgument& argument : arguments) {
        switch (argument.index()) {
            case 0:
                slots.push_back(static_cast<uintptr_t>(static_cast<intptr_t>(std::get<int32_t>(argument))));
                break;
            case 1: {
                const char* text = std::get<const char*>(argument);
                copies.push_back(text ? WidenAnsi(text) : std::u16string());
                slots.push_back(reinterpret_cast<uintptr_t>(copies.back().c_str()));
                break;
            }
            case 2: {
                const std::string& text = std::get<std::string>(argument);
                copies.push_back(WidenAnsi(text));
                slots.push_back(reinterpret_cast<uintptr_t>(copies.back().c_str()));
                break;
            }
            case 3:
                slots.push_back(reinterpret_cast<uintptr_t>(std::get<const char16_t*>(argument)));
                break;
            case 4:
                slots.push_back(reinterpret_cast<uintptr_t>(std::get<std::u16string>(argument).c_str()));
                break;
            default:
                return {};
        }
    }
    // On overflow the count reported can include the terminator that the
    // platform wrote at the end of the cut text; it is not part of the result.
    wchar_t buffer[kMaxFormattedLength + 1] = {};
    const int reported = wvsprintfW(buffer, Wide(format), reinterpret_cast<va_list>(slots.data()));
    if (reported <= 0) {
        return {};
    }
    const size_t length = std::min<size_t>(static_cast<size_t>(reported), kMaxFormattedLength);
    return FromWide(buffer, std::min(length, wcslen(buffer)));
}

namespace {

// The version library is no known DLL: it comes from System32 only, through
// LoadSystemLibrary rather than the import table.
struct VersionLibrary {
    decltype(&::GetFileVersionInfoSizeW) GetFileVersionInfoSizeW;
    decltype(&::GetFileVersionInfoW) GetFileVersionInfoW;
    decltype(&::VerQueryValueW) VerQueryValueW;
};

VersionLibrary LoadVersionLibrary() {
    HMODULE module = LoadSystemLibrary(L"version.dll");
    if (module == nullptr) {
        return {};
    }
    return {
        GetLibraryFunction<decltype(&::GetFileVersionInfoSizeW)>(module, "GetFileVersionInfoSizeW"),
        GetLibraryFunction<decltype(&::GetFileVersionInfoW)>(module, "GetFileVersionInfoW"),
        GetLibraryFunction<decltype(&::VerQueryValueW)>(module, "VerQueryValueW"),
    };
}

}  // namespace

// The file version, never the product version: the endpoint decides on what
// the file says it is. Every failure reads as "0.0.0.0".
std::u16string GetInstalledVersion() {
    const std::u16string fallback = u"0.0.0.0";
    const VersionLibrary api = LoadVersionLibrary();
    if (!api.GetFileVersionInfoSizeW || !api.GetFileVersionInfoW || !api.VerQueryValueW) {
        return fallback;
    }
    const std::u16string path = MainProgramPath();
    DWORD ignored = 0;
    const DWORD size = api.GetFileVersionInfoSizeW(Wide(path), &ignored);
    if (size == 0) {
        return fallback;
    }
    std::vector<BYTE> block(size);
    if (!api.GetFileVersionInfoW(Wide(path), 0, size, block.data())) {
        return fallback;
    }
    void* fixed = nullptr;
    UINT length = 0;
    if (!api.VerQueryValueW(block.data(), L"\\", &fixed, &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return fallback;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    return FormatWide(u"%d.%d.%d.%d", {
                                          static_cast<int32_t>(HIWORD(info->dwFileVersionMS)),
                                          static_cast<int32_t>(LOWORD(info->dwFileVersionMS)),
                                          static_cast<int32_t>(HIWORD(info->dwFileVersionLS)),
                                          static_cast<int32_t>(LOWORD(info->dwFileVersionLS)),
                                      });
}
