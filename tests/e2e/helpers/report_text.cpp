#include "tests/e2e/helpers/report_text.h"

namespace {

void AppendUtf8(std::string* out, char32_t code) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

void AppendEscape(std::string* out, char16_t unit) {
    static const char kDigits[] = "0123456789abcdef";
    out->append("\\u");
    for (int shift = 12; shift >= 0; shift -= 4) {
        out->push_back(kDigits[(unit >> shift) & 0xF]);
    }
}

int HexValue(char16_t digit) {
    if (digit >= u'0' && digit <= u'9') return digit - u'0';
    if (digit >= u'a' && digit <= u'f') return digit - u'a' + 10;
    if (digit >= u'A' && digit <= u'F') return digit - u'A' + 10;
    return -1;
}

}  // namespace

// The tests compare texts code unit for code unit, so nothing may be lost on
// the way out: control characters (the boxes' "\r\r" above all) and unpaired
// surrogates travel as \u escapes, everything else as UTF-8.
std::string JsonString(const std::u16string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool low_follows =
            i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (high && low_follows) {
            const char32_t code = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            AppendUtf8(&out, code);
            ++i;
        } else if (unit == u'"' || unit == u'\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(unit));
        } else if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF)) {
            AppendEscape(&out, unit);
        } else {
            AppendUtf8(&out, unit);
        }
    }
    out.push_back('"');
    return out;
}

// Texts reach the helpers as hex of their UTF-16 code units (four digits
// each, little end first as the bytes lie in memory), so that neither the
// Unix side nor Wine's argument quoting can alter a single code unit.
bool DecodeHexUtf16(const std::u16string& hex, std::u16string* text) {
    if (hex.size() % 4 != 0) return false;
    text->clear();
    for (size_t i = 0; i < hex.size(); i += 4) {
        int digits[4];
        for (int k = 0; k < 4; ++k) {
            digits[k] = HexValue(hex[i + k]);
            if (digits[k] < 0) return false;
        }
        const int low = digits[0] * 16 + digits[1];
        const int high = digits[2] * 16 + digits[3];
        text->push_back(static_cast<char16_t>(high * 256 + low));
    }
    return true;
}
