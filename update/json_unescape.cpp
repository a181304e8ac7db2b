#include "update/json_unescape.h"

#include <algorithm>
#include <cstdint>

namespace {

// Only ASCII hex digits count: a full-width look-alike is no digit.
int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// The digits of a \u escape: up to four, fewer where the text ends; any
// non-digit among them makes the whole value 0.
uint32_t ReadHex(const std::u16string& text, size_t from, size_t count) {
    if (count == 0) {
        return 0;
    }
    uint32_t value = 0;
    for (size_t i = from; i < from + count; ++i) {
        const int digit = HexValue(text[i]);
        if (digit < 0) {
            return 0;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

}  // namespace

// Never fails: unknown escapes, a trailing backslash and malformed \u escapes
// are dropped, so the result is at worst shorter. Surrogates pass through
// unpaired as they come.
std::u16string UnescapeJson(const std::u16string& text) {
    std::u16string result;
    size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (c != u'\\') {
            result.push_back(c);
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) {
            break;
        }
        const char16_t letter = text[i + 1];
        i += 2;
        switch (letter) {
            case u'"': result.push_back(u'"'); break;
            case u'\'': result.push_back(u'\''); break;
            case u'/': result.push_back(u'/'); break;
            case u'\\': result.push_back(u'\\'); break;
            case u'b': result.push_back(0x08); break;
            case u'f': result.push_back(0x0C); break;
            case u'n': result.push_back(0x0A); break;
            case u'r': result.push_back(0x0D); break;
            case u't': result.push_back(0x09); break;
            case u'u': {
                const size_t count = std::min<size_t>(4, text.size() - i);
                const uint32_t value = ReadHex(text, i, count);
                if (value != 0) {
                    result.push_back(static_cast<char16_t>(value));
                }
                i += count;
                break;
            }
            default:
                break;
        }
    }
    return result;
}
