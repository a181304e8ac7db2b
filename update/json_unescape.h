#pragma once

#include <string>

std::u16string UnescapeJson(const std::u16string& text);
