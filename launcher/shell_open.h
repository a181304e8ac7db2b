#pragma once

#include <string>

// Platform side (shell_open_win.cpp).
void ShellOpen(const std::u16string& file, int show);
