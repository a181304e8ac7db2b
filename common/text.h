#pragma once

#include <string>
#include <string_view>

std::u16string DecodeUtf8(std::string_view bytes);

// Platform side (text_win.cpp).
std::u16string WidenAnsi(std::string_view bytes);
std::string NarrowAnsi(const std::u16string& text);
