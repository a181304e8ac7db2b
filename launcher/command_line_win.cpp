#include "common/win32.h"

#include "launcher/command_line.h"

#include <vector>

namespace {

// A path longer than MAX_PATH is not cut: the buffer grows until the whole
// path fits, or the platform fails.
std::u16string ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD count = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (count == 0) {
            return {};
        }
        if (count < buffer.size()) {
            return FromWide(buffer.data(), count);
        }
        if (buffer.size() >= 0x8000) {  // beyond the longest path Windows has
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::u16string GetArgument(int index) {
    if (index == 0) {
        return ModulePath();
    }
    return ArgumentOf(reinterpret_cast<const char16_t*>(GetCommandLineW()), index);
}

// Read-only, hidden, system and unreadable files all count as present: only
// "missing" and "is a directory" make an installation broken.
bool IsExistingFile(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
