// File and process plumbing shared by the end-to-end helper programs.
#pragma once

#include <string>

std::u16string ModulePath();
std::u16string CurrentDirectory();
std::u16string EnvironmentValue(const char16_t* name);
std::u16string DirectoryOf(const std::u16string& path);
bool AppendUtf8Line(const std::u16string& path, const std::string& line);
bool WriteUtf8File(const std::u16string& path, const std::string& content);
void PrintUtf8(const std::string& text);
bool ArgumentValue(int argc, wchar_t** argv, const char16_t* name, std::u16string* value);
bool HexArgumentValue(int argc, wchar_t** argv, const char16_t* name, std::u16string* value);
unsigned NumberArgument(int argc, wchar_t** argv, const char16_t* name, unsigned fallback);
std::string StartFailure(const char* what);
unsigned long ActiveJobProcesses(void* job);
unsigned long TotalJobProcesses(void* job);
