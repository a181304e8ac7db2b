#include "common/win32.h"

#include "common/text.h"

// Through the system's ANSI code page, as the platform's own "A" functions read
// 8-bit text.
std::u16string WidenAnsi(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::u16string wide(static_cast<size_t>(count), u'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, reinterpret_cast<wchar_t*>(wide.data()), count);
    return wide;
}
