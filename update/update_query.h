#pragma once

#include <string>

std::u16string ExtractUpdateField(const std::u16string& reply);
bool IsWebAddress(const std::u16string& address);
bool IsSecureAddress(const std::u16string& address);
bool IsRedirectStatus(unsigned status);

// Platform side (update_query_win.cpp).
std::u16string FetchUpdateReply();
