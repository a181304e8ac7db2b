#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// What FormatWide accepts: integers, 8-bit text (zero-terminated or counted)
// and wide text (zero-terminated or counted). The last three kinds stand for
// everything else a caller might hand in, and make the result empty.
using FormatArgument =
    std::variant<int32_t, const char*, std::string, const char16_t*, std::u16string, bool, double, const void*>;

inline constexpr size_t kMaxFormatArguments = 65536;
inline constexpr size_t kMaxFormattedLength = 1024;

std::u16string FormatWide(const std::u16string& format, const std::vector<FormatArgument>& arguments);
std::u16string GetInstalledVersion();
