// Drives what the network controls, the reply body's bytes, through every step
// up to the decision to offer an address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.h"
#include "update/json_unescape.h"
#include "update/update_query.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::u16string reply = DecodeUtf8(body);

    // Decoding never makes more code units than bytes, and never a lone surrogate.
    Check(reply.size() <= size);
    for (size_t i = 0; i < reply.size(); ++i) {
        if (IsHighSurrogate(reply[i])) {
            Check(i + 1 < reply.size() && IsLowSurrogate(reply[i + 1]));
            ++i;
        } else {
            Check(!IsLowSurrogate(reply[i]));
        }
    }

    const std::u16string field = ExtractUpdateField(reply);
    Check(field.empty() || reply.find(u"\"update\":\"" + field + u"\"") != std::u16string::npos);

    const std::u16string address = UnescapeJson(field);
    Check(address.size() <= field.size());
    if (field.find(u'\\') == std::u16string::npos) {
        Check(address == field);
    }

    if (IsWebAddress(address)) {
        std::u16string scheme = address.substr(0, address.find(u':'));
        for (char16_t& c : scheme) {
            c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
        }
        Check(scheme == u"http" || scheme == u"https");
        Check(address.compare(scheme.size(), 3, u"://") == 0);
        for (char16_t c : address) {
            Check(c > 0x20);
        }
    }
    return 0;
}
