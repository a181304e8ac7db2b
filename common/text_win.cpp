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

// Characters the code page lacks come out as its best fit or its default
// character, as the platform's own "A" functions would see them.
std::string NarrowAnsi(const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, Wide(text), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, Wide(text), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}
