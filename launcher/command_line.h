#pragma once

#include <string>

const char16_t* SkipBlanks(const char16_t* p);
const char16_t* SkipArgument(const char16_t* p);
std::u16string ArgumentOf(const char16_t* commandLine, int index);
std::u16string ExtractDirectory(const std::u16string& path);

// Platform side (command_line_win.cpp).
std::u16string GetArgument(int index);
bool IsExistingFile(const std::u16string& path);
