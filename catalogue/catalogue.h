#pragma once

#include <cstdint>
#include <string>

extern uint32_t UserLcid;

std::u16string TranslateFor(const std::u16string& key, uint32_t lcid);
std::u16string Translate(const std::u16string& key);
