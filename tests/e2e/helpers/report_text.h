// Text plumbing shared by the end-to-end helper programs.
#pragma once

#include <string>

std::string JsonString(const std::u16string& text);
bool DecodeHexUtf16(const std::u16string& hex, std::u16string* text);
