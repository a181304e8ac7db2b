#pragma once

#include <string>

inline constexpr char16_t kMainProgramName[] = u"Tapwright.exe";

std::u16string ProgramDirectory();
std::u16string MainProgramPath();
void StartMainProgram();
