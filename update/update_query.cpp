#include "update/update_query.h"

#include <string_view>

namespace {

constexpr char16_t kUpdateKeyPattern[] = u"\"update\":\"";

bool StartsWithIgnoringAsciiCase(const std::u16string& text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The field is the value of the first "update" member, still escaped. A reply
// without the exact pattern (an HTML error page, a captive portal) carries no
// update. The value ends at its first unescaped quote, so a value holding \"
// is read whole, as any JSON parser reads it; an unterminated value is no value.
std::u16string ExtractUpdateField(const std::u16string& reply) {
    const size_t key = reply.find(kUpdateKeyPattern);
    if (key == std::u16string::npos) {
        return {};
    }
    const size_t start = key + std::char_traits<char16_t>::length(kUpdateKeyPattern);
    for (size_t i = start; i < reply.size(); ++i) {
        if (reply[i] == u'\\') {
            ++i;
        } else if (reply[i] == u'"') {
            return reply.substr(start, i - start);
        }
    }
    return {};
}

// The address comes from the network and goes to the shell, which would run a
// program path, a UNC path, a file: address or a custom scheme just as
// readily as it opens a web page. Only http and https pass, and nothing below
// U+0021, which no well-formed address holds and which could break its
// quoting on the way to the browser.
bool IsWebAddress(const std::u16string& address) {
    if (!StartsWithIgnoringAsciiCase(address, u"https://") && !StartsWithIgnoringAsciiCase(address, u"http://")) {
        return false;
    }
    for (char16_t c : address) {
        if (c < 0x21) {
            return false;
        }
    }
    return true;
}

// Only what came over TLS with a checked certificate may name an update: a
// single plain-HTTP hop lets anyone on its path answer in the endpoint's place.
bool IsSecureAddress(const std::u16string& address) {
    return StartsWithIgnoringAsciiCase(address, u"https://");
}

bool IsRedirectStatus(unsigned status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
