#include "common/text.h"

#include <cstdint>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

void AppendCodePoint(std::u16string& out, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
    } else {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
}

}  // namespace

// Strict UTF-8: overlong forms, surrogates and values above U+10FFFF are
// invalid, and each maximal invalid subpart becomes one U+FFFD, as browsers
// and the Unicode standard's recommended practice do.
std::u16string DecodeUtf8(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const uint8_t lead = static_cast<uint8_t>(bytes[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        int length = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        uint32_t codePoint = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t consumed = 1;
        bool valid = true;
        for (int k = 1; k < length; ++k) {
            if (i + consumed >= bytes.size()) {
                valid = false;
                break;
            }
            const uint8_t next = static_cast<uint8_t>(bytes[i + consumed]);
            const bool inRange = k == 1 ? (next >= low && next <= high) : IsContinuation(next);
            if (!inRange) {
                valid = false;
                break;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
            ++consumed;
        }
        if (valid) {
            AppendCodePoint(out, codePoint);
        } else {
            out.push_back(kReplacement);
        }
        i += consumed;
    }
    return out;
}
